// The command table through handleCommand: replies, command lines and log
// lines byte for byte, one row per request.
#include "app/dispatch.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstring>

#include "common/config.h"
#include "fake_processor.h"

namespace {

std::string uuidText;
bool lineHadBytes = false;  // whether a frame was already out when a line ran
int linePeer = -1;

class Dispatch : public ProcessorTest {
   protected:
    void SetUp() override {
        ProcessorTest::SetUp();
        InstallRecorder([](const std::string& cmd, bool, std::string* out) {
            int pending = 0;
            ioctl(linePeer, FIONREAD, &pending);
            lineHadBytes = pending > 0;
            if (cmd.find(" device uuid") != std::string::npos) *out = uuidText;
            return 0;
        });
        linePeer = line.peer;
        IsDebug = 0;
    }
    // Runs one request; returns its log.
    std::string Run(const Bytes& payload, uchar addr = 0x34) {
        testing::internal::CaptureStdout();
        handleCommand(&link, addr, 1, payload.data(), static_cast<int>(payload.size()));
        return testing::internal::GetCapturedStdout();
    }
    std::string Sh(const char* rest) { return std::string(HALVANE_SH) + rest; }
};

struct Row {
    const char* payload;
    const char* log;  // the whole log
};

TEST_F(Dispatch, UnknownShortAndUnnamedAreLoggedOrDroppedAndAnsweredByNothing) {
    const Row rows[] = {
        {"06 23 02 0B 01 00", "Unknown command: 06 23 02 0B 01 00\n"},
        {"12 01 02 01", "Unknown command: 12 01 02 01\n"},
        {"12 01 02", "Unknown command: 12 01 02\n"},
        {"07", "Unknown command: 07\n"},
        {"02 01", "Unknown COMMAND_MODE: 02 01\n"},
        {"13 06 00 FF", "Short command: 13 06 00 FF\n"},
        {"13 05 02 00 05 41 42", "Short command: 13 05 02 00 05 41 42\n"},
        {"13 05 02 00 28 4B 69 00", "Short command: 13 05 02 00 28 4B 69 00\n"},  // count past the end
        {"10 01 02 01 01", "Short command: 10 01 02 01 01\n"},
        {"10 05 0B 00 00 14 1A 07 1C", "Short command: 10 05 0B 00 00 14 1A 07 1C\n"},
        {"13 01", "Short command: 13 01\n"},
        {"05 0D", ""}, {"0C 02", ""}, {"13 04 00", ""}, {"10 06 00", ""}, {"13 05 07", ""},
        {"10 01 05", ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Run(Hex(r.payload)), r.log) << r.payload;
        EXPECT_TRUE(Frames().empty()) << r.payload;
    }
    EXPECT_TRUE(RunLines().empty());
}

TEST_F(Dispatch, ActionsRunTheirLines) {
    EXPECT_EQ(Run(Hex("12 01 02 00")), "Exec=0: poweroff\n");
    EXPECT_EQ(Run(Hex("0C 01")), "Program updating...\nExec=0: " + Sh(" update exec\n"));
    EXPECT_EQ(RunLines(), (std::vector<std::string>{"poweroff", Sh(" update exec")}));
    EXPECT_TRUE(Frames().empty());
}

TEST_F(Dispatch, AudioResetRunsTheScriptThenRepliesToTheAsker) {
    for (uchar addr : {0x34, 0xA4}) {
        RecordedLines().clear();
        EXPECT_EQ(Run(Hex("13 03 00"), addr), "zel resetting...\nExec=0: " + Sh(" zel_reset\n"));
        EXPECT_EQ(RunLines(), (std::vector<std::string>{Sh(" zel_reset")}));
        EXPECT_FALSE(lineHadBytes);
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].addr, GetSendAddr(addr));
        EXPECT_EQ(frames[0].payload, Hex("13 03 02"));
    }
}

TEST_F(Dispatch, VersionAndBuildDate) {
    const struct {
        const char* diracVersion;
        const char* want;
    } rows[] = {{"", "05 13 32 36 30 37 32 38 00 00"},
                {"3.9.1", "05 13 32 36 30 37 32 38 00 33 2E 39 2E 31 00"}};
    EXPECT_EQ(Run(Hex("05 0B")), "COMMAND_FUNC_RDVER: 134\n");
    EXPECT_EQ(Frames().at(0).payload, Hex("05 12 31 33 34 00"));
    for (const auto& r : rows) {
        snprintf(cDiracVersion, kDiracVersionMax + 1, "%s", r.diracVersion);
        Run(Hex("05 0C"), 0xA4);
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].addr, 0x4A);
        EXPECT_EQ(frames[0].payload, Hex(r.want));
    }
    cDiracVersion[0] = '\0';
}

TEST_F(Dispatch, DeviceIdentityGoesToTheScriptWordForWord) {
    const std::string hostile = "Liv\"ing $(reboot) `reboot`; reboot & \\ 'x'\nnext";
    for (const std::string& name : {std::string("Living Room"), hostile}) {
        RecordedLines().clear();
        Bytes body = Hex("13 05 02 00");
        body.push_back(static_cast<uchar>(name.size() + 1));
        body = WithName(body, name);
        for (char c : std::string("AB12CD34")) body.push_back(static_cast<uchar>(c));
        Run(body);
        ASSERT_EQ(RunLines().size(), 1u);
        EXPECT_EQ(ShellWords(RunLines()[0]),
                  (std::vector<std::string>{HALVANE_SH, "device", "id_name", "AB12CD34", name, "&"}));
        EXPECT_EQ(Frames().at(0).payload, Hex("13 05 03"));
    }
}

TEST_F(Dispatch, UuidReportCutTo254Bytes) {
    const struct {
        std::string text;
        int length;
    } rows[] = {{"123e4567-e89b-12d3-a456-426614174000\n", 38}, {"", 1}, {std::string(400, 'x'), 255}};
    for (const auto& r : rows) {
        uuidText = r.text;
        Run(Hex("13 05 05"));
        Bytes want = {0x13, 0x05, 0x06, static_cast<uchar>(r.length)};
        want = WithName(want, r.text.substr(0, 254));
        EXPECT_EQ(Frames().at(0).payload, want) << r.length;
    }
    EXPECT_EQ(RunLines().back(), Sh(" device uuid"));
}

TEST_F(Dispatch, WifiListPageFromTheMcuIsLoggedUntilABadEntry) {
    const Row rows[] = {
        {"10 01 02 05 02 02 11 05 50 02 06 00 11 22 33 44 55 48 6F 6D 65 31 00",
         "Received WiFiList: count=5 page=2/2:\n 5(17).  80% 2   6 00:11:22:33:44:55 Home1\n"},
        {"10 01 02 01 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "Received WiFiList: count=1 page=1/1:\n"},  // an entry of length 0
        {"10 01 02 01 01 01 28 01 50 02 06 00 00 00 00 00 00 53 68 6F 72 74 00",
         "Received WiFiList: count=1 page=1/1:\n"},  // an entry running past the page
    };
    for (const Row& r : rows) EXPECT_EQ(Run(Hex(r.payload)), r.log);
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(RunLines().empty());
}

}  // namespace
