// The example frames of docs/protocol.md through the MCU library: each
// daemon-to-MCU frame is received and decoded, each MCU-to-daemon request
// built again by its encoder (with the example's address and id) and
// compared byte for byte. Blocks with the info string "frames", one frame a
// line: "> HEX" from the MCU, "< HEX" from the daemon, "  # comment".
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "mcu_line.h"

namespace {

struct DocFrame {
    int line;
    bool fromMcu;
    Bytes bytes;
    bool invalid;  // "# invalid: ...": a frame the reader must refuse
};

std::vector<DocFrame> ReadFrames(const char* path, std::string* error) {
    std::ifstream in(path);
    std::vector<DocFrame> frames;
    std::string text;
    bool inBlock = false;
    for (int n = 1; std::getline(in, text); n++) {
        const size_t start = text.find_first_not_of(' ');
        const std::string line = start == std::string::npos ? "" : text.substr(start);
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock && line.substr(3) == "frames";
            continue;
        }
        if (!inBlock || line.empty() || line[0] == '#') continue;
        const std::string hex = line.substr(1, line.find('#') == std::string::npos
                                                   ? std::string::npos
                                                   : line.find('#') - 1);
        const Bytes bytes = Hex(hex.c_str());
        if ((line[0] != '>' && line[0] != '<') || bytes.empty() ||
            hex.find_first_not_of(" 0123456789abcdefABCDEF") != std::string::npos) {
            *error += "line " + std::to_string(n) + ": not a frame: " + line + "\n";
            continue;
        }
        const size_t hash = line.find('#');
        const bool invalid =
            hash != std::string::npos && line.find("invalid:", hash) != std::string::npos;
        frames.push_back({n, line[0] == '>', bytes, invalid});
    }
    return frames;
}

typedef std::function<int(uint8_t*, size_t, const Bytes&)> Reencoder;

std::string TextAt(const Bytes& p, size_t at) {
    std::string s;
    while (at < p.size() && p[at] != 0) s += static_cast<char>(p[at++]);
    return s;
}

// A request's encoder, called with the fields read from the example.
const struct {
    Bytes code;
    Reencoder encode;
} kRequests[] = {
    {{0x05, 0x0B}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_version(o, c); }},
    {{0x05, 0x0C}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_build_date(o, c); }},
    {{0x0C, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_update(o, c); }},
    {{0x12, 0x01, 0x02}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_power_off(o, c); }},
    {{0x13, 0x01, 0x01},
     [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_processor_state(o, c); }},
    {{0x13, 0x02, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_filters(o, c); }},
    {{0x13, 0x02, 0x0B},
     [](uint8_t* o, size_t c, const Bytes& p) { return qz_enc_get_filter_info(o, c, p.at(4)); }},
    {{0x13, 0x02, 0x15},
     [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_active_filter(o, c); }},
    {{0x13, 0x02, 0x14},
     [](uint8_t* o, size_t c, const Bytes& p) { return qz_enc_select_filter(o, c, p.at(3), p.at(4)); }},
    {{0x13, 0x03, 0x00}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_audio_reset(o, c); }},
    {{0x13, 0x05, 0x02},
     [](uint8_t* o, size_t c, const Bytes& p) {
         const size_t idAt = 5 + p.at(4) - p.at(3);
         const std::string id(p.begin() + static_cast<long>(idAt), p.begin() + static_cast<long>(idAt) + 8);
         return qz_enc_device_identity(o, c, id.c_str(), TextAt(p, 5).c_str());
     }},
    {{0x13, 0x05, 0x05}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_uuid(o, c); }},
    {{0x13, 0x06, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_main_volume(o, c); }},
    {{0x13, 0x06, 0x00},
     [](uint8_t* o, size_t c, const Bytes& p) {
         return qz_enc_set_main_volume(o, c, static_cast<int16_t>(p.at(3) << 8 | p.at(4)));
     }},
    {{0x02, 0x7E}, [](uint8_t* o, size_t c, const Bytes& p) { return qz_enc_audio_format(o, c, p.at(4)); }},
    {{0x06, 0x23, 0x02},
     [](uint8_t* o, size_t c, const Bytes& p) { return qz_enc_speaker_layout(o, c, p.at(3), p.at(4)); }},
    {{0x10, 0x01, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_wifi_list(o, c); }},
    {{0x10, 0x02, 0x00, 0x02},
     [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_wifi_disconnect(o, c); }},
    {{0x10, 0x02, 0x00, 0x01},
     [](uint8_t* o, size_t c, const Bytes& p) {
         const size_t pw = 5 + p.at(4) + 1;
         return qz_enc_wifi_connect(o, c, TextAt(p, 5).c_str(), TextAt(p, pw).c_str(),
                                    &p.at(pw + p.at(pw - 1)));
     }},
    {{0x10, 0x02, 0x00}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_wifi_reconnect(o, c); }},
    {{0x10, 0x02, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_wifi_status(o, c); }},
    {{0x10, 0x03, 0x00},
     [](uint8_t* o, size_t c, const Bytes& p) { return qz_enc_lan_switch(o, c, p.at(3) == 1); }},
    {{0x10, 0x03, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_lan_status(o, c); }},
    {{0x10, 0x04, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_wifi_mac(o, c); }},
    {{0x10, 0x05, 0x01}, [](uint8_t* o, size_t c, const Bytes&) { return qz_enc_get_date_time(o, c); }},
    {{0x10, 0x05, 0x0B},
     [](uint8_t* o, size_t c, const Bytes& p) {
         const qz_date_time when = {p.at(3),  static_cast<int8_t>(p.at(4)),
                                    static_cast<uint16_t>(p.at(5) * 100 + p.at(6)),
                                    p.at(7),  p.at(8), p.at(9), p.at(10), p.at(11), p.at(12)};
         return qz_enc_set_date_time(o, c, &when);
     }},
};

