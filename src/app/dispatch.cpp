#include "app/dispatch.h"

// The rows arrive with their handlers.
int handleCommand(TtyData*, uchar, uchar, const uchar*, int) { return 0; }
