// The frame format, pure: building frames into a buffer and checking
// received ones. No I/O, so the tests and the fuzzers link it alone, and the
// MCU console links it with the line and the tables, without the daemon.
//
// Short frame: FA addr id L payload[L] sum8 F5           (L <= 191)
// Long frame:  FA addr id C0|L>>8 L&FF payload[L] sum16 F5 (top bits of byte 3 set)
#pragma once

#include "common/public.h"

constexpr int kFrameBufferSize = 4096;
constexpr uchar kFrameStart = 0xFA;
constexpr uchar kFrameEnd = 0xF5;
constexpr int kShortFrameMax = 182;  // the sender's largest short payload
constexpr int kLongPayloadMax = kFrameBufferSize - 8;
constexpr uchar kReportAddr = 0x43;  // where the daemon's own reports go

uchar doSum(const uchar* src, int size);
ushort doSum2(const uchar* src, int size);
// The reply address: the two 4-bit node numbers exchanged.
uchar GetSendAddr(uchar addr);

inline bool IsLongLength(uchar b) {
    return (b & 0xC0) == 0xC0;
}

// Builds the frame for a byte payload into dest (kFrameBufferSize bytes).
// Returns its total length, or -1 when the payload does not fit.
int BuildFrame(uchar* dest, const uchar* payload, int size, uchar id, uchar addr);

// Checks a whole received frame of payload length L: end byte and checksum.
bool IsValidFrame(const uchar* frame, int L, bool isLong);
