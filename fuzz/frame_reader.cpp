// Fuzz target: an arbitrary byte stream through the frame reader over a
// memory source.
//
// Checks, besides what ASan and UBSan see:
// - every dispatched frame lies in the stream exactly where its start byte
//   was read, with its checksum and end byte right (re-framed and compared);
// - every dispatched frame with a payload was acknowledged exactly once,
//   with FA swapped-addr id 00 sum F5, before dispatch, and nothing else
//   was sent;
// - no dispatched frame spans the point where the line went quiet for the
//   reader's gap;
// - for inputs of odd length, the stream's first 16 bytes that are not 0xFA,
//   followed by a valid frame built from the input, dispatch exactly that
//   frame.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "link/frame.h"
#include "link/link.h"

// Every buffer is static and the log goes nowhere: an input costs no
// allocation and no system call beyond the line's ack write and read,
// which keeps this target at tens of thousands of runs a second.
namespace {

TestLine line;

const MemoryLine* current = nullptr;
size_t frameStart = 0;
int dispatches = 0;
// The last dispatch, for the check of the frame after the garbage.
uchar lastAddr, lastId;
size_t lastStart;
int lastSize;
uchar lastPayload[kFrameBufferSize];

// The frame at `at` as the MCU would have sent it: short or long by its
// length byte, since a short frame may carry 183..191 bytes.
bool IsFramedAt(const MemoryLine& src, size_t at, uchar addr, uchar id, const uchar* payload,
                int size) {
    const uchar* f = src.data + at;
    const size_t left = src.size - at;
    if (left < 6 || f[0] != kFrameStart || f[1] != addr || f[2] != id) return false;
    const bool isLong = IsLongLength(f[3]);
    const size_t head = isLong ? 5 : 4;
    const size_t total = head + static_cast<size_t>(size) + (isLong ? 3 : 2);
    if (left < total) return false;
    if (isLong ? (f[3] != (0xC0 | (size >> 8)) || f[4] != (size & 0xFF)) : f[3] != size) return false;
    if (size > 0 && memcmp(f + head, payload, static_cast<size_t>(size)) != 0) return false;
    unsigned sum = 0;
    for (size_t i = 0; i < head + static_cast<size_t>(size); ++i) sum += f[i];
    const uchar* tail = f + head + size;
    if (isLong ? (tail[0] != ((sum >> 8) & 0xFF) || tail[1] != (sum & 0xFF))
               : tail[0] != (sum & 0xFF)) {
        return false;
    }
    return tail[isLong ? 2 : 1] == kFrameEnd;
}

int Record(TtyData*, uchar addr, uchar id, const uchar* cmd, int size) {
    if (size < 0 || (size > 0 && cmd == nullptr)) FuzzFail("dispatch with size %d", size);
    if (!IsFramedAt(*current, frameStart, addr, id, cmd, size)) {
        FuzzFail("dispatched a frame (addr %02X id %d, %d bytes) that is not in the stream at %zu",
                 addr, id, size, frameStart);
    }
    // The line went quiet for the gap inside it: it must have been dropped.
    const size_t end = frameStart + static_cast<size_t>(size) +
                       (IsLongLength(current->data[frameStart + 3]) ? 8 : 6);
    if (current->pauseAt > frameStart && current->pauseAt < end)
        FuzzFail("frame at %zu dispatched across a quiet line at %zu", frameStart,
                 current->pauseAt);
    // The acknowledgement went out before dispatch, and nothing else.
    uchar sent[64];
    const size_t n = DrainLine(&line, sent, sizeof sent);
    uchar ack[6] = {kFrameStart, GetSendAddr(addr), id, 0, 0, kFrameEnd};
    ack[4] = doSum(ack, 4);
    const size_t want = size > 0 ? sizeof ack : 0;
    if (n != want || memcmp(sent, ack, want) != 0)
        FuzzFail("frame id %d: %zu bytes sent before dispatch, expected its ack", id, n);
    ++dispatches;
    lastAddr = addr;
    lastId = id;
    lastStart = frameStart;
    lastSize = size;
    if (size > 0) memcpy(lastPayload, cmd, static_cast<size_t>(size));
    return 0;
}

// Runs the reader over the whole stream; returns how many frames it
// dispatched. The line goes quiet for the reader's gap before byte pauseAt.
int ReadAll(const uchar* data, size_t size, size_t pauseAt) {
    MemoryLine src{data, size, 0, SIZE_MAX, pauseAt, kByteGapMs, kByteGapMs};
    ByteSource bytes{ReadMemoryLine, &src};
    current = &src;
    dispatches = 0;
    for (;;) {
        frameStart = src.pos;
        const int rc = doReadFrame(&bytes, &line.tty);
        if (rc < 0) break;
        if (src.pos <= frameStart) FuzzFail("reader made no progress at %zu", frameStart);
    }
    current = nullptr;
    return dispatches;
}

// Each dispatch took its acknowledgement off the line: anything left was
// sent for a frame that was not dispatched. Looked at once, at the end of a
// run: the second pass (when there is one) always dispatches a frame, whose
// check also sees what the first pass left (a system call is a good part of
// a run).
void CheckNothingLeft() {
    uchar rest[1];
    if (DrainLine(&line, rest, sizeof rest) != 0) FuzzFail("bytes sent without a dispatch");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    OpenTestLine(&line);
    SetLinkHandlers(Record, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libFuzzer's own copy of the input has exactly this size: ASan sees
    // any read past its end.
    // A third of the inputs have a quiet line in their middle, where a frame
    // still open is dropped: the same bytes, with and without the pause,
    // come up across the corpus.
    ReadAll(data, size, size % 3 == 0 ? size / 2 : SIZE_MAX);

    // Inputs of odd length go on to a second pass, garbage without a start
    // byte (the input's first 16 such bytes: more only costs time), then one
    // valid frame: the reader drops the garbage a byte at a time and finds
    // the frame. The frame's address, id and payload length come from the
    // first bytes. Half the inputs are enough for this check, and it costs as
    // much as the first pass.
    if (size % 2 == 0) {
        CheckNothingLeft();
        return 0;
    }
    static std::vector<uchar> stream;
    stream.clear();
    for (size_t i = 0; i < size && stream.size() < 16; ++i) {
        if (data[i] != kFrameStart) stream.push_back(data[i]);
    }
    const size_t garbage = stream.size();
    const uchar addr = data[0];  // an odd length is at least 1
    const uchar id = size > 1 ? data[1] : 1;
    // Half the lengths are small short frames, half lie around the last
    // short and the first long payload (182, 183).
    const int pick = size > 2 ? data[2] : 3;
    const int want = pick < 128 ? pick % 32 : 176 + pick % 24;
    uchar payload[200];
    for (int i = 0; i < want; ++i) payload[i] = data[(3 + i) % size];
    uchar valid[kFrameBufferSize];
    const int n = BuildFrame(valid, payload, want, id, addr);
    stream.insert(stream.end(), valid, valid + n);
    if (ReadAll(stream.data(), stream.size(), SIZE_MAX) != 1 || lastStart != garbage) {
        FuzzFail("valid frame after %zu bytes of garbage: %d dispatches", garbage, dispatches);
    }
    if (lastAddr != addr || lastId != id || lastSize != want ||
        (want > 0 && memcmp(lastPayload, payload, static_cast<size_t>(want)) != 0)) {
        FuzzFail("the frame after the garbage was dispatched changed");
    }
    CheckNothingLeft();
    return 0;
}
