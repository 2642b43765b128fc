// The MCU library's receiver over the daemon reader's byte streams (noise,
// bad sums, cut and long frames) plus the gap, and its sender. Built twice:
// with the default buffers and with long frames on.
#include <gtest/gtest.h>

#include <string>

#include "link/frame.h"
#include "mcu_line.h"

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string HexWords(const Bytes& b) {
    std::string out;
    for (uchar c : b) out += (out.empty() ? "" : " ") + std::to_string(c);
    return out;
}

constexpr bool kLong = QZ_RX_PAYLOAD_MAX >= 4088;

// Bytes that arrive `after` ms past the last ones.
struct Chunk {
    uint32_t after;
    Bytes bytes;
};

std::string Stats(const qz_stats& s) {
    return "frames " + std::to_string(s.frames) + " acks " + std::to_string(s.acks) + " noise " +
           std::to_string(s.noise) + " bad " + std::to_string(s.bad) + " cut " +
           std::to_string(s.cut) + " oversized " + std::to_string(s.oversized);
}

TEST(McuReceiver, AcknowledgesAndHandsUpWholeFramesOnly) {
    const Bytes request = Hex("FA 34 08 02 05 0B 48 F5"), version = Hex("05 0B"), none;
    const Bytes date = Hex("05 0C"), zeros(200), elevens(191, 0x11);
    Bytes short191 = {0xFA, 0x34, 0x01, 191};  // both top bits not set: still short
    short191.resize(4 + 191, 0x11);
    short191.push_back(static_cast<uchar>(doSum(short191.data(), static_cast<int>(short191.size()))));
    short191.push_back(0xF5);
    Bytes badLong = Wire(zeros, 2);
    badLong[badLong.size() - 2] ^= 1;
    const Bytes inside = Hex("05 FA F5 FA");  // start and end bytes inside a payload
    const Bytes longHeader = Hex("FA 34 01 FF FF");  // 16383 bytes announced
    const struct {
        std::vector<Chunk> stream;
        std::vector<int> acks;        // ids acknowledged, in order
        std::vector<Bytes> payloads;  // handed up
        const char* stats;
    } cases[] = {
        {{{0, request}}, {8}, {version}, "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"},
        // noise skipped, a bad sum dropped, the next frame read
        {{{0, Hex("00 F5 13 FA 34 05 02 05 0B BA F5") + Wire(date, 6)}},
         {6}, {date}, "frames 1 acks 0 noise 3 bad 1 cut 0 oversized 0"},
        {{{0, Hex("FA 34 05 02 05 0B 45 F4")}}, {}, {},
         "frames 0 acks 0 noise 0 bad 1 cut 0 oversized 0"},
        // an empty frame is the other side's acknowledgement: not answered
        {{{0, Wire(none, 3)}}, {}, {}, "frames 0 acks 1 noise 0 bad 0 cut 0 oversized 0"},
        {{{0, short191}}, {1}, {elevens}, "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"},
        {{{0, Wire(inside, 4)}}, {4}, {inside}, "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"},
        {{{0, Wire(zeros, 2)}}, kLong ? std::vector<int>{2} : std::vector<int>{},
         kLong ? std::vector<Bytes>{zeros} : std::vector<Bytes>{},
         kLong ? "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"
               : "frames 0 acks 0 noise 0 bad 0 cut 0 oversized 1"},
        {{{0, badLong}}, {}, {},
         kLong ? "frames 0 acks 0 noise 0 bad 1 cut 0 oversized 0"
               : "frames 0 acks 0 noise 0 bad 0 cut 0 oversized 1"},
        // too long for the buffer: read to its end and dropped
        {{{0, Hex("FA 34 01 CF F9") + Bytes(4089 + 3) + request}}, {8}, {version},
         "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 1"},
        // The gap: a frame whose bytes stop is dropped; the late bytes are
        // read afresh, a start byte among them begins the next frame.
        {{{0, Hex("FA 34 07 05 13 02")}, {101, request}}, {8}, {version},
         "frames 1 acks 0 noise 0 bad 0 cut 1 oversized 0"},
        {{{0, longHeader}, {150, request}}, {8}, {version},
         "frames 1 acks 0 noise 0 bad 0 cut 1 oversized 0"},
        {{{0, Hex("FA")}, {500, Hex("34") + request}}, {8}, {version},
         "frames 1 acks 0 noise 1 bad 0 cut 1 oversized 0"},
        // a frame in two halves within the gap is whole
        {{{0, Hex("FA 34 08 02")}, {20, Hex("05 0B 48 F5")}}, {8}, {version},
         "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"},
        {{{0, Hex("FA 34 08 02")}, {QZ_GAP_MS, Hex("05")}, {QZ_GAP_MS, Hex("0B 48 F5")}}, {8},
         {version}, "frames 1 acks 0 noise 0 bad 0 cut 0 oversized 0"},
        // the gap between frames costs nothing
        {{{0, request}, {60000, request}}, {8, 8}, {version, version},
         "frames 2 acks 0 noise 0 bad 0 cut 0 oversized 0"},
    };
    for (const auto& c : cases) {
        McuLine line;
        OpenMcuLine(&line);
        for (const Chunk& chunk : c.stream) {
            line.now += chunk.after;
            Feed(&line, chunk.bytes);
        }
        Bytes acks;
        for (int id : c.acks) acks = acks + Wire(Bytes{}, static_cast<uchar>(id), 0x43);
        const std::string where = HexWords(c.stream.front().bytes);
        EXPECT_EQ(line.written, acks) << where;
        EXPECT_EQ(line.payloads, c.payloads) << where;
        EXPECT_EQ(Stats(line.link.stats), c.stats) << where;
    }
}

