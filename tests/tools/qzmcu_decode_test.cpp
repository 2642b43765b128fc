// qzmcu's decoders: payloads the daemon sends, in; the console's lines, out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qzmcu/decode.h"

namespace {

std::vector<uchar> Bytes(std::initializer_list<int> head, const std::string& text = "",
                         std::initializer_list<int> tail = {}) {
    std::vector<uchar> out;
    for (int b : head) out.push_back(static_cast<uchar>(b));
    out.insert(out.end(), text.begin(), text.end());
    for (int b : tail) out.push_back(static_cast<uchar>(b));
    return out;
}

struct DecodeCase {
    const char* what;
    std::vector<uchar> payload;
    const char* line;
};

const std::vector<DecodeCase>& Cases() {
    static const std::vector<DecodeCase> cases = {
        {"version", Bytes({0x05, 0x12}, "134", {0}), "version 1.3.4"},
        {"build date without processor version", Bytes({0x05, 0x13}, "260728", {0, 0}),
         "build date 2026-07-28, processor version none"},
        {"build date with processor version",
         Bytes({0x05, 0x13}, std::string("260728\0003.9.1", 12), {0}),
         "build date 2026-07-28, processor version 3.9.1"},
        {"state 4 with its code", Bytes({0x13, 0x01, 0x02, 0x04, 0xFF}),
         "processor state 4 (stopped: no processor files), code 255"},
        {"state 1", Bytes({0x13, 0x01, 0x02, 0x01}),
         "processor state 1 (ready: command socket up)"},
        {"state 3", Bytes({0x13, 0x01, 0x02, 0x03}), "processor state 3 (playing)"},
        {"filter report", Bytes({0x13, 0x02, 0x02, 0x01, 0x03, 0x11}, "Movie Night", {0}),
         "filters: filtering on, 3 slots, active slot 1 [Dirac Live Bass Control] \"Movie Night\""},
        {"filter report, active index not listed",
         Bytes({0x13, 0x02, 0x02, 0x00, 0x03, 0x09, 0x00}),
         "filters: filtering off, 3 slots, active not listed (byte 0x09, no name)"},
        {"filter report without processor", Bytes({0x13, 0x02, 0x02, 0xFF, 0x00, 0xFF, 0x00}),
         "filters: filtering unknown, 0 slots, active none"},
        {"one slot", Bytes({0x13, 0x02, 0x02, 0x01, 0x01, 0x00}, "A", {0}),
         "filters: filtering on, 1 slot, active slot 0 [Other] \"A\""},
        {"filter info", Bytes({0x13, 0x02, 0x0C, 0x00, 0x22}, "Late Quiet", {0}),
         "filter slot 2 [Dirac Active Room Treatment] \"Late Quiet\""},
        {"filter info past the list", Bytes({0x13, 0x02, 0x0C, 0x00, 0x05, 0x00}),
         "filter slot 5: no such slot"},
        {"active filter", Bytes({0x13, 0x02, 0x16, 0x00, 0x30}, "Music", {0}),
         "active filter: slot 0 [Dirac Live Bass Management] \"Music\""},
        {"reset reply", Bytes({0x13, 0x03, 0x02}), "audio reset done"},
        {"identity ack", Bytes({0x13, 0x05, 0x03}), "device identity acknowledged"},
        {"uuid", Bytes({0x13, 0x05, 0x06, 0x26}, "3f6c1e2a-0b4d-4c8e-9a7f-112233445566\n", {0}),
         "uuid \"3f6c1e2a-0b4d-4c8e-9a7f-112233445566\""},
        {"empty uuid", Bytes({0x13, 0x05, 0x06, 0x01, 0x00}), "uuid none"},
        {"uuid longer than its frame", Bytes({0x13, 0x05, 0x06, 0x09, 0x41}),
         "uuid (truncated: 13 05 06 09 41)"},
        {"main volume -8 dB", Bytes({0x13, 0x06, 0x02, 0xFF, 0xB0}), "main volume -8.0 dB"},
        {"main volume default", Bytes({0x13, 0x06, 0x02, 0xFE, 0x8E}), "main volume -37.0 dB"},
        {"main volume -0.5", Bytes({0x13, 0x06, 0x02, 0xFF, 0xFB}), "main volume -0.5 dB"},
        {"main volume +6.5", Bytes({0x13, 0x06, 0x02, 0x00, 0x41}), "main volume 6.5 dB"},
        {"main volume cut short", Bytes({0x13, 0x06, 0x02, 0xFF}),
         "main volume (truncated: 13 06 02 FF)"},
        {"speaker layout request", Bytes({0x06, 0x23, 0x01}), "speaker layout request"},
        {"unknown", Bytes({0x05, 0x0D}), "unknown message 05 0D"},
        {"wifi page of one network",
         Bytes({0x10, 0x01, 0x02, 0x01, 0x01, 0x01, 0x0F, 0x01, 0x46, 0x02, 0x06, 0x00, 0x1A, 0x2B,
                0x3C, 0x4D, 0x5E},
               "Lab", {0}),
         "wifi list page 1/1, 1 network: 1. 70% WPA2 ch 6 00:1A:2B:3C:4D:5E \"Lab\""},
        {"wifi page of two networks",
         Bytes({0x10, 0x01, 0x02, 0x06, 0x02, 0x02, 0x0E, 0x05, 0x50, 0x10, 0x24, 1, 2, 3, 4, 5, 6},
               "AB", {0, 0x0C, 0x06, 0x64, 0x00, 0x01, 0xA, 0xB, 0xC, 0xD, 0xE, 0xF, 0}),
         "wifi list page 2/2, 6 networks: 5. 80% 802.1X ch 36 01:02:03:04:05:06 \"AB\" | "
         "6. 100% open ch 1 0A:0B:0C:0D:0E:0F \"\""},
        {"empty wifi list", Bytes({0x10, 0x01, 0x02, 0x00, 0x00, 0x00}),
         "wifi list: no networks (page 0/0)"},
        {"wifi entry of length 0 ends the walk",
         Bytes({0x10, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x01}),
         "wifi list page 1/1, 1 network: (bad entry at byte 6: 00 01)"},
        {"wifi entry past the page", Bytes({0x10, 0x01, 0x02, 0x01, 0x01, 0x01, 0x20, 0x01, 0x02}),
         "wifi list page 1/1, 1 network: (bad entry at byte 6: 20 01 02)"},
        {"unknown security class",
         Bytes({0x10, 0x01, 0x02, 0x01, 0x01, 0x01, 0x0C, 0x01, 0x46, 0x03, 0x06, 0, 0, 0, 0, 0, 0,
                0}),
         "wifi list page 1/1, 1 network: 1. 70% class 3 ch 6 00:00:00:00:00:00 \"\""},
        {"wifi connected",
         Bytes({0x10, 0x02, 0x02, 0x03, 0x05}, "Home",
               {0x00, 0x50, 0x24, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xC0, 0xA8, 0x01, 0x14, 0xFF,
                0xFF, 0xFF, 0x00}),
         "wifi: connected (3) \"Home\" 80% ch 36 00:1A:2B:3C:4D:5E ip 192.168.1.20/255.255.255.0"},
        {"wifi getting an address", Bytes({0x10, 0x02, 0x02, 0x02}), "wifi: getting address (2)"},
        {"wifi report cut short", Bytes({0x10, 0x02, 0x02, 0x03, 0x05, 0x48}),
         "wifi: connected (3) (truncated: 10 02 02 03 05 48)"},
        {"lan connected",
         Bytes({0x10, 0x03, 0x02, 0x03, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x0A, 0x00,
                0x00, 0x05, 0,    0,    0,    0,    0,    0,    0xFF, 0x00, 0x00, 0x00}),
         "lan: connected (3) mac 00:11:22:33:44:55 ip 10.0.0.5/255.0.0.0"},
        {"lan without link", Bytes({0x10, 0x03, 0x02, 0x00, 0x78, 0xDD, 0x08, 0xD2, 0x3D, 0x43}),
         "lan: no link (0) mac 78:DD:08:D2:3D:43"},
        {"lan without device", Bytes({0x10, 0x03, 0x02, 0x00}), "lan: no link (0), no device"},
        {"wifi mac", Bytes({0x10, 0x04, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}),
         "wifi mac 11:22:33:44:55:66"},
        {"wifi mac of no device", Bytes({0x10, 0x04, 0x02, 0, 0, 0, 0, 0, 0}), "wifi mac none"},
        {"date and time",
         Bytes({0x10, 0x05, 0x02, 0x01, 0x00, 0x14, 0x1A, 0x07, 0x1C, 0x02, 0x0D, 0x05, 0x09}),
         "date and time 2026-07-28 13:05:09 Tuesday, zone +0 h, synchronised"},
        {"date and time, zone and bad week day",
         Bytes({0x10, 0x05, 0x02, 0x00, 0xFB, 0x14, 0x18, 0x01, 0x01, 0x09, 0x00, 0x00, 0x00}),
         "date and time 2024-01-01 00:00:00 day 9, zone -5 h, not synchronised"},
    };
    return cases;
}

TEST(QzmcuDecode, EveryMessageGivesItsLine) {
    for (const DecodeCase& c : Cases()) {
        EXPECT_EQ(DescribePayload(c.payload.data(), static_cast<int>(c.payload.size())), c.line)
            << c.what;
    }
}

TEST(QzmcuDecode, EveryTruncationOfEveryMessageStaysInside) {
    // Each prefix of each payload, in a buffer of exactly that size: the
    // sanitizers catch any read past its end.
    for (const DecodeCase& c : Cases()) {
        for (size_t n = 1; n < c.payload.size(); n++) {
            std::vector<uchar> cut(c.payload.begin(), c.payload.begin() + static_cast<long>(n));
            EXPECT_FALSE(DescribePayload(cut.data(), static_cast<int>(n)).empty())
                << c.what << " at " << n;
        }
    }
}

TEST(QzmcuDecode, NamesFromTheLineAreEscaped) {
    const std::vector<uchar> p = Bytes({0x13, 0x02, 0x0C, 0x00, 0x01}, "a\"b\\c\x1b[2J", {0});
    EXPECT_EQ(DescribePayload(p.data(), static_cast<int>(p.size())),
              "filter slot 1 [Other] \"a\\\"b\\\\c\\x1B[2J\"");
}

TEST(QzmcuDecode, EmptyPayload) {
    EXPECT_EQ(DescribePayload(nullptr, 0), "empty payload");
}

TEST(QzmcuDecode, GainTenths) {
    const struct {
        short tenths;
        const char* text;
    } cases[] = {{0, "0.0 dB"},
                 {-1, "-0.1 dB"},
                 {-125, "-12.5 dB"},
                 {120, "12.0 dB"},
                 {-32768, "-3276.8 dB"}};
    for (const auto& c : cases) EXPECT_EQ(DescribeGainTenths(c.tenths), c.text) << c.tenths;
}

TEST(QzmcuDecode, HexWords) {
    const uchar b[] = {0xFA, 0x34, 0x00};
    EXPECT_EQ(ToHexWords(b, 3), "FA 34 00");
    EXPECT_EQ(ToHexWords(b, 0), "");
}

}  // namespace
