#include "qzmcu/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/config.h"
#include "common/log.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/tty.h"
#include "qzmcu/decode.h"
#include "qzmcu/request.h"
#include "qzmcu/text.h"

namespace {

TtyData mcuLine{};
ConsoleOptions opts;
std::atomic<bool> stopRequested{false};
int ptySlave = -1;  // kept open so the pty never looks hung up while the daemon restarts
std::string ptyPath;

// The request in flight: the reader thread marks its acknowledgement and
// its answer, the main thread waits for them.
struct Waiting {
    bool active;
    uchar id;
    AnswerRule answer;
    bool acked;
    bool answered;
};
std::mutex waitMutex;
std::condition_variable waitCv;
Waiting waiting{};

void OnSignal(int) {
    stopRequested.store(true);
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a blocked poll() returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The reader thread blocks the stop signals, so they always reach the main
// thread, whose waits they cut short; a reader parked in poll() may otherwise
// take them and leave the stop unnoticed there.
void StartReader() {
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    StartThread(&mcuLine.receiveThread, doReceive, &mcuLine);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

std::string FrameHex(const uchar* payload, int size, uchar id, uchar addr) {
    uchar frame[kFrameBufferSize];
    const int total = BuildFrame(frame, payload, size, id, addr);
    return total < 0 ? std::string("?") : ToHexWords(frame, total);
}

// Writes one frame from the MCU's address through the link's send path.
// The flag -1 keeps the payload as it is: framed sends with a flag of 0 or
// more take a payload whose third byte is a blank for console hex text.
int WriteFrame(const uchar* payload, int size, uchar id) {
    return doSend(&mcuLine, payload, size, id, kMcuAddr, -1) < 0 ? -1 : 0;
}

void PrintSent(const std::string& text, const uchar* payload, int size, uchar id) {
    const std::string bytes =
        opts.hex ? FrameHex(payload, size, id, kMcuAddr) : ToHexWords(payload, size);
    Log("-> %s  [%s]\n", text.c_str(), bytes.c_str());
}

// The MCU's answer to the daemon's layout request, as the real MCU gives it.
void AnswerLayoutRequest() {
    if (!opts.hasLayout) {
        Log("-- no --layout given: the layout request is not answered\n");
        return;
    }
    const std::vector<uchar> msg = BuildLayoutMessage(opts.layoutCode, opts.layoutLfe);
    const uchar id = GetLastId(&mcuLine);
    PrintSent("speaker layout " + DescribeLayout(opts.layoutCode, opts.layoutLfe), msg.data(),
              static_cast<int>(msg.size()), id);
    if (WriteFrame(msg.data(), static_cast<int>(msg.size()), id) < 0)
        Log("-- write failed: %s\n", strerror(errno));
}

void NoteFrame(uchar id, const uchar* payload, int size) {
    std::lock_guard<std::mutex> lock(waitMutex);
    if (!waiting.active) return;
    if (size == 0 && id == waiting.id) waiting.acked = true;
    if (size > 0 && IsAnswer(waiting.answer, payload, size)) waiting.answered = true;
    waitCv.notify_all();
}

// Every frame from the daemon, after the link's reader has checked and
// acknowledged it.
int OnFrame(TtyData*, uchar addr, uchar id, const uchar* payload, int size) {
    std::string line = size == 0 ? Format("ack %d", id) : DescribePayload(payload, size);
    if (addr != GetSendAddr(kMcuAddr)) line += Format(" (to 0x%02X)", addr);
    if (opts.hex) line += "  [" + FrameHex(payload, size, id, addr) + "]";
    Log("<- %s\n", line.c_str());
    NoteFrame(id, payload, size);
    static constexpr uchar kLayoutRequest[] = {0x06, 0x23, 0x01};
    if (size >= 3 && memcmp(payload, kLayoutRequest, 3) == 0) AnswerLayoutRequest();
    return 0;
}

// ---- the line ----

bool SetRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) < 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A pseudo-terminal whose master is our end of the line; the daemon opens
// the slave (or the --link pointing at it).
int OpenPty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256];
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0 ||
        ptsname_r(master, name, sizeof name) != 0 || !SetRaw(master)) {
        perror("qzmcu: cannot create a pseudo-terminal");
        return -1;
    }
    ptyPath = name;
    ptySlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

