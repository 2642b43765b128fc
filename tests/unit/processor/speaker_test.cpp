// The queued speaker layout; the messages' log lines (with the labels) and
// the audio format are pinned in the dispatch table.
#include "processor/speaker.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "fake_processor.h"

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
    for (const auto& c : cases) {
        RecordedLines().clear();
        for (const char* m : c.messages) doSpeakerLayoutMessage(&link, Hex(m).data(), 5);
        EXPECT_TRUE(RecordedLines().empty());
        EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), c.line ? 1 : 0);
        EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 0);
        if (!c.line) continue;
        EXPECT_EQ(RecordedLines().at(0), ScriptLine(c.line));
        EXPECT_EQ(RecordedLines().size(), 4u);  // the script, then the filter report's GETs
        EXPECT_EQ(Reply(), Hex("13 02 02 FF 00 FF 00"));
    }
}
