// The frame link: the one link record, sequence ids, the send routine every
// module uses, and the receive thread that reads, checks, acknowledges and
// dispatches frames.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "common/config.h"
#include "common/public.h"
#include "link/frame.h"
#include "link/tty.h"

struct TtyData {
    std::atomic<uchar> lastId;  // next id to hand out, 1..255
    std::atomic<HTty> handle;   // the serial descriptor; replaced after a hang-up
    pthread_t receiveThread;
    pthread_t diracThread;            // the state monitor
    pthread_mutex_t sendMutex;        // one frame is written at a time
    std::atomic<uchar> wifiSendAddr;  // where WiFi list pages go
    unsigned long lastScanId;         // pending "notify::last-scan" handler; main loop only
    unsigned long lastScanTick;       // main loop only
    char device[kPathSize];           // the line's path, to reopen it after a hang-up
    char baudr[32];
    int gapMs;                        // the reader's inter-byte gap at the line's speed
    std::atomic<unsigned> sendDrops;  // frames dropped since the line last took one
};

// Everything a received frame is handed to; the daemon installs its command
// dispatch, the MCU console a decoder of its own.
typedef int (*CommandHandlerFn)(TtyData* data, uchar addr, uchar id, const uchar* cmd, int size);
typedef void* (*ThreadFn)(void*);
// Installs the frame handler and the thread the receive thread starts first
// (the state monitor); either may be null. Call before the receive thread starts.
void SetLinkHandlers(CommandHandlerFn handler, ThreadFn monitor);

// TickCount when the frame handler now running started; 0 while the reader
// waits for bytes.
unsigned long GetHandlerSince();

// Prepares a link record for an open line (ids from 1, send lock ready).
void InitTtyData(TtyData* data, HTty handle, const char* device, const char* baudr);

uchar GetLastId(TtyData* data);
int doRead(uchar* dest, int size, HTty fd, bool autoWait);
int doTtyWrite(HTty fd, pthread_mutex_t* mutex, const void* data, size_t size);
int doSend(TtyData* ttyData, const uchar* data, int size, uchar id, uchar addr, int isQZ);
int doReadCommand(HTty fd, TtyData* ttyData);
void* doReceive(void* data);

// A frame's bytes come back to back; one whose next byte has not come after
// this gap is dropped and the reader hunts for the next start byte, so line
// noise that looks like a long header cannot swallow the requests behind it.
// 100 ms is far above the pauses inside a frame that is sent whole (a USB
// adapter's packets, a scheduler's slice), and short enough that the request
// behind the noise is still answered at once. At slow rates the gap is never
// less than the time of 64 bytes (10 bits each), so a sender that pauses
// between chunks of a frame keeps working: 100 ms from 9600 baud up, 2134 ms
// at 300.
constexpr int kByteGapMs = 100;
constexpr long kGapBytes = 64;
constexpr int GetByteGap(long baud) {
    return baud <= 0 ? kByteGapMs
                     : static_cast<int>(
                           std::max<long>(kByteGapMs, (kGapBytes * 10 * 1000 + baud - 1) / baud));
}

// A source of received bytes: readExact fills exactly `size` bytes, returns
// -1 when the source is gone, or kLineReopened when the line hung up and was
// opened again (the bytes of the frame under way are lost with the old line).
// With inFrame (every read after a start byte) it returns early, with the
// count it has, when the line has gone quiet for the gap. Lets the frame
// reader run on a memory buffer in tests and fuzzers.
constexpr int kLineReopened = -2;
struct ByteSource {
    int (*readExact)(void* ctx, uchar* dest, int size, bool inFrame);
    void* ctx;
};
// Reads one frame (or one skipped byte) from src, acknowledges and
// dispatches it: the body of doReadCommand.
int doReadFrame(const ByteSource* src, TtyData* ttyData);

// A request (or its body) that lacks bytes is dumped after "Short command: ";
// IsShortCommand does so and gives true when cmd is null or has fewer than
// `need` bytes.
void DumpShortCommand(const uchar* cmd, int size);
bool IsShortCommand(const uchar* cmd, int size, int need);

// What every handler sends with: one frame to addr with the protocol flag
// and a fresh id, taken under the send lock so ids reach the wire in order.
int SendPayload(TtyData* data, uchar addr, const uchar* payload, int size);
