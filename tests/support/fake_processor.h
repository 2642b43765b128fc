// The processor as the handlers' unit tests see it: canned outputs for the
// control script's lines on the shared recording runner, and a test line
// whose frames the test reads back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire.h"

// Canned output (and exit status) of a command line, by endpoint path for an
// "http get", by the words after the script's path for other script lines
// ("device uuid"), else by the whole line. A GET of a path without one
// prints nothing and fails; other lines print nothing and succeed.
void SetReply(const std::string& key, const std::string& body, int status = 0);
void ClearReplies();
// The fake's runner, for tests that wrap it.
int FakeProcessor(const std::string& line, bool captured, std::string* output);

// The lines the daemon runs: a GET or PUT of path, or a script action.
std::string GetLine(const std::string& path);
std::string PutLine(const std::string& path, const std::string& key, int value);
std::string ScriptLine(const std::string& words);

std::vector<uchar> WithName(std::vector<uchar> head, const std::string& name);
// Whether the log holds exactly this line (without its line feed).
bool HasLogLine(const std::string& log, const std::string& line);

// Fake processor installed, globals reset, product delays cut, a test line.
class ProcessorTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    // Runs f with the log captured; returns the log.
    template <class F>
    std::string Logged(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
    // The payload of the one frame sent since the last look (checked: whole,
    // good checksum, to addr), or nothing when none was sent.
    Bytes Reply(uchar addr = 0x43);
    TestLine line{};
    TtyData& link = line.tty;
};

// The three-slot list of the protocol examples: the middle slot has the
// processor index 7 and a lower-case type text.
extern const char* const kThreeSlots;
