// The MCU console's commands: words in, the request payload the MCU would
// send out. Pure, so every payload is unit-tested byte for byte.
#pragma once

#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "common/public.h"

constexpr uchar kMcuAddr = 0x34;  // the MCU's own address on the line

// What completes a request: the daemon's acknowledgement and, when codeSize
// is above 0, a reply starting with those code bytes.
struct AnswerRule {
    std::array<uchar, 3> code;
    int codeSize;
    bool wholeList;  // a WiFi list is complete with its last page
};

struct McuRequest {
    std::vector<uchar> payload;  // empty for the console's own "sleep"
    std::string text;            // the command as given, for the transcript
    AnswerRule answer;
    bool needsYes;  // power-off and update
    int sleepMs;
};

// Parses one command starting at words[at]. Returns the number of words it
// took (at least 1), or -1 with *error set.
int ParseRequest(const std::vector<std::string>& words, size_t at, McuRequest* out,
                 std::string* error);

// Parses a whole command list, given either one word an argument
// (filter 1 volume -10) or one command an argument ("filter 1" "volume -10"):
// an argument with blanks where a command begins is split like a console
// line and must hold exactly one command. False with *error.
bool ParseCommandList(const std::vector<std::string>& words, std::vector<McuRequest>* out,
                      std::string* error);

// The reply the daemon gives to a payload (none for messages without one).
AnswerRule GetAnswerRule(const uchar* payload, int size);
bool IsAnswer(const AnswerRule& rule, const uchar* payload, int size);
// Payloads that power the board off or start an update.
bool IsDangerous(const uchar* payload, int size);
bool IsCommandWord(const std::string& word);

// Splits an interactive line into words; double quotes group blanks and a
// backslash escapes the next character. False with *error for an open quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error);

// "--layout CODE:LFE".
bool ParseLayoutOption(const std::string& text, uchar* code, uchar* lfe);
// The MCU's layout message 06 23 02 code lfe.
std::vector<uchar> BuildLayoutMessage(uchar code, uchar lfe);
// "5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)".
std::string DescribeLayout(uchar code, uchar lfe);

// The 10-byte date-and-time record of a set request from broken-down time
// and a zone offset in whole hours. False for fields out of range.
bool BuildDateTimeRecord(uchar* record, const std::tm& when, int zoneHours);

std::string GetHelpText();
