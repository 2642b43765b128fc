// A qz_link on a line in memory: what it writes is kept, the clock is a
// number the test moves, every payload handed up is recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "describe.h"
#include "qzlink.h"
#include "wire.h"

struct McuLine {
    qz_link link;
    Bytes written;
    std::vector<Bytes> payloads;
    uint32_t now = 0;
};

inline void WriteToLine(void* ctx, const uint8_t* bytes, size_t size) {
    auto* line = static_cast<McuLine*>(ctx);
    line->written.insert(line->written.end(), bytes, bytes + size);
}

inline uint32_t LineTick(void* ctx) {
    return static_cast<McuLine*>(ctx)->now;
}

inline void KeepPayload(void* ctx, uint8_t, uint8_t, const uint8_t* payload, size_t size) {
    static_cast<McuLine*>(ctx)->payloads.emplace_back(payload, payload + size);
}

inline void OpenMcuLine(McuLine* line) {
    qz_init(&line->link, WriteToLine, LineTick, KeepPayload, line);
}

inline void Feed(McuLine* line, const Bytes& bytes) {
    for (uint8_t b : bytes) qz_feed(&line->link, b);
}

// The example firmware's line for a message from the daemon.
inline std::string DescribeMcuMessage(const uint8_t* p, size_t n) {
    char text[400];
    qz_describe(text, sizeof text, p, n);
    return text;
}
