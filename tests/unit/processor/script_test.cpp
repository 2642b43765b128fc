#include "processor/script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/config.h"
#include "processor/exec.h"

namespace {

TEST(ScriptLines, Formats) {
    char line[kCommandLineSize];
    ASSERT_GT(FormatHttpGetLine(line, sizeof line, "/api/list-slots"), 0);
    EXPECT_STREQ(line,
                 "/opt/qz/bin/halvane.sh http get \"http://127.0.0.1:8090/api/list-slots\" "
                 "\"Content-Type:application/json\"");
    ASSERT_GT(FormatHttpPutLine(line, sizeof line, "/api/speaker", "gain", -12), 0);
    EXPECT_STREQ(
        line,
        "/opt/qz/bin/halvane.sh http put \"http://127.0.0.1:8090/api/speaker?gain=-12&id=8090\"");
    FormatSampleRateLine(line, sizeof line, 48000);
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh sample_rate 48000");
    FormatSpConfigLine(line, sizeof line, 5, 1, 0);
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh UpdateSpConfig 5 1 0");
    FormatScriptActionLine(line, sizeof line, "zel_reset");
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh zel_reset");
    FormatScriptActionLine(line, sizeof line, "update exec");
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh update exec");
    FormatNetLine(line, sizeof line, "eth0", "reset");
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh net eth0 reset &");
    FormatDeviceIdNameLine(line, sizeof line, "AB12CD34", "Living Room");
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh device id_name \"AB12CD34\" \"Living Room\" &");
    FormatDeviceUuidLine(line, sizeof line);
    EXPECT_STREQ(line, "/opt/qz/bin/halvane.sh device uuid");
}

TEST(ScriptLines, TooLongIsRefusedNotCut) {
    char line[64];
    EXPECT_EQ(FormatHttpGetLine(line, sizeof line, "/api/list-slots"), -1);
    EXPECT_STREQ(line, "");
    std::string name(5000, 'n');
    char big[kCommandLineSize];
    EXPECT_EQ(FormatDeviceIdNameLine(big, sizeof big, "AB12CD34", name.c_str()), -1);
}

// Runs a line through /bin/sh with a recorder in place of the command and
// returns the argv it received.
std::vector<std::string> ArgvThroughShell(const std::string& quotedArgs) {
    std::string cmd = "printf '%s\\036' " + quotedArgs;
    char out[4096];
    int size = sizeof out;
    testing::internal::CaptureStdout();
    Exec(out, &size, cmd.c_str());
    testing::internal::GetCapturedStdout();
    std::vector<std::string> argv;
    std::string cur;
    for (int i = 0; i < size; i++) {
        if (out[i] == '\036') {
            argv.push_back(cur);
            cur.clear();
        } else {
            cur += out[i];
        }
    }
    return argv;
}

TEST(ShellEscape, HostileTextArrivesAsOneUnchangedArgument) {
    const char* hostile[] = {
        "plain",         "two words",    "$(touch /tmp/qz-pwned)",
        "`id`",          "a;b&c|d",      "quote\"inside",
        "back\\slash",   "single'quote", "new\nline",
        "$HOME ${PATH}", "\\\"$(x)\\\"", "",
        "glob * ?",      "!history",     "trailing\\",
    };
    for (const char* text : hostile) {
        char escaped[512];
        ASSERT_GE(ShellEscape(escaped, sizeof escaped, text), 0);
        std::vector<std::string> argv = ArgvThroughShell(std::string("\"") + escaped + "\"");
        ASSERT_EQ(argv.size(), 1u) << text;
        EXPECT_EQ(argv[0], text);
    }
    char small[4];
    EXPECT_EQ(ShellEscape(small, sizeof small, "$$"), -1);
}

}  // namespace
