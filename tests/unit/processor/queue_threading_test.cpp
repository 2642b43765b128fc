// The queues between the receive thread and the state monitor under
// concurrent use: requests queued on one thread, carried out on another.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "common/config.h"
#include "processor/gain.h"
#include "processor/speaker.h"
#include "wire.h"

TEST(QueueThreading, GainAndLayoutRequestsMeetTheMonitor) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    TtyData link{};
    InitTtyData(&link, fds[0], "", "");
    InstallRecorder(nullptr);  // GETs print nothing: requests take their defaults
    TestTimeDivisor = 1000;
    IsDebug = 0;
    std::atomic<bool> done{false};
    // Drains the frames so that no send ever blocks.
    std::thread reader([&] {
        char buf[4096];
        while (read(fds[1], buf, sizeof buf) > 0) {
        }
    });
    constexpr int kRequests = 300;
    std::thread receiver([&] {
        for (int i = 0; i < kRequests; ++i) {
            const uchar gain[] = {0xFF, static_cast<uchar>(0x9C - i % 50)};
            doDiracMainVolSet(&link, 0x43, gain, 2);
            if (i == 0 || i == kRequests / 2) {
                const uchar layout[] = {0x06, 0x23, 0x02, 0x05, 0x01};
                doSpeakerLayoutMessage(&link, layout, 5);
            }
        }
        done = true;
    });
    int served = 0;
    while (!done.load()) served += doCheckDiracGain(&StateMutex, &link);
    served += doCheckDiracGain(&StateMutex, &link);
    while (doCheckSpeakerConfig(&link, &StateMutex) > 0) {
    }
    receiver.join();
    EXPECT_GE(served, 1);
    EXPECT_LE(served, kRequests);
    const auto count = [](const char* what) {
        int n = 0;
        for (const std::string& line : RecordedLines()) n += line.find(what) != std::string::npos;
        return n;
    };
    EXPECT_EQ(count(" http put "), served);  // one PUT per request carried out
    EXPECT_GE(count(" UpdateSpConfig "), 1);
    EXPECT_LE(count(" UpdateSpConfig "), 2);
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 0);
    RemoveRecorder();
    TestTimeDivisor = 1;
    shutdown(fds[0], SHUT_RDWR);
    close(fds[0]);
    reader.join();
    close(fds[1]);
}
