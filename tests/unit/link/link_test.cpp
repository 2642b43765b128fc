#include "link/link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "wire.h"

namespace {

struct Received {
    uchar addr, id;
    Bytes payload;
};
std::vector<Received> received;

int Record(TtyData*, uchar addr, uchar id, const uchar* cmd, int size) {
    received.push_back({addr, id, Bytes(cmd, cmd + size)});
    return 0;
}

struct MemorySource {
    Bytes data;
    size_t pos = 0;
};

int ReadMemory(void* ctx, uchar* dest, int size) {
    auto* m = static_cast<MemorySource*>(ctx);
    if (m->pos + static_cast<size_t>(size) > m->data.size()) return -1;
    std::copy_n(m->data.begin() + static_cast<long>(m->pos), size, dest);
    m->pos += static_cast<size_t>(size);
    return size;
}

// A link record whose line is one end of a socket pair; the test reads the other.
class LinkTest : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        InitTtyData(&data, fds[0], "", "115200");
        received.clear();
        SetLinkHandlers(Record, nullptr);
        IsDebug = 1;
        IsQZ = true;
    }
    void TearDown() override {
        close(fds[0]);
        close(fds[1]);
        SetLinkHandlers(nullptr, nullptr);
    }
    Bytes Written() {
        Bytes out(8192);
        ssize_t n = recv(fds[1], out.data(), out.size(), MSG_DONTWAIT);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    // Runs the reader over a byte stream until it is used up; returns the log.
    std::string ReadAll(const Bytes& stream) {
        MemorySource mem{stream};
        ByteSource src{ReadMemory, &mem};
        testing::internal::CaptureStdout();
        while (doReadFrame(&src, &data) >= 0) {
        }
        return testing::internal::GetCapturedStdout();
    }
    int fds[2];
    TtyData data{};
};

TEST_F(LinkTest, ValidFrameAcknowledgedAndDispatched) {
    std::string log = ReadAll(Wire({0x05, 0x0B}, 7));
    EXPECT_EQ(Written(), (Bytes{0xFA, 0x43, 0x07, 0x00, 0x44, 0xF5}));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].addr, 0x34);
    EXPECT_EQ(received[0].id, 7);
    EXPECT_EQ(received[0].payload, (Bytes{0x05, 0x0B}));
    EXPECT_EQ(log, "Received: FA 34 07 02 05 0B 47 F5\nFA 43 07 00 44 F5\n");
}

TEST_F(LinkTest, NoiseSkippedSilentlyAndBadFramesDumped) {
    Bytes stream = {0x00, 0xF5, 0x13};
    Bytes bad = Wire({0x05, 0x0B}, 5);
    bad[6] ^= 0xFF;
    stream.insert(stream.end(), bad.begin(), bad.end());
    Bytes good = Wire({0x05, 0x0C}, 6);
    stream.insert(stream.end(), good.begin(), good.end());
    IsDebug = 0;
    std::string log = ReadAll(stream);
    EXPECT_EQ(log, "Receive error3: FA 34 05 02 05 0B BA F5\n");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, (Bytes{0x05, 0x0C}));
    EXPECT_EQ(Written(), (Bytes{0xFA, 0x43, 0x06, 0x00, 0x43, 0xF5}));
}

TEST_F(LinkTest, EmptyPayloadDispatchedButNotAcknowledged) {
    IsDebug = 0;
    ReadAll(Wire({}, 3));
    EXPECT_TRUE(Written().empty());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].payload.empty());
}

TEST_F(LinkTest, ShortFrameWithLongLengthByteAndLongFrames) {
    IsDebug = 0;
    // A short frame may carry up to 191 bytes (0xBF has not both top bits set).
    Bytes payload(191, 0x11);
    Bytes f = {0xFA, 0x34, 0x01, 191};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(doSum(f.data(), static_cast<int>(f.size())));
    f.push_back(0xF5);
    std::string log = ReadAll(f);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload.size(), 191u);
    EXPECT_EQ(log, "");
    log = ReadAll(Wire(Bytes(200, 0), 2));
    EXPECT_EQ(log, "Receiving long package: size=200 (0x00C8)\n");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].payload, Bytes(200, 0));
}

TEST_F(LinkTest, OversizedLongFrameReadToItsEndAndDropped) {
    IsDebug = 0;
    const int n = 4089;
    Bytes big = {0xFA, 0x34, 0x01, static_cast<uchar>(0xC0 | (n >> 8)),
                 static_cast<uchar>(n & 0xFF)};
    big.resize(big.size() + n + 3, 0);
    Bytes next = Wire({0x05, 0x0B}, 2);
    big.insert(big.end(), next.begin(), next.end());
    std::string log = ReadAll(big);
    EXPECT_EQ(log.rfind("Receiving long package: size=4089 (0x0FF9)\nReceive long package error3: "
                        "FA 34 01 CF F9 00",
                        0),
              0u);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].payload, (Bytes{0x05, 0x0B}));
}

TEST_F(LinkTest, TruncatedFramesAtTheEndOfTheLine) {
    IsDebug = 0;
    EXPECT_EQ(ReadAll({0xFA, 0x34}), "Receive error1: FA\n");
    EXPECT_EQ(ReadAll({0xFA, 0x34, 0x01, 0x05, 0x13, 0x02}), "Receive error2: FA 34 01 05\n");
    EXPECT_TRUE(received.empty());
}

TEST_F(LinkTest, SendRefusesOversizedPayloadAndSendsBarePayloadUnframed) {
    Bytes big(kLongPayloadMax + 1);
    EXPECT_EQ(doSend(&data, big.data(), static_cast<int>(big.size()), 1, 0x43, 1), -1);
    EXPECT_TRUE(Written().empty());
    const uchar version[] = {0x05, 0x12, 0x31, 0x33, 0x34, 0x00};
    EXPECT_EQ(doSend(&data, version, 6, 1, 0x43, 0), 6);
    EXPECT_EQ(Written(), Bytes(version, version + 6));
}

TEST_F(LinkTest, SendPayloadUsesNextIdOnTheWire) {
    IsDebug = 0;
    data.lastId = 255;
    const uchar reset[] = {0x13, 0x03, 0x02};
    SendPayload(&data, 0x43, reset, 3);
    SendPayload(&data, 0x43, reset, 3);
    Bytes want = Wire({0x13, 0x03, 0x02}, 255, 0x43);
    Bytes second = Wire({0x13, 0x03, 0x02}, 1, 0x43);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(Written(), want);
}

TEST(LastId, WrapsAndNeverZero) {
    TtyData data{};
    InitTtyData(&data, -1, "", "");
    EXPECT_EQ(GetLastId(&data), 1);
    data.lastId = 255;
    EXPECT_EQ(GetLastId(&data), 255);
    EXPECT_EQ(GetLastId(&data), 1);
    data.lastId = 0;
    EXPECT_EQ(GetLastId(&data), 1);
    EXPECT_EQ(GetLastId(&data), 2);
    EXPECT_EQ(GetLastId(nullptr), 0);
}

}  // namespace
