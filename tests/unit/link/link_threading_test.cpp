// Three threads send through one line at once; every frame must arrive whole
// and no id may repeat within 255 consecutive frames.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "link/link.h"
#include "wire.h"

namespace {

constexpr int kThreads = 3;
constexpr int kFramesEach = 10000;

void Sender(TtyData* data, int thread) {
    for (int i = 0; i < kFramesEach; i++) {
        // Payloads of different sizes, some long, so writes differ in length.
        uchar payload[300];
        int size = 3 + (i * 7 + thread) % 250;
        for (int k = 0; k < size; k++) payload[k] = static_cast<uchar>(thread * 16 + k);
        SendPayload(data, 0x43, payload, size);
    }
}

TEST(LinkThreads, ConcurrentSendersProduceWholeFramesAndDistinctIds) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    char path[256];
    ASSERT_EQ(ttyname_r(slave, path, sizeof path), 0);
    HTty fd = TtyOpen(path);
    ASSERT_GE(fd, 0);
    TtyInit(fd, "115200");
    close(slave);
    TtyData data{};
    InitTtyData(&data, fd, path, "115200");
    IsDebug = 0;
    IsQZ = true;

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; t++) senders.emplace_back(Sender, &data, t);

    std::vector<uchar> buf;
    std::vector<int> ids;
    int bad = 0;
    uchar chunk[65536];
    while (static_cast<int>(ids.size()) < kThreads * kFramesEach) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 10000), 0) << "line went quiet after " << ids.size() << " frames";
        ssize_t n = read(master, chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        buf.insert(buf.end(), chunk, chunk + n);
        // Whole frames from the front; a frame cut by the read waits for the rest.
        size_t pos = 0;
        while (buf.size() - pos >= 6) {
            const uchar* f = buf.data() + pos;
            if (f[0] != kFrameStart) {
                bad++;
                pos++;
                continue;
            }
            const size_t total = IsLongLength(f[3]) ? (f[3] & 0x3F) * 256 + f[4] + 8 : f[3] + 6;
            if (buf.size() - pos < total) break;
            std::vector<WireFrame> one;
            if (!SplitFrames(f, total, &one).empty()) bad++;
            ids.push_back(f[2]);
            pos += total;
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(pos));
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(bad, 0);
    for (size_t i = 0; i < ids.size(); i++) {
        ASSERT_NE(ids[i], 0);
        for (size_t k = i + 1; k < ids.size() && k < i + 255; k++) {
            ASSERT_NE(ids[i], ids[k]) << "id repeated within 255 frames at " << i;
        }
    }
    close(fd);
    close(master);
}

}  // namespace
