// Fuzz target: an arbitrary byte stream through the frame reader over a
// memory source.
//
// Checks, besides what ASan and UBSan see:
// - every dispatched frame lies in the stream exactly where its start byte
//   was read, with its checksum and end byte right (re-framed and compared);
// - every dispatched frame with a payload was acknowledged exactly once,
//   with FA swapped-addr id 00 sum F5, before dispatch, and nothing else
//   was sent;
// - the stream with its 0xFA bytes taken out, followed by a valid frame
//   built from the input, dispatches exactly that frame.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "link/frame.h"
#include "link/link.h"

namespace {

TtyData tty;

struct MemorySource {
    const uchar* data;
    size_t size;
    size_t pos;
};

// Exactly `size` bytes, or -1 when the stream ends (the line is gone).
int ReadMemory(void* ctx, uchar* dest, int size) {
    auto* src = static_cast<MemorySource*>(ctx);
    if (size < 0 || src->size - src->pos < static_cast<size_t>(size)) {
        src->pos = src->size;
        return -1;
    }
    if (size > 0) memcpy(dest, src->data + src->pos, static_cast<size_t>(size));
    src->pos += static_cast<size_t>(size);
    return size;
}

struct Dispatched {
    uchar addr;
    uchar id;
    std::vector<uchar> payload;
    size_t start;  // where the frame began in the stream
};

const MemorySource* current = nullptr;
size_t frameStart = 0;
std::vector<Dispatched> dispatched;

// The frame at `at` as the MCU would have sent it: short or long by its
// length byte, since a short frame may carry 183..191 bytes.
bool IsFramedAt(const MemorySource& src, size_t at, uchar addr, uchar id, const uchar* payload,
                int size) {
    const uchar* f = src.data + at;
    const size_t left = src.size - at;
    if (left < 6) return false;
    const bool isLong = IsLongLength(f[3]);
    std::vector<uchar> expect = {kFrameStart, addr, id};
    if (isLong) {
        expect.push_back(static_cast<uchar>(0xC0 | (size >> 8)));
        expect.push_back(static_cast<uchar>(size & 0xFF));
    } else {
        expect.push_back(static_cast<uchar>(size));
    }
    expect.insert(expect.end(), payload, payload + size);
    unsigned sum = 0;
    for (uchar b : expect) sum += b;
    if (isLong) expect.push_back(static_cast<uchar>((sum >> 8) & 0xFF));
    expect.push_back(static_cast<uchar>(sum & 0xFF));
    expect.push_back(kFrameEnd);
    return left >= expect.size() && memcmp(f, expect.data(), expect.size()) == 0;
}

int Record(TtyData*, uchar addr, uchar id, const uchar* cmd, int size) {
    if (size < 0 || (size > 0 && cmd == nullptr)) FuzzFail("dispatch with size %d", size);
    if (!IsFramedAt(*current, frameStart, addr, id, cmd, size)) {
        FuzzFail("dispatched a frame (addr %02X id %d, %d bytes) that is not in the stream at %zu",
                 addr, id, size, frameStart);
    }
    // The acknowledgement went out before dispatch.
    std::vector<uchar> sent = DrainLine(&tty);
    std::vector<uchar> ack;
    if (size > 0) {
        const uchar head[] = {kFrameStart, GetSendAddr(addr), id, 0};
        ack.assign(head, head + 4);
        ack.push_back(doSum(head, 4));
        ack.push_back(kFrameEnd);
    }
    if (sent != ack)
        FuzzFail("frame id %d: %zu bytes sent before dispatch, expected its ack", id, sent.size());
    dispatched.push_back({addr, id, std::vector<uchar>(cmd, cmd + size), frameStart});
    return 0;
}

// Runs the reader over the whole stream; returns what it dispatched.
std::vector<Dispatched> ReadAll(const uchar* data, size_t size) {
    // A copy of exactly this size, so ASan sees any read past the end.
    std::vector<uchar> copy(data, data + size);
    MemorySource src{copy.data(), copy.size(), 0};
    ByteSource bytes{ReadMemory, &src};
    current = &src;
    dispatched.clear();
    for (;;) {
        frameStart = src.pos;
        const int rc = doReadFrame(&bytes, &tty);
        if (rc < 0) break;
        if (src.pos <= frameStart) FuzzFail("reader made no progress at %zu", frameStart);
    }
    // Each dispatch took its acknowledgement off the line: anything left
    // was sent for a frame that was not dispatched.
    if (!DrainLine(&tty).empty()) FuzzFail("bytes sent without a dispatch");
    current = nullptr;
    return dispatched;
}

std::vector<uchar> BuildValidFrame(const uchar* data, size_t size) {
    // Address, id and payload length from the first bytes; up to 300 bytes
    // so that short and long frames both come up.
    const uchar addr = size > 0 ? data[0] : 0x34;
    const uchar id = size > 1 ? data[1] : 1;
    const size_t want = size > 2 ? (data[2] * 7u) % 301u : 3;
    std::vector<uchar> payload;
    for (size_t i = 0; i < want; ++i) payload.push_back(size > 0 ? data[(3 + i) % size] : 0x13);
    std::vector<uchar> out(kFrameBufferSize);
    const int n =
        BuildFrame(out.data(), payload.data(), static_cast<int>(payload.size()), id, addr);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    FuzzOpenLine(&tty);
    SetLinkHandlers(Record, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAll(data, size);

    // Garbage without a start byte, then one valid frame: the reader drops
    // the garbage a byte at a time and finds the frame.
    std::vector<uchar> stream;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != kFrameStart) stream.push_back(data[i]);
    }
    const size_t garbage = stream.size();
    std::vector<uchar> valid = BuildValidFrame(data, size);
    stream.insert(stream.end(), valid.begin(), valid.end());
    std::vector<Dispatched> got = ReadAll(stream.data(), stream.size());
    if (got.size() != 1 || got[0].start != garbage) {
        FuzzFail("valid frame after %zu bytes of garbage: %zu dispatches", garbage, got.size());
    }
    const bool isLong = IsLongLength(valid[3]);
    const std::vector<uchar> payload(valid.begin() + (isLong ? 5 : 4),
                                     valid.end() - (isLong ? 3 : 2));
    if (got[0].addr != valid[1] || got[0].id != valid[2] || got[0].payload != payload) {
        FuzzFail("the frame after the garbage was dispatched changed");
    }
    return 0;
}
