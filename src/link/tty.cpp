#include "link/tty.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace {

struct SpeedRow {
    long hundreds;  // the rate divided by 100
    speed_t code;
};

constexpr std::array<SpeedRow, 24> kSpeeds{{
    {0, B0},           {3, B300},         {6, B600},         {12, B1200},       {24, B2400},
    {48, B4800},       {96, B9600},       {192, B19200},     {384, B38400},     {576, B57600},
    {1152, B115200},   {2304, B230400},   {4608, B460800},   {5000, B500000},   {5760, B576000},
    {9216, B921600},   {10000, B1000000}, {11520, B1152000}, {15000, B1500000}, {20000, B2000000},
    {25000, B2500000}, {30000, B3000000}, {35000, B3500000}, {40000, B4000000},
}};

}  // namespace

speed_t GetSpeed(const char* baudr) {
    if (baudr == nullptr) return static_cast<speed_t>(-1);
    long n = atol(baudr) / 100;
    if (n == 0 && baudr[0] != '0') return static_cast<speed_t>(-1);
    for (const SpeedRow& row : kSpeeds) {
        if (row.hundreds == n) return row.code;
    }
    return static_cast<speed_t>(-1);
}

HTty TtyOpen(const char* device) {
    // Close-on-exec in the open itself: the receive thread reopens the line
    // while other threads start scripts, and a child must never inherit it.
    HTty fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // A regular file or /dev/null would be "read" as frames and "hang up"
    // at every end of file: only a terminal is a serial line.
    if (fd >= 0 && !isatty(fd)) {
        const int err = errno;  // ENOTTY
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void TtyInit(HTty fd, const char* baudr) {
    speed_t speed = GetSpeed(baudr);
    termios tio{};
    tcgetattr(fd, &tio);
    tio.c_iflag = IGNBRK;
    tio.c_lflag = 0;
    tio.c_oflag = 0;
    tio.c_cflag |= CLOCAL | CREAD;
    // With an unknown rate both calls fail and the line keeps its speed.
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= CS8;
    tio.c_cflag &= ~(PARENB | CSTOPB);
    tio.c_cc[VTIME] = 5;
    tio.c_cc[VMIN] = 10;
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIFLUSH);
}

long GetLineRate(HTty fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return 0;
    const speed_t code = cfgetospeed(&tio);
    for (const SpeedRow& row : kSpeeds) {
        if (row.code == code) return row.hundreds * 100;
    }
    return 0;
}

int TtyRead(HTty handle, void* dest, size_t size) {
    return static_cast<int>(read(handle, dest, size));
}

int TtyWrite(HTty handle, const void* src, size_t size) {
    return static_cast<int>(write(handle, src, size));
}

int TtyClose(HTty handle) {
    return close(handle);
}
