#include "qzmcu/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string Format(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

std::string TextAt(const uchar* p, int n, int at) {
    if (p == nullptr || at < 0 || at >= n) return std::string();
    const size_t len = strnlen(reinterpret_cast<const char*>(p + at), static_cast<size_t>(n - at));
    return std::string(reinterpret_cast<const char*>(p + at), len);
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += Format("\\x%02X", c);
        } else {
            out += static_cast<char>(c);  // UTF-8 bytes pass as they are
        }
    }
    return out + "\"";
}
