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

TEST(Tty, SpeedFromRateText) {
    const speed_t none = speed_t(-1);
    const struct {
        const char* text;
        speed_t want;
    } cases[] = {{"115299", B115200}, {"9600", B9600},       {"0", B0},        {"50", none},
                 {"abc", none},       {"4000000", B4000000}, {"4500000", none}};
    for (const auto& c : cases) EXPECT_EQ(GetSpeed(c.text), c.want) << c.text;
}

// Every rate the line offers, with the Linux speed code the board's UART is
// set to, written out as the line's design gives them (not taken from the
// code's table); a wrong row would leave a board talking garbage.
TEST(Tty, WholeSpeedTable) {
    // clang-format off
    const std::pair<const char*, unsigned> rows[] = {
        {"0", 0},            {"300", 7},          {"600", 8},          {"1200", 9},
        {"2400", 11},        {"4800", 12},        {"9600", 13},        {"19200", 14},
        {"38400", 15},       {"57600", 0x1001},   {"115200", 0x1002},  {"230400", 0x1003},
        {"460800", 0x1004},  {"500000", 0x1005},  {"576000", 0x1006},  {"921600", 0x1007},
        {"1000000", 0x1008}, {"1152000", 0x1009}, {"1500000", 0x100A}, {"2000000", 0x100B},
        {"2500000", 0x100C}, {"3000000", 0x100D}, {"3500000", 0x100E}, {"4000000", 0x100F},
    };
    // clang-format on
    for (const auto& [text, code] : rows) EXPECT_EQ(GetSpeed(text), speed_t(code)) << text;
    for (const char* text : {"50", "75", "110", "134", "150", "200", "1800"}) {
        EXPECT_EQ(GetSpeed(text), speed_t(-1)) << text;  // rates the line does not offer
    }
}
