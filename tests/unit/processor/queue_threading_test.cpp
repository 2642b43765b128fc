// The queues between the receive thread and the state monitor under
// concurrent use: requests queued on one thread, carried out on another.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/config.h"
#include "processor/gain.h"
#include "processor/speaker.h"
#include "wire.h"

TEST(QueueThreading, GainAndLayoutRequestsMeetTheMonitor) {
    TestLine line{};  // a pipe that holds every report of this test
    OpenTestLine(&line);
    InstallRecorder(nullptr);  // GETs print nothing: requests take their defaults
    TestTimeDivisor = 1000;
    IsDebug = 0;
    constexpr int kRequests = 300;
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        const uchar layout[] = {0x06, 0x23, 0x02, 0x05, 0x01};
        for (int i = 0; i < kRequests; ++i) {
            const uchar gain[] = {0xFF, static_cast<uchar>(0x9C - i % 50)};
            doDiracMainVolSet(&line.tty, 0x43, gain, 2);
            if (i == 0 || i == kRequests / 2) doSpeakerLayoutMessage(&line.tty, layout, 5);
        }
        done = true;
    });
    int served = 0;
    while (!done.load()) served += doCheckDiracGain(&line.tty);
    served += doCheckDiracGain(&line.tty);
    while (doCheckSpeakerConfig(&line.tty) > 0) {
    }
    receiver.join();
    const auto count = [](const char* what) {
        return std::count_if(RecordedLines().begin(), RecordedLines().end(),
                             [&](const std::string& l) { return l.find(what) != l.npos; });
    };
    EXPECT_GE(served, 1);
    EXPECT_EQ(count(" http put "), served);  // one PUT per request carried out
    EXPECT_GE(count(" UpdateSpConfig "), 1);
    EXPECT_LE(count(" UpdateSpConfig "), 2);
    RemoveRecorder();
    TestTimeDivisor = 1;
    CloseTestLine(&line);
}
