// Who this daemon and this device are: version, build date with the
// processor version, the device identity from the MCU and the UUID.
#pragma once

#include "link/link.h"

int doReportRever(TtyData* data, uchar addr);
int doReportRedate(TtyData* data, uchar addr);
int doDevicInfoCompleted(TtyData* data, uchar addr, const uchar* cmd, int size);
int doDiracUuidReport(TtyData* data, uchar addr);
