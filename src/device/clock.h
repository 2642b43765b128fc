// Date and time: the board's clock reported to the MCU, and set from it.
//
// Record (after the three code bytes): sync, time-zone hours (signed),
// century, year % 100, month 1..12, day, week day 0..6 (Sunday 0), hour,
// minute, second.
#pragma once

#include <ctime>

#include "link/link.h"

constexpr int kDateTimeRecordSize = 10;
constexpr int kDateTimeReportSize = 3 + kDateTimeRecordSize;
constexpr int kSyncYear = 2025;  // an earlier clock was never synchronised

// Pure: the 13-byte report 10 05 02 + record from a local broken-down time
// (time-zone byte always 0).
int BuildDateTimeReport(uchar* dest, const struct tm& local, bool sync);
// Pure: the report's log line "sync=.. week=.. YYYY-MM-DD hh:mm:ss+ZZ00\n".
int FormatDateTimeReportLog(char* dest, size_t cap, const uchar* report);
// Pure: the "date -s" line from a set request's record (10 bytes).
int FormatSetDateLine(char* dest, size_t cap, const uchar* record);

// MCU request 10 05 01: sends the report to addr. Any thread.
int doReportDateTime(TtyData* data, uchar addr);
// MCU request 10 05 0B: sets the clock; no reply. Returns the command's
// status, -1 for a record shorter than 10 bytes (nothing run).
int doSetDateTime(TtyData* data, uchar addr, const uchar* cmd, int size);
