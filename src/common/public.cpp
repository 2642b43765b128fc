#include "common/public.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

int ToInt(const char* src) {
    if (IsNull(src) || src[0] == '\0') return 0;
    return atoi(src);
}

unsigned long TickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long>(ts.tv_sec) * 1000UL +
           static_cast<unsigned long>(ts.tv_nsec) / 1000000UL;
}

int StartThread(pthread_t* dest, void* (*callback)(void*), void* data) {
    if (IsNull(dest)) return -1;
    int rc = pthread_create(dest, nullptr, callback, data);
    if (rc != 0) {
        *dest = 0;
        return rc;
    }
    return pthread_detach(*dest);
}

unsigned TestTimeDivisor = 1;

void SleepMs(unsigned ms) {
    ms /= TestTimeDivisor;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
