// The date-and-time report from fixed times only (the "date -s" lines are
// pinned in the dispatch table).
#include "device/clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "wire.h"

TEST(DateTimeReport, RecordAndLogLine) {
    const struct {
        const char* local;
        bool sync;
        const char* want;
        const char* log;
    } cases[] = {
        {"2026-07-28 13:05:09", true, "10 05 02 01 00 14 1A 07 1C 02 0D 05 09",
         "sync=1 week=2 2026-07-28 13:05:09+0000\n"},
        // December, a Sunday, the last century and a leap second.
        {"1999-12-05 23:59:60", false, "10 05 02 00 00 13 63 0C 05 00 17 3B 3C",
         "sync=0 week=0 1999-12-05 23:59:60+0000\n"},
    };
    for (const auto& c : cases) {
        struct tm local {};
        ASSERT_NE(strptime(c.local, "%Y-%m-%d %H:%M:%S", &local), nullptr);  // sets the week day
        uchar out[kDateTimeReportSize + 4];
        EXPECT_EQ(BuildDateTimeReport(out, local, c.sync), kDateTimeReportSize);
        EXPECT_EQ(Bytes(out, out + kDateTimeReportSize), Hex(c.want));
        char line[128];
        FormatDateTimeReportLog(line, sizeof line, out);
        EXPECT_STREQ(line, c.log);
    }
}
