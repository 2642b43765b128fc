// Gain reports, the queued main-volume set and the state report.
#include "processor/gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/config.h"
#include "fake_processor.h"

TEST(GainDb, RoundsHalvesAwayFromZeroWithinSixteenBits) {
    const std::pair<double, int> cases[] = {{7.5, 8},      {-7.4, -7}, {1e9, 3276},
                                            {-1e9, -3276}, {NAN, -37}, {INFINITY, -37}};
    for (const auto& [gain, want] : cases) EXPECT_EQ(ToGainDb(gain), want) << gain;
}

using GainTest = ProcessorTest;

TEST_F(GainTest, ReportWithoutAGainIsMinus37) {
    SetReply("/api/speaker", R"({"volume": 3})");
    doDiracMainVolGet(&link, 0x43);
    EXPECT_EQ(Reply(), Hex("13 06 02 FE 8E"));  // -37 dB
}

// The receive thread queues; the monitor's pass puts the last request in
// whole dB (truncated) and answers its asker with the gain read back.
TEST_F(GainTest, MonitorCarriesOutTheLastQueuedSet) {
    const struct {
        std::vector<std::pair<uchar, const char*>> sets;  // reply address, gain bytes
        int put;
        const char* reply;
    } cases[] = {
        {{{0x43, "00 64"}}, 10, "13 06 02 00 64"},
        {{{0x43, "FF F1"}}, -1, "13 06 02 FF F6"},  // -1.5 dB
        {{{0x43, "FF 9C"}, {0x4A, "FF 38"}}, -20, "13 06 02 FF 38"},
    };
    std::string log;  // the last case's: the second request replaced the first
    for (const auto& c : cases) {
        RecordedLines().clear();
        log = Logged([&] {
            for (const auto& s : c.sets) doDiracMainVolSet(&link, s.first, Hex(s.second).data(), 2);
        });
        EXPECT_TRUE(Reply().empty());
        EXPECT_TRUE(RecordedLines().empty());
        SetReply("/api/speaker", R"({"gain": )" + std::to_string(c.put) + "}");
        EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 1);
        EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
        EXPECT_EQ(RecordedLines(), (std::vector<std::string>{PutLine("/api/speaker", "gain", c.put),
                                                             GetLine("/api/speaker")}));
        EXPECT_EQ(Reply(c.sets.back().first), Hex(c.reply));
    }
    EXPECT_TRUE(HasLogLine(log, "DiracGain: -100 -> -200"));
}

// Address 0 means "nothing queued": such a request is never carried out.
TEST_F(GainTest, RequestFromAddressZeroIsNeverCarriedOut) {
    EXPECT_EQ(doDiracMainVolSet(&link, 0x00, Hex("00 0A").data(), 2), 1);
    EXPECT_EQ(doCheckDiracGain(&StateMutex, &link), 0);
    EXPECT_TRUE(RecordedLines().empty());
}

TEST_F(GainTest, StateReportHasTheCodeByteOnlyForState4) {
    doReportDiracState(&link, 4, 0xFF, 0x43);
    EXPECT_EQ(Reply(), Hex("13 01 02 04 FF"));
    doReportDiracState(&link, 1, 0xFF, 0x43);
    EXPECT_EQ(Reply(), Hex("13 01 02 01"));
}
