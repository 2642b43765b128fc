// Outside text put into command lines is quoted so that the shell hands it
// over unchanged.
#include "shell/exec.h"

#include <gtest/gtest.h>

#include <string>

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
