#include "app/monitor.h"

#include "device/identity.h"
#include "link/link.h"

void* doCheckState(void* arg) {
    auto* data = static_cast<TtyData*>(arg);
    doReportRever(data, kReportAddr);
    SleepMs(100);
    doReportRedate(data, kReportAddr);
    return arg;
}
