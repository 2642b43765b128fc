// Three threads send through one line at once: every frame must arrive
// whole, each thread's frames in its order, and no id may repeat within 255
// consecutive frames.
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

// Payloads of different sizes, some long, so the writes differ in length;
// the first byte tells the thread.
Bytes Payload(int thread, int i) {
    Bytes p(3 + (i * 7 + thread) % 250);
    for (size_t k = 0; k < p.size(); k++) p[k] = static_cast<uchar>(thread * 16 + k);
    return p;
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
    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i < kFramesEach; i++) expected += Wire(Payload(t, i)).size();
    }
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; t++) {
        senders.emplace_back([&data, t] {
            for (int i = 0; i < kFramesEach; i++) {
                const Bytes p = Payload(t, i);
                SendPayload(&data, 0x43, p.data(), static_cast<int>(p.size()));
            }
        });
    }
    Bytes line;
    uchar chunk[65536];
    while (line.size() < expected) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 30000), 0) << "line went quiet after " << line.size() << " bytes";
        const ssize_t n = read(master, chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        line.insert(line.end(), chunk, chunk + n);
    }
    for (std::thread& t : senders) t.join();

    std::vector<WireFrame> frames;
    ASSERT_EQ(SplitFrames(line.data(), line.size(), &frames), "");
    ASSERT_EQ(frames.size(), static_cast<size_t>(kThreads * kFramesEach));
    std::array<int, kThreads> next{};
    std::array<long, 256> lastSeen;
    lastSeen.fill(-255);
    for (long f = 0; f < static_cast<long>(frames.size()); f++) {
        const WireFrame& w = frames[f];
        const int t = w.payload.at(0) / 16;
        ASSERT_LT(t, kThreads) << "frame " << f;
        ASSERT_EQ(w.payload, Payload(t, next[t]++)) << "frame " << f;
        ASSERT_NE(w.id, 0);
        ASSERT_GE(f - lastSeen[w.id], 255) << "id " << int(w.id) << " repeated at frame " << f;
        lastSeen[w.id] = f;
    }
    close(fd);
    close(master);
}

}  // namespace
