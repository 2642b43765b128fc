#include "common/format.h"

#include <cstdarg>
#include <cstdio>

int FormatLine(char* dest, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(dest, cap, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        if (cap > 0) dest[0] = '\0';
        return -1;
    }
    return n;
}
