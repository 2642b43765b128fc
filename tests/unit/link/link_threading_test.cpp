// Three threads send through one pseudo-terminal at once: every frame must
// arrive whole and no id may repeat within 255 consecutive frames.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <array>
#include <thread>
#include <vector>

#include "link/link.h"
#include "wire.h"

namespace {

constexpr int kThreads = 3;
constexpr int kFramesEach = 10000;

// Payloads of different sizes, some long, so the writes differ in length.
Bytes Payload(int thread, int i) {
    return Bytes(3 + (i * 7 + thread) % 250, static_cast<uchar>(thread));
}

TEST(LinkThreads, ConcurrentSendersProduceWholeFramesAndDistinctIds) {
    int master = -1, slave = -1;
    char path[64];
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    const HTty fd = TtyOpen(path);
    ASSERT_GE(fd, 0);
    TtyInit(fd, "115200");
    close(slave);
    TtyData data{};
    InitTtyData(&data, fd, path, "115200");
    IsDebug = 0;
    IsQZ = true;
    size_t expected = 0;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i < kFramesEach; i++) expected += Wire(Payload(t, i)).size();
        senders.emplace_back([&data, t] {
            for (int i = 0; i < kFramesEach; i++) {
                const Bytes p = Payload(t, i);
                SendPayload(&data, 0x43, p.data(), static_cast<int>(p.size()));
            }
        });
    }
    Bytes line(expected);
    for (size_t got = 0; got < expected;) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 30000), 0) << "line went quiet after " << got << " bytes";
        const ssize_t n = read(master, line.data() + got, expected - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    for (std::thread& t : senders) t.join();
    std::vector<WireFrame> frames;
    ASSERT_EQ(SplitFrames(line.data(), line.size(), &frames), "");
    ASSERT_EQ(frames.size(), static_cast<size_t>(kThreads * kFramesEach));
    std::array<long, 256> lastSeen;
    lastSeen.fill(-255);
    for (long f = 0; f < static_cast<long>(frames.size()); f++) {
        const uchar id = frames[f].id;
        ASSERT_TRUE(id != 0 && f - lastSeen[id] >= 255) << "id " << int(id) << " at frame " << f;
        lastSeen[id] = f;
    }
    close(fd);
    close(master);
}

}  // namespace
