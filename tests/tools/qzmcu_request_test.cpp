// qzmcu's commands: words in, the MCU's request bytes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/identity.h"
#include "qzmcu/request.h"

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_TRUE(SplitLine(line, &words, &error)) << line;
    return words;
}

std::vector<uchar> Hex(const std::string& text) {
    std::vector<uchar> out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<uchar>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::vector<uchar> Text(const std::string& head, const std::string& text) {
    std::vector<uchar> out = Hex(head);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

McuRequest ParseOne(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    McuRequest req;
    std::string error;
    const int used = ParseRequest(words, 0, &req, &error);
    EXPECT_EQ(used, static_cast<int>(words.size())) << line << ": " << error;
    return req;
}

TEST(QzmcuRequest, PayloadOfEveryCommand) {
    const struct {
        const char* line;
        std::vector<uchar> payload;
    } cases[] = {
        {"version", Hex("05 0B")},
        {"date", Hex("05 0C")},
        {"state", Hex("13 01 01")},
        {"filters", Hex("13 02 01")},
        {"filter 3", Hex("13 02 0B 00 03")},
        {"active", Hex("13 02 15")},
        {"select 2 on", Hex("13 02 14 01 02")},
        {"select 1 off", Hex("13 02 14 00 01")},
        {"volume", Hex("13 06 01")},
        {"volume -10", Hex("13 06 00 FF 9C")},
        {"volume -1.5", Hex("13 06 00 FF F1")},
        {"volume -12.5", Hex("13 06 00 FF 83")},
        {"volume 6", Hex("13 06 00 00 3C")},
        {"layout 5 1", Hex("06 23 02 05 01")},
        {"rate 48000", Hex("02 7E 00 00 09")},
        {"rate 44100", Hex("02 7E 00 00 08")},
        {"rate 192000", Hex("02 7E 00 00 0F")},
        {"reset", Hex("13 03 00")},
        {"uuid", Hex("13 05 05")},
        {"identity QZ000042 Lab", Text("13 05 02 08 0C", std::string("Lab\0QZ000042", 12))},
        {"wifi list", Hex("10 01 01")},
        {"wifi status", Hex("10 02 01")},
        {"wifi disconnect", Hex("10 02 00 02")},
        {"wifi reconnect", Hex("10 02 00 00")},
        {"wifi connect Lab 00:1A:2B:3C:4D:5E",
         Hex("10 02 00 01 04 4C 61 62 00 01 00 00 1A 2B 3C 4D 5E")},
        {"wifi connect \"My Net\" 00-1a-2b-3c-4d-5e pw",
         Hex("10 02 00 01 07 4D 79 20 4E 65 74 00 03 70 77 00 00 1A 2B 3C 4D 5E")},
        {"lan on", Hex("10 03 00 01")},
        {"lan off", Hex("10 03 00 00")},
        {"lan status", Hex("10 03 01")},
        {"mac", Hex("10 04 01")},
        {"time", Hex("10 05 01")},
        {"settime 2026-07-28 13:05:09 +8", Hex("10 05 0B 01 08 14 1A 07 1C 02 0D 05 09")},
        {"settime 2024-12-01 00:00:00 -5", Hex("10 05 0B 01 FB 14 18 0C 01 00 00 00 00")},
        {"settime 2000-02-29 23:59:60 +0100", Hex("10 05 0B 01 01 14 00 02 1D 02 17 3B 3C")},
        {"send 05 0B 00", Hex("05 0B 00")},
        {"send 050B \"10 02 20\"", Hex("05 0B 10 02 20")},
        {"poweroff", Hex("12 01 02 00")},
        {"update", Hex("0C 01")},
    };
    for (const auto& c : cases) {
        const McuRequest req = ParseOne(c.line);
        EXPECT_EQ(req.payload, c.payload) << c.line;
    }
}

TEST(QzmcuRequest, IdentityIsReadBackByTheDaemonsRule) {
    const McuRequest req = ParseOne("identity ABCDEFGH \"Living Room\"");
    const uchar* body = req.payload.data() + 3;
    const int size = static_cast<int>(req.payload.size()) - 3;
    ASSERT_TRUE(IsDeviceInfoComplete(body, size));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + 2)), "Living Room");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + 2 + body[1] - body[0]), 8),
              "ABCDEFGH");
}

