// What a real line does that a memory buffer does not: files that are not
// terminals, descriptors inherited by children, frames cut by a hang-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/tty.h"

namespace {

using Bytes = std::vector<uchar>;

TEST(TtyOpen, RefusesWhatIsNotATerminal) {
    char file[] = "/tmp/qz-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "\xFA\x34\x01\x00\x2F\xF5", 6), 6);
    close(fd);
    for (const char* path : {static_cast<const char*>(file), "/dev/null"}) {
        errno = 0;
        EXPECT_EQ(TtyOpen(path), -1) << path;
        EXPECT_EQ(errno, ENOTTY) << path;
    }
    unlink(file);
}

TEST(TtyOpen, TerminalOpensCloseOnExec) {
    int master = -1;
    int slave = -1;
    char name[64];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const HTty fd = TtyOpen(name);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_NONBLOCK | O_RDWR);
    TtyClose(fd);
    close(slave);
    close(master);
}

// Bytes from memory, with the line "reopened" once at a given offset.
struct CutSource {
    Bytes data;
    size_t cutAt;
    size_t pos = 0;
    bool cut = false;
};

int ReadCut(void* ctx, uchar* dest, int size) {
    auto* s = static_cast<CutSource*>(ctx);
    if (!s->cut && s->pos + static_cast<size_t>(size) > s->cutAt) {
        s->pos = s->cutAt;  // what the dead line still had is lost
        s->cut = true;
        return kLineReopened;
    }
    if (s->pos + static_cast<size_t>(size) > s->data.size()) return -1;
    std::copy_n(s->data.begin() + static_cast<long>(s->pos), size, dest);
    s->pos += static_cast<size_t>(size);
    return size;
}

int dispatched = 0;
int Count(TtyData*, uchar, uchar, const uchar*, int) {
    return ++dispatched;
}

// A long-frame header promising 1023 bytes, then the line hangs up: the
// first request on the new line is read as a frame of its own.
TEST(LineReopen, CutFrameDroppedAndNextFrameRead) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    TtyData data{};
    InitTtyData(&data, fds[0], "", "115200");
    SetLinkHandlers(Count, nullptr);
    IsDebug = 0;
    dispatched = 0;
    const struct {
        Bytes before;  // read from the line that hangs up
        const char* log;
    } cases[] = {
        {{0xFA, 0x34, 0x07, 0xC3, 0xFF, 0x00, 0x01},
         "Receiving long package: size=1023 (0x03FF)\nReceive error2: FA 34 07 C3\n"},
        {{0xFA, 0x34, 0x07, 0x05, 0x13, 0x02}, "Receive error2: FA 34 07 05\n"},
        {{0xFA, 0x34}, "Receive error1: FA\n"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        CutSource src{c.before, c.before.size()};
        const Bytes request = {0xFA, 0x34, 0x08, 0x02, 0x05, 0x0B, 0x48, 0xF5};
        src.data.insert(src.data.end(), request.begin(), request.end());
        ByteSource bytes{ReadCut, &src};
        testing::internal::CaptureStdout();
        while (doReadFrame(&bytes, &data) >= 0) {
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log);
        uchar ack[16];
        EXPECT_EQ(recv(fds[1], ack, sizeof ack, MSG_DONTWAIT), 6);
        EXPECT_EQ(Bytes(ack, ack + 6), (Bytes{0xFA, 0x43, 0x08, 0x00, 0x45, 0xF5}));
    }
    EXPECT_EQ(dispatched, 4);
    SetLinkHandlers(nullptr, nullptr);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