const Reencoder* FindRequest(const Bytes& payload) {
    for (const auto& r : kRequests) {
        if (payload.size() >= r.code.size() && std::equal(r.code.begin(), r.code.end(), payload.begin()))
            return &r.encode;
    }
    return nullptr;
}

bool IsIdentityRecord(const Bytes& p) {
    return p.size() >= 5 && p[0] == 0x13 && p[1] == 0x05 && p[2] == 0x02;
}

// The name at offset 5 up to its 0x00, and the 8 id bytes at 5 + B - A.
std::pair<std::string, std::string> IdentityFields(const Bytes& p) {
    const size_t at = 5 + static_cast<size_t>(p[4]) - p[3];
    if (p[4] < p[3] || at + 8 > p.size()) return {"", "bad"};
    std::string name;
    for (size_t i = 5; i < p.size() && p[i] != 0; i++) name += static_cast<char>(p[i]);
    return {name, std::string(p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(at) + 8)};
}

TEST(McuProtocolDoc, ExampleFramesDecodeAndEncode) {
    std::string error;
    const std::vector<DocFrame> frames = ReadFrames(QZ_PROTOCOL_DOC, &error);
    EXPECT_EQ(error, "");
    ASSERT_FALSE(frames.empty()) << "no frames blocks in " << QZ_PROTOCOL_DOC;
    int checked = 0;
    for (const DocFrame& f : frames) {
        const std::string where = "docs/protocol.md line " + std::to_string(f.line);
        McuLine line;
        OpenMcuLine(&line);
        Feed(&line, f.bytes);
        const qz_stats& s = line.link.stats;
        if (f.invalid) {
            EXPECT_EQ(s.frames + s.acks, 0) << where << ": a refused frame was taken";
            continue;
        }
        ASSERT_EQ(s.frames + s.acks, 1) << where << ": not one valid frame";
        ASSERT_EQ(s.noise + s.bad + s.cut + s.oversized, 0) << where;
        const Bytes payload = line.payloads.empty() ? Bytes{} : line.payloads[0];
        if (!f.fromMcu) {
            if (payload.empty()) continue;
            const std::string text = DescribeMcuMessage(payload.data(), payload.size());
            EXPECT_NE(text, "bad") << where;
            checked += text != "unknown";
            continue;
        }
        // An acknowledgement, or a request built again by its encoder.
        Bytes body(payload.size() + 300);
        const Reencoder* encode = FindRequest(payload);
        if (!payload.empty() && encode == nullptr) continue;  // the MCU's own WiFi list page
        const int n = payload.empty() ? 0 : (*encode)(body.data(), body.size(), payload);
        ASSERT_GE(n, 0) << where;
        const Bytes asBuilt(body.begin(), body.begin() + n);
        if (IsIdentityRecord(payload)) {  // the counts A and B may differ: same id, same name
            EXPECT_EQ(IdentityFields(asBuilt), IdentityFields(payload)) << where;
            checked += 1;
            continue;
        }
        if ((f.bytes[3] & 0xC0) != 0) {  // the long form of a short request: same payload
            EXPECT_EQ(asBuilt, payload) << where;
            checked += n > 0;
            continue;
        }
        Bytes built(static_cast<size_t>(n) + 8);
        built.resize(qz_build_frame(built.data(), built.size(), f.bytes[1], f.bytes[2], body.data(),
                                    static_cast<size_t>(n)));
        EXPECT_EQ(built, f.bytes) << where;
        checked += n > 0;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
