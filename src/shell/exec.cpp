#include "shell/exec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <mutex>
#include <string>

#include "common/log.h"
#include "common/public.h"

extern char** environ;

namespace {

constexpr int kDefaultDeadlineS = 10;
constexpr int kMaxDeadlineS = 3600;
constexpr int kGraceMs = 500;       // between TERM and KILL
constexpr int kNoPidfdPollMs = 10;  // exit checks where the kernel has no pidfd
constexpr int kReaperPollMs = 100;
constexpr size_t kLogKeep = 4096;  // output of an uncaptured command kept for the log
// What is still read, and thrown away, from a pipe a command left behind (a
// background job of a "... &" line, a device action that runs on): enough
// for any chatty job, and `yes` there cannot keep the reaper busy for ever.
constexpr size_t kLeftoverDrainMax = size_t{64} << 20;
constexpr size_t kMaxLeftovers = 32;

enum class Kind { kRequest, kAction };

// A child the daemon waits for (waited) or left behind for the reaper.
struct Child {
    pid_t pid;  // -1 once reaped
    pid_t group;
    Kind kind;
    bool waited;
    int fd;                // a pipe left behind, drained by the reaper; -1: none
    size_t drained;        // bytes the reaper threw away from fd
    unsigned long killAt;  // TickCount when the group gets KILL; 0: not due
    std::string shown;     // the command line as the log shows it
};

// Never destroyed: the reaper waits on them while the process exits.
struct Children {
    std::mutex mutex;
    std::condition_variable gone;  // a request child was reaped
    std::condition_variable leftoverAdded;
    std::list<Child> list;
    bool reaperStarted = false;
};
Children& kids = *new Children;
std::mutex& childMutex = kids.mutex;
std::condition_variable& childGone = kids.gone;
std::condition_variable& leftoverAdded = kids.leftoverAdded;
std::list<Child>& children = kids.list;
bool& reaperStarted = kids.reaperStarted;
// Set by ExecEndChildren: the daemon is stopping, and a request asked for
// after that (a worker that went on after its request was ended) never runs.
bool ending = false;  // under childMutex

// Reaps the child when it has ended; the lock is held, so its pid (and so
// its group id) cannot be reused while someone signals it.
bool TryReapLocked(Child& c, int* status) {
    if (c.pid <= 0) return true;
    int st = 0;
    pid_t r = waitpid(c.pid, &st, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return false;
    *status = r == c.pid ? st : -1;  // ECHILD: someone else reaped it
    c.pid = -1;
    return true;
}

void KillGroupLocked(const Child& c, int sig) {
    if (c.pid > 0) kill(-c.group, sig);
}

// Reads what is there from a non-blocking pipe, throwing it away; false when
// it is done (end of file, an error, or the limit reached).
bool DrainLeftover(Child& c) {
    char scrap[16384];
    for (int round = 0; round < 16; ++round) {
        ssize_t n = read(c.fd, scrap, sizeof scrap);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        c.drained += static_cast<size_t>(n);
        if (c.drained > kLeftoverDrainMax) return false;
    }
    return true;
}

// One look at every left-behind child and pipe.
void SweepLeftoversLocked() {
    const unsigned long now = TickCount();
    for (auto it = children.begin(); it != children.end();) {
        Child& c = *it;
        if (c.waited) {
            ++it;
            continue;
        }
        if (c.fd >= 0 && !DrainLeftover(c)) {
            close(c.fd);
            c.fd = -1;
        }
        // Once, also when the leader is gone: a member that ignored TERM.
        if (c.killAt != 0 && now >= c.killAt) {
            kill(-c.group, SIGKILL);
            c.killAt = 0;
        }
        int status = 0;
        if (c.pid > 0 && TryReapLocked(c, &status) && c.kind == Kind::kAction) {
            Log("Exec=%d later: %s\n", status, c.shown.c_str());
        }
        it = (c.pid <= 0 && c.fd < 0 && c.killAt == 0) ? children.erase(it) : std::next(it);
    }
}

void* doReapLeftovers(void*) {
    pollfd fds[kMaxLeftovers];
    for (;;) {
        nfds_t n = 0;
        {
            std::unique_lock<std::mutex> lock(childMutex);
            leftoverAdded.wait(lock, [] {
                for (const Child& c : children)
                    if (!c.waited) return true;
                return false;
            });
            for (const Child& c : children) {
                if (!c.waited && c.fd >= 0 && n < kMaxLeftovers) fds[n++] = {c.fd, POLLIN, 0};
            }
        }
        // Only this thread closes these descriptors, so they stay valid here.
        poll(fds, n, kReaperPollMs);
        std::lock_guard<std::mutex> lock(childMutex);
        SweepLeftoversLocked();
        childGone.notify_all();
    }
    return nullptr;
}

size_t CountLeftoversLocked() {
    size_t n = 0;
    for (const Child& c : children) n += c.waited ? 0 : 1;
    return n;
}

// Hands a child (or only its pipe) to the reaper; the lock is held.
void LeaveLocked(std::list<Child>::iterator it, int fd, unsigned long killAt) {
    it->waited = false;
    it->killAt = killAt;
    it->fd = fd;
    if (fd >= 0 && CountLeftoversLocked() > kMaxLeftovers) {
        close(fd);  // too many jobs hold pipes: this one's output is cut off
        it->fd = -1;
    }
    if (it->pid <= 0 && it->fd < 0 && killAt == 0) {
        children.erase(it);
        return;
    }
    if (!reaperStarted) {
        pthread_t thread;
        reaperStarted = StartThread(&thread, doReapLeftovers, nullptr) == 0;
    }
    leftoverAdded.notify_one();
}

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// /bin/sh -c cmd in a new process group, its standard output the pipe's
// write end, with default signal handling and nothing blocked (the daemon
// ignores SIGPIPE and may block signals in its threads).
int Spawn(const char* cmd, int outFd, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char sh[] = "sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(cmd), nullptr};
    int rc = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// Where a command's output goes: the caller's area (cap bytes, then any
// further byte is an overflow), or the first kLogKeep bytes for the log.
struct Output {
    char* dest = nullptr;
    size_t cap = 0;
    size_t count = 0;
    size_t total = 0;  // uncaptured: every byte that came
    bool overflow = false;
    char keep[kLogKeep];
};

// Reads what the pipe has (a bounded amount, so that a command that writes
// without end still meets its deadline); false at end of file or on an error.
bool ReadOutput(int fd, Output* out) {
    char scrap[4096];
    for (int round = 0; round < 64; ++round) {
        const bool capture = out->dest != nullptr;
        char* at = capture ? out->dest + out->count : scrap;
        size_t room = capture ? out->cap - out->count : sizeof scrap;
        if (capture && room == 0) {
            at = scrap;  // full: one byte more says the output is too long
            room = 1;
        }
        ssize_t n = read(fd, at, room);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n == 0) return false;
        if (capture && at == scrap) {
            out->overflow = true;
            return true;
        }
        if (capture) {
            out->count += static_cast<size_t>(n);
            continue;
        }
        if (out->total < kLogKeep) {
            memcpy(out->keep + out->total, scrap,
                   std::min(static_cast<size_t>(n), kLogKeep - out->total));
        }
        out->total += static_cast<size_t>(n);
    }
    return true;
}

// An uncaptured command's output in the log: whole lines of the first few
// KiB, and how much was left out.
void LogOutput(const Output& out) {
    if (out.total == 0) return;
    size_t shown = std::min(out.total, kLogKeep);
    if (out.total > kLogKeep) {
        const void* lastEnd = memrchr(out.keep, '\n', kLogKeep);
        shown = lastEnd ? static_cast<size_t>(static_cast<const char*>(lastEnd) - out.keep) + 1 : 0;
    }
    if (shown > 0) {
        std::string text(out.keep, shown);
        if (text.back() != '\n') text += '\n';
        LogWrite(text.data(), text.size());
    }
    if (shown < out.total) Log("%zu bytes of output not logged\n", out.total - shown);
}

int RealRun(Kind kind, char* dest, int* size, const char* cmd, const char* shown) {
    const bool capture = Assigned(dest) && Assigned(size) && *size > 0;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    pid_t pid = -1;
    std::list<Child>::iterator self;
    {
        // Spawned and listed under the lock: a stop either finds this child
        // listed or this request finds the stop, never neither (a child
        // spawned in between would outlive the daemon).
        std::lock_guard<std::mutex> lock(childMutex);
        if ((ending && kind == Kind::kRequest) || Spawn(cmd, pipeFds[1], &pid) != 0) {
            close(pipeFds[0]);
            close(pipeFds[1]);
            return -1;
        }
        self = children.insert(children.end(), Child{pid, pid, kind, true, -1, 0, 0, shown});
    }
    close(pipeFds[1]);
    int fd = pipeFds[0];
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const int pidfd = OpenPidfd(pid);
    // Room is kept for the NUL: a reply that fills the area is cut, never
    // left unterminated.
    Output out;
    out.dest = capture ? dest : nullptr;
    out.cap = capture ? static_cast<size_t>(*size) - 1 : 0;
    const unsigned long deadline = TickCount() + static_cast<unsigned long>(GetExecDeadlineMs());
    int status = -1;
    bool reaped = false;
    while (!reaped && !out.overflow) {
        const unsigned long now = TickCount();
        if (now >= deadline) break;
        pollfd fds[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        int wait = static_cast<int>(deadline - now);
        if (pidfd < 0) wait = std::min(wait, kNoPidfdPollMs);
        if (fd < 0) fds[0].fd = -1;
        poll(fds, 2, wait);
        if (fd >= 0 && fds[0].revents != 0 && !ReadOutput(fd, &out)) {
            close(fd);
            fd = -1;
        }
        {
            std::lock_guard<std::mutex> lock(childMutex);
            reaped = TryReapLocked(*self, &status);
        }
        // Everything the child itself wrote is in the pipe by now; a
        // grandchild that keeps it open does not hold the reader.
        if (reaped && fd >= 0 && !ReadOutput(fd, &out)) {
            close(fd);
            fd = -1;
        }
    }
    if (pidfd >= 0) close(pidfd);
    if (capture) {
        dest[out.count] = '\0';
        Log("%d: %s\n", static_cast<int>(out.count), dest);
        *size = static_cast<int>(out.count);
    } else {
        LogOutput(out);
    }
    const bool overdue = !reaped && !out.overflow;
    if (out.overflow) {
        Log("Exec output over %zu bytes, ended: %s\n", out.cap, shown);
    } else if (overdue) {
        Log("Exec timeout after %d s, %s: %s\n", GetExecDeadlineMs() / 1000,
            kind == Kind::kRequest ? "ended" : "left running", shown);
    }
    std::lock_guard<std::mutex> lock(childMutex);
    if (reaped) {
        LeaveLocked(self, fd, 0);
        childGone.notify_all();
        return status;
    }
    if (kind == Kind::kAction) {
        LeaveLocked(self, fd, 0);
    } else {
        KillGroupLocked(*self, SIGTERM);
        if (fd >= 0) close(fd);
        LeaveLocked(self, -1, TickCount() + kGraceMs);
    }
    return -1;
}

ExecRunnerFn execRunner = nullptr;  // null: the real runner

int Run(Kind kind, char* dest, int* size, const char* cmd, const char* shown) {
    if (IsNull(shown)) shown = cmd;
    const int rc = execRunner ? execRunner(dest, size, cmd) : RealRun(kind, dest, size, cmd, shown);
    Log("Exec=%d: %s\n", rc, shown);
    return rc;
}

int ReadDeadlineMs() {
    const char* text = getenv("QZ_COMMAND_TIMEOUT");
    if (IsNull(text) || text[0] == '\0') return kDefaultDeadlineS * 1000;
    char* end = nullptr;
    errno = 0;
    const long s = strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && s >= 1 && s <= kMaxDeadlineS) {
        return static_cast<int>(s) * 1000;
    }
    Log("QZ_COMMAND_TIMEOUT=%s is not a number of seconds from 1 to %d; using %d\n", text,
        kMaxDeadlineS, kDefaultDeadlineS);
    return kDefaultDeadlineS * 1000;
}

}  // namespace

int GetExecDeadlineMs() {
    static const int deadlineMs = ReadDeadlineMs();
    return deadlineMs;
}

void ExecEndChildren() {
    std::unique_lock<std::mutex> lock(childMutex);
    ending = true;
    const auto requests = [] {
        for (const Child& c : children)
            if (c.kind == Kind::kRequest && c.pid > 0) return true;
        return false;
    };
    for (Child& c : children) {
        if (c.kind != Kind::kRequest || c.pid <= 0) continue;
        KillGroupLocked(c, SIGTERM);
        if (!c.waited && c.killAt == 0) c.killAt = TickCount() + kGraceMs;
    }
    if (childGone.wait_for(lock, std::chrono::milliseconds(kGraceMs),
                           [&] { return !requests(); })) {
        return;
    }
    for (Child& c : children) {
        if (c.kind == Kind::kRequest) KillGroupLocked(c, SIGKILL);
    }
}

int Exec(char* dest, int* size, const char* cmd) {
    return ExecShown(dest, size, cmd, cmd);
}

int ExecShown(char* dest, int* size, const char* cmd, const char* shown) {
    return Run(Kind::kRequest, dest, size, cmd, shown);
}

int ExecDeviceAction(const char* cmd) {
    return Run(Kind::kAction, nullptr, nullptr, cmd, cmd);
}

void SetExecRunner(ExecRunnerFn runner) {
    execRunner = runner;
}

int ShellEscape(char* dest, size_t cap, const char* src) {
    if (IsNull(dest) || cap == 0) return -1;
    size_t n = 0;
    for (const char* p = src ? src : ""; *p != '\0'; ++p) {
        bool special = *p == '$' || *p == '`' || *p == '"' || *p == '\\';
        if (n + (special ? 2 : 1) >= cap) {
            dest[0] = '\0';
            return -1;
        }
        if (special) dest[n++] = '\\';
        dest[n++] = *p;
    }
    dest[n] = '\0';
    return static_cast<int>(n);
}
