// The processor's handlers against the fake processor where it answers oddly
// or not at all, and the requests the state monitor carries out. The example
// list's replies and the messages' log lines are pinned in the dispatch table.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/config.h"
#include "fake_processor.h"
#include "processor/filters.h"
#include "processor/gain.h"
#include "processor/speaker.h"

TEST(SlotTypeCode, CaseAloneIsIgnored) {
    EXPECT_EQ(GetSlotTypeCode("DIRAC LIVE BASS MANAGEMENT"), 3);
    EXPECT_EQ(GetSlotTypeCode("Dirac Live Bass Control "), 0);
    EXPECT_EQ(GetSlotTypeCode(nullptr), 0);  // a slot without "filter_type"
}

TEST(GainDb, RoundsHalvesAwayFromZeroWithinSixteenBits) {
    const std::pair<double, int> cases[] = {{-7.4, -7}, {-1e9, -3276}, {NAN, -37}, {INFINITY, -37}};
    for (const auto& [gain, want] : cases) EXPECT_EQ(ToGainDb(gain), want) << gain;
}

// Every code of the decoder's sampling frequency and the rate the processor
// is told, as the MCU's design gives them (not taken from the code's table).
TEST(SampleRate, WholeTable) {
    const std::pair<int, int> rows[] = {
        {0, 0},       {1, 8000},    {2, 11025}, {3, 12000},  {4, 16000},  {5, 22050},  {6, 24000},
        {7, 32000},   {8, 44100},   {9, 48000}, {10, 64000}, {11, 88200}, {12, 96000}, {13, 128000},
        {14, 176400}, {15, 192000}, {16, 0},    {255, 0},    {17, -1},    {128, -1},   {254, -1},
    };
    for (const auto& [code, hz] : rows) {
        EXPECT_EQ(GetSampleRate(static_cast<SamplingFreq_t>(code)), hz) << code;
    }
}

using Handlers = ProcessorTest;

TEST_F(Handlers, FilterReportWhenTheProcessorGivesLittle) {
    const struct {
        const char* slots;
        const char* filtering;  // "" and "<html>": the script exits 0 but gives no JSON
        const char* want;
    } cases[] = {
        {kThreeSlots, R"({"enabled": 1})", "13 02 02 01 03 09 00"},  // no slot has index 9
        {"[]", "", "13 02 02 FF 00 09 00"},
        {R"({"slots": []})", "<html>", "13 02 02 FF 00 09 00"},  // not a list
    };
    SetReply("/api/active-slot", R"({"index": 9})");
    for (const auto& c : cases) {
        SetReply("/api/list-slots", c.slots);
        SetReply("/api/filtering", c.filtering);
        doReportDiracFilterNum(&link, 0x4A);
        EXPECT_EQ(Reply(0x4A), Hex(c.want)) << c.want;
    }
    for (const char* path : {"/api/list-slots", "/api/filtering", "/api/active-slot"})
        SetReply(path, "", 1);  // every request fails: an unknown slot byte, logged as -1
    const std::string log = Logged([&] { doReportDiracFilterNum(&link, 0x43); });
    EXPECT_EQ(Reply(), Hex("13 02 02 FF 00 FF 00"));
    EXPECT_TRUE(HasLogLine(log, "DiracFilter: enabled=255 count=0 index=-1 type=-1 name="));
    doReportDiracFilterCurrInfo(&link, 0x43);
    EXPECT_EQ(Reply(), Hex("13 02 16 00 FF 00"));
}

TEST_F(Handlers, SlotPastPositionFifteenKeepsItsLowBits) {
    std::string slots = "[";
    for (int i = 0; i < 18; ++i)
        slots += std::string(i ? "," : "") + R"({"name": "S)" + std::to_string(i) + "\"}";
    SetReply("/api/list-slots", slots + "]");
    doReportDiracFilterInfo(&link, 0x43, 17);
    EXPECT_EQ(Reply(), WithName(Hex("13 02 0C 00 01"), "S17"));
}

