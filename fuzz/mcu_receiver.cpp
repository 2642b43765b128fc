// Fuzz target: the MCU library's receiver over an arbitrary byte stream,
// with pauses longer than the gap here and there, and every decoder on
// every payload it hands up and on the raw input.
//
// Checks, besides what ASan and UBSan see:
// - every payload handed up ends the stream at the byte just fed, framed
//   there with its address, id and payload, and was acknowledged just
//   before with FA swapped-addr id 00 sum F5, and nothing else was written;
// - every decoder stays within the payload (ASan) and every text it
//   points to ends inside it.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "describe.h"
#include "qzlink.h"

namespace {

struct Run {
    qz_link link;
    const uint8_t* data;
    size_t at;  // the byte being fed
    uint32_t now;
    uint8_t written[16];
    size_t writtenSize;
};
Run run;

[[noreturn]] void Fail(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fputc('\n', stderr);
    abort();
}

void Write(void*, const uint8_t* bytes, size_t size) {
    if (run.writtenSize + size > sizeof run.written) Fail("more written than one ack");
    memcpy(run.written + run.writtenSize, bytes, size);
    run.writtenSize += size;
}

uint32_t Tick(void*) {
    return run.now;
}

void Describe(const uint8_t* p, size_t n) {
    char text[600];
    qz_describe(text, sizeof text, p, n);
    if (strlen(text) >= sizeof text) Fail("line not ended");
}

// The frame of `size` payload bytes that ends at the byte just fed.
bool IsFramedHere(bool isLong, uint8_t addr, uint8_t id, const uint8_t* payload, size_t size) {
    const size_t total = size + (isLong ? 8 : 6);
    if (total > run.at + 1) return false;
    const uint8_t* f = run.data + run.at + 1 - total;
    const bool lengthOk = isLong ? (f[3] == (0xC0 | (size >> 8)) && f[4] == (size & 0xFF))
                                 : f[3] == size;
    return f[0] == 0xFA && f[1] == addr && f[2] == id && lengthOk &&
           memcmp(f + (isLong ? 5 : 4), payload, size) == 0 && f[total - 1] == 0xF5;
}

void Payload(void*, uint8_t addr, uint8_t id, const uint8_t* payload, size_t size) {
    if (size == 0 || size > QZ_RX_PAYLOAD_MAX) Fail("payload of %zu bytes", size);
    if (!IsFramedHere(false, addr, id, payload, size) && !IsFramedHere(true, addr, id, payload, size))
        Fail("payload not framed at byte %zu", run.at);
    const uint8_t ack[6] = {0xFA, (uint8_t)((addr << 4) | (addr >> 4)), id, 0,
                            (uint8_t)(0xFA + ((addr << 4) | (addr >> 4)) + id), 0xF5};
    if (run.writtenSize != 6 || memcmp(run.written, ack, 6) != 0) Fail("no ack before payload");
    run.writtenSize = 0;
    Describe(payload, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qz_init(&run.link, Write, Tick, Payload, nullptr);
    run.data = data;
    run.now = 0;
    run.writtenSize = 0;
    // The first byte picks where the line pauses: before every byte whose
    // index modulo 8 is its low 3 bits, when its top bit is set.
    const uint8_t pauses = size > 0 ? data[0] : 0;
    for (run.at = 0; run.at < size; run.at++) {
        const bool pause = (pauses & 0x80) && (run.at % 8) == (pauses & 7u);
        run.now += pause ? QZ_GAP_MS + 1 : 1;
        qz_feed(&run.link, data[run.at]);
        if (run.writtenSize != 0) Fail("written without a payload at byte %zu", run.at);
    }
    Describe(data, size);
    return 0;
}
