#include "link/byteorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(FromHex, Digits) {
    struct Case {
        char c;
        int want;
    } cases[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10},  {'f', 15},
                 {'g', 0}, {':', 0}, {' ', 0},  {'\0', 0}, {'\xff', 0}};
    for (const Case& c : cases) EXPECT_EQ(fromHex(c.c), c.want) << int(c.c);
}

TEST(FromHexText, Cases) {
    struct Case {
        const char* text;
        int size;
        int step;
        std::vector<uchar> want;
    } cases[] = {
        {"AA:BB:CC:DD:EE:FF", 6, 3, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        {"aa:bb:cc:dd:ee:ff", 6, 3, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        {"AA:BB", 6, 3, {0xAA, 0xBB}},
        {"ABC", -1, 2, {0xAB, 0xC0}},
        {"", 6, 3, {}},
        {"AA:BB:CC", 0, 3, {}},
        {"AA:B", 6, 3, {0xAA, 0xB0}},  // a lone digit after a separator: stops at the NUL
        {"AA:BB:CC:DD:EE:FF:11", 6, 3, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
    };
    for (const Case& c : cases) {
        uchar out[16];
        memset(out, 0x5A, sizeof out);
        int n = FromHexText(out, c.size, c.text, c.step);
        ASSERT_EQ(n, static_cast<int>(c.want.size())) << c.text;
        EXPECT_EQ(std::vector<uchar>(out, out + n), c.want) << c.text;
        EXPECT_EQ(out[n], 0x5A) << "wrote past the count for " << c.text;
    }
    uchar out[6];
    EXPECT_EQ(FromHexText(nullptr, 6, "AA", 3), 0);
    EXPECT_EQ(FromHexText(out, 6, nullptr, 3), 0);
}

TEST(ToHexText, Cases) {
    const uchar mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    char text[32] = "untouched";
    EXPECT_EQ(ToHexText(text, mac, 6, ':'), 17);
    EXPECT_STREQ(text, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(ToHexText(text, mac + 1, 1, ':'), 2);
    EXPECT_STREQ(text, "1A");
    strcpy(text, "untouched");
    EXPECT_EQ(ToHexText(text, mac, 0, ':'), 0);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(ToHexText(nullptr, mac, 6, ':'), 0);
}

TEST(ByteOrder, Numbers) {
    EXPECT_EQ(ToUChar(256), 0);
    EXPECT_EQ(ToUChar(300), 44);
    EXPECT_EQ(ToUChar(-1), 255);
    EXPECT_EQ(MakeUChar(1, 1, 1), 0x51);
    EXPECT_EQ(MakeUChar(4, 0, 0), 0x00);  // spills and is truncated
    const uchar m100[2] = {0xFF, 0x9C};
    EXPECT_EQ(ToShort(m100), -100);
    EXPECT_EQ(ToUShort(m100), 65436);
    EXPECT_EQ(ToShort(nullptr), 0);
    EXPECT_EQ(ToUShort(nullptr), 0);
    uchar two[2];
    ShortToUChars(two, -370);
    EXPECT_EQ(two[0], 0xFE);
    EXPECT_EQ(two[1], 0x8E);
    ToUChars(two, 0x1234);
    EXPECT_EQ(two[0], 0x12);
    EXPECT_EQ(two[1], 0x34);
    ToUChars(two, 0x5ABCD);
    EXPECT_EQ(two[0], 0xAB);
    EXPECT_EQ(two[1], 0xCD);
    EXPECT_EQ(ShortToUChars(nullptr, 5), nullptr);
}

TEST(PrintHex, Lines) {
    struct Case {
        const char* text;
        std::vector<uchar> bytes;
        std::string want;
    } cases[] = {
        {"Received: ", {0xFA, 0x43, 0x01}, "Received: FA 43 01\n"},
        {nullptr, {0x0B}, "0B\n"},
        {"Label: ", {}, "Label: "},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        printHex(c.text, c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want);
    }
}
