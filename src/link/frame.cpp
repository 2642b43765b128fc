#include "link/frame.h"

#include <cstring>

#include "link/byteorder.h"

ushort doSum2(const uchar* src, int size) {
    unsigned sum = 0;
    for (int i = 0; i < size; i++) sum += src[i];
    return static_cast<ushort>(sum & 0xFFFF);
}

// The low byte of the 16-bit sum is the 8-bit sum.
uchar doSum(const uchar* src, int size) {
    return static_cast<uchar>(doSum2(src, size) & 0xFF);
}

uchar GetSendAddr(uchar addr) {
    return static_cast<uchar>(((addr << 4) | (addr >> 4)) & 0xFF);
}

int BuildFrame(uchar* dest, const uchar* payload, int size, uchar id, uchar addr) {
    if (size < 0 || size > kLongPayloadMax || (size > 0 && IsNull(payload))) return -1;
    dest[0] = kFrameStart;
    dest[1] = addr;
    dest[2] = id;
    if (size > kShortFrameMax) {
        ToUChars(dest + 3, size);
        dest[3] |= 0xC0;
        memcpy(dest + 5, payload, static_cast<size_t>(size));
        ShortToUChars(dest + 5 + size, static_cast<short>(doSum2(dest, 5 + size)));
        dest[7 + size] = kFrameEnd;
        return size + 8;
    }
    dest[3] = static_cast<uchar>(size);
    if (size > 0) memcpy(dest + 4, payload, static_cast<size_t>(size));
    dest[4 + size] = doSum(dest, 4 + size);
    dest[5 + size] = kFrameEnd;
    return size + 6;
}

bool IsValidFrame(const uchar* frame, int L, bool isLong) {
    if (isLong) {
        return frame[7 + L] == kFrameEnd && doSum2(frame, 5 + L) == ToUShort(frame + 5 + L);
    }
    return frame[5 + L] == kFrameEnd && doSum(frame, 4 + L) == frame[4 + L];
}
