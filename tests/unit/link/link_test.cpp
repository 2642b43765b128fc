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

// Bytes in memory; the line hangs up once at cutAt, losing the read under way.
struct MemoryLine {
    Bytes data;
    size_t cutAt;
    size_t pos = 0;
};

int ReadMemory(void* ctx, uchar* dest, int size) {
    auto* m = static_cast<MemoryLine*>(ctx);
    const size_t end = m->pos + static_cast<size_t>(size);
    if (end > m->cutAt) {
        m->pos = m->cutAt;
        m->cutAt = SIZE_MAX;
        return kLineReopened;
    }
    if (end > m->data.size()) return -1;
    std::copy_n(m->data.begin() + static_cast<long>(m->pos), size, dest);
    m->pos = end;
    return size;
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
    std::string ReadAll(const Bytes& stream, size_t cutAt = SIZE_MAX) {
        MemoryLine memory{stream, cutAt};
        ByteSource src{ReadMemory, &memory};
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

}  // namespace
