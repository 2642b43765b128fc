#include "network/netwatch.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/config.h"

namespace {

constexpr NMDeviceState kUp = NM_DEVICE_STATE_ACTIVATED;
constexpr NMDeviceState kDown = NM_DEVICE_STATE_DISCONNECTED;

}  // namespace

TEST(LanReset, ArmsOnlyOnADropFromActivated) {
    const struct {
        int time;
        NMDeviceState from, to;
        bool enabled, arms;
    } cases[] = {
        {30, kUp, kDown, true, true},
        {30, kUp, NM_DEVICE_STATE_UNAVAILABLE, true, true},
        {30, kUp, kDown, false, false},  // the MCU switched the LAN off
        {0, kUp, kDown, true, false},    // no reset configured
        {30, NM_DEVICE_STATE_CONFIG, NM_DEVICE_STATE_FAILED, true, false},
        {30, kDown, kUp, true, false},
    };
    for (const auto& c : cases) {
        AutoResetLanTime = c.time;
        NetWatchState st;
        st.ethState = c.from;
        EXPECT_EQ(UpdateLanReset(&st, c.to, c.enabled, 5000), c.arms) << c.from << "->" << c.to;
        EXPECT_EQ(st.autoResetLanTick, c.arms ? 5000u : 0u);
    }
}

// A link that drops and stays down: reset after T, then every 2T while the
// count lasts; one that comes back within T is left alone.
TEST(LanReset, ResetTimes) {
    const struct {
        int time, count;
        bool back;
        std::vector<unsigned long> resets;  // ms after the drop
    } cases[] = {
        {30, 3, false, {30000, 90000, 150000}},
        {2, 1, false, {2000}},
        {2, 0, false, {2000}},
        {2, 3, true, {}},
    };
    for (const auto& c : cases) {
        AutoResetLanTime = c.time;
        AutoResetLanMaxCount = c.count;
        NetWatchState st;
        st.ethState = kUp;
        ASSERT_TRUE(UpdateLanReset(&st, kDown, true, 1));
        st.ethState = kDown;
        if (c.back) UpdateLanReset(&st, kUp, true, 1000);
        std::vector<unsigned long> resets;
        int elapsed = 0;
        for (unsigned long t = 1; t < 400000; t += 100) {
            if (IsLanResetDue(&st, t, &elapsed)) resets.push_back(t - 1);
        }
        EXPECT_EQ(resets, c.resets) << c.time << ":" << c.count;
    }
    AutoResetLanTime = 0;
    AutoResetLanMaxCount = 3;
}
