#include "link/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "link/tty.h"

namespace {

std::vector<uchar> Build(std::vector<uchar> payload, uchar id, uchar addr) {
    uchar buf[kFrameBufferSize];
    int n = BuildFrame(buf, payload.data(), static_cast<int>(payload.size()), id, addr);
    return n < 0 ? std::vector<uchar>{} : std::vector<uchar>(buf, buf + n);
}

}  // namespace

TEST(Frame, ExamplesOnTheWire) {
    EXPECT_EQ(Build({}, 7, 0x43), (std::vector<uchar>{0xFA, 0x43, 0x07, 0x00, 0x44, 0xF5}));
    EXPECT_EQ(Build({0x05, 0x0B}, 7, 0x34),
              (std::vector<uchar>{0xFA, 0x34, 0x07, 0x02, 0x05, 0x0B, 0x47, 0xF5}));
    EXPECT_EQ(Build({0x13, 0x03, 0x02}, 2, 0x43),
              (std::vector<uchar>{0xFA, 0x43, 0x02, 0x03, 0x13, 0x03, 0x02, 0x5A, 0xF5}));
    EXPECT_EQ(Build({0x05, 0x12, '1', '3', '4', 0}, 1, 0x43),
              (std::vector<uchar>{0xFA, 0x43, 0x01, 0x06, 0x05, 0x12, 0x31, 0x33, 0x34, 0x00, 0xF3,
                                  0xF5}));
}

TEST(Frame, ShortLongBoundaryAndLimits) {
    EXPECT_EQ(Build(std::vector<uchar>(182), 1, 0x43).size(), 188u);
    std::vector<uchar> longFrame = Build(std::vector<uchar>(183), 1, 0x43);
    EXPECT_EQ(longFrame.size(), 191u);
    EXPECT_EQ(longFrame[3], 0xC0);
    EXPECT_EQ(longFrame[4], 183);
    std::vector<uchar> zeros = Build(std::vector<uchar>(200), 9, 0x43);
    EXPECT_EQ(std::vector<uchar>(zeros.begin(), zeros.begin() + 5),
              (std::vector<uchar>{0xFA, 0x43, 0x09, 0xC0, 0xC8}));
    EXPECT_EQ(std::vector<uchar>(zeros.end() - 3, zeros.end()),
              (std::vector<uchar>{0x02, 0xCE, 0xF5}));
    EXPECT_EQ(Build(std::vector<uchar>(kLongPayloadMax), 1, 0x43).size(),
              static_cast<size_t>(kFrameBufferSize));
    EXPECT_TRUE(Build(std::vector<uchar>(kLongPayloadMax + 1), 1, 0x43).empty());
}

TEST(Frame, Validity) {
    std::vector<uchar> f = Build({0x05, 0x0B}, 7, 0x34);
    EXPECT_TRUE(IsValidFrame(f.data(), 2, false));
    f[6] ^= 1;
    EXPECT_FALSE(IsValidFrame(f.data(), 2, false));
    f = Build({0x05, 0x0B}, 7, 0x34);
    f[7] = 0xF4;
    EXPECT_FALSE(IsValidFrame(f.data(), 2, false));
    std::vector<uchar> l = Build(std::vector<uchar>(300, 0xFA), 3, 0x34);
    EXPECT_TRUE(IsValidFrame(l.data(), 300, true));
    l[305] ^= 1;
    EXPECT_FALSE(IsValidFrame(l.data(), 300, true));
}

TEST(Frame, AddressesAndSums) {
    EXPECT_EQ(GetSendAddr(0x34), 0x43);
    EXPECT_EQ(GetSendAddr(0xA4), 0x4A);
    EXPECT_EQ(GetSendAddr(0x43), 0x34);
    const uchar bytes[] = {0xFF, 0xFF, 0x03};
    EXPECT_EQ(doSum(bytes, 3), 0x01);
    EXPECT_EQ(doSum(bytes, 0), 0);
    EXPECT_EQ(doSum(bytes, -1), 0);
    EXPECT_EQ(doSum2(bytes, 3), 0x0201);
}

TEST(Frame, HexText) {
    const char line[] = "05 0B 00\n";
    const auto* text = reinterpret_cast<const uchar*>(line);
    EXPECT_TRUE(IsHexTextPayload(text, 9, 1));
    EXPECT_FALSE(IsHexTextPayload(text, 2, 1));
    EXPECT_FALSE(IsHexTextPayload(text, 9, -1));
    const uchar version[] = {0x05, 0x12, '1'};
    EXPECT_FALSE(IsHexTextPayload(version, 3, 1));
    uchar out[8];
    ASSERT_EQ(DecodeHexPayload(out, text, 9), 3);
    EXPECT_EQ(std::vector<uchar>(out, out + 3), (std::vector<uchar>{0x05, 0x0B, 0x00}));
    // A last digit at the very end of the payload: the missing one reads as 0.
    ASSERT_EQ(DecodeHexPayload(out, reinterpret_cast<const uchar*>("05 0B 0"), 7), 3);
    EXPECT_EQ(out[2], 0x00);
    ASSERT_EQ(DecodeHexPayload(out, reinterpret_cast<const uchar*>("05 0B 7"), 7), 3);
    EXPECT_EQ(out[2], 0x70);
}

TEST(Tty, SpeedTable) {
    struct Case {
        const char* text;
        speed_t want;
    } cases[] = {
        {"115200", B115200}, {"115299", B115200},  {"9600", B9600},       {"0", B0},
        {"50", (speed_t)-1}, {"abc", (speed_t)-1}, {"4000000", B4000000}, {"4500000", (speed_t)-1},
        {"300", B300},       {"57600", B57600},    {"1800", (speed_t)-1}, {" 19200", B19200},
    };
    for (const Case& c : cases) EXPECT_EQ(GetSpeed(c.text), c.want) << c.text;
    EXPECT_EQ(GetSpeed("115200"), 0x1002u);
    EXPECT_EQ(GetSpeed("9600"), 13u);
    EXPECT_EQ(GetSpeed("4000000"), 0x100Fu);
}
