#include "link/frame.h"

#include <gtest/gtest.h>

#include "link/tty.h"
#include "wire.h"

TEST(Frame, ExamplesOnTheWire) {
    const struct {
        const char* payload;
        uchar id, addr;
        const char* wire;
    } cases[] = {
        {"", 7, 0x43, "FA 43 07 00 44 F5"},  // an acknowledgement
        {"05 0B", 7, 0x34, "FA 34 07 02 05 0B 47 F5"},
        {"13 03 02", 2, 0x43, "FA 43 02 03 13 03 02 5A F5"},
        {"05 12 31 33 34 00", 1, 0x43, "FA 43 01 06 05 12 31 33 34 00 F3 F5"},
    };
    for (const auto& c : cases) EXPECT_EQ(Wire(Hex(c.payload), c.id, c.addr), Hex(c.wire));
    EXPECT_EQ(GetSendAddr(0xA4), 0x4A);
    // Short up to 182 bytes, long from 183 up to what the buffer holds.
    EXPECT_EQ(Wire(Bytes(182)).size(), 188u);
    EXPECT_EQ(Wire(Bytes(183)).size(), 191u);
    const Bytes zeros = Wire(Bytes(200), 9, 0x43);
    EXPECT_EQ(Bytes(zeros.begin(), zeros.begin() + 5), Hex("FA 43 09 C0 C8"));
    EXPECT_EQ(Bytes(zeros.end() - 3, zeros.end()), Hex("02 CE F5"));
    EXPECT_EQ(Wire(Bytes(kLongPayloadMax)).size(), static_cast<size_t>(kFrameBufferSize));
    EXPECT_TRUE(Wire(Bytes(kLongPayloadMax + 1)).empty());
}

// The console test's framed lines: pairs at 0, 3, 6; a lone last digit is the high one.
TEST(Frame, ConsoleHexText) {
    const auto* text = reinterpret_cast<const uchar*>("05 0B 7");
    uchar out[4];
    ASSERT_TRUE(IsHexTextPayload(text, 7, 1) && !IsHexTextPayload(Hex("05 12 31").data(), 3, 1));
    EXPECT_EQ(Bytes(out, out + DecodeHexPayload(out, text, 7)), Hex("05 0B 70"));
}

TEST(Tty, SpeedFromRateText) {
    const speed_t none = speed_t(-1);
    const struct {
        const char* text;
        speed_t want;
    } cases[] = {{"115299", B115200}, {"9600", B9600},       {"0", B0},        {"50", none},
                 {"abc", none},       {"4000000", B4000000}, {"4500000", none}};
    for (const auto& c : cases) EXPECT_EQ(GetSpeed(c.text), c.want) << c.text;
}
