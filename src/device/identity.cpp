#include "device/identity.h"

#include <cstring>

#include "common/log.h"

int doReportRever(TtyData* data, uchar addr) {
    const char* digits = reinterpret_cast<const char*>(CMD_REVER) + 2;
    Log("COMMAND_FUNC_RDVER: %s\n", digits);
    return SendPayload(data, addr, CMD_REVER, 3 + static_cast<int>(strlen(digits)));
}

int doReportRedate(TtyData* data, uchar addr) {
    const char* date = GetBuildDateText();
    const char* version = GetDiracVersionText();
    int size = 2 + static_cast<int>(strlen(date)) + 1 + static_cast<int>(strlen(version)) + 1;
    Log("COMMAND_FUNC_RDDATE: %s %s\n", date, version);
    return SendPayload(data, addr, CMD_REDATE, size);
}

int doDevicInfoCompleted(TtyData*, uchar, const uchar*, int) { return 0; }
int doDiracUuidReport(TtyData*, uchar) { return 0; }
