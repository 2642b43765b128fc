// Command dispatch: every valid frame from the MCU ends here, and the one
// matching row of the command table runs to completion on the receive thread.
#pragma once

#include "link/link.h"

int handleCommand(TtyData* data, uchar addr, uchar id, const uchar* cmd, int size);