TEST(QzmcuRequest, MistakesAreRefused) {
    const char* lines[] = {
        "filter",
        "filter 256",
        "select 1",
        "select 1 maybe",
        "layout 5",
        "rate 12345",
        "rate",
        "identity SHORT Lab",
        "identity QZ000042",
        "wifi",
        "wifi scan",
        "wifi connect Lab",
        "wifi connect Lab 00:1A:2B:3C:4D",
        "lan",
        "lan up",
        "settime 2026-02-30 10:00:00",
        "settime 2026-07-28",
        "settime 2026-07-28 25:00:00",
        "send",
        "send zz",
        "send 0",
        "sleep",
        "dance",
        "wifi connect 012345678901234567890123456789012 00:1A:2B:3C:4D:5E",
    };
    for (const char* line : lines) {
        McuRequest req;
        std::string error;
        EXPECT_EQ(ParseRequest(Words(line), 0, &req, &error), -1) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(QzmcuRequest, ScriptedWordsSplitIntoCommands) {
    const std::vector<std::string> words = Words(
        "version filters volume -10 volume wifi connect Lab 00:1A:2B:3C:4D:5E state settime mac "
        "send 05 0B time");
    std::vector<std::string> texts;
    for (size_t at = 0; at < words.size();) {
        McuRequest req;
        std::string error;
        const int used = ParseRequest(words, at, &req, &error);
        ASSERT_GT(used, 0) << error;
        texts.push_back(req.text);
        at += static_cast<size_t>(used);
    }
    const std::vector<std::string> expected = {
        "version", "filters", "volume -10", "volume",     "wifi connect Lab 00:1A:2B:3C:4D:5E",
        "state",   "settime", "mac",        "send 05 0B", "time"};
    EXPECT_EQ(texts, expected);
}

TEST(QzmcuRequest, PowerOffAndUpdateNeedConsent) {
    EXPECT_TRUE(ParseOne("poweroff").needsYes);
    EXPECT_TRUE(ParseOne("update").needsYes);
    EXPECT_TRUE(ParseOne("send 12 01 02 00").needsYes);
    EXPECT_TRUE(ParseOne("send 0C 01 FF").needsYes);
    EXPECT_FALSE(ParseOne("send 12 01 02 01").needsYes);
    EXPECT_FALSE(ParseOne("reset").needsYes);
}

TEST(QzmcuRequest, SleepIsTheConsolesOwn) {
    const McuRequest req = ParseOne("sleep 250");
    EXPECT_TRUE(req.payload.empty());
    EXPECT_EQ(req.sleepMs, 250);
}

TEST(QzmcuRequest, AnswersCompleteTheirRequests) {
    const struct {
        const char* request;
        std::vector<uchar> reply;
        bool answers;
    } cases[] = {
        {"version", Hex("05 12 31 33 34 00"), true},
        {"version", Hex("05 13 00"), false},
        {"volume -10", Hex("13 06 02 FF 9C"), true},
        {"select 1 on", Hex("13 02 02 01 03 11 00"), true},
        {"filter 2", Hex("13 02 0C 00 02 00"), true},
        {"wifi list", Hex("10 01 02 09 01 03"), false},
        {"wifi list", Hex("10 01 02 09 03 03"), true},
        {"wifi list", Hex("10 01 02 00 00 00"), true},
        {"send 10 05 01", Hex("10 05 02 01 00 14 1A 07 1C 02 0D 05 09"), true},
        {"layout 5 1", Hex("13 02 02 01 03 11 00"), false},
        {"lan on", Hex("10 03 02 03"), false},
    };
    for (const auto& c : cases) {
        const McuRequest req = ParseOne(c.request);
        EXPECT_EQ(IsAnswer(req.answer, c.reply.data(), static_cast<int>(c.reply.size())), c.answers)
            << c.request;
    }
    EXPECT_EQ(ParseOne("settime").answer.codeSize, 0);
    EXPECT_EQ(ParseOne("wifi connect Lab 00:1A:2B:3C:4D:5E").answer.codeSize, 0);
}

TEST(QzmcuRequest, SplitLineQuotesAndEscapes) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitLine("  wifi connect \"My Net\" a\\ b \"\"\n", &words, &error));
    EXPECT_EQ(words, (std::vector<std::string>{"wifi", "connect", "My Net", "a b", ""}));
    EXPECT_FALSE(SplitLine("identity QZ000042 \"Living", &words, &error));
    EXPECT_EQ(error, "unterminated quote");
}

