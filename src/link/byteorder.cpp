#include "link/byteorder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

uchar fromHex(char src) {
    unsigned char c = static_cast<unsigned char>(src);
    if (c >= '0' && c <= '9') return static_cast<uchar>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uchar>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uchar>(c - 'a' + 10);
    return 0;
}

int FromHexText(uchar* dest, int size, const char* src, int step) {
    if (IsNull(dest) || IsNull(src)) return 0;
    if (step < 1) step = 1;
    int i = 0;
    size_t k = 0;
    size_t len = strlen(src);
    while ((i < size || size < 0) && k < len) {
        // A lone last digit is the high nibble: the NUL behind it reads as 0.
        uchar low = (k + 1 < len) ? fromHex(src[k + 1]) : 0;
        dest[i] = static_cast<uchar>(fromHex(src[k]) * 16 + low);
        // The text ends at or before the next separator: this was the last
        // byte. Checked against the length so nothing past the NUL is read.
        if (k + static_cast<size_t>(step) - 1 >= len) size = 0;
        i += 1;
        k += static_cast<size_t>(step);
    }
    return i;
}

int ToHexText(char* dest, const uchar* src, int size, char separator) {
    if (IsNull(dest) || IsNull(src)) return 0;
    int n = 0;
    for (int i = 0; i < size; i++) {
        if (i == 0) {
            n += sprintf(dest + n, "%02X", src[i]);
        } else {
            n += sprintf(dest + n, "%c%02X", separator, src[i]);
        }
    }
    return n;
}

short ToShort(const uchar* src) {
    if (IsNull(src)) return 0;
    return static_cast<short>(static_cast<ushort>(src[0] << 8 | src[1]));
}

ushort ToUShort(const uchar* src) {
    if (IsNull(src)) return 0;
    return static_cast<ushort>(src[0] << 8 | src[1]);
}

uchar* ShortToUChars(uchar* dest, short src) {
    if (Assigned(dest)) {
        dest[0] = static_cast<uchar>((src >> 8) & 0xFF);
        dest[1] = ToUChar(src);
    }
    return dest;
}

uchar* ToUChars(uchar* dest, int src) {
    if (Assigned(dest)) {
        dest[0] = static_cast<uchar>((src >> 8) & 0xFF);
        dest[1] = static_cast<uchar>(src & 0xFF);
    }
    return dest;
}

void printHex(const char* text, const uchar* src, int size) {
    static const char kDigits[] = "0123456789ABCDEF";
    size_t textLen = Assigned(text) ? strlen(text) : 0;
    if (IsNull(src) || size < 0) size = 0;
    size_t total = textLen + static_cast<size_t>(size) * 3;
    // Filled below up to total; the first byte is set so that the compiler
    // sees no read of an unset buffer when there is nothing to write.
    char stackLine[1024];
    stackLine[0] = '\0';
    char* line = total <= sizeof stackLine ? stackLine : static_cast<char*>(malloc(total));
    if (line == nullptr) return;
    if (textLen > 0) memcpy(line, text, textLen);
    char* p = line + textLen;
    for (int i = 0; i < size; i++) {
        *p++ = kDigits[src[i] >> 4];
        *p++ = kDigits[src[i] & 0x0F];
        *p++ = (i + 1 < size) ? ' ' : '\n';
    }
    LogWrite(line, total);
    if (line != stackLine) free(line);
}