// An active index past 255 would name another slot through the slot byte.
TEST_F(Handlers, ActiveSlotIndexPastAByteIsNoActiveSlot) {
    std::string slots = "[";
    for (int i = 0; i < 300; ++i) {
        slots += std::string(i ? "," : "") + R"({"index": )" + std::to_string(i) +
                 R"(, "name": "S)" + std::to_string(i) + "\"}";
    }
    SetReply("/api/list-slots", slots + "]");
    SetReply("/api/filtering", R"({"enabled": 1})");
    SetReply("/api/active-slot", R"({"index": 299})");
    const std::string log = Logged([&] { doReportDiracFilterNum(&link, 0x43); });
    EXPECT_EQ(Reply(), Hex("13 02 02 01 2C FF 00"));  // the count byte is its low byte
    EXPECT_TRUE(
        HasLogLine(log, "DiracFilter: active slot index 299 does not fit a byte, reported as none"))
        << log;
    doReportDiracFilterCurrInfo(&link, 0x43);
    EXPECT_EQ(Reply(), Hex("13 02 16 00 FF 00"));
}

TEST_F(Handlers, LongSlotNameCutToTheReplyArea) {
    SetReply("/api/list-slots", R"([{"name": ")" + std::string(3000, 'n') + "\"}]");
    SetReply("/api/active-slot", R"({"index": 0})");
    doReportDiracFilterNum(&link, 0x43);
    const Bytes reply = Reply();
    ASSERT_EQ(reply.size(), static_cast<size_t>(kFilterReplySize));
    EXPECT_EQ(reply[6], 'n');
    EXPECT_EQ(reply.back(), 0x00);
}

// The receive thread queues; the monitor's pass puts the last request in
// whole dB (truncated) and answers its asker with the gain read back.
TEST_F(Handlers, MonitorCarriesOutTheLastQueuedGain) {
    const struct {
        std::vector<std::pair<uchar, const char*>> sets;  // reply address, gain bytes
        int put;
        const char* readBack;
        const char* reply;
    } cases[] = {
        {{{0x43, "00 64"}}, 10, R"({"gain": 10})", "13 06 02 00 64"},
        {{{0x43, "FF F1"}}, -1, R"({"gain": -1})", "13 06 02 FF F6"},       // -1.5 dB
        {{{0x43, "FF 9C"}, {0x4A, "FF 38"}}, -20, "{}", "13 06 02 FE 8E"},  // no gain: -37 dB
    };
    std::string log;  // the last case's: the second request replaced the first
    for (const auto& c : cases) {
        RecordedLines().clear();
        log = Logged([&] {
            for (const auto& s : c.sets) doDiracMainVolSet(&link, s.first, Hex(s.second).data(), 2);
        });
        EXPECT_TRUE(Reply().empty());
        EXPECT_TRUE(RecordedLines().empty());
        SetReply("/api/speaker", c.readBack);
        EXPECT_EQ(doCheckDiracGain(&link), 1);
        EXPECT_EQ(doCheckDiracGain(&link), 0);
        EXPECT_EQ(RecordedLines(), (std::vector<std::string>{PutLine("/api/speaker", "gain", c.put),
                                                             GetLine("/api/speaker")}));
        EXPECT_EQ(Reply(c.sets.back().first), Hex(c.reply));
    }
    EXPECT_TRUE(HasLogLine(log, "DiracGain: -100 -> -200"));
    // Address 0 means "nothing queued": such a request is never carried out.
    doDiracMainVolSet(&link, 0x00, Hex("00 0A").data(), 2);
    EXPECT_EQ(doCheckDiracGain(&link), 0);
}

// The same for layouts: the script for the last one, a pause, then a filter
// report to 0x43. An unknown code drops the queued layout.
TEST_F(Handlers, MonitorCarriesOutTheLastQueuedLayout) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"06 23 02 2B 00"}, "UpdateSpConfig 9 0 6"},
        {{"06 23 02 05 01", "06 23 02 0E 02"}, "UpdateSpConfig 2 2 0"},
        {{"06 23 02 05 01", "06 23 02 2D 01"}, nullptr},
    };
    for (const auto& [messages, line] : cases) {
        RecordedLines().clear();
        for (const char* m : messages) doSpeakerLayoutMessage(&link, Hex(m).data(), 5);
        EXPECT_TRUE(RecordedLines().empty());
        EXPECT_EQ(doCheckSpeakerConfig(&link), line ? 1 : 0);
        EXPECT_EQ(doCheckSpeakerConfig(&link), 0);
        if (!line) continue;
        EXPECT_EQ(RecordedLines().at(0), ScriptLine(line));
        EXPECT_EQ(RecordedLines().size(), 4u);  // the script, then the filter report's GETs
        EXPECT_EQ(Reply(), Hex("13 02 02 FF 00 FF 00"));
    }
}
