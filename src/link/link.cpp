#include "link/link.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#define QZ_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QZ_TSAN 1
#endif
#endif
#ifdef QZ_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#include "common/log.h"
#include "common/service.h"
#include "link/byteorder.h"

namespace {

CommandHandlerFn commandHandler = nullptr;
ThreadFn monitorThread = nullptr;
// TickCount when the handler of the current frame started; 0 while the
// reader waits for bytes. Read by the watchdog.
std::atomic<unsigned long> handlerSince{0};

// Waits until the line has something to say, at most timeoutMs (-1: no
// limit). Returns 0 when it is readable, hung up (the next read tells) or the
// time is up, -1 when the descriptor is invalid.
int WaitReadable(HTty fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) < 0) {
        if (errno != EINTR) return -1;
    }
    return (p.revents & POLLNVAL) ? -1 : 0;
}

// Marks the line invalid and closes it at once, under the send lock: senders
// then fail cleanly instead of writing to a descriptor number that may be
// reused, and nothing keeps the dead tty alive (a USB adapter keeps its
// device number while any descriptor of it is open, so a replugged one would
// come back under another name).
void DropLine(TtyData* data, HTty deadFd) {
    pthread_mutex_lock(&data->sendMutex);
    data->handle.store(-1);
    TtyClose(deadFd);
    pthread_mutex_unlock(&data->sendMutex);
}

// After a hang-up (unplugged adapter, closed pty master) the same path is
// tried every 50 ms until a terminal answers there again.
HTty ReopenLine(TtyData* data, HTty deadFd) {
    DropLine(data, deadFd);
    Log("Serial line lost: %s\n", data->device);
    ServiceStatus("line lost, waiting for %s", data->device);
    for (;;) {
        SleepMs(50);
        HTty fd = TtyOpen(data->device);
        if (fd < 0) continue;
        TtyInit(fd, data->baudr);
        pthread_mutex_lock(&data->sendMutex);
        data->handle.store(fd);
        pthread_mutex_unlock(&data->sendMutex);
        Log("Serial line reopened: %s\n", data->device);
        ServiceStatus("serving the MCU on %s", data->device);
        return fd;
    }
}

struct TtySource {
    HTty fd;
    TtyData* data;
};

// Reads exactly `size` bytes. Waits with poll() instead of sleeping, so
// bytes are taken as they arrive; between frames without a time-out, so an
// idle line costs nothing. Inside a frame the wait ends after the gap: the
// count read so far goes back. After a reopen the bytes read so far came from
// the dead line: the caller gets kLineReopened and drops them.
int ReadLineExact(void* ctx, uchar* dest, int size, bool inFrame) {
    auto* src = static_cast<TtySource*>(ctx);
    const int gap = src->data != nullptr ? src->data->gapMs : kByteGapMs;
    unsigned long quietSince = 0;  // when the line was first found empty
    int got = 0;
    while (got < size) {
        int r = TtyRead(src->fd, dest + got, static_cast<size_t>(size - got));
        if (r > 0) {
            got += r;
            quietSince = 0;
            continue;
        }
        int err = (r < 0) ? errno : EIO;  // 0 bytes from a tty: hung up
        if (err == EBADF) return -1;
        if (err == EAGAIN || err == EINTR) {
            int wait = -1;
            if (inFrame) {
                const unsigned long now = TickCount();
                if (quietSince == 0) quietSince = now;
                wait = gap - static_cast<int>(now - quietSince);
                if (wait <= 0) return got;
            }
            if (WaitReadable(src->fd, wait) < 0) return -1;
            continue;
        }
        if (src->data != nullptr && src->data->device[0] != '\0') {
            src->fd = ReopenLine(src->data, src->fd);
            src->data->gapMs = GetByteGap(GetLineRate(src->fd));
            return kLineReopened;
        } else {
            SleepMs(50);
        }
    }
    return got;
}

}  // namespace

unsigned long GetHandlerSince() {
    return handlerSince.load();
}

void SetLinkHandlers(CommandHandlerFn handler, ThreadFn monitor) {
    commandHandler = handler;
    monitorThread = monitor;
}

