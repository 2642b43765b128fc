// Speaker layout labels and the queued layout; the messages' log lines and
// the audio format are pinned in the dispatch table.
#include "processor/speaker.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "fake_processor.h"

TEST(SpConfigText, LabelsWithAndWithoutLfe) {
    const struct {
        int code, lfe;
        const char* label;
    } cases[] = {
        {5, 0, "320: FL_FR_LS_RS_FC                                   5.0    5x"},
        {14, 2, "212: FL_FR_LTM_RTM_LFE_CS"},  // no LFE count in this one
        {44, 2, "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW_LFE 8.2.6"},
    };
    char text[kSpConfigTextSize];
    int speakers[2] = {9, 9};
    for (const auto& c : cases) {
        GetSpConfigText(text, sizeof text, speakers, static_cast<uchar>(c.code), c.lfe);
        EXPECT_STREQ(text, c.label);
    }
    EXPECT_EQ(GetSpConfigText(text, sizeof text, speakers, 45, 1), text);  // left alone
    EXPECT_STREQ(text, cases[2].label);
    EXPECT_EQ(GetSpConfigText(nullptr, 0, speakers, 0, 1), nullptr);
}

using SpeakerTest = ProcessorTest;

// The receive thread queues; the monitor's pass runs the script for the last
// layout, pauses and sends a filter report to 0x43. An unknown code drops it.
TEST_F(SpeakerTest, MonitorCarriesOutTheLastQueuedLayout) {
    const struct {
        std::vector<const char*> messages;
        const char* line;  // null: nothing carried out
    } cases[] = {
        {{"06 23 02 2B 00"}, "UpdateSpConfig 9 0 6"},
        {{"06 23 02 05 01", "06 23 02 0E 02"}, "UpdateSpConfig 2 2 0"},
        {{"06 23 02 05 01", "06 23 02 2D 01"}, nullptr},
    };
    std::string log;
    for (const auto& c : cases) {
        RecordedLines().clear();
        log += Logged([&] {
            for (const char* m : c.messages) doSpeakerLayoutMessage(&link, Hex(m).data(), 5);
        });
        EXPECT_TRUE(RecordedLines().empty());
        EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), c.line ? 1 : 0);
        EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 0);
        if (!c.line) continue;
        EXPECT_EQ(RecordedLines().at(0), ScriptLine(c.line));
        EXPECT_EQ(RecordedLines().size(), 4u);  // the script, then the filter report's GETs
        EXPECT_EQ(Reply(), Hex("13 02 02 FF 00 FF 00"));
    }
    EXPECT_TRUE(HasLogLine(log, "SpeakerConfig: 5.1.0 -> 2.2.0")) << log;
    EXPECT_TRUE(HasLogLine(log, "SpConfig: 45(0x2D) 0.1.0 ")) << log;
    EXPECT_EQ(doCheckSpeakerConfig(&link, nullptr), -1);
}
