// qzmcu's commands: console words in, the MCU's request bytes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qzmcu/decode.h"
#include "qzmcu/request.h"
#include "wire.h"

namespace {

// What the console makes of one line: the request's bytes (and whether it
// needs --yes), or the reason it refuses the line.
std::string Outcome(const std::string& line) {
    std::vector<std::string> words;
    std::string error;
    McuRequest req;
    if (!SplitLine(line, &words, &error) || ParseRequest(words, 0, &req, &error) < 0) return error;
    const std::string bytes = ToHexWords(req.payload.data(), static_cast<int>(req.payload.size()));
    return req.needsYes ? bytes + " needs --yes" : bytes;
}

TEST(QzmcuRequest, LinesGiveTheirBytesOrTheirReason) {
    const struct {
        const char* line;
        const char* outcome;
    } cases[] = {
        {"filter 3", "13 02 0B 00 03"},
        {"select 2 on", "13 02 14 01 02"},
        {"volume -1.5", "13 06 00 FF F1"},
        {"rate 48000", "02 7E 00 00 09"},
        // Identity: counts A (the id's length) and B, the name, the id at 2 + B - A.
        {"identity QZ000042 Lab", "13 05 02 08 0C 4C 61 62 00 51 5A 30 30 30 30 34 32"},
        {"wifi connect My\\ Net 00:1A:2B:3C:4D:5E",
         "10 02 00 01 07 4D 79 20 4E 65 74 00 01 00 00 1A 2B 3C 4D 5E"},
        {"wifi connect \"Lab\" 00-1a-2b-3c-4d-5e pw",
         "10 02 00 01 04 4C 61 62 00 03 70 77 00 00 1A 2B 3C 4D 5E"},
        // The record's week day counts from Sunday; the zone is in hours.
        {"settime 2026-07-28 13:05:09 +8", "10 05 0B 01 08 14 1A 07 1C 02 0D 05 09"},
        {"settime 2024-12-01 00:00:00 -5", "10 05 0B 01 FB 14 18 0C 01 00 00 00 00"},
        {"settime 2000-02-29 23:59:60 +0100", "10 05 0B 01 01 14 00 02 1D 02 17 3B 3C"},
        {"send 050B \"10 02 20\"", "05 0B 10 02 20"},
        // Power-off and update need consent however they are spelt (--yes).
        {"send 0C 01 FF", "0C 01 FF needs --yes"},
        {"send 12 01 02 01", "12 01 02 01"},
        // Refusals.
        {"dance", "unknown command 'dance' (try help)"},
        {"filter 256", "slot position must be 0 to 255"},
        {"rate 12345", "no sampling-frequency code for 12345 Hz"},
        {"identity SHORT Lab", "the device id must be exactly 8 characters"},
        {"wifi connect 012345678901234567890123456789012 00:1A:2B:3C:4D:5E",
         "network name must be 1 to 32 bytes"},
        {"wifi connect Lab 00:1A:2B:3C:4D", "missing BSSID (00:1A:2B:3C:4D:5E)"},
        {"settime 2026-02-30 10:00:00", "date or time out of range"},
        {"send 0", "send needs hex bytes, e.g. send 05 0B"},
    };
    for (const auto& c : cases) EXPECT_EQ(Outcome(c.line), c.outcome) << c.line;
}

// A command goes one word an argument or whole in one argument; optional
// arguments (gain, date, password, more hex) end where the next command
// begins.
TEST(QzmcuRequest, CommandListTakesBothForms) {
    const std::vector<std::string> quoted = {
        "version", "volume -10", "volume", "wifi connect Lab 00:1A:2B:3C:4D:5E", "state", "settime",
        "mac",     "send 05 0B", "time"};
    const std::vector<std::string> plain = {
        "version", "volume",  "-10", "volume", "wifi", "connect", "Lab", "00:1A:2B:3C:4D:5E",
        "state",   "settime", "mac", "send",   "05",   "0B",      "time"};
    std::string error;
    std::vector<McuRequest> reqs;
    for (const std::vector<std::string>& words : {quoted, plain}) {
        ASSERT_TRUE(ParseCommandList(words, &reqs, &error)) << error;
        std::vector<std::string> texts;
        for (const McuRequest& req : reqs) texts.push_back(req.text);
        EXPECT_EQ(texts, quoted);
    }
    EXPECT_FALSE(ParseCommandList({"filter 1 volume"}, &reqs, &error));
    EXPECT_EQ(error, "'filter 1 volume' holds more than one command");
}

// A WiFi list request is complete only with the list's last page.
TEST(QzmcuRequest, WifiListEndsWithItsLastPage) {
    const AnswerRule rule = GetAnswerRule(Hex("10 01 01").data(), 3);
    const auto answers = [&rule](const char* reply) {
        const Bytes bytes = Hex(reply);
        return IsAnswer(rule, bytes.data(), static_cast<int>(bytes.size()));
    };
    EXPECT_FALSE(answers("10 01 02 09 01 03"));  // page 1 of 3
    EXPECT_TRUE(answers("10 01 02 09 03 03"));
    EXPECT_TRUE(answers("10 01 02 00 00 00"));  // no networks: page 0 of 0
    EXPECT_FALSE(answers("10 01 02 09 03"));    // cut short
}

}  // namespace
