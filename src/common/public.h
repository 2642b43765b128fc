// Small helpers every module uses: the byte type, the monotonic tick count,
// thread start and pointer tests.
#pragma once

#include <pthread.h>

#include <cstdint>

typedef unsigned char uchar;
typedef unsigned short ushort;

// Text to int as atoi does; 0 for a null or empty text.
int ToInt(const char* src);

// Milliseconds of the monotonic clock; for intervals only.
unsigned long TickCount();

// Creates a thread running callback(data) and detaches it at once.
// Returns -1 for a null dest, the creation error (and *dest = 0) on failure,
// else the result of the detach.
int StartThread(pthread_t* dest, void* (*callback)(void*), void* data);

inline bool Assigned(const void* src) {
    return src != nullptr;
}
inline bool IsNull(const void* src) {
    return src == nullptr;
}

// Sleeps the given number of milliseconds (restarted after signals),
// divided by TestTimeDivisor.
void SleepMs(unsigned ms);

// Test-only: every product delay (SleepMs, the monitor's pass period, the LAN
// reset time) is divided by this. 1 in production; the tests set it through
// QZLINKD_TEST_TIME_DIVISOR, read once at start. Not for production use.
extern unsigned TestTimeDivisor;