void InitTtyData(TtyData* data, HTty handle, const char* device, const char* baudr) {
    data->lastId.store(1);
    data->handle.store(handle);
    data->receiveThread = 0;
    data->diracThread = 0;
    pthread_mutex_init(&data->sendMutex, nullptr);
    data->wifiSendAddr.store(0);
    data->lastScanId = 0;
    data->lastScanTick = 0;
    snprintf(data->device, sizeof data->device, "%s", device ? device : "");
    snprintf(data->baudr, sizeof data->baudr, "%s", baudr ? baudr : "");
    data->gapMs = GetByteGap(GetLineRate(handle));
    data->sendDrops.store(0);
}

uchar GetLastId(TtyData* data) {
    if (IsNull(data)) return 0;
    // One indivisible read-and-advance: concurrent senders never share an id.
    uchar cur = data->lastId.load();
    for (;;) {
        const uchar take = (cur == 0) ? 1 : cur;  // 0 is never handed out
        const uchar next = (take >= 255) ? 1 : static_cast<uchar>(take + 1);
        if (data->lastId.compare_exchange_weak(cur, next)) return take;
    }
}

int doRead(uchar* dest, int size, HTty fd, bool autoWait) {
    if (!autoWait) return TtyRead(fd, dest, static_cast<size_t>(size));
    TtySource src{fd, nullptr};
    return ReadLineExact(&src, dest, size, false);
}

