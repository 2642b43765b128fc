// The call-on-the-loop helper with a loop running on a thread of its own,
// as the daemon's main thread runs it, and several callers at once.
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "network/nm.h"

namespace {

pthread_t loopThreadId;

// One loop for the rest of the process, on a thread of its own, as the
// daemon's main thread runs it.
void EnsureTestLoop() {
    static bool started = false;
    if (started) return;
    started = true;
    std::mutex m;
    std::condition_variable cv;
    bool ready = false;
    std::thread([&] {
        NmSetLoopThread();
        loopThreadId = pthread_self();
        GMainLoop* loop = glib2_init(true);
        {
            std::lock_guard<std::mutex> hold(m);
            ready = true;
            cv.notify_one();
        }
        g_main_loop_run(loop);
    }).detach();
    std::unique_lock<std::mutex> wait(m);
    cv.wait(wait, [&] { return ready; });
}

}  // namespace

TEST(NmLoopThreading, CallsRunOnTheLoopOneAtATime) {
    EnsureTestLoop();
    int counter = 0;  // not atomic: only the loop touches it
    bool allOnLoop = true;
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; t++) {
        callers.emplace_back([&] {
            for (int i = 0; i < 200; i++) {
                NmCallOnLoop([&] {
                    if (!pthread_equal(pthread_self(), loopThreadId)) allOnLoop = false;
                    counter++;
                });
            }
        });
    }
    for (std::thread& t : callers) t.join();
    int seen = 0;
    NmCallOnLoop([&] { seen = counter; });
    EXPECT_EQ(seen, 800);
    bool onLoop = false;
    NmCallOnLoop([&] { onLoop = allOnLoop; });
    EXPECT_TRUE(onLoop);
}

TEST(NmLoopThreading, NestedCallOnTheLoopRunsAtOnce) {
    EnsureTestLoop();
    int depth = 0;
    NmCallOnLoop([&] {
        depth = 1;
        NmCallOnLoop([&] { depth = 2; });  // would wait for itself if queued
    });
    EXPECT_EQ(depth, 2);
}

TEST(NmLoopThreading, NoClientMeansNoDevice) {
    EnsureTestLoop();
    bool present = true;
    EXPECT_EQ(NmGetDeviceStateIface("eth0", &present), NM_DEVICE_STATE_FAILED);
    EXPECT_FALSE(present);
}
