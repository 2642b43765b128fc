// Threads sending through one pseudo-terminal: with several at once every
// frame must arrive whole and no id may repeat within 255 consecutive frames;
// with the far end not reading, frames are dropped whole, never cut.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
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

// The daemon's end of a new pty on data; returns the MCU's end.
int OpenPtyLine(TtyData* data) {
    int master = -1, slave = -1;
    char path[64];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) return -1;
    const HTty fd = TtyOpen(path);
    TtyInit(fd, "115200");
    close(slave);
    InitTtyData(data, fd, path, "115200");
    IsDebug = 0;
    IsQZ = true;
    return master;
}

// Everything on the line until it has been quiet for 300 ms, after `done`.
Bytes ReadUntilQuiet(int master, const std::atomic<bool>& done) {
    Bytes got;
    uchar buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0) {
            if (done) return got;
            continue;
        }
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return got;
        got.insert(got.end(), buf, buf + n);
    }
}

TEST(LinkThreads, AFullLineDropsWholeFramesAndLogsTheCount) {
    TtyData data{};
    const int master = OpenPtyLine(&data);
    ASSERT_GE(master, 0);
    // 240 frames of about 110 bytes (ids that do not wrap) are far more than a pty's buffer (about 16 KB):
    // the sender stops with a frame part written and waits for the rest, or
    // drops a frame that finds no room at all.
    constexpr int kFrames = 240;
    std::atomic<int> progress{0}, lost{0};
    std::atomic<bool> done{false};
    testing::internal::CaptureStdout();
    std::thread sender([&] {
        for (int i = 0; i < kFrames; i++, progress++) {
            const Bytes p(100 + i % 17, 0x11);
            if (SendPayload(&data, 0x43, p.data(), static_cast<int>(p.size())) < 0) lost++;
        }
        done = true;
    });
    for (int seen = -1; seen != progress;) {
        seen = progress;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_FALSE(done) << "the line never filled";
    // Two other senders meet the held line: each drops its frame, unless a
    // gap left by a dropped long frame happens to fit its short one.
    const Bytes report = Hex("13 03 02");
    int reportsSent = 0;
    for (int i = 0; i < 2; i++) reportsSent += SendPayload(&data, 0x43, report.data(), 3) > 0;
    const Bytes line = ReadUntilQuiet(master, done);
    sender.join();
    const int dropped = 2 - reportsSent + lost;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              dropped == 0 ? std::string()
                           : "Serial line full: dropping frames\n"
                             "Serial line takes frames again: " +
                                 std::to_string(dropped) + " dropped\n");
    std::vector<WireFrame> frames;
    ASSERT_EQ(SplitFrames(line.data(), line.size(), &frames), "");
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames - lost + reportsSent));
    for (size_t i = 1; i < frames.size(); i++) EXPECT_LT(frames[i - 1].id, frames[i].id);
    close(data.handle);
    close(master);
}

TEST(LinkThreads, ConcurrentSendersProduceWholeFramesAndDistinctIds) {
    TtyData data{};
    const int master = OpenPtyLine(&data);
    ASSERT_GE(master, 0);
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
    close(data.handle);
    close(master);
}

}  // namespace
