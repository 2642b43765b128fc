#include "processor/filters.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_processor.h"

TEST(SlotTypeCode, ExampleRows) {
    struct Case {
        const char* text;
        int code;
    } cases[] = {
        {"Dirac Live Bass Management", 3},       {"dirac live bass control", 1},
        {"Dirac Live Active Room Treatment", 2}, {"Dirac Live Bass Control ", 0},
        {nullptr, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetSlotTypeCode(c.text), c.code) << (c.text ? c.text : "null");
    EXPECT_STREQ(GetSlotTypeName(2), "Dirac Active Room Treatment");
    EXPECT_STREQ(GetSlotTypeName(9), "Other");
}

TEST(SlotInfo, PositionAndProcessorIndexApart) {
    struct Case {
        uchar look;
        bool isDiracIndex;
        uchar want;
        const char* name;
    } cases[] = {
        {7, true, 0x11, "Movie Night"},   // processor index 7 sits at position 1
        {1, false, 0x11, "Movie Night"},  // position 1
        {2, false, 0x22, "Late Quiet"},   // position bits 2 although its index is 2 too
        {2, true, 0x22, "Late Quiet"},
        {0, true, 0x30, "Music"},
        {1, true, 1, ""},   // no slot has processor index 1
        {5, false, 5, ""},  // past the end: unchanged
    };
    for (const Case& c : cases) {
        uchar name[64];
        memset(name, 'z', sizeof name);
        uchar index = c.look;
        doGetDiracSlotInfo(name, sizeof name, ToJsonObject(kThreeSlots), &index, c.isDiracIndex,
                           true);
        EXPECT_EQ(index, c.want) << int(c.look) << " " << c.isDiracIndex;
        EXPECT_STREQ(reinterpret_cast<char*>(name), c.name);
    }
}

TEST(SlotInfo, NameCutToTheArea) {
    JsonObject* slots = ToJsonObject(R"([{"name": "Living Room"}])");
    uchar name[7];
    uchar index = 0;
    doGetDiracSlotInfo(name, sizeof name, slots, &index, false, true);
    EXPECT_EQ(index, 0x00);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "Living");
}

using FilterTest = ProcessorTest;

TEST_F(FilterTest, ReportOfThreeSlots) {
    SetReply("/api/list-slots", kThreeSlots);
    SetReply("/api/filtering", R"({"enabled": true})");
    SetReply("/api/active-slot", R"({"index": 7})");
    testing::internal::CaptureStdout();
    doReportDiracFilterNum(&link, 0x43);
    std::string log = testing::internal::GetCapturedStdout();
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].addr, 0x43);
    EXPECT_EQ(frames[0].payload,
              WithName(Bytes({0x13, 0x02, 0x02, 0x01, 0x03, 0x11}), "Movie Night"));
    EXPECT_TRUE(HasLogLine(log, "DiracFilter: enabled=1 count=3 index=1 type=1 name=Movie Night"))
        << log;
    std::vector<std::string> want = {GetLine("/api/list-slots"), GetLine("/api/filtering"),
                                     GetLine("/api/active-slot")};
    EXPECT_EQ(RunLines(), want);
}

TEST_F(FilterTest, ReportCases) {
    struct Case {
        const char* slots;
        const char* filtering;
        const char* active;
        std::vector<uchar> want;
        const char* logLine;
    } cases[] = {
        {kThreeSlots, R"({"enabled": false})", R"({"index": 9})",
         Bytes({0x13, 0x02, 0x02, 0x00, 0x03, 0x09, 0x00}),
         "DiracFilter: enabled=0 count=3 index=9 type=0 name="},
        {nullptr, nullptr, nullptr, Bytes({0x13, 0x02, 0x02, 0xFF, 0x00, 0xFF, 0x00}),
         "DiracFilter: enabled=255 count=0 index=-1 type=-1 name="},
        {"[]", R"({"enabled": 1})", R"({"index": 0})",
         Bytes({0x13, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00}),
         "DiracFilter: enabled=1 count=0 index=0 type=0 name="},
        {R"({"slots": []})", R"({"enabled": 1})", R"({"index": 0})",
         Bytes({0x13, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00}),
         "DiracFilter: enabled=1 count=0 index=0 type=0 name="},
    };
    for (const Case& c : cases) {
        ClearReplies();
        if (c.slots) SetReply("/api/list-slots", c.slots);
        if (c.filtering) SetReply("/api/filtering", c.filtering);
        if (c.active) SetReply("/api/active-slot", c.active);
        testing::internal::CaptureStdout();
        doReportDiracFilterNum(&link, 0x4A);
        std::string log = testing::internal::GetCapturedStdout();
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].addr, 0x4A);
        EXPECT_EQ(frames[0].payload, c.want) << c.logLine;
        EXPECT_TRUE(HasLogLine(log, c.logLine)) << log;
    }
}