TEST(QzmcuRequest, LayoutOptionAndText) {
    uchar code = 0;
    uchar lfe = 0;
    ASSERT_TRUE(ParseLayoutOption("5:1", &code, &lfe));
    EXPECT_EQ(code, 5);
    EXPECT_EQ(lfe, 1);
    EXPECT_FALSE(ParseLayoutOption("5", &code, &lfe));
    EXPECT_FALSE(ParseLayoutOption("300:1", &code, &lfe));
    EXPECT_FALSE(ParseLayoutOption("5:x", &code, &lfe));
    EXPECT_EQ(DescribeLayout(5, 1), "5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)");
    EXPECT_EQ(DescribeLayout(0, 0), "2.0.0, code 0 (200: FL_FR)");
    EXPECT_EQ(DescribeLayout(14, 2), "2.2.0, code 14 (212: FL_FR_LTM_RTM_LFE_CS)");
    EXPECT_EQ(DescribeLayout(45, 1), "code 45 (no such layout), 1 LFE");
    EXPECT_EQ(BuildLayoutMessage(5, 1), Hex("06 23 02 05 01"));
}

TEST(QzmcuRequest, WeekDayOfTheDateRecord) {
    const struct {
        int year, month, day, weekDay;
    } cases[] = {
        {2026, 7, 28, 2}, {2024, 12, 1, 0}, {2000, 2, 29, 2}, {1970, 1, 1, 4}, {1900, 3, 1, 4}};
    for (const auto& c : cases) {
        std::tm when{};
        when.tm_year = c.year - 1900;
        when.tm_mon = c.month - 1;
        when.tm_mday = c.day;
        uchar record[10];
        ASSERT_TRUE(BuildDateTimeRecord(record, when, 0));
        EXPECT_EQ(record[6], c.weekDay) << c.year << "-" << c.month << "-" << c.day;
    }
}

TEST(QzmcuRequest, SetTimeWithoutArgumentsIsNow) {
    const McuRequest req = ParseOne("settime");
    ASSERT_EQ(req.payload.size(), 13u);
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(req.payload[5] * 100 + req.payload[6], local.tm_year + 1900);
    EXPECT_EQ(req.payload[7], local.tm_mon + 1);
}

}  // namespace

// The README's example gives some commands as one quoted argument each.
TEST(QzmcuRequest, CommandListTakesBothForms) {
    const std::vector<std::string> quoted = {"version", "date",       "state",    "filters",
                                             "filter 1", "volume -10", "wifi list"};
    const std::vector<std::string> plain = {"version", "date",   "state", "filters", "filter",
                                            "1",       "volume", "-10",   "wifi",    "list"};
    std::vector<McuRequest> a, b;
    std::string error;
    ASSERT_TRUE(ParseCommandList(quoted, &a, &error)) << error;
    ASSERT_TRUE(ParseCommandList(plain, &b, &error)) << error;
    ASSERT_EQ(a.size(), 7u);
    ASSERT_EQ(b.size(), 7u);
    for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(a[i].payload, b[i].payload) << quoted[i];
    EXPECT_EQ(a[4].payload, Hex("13 02 0B 00 01"));
    EXPECT_EQ(a[5].payload, Hex("13 06 00 FF 9C"));

    EXPECT_FALSE(ParseCommandList({"filter 1 volume"}, &a, &error));
    EXPECT_EQ(error, "'filter 1 volume' holds more than one command");
    // An argument with blanks is still an argument where one is expected.
    ASSERT_TRUE(ParseCommandList({"send", "10 02 20 41"}, &a, &error)) << error;
    EXPECT_EQ(a.size(), 1u);
}
