// Who this daemon and this device are: version, build date with the
// processor version, the device identity from the MCU and the UUID.
#pragma once

#include "link/link.h"

int doReportRever(TtyData* data, uchar addr);
int doReportRedate(TtyData* data, uchar addr);
int doDevicInfoCompleted(TtyData* data, uchar addr, const uchar* cmd, int size);
int doDiracUuidReport(TtyData* data, uchar addr);

// The device identity body (after 13 05 02): counts A and B, a NUL-terminated
// name from offset 2, the 8-character id at 2 + B - A. True when all of it
// lies inside the body.
bool IsDeviceInfoComplete(const uchar* body, int size);