TEST_F(FilterTest, InfoByPosition) {
    SetReply("/api/list-slots", kThreeSlots);
    struct Case {
        uchar position;
        std::vector<uchar> want;
        const char* logLine;
    } cases[] = {
        {2, WithName(Bytes({0x13, 0x02, 0x0C, 0x00, 0x22}), "Late Quiet"),
         "DiracFilterInfo: index=2 type=2 name=Late Quiet"},
        {1, WithName(Bytes({0x13, 0x02, 0x0C, 0x00, 0x11}), "Movie Night"),
         "DiracFilterInfo: index=1 type=1 name=Movie Night"},
        {5, Bytes({0x13, 0x02, 0x0C, 0x00, 0x05, 0x00}), "DiracFilterInfo: index=5 type=0 name="},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        doReportDiracFilterInfo(&link, 0x43, c.position);
        std::string log = testing::internal::GetCapturedStdout();
        auto frames = Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].payload, c.want);
        EXPECT_TRUE(HasLogLine(log, c.logLine)) << log;
    }
    EXPECT_EQ(RunLines(), std::vector<std::string>(3, GetLine("/api/list-slots")));
}

TEST_F(FilterTest, PositionKeepsItsLowBits) {
    std::string slots = "[";
    for (int i = 0; i < 18; ++i) {
        slots += std::string(i ? "," : "") + R"({"index": )" + std::to_string(100 + i) +
                 R"(, "filter_type": "Dirac Live Bass Management", "name": "S)" +
                 std::to_string(i) + "\"}";
    }
    SetReply("/api/list-slots", slots + "]");
    doReportDiracFilterInfo(&link, 0x43, 17);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, WithName(Bytes({0x13, 0x02, 0x0C, 0x00, 0x31}), "S17"));
}

TEST_F(FilterTest, CurrentSlot) {
    SetReply("/api/list-slots", kThreeSlots);
    SetReply("/api/active-slot", R"({"index": 7})");
    testing::internal::CaptureStdout();
    doReportDiracFilterCurrInfo(&link, 0x43);
    std::string log = testing::internal::GetCapturedStdout();
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, WithName(Bytes({0x13, 0x02, 0x16, 0x00, 0x11}), "Movie Night"));
    EXPECT_TRUE(HasLogLine(log, "DiracFilterInfo: index=1 type=1 name=Movie Night")) << log;
    EXPECT_EQ(RunLines(),
              (std::vector<std::string>{GetLine("/api/list-slots"), GetLine("/api/active-slot")}));

    SetReply("/api/active-slot", "{}");
    doReportDiracFilterCurrInfo(&link, 0x43);
    frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, Bytes({0x13, 0x02, 0x16, 0x00, 0xFF, 0x00}));
}

TEST_F(FilterTest, SelectPutsProcessorIndexAndReportsReadBack) {
    SetReply("/api/list-slots", kThreeSlots);
    SetReply("/api/filtering", R"({"enabled": true})");
    SetReply("/api/active-slot", R"({"index": 7})");
    testing::internal::CaptureStdout();
    doReportDiracFilterSetCurrInfo(&link, 0x43, 5, 1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(log, "DiracFilterSetCurrInfo: enabled=5 index=1 7")) << log;
    std::vector<std::string> want = {GetLine("/api/list-slots"),
                                     PutLine("/api/filtering", "enabled", 1),
                                     PutLine("/api/active-slot", "index", 7),
                                     GetLine("/api/filtering"), GetLine("/api/active-slot")};
    EXPECT_EQ(RunLines(), want);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload,
              WithName(Bytes({0x13, 0x02, 0x02, 0x01, 0x03, 0x11}), "Movie Night"));
}

TEST_F(FilterTest, SelectPastTheEndUsesThePosition) {
    SetReply("/api/list-slots", kThreeSlots);
    doReportDiracFilterSetCurrInfo(&link, 0x43, 0, 6);
    ASSERT_GE(RunLines().size(), 3u);
    EXPECT_EQ(RunLines()[1], PutLine("/api/filtering", "enabled", 0));
    EXPECT_EQ(RunLines()[2], PutLine("/api/active-slot", "index", 6));
}

TEST_F(FilterTest, LongNameCutToTheReplyArea) {
    const std::string name(3000, 'n');
    SetReply("/api/list-slots", R"([{"index": 0, "name": ")" + name + "\"}]");
    SetReply("/api/filtering", R"({"enabled": 1})");
    SetReply("/api/active-slot", R"({"index": 0})");
    doReportDiracFilterNum(&link, 0x43);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].payload.size(), static_cast<size_t>(kFilterReplySize));
    EXPECT_EQ(frames[0].payload.back(), 0x00);
    EXPECT_EQ(frames[0].payload[6], 'n');
}
