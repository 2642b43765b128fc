#include "network/nm.h"

#include <gtest/gtest.h>

TEST(DeviceStates, TextAndLinkStateByte) {
    const struct {
        int state;
        const char* text;
        int netState;
    } cases[] = {
        {50, "CONFIG", 1},     {70, "IP_CONFIG", 2}, {90, "SECONDARIES", 0},
        {100, "ACTIVATED", 3}, {75, "UNKNOWN", 0},   {-1, "UNKNOWN", 0},
    };
    for (const auto& c : cases) {
        const auto state = static_cast<NMDeviceState>(c.state);
        EXPECT_STREQ(GetDeviceStateText(state), c.text) << c.state;
        EXPECT_EQ(GetNetState(state), c.netState) << c.state;
    }
    EXPECT_STREQ(GetNetStateText(4), "?");
    EXPECT_EQ(NmGetDeviceState(nullptr), NM_DEVICE_STATE_FAILED);
}
