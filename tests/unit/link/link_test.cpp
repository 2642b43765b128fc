// The frame reader over byte streams laid out in memory (noise, bad and cut
// frames, a line that hangs up mid-frame) and the send side.
#include "link/link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace {

std::vector<Bytes> dispatched;
int Record(TtyData*, uchar, uchar, const uchar* cmd, int size) {
    dispatched.emplace_back(cmd, cmd + size);
    return 0;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A link record on the toolkit's test line.
class Link : public testing::Test {
   protected:
    void SetUp() override {
        OpenTestLine(&line);
        SetLinkHandlers(Record, nullptr);
        dispatched.clear();
        IsDebug = 0;
        IsQZ = true;
    }
    void TearDown() override {
        SetLinkHandlers(nullptr, nullptr);
        CloseTestLine(&line);
    }
    Bytes Written() {
        uchar buf[1 << 14];
        return Bytes(buf, buf + DrainLine(&line, buf, sizeof buf));
    }
    // Runs the reader until the bytes are used up; returns its log.
    std::string ReadAll(const Bytes& stream, size_t cutAt = SIZE_MAX, size_t pauseAt = SIZE_MAX,
                        int pauseMs = 0, int gapMs = kByteGapMs) {
        MemoryLine memory{stream.data(), stream.size(), 0, cutAt, pauseAt, pauseMs, gapMs};
        ByteSource src{ReadMemoryLine, &memory};
        testing::internal::CaptureStdout();
        while (doReadFrame(&src, &line.tty) >= 0) {
        }
        return testing::internal::GetCapturedStdout();
    }
    TestLine line;
};

TEST_F(Link, ReaderAcknowledgesAndDispatchesWholeFramesOnly) {
    const Bytes request = Hex("FA 34 08 02 05 0B 48 F5"), version = Hex("05 0B"), none;
    const Bytes date = Hex("05 0C"), zeros(200), elevens(191, 0x11);
    Bytes short191 = {0xFA, 0x34, 0x01, 191};  // both top bits not set: still short
    short191.resize(4 + 191, 0x11);
    short191.push_back(doSum(short191.data(), static_cast<int>(short191.size())));
    short191.push_back(kFrameEnd);
    Bytes badLong = Wire(zeros, 2);
    badLong[badLong.size() - 2] ^= 1;
    const size_t kNever = SIZE_MAX;
    const struct {
        Bytes stream;
        size_t cutAt;       // where the line hangs up and is reopened
        std::string log;    // a last line without its end: a long dump goes on
        int ack;            // the id acknowledged, 0: none
        const Bytes* sent;  // what reached dispatch, null: nothing
    } cases[] = {
        {request, kNever, "", 8, &version},
        // noise skipped silently, a bad sum dropped, the next frame read
        {Hex("00 F5 13 FA 34 05 02 05 0B BA F5") + Wire(date, 6), kNever,
         "Receive error3: FA 34 05 02 05 0B BA F5\n", 6, &date},
        {Hex("FA 34 05 02 05 0B 45 F4"), kNever, "Receive error3: FA 34 05 02 05 0B 45 F4\n", 0,
         nullptr},
        {Wire(none, 3), kNever, "", 0, &none},  // an empty payload is not acknowledged
        {short191, kNever, "", 1, &elevens},
        {Wire(zeros, 2), kNever, "Receiving long package: size=200 (0x00C8)\n", 2, &zeros},
        {badLong, kNever,
         "Receiving long package: size=200 (0x00C8)\nReceive long package error3: FA 34 02 C0", 0,
         nullptr},
        // too long for the buffer: read to its end and dropped
        {Hex("FA 34 01 CF F9") + Bytes(4089 + 3) + request, kNever,
         "Receiving long package: size=4089 (0x0FF9)\nReceive long package error3: FA 34 01 CF", 8,
         &version},
        // The line hangs up inside a frame: the first request on the new line
        // is read as a frame of its own.
        {Hex("FA 34 07 C3 FF 00 01") + request, 7,
         "Receiving long package: size=1023 (0x03FF)\nReceive error2: FA 34 07 C3\n", 8, &version},
        {Hex("FA 34 07 05 13 02") + request, 6, "Receive error2: FA 34 07 05\n", 8, &version},
        {Hex("FA 34") + request, 2, "Receive error1: FA\n", 8, &version},
        {request, 0, "", 8, &version},
    };
    for (const auto& c : cases) {
        dispatched.clear();
        const std::string log = ReadAll(c.stream, c.cutAt);
        const bool goesOn = !c.log.empty() && c.log.back() != '\n';
        EXPECT_EQ(goesOn ? log.substr(0, c.log.size()) : log, c.log);
        EXPECT_EQ(Written(), c.ack ? Wire(none, static_cast<uchar>(c.ack), 0x43) : none) << log;
        EXPECT_EQ(dispatched, c.sent ? std::vector<Bytes>{*c.sent} : std::vector<Bytes>{}) << log;
    }
}

TEST_F(Link, ReaderDropsAFrameWhoseBytesStopComing) {
    const Bytes request = Hex("FA 34 08 02 05 0B 48 F5"), version = Hex("05 0B"), none;
    const Bytes zeros(200);
    const struct {
        Bytes stream;
        size_t pauseAt;  // the line is quiet before this byte
        int pauseMs;
        long baud;
        std::string log;  // a last line without its end: a long dump goes on
        int ack;          // the id acknowledged, 0: none
        bool dispatched;  // the version request reached dispatch
    } cases[] = {
        // Noise that looks like a long header does not swallow the request.
        {Hex("FA 34 01 FF FF") + request, 5, 100, 115200, "Receive error2: FA 34 01 FF FF\n", 8,
         true},
        {Hex("FA 34 01 FF FF 00") + request, 6, 100, 115200,
         "Receiving long package: size=16383 (0x3FFF)\nReceive error2: FA 34 01 FF FF 00\n", 8,
         true},
        {Hex("FA 34") + request, 2, 100, 115200, "Receive error2: FA 34\n", 8, true},
        // Behind a dropped frame its late bytes are noise; the next start byte counts.
        {request + request, 6, 100, 115200, "Receive error2: FA 34 08 02 05 0B\n", 8, true},
        {request, 6, 99, 115200, "", 8, true},     // just within the gap
        {request, 4, 20, 115200, "", 8, true},     // sent in two halves 20 ms apart
        {request, 0, 60000, 115200, "", 8, true},  // an idle line has no gap
        {request, 3, 2133, 300, "", 8, true},      // 64 bytes' time at 300 baud
        {request, 3, 2134, 300, "Receive error2: FA 34 08\n", 0, false},
        {request, 3, 150, 300, "", 8, true},
        // A quiet line inside a frame: dropped, not waited for.
        {Hex("FA 34 07 05 13 02"), 6, 100, 115200, "Receive error2: FA 34 07 05 13 02\n", 0, false},
        {Wire(zeros, 2) + request, 100, 100, 115200,
         "Receiving long package: size=200 (0x00C8)\nReceive error2: FA 34 02 C0 C8 00", 8, true},
        {Hex("FA 34 01 CF F9") + Bytes(1000) + request, 900, 100, 115200,
         "Receiving long package: size=4089 (0x0FF9)\nReceive error2: FA 34 01 CF F9 00", 8, true},
    };
    for (const auto& c : cases) {
        dispatched.clear();
        const std::string log =
            ReadAll(c.stream, SIZE_MAX, c.pauseAt, c.pauseMs, GetByteGap(c.baud));
        const bool goesOn = !c.log.empty() && c.log.back() != '\n';
        EXPECT_EQ(goesOn ? log.substr(0, c.log.size()) : log, c.log);
        EXPECT_EQ(Written(), c.ack ? Wire(none, static_cast<uchar>(c.ack), 0x43) : none) << log;
        EXPECT_EQ(dispatched, c.dispatched ? std::vector<Bytes>{version} : std::vector<Bytes>{})
            << log;
    }
    EXPECT_EQ(GetByteGap(115200), 100);
    EXPECT_EQ(GetByteGap(9600), 100);
    EXPECT_EQ(GetByteGap(300), 2134);
    EXPECT_EQ(GetByteGap(0), 100);  // a speed the line does not tell
}

TEST_F(Link, DebugDumpsTheFrameAndItsAcknowledgement) {
    IsDebug = 1;
    EXPECT_EQ(ReadAll(Hex("FA 34 07 02 05 0B 47 F5")),
              "Received: FA 34 07 02 05 0B 47 F5\nFA 43 07 00 44 F5\n");
    EXPECT_EQ(Written(), Hex("FA 43 07 00 44 F5"));
}

TEST_F(Link, SendTakesFreshIdsAndRefusesWhatDoesNotFit) {
    line.tty.lastId = 255;  // then 1: 0 is never handed out
    const Bytes reset = Hex("13 03 02");
    SendPayload(&line.tty, 0x43, reset.data(), 3);
    SendPayload(&line.tty, 0x43, reset.data(), 3);
    EXPECT_EQ(Written(), Wire(reset, 255, 0x43) + Wire(reset, 1, 0x43));
    const Bytes big(kLongPayloadMax + 1);
    EXPECT_EQ(doSend(&line.tty, big.data(), static_cast<int>(big.size()), 1, 0x43, 1), -1);
    // The unframed console protocol: the payload alone.
    const Bytes version = Hex("05 12 31 33 34 00");
    EXPECT_EQ(doSend(&line.tty, version.data(), 6, 1, 0x43, 0), 6);
    EXPECT_EQ(Written(), version);
    EXPECT_EQ(GetLastId(nullptr), 0);
}

// A payload whose third byte is 0x20 is no console text: it goes out as given.
TEST_F(Link, PayloadsGoOutAsGiven) {
    line.tty.lastId = 9;
    const Bytes name = Hex("13 02 20 41 42 43");
    SendPayload(&line.tty, 0x43, name.data(), static_cast<int>(name.size()));
    doSend(&line.tty, name.data(), static_cast<int>(name.size()), 4, 0x43, 1);
    EXPECT_EQ(Written(), Wire(name, 9, 0x43) + Wire(name, 4, 0x43));
}

}  // namespace
