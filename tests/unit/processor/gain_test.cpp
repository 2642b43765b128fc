#include "processor/gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/config.h"
#include "fake_processor.h"

TEST(GainDb, RoundsHalvesAwayFromZero) {
    struct Case {
        double gain;
        int want;
    } cases[] = {{-7.5, -8}, {7.5, 8},     {-7.4, -7},  {-7.6, -8},    {0.5, 1},   {-0.5, -1},
                 {0.0, 0},   {-37.0, -37}, {1e9, 3276}, {-1e9, -3276}, {NAN, -37}, {INFINITY, -37}};
    for (const Case& c : cases) EXPECT_EQ(ToGainDb(c.gain), c.want) << c.gain;
}

using GainTest = ProcessorTest;

TEST_F(GainTest, ReportInTenthsBigEndian) {
    struct Case {
        const char* reply;  // null: the request fails
        std::vector<uchar> want;
        const char* logLine;
    } cases[] = {
        {R"({"gain": -7.5})", Bytes({0x13, 0x06, 0x02, 0xFF, 0xB0}), "doDiracMainVolGet: -8"},
        {R"({"gain": -10})", Bytes({0x13, 0x06, 0x02, 0xFF, 0x9C}), "doDiracMainVolGet: -10"},
        {R"({"gain": 3})", Bytes({0x13, 0x06, 0x02, 0x00, 0x1E}), "doDiracMainVolGet: 3"},
        {R"({"volume": 3})", Bytes({0x13, 0x06, 0x02, 0xFE, 0x8E}), "doDiracMainVolGet: -37"},
        {nullptr, Bytes({0x13, 0x06, 0x02, 0xFE, 0x8E}), "doDiracMainVolGet: -37"},
    };
    for (const Case& c : cases) {
        ClearReplies();
        if (c.reply) SetReply("/api/speaker", c.reply);
        testing::internal::CaptureStdout();
        doDiracMainVolGet(&link, 0x43);
        std::string log = testing::internal::GetCapturedStdout();
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].addr, 0x43);
        EXPECT_EQ(frames[0].payload, c.want) << c.logLine;
        EXPECT_TRUE(HasLogLine(log, c.logLine)) << log;
    }
    EXPECT_EQ(RunLines().back(), GetLine("/api/speaker"));
}

TEST_F(GainTest, SetIsQueuedAndCarriedOutByTheMonitor) {
    const uchar request[] = {0xFF, 0x9C};  // -100: -10.0 dB
    testing::internal::CaptureStdout();
    EXPECT_EQ(doDiracMainVolSet(&link, 0x43, request, 2), 1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(log, "DiracMainVolSet: -10")) << log;
    EXPECT_TRUE(HasLogLine(log, "DiracGain: 0 -> -100")) << log;
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(RunLines().empty());

    SetReply("/api/speaker", R"({"gain": -10})");
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 1);
    EXPECT_EQ(RunLines(), (std::vector<std::string>{PutLine("/api/speaker", "gain", -10),
                                                    GetLine("/api/speaker")}));
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, Bytes({0x13, 0x06, 0x02, 0xFF, 0x9C}));
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    EXPECT_EQ(DiracGainInfo[1], -100);  // kept after it was carried out
}

TEST_F(GainTest, TenthsTruncateTowardZero) {
    const uchar request[] = {0xFF, 0xF1};  // -15: -1.5 dB
    doDiracMainVolSet(&link, 0x43, request, 2);
    SetReply("/api/speaker", R"({"gain": -1})");
    doCheckDiracGain(&StateMutex, &link);
    EXPECT_EQ(RunLines()[0], PutLine("/api/speaker", "gain", -1));
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, Bytes({0x13, 0x06, 0x02, 0xFF, 0xF6}));
}

TEST_F(GainTest, LaterRequestReplacesTheQueuedOne) {
    const uchar first[] = {0xFF, 0x9C};
    const uchar second[] = {0xFF, 0x38};  // -200
    doDiracMainVolSet(&link, 0x43, first, 2);
    testing::internal::CaptureStdout();
    doDiracMainVolSet(&link, 0x4A, second, 2);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(log, "DiracGain: -100 -> -200")) << log;
    SetReply("/api/speaker", R"({"gain": -20})");
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 1);
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    EXPECT_EQ(RunLines(), (std::vector<std::string>{PutLine("/api/speaker", "gain", -20),
                                                    GetLine("/api/speaker")}));
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].addr, 0x4A);
}

TEST_F(GainTest, RefusedRequests) {
    const uchar one[] = {0xFF};
    EXPECT_EQ(doDiracMainVolSet(&link, 0x43, one, 1), -1);
    EXPECT_EQ(doDiracMainVolSet(&link, 0x43, nullptr, 2), -1);
    EXPECT_EQ(doCheckDiracGain(nullptr, &link), -1);
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    // Address 0 means "nothing queued": such a request is never carried out.
    const uchar gain[] = {0x00, 0x0A};
    EXPECT_EQ(doDiracMainVolSet(&link, 0x00, gain, 2), 1);
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    EXPECT_TRUE(RunLines().empty());
    EXPECT_TRUE(Frames().empty());
}

TEST_F(GainTest, StateReport) {
    struct Case {
        uchar state;
        std::vector<uchar> want;
        const char* logLine;
    } cases[] = {
        {4, Bytes({0x13, 0x01, 0x02, 0x04, 0xFF}), "DiracDiracState: state=4 code=255"},
        {1, Bytes({0x13, 0x01, 0x02, 0x01}), "DiracDiracState: state=1 code=255"},
        {3, Bytes({0x13, 0x01, 0x02, 0x03}), "DiracDiracState: state=3 code=255"},
        {0, Bytes({0x13, 0x01, 0x02, 0x00}), "DiracDiracState: state=0 code=255"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        doReportDiracState(&link, c.state, 0xFF, 0x43);
        std::string log = testing::internal::GetCapturedStdout();
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].payload, c.want);
        EXPECT_TRUE(HasLogLine(log, c.logLine)) << log;
    }
}
