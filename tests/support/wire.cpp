#include "wire.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/frame.h"
#include "shell/exec.h"

Bytes Hex(const char* text) {
    Bytes out;
    unsigned byte = 0;
    for (int used = 0; sscanf(text, " %2x%n", &byte, &used) == 1; text += used) {
        out.push_back(static_cast<uchar>(byte));
    }
    return out;
}

Bytes Wire(const Bytes& payload, uchar id, uchar addr) {
    uchar buf[kFrameBufferSize];
    int n = BuildFrame(buf, payload.data(), static_cast<int>(payload.size()), id, addr);
    return n < 0 ? Bytes{} : Bytes(buf, buf + n);
}

std::string SplitFrames(const uchar* bytes, size_t size, std::vector<WireFrame>* out) {
    for (size_t at = 0; at < size;) {
        const uchar* f = bytes + at;
        const size_t left = size - at;
        const std::string where = " at " + std::to_string(at);
        if (f[0] != kFrameStart || left < 6) return "no frame" + where;
        const bool isLong = IsLongLength(f[3]);
        const int L = isLong ? (f[3] & 0x3F) * 256 + f[4] : f[3];
        const size_t total = static_cast<size_t>(L) + (isLong ? 8 : 6);
        if (left < total) return "frame cut short" + where;
        if (!IsValidFrame(f, L, isLong)) return "bad checksum or end" + where;
        if (isLong != (L > kShortFrameMax)) return "wrong frame kind for its length" + where;
        const uchar* payload = f + (isLong ? 5 : 4);
        out->push_back({f[1], f[2], Bytes(payload, payload + L)});
        at += total;
    }
    return "";
}

int ReadMemoryLine(void* ctx, uchar* dest, int size, bool inFrame) {
    auto* m = static_cast<MemoryLine*>(ctx);
    const size_t end = m->pos + static_cast<size_t>(size);
    if (inFrame && m->pauseMs >= m->gapMs && m->pauseAt >= m->pos && m->pauseAt < end &&
        m->pauseAt <= m->cutAt && m->pauseAt <= m->size) {
        const int got = static_cast<int>(m->pauseAt - m->pos);
        memcpy(dest, m->data + m->pos, static_cast<size_t>(got));
        m->pos = m->pauseAt;
        return got;
    }
    if (end > m->cutAt) {
        m->pos = m->cutAt;
        m->cutAt = SIZE_MAX;
        return kLineReopened;
    }
    if (end > m->size) {
        m->pos = m->size;
        return -1;
    }
    if (size == 1) {
        *dest = m->data[m->pos];  // the start byte hunt: most reads
    } else {
        memcpy(dest, m->data + m->pos, static_cast<size_t>(size));
    }
    m->pos = end;
    return size;
}

void OpenTestLine(TestLine* line) {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    InitTtyData(&line->tty, fds[1], "", "");
    line->peer = fds[0];
}

void CloseTestLine(TestLine* line) {
    close(line->tty.handle.load());
    close(line->peer);
    pthread_mutex_destroy(&line->tty.sendMutex);
}

size_t DrainLine(TestLine* line, uchar* dest, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const size_t want = cap - got;
        const ssize_t n = read(line->peer, dest + got, want);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < want) break;  // a pipe hands over all it holds
    }
    return got;
}

std::vector<WireFrame> SentFrames(TestLine* line, std::string* error) {
    static uchar buf[1 << 20];
    std::vector<WireFrame> frames;
    *error = SplitFrames(buf, DrainLine(line, buf, sizeof buf), &frames);
    return frames;
}

namespace {

ReplyFn replyFn = nullptr;
std::vector<std::string> lines;
std::mutex linesMutex;  // the daemon's threads may run lines at once

// Keeps Exec's promise: at most *size - 1 bytes and a NUL behind them.
int Recorder(char* dest, int* size, const char* cmd) {
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        lines.emplace_back(cmd);
    }
    std::string output;
    const bool captured = dest != nullptr && size != nullptr && *size > 0;
    const int status = replyFn ? replyFn(cmd, captured, &output) : 0;
    if (!captured || status == -1) return status;
    const size_t n = std::min(output.size(), static_cast<size_t>(*size - 1));
    memcpy(dest, output.data(), n);
    dest[n] = '\0';
    *size = static_cast<int>(n);
    return status;
}

ssize_t KeepNothing(void*, const char*, size_t size) {
    return static_cast<ssize_t>(size);
}

}  // namespace

void InstallRecorder(ReplyFn reply) {
    replyFn = reply;
    lines.clear();
    SetExecRunner(Recorder);
}

void RemoveRecorder() {
    SetExecRunner(nullptr);
    replyFn = nullptr;
}

std::vector<std::string>& RecordedLines() {
    return lines;
}

void DiscardLog() {
    fflush(stdout);
    cookie_io_functions_t io{nullptr, KeepNothing, nullptr, nullptr};
    if (FILE* sink = fopencookie(nullptr, "w", io)) stdout = sink;
}

std::vector<std::string> ShellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        // Between double quotes a backslash escapes only these.
        const bool escape = c == '\\' && i + 1 < line.size() &&
                            (!quoted || strchr("$`\"\\\n", line[i + 1]) != nullptr);
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (escape) {
            word += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}
