#include "link/byteorder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "wire.h"

TEST(ByteOrder, HexTextToBytes) {
    const struct {
        const char* text;
        int size, step;
        Bytes want;
    } cases[] = {
        {"AA:BB:CC:DD:EE:FF", 6, 3, Hex("AA BB CC DD EE FF")},
        {"aa:bb:cc:dd:ee:ff", 6, 3, Hex("AA BB CC DD EE FF")},
        {"AA:BB:CC:DD:EE:FF:11", 6, 3, Hex("AA BB CC DD EE FF")},
        {"AA:BB", 6, 3, Hex("AA BB")},
        {"ABC", -1, 2, Hex("AB C0")},
        {"0g:\xff\x46", 6, 3, Hex("00 0F")},  // not a digit (a high byte too): 0; \x46 is F
        {"AA:B", 6, 3, Hex("AA B0")},         // a lone digit after a separator: stops at the NUL
        {"", 6, 3, {}},
        {"AA:BB", 0, 3, {}},
    };
    for (const auto& c : cases) {
        uchar out[16];
        memset(out, 0x5A, sizeof out);
        const int n = FromHexText(out, c.size, c.text, c.step);
        EXPECT_EQ(Bytes(out, out + n), c.want) << c.text;
        EXPECT_EQ(out[n], 0x5A) << "wrote past the count for " << c.text;
    }
    uchar out[6];
    EXPECT_EQ(FromHexText(nullptr, 6, "AA", 3) + FromHexText(out, 6, nullptr, 3), 0);
}

// The rest of the byte order is pinned by the frames, gain and report
// bytes; these are the edges those leave open.
TEST(ByteOrder, BigEndianEdges) {
    EXPECT_EQ(ToUShort(Hex("FF 9C").data()), 65436);  // checksums are unsigned
    EXPECT_EQ(ToShort(nullptr) + ToUShort(nullptr), 0);
    EXPECT_EQ(ShortToUChars(nullptr, 5), nullptr);
    uchar two[2];
    const uchar* p = ToUChars(two, 0x5ABCD);  // only the low 16 bits
    EXPECT_EQ(Bytes(p, p + 2), Hex("AB CD"));
    char text[4] = "abc";
    EXPECT_EQ(ToHexText(text, two, 0, ':') + ToHexText(nullptr, two, 6, ':'), 0);
    EXPECT_STREQ(text, "abc");
}
