#include "device/clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire.h"

namespace {

struct tm Local(int year, int mon1, int day, int wday, int h, int m, int s) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = mon1 - 1;
    t.tm_mday = day;
    t.tm_wday = wday;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

}  // namespace

TEST(DateTimeReport, Record) {
    struct Case {
        struct tm local;
        bool sync;
        Bytes want;
        const char* log;
    } cases[] = {
        {Local(2026, 7, 28, 2, 13, 5, 9),
         true,
         {0x10, 0x05, 0x02, 1, 0, 20, 26, 7, 28, 2, 13, 5, 9},
         "sync=1 week=2 2026-07-28 13:05:09+0000\n"},
        {Local(2024, 12, 1, 0, 0, 0, 0),
         false,
         {0x10, 0x05, 0x02, 0, 0, 20, 24, 12, 1, 0, 0, 0, 0},
         "sync=0 week=0 2024-12-01 00:00:00+0000\n"},
        {Local(1999, 1, 31, 6, 23, 59, 60),
         false,
         {0x10, 0x05, 0x02, 0, 0, 19, 99, 1, 31, 6, 23, 59, 60},
         "sync=0 week=6 1999-01-31 23:59:60+0000\n"},
    };
    for (const Case& c : cases) {
        uchar out[kDateTimeReportSize + 4];
        EXPECT_EQ(BuildDateTimeReport(out, c.local, c.sync), kDateTimeReportSize);
        EXPECT_EQ(Bytes(out, out + kDateTimeReportSize), c.want);
        char line[128];
        FormatDateTimeReportLog(line, sizeof line, out);
        EXPECT_STREQ(line, c.log);
    }
}

TEST(SetDateTime, CommandLines) {
    struct Case {
        uchar offset;
        const char* line;
    } cases[] = {
        {0x08, "date -s \"2026-07-28 13:05:09+0800\""},
        {0xFB, "date -s \"2026-07-28 13:05:09-0500\""},
        {0x00, "date -s \"2026-07-28 13:05:09+0000\""},
        {0x80, "date -s \"2026-07-28 13:05:09-12800\""},
    };
    for (const Case& c : cases) {
        const uchar record[10] = {1, c.offset, 20, 26, 7, 28, 2, 13, 5, 9};
        char line[128];
        EXPECT_GT(FormatSetDateLine(line, sizeof line, record), 0);
        EXPECT_STREQ(line, c.line);
    }
}

TEST(SetDateTime, RunsTheLineAndRefusesShortRecords) {
    InstallRecorder([](const std::string&, bool, std::string*) { return 7; });
    const uchar record[10] = {0, 0xFB, 20, 25, 1, 2, 4, 3, 4, 5};
    EXPECT_EQ(doSetDateTime(nullptr, 0x43, record, 10), 7);
    EXPECT_EQ(doSetDateTime(nullptr, 0x43, record, 9), -1);
    EXPECT_EQ(doSetDateTime(nullptr, 0x43, nullptr, 0), -1);
    RemoveRecorder();
    EXPECT_EQ(RecordedLines(), std::vector<std::string>{"date -s \"2025-01-02 03:04:05-0500\""});
}
