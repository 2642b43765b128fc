#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void LogInit() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void LogWrite(const char* text, size_t size) {
    flockfile(stdout);
    fwrite_unlocked(text, 1, size, stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

void Log(const char* fmt, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof line) {
        LogWrite(line, static_cast<size_t>(n));
        return;
    }
    // A long line (a big captured reply): format again into a heap buffer so
    // that it still goes out whole.
    char* big = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) return;
    va_start(ap, fmt);
    vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    LogWrite(big, static_cast<size_t>(n));
    free(big);
}
