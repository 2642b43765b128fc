// Test doubles (fake_processor_test.cpp) for the processor handlers: a command runner that answers
// "http get" lines with canned bodies and records every line, and a link
// whose frames land in a socket pair where the test reads them back.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/public.h"
#include "link/link.h"

struct FakeReply {
    std::string body;
    int status = 0;
};

struct SentFrame {
    uchar addr;
    uchar id;
    std::vector<uchar> payload;
};

// Canned bodies by endpoint path; a path without one prints nothing and fails.
void SetReply(const std::string& path, const std::string& body, int status = 0);
void ClearReplies();
// Every command line run, in order.
const std::vector<std::string>& RunLines();
// The line the daemon forms for a GET or PUT of path.
std::string GetLine(const std::string& path);
std::string PutLine(const std::string& path, const std::string& key, int value);

// Frames and their checksums checked; all that arrived so far.
std::vector<SentFrame> ReadFrames(int fd);
std::vector<uchar> Bytes(std::initializer_list<int> bytes);
std::vector<uchar> WithName(std::vector<uchar> head, const std::string& name);
// Whether the captured log holds exactly this line (without its line feed).
bool HasLogLine(const std::string& log, const std::string& line);

// Fake runner installed, globals reset, a link over a socket pair.
class ProcessorTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<SentFrame> Frames() { return ReadFrames(peer); }
    TtyData link{};
    int peer = -1;
};

// The three-slot list of the protocol examples: the middle slot has the
// processor index 7 and a lower-case type text.
extern const char* const kThreeSlots;
