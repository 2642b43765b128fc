// The call-on-the-loop helper with a loop running on a thread of its own,
// as the daemon's main thread runs it, and several callers at once.
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "network/nm.h"

TEST(NmLoopThreading, CallsRunOnTheLoopOneAtATime) {
    std::promise<pthread_t> started;
    std::thread([&started] {
        NmSetLoopThread();
        GMainLoop* loop = glib2_init();
        started.set_value(pthread_self());
        g_main_loop_run(loop);  // for the rest of the process
    }).detach();
    const pthread_t loopThread = started.get_future().get();
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
    std::pair<int, int> seen;
    NmCallOnLoop([&] { seen = {counter, offLoop}; });
    EXPECT_EQ(seen, std::make_pair(800, 0)) << "calls made, calls off the loop";
    bool nested = false;
    NmCallOnLoop([&] { NmCallOnLoop([&] { nested = true; }); });  // would wait for itself if queued
    EXPECT_TRUE(nested);
}
