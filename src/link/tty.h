// The serial port: open, raw 8-N-1 set-up, and thin read/write/close calls.
#pragma once

#include <termios.h>

#include <cstddef>

typedef int HTty;  // a descriptor; -1 when not open

// Terminal speed code of a rate text; (speed_t)-1 when the rate has none.
speed_t GetSpeed(const char* baudr);
// Opens read/write, no controlling terminal, non-blocking, close-on-exec;
// -1 with errno set, ENOTTY when the path is not a terminal.
HTty TtyOpen(const char* device);
// Raw 8-N-1 at the given rate, VMIN 10, VTIME 5; input queue flushed.
void TtyInit(HTty fd, const char* baudr);
// The rate the line runs at, in baud, read back from its settings; 0 when
// it has none (hung up, not a terminal, a rate without a code).
long GetLineRate(HTty fd);
int TtyRead(HTty handle, void* dest, size_t size);
int TtyWrite(HTty handle, const void* src, size_t size);
int TtyClose(HTty handle);
