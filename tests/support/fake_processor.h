// The processor as the handlers' unit tests see it: canned outputs for the
// control script's lines on the shared recording runner, and a test line
// whose frames the test reads back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "wire.h"

// Canned output (and exit status) of a command line, by endpoint path for an
// "http get", by the words after the script's path for other script lines
// ("device uuid"), else by the whole line. A GET of a path without one
// prints nothing and fails; other lines print nothing and succeed.
void SetReply(const std::string& key, const std::string& body, int status = 0);

// Fake processor installed, globals reset, product delays cut, a test line.
// Every reply must follow the command lines it reports on: a frame already on
// the line when a command runs fails the test.
class ProcessorTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    // The payload of the one frame sent since the last look (checked: whole,
    // good checksum, to addr), or nothing when none was sent.
    Bytes Reply(uchar addr = 0x43);
    // Runs f with the log captured; returns the log.
    template <class F>
    static std::string Logged(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
    // Whether the log holds exactly this line (without its line feed).
    static bool HasLogLine(const std::string& log, const std::string& line) {
        return ("\n" + log).find("\n" + line + "\n") != std::string::npos;
    }
    static Bytes WithName(Bytes head, const std::string& name) {
        head.insert(head.end(), name.c_str(), name.c_str() + name.size() + 1);
        return head;
    }
    // The lines the daemon runs: a script action, a GET or PUT of path.
    static std::string ScriptLine(const std::string& words) { return HALVANE_SH + (" " + words); }
    static std::string GetLine(const std::string& path) {
        return ScriptLine("http get \"" + (DIRAC_HTTP_ROOT + path) +
                          "\" \"Content-Type:application/json\"");
    }
    static std::string PutLine(const std::string& path, const std::string& key, int value) {
        return ScriptLine("http put \"" + (DIRAC_HTTP_ROOT + path) + "?" + key + "=" +
                          std::to_string(value) + "&id=8090\"");
    }
    TestLine line{};
    TtyData& link = line.tty;
};

// The three-slot list of the protocol examples: the middle slot has the
// processor index 7 and a lower-case type text.
extern const char* const kThreeSlots;