namespace {

// A frame waits at most this long for the send lock and for room on the line
// together; then it is dropped whole, before any byte of it is written. A
// line that takes nothing for a second has a reader that is not reading (a
// busy MCU, a stalled adapter): frames queued behind it would only be stale.
constexpr long kSendWaitMs = 1000;
constexpr int kDropped = -2;

timespec DeadlineIn(long ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

int MsUntil(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long ms =
        (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// Takes the lock unless it stays held until the deadline. ThreadSanitizer
// does not see pthread_mutex_clocklock by itself: it is told of the lock.
bool LockBefore(pthread_mutex_t* mutex, const timespec& deadline) {
#ifdef QZ_TSAN
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
    const bool locked = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline) == 0;
#ifdef QZ_TSAN
    __tsan_mutex_post_lock(mutex, locked ? __tsan_mutex_try_lock : __tsan_mutex_try_lock_failed, 0);
#endif
    return locked;
}

// Waits for room on the line, at most timeoutMs (-1: no limit): 1 when
// there is room, 0 when the time is up, -1 when the line is broken.
int WaitWritable(HTty fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int rc;
    while ((rc = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (rc < 0 || (p.revents & POLLNVAL) != 0) return -1;
    if ((p.revents & POLLOUT) != 0) return 1;
    return rc == 0 ? 0 : -1;  // hung up or failed
}

// Writes the buffer whole or not at all. The line is non-blocking, so a
// full output queue gives EAGAIN or a short write. Room is waited for first
// (a UART that polls writable takes a small frame in one write); the first
// byte waits until the deadline, else the frame is dropped (kDropped). A cut
// frame would make the MCU's reader swallow the frames behind it, so once a
// frame has started the rest follows as the line takes it, however long.
int WriteWhole(HTty fd, const uchar* bytes, size_t size, const timespec& deadline) {
    size_t done = 0;
    while (done < size) {
        const int room = WaitWritable(fd, done > 0 ? -1 : MsUntil(deadline));
        if (room == 0) return kDropped;  // only before the first byte
        const int n = room > 0 ? TtyWrite(fd, bytes + done, size - done) : -1;
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (room < 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return done > 0 ? static_cast<int>(done) : -1;
        }
    }
    return static_cast<int>(done);
}

}  // namespace

int doTtyWrite(HTty fd, pthread_mutex_t* mutex, const void* data, size_t size) {
    const auto* bytes = static_cast<const uchar*>(data);
    const timespec deadline = DeadlineIn(kSendWaitMs);
    if (!IsNull(mutex) && !LockBefore(mutex, deadline)) return -1;
    const int rc = WriteWhole(fd, bytes, size, deadline);
    if (!IsNull(mutex)) pthread_mutex_unlock(mutex);
    return rc == kDropped ? -1 : rc;
}

namespace {

// Drops are counted from the first one on; the count is logged when the
// line takes a frame again.
int NoteDropped(TtyData* ttyData) {
    if (ttyData->sendDrops.fetch_add(1) == 0) Log("Serial line full: dropping frames\n");
    return -1;
}

void NoteSent(TtyData* ttyData) {
    if (ttyData->sendDrops.load() == 0) return;
    const unsigned n = ttyData->sendDrops.exchange(0);
    if (n > 0) Log("Serial line takes frames again: %u dropped\n", n);
}

int AfterWrite(TtyData* ttyData, int rc) {
    if (rc == kDropped) return NoteDropped(ttyData);
    if (rc > 0) NoteSent(ttyData);
    return rc;
}

// The unframed console protocol: the payload alone, under the send lock.
int SendRaw(TtyData* ttyData, const uchar* data, int size, bool nextId) {
    if (size > kFrameBufferSize) return -1;
    if (nextId) GetLastId(ttyData);  // the id is used up as for a frame
    const timespec deadline = DeadlineIn(kSendWaitMs);
    if (!LockBefore(&ttyData->sendMutex, deadline)) return NoteDropped(ttyData);
    const int rc = WriteWhole(ttyData->handle.load(), data, static_cast<size_t>(size), deadline);
    pthread_mutex_unlock(&ttyData->sendMutex);
    return AfterWrite(ttyData, rc);
}

// The frame is built once, under the send lock, and with nextId its id is
// taken there too, so ids go out on the wire in the order handed out. The
// descriptor is read under the same lock so that a reopen never splits a
// frame. The lock is waited for no longer than a frame waits for room: a
// sender held up by a full line gives up and drops its frame. A frame
// dropped there takes no fresh id; its dump shows id 0 then.
int SendFrame(TtyData* ttyData, const uchar* data, int size, uchar id, uchar addr, bool nextId) {
    if (size > kLongPayloadMax) return -1;
    uchar frame[kFrameBufferSize];
    int total = 0;
    int rc = -1;
    const timespec deadline = DeadlineIn(kSendWaitMs);
    if (LockBefore(&ttyData->sendMutex, deadline)) {
        total = BuildFrame(frame, data, size, nextId ? GetLastId(ttyData) : id, addr);
        rc = WriteWhole(ttyData->handle.load(), frame, static_cast<size_t>(total), deadline);
        pthread_mutex_unlock(&ttyData->sendMutex);
        rc = AfterWrite(ttyData, rc);
    } else {
        rc = NoteDropped(ttyData);
        total = BuildFrame(frame, data, size, nextId ? 0 : id, addr);
    }
    // Outgoing long frames are always dumped, short ones only when debugging.
    if (size > kShortFrameMax || IsDebug != 0) printHex(nullptr, frame, total);
    return rc;
}

int Send(TtyData* ttyData, const uchar* data, int size, uchar id, uchar addr, int isQZ,
         bool nextId) {
    if (IsNull(ttyData) || size < 0 || (size > 0 && IsNull(data))) return -1;
    if (isQZ == 0) return SendRaw(ttyData, data, size, nextId);
    return SendFrame(ttyData, data, size, id, addr, nextId);
}

}  // namespace

int doSend(TtyData* ttyData, const uchar* data, int size, uchar id, uchar addr, int isQZ) {
    return Send(ttyData, data, size, id, addr, isQZ, false);
}

int SendPayload(TtyData* data, uchar addr, const uchar* payload, int size) {
    return Send(data, payload, size, 0, addr, IsQZ ? 1 : 0, true);
}

void DumpShortCommand(const uchar* cmd, int size) {
    printHex("Short command: ", cmd, size);
}

bool IsShortCommand(const uchar* cmd, int size, int need) {
    if (cmd != nullptr && size >= need) return false;
    DumpShortCommand(cmd, size);
    return true;
}

namespace {

// A frame cut by a reopened line is dropped and the reader hunts for the next
// start byte; a source that is gone ends the reader.
int AfterCut(int rc) {
    return rc == kLineReopened ? 0 : -1;
}

// A frame whose bytes stopped coming: what came of it is dumped and dropped,
// and the reader hunts for the next start byte behind it.
int AfterGap(const uchar* frame, int got) {
    printHex("Receive error2: ", frame, got);
    return 0;
}

// A long frame too big for the buffer: read it to its end so the reader
// stays in step, keep what fits, and drop it.
int SkipOversized(const ByteSource* src, uchar* frame, int L) {
    int remaining = L + 2;  // payload, checksum and end byte after the 6 bytes read
    int kept = 6;
    uchar scrap[512];
    while (remaining > 0) {
        uchar* dest = scrap;
        int chunk =
            remaining < static_cast<int>(sizeof scrap) ? remaining : static_cast<int>(sizeof scrap);
        if (kept < kFrameBufferSize) {
            chunk = remaining < kFrameBufferSize - kept ? remaining : kFrameBufferSize - kept;
            dest = frame + kept;
        }
        const int rc = src->readExact(src->ctx, dest, chunk, true);
        if (rc < 0) {
            printHex("Receive error2: ", frame, 4);
            return AfterCut(rc);
        }
        if (dest != scrap) kept += rc;
        if (rc < chunk) return AfterGap(frame, kept);
        remaining -= chunk;
    }
    printHex("Receive long package error3: ", frame, kept);
    return L + 2;
}

// The rest of a frame whose start byte has been read.
int ReadAfterStart(const ByteSource* src, TtyData* ttyData) {
    uchar frame[kFrameBufferSize];
    frame[0] = kFrameStart;
    int rc = src->readExact(src->ctx, frame + 1, 5, true);
    if (rc < 0) {
        printHex("Receive error1: ", frame, 1);
        return AfterCut(rc);
    }
    if (rc < 5) return AfterGap(frame, 1 + rc);
    const bool isLong = IsLongLength(frame[3]);
    int L;
    int want;
    if (isLong) {
        L = (frame[3] & 0x3F) * 256 + frame[4];
        Log("Receiving long package: size=%d (0x%02X%02X)\n", L, frame[3] & 0x3F, frame[4]);
        if (L > kLongPayloadMax) return SkipOversized(src, frame, L);
        want = L + 2;
    } else {
        L = frame[3];
        want = L;
    }
    rc = (want > 0) ? src->readExact(src->ctx, frame + 6, want, true) : 0;
    const int n = L + 2;
    if (rc < 0) {
        printHex("Receive error2: ", frame, 4);
        return AfterCut(rc);
    }
    if (rc < want) return AfterGap(frame, 6 + rc);
    const int total = isLong ? L + 8 : L + 6;
    if (!IsValidFrame(frame, L, isLong)) {
        printHex(isLong ? "Receive long package error3: " : "Receive error3: ", frame, total);
        return n;
    }
    if (IsDebug != 0) printHex(isLong ? "Received long package: " : "Received: ", frame, total);
    const uchar* payload = frame + (isLong ? 5 : 4);
    if (L > 0) doSend(ttyData, nullptr, 0, frame[2], GetSendAddr(frame[1]), 1);
    if (commandHandler != nullptr) {
        const unsigned long now = TickCount();
        handlerSince.store(now != 0 ? now : 1);
        commandHandler(ttyData, frame[1], frame[2], payload, L);
        handlerSince.store(0);
    }
    return n;
}

}  // namespace

// Noise between frames is dropped a byte at a time: the frame buffer is only
// touched once a start byte has come.
int doReadFrame(const ByteSource* src, TtyData* ttyData) {
    uchar start = 0;
    const int rc = src->readExact(src->ctx, &start, 1, false);
    if (rc < 0) return AfterCut(rc);
    if (start != kFrameStart) return 1;  // resynchronise on the next 0xFA
    return ReadAfterStart(src, ttyData);
}

int doReadCommand(HTty fd, TtyData* ttyData) {
    TtySource tty{fd, ttyData};
    ByteSource src{ReadLineExact, &tty};
    return doReadFrame(&src, ttyData);
}

void* doReceive(void* arg) {
    auto* data = static_cast<TtyData*>(arg);
    if (IsQZ && monitorThread != nullptr) StartThread(&data->diracThread, monitorThread, data);
    while (doReadCommand(data->handle.load(), data) >= 0) {
    }
    Log("Receive end.\n");
    return nullptr;
}
