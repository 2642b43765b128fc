#include "common/log.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

#include "common/public.h"

namespace {

constexpr size_t kQueueBytes = 512 * 1024;
constexpr size_t kLineOverhead = 32;  // what a queued line costs beyond its text

// Never destroyed: the writer thread waits on it while the process exits
// (destroying a condition variable with a waiter blocks).
struct LogQueue {
    std::mutex mutex;
    std::condition_variable lineQueued;
    std::condition_variable queueEmpty;
    std::deque<std::string> lines;
    size_t bytes = 0;  // also counts the line being written
    unsigned long dropped = 0;
    bool writerOn = false;
};
LogQueue& q = *new LogQueue;

// One write for the line where the pipe allows it; the rest of a partial
// write follows. A reader that went away (EPIPE) loses the line.
void WriteLine(const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void* doWriteLog(void*) {
    std::unique_lock<std::mutex> lock(q.mutex);
    for (;;) {
        q.lineQueued.wait(lock, [] { return !q.lines.empty(); });
        std::string line = std::move(q.lines.front());
        q.lines.pop_front();
        lock.unlock();
        WriteLine(line);
        lock.lock();
        q.bytes -= line.size() + kLineOverhead;
        if (q.lines.empty()) q.queueEmpty.notify_all();
    }
    return nullptr;
}

void Enqueue(const char* text, size_t size) {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.bytes + size + kLineOverhead > kQueueBytes) {
        ++q.dropped;
        return;
    }
    if (q.dropped > 0) {
        char note[64];
        int n = snprintf(note, sizeof note, "Log: %lu lines dropped\n", q.dropped);
        q.lines.emplace_back(note, static_cast<size_t>(n));
        q.bytes += static_cast<size_t>(n) + kLineOverhead;
        q.dropped = 0;
    }
    q.lines.emplace_back(text, size);
    q.bytes += size + kLineOverhead;
    q.lineQueued.notify_one();
}

bool IsWriterOn() {
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.writerOn;
}

}  // namespace

void LogInit() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void LogStartWriter() {
    fflush(stdout);
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.writerOn) return;
    pthread_t thread;
    q.writerOn = StartThread(&thread, doWriteLog, nullptr) == 0;
    // The lines of the last moments still go out when the process exits.
    if (q.writerOn) atexit([] { LogFlush(1000); });
}

void LogFlush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(q.mutex);
    q.queueEmpty.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return q.bytes == 0; });
}

void LogWrite(const char* text, size_t size) {
    if (IsWriterOn()) {
        Enqueue(text, size);
        return;
    }
    flockfile(stdout);
    fwrite_unlocked(text, 1, size, stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

void Log(const char* fmt, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof line) {
        LogWrite(line, static_cast<size_t>(n));
        return;
    }
    // A long line (a big captured reply): format again into a heap buffer so
    // that it still goes out whole.
    char* big = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) return;
    va_start(ap, fmt);
    vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    LogWrite(big, static_cast<size_t>(n));
    free(big);
}
