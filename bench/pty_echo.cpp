// The bare pseudo-terminal round trip that the link benchmarks set beside
// the daemon's: opens the slave end raw, reads requests of a fixed size as
// they come (poll, then read, as the daemon's reader does) and answers each
// at once with the 6-byte acknowledgement frame the daemon would send.
//
//   pty_echo SLAVE_PATH REQUEST_SIZE
// Ends when the master end is closed.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Exactly size bytes, or false when the line is gone.
bool ReadExact(int fd, unsigned char* dest, int size) {
    int got = 0;
    while (got < size) {
        ssize_t n = read(fd, dest + got, static_cast<size_t>(size - got));
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) return false;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
    }
    return true;
}

// The whole buffer, waiting for room when the master is slow to read.
bool WriteAll(int fd, const unsigned char* src, int size) {
    int done = 0;
    while (done < size) {
        ssize_t n = write(fd, src + done, static_cast<size_t>(size - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 1000);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pty_echo SLAVE_PATH REQUEST_SIZE\n");
        return 2;
    }
    const int size = atoi(argv[2]);
    int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || size < 3 || size > 4096) {
        perror("pty_echo");
        return 1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    unsigned char request[4096];
    while (ReadExact(fd, request, size)) {
        // FA, the swapped address, the request's id, no payload, sum, F5.
        const unsigned char addr =
            static_cast<unsigned char>((request[1] << 4) | (request[1] >> 4));
        unsigned char ack[6] = {0xFA, addr, request[2], 0x00, 0x00, 0xF5};
        ack[4] = static_cast<unsigned char>(ack[0] + ack[1] + ack[2] + ack[3]);
        if (!WriteAll(fd, ack, sizeof ack)) break;
    }
    return 0;
}
