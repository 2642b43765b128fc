// Every encoder and decoder of the MCU library against the message bytes
// the daemon sends and reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "mcu_line.h"

namespace {

typedef std::function<int(uint8_t*, size_t)> Encoder;

TEST(McuCodec, EncodersWriteTheRequestsTheDaemonReads) {
    const uint8_t bssid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const qz_date_time when = {1, 8, 2026, 7, 28, 2, 13, 5, 9};
    const struct {
        Encoder encode;
        const char* hex;  // empty: refused
    } cases[] = {
        {qz_enc_get_version, "05 0B"},
        {qz_enc_get_build_date, "05 0C"},
        {qz_enc_update, "0C 01"},
        {qz_enc_power_off, "12 01 02 00"},
        {qz_enc_get_processor_state, "13 01 01"},
        {qz_enc_get_filters, "13 02 01"},
        {[](uint8_t* o, size_t c) { return qz_enc_get_filter_info(o, c, 3); }, "13 02 0B 00 03"},
        {qz_enc_get_active_filter, "13 02 15"},
        {[](uint8_t* o, size_t c) { return qz_enc_select_filter(o, c, 1, 2); }, "13 02 14 01 02"},
        {qz_enc_audio_reset, "13 03 00"},
        {[](uint8_t* o, size_t c) { return qz_enc_device_identity(o, c, "QZ000042", "Lab"); },
         "13 05 02 08 0C 4C 61 62 00 51 5A 30 30 30 30 34 32"},
        {[](uint8_t* o, size_t c) { return qz_enc_device_identity(o, c, "QZ00042", "Lab"); }, ""},
        {qz_enc_get_uuid, "13 05 05"},
        {qz_enc_get_main_volume, "13 06 01"},
        {[](uint8_t* o, size_t c) { return qz_enc_set_main_volume(o, c, -100); }, "13 06 00 FF 9C"},
        {[](uint8_t* o, size_t c) { return qz_enc_set_main_volume(o, c, 125); }, "13 06 00 00 7D"},
        {[](uint8_t* o, size_t c) { return qz_enc_audio_format(o, c, 9); }, "02 7E 00 00 09"},
        {[](uint8_t* o, size_t c) { return qz_enc_audio_format(o, c, 17); }, ""},
        {[](uint8_t* o, size_t c) { return qz_enc_speaker_layout(o, c, 5, 1); }, "06 23 02 05 01"},
        {qz_enc_get_wifi_list, "10 01 01"},
        {[&](uint8_t* o, size_t c) { return qz_enc_wifi_connect(o, c, "Lab", nullptr, bssid); },
         "10 02 00 01 04 4C 61 62 00 01 00 00 1A 2B 3C 4D 5E"},
        {[&](uint8_t* o, size_t c) { return qz_enc_wifi_connect(o, c, "Lab", "pw", bssid); },
         "10 02 00 01 04 4C 61 62 00 03 70 77 00 00 1A 2B 3C 4D 5E"},
        {[&](uint8_t* o, size_t c) { return qz_enc_wifi_connect(o, c, "", "pw", bssid); }, ""},
        {[&](uint8_t* o, size_t c) {
             return qz_enc_wifi_connect(o, c, std::string(33, 'x').c_str(), "", bssid);
         },
         ""},
        {qz_enc_wifi_disconnect, "10 02 00 02"},
        {qz_enc_wifi_reconnect, "10 02 00 00"},
        {qz_enc_get_wifi_status, "10 02 01"},
        {[](uint8_t* o, size_t c) { return qz_enc_lan_switch(o, c, 1); }, "10 03 00 01"},
        {[](uint8_t* o, size_t c) { return qz_enc_lan_switch(o, c, 0); }, "10 03 00 00"},
        {qz_enc_get_lan_status, "10 03 01"},
        {qz_enc_get_wifi_mac, "10 04 01"},
        {qz_enc_get_date_time, "10 05 01"},
        {[&](uint8_t* o, size_t c) { return qz_enc_set_date_time(o, c, &when); },
         "10 05 0B 01 08 14 1A 07 1C 02 0D 05 09"},
    };
    for (const auto& c : cases) {
        const Bytes want = Hex(c.hex);
        uint8_t out[300];
        const int n = c.encode(out, sizeof out);
        EXPECT_EQ(n < 0 ? Bytes{} : Bytes(out, out + n), want) << c.hex;
        if (n > 0) {
            EXPECT_EQ(c.encode(out, static_cast<size_t>(n) - 1), -1) << c.hex;  // no room
        }
    }
}

TEST(McuCodec, DecodersReadTheDaemonsMessages) {
    const struct {
        const char* hex;
        const char* decoded;
    } cases[] = {
        {"05 12 31 33 34 00", "version 1.3.4"},
        {"05 12 31 33 00", "bad"},
        {"05 13 32 36 30 37 32 38 00 00", "build date 2026-07-28 processor \"\""},
        {"05 13 32 36 30 37 32 38 00 33 2E 39 2E 31 00", "build date 2026-07-28 processor \"3.9.1\""},
        {"05 13 32 36 30 37 32 38 00 33", "bad"},
        {"06 23 01", "layout request"},
        {"13 01 02 04 FF", "processor state 4 code 255"},
        {"13 01 02 01", "processor state 1 code 255"},
        {"13 01 02 04", "bad"},
        {"13 02 02 01 03 11 4D 6F 76 69 65 00", "filters enabled 1 count 3 active slot 1 type 1 \"Movie\""},
        {"13 02 02 01 03 09 00", "filters enabled 1 count 3 active slot 9 type 0 \"\""},
        {"13 02 02 FF 00 FF 00", "filters enabled 255 count 0 active slot 15 type 15 \"\""},
        {"13 02 02 01 03 11 4D", "bad"},
        {"13 02 0C 00 32 4C 61 74 65 00", "filter slot 2 type 3 \"Late\""},
        {"13 02 0C 00 05 00", "filter slot 5 type 0 \"\""},
        {"13 02 16 00 11 4D 00", "active filter slot 1 type 1 \"M\""},
        {"13 03 02", "audio reset done"},
        {"13 05 03", "identity acknowledged"},
        {"13 05 06 04 61 62 0A 00", "uuid \"ab\""},
        {"13 05 06 01 00", "uuid \"\""},
        {"13 05 06 05 61 62 0A 00", "bad"},
        {"13 06 02 FF B0", "main volume -80"},
        {"13 06 02 FE 8E", "main volume -370"},
        {"13 06 02 FE", "bad"},
        {"10 01 02 00 00 00", "wifi page 0/0 of 0:"},
        {"10 01 02 01 01 01 0F 01 46 02 06 00 1A 2B 3C 4D 5E 4C 61 62 00",
         "wifi page 1/1 of 1: 1 70% sec 2 ch 6 00:1A:2B:3C:4D:5E \"Lab\""},
        {"10 01 02 01 01 01 0F 01 46 02 06 00 1A 2B 3C 4D 5E 4C 61 62", "bad"},
        {"10 01 02 01 01 01 00", "bad"},
        {"10 02 02 02", "wifi state 2"},
        {"10 02 02 03 05 48 6F 6D 65 00 50 24 00 1A 2B 3C 4D 5E C0 A8 01 14 FF FF FF 00",
         "wifi state 3 \"Home\" 80% ch 36 00:1A:2B:3C:4D:5E 192.168.1.20/255.255.255.0"},
        {"10 02 02 03 05 48 6F 6D 65 00 50 24 00 1A 2B 3C 4D 5E C0 A8 01 14 FF FF FF", "bad"},
        {"10 03 02 00", "lan state 0 no device"},
        {"10 03 02 00 00 11 22 33 44 55", "lan state 0 mac 00:11:22:33:44:55"},
        {"10 03 02 03 00 11 22 33 44 55 0A 00 00 05 00 00 00 00 00 00 FF 00 00 00",
         "lan state 3 mac 00:11:22:33:44:55 10.0.0.5/255.0.0.0"},
        {"10 03 02 03 00 11 22 33 44 55 0A 00 00 05", "bad"},
        {"10 04 02 00 00 00 00 00 00", "wifi mac 00:00:00:00:00:00"},
        {"10 04 02 00 00 00 00 00", "bad"},
        {"10 05 02 01 00 14 1A 07 1C 02 0D 05 09", "date 2026-07-28 day 2 13:05:09 zone 0 synced 1"},
        {"10 05 02 00 FB 14 1A 0C 1F 00 17 3B 3C", "date 2026-12-31 day 0 23:59:60 zone -5 synced 0"},
        {"10 05 02 01 00 14 1A 07 1C 02 0D 05", "bad"},
        {"13 02 03", "unknown"},
        {"05", "unknown"},
    };
    for (const auto& c : cases) {
        const Bytes p = Hex(c.hex);
        EXPECT_EQ(DescribeMcuMessage(p.data(), p.size()), c.decoded) << c.hex;
    }
}

}  // namespace
