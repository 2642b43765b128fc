// Filter slots where the processor answers oddly or not at all; the
// example list's replies are pinned in the dispatch table.
#include "processor/filters.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_processor.h"

TEST(SlotTypeCode, CaseAloneIsIgnored) {
    EXPECT_EQ(GetSlotTypeCode("DIRAC LIVE BASS MANAGEMENT"), 3);
    EXPECT_EQ(GetSlotTypeCode("Dirac Active Room Treatment"), 2);
    EXPECT_EQ(GetSlotTypeCode("Dirac Live Bass Control "), 0);
    EXPECT_EQ(GetSlotTypeCode(nullptr), 0);
}

using FilterTest = ProcessorTest;

TEST_F(FilterTest, ReportWhenTheProcessorGivesLittle) {
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
    ClearReplies();  // every request fails: an unknown slot byte, logged as -1
    const std::string log = Logged([&] { doReportDiracFilterNum(&link, 0x43); });
    EXPECT_EQ(Reply(), Hex("13 02 02 FF 00 FF 00"));
    EXPECT_TRUE(HasLogLine(log, "DiracFilter: enabled=255 count=0 index=-1 type=-1 name="));
    doReportDiracFilterCurrInfo(&link, 0x43);
    EXPECT_EQ(Reply(), Hex("13 02 16 00 FF 00"));
}

TEST_F(FilterTest, SlotPastPositionFifteenKeepsItsLowBits) {
    std::string slots = "[";
    for (int i = 0; i < 18; ++i)
        slots += std::string(i ? "," : "") + R"({"name": "S)" + std::to_string(i) + "\"}";
    SetReply("/api/list-slots", slots + "]");
    doReportDiracFilterInfo(&link, 0x43, 17);
    EXPECT_EQ(Reply(), WithName(Hex("13 02 0C 00 01"), "S17"));
}

TEST_F(FilterTest, LongNameCutToTheReplyArea) {
    SetReply("/api/list-slots", R"([{"name": ")" + std::string(3000, 'n') + "\"}]");
    SetReply("/api/active-slot", R"({"index": 0})");
    doReportDiracFilterNum(&link, 0x43);
    const Bytes reply = Reply();
    ASSERT_EQ(reply.size(), static_cast<size_t>(kFilterReplySize));
    EXPECT_EQ(reply[6], 'n');
    EXPECT_EQ(reply.back(), 0x00);
}
