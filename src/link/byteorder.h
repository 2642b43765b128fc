// Byte order on the line (big-endian), hardware-address hex text and the
// hex dump of frames. No allocation, no locks, no loud failures.
#pragma once

#include "common/public.h"

uchar fromHex(char src);
// Reads hex pairs `step` characters apart into dest, at most `size` bytes
// (negative: no maximum); stops at the end of the text. Returns bytes written.
int FromHexText(uchar* dest, int size, const char* src, int step);
// Upper-case hex pairs joined by separator; returns characters written.
int ToHexText(char* dest, const uchar* src, int size, char separator);
inline uchar ToUChar(const int& src) {
    return static_cast<uchar>(src & 0xFF);
}
uchar MakeUChar(uchar bit_7_6, uchar bit_5_4, uchar bit_3_0);
short ToShort(const uchar* src);
ushort ToUShort(const uchar* src);
uchar* ShortToUChars(uchar* dest, short src);
uchar* ToUChars(uchar* dest, int src);
// One log line: text (may be null), then the bytes as "XX XX ...\n".
void printHex(const char* text, const uchar* src, int size);
