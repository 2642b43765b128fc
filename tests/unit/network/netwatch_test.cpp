#include "app/netwatch.h"

#include <gtest/gtest.h>

#include "common/config.h"

namespace {

struct ResetConfig {
    ResetConfig(int time, int count) {
        AutoResetLanTime = time;
        AutoResetLanMaxCount = count;
    }
    ~ResetConfig() {
        AutoResetLanTime = 0;
        AutoResetLanMaxCount = 3;
    }
};

NetWatchState Activated() {
    NetWatchState st;
    st.ethState = NM_DEVICE_STATE_ACTIVATED;
    return st;
}

}  // namespace

TEST(LanReset, ArmsOnlyOnADropFromActivated) {
    ResetConfig config(30, 3);
    struct Case {
        NMDeviceState from, to;
        bool enabled;
        bool arms;
    } cases[] = {
        {NM_DEVICE_STATE_ACTIVATED, NM_DEVICE_STATE_DISCONNECTED, true, true},
        {NM_DEVICE_STATE_ACTIVATED, NM_DEVICE_STATE_UNAVAILABLE, true, true},
        {NM_DEVICE_STATE_ACTIVATED, NM_DEVICE_STATE_DISCONNECTED, false, false},
        {NM_DEVICE_STATE_UNKNOWN, NM_DEVICE_STATE_DISCONNECTED, true, false},
        {NM_DEVICE_STATE_CONFIG, NM_DEVICE_STATE_FAILED, true, false},
        {NM_DEVICE_STATE_DISCONNECTED, NM_DEVICE_STATE_ACTIVATED, true, false},
    };
    for (const Case& c : cases) {
        NetWatchState st;
        st.ethState = c.from;
        EXPECT_EQ(UpdateLanReset(&st, c.to, c.enabled, 5000), c.arms) << c.from << "->" << c.to;
        EXPECT_EQ(st.autoResetLanTick, c.arms ? 5000u : 0u);
    }
}

TEST(LanReset, OffWithoutATime) {
    ResetConfig config(0, 3);
    NetWatchState st = Activated();
    EXPECT_FALSE(UpdateLanReset(&st, NM_DEVICE_STATE_DISCONNECTED, true, 5000));
    EXPECT_EQ(st.autoResetLanTick, 0u);
}

TEST(LanReset, ThreeResetsAtT3TAnd5T) {
    ResetConfig config(30, 3);
    NetWatchState st = Activated();
    const unsigned long drop = 100000;
    ASSERT_TRUE(UpdateLanReset(&st, NM_DEVICE_STATE_DISCONNECTED, true, drop));
    std::vector<unsigned long> resets;
    for (unsigned long t = drop; t < drop + 400000; t += 100) {
        int elapsed = 0;
        if (IsLanResetDue(&st, t, &elapsed)) resets.push_back(t - drop);
    }
    EXPECT_EQ(resets, (std::vector<unsigned long>{30000, 90000, 150000}));
    EXPECT_EQ(st.autoResetLanTick, 0u);
}

TEST(LanReset, CountZeroOrOneResetsOnce) {
    for (int count : {0, 1}) {
        ResetConfig config(2, count);
        NetWatchState st = Activated();
        ASSERT_TRUE(UpdateLanReset(&st, NM_DEVICE_STATE_DISCONNECTED, true, 1000));
        int elapsed = 0;
        EXPECT_FALSE(IsLanResetDue(&st, 2999, &elapsed));
        EXPECT_TRUE(IsLanResetDue(&st, 3000, &elapsed));
        EXPECT_EQ(elapsed, 2000);
        EXPECT_FALSE(IsLanResetDue(&st, 100000, &elapsed));
    }
}

TEST(LanReset, ActivationDisarms) {
    ResetConfig config(30, 3);
    NetWatchState st = Activated();
    ASSERT_TRUE(UpdateLanReset(&st, NM_DEVICE_STATE_DISCONNECTED, true, 1000));
    st.ethState = NM_DEVICE_STATE_DISCONNECTED;
    EXPECT_FALSE(UpdateLanReset(&st, NM_DEVICE_STATE_ACTIVATED, true, 2000));
    int elapsed = 0;
    EXPECT_FALSE(IsLanResetDue(&st, 1000000, &elapsed));
}
