// The command table through handleCommand against the fake processor: each
// request's reply bytes, command lines and log line, one row per request.
// The handlers' replies are pinned byte for byte here and nowhere else.
#include "app/dispatch.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common/config.h"
#include "fake_processor.h"

namespace {

class Dispatch : public ProcessorTest {
   protected:
    void SetUp() override {
        ProcessorTest::SetUp();
        SetReply("/api/list-slots", kThreeSlots);
        SetReply("/api/filtering", R"({"enabled": true})");
        SetReply("/api/active-slot", R"({"index": 7})");
        SetReply("/api/speaker", R"({"gain": -7.5})");
        SetReply("device uuid", "123e4567-e89b-12d3-a456-426614174000\n");
    }
    std::string Run(const char* request, uchar from = 0x34) {
        RecordedLines().clear();
        const Bytes payload = Hex(request);
        return Logged([&] {
            handleCommand(&link, from, 1, payload.data(), static_cast<int>(payload.size()));
        });
    }
};

// Requests that are answered or run something: the reply to 0x43 (empty:
// nothing sent), one line of the log, the command lines run (one a line).
TEST_F(Dispatch, RepliesAndCommandLines) {
    const std::string slots = GetLine("/api/list-slots"), active = GetLine("/api/active-slot"),
                      readBack = GetLine("/api/filtering") + "\n" + active;
    const Bytes movie = WithName(Hex("13 02 02 01 03 11"), "Movie"), none;
    const struct {
        const char* request;
        Bytes reply;
        const char* log;
        std::string lines;
    } rows[] = {
        {"05 0B", Hex("05 12 31 33 34 00"), "COMMAND_FUNC_RDVER: 134", ""},
        {"05 0C", Hex("05 13 32 36 30 37 32 38 00 00"), "COMMAND_FUNC_RDDATE: 260728 ", ""},
        {"13 02 01", movie, "DiracFilter: enabled=1 count=3 index=1 type=1 name=Movie",
         slots + "\n" + readBack},
        // Position 1 holds the processor's slot 7; position 5 is past the end.
        {"13 02 0B 00 01", WithName(Hex("13 02 0C 00 11"), "Movie"),
         "DiracFilterInfo: index=1 type=1 name=Movie", slots},
        {"13 02 0B 00 05", Hex("13 02 0C 00 05 00"),
         "DiracFilterInfo: index=5 type=0 name=", slots},
        {"13 02 15", WithName(Hex("13 02 16 00 11"), "Movie"),
         "DiracFilterInfo: index=1 type=1 name=Movie", slots + "\n" + active},
        {"13 02 14 05 01", movie, "DiracFilterSetCurrInfo: enabled=5 index=1 7",
         slots + "\n" + PutLine("/api/filtering", "enabled", 1) + "\n" +
             PutLine("/api/active-slot", "index", 7) + "\n" + readBack},
        {"13 02 14 00 06", movie, "DiracFilterSetCurrInfo: enabled=0 index=6 6",  // past the end
         slots + "\n" + PutLine("/api/filtering", "enabled", 0) + "\n" +
             PutLine("/api/active-slot", "index", 6) + "\n" + readBack},
        {"13 06 01", Hex("13 06 02 FF B0"), "doDiracMainVolGet: -8", GetLine("/api/speaker")},
        {"13 06 00 FF 9C", none, "DiracMainVolSet: -10", ""},  // queued for the monitor
        // The id and the name reach the script quoted for the shell.
        {"13 05 02 00 05 24 28 78 29 00 41 42 31 32 43 44 33 60", Hex("13 05 03"),
         "DevicInfo report: 0 5 ID=AB12CD3` Name=$(x)",
         ScriptLine("device id_name \"AB12CD3\\`\" \"\\$(x)\" &")},
        {"13 05 05", WithName(Hex("13 05 06 26"), "123e4567-e89b-12d3-a456-426614174000\n"),
         "CmdDirac_UID_Report: 38 123e4567-e89b-12d3-a456-426614174000", ScriptLine("device uuid")},
        {"13 03 00", Hex("13 03 02"), "zel resetting...", ScriptLine("zel_reset")},
        {"12 01 02 00", none, "Exec=0: poweroff", "poweroff"},
        {"0C 01", none, "Program updating...", ScriptLine("update exec")},
        {"02 7E 00 00 09", none, "AudioInfoReport: SamplingFreq=9 SampleRate=48000",
         ScriptLine("sample_rate 48000")},
        // The time-zone hours are signed; zero counts as "+".
        {"10 05 0B 01 08 14 1A 07 1C 02 0D 05 09", none,
         "sync=1 week=2 \"2026-07-28 13:05:09+0800\"", "date -s \"2026-07-28 13:05:09+0800\""},
        {"10 05 0B 00 FB 14 1A 07 1C 02 0D 05 09", none,
         "sync=0 week=2 \"2026-07-28 13:05:09-0500\"", "date -s \"2026-07-28 13:05:09-0500\""},
        {"10 05 0B 00 00 14 1A 07 1C 02 0D 05 09", none,
         "sync=0 week=2 \"2026-07-28 13:05:09+0000\"", "date -s \"2026-07-28 13:05:09+0000\""},
        {"10 05 0B 00 80 14 1A 07 1C 02 0D 05 09", none,
         "sync=0 week=2 \"2026-07-28 13:05:09-12800\"", "date -s \"2026-07-28 13:05:09-12800\""},
    };
    for (const auto& r : rows) {
        const std::string log = Run(r.request);
        EXPECT_TRUE(HasLogLine(log, r.log)) << r.request << "\n" << log;
        EXPECT_EQ(Reply(), r.reply) << r.request;
        std::string lines;
        for (const std::string& l : RecordedLines()) lines += (lines.empty() ? "" : "\n") + l;
        EXPECT_EQ(lines, r.lines) << r.request;
    }
}

// Requests that send nothing and run nothing: the whole log.
TEST_F(Dispatch, LoggedOnly) {
    const std::pair<const char*, const char*> rows[] = {
        {"13 01 00", "dirac state command: 0\n"},
        {"02 7E 00 00 10", "AudioInfoReport: SamplingFreq=16 SampleRate=0\n"},
        {"02 7E 00", "AudioInfoReport: SamplingFreq=0 SampleRate=0\n"},
        // Layouts queued for the monitor; each replaces the one before it.
        {"06 23 02 05 00",
         "SpConfig: 5(0x05) 5.0.0 320: FL_FR_LS_RS_FC                                   5.0    "
         "5x\n"},
        {"06 23 02 0E 02",
         "SpConfig: 14(0x0E) 2.2.0 212: FL_FR_LTM_RTM_LFE_CS\nSpeakerConfig: 5.0.0 -> 2.2.0\n"},
        {"06 23 02 2C 01",
         "SpConfig: 44(0x2C) 8.1.6 816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW_LFE "
         "8.1.6\nSpeakerConfig: 2.2.0 -> 8.1.6\n"},
        {"06 23 02 2D 01", "SpConfig: 45(0x2D) 0.1.0 \nSpeakerConfig: 8.1.6 -> 0.1.0\n"},
        {"10 01 02 05 02 02 11 05 50 02 06 00 11 22 33 44 55 48 6F 6D 65 31 00",
         "Received WiFiList: count=5 page=2/2:\n 5(17).  80% 2   6 00:11:22:33:44:55 Home1\n"},
        // Entries of length 0 and running past the page end the walk.
        {"10 01 02 01 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "Received WiFiList: count=1 page=1/1:\n"},
        {"10 01 02 01 01 01 28 01 50 02 06 00 00 00 00 00 00 53 68 6F 72 74 00",
         "Received WiFiList: count=1 page=1/1:\n"},
        // Not a layout message (six bytes), not a power-off, unknown modes.
        {"06 23 02 0B 01 00", "Unknown command: 06 23 02 0B 01 00\n"},
        {"12 01 02 01", "Unknown command: 12 01 02 01\n"},
        {"02 01", "Unknown COMMAND_MODE: 02 01\n"},
        // Too short for the bytes the handler reads: dumped, nothing read past the end.
        {"13 06 00 FF", "Short command: 13 06 00 FF\n"},
        {"13 05 02 00 28 4B 69 00", "Short command: 13 05 02 00 28 4B 69 00\n"},
        // The identity record one byte short: its last id byte would lie past the frame.
        {"13 05 02 00 05 24 28 78 29 00 41 42 31 32 43 44 33",
         "Short command: 13 05 02 00 05 24 28 78 29 00 41 42 31 32 43 44 33\n"},
        {"13 02 0B 00", "dirac filter command: 11\nShort command: 13 02 0B 00\n"},
        {"10 01 02 01 01", "Short command: 10 01 02 01 01\n"},
        {"10 05 0B 00 00 14 1A 07 1C", "Short command: 10 05 0B 00 00 14 1A 07 1C\n"},
        {"13 01", "Short command: 13 01\n"},
        // Unnamed functions of known modes: dropped without a word.
        {"05 0D", ""},
        {"0C 02", ""},
        {"13 04 00", ""},
        {"10 06 00", ""},
    };
    for (const auto& [request, log] : rows) {
        EXPECT_EQ(Run(request), log);
        EXPECT_TRUE(Reply().empty()) << request;
        EXPECT_TRUE(RecordedLines().empty()) << request;
    }
}

TEST_F(Dispatch, BuildDateWithTheProcessorVersionToTheAskersSwappedAddress) {
    snprintf(cDiracVersion, kDiracVersionMax + 1, "%s", "3.9.1");
    Run("05 0C", 0xA4);
    cDiracVersion[0] = '\0';
    EXPECT_EQ(Reply(0x4A), Hex("05 13 32 36 30 37 32 38 00 33 2E 39 2E 31 00"));
}

// A name whose quoting does not fit the command line is not run, and the
// log says so; the MCU still gets its usual reply.
TEST_F(Dispatch, DeviceNameTooLongToQuoteIsLogged) {
    std::string request = "13 05 02 00 05";
    for (int i = 0; i < 2100; ++i) request += " 22";
    const std::string log = Run((request + " 00").c_str());
    EXPECT_TRUE(HasLogLine(log, "DevicInfo: name too long for the command line, not handed on"))
        << log;
    EXPECT_EQ(Reply(), Hex("13 05 03"));
    EXPECT_TRUE(RecordedLines().empty());
}

TEST_F(Dispatch, UuidReportOfNothingOrTooMuch) {
    SetReply("device uuid", "");
    Run("13 05 05");
    EXPECT_EQ(Reply(), Hex("13 05 06 01 00"));
    SetReply("device uuid", std::string(400, 'x'));
    Run("13 05 05");  // cut to 254 characters: the length byte stays right
    EXPECT_EQ(Reply(), WithName(Hex("13 05 06 FF"), std::string(254, 'x')));
}

}  // namespace
