// The call-on-the-loop helper with a loop running on a thread of its own,
// as the daemon's main thread runs it, and several callers at once.
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <thread>
#include <vector>

#include "network/nm.h"

namespace {

pthread_t loopThread;

// One loop for the rest of the process.
void EnsureTestLoop() {
    static const bool started = [] {
        std::promise<void> ready;
        std::thread([&ready] {
            NmSetLoopThread();
            loopThread = pthread_self();
            GMainLoop* loop = glib2_init(true);
            ready.set_value();
            g_main_loop_run(loop);
        }).detach();
        ready.get_future().wait();
        return true;
    }();
    (void)started;
}

}  // namespace

TEST(NmLoopThreading, CallsRunOnTheLoopOneAtATime) {
    EnsureTestLoop();
    int counter = 0, offLoop = 0;  // not atomic: only the loop touches them
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; t++) {
        callers.emplace_back([&] {
            for (int i = 0; i < 200; i++) {
                NmCallOnLoop([&] {
                    offLoop += pthread_equal(pthread_self(), loopThread) ? 0 : 1;
                    counter++;
                });
            }
        });
    }
    for (std::thread& t : callers) t.join();
    int seen = 0;
    NmCallOnLoop([&] { seen = counter * 1000 + offLoop; });
    EXPECT_EQ(seen, 800 * 1000) << "calls made, calls off the loop";
}

TEST(NmLoopThreading, NestedCallRunsAtOnceAndNoClientMeansNoDevice) {
    EnsureTestLoop();
    int depth = 0;
    NmCallOnLoop([&] {
        depth = 1;
        NmCallOnLoop([&] { depth = 2; });  // would wait for itself if queued
    });
    EXPECT_EQ(depth, 2);
    bool present = true;
    EXPECT_EQ(NmGetDeviceStateIface("eth0", &present), NM_DEVICE_STATE_FAILED);
    EXPECT_FALSE(present);
}
