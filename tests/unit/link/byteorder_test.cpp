// The rest of the byte order is pinned by the frame, gain and report bytes;
// these are the edges those leave open.
#include "link/byteorder.h"

#include <gtest/gtest.h>

#include "wire.h"

TEST(ByteOrder, HexTextToBytes) {
    const struct {
        const char* text;
        int size, step;
        const char* want;
    } cases[] = {
        {"aa:bb:cc:dd:ee:ff:11", 6, 3, "AA BB CC DD EE FF"},
        {"ABC", -1, 2, "AB C0"},
        {"0g:\xff\x46", 6, 3, "00 0F"},  // not a digit (a high byte too): 0; \x46 is F
        {"AA:B", 6, 3, "AA B0"},         // a lone digit after a separator: stops at the NUL
        {"", 6, 3, ""},
        {"AA:BB", 0, 3, ""},
    };
    for (const auto& c : cases) {
        uchar out[8] = {0, 0, 0, 0, 0, 0, 0x5A, 0x5A};
        const int n = FromHexText(out, c.size, c.text, c.step);
        EXPECT_EQ(Bytes(out, out + n), Hex(c.want)) << c.text;
        EXPECT_EQ(out[6], 0x5A) << "wrote past six bytes for " << c.text;
    }
    uchar two[2];
    EXPECT_EQ(FromHexText(nullptr, 6, "AA", 3) + FromHexText(two, 6, nullptr, 3), 0);
    EXPECT_EQ(ToUShort(Hex("FF 9C").data()), 65436);  // checksums are unsigned
    EXPECT_EQ(ToShort(nullptr) + ToUShort(nullptr) + ToHexText(nullptr, two, 6, ':'), 0);
    const uchar* p = ToUChars(two, 0x5ABCD);  // only the low 16 bits
    EXPECT_EQ(Bytes(p, p + 2), Hex("AB CD"));
}