// On a quiet line the poll drops the open frame, so the next frame is read
// whenever it comes.
TEST(McuReceiver, PollDropsAFrameThatStopped) {
    McuLine line;
    OpenMcuLine(&line);
    Feed(&line, Hex("FA 34 01 FF FF 00"));
    line.now += QZ_GAP_MS;
    qz_poll(&line.link);
    EXPECT_EQ(line.link.stats.cut, 0);
    line.now += 1;
    qz_poll(&line.link);
    EXPECT_EQ(line.link.stats.cut, 1);
    Feed(&line, Hex("FA 34 08 02 05 0B 48 F5"));
    EXPECT_EQ(line.payloads, std::vector<Bytes>{Hex("05 0B")});
}

TEST(McuSender, NumbersFramesLikeTheDaemonBuildsThem) {
    McuLine line;
    OpenMcuLine(&line);
    const Bytes version = Hex("05 0B");
    Bytes expected;
    for (int i = 1; i <= 256; i++) {
        const int id = qz_send(&line.link, version.data(), version.size());
        ASSERT_EQ(id, i <= 255 ? i : 1);  // 0 is never used
        expected = expected + Wire(version, static_cast<uchar>(id), 0x34);
    }
    EXPECT_EQ(line.written, expected);
    line.written.clear();
    // The last short payload, the first long one, one too many, none.
    const struct {
        size_t size;
        bool sent;
    } sizes[] = {{182, true}, {183, QZ_TX_PAYLOAD_MAX >= 183}, {QZ_TX_PAYLOAD_MAX + 1, false},
                 {0, false}};
    for (const auto& s : sizes) {
        const Bytes payload(s.size, 0xA5);
        const int id = qz_send(&line.link, payload.data(), payload.size());
        EXPECT_EQ(id > 0, s.sent) << s.size;
        EXPECT_EQ(line.written, s.sent ? Wire(payload, static_cast<uchar>(id), 0x34) : Bytes{})
            << s.size;
        line.written.clear();
    }
}

TEST(McuSender, RetriesUntilAcknowledged) {
    const Bytes state = Hex("13 01 01");
    const struct {
        uint8_t count;
        std::vector<Chunk> acks;  // daemon frames, at these times since the send
        int sends;                // frames written in all
        bool lost;
    } cases[] = {
        {0, {}, 1, false},                                  // off: sent once
        {2, {{400, Wire(Bytes{}, 1, 0x43)}}, 1, false},     // acknowledged in time
        {2, {{400, Wire(Bytes{}, 9, 0x43)}}, 3, true},      // another frame's id
        {2, {{1500, Wire(Bytes{}, 1, 0x43)}}, 2, false},    // after one resend
        {2, {}, 3, true},                                   // never
    };
    for (const auto& c : cases) {
        McuLine line;
        OpenMcuLine(&line);
        qz_set_retry(&line.link, c.count, 1000);
        ASSERT_EQ(qz_send(&line.link, state.data(), state.size()), 1);
        if (c.count > 0) {
            EXPECT_EQ(qz_send(&line.link, state.data(), state.size()), QZ_ERR_BUSY);
        }
        int lost = 0;
        size_t next = 0;
        for (uint32_t t = 1; t <= 5000; t++) {
            line.now = t;
            if (next < c.acks.size() && c.acks[next].after == t) Feed(&line, c.acks[next++].bytes);
            lost += qz_poll(&line.link);
        }
        Bytes expected;
        for (int i = 0; i < c.sends; i++) expected = expected + Wire(state, 1, 0x34);
        EXPECT_EQ(line.written, expected) << int(c.count);
        EXPECT_EQ(lost, c.lost ? 1 : 0);
        EXPECT_EQ(line.link.stats.resent, c.sends - 1);
        EXPECT_EQ(qz_pending(&line.link), 0);
        EXPECT_EQ(qz_send(&line.link, state.data(), state.size()), 2);
    }
}

}  // namespace
