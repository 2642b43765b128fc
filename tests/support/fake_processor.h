// The processor as the handlers' unit tests see it: canned bodies for
// "http get" lines on the shared recording runner, and a test line whose
// frames the test reads back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire.h"

typedef WireFrame SentFrame;

// Canned body (and exit status) by endpoint path; a GET of a path without
// one prints nothing and fails.
void SetReply(const std::string& path, const std::string& body, int status = 0);
// Every command line run, in order.
const std::vector<std::string>& RunLines();
// The line the daemon forms for a GET or PUT of path.
std::string GetLine(const std::string& path);
std::string PutLine(const std::string& path, const std::string& key, int value);

void ClearReplies();
std::vector<uchar> WithName(std::vector<uchar> head, const std::string& name);
// Whether the captured log holds exactly this line (without its line feed).
bool HasLogLine(const std::string& log, const std::string& line);

// Fake processor installed, globals reset, product delays cut, a test line.
class ProcessorTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    // The frames sent so far, whole and with good checksums.
    std::vector<SentFrame> Frames();
    TestLine line{};
    TtyData& link = line.tty;
};

// The three-slot list of the protocol examples: the middle slot has the
// processor index 7 and a lower-case type text.
extern const char* const kThreeSlots;
