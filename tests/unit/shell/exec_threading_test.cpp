// Ending the children from another thread (as on a stop) while requests and
// a device action wait for theirs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "shell/exec.h"

TEST(ExecThreading, EndChildrenEndsRequestsAndLeavesDeviceActions) {
    std::atomic<int> running{2};
    int requestRc = 0, actionRc = 0;
    std::thread request([&] {
        requestRc = Exec(nullptr, nullptr, "sleep 30 & wait");
        --running;
    });
    std::thread capture([&] {
        char out[64];
        int size = sizeof out;
        Exec(out, &size, "sleep 30");
        --running;
    });
    std::thread action([&] { actionRc = ExecDeviceAction("sleep 1; exit 7"); });
    // Until both requests have started and been ended.
    for (int i = 0; i < 250 && running > 0; ++i) {
        ExecEndChildren();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    request.join();
    capture.join();
    action.join();
    // TERM when it was running at the stop; not started (-1) after it.
    EXPECT_TRUE(requestRc == -1 || (WIFSIGNALED(requestRc) && WTERMSIG(requestRc) == SIGTERM))
        << requestRc;
    EXPECT_EQ(actionRc, 7 << 8);
    // Stopping: a worker that goes on gets no new command run; a device
    // action still is.
    EXPECT_EQ(Exec(nullptr, nullptr, "sleep 30"), -1);
    EXPECT_EQ(ExecDeviceAction("exit 3"), 3 << 8);
}
