#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config.h"
#include "link/frame.h"
#include "processor/exec.h"

void FuzzFail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("FUZZ CHECK FAILED: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    abort();
}

void FuzzQuietLog() {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        fflush(stdout);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    IsDebug = 0;
    IsQZ = true;
}

// ---- the line ----

namespace {

int readEnd = -1;

}  // namespace

void FuzzOpenLine(TtyData* data) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) FuzzFail("pipe: %s", strerror(errno));
    // Room for every frame one request may send (a handler never sends more
    // than a few kilobytes); the target drains after each request.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    readEnd = fds[0];
    InitTtyData(data, fds[1], "", "");
}

std::vector<uchar> DrainLine(TtyData*) {
    std::vector<uchar> out;
    uchar buf[65536];
    for (;;) {
        ssize_t n = read(readEnd, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::vector<SentFrame> ParseSentFrames(const std::vector<uchar>& bytes) {
    std::vector<SentFrame> frames;
    size_t at = 0;
    while (at < bytes.size()) {
        const uchar* f = bytes.data() + at;
        const size_t left = bytes.size() - at;
        if (f[0] != kFrameStart || left < 6) FuzzFail("sent bytes at %zu are no frame", at);
        const bool isLong = IsLongLength(f[3]);
        const int L = isLong ? (f[3] & 0x3F) * 256 + f[4] : f[3];
        const size_t total = static_cast<size_t>(L) + (isLong ? 8 : 6);
        if (left < total) FuzzFail("sent frame at %zu cut short (%zu of %zu)", at, left, total);
        if (!IsValidFrame(f, L, isLong))
            FuzzFail("sent frame at %zu has a bad checksum or end", at);
        // The sender picks the kind by length alone.
        if (isLong != (L > kShortFrameMax)) FuzzFail("sent frame of %d bytes in the wrong kind", L);
        const uchar* payload = f + (isLong ? 5 : 4);
        frames.push_back({f[1], f[2], std::vector<uchar>(payload, payload + L)});
        at += total;
    }
    return frames;
}

// ---- the fuzz input ----

uchar TakeByte(FuzzInput* in) {
    return in->pos < in->size ? in->data[in->pos++] : 0;
}

int TakeShort(FuzzInput* in) {
    int hi = TakeByte(in);
    return hi * 256 + TakeByte(in);
}

std::string TakeBytes(FuzzInput* in, size_t size) {
    size_t n = in->size - in->pos < size ? in->size - in->pos : size;
    std::string out(reinterpret_cast<const char*>(in->data + in->pos), n);
    in->pos += n;
    return out;
}

// ---- the canned control script ----

namespace {

FuzzInput* scriptInput = nullptr;
std::vector<ScriptCall> calls;

// What pclose gives for each status byte.
int StatusOf(uchar code) {
    switch (code) {
        case 1:
            return 1 << 8;  // exit 1
        case 2:
            return -1;  // could not start
        case 3:
            return 9;  // killed by SIGKILL
        default:
            return 0;
    }
}

// Keeps Exec's promise: at most *size - 1 bytes and a NUL behind them.
int CannedRun(char* dest, int* size, const char* cmd) {
    const bool capture = dest != nullptr && size != nullptr && *size > 0;
    CheckShellLine(cmd);
    calls.push_back({cmd, capture, 0, ""});
    if (!capture) return 0;
    ScriptCall& call = calls.back();
    if (scriptInput == nullptr || scriptInput->pos >= scriptInput->size) {
        *size = 0;
        dest[0] = '\0';
        return call.status = 1 << 8;
    }
    call.status = StatusOf(TakeByte(scriptInput));
    std::string body = TakeBytes(scriptInput, static_cast<size_t>(TakeShort(scriptInput)));
    if (call.status == -1) return -1;  // popen failed: *size stays, nothing written
    size_t n =
        body.size() < static_cast<size_t>(*size - 1) ? body.size() : static_cast<size_t>(*size - 1);
    memcpy(dest, body.data(), n);
    dest[n] = '\0';
    *size = static_cast<int>(n);
    call.reply.assign(body.data(), n);
    return call.status;
}

}  // namespace

void FuzzInstallScript(FuzzInput* in) {
    scriptInput = in;
    SetExecRunner(CannedRun);
}

const std::vector<ScriptCall>& ScriptCalls() {
    return calls;
}
void ClearScriptCalls() {
    calls.clear();
}

void CheckShellLine(const std::string& line) {
    enum { kPlain, kDouble, kSingle } state = kPlain;
    const size_t n = line.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = line[i];
        if (state == kSingle) {
            if (c == '\'') state = kPlain;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= n) FuzzFail("line ends in a backslash: %s", line.c_str());
            ++i;
            continue;
        }
        if (c == '$' || c == '`') FuzzFail("unescaped %c in: %s", c, line.c_str());
        if (state == kDouble) {
            if (c == '"') state = kPlain;
            continue;
        }
        if (c == '"') {
            state = kDouble;
        } else if (c == '\'') {
            state = kSingle;
        } else if (c == '&' && i + 1 == n && i > 0 && line[i - 1] == ' ') {
            // the one background marker at the end
        } else if (strchr(";|<>()&\n\r", c) != nullptr) {
            FuzzFail("shell operator %c outside quotes in: %s", c, line.c_str());
        }
    }
    if (state != kPlain) FuzzFail("unterminated quote in: %s", line.c_str());
}

std::vector<std::string> ShellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < line.size() &&
                       strchr("$`\"\\\n", line[i + 1]) != nullptr) {
                word += line[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '"') {
                quoted = true;
            } else if (c == '\\' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
        }
    }
    if (inWord) words.push_back(word);
    return words;
}
