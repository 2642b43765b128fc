// Byte order on the line (big-endian), hardware-address hex text and the
// hex dump of frames. The conversions take no locks and allocate nothing;
// printHex writes one log line (under the log's lock, from the heap only for
// a dump longer than 1 KiB).
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
short ToShort(const uchar* src);
ushort ToUShort(const uchar* src);
uchar* ShortToUChars(uchar* dest, short src);
uchar* ToUChars(uchar* dest, int src);
// One log line: text (may be null), then the bytes as "XX XX ...\n".
void printHex(const char* text, const uchar* src, int size);
