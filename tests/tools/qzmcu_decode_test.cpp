// qzmcu's decoders: payloads from the daemon in, the console's lines out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qzmcu/decode.h"
#include "wire.h"

namespace {

// Hex head, then text (kept whole, NULs included), then a hex tail.
Bytes Msg(const char* head, const std::string& text = "", const char* tail = "") {
    Bytes out = Hex(head), end = Hex(tail);
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

// One row a decoder, plus the short and hostile shapes each one must name
// instead of reading past them; every prefix of each row too, in a buffer of
// exactly its size: the sanitizers catch any read past its end.
TEST(QzmcuDecode, EveryMessageAndEveryPrefixOfItGivesALine) {
    const struct {
        Bytes payload;
        const char* line;
    } cases[] = {
        {Msg("05 12", "134", "00"), "version 1.3.4"},
        {Msg("05 13", std::string("260728\0003.9.1", 12), "00"),
         "build date 2026-07-28, processor version 3.9.1"},
        {Msg("13 01 02 04 FF"), "processor state 4 (stopped: no processor files), code 255"},
        {Msg("13 02 02 01 03 11", "Movie Night", "00"),
         "filters: filtering on, 3 slots, active slot 1 [Dirac Live Bass Control] \"Movie Night\""},
        {Msg("13 02 02 00 01 09 00"),
         "filters: filtering off, 1 slot, active not listed (byte 0x09, no name)"},
        // A name from the line can never move the terminal's cursor.
        {Msg("13 02 0C 00 01", "a\"b\\c\x1b[2J", "00"),
         "filter slot 1 [Other] \"a\\\"b\\\\c\\x1B[2J\""},
        {Msg("13 02 16 00 30", "Music", "00"),
         "active filter: slot 0 [Dirac Live Bass Management] \"Music\""},
        {Msg("13 05 06 09 41"), "uuid (truncated: 13 05 06 09 41)"},
        {Msg("13 06 02 FF FB"), "main volume -0.5 dB"},
        {Msg("10 01 02 06 02 02 0E 05 50 10 24 01 02 03 04 05 06", "AB",
             "00 0C 06 64 00 01 0A 0B 0C 0D 0E 0F 00"),
         "wifi list page 2/2, 6 networks: 5. 80% 802.1X ch 36 01:02:03:04:05:06 \"AB\" | "
         "6. 100% open ch 1 0A:0B:0C:0D:0E:0F \"\""},
        {Msg("10 01 02 00 00 00"), "wifi list: no networks (page 0/0)"},
        {Msg("10 01 02 01 01 01 00 01"),
         "wifi list page 1/1, 1 network: (bad entry at byte 6: 00 01)"},
        {Msg("10 02 02 03 05", "Home", "00 50 24 00 1A 2B 3C 4D 5E C0 A8 01 14 FF FF FF 00"),
         "wifi: connected (3) \"Home\" 80% ch 36 00:1A:2B:3C:4D:5E ip 192.168.1.20/255.255.255.0"},
        {Msg("10 02 02 03 05 48"), "wifi: connected (3) (truncated: 10 02 02 03 05 48)"},
        {Msg("10 03 02 03 00 11 22 33 44 55 0A 00 00 05 00 00 00 00 00 00 FF 00 00 00"),
         "lan: connected (3) mac 00:11:22:33:44:55 ip 10.0.0.5/255.0.0.0"},
        {Msg("10 03 02 00"), "lan: no link (0), no device"},
        {Msg("10 04 02 11 22 33 44 55 66"), "wifi mac 11:22:33:44:55:66"},
        {Msg("10 05 02 00 FB 14 18 01 01 09 00 00 00"),
         "date and time 2024-01-01 00:00:00 day 9, zone -5 h, not synchronised"},
        {Msg("05 0D"), "unknown message 05 0D"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribePayload(c.payload.data(), static_cast<int>(c.payload.size())), c.line);
        for (size_t n = 1; n < c.payload.size(); n++) {
            const Bytes cut(c.payload.begin(), c.payload.begin() + static_cast<long>(n));
            EXPECT_FALSE(DescribePayload(cut.data(), static_cast<int>(n)).empty()) << c.line;
        }
    }
}

}  // namespace
