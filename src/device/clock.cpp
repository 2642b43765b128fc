#include "device/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config.h"
#include "common/log.h"
#include "link/byteorder.h"
#include "network/nm.h"
#include "shell/exec.h"

namespace {

constexpr uchar kDateTimeReportHeader[3] = {0x10, 0x05, 0x02};

// Either network device activated: one call on the main loop. The wired
// device is only asked when the WiFi device is not activated.
bool IsNetworkActivated() {
    bool activated = false;
    NmCallOnLoop([&activated] {
        activated = NmGetDeviceState(NmGetDevice(WLAN_NAME)) == NM_DEVICE_STATE_ACTIVATED ||
                    NmGetDeviceState(NmGetDevice(ETH_NAME)) == NM_DEVICE_STATE_ACTIVATED;
    });
    return activated;
}

}  // namespace

int BuildDateTimeReport(uchar* dest, const struct tm& local, bool sync) {
    const int year = 1900 + local.tm_year;
    memcpy(dest, kDateTimeReportHeader, 3);
    uchar* rec = dest + 3;
    rec[0] = sync ? 1 : 0;
    rec[1] = 0;  // the offset is never sent: the MCU shows local time as it is
    rec[2] = ToUChar(year / 100);
    rec[3] = ToUChar(year % 100);
    rec[4] = ToUChar(local.tm_mon + 1);
    rec[5] = ToUChar(local.tm_mday);
    rec[6] = ToUChar(local.tm_wday);
    rec[7] = ToUChar(local.tm_hour);
    rec[8] = ToUChar(local.tm_min);
    rec[9] = ToUChar(local.tm_sec);
    return kDateTimeReportSize;
}

int FormatDateTimeReportLog(char* dest, size_t cap, const uchar* report) {
    const uchar* r = report + 3;
    return snprintf(dest, cap, "sync=%d week=%d %02d%02d-%02d-%02d %02d:%02d:%02d+%02d00\n", r[0],
                    r[6], r[2], r[3], r[4], r[5], r[7], r[8], r[9], r[1]);
}

int FormatSetDateLine(char* dest, size_t cap, const uchar* record) {
    const int offset = static_cast<signed char>(record[1]);
    const char sign = offset >= 0 ? '+' : '-';
    int n = snprintf(dest, cap, "date -s \"%02d%02d-%02d-%02d %02d:%02d:%02d%c%02d00\"", record[2],
                     record[3], record[4], record[5], record[7], record[8], record[9], sign,
                     abs(offset));
    if (n < 0 || static_cast<size_t>(n) >= cap) return -1;
    return n;
}

int doReportDateTime(TtyData* data, uchar addr) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const bool sync = IsNetworkActivated() && 1900 + local.tm_year >= kSyncYear;
    uchar report[kDateTimeReportSize];
    BuildDateTimeReport(report, local, sync);
    char line[128];
    if (FormatDateTimeReportLog(line, sizeof line, report) > 0) Log("%s", line);
    return SendPayload(data, addr, report, kDateTimeReportSize);
}

int doSetDateTime(TtyData*, uchar, const uchar* cmd, int size) {
    // The MCU sends no length check of its own: a short record sets nothing.
    if (IsShortCommand(cmd, size, kDateTimeRecordSize)) return -1;
    char line[128];
    if (FormatSetDateLine(line, sizeof line, cmd) < 0) return -1;
    Log("sync=%d week=%d %s\n", cmd[0], cmd[6], strchr(line, '"'));
    return Exec(nullptr, nullptr, line);
}
