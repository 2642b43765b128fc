#include "network/nm.h"

#include <gtest/gtest.h>
#include <pthread.h>

TEST(DeviceStateTable, ExampleRows) {
    struct Case {
        int state;
        const char* text;
        int netState;
    } cases[] = {
        {30, "DISCONNECTED", 0}, {50, "CONFIG", 1},   {70, "IP_CONFIG", 2},
        {100, "ACTIVATED", 3},   {75, "UNKNOWN", 0},  {-1, "UNKNOWN", 0},
    };
    for (const Case& c : cases) {
        auto state = static_cast<NMDeviceState>(c.state);
        EXPECT_STREQ(GetDeviceStateText(state), c.text) << c.state;
        EXPECT_EQ(GetNetState(state), c.netState) << c.state;
    }
    EXPECT_STREQ(GetNetStateText(3), "connected");
    EXPECT_STREQ(GetNetStateText(0), "no link");
    EXPECT_STREQ(GetNetStateText(4), "?");
}

TEST(NmQueries, NullPaths) {
    EXPECT_EQ(NmGetDeviceState(nullptr), NM_DEVICE_STATE_FAILED);
    EXPECT_STREQ(GetDeviceStateText(NmGetDeviceState(nullptr)), "FAILED");
    EXPECT_EQ(GetSize(nullptr), 0);
    EXPECT_EQ(GetArraySize(nullptr), 0);
    EXPECT_EQ(NmGetFirstIP(nullptr), nullptr);
    EXPECT_EQ(NmGetActiveConnection(nullptr), nullptr);
    EXPECT_EQ(glib2_init(false), nullptr);
    EXPECT_EQ(nm_init(false), nullptr);
    GBytes* bytes = g_bytes_new("abc", 3);
    EXPECT_EQ(GetSize(bytes), 3);
    g_bytes_unref(bytes);
}

// No loop in this binary (console test mode): calls run where they are
// made and see no client.
TEST(NmLoop, WithoutLoopRunsInlineWithoutClient) {
    pthread_t caller = pthread_self();
    bool ran = false;
    NmCallOnLoop([&] {
        ran = pthread_equal(pthread_self(), caller) != 0;
        EXPECT_EQ(NmGetDevice("mlan0"), nullptr);
    });
    EXPECT_TRUE(ran);
    bool present = true;
    EXPECT_EQ(NmGetDeviceStateIface("mlan0", &present), NM_DEVICE_STATE_FAILED);
    EXPECT_FALSE(present);
    char mac[64] = "stale";
    EXPECT_EQ(NmGetMacAddress(mac, ""), nullptr);
    EXPECT_STREQ(mac, "");
}