bool MakeLink(const std::string& target, const std::string& path) {
    const std::string tmp = path + Format(".%d", static_cast<int>(getpid()));
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) < 0 || rename(tmp.c_str(), path.c_str()) < 0) {
        perror("qzmcu: cannot create the --link");
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void RemoveLink() {
    if (opts.link.empty()) return;
    char target[256];
    const ssize_t n = readlink(opts.link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (ptyPath == target) unlink(opts.link.c_str());  // only our own link
}

int OpenLine() {
    if (opts.pty) {
        const int fd = OpenPty();
        if (fd < 0) return -1;
        if (!opts.link.empty() && !MakeLink(ptyPath, opts.link)) return -1;
        Log("qzmcu: pseudo-terminal %s\n", ptyPath.c_str());
        InitTtyData(&mcuLine, fd, "", opts.baud.c_str());
        return fd;
    }
    const int fd = TtyOpen(opts.device.c_str());
    if (fd < 0) {
        fprintf(stderr, "qzmcu: cannot open %s: %s\n", opts.device.c_str(), strerror(errno));
        return -1;
    }
    TtyInit(fd, opts.baud.c_str());
    Log("qzmcu: serial line %s at %s\n", opts.device.c_str(), opts.baud.c_str());
    // With the path the reader reopens the device after a hang-up.
    InitTtyData(&mcuLine, fd, opts.device.c_str(), opts.baud.c_str());
    return fd;
}

// ---- running commands ----

void SleepInterruptible(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopRequested.load() && std::chrono::steady_clock::now() < until) SleepMs(50);
}

bool WaitForAnswer(const McuRequest& req) {
    std::unique_lock<std::mutex> lock(waitMutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.waitMs);
    auto done = [&] { return waiting.acked && (req.answer.codeSize == 0 || waiting.answered); };
    while (!done() && !stopRequested.load() && std::chrono::steady_clock::now() < until) {
        waitCv.wait_for(lock, std::chrono::milliseconds(100));
    }
    const bool ok = done();
    const bool acked = waiting.acked;
    waiting.active = false;
    lock.unlock();
    if (!ok && !stopRequested.load()) {
        Log("-- %s '%s' within %d ms\n", acked ? "no answer to" : "no acknowledgement of",
            req.text.c_str(), opts.waitMs);
    }
    return ok;
}

bool RunRequest(const McuRequest& req) {
    if (req.payload.empty()) {
        SleepInterruptible(req.sleepMs);
        return true;
    }
    const int size = static_cast<int>(req.payload.size());
    const uchar id = GetLastId(&mcuLine);
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        waiting = Waiting{true, id, req.answer, false, false};
    }
    PrintSent(req.text, req.payload.data(), size, id);
    if (WriteFrame(req.payload.data(), size, id) < 0) {
        Log("-- write failed: %s\n", strerror(errno));
        std::lock_guard<std::mutex> lock(waitMutex);
        waiting.active = false;
        return false;
    }
    return WaitForAnswer(req);
}

// Parses the whole command line first, so nothing is sent from a script
// with a mistake in it.
bool ParseScript(std::vector<McuRequest>* out) {
    std::string error;
    if (!ParseCommandList(opts.words, out, &error)) {
        fprintf(stderr, "qzmcu: %s\n", error.c_str());
        return false;
    }
    for (const McuRequest& req : *out) {
        if (req.needsYes && !opts.yes) {
            fprintf(stderr, "qzmcu: '%s' needs --yes\n", req.text.c_str());
            return false;
        }
    }
    return true;
}

void Linger() {
    if (opts.forSeconds >= 0) {
        SleepInterruptible(static_cast<int>(opts.forSeconds * 1000));
    } else if (opts.watch) {
        while (!stopRequested.load()) SleepMs(100);
    }
}

int RunScript(const std::vector<McuRequest>& requests) {
    int status = 0;
    for (const McuRequest& req : requests) {
        if (stopRequested.load()) break;
        if (!RunRequest(req)) status = 1;
    }
    Linger();
    return status;
}

// One line of standard input; false at its end or when stopped. Reads with
// poll() so a signal ends the wait.
bool ReadInputLine(std::string* line) {
    static std::string pending;
    for (;;) {
        const size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            *line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        if (stopRequested.load()) return false;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[1024];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            if (pending.empty()) return false;
            *line = pending;  // a last line without its line feed
            pending.clear();
            return true;
        }
        pending.append(buf, static_cast<size_t>(n));
    }
}

void RunLine(const std::string& line, bool* quit) {
    std::vector<std::string> words;
    std::string error;
    if (!SplitLine(line, &words, &error)) {
        Log("-- %s\n", error.c_str());
        return;
    }
    if (words.empty()) return;
    if (words[0] == "quit" || words[0] == "exit") {
        *quit = true;
        return;
    }
    if (words[0] == "help") {
        LogWrite(GetHelpText().c_str(), GetHelpText().size());
        return;
    }
    McuRequest req;
    const int used = ParseRequest(words, 0, &req, &error);
    if (used < 0) {
        Log("-- %s\n", error.c_str());
    } else if (static_cast<size_t>(used) != words.size()) {
        Log("-- one command a line: '%s' left over\n", words[static_cast<size_t>(used)].c_str());
    } else if (req.needsYes && !opts.yes) {
        Log("-- '%s' needs --yes on the command line\n", req.text.c_str());
    } else {
        RunRequest(req);
    }
}

int RunInteractive() {
    const bool prompt = isatty(STDIN_FILENO);
    if (prompt) Log("qzmcu: one command a line; 'help' lists them, 'quit' ends\n");
    std::string line;
    bool quit = false;
    while (!quit) {
        if (prompt) LogWrite("qzmcu> ", 7);
        if (!ReadInputLine(&line)) break;
        RunLine(line, &quit);
    }
    if (!stopRequested.load())
        SleepInterruptible(opts.forSeconds >= 0 ? static_cast<int>(opts.forSeconds * 1000) : 200);
    return 0;
}

}  // namespace

int RunConsole(const ConsoleOptions& options) {
    opts = options;
    LogInit();
    InstallSignals();
    IsDebug = 0;  // the link's own frame dumps stay off; --hex shows frames here
    IsQZ = true;
    std::vector<McuRequest> script;
    if (!ParseScript(&script)) return 2;
    if (OpenLine() < 0) return 2;
    SetLinkHandlers(OnFrame, nullptr);
    StartReader();
    int status = 0;
    if (!script.empty()) {
        status = RunScript(script);
    } else if (opts.watch) {
        Linger();
    } else {
        status = RunInteractive();
    }
    RemoveLink();
    fflush(stdout);
    return status;
}
