// Outside text in script lines: refused when too long, quoted so that the
// shell hands it over unchanged.
#include "processor/script.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "processor/exec.h"

TEST(ScriptLines, TooLongIsRefusedNotCut) {
    char line[64];
    EXPECT_EQ(FormatHttpGetLine(line, sizeof line, "/api/list-slots"), -1);
    EXPECT_STREQ(line, "");
    const std::string name(5000, 'n');
    char big[kCommandLineSize];
    EXPECT_EQ(FormatDeviceIdNameLine(big, sizeof big, "AB12CD34", name.c_str()), -1);
}

// Through the real /bin/sh: printf ends each argument it gets with 0x1E.
TEST(ShellEscape, HostileTextArrivesAsOneUnchangedArgument) {
    const char* hostile[] = {
        "$(touch /tmp/qz-pwned)", "`id`", "a;b&c|d",  "quote\"inside", "back\\slash", "new\nline",
        "\\\"$(x)\\\"",           "",     "!history", "trailing\\"};
    for (const char* text : hostile) {
        char escaped[512], out[512];
        ASSERT_GE(ShellEscape(escaped, sizeof escaped, text), 0);
        const std::string cmd = std::string("printf '%s\\036' \"") + escaped + "\"";
        int size = sizeof out - 1;
        testing::internal::CaptureStdout();
        Exec(out, &size, cmd.c_str());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(out, size), std::string(text) + "\036");
    }
    char small[4];
    EXPECT_EQ(ShellEscape(small, sizeof small, "$$"), -1);
}
