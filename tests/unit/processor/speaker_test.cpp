#include "processor/speaker.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "fake_processor.h"

TEST(SampleRate, ExampleCodes) {
    const int cases[][2] = {{0x09, 48000}, {0x01, 8000}, {0x10, 0}, {0xFF, 0}, {17, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(GetSampleRate(static_cast<SamplingFreq_t>(c[0])), c[1]) << c[0];
}

// Labels of a few layouts: padded and unpadded, with one LFE and with none.
TEST(SpConfigText, ExampleLabels) {
    struct Case {
        int code, x, z;
        const char* withLfe;
        const char* withoutLfe;
    } cases[] = {
        {5, 5, 0, "320: FL_FR_LS_RS_FC_LFE                               5.1    5x",
         "320: FL_FR_LS_RS_FC                                   5.0    5x"},
        {1, 2, 1, "210: FL_FR_LFE_CS                                     2.1.1",
         "210: FL_FR    _CS                                     2.0.1"},
        {14, 2, 0, "212: FL_FR_LTM_RTM_LFE_CS", "212: FL_FR_LTM_RTM    _CS"},
        {44, 8, 6, "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW_LFE 8.1.6",
         "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW     8.0.6"},
    };
    for (const Case& c : cases) {
        char text[kSpConfigTextSize] = "";
        int speakers[2] = {-1, -1};
        GetSpConfigText(text, sizeof text, speakers, static_cast<uchar>(c.code), 1);
        EXPECT_STREQ(text, c.withLfe) << c.code;
        EXPECT_EQ(speakers[0], c.x) << c.code;
        EXPECT_EQ(speakers[1], c.z) << c.code;
        GetSpConfigText(text, sizeof text, speakers, static_cast<uchar>(c.code), 0);
        EXPECT_STREQ(text, c.withoutLfe) << c.code;
    }
}

TEST(SpConfigText, CountsAndUnknownCodes) {
    char text[kSpConfigTextSize] = "";
    int speakers[2] = {0, 0};
    GetSpConfigText(text, sizeof text, speakers, SpCfg_320, 2);
    EXPECT_STREQ(text, "320: FL_FR_LS_RS_FC_LFE                               5.2    5x");
    GetSpConfigText(text, sizeof text, speakers, SpCfg_212, 2);
    EXPECT_STREQ(text, "212: FL_FR_LTM_RTM_LFE_CS");
    strcpy(text, "kept");
    speakers[0] = speakers[1] = 9;
    EXPECT_EQ(GetSpConfigText(text, sizeof text, speakers, 45, 1), text);
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(speakers[0], 9);
    EXPECT_EQ(speakers[1], 9);
    EXPECT_EQ(GetSpConfigText(nullptr, 0, speakers, 0, 1), nullptr);
}

using SpeakerTest = ProcessorTest;

TEST_F(SpeakerTest, LayoutMessageIsLoggedAndQueued) {
    const uchar msg[] = {0x06, 0x23, 0x02, 0x05, 0x01};
    testing::internal::CaptureStdout();
    EXPECT_EQ(doSpeakerLayoutMessage(&link, msg, 5), 1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(
        log,
        "SpConfig: 5(0x05) 5.1.0 320: FL_FR_LS_RS_FC_LFE                               5.1    5x"))
        << log;
    EXPECT_EQ(SpeakerInfos[0], 5);
    EXPECT_EQ(SpeakerInfos[1], 0);
    EXPECT_EQ(SpeakerInfos[2], 1);
    EXPECT_TRUE(RunLines().empty());
    EXPECT_TRUE(Frames().empty());
}

TEST_F(SpeakerTest, OnlyTheFiveByteMessage) {
    const uchar msg[] = {0x06, 0x23, 0x02, 0x05, 0x01, 0x00};
    EXPECT_EQ(doSpeakerLayoutMessage(&link, msg, 4), -1);
    EXPECT_EQ(doSpeakerLayoutMessage(&link, msg, 6), -1);
    const uchar request[] = {0x06, 0x23, 0x01, 0x05, 0x01};
    EXPECT_EQ(doSpeakerLayoutMessage(&link, request, 5), -1);
    EXPECT_EQ(SpeakerInfos[0], 0);
}

TEST_F(SpeakerTest, CarriedOutThenAFilterReport) {
    const uchar msg[] = {0x06, 0x23, 0x02, 0x05, 0x00};
    testing::internal::CaptureStdout();
    doSpeakerLayoutMessage(&link, msg, 5);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(
        log,
        "SpConfig: 5(0x05) 5.0.0 320: FL_FR_LS_RS_FC                                   5.0    5x"))
        << log;
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 1);
    ASSERT_GE(RunLines().size(), 2u);
    EXPECT_EQ(RunLines()[0], "/opt/qz/bin/halvane.sh UpdateSpConfig 5 0 0");
    EXPECT_EQ(RunLines()[1], GetLine("/api/list-slots"));
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].addr, 0x43);
    EXPECT_EQ(frames[0].payload, Bytes({0x13, 0x02, 0x02, 0xFF, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 0);
    EXPECT_EQ(doCheckSpeakerConfig(&link, nullptr), -1);
}

TEST_F(SpeakerTest, LaterLayoutReplacesTheQueuedOne) {
    const uchar first[] = {0x06, 0x23, 0x02, 0x05, 0x01};
    const uchar second[] = {0x06, 0x23, 0x02, 0x0E, 0x02};  // code 14: 2.2.0
    doSpeakerLayoutMessage(&link, first, 5);
    testing::internal::CaptureStdout();
    doSpeakerLayoutMessage(&link, second, 5);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(log, "SpeakerConfig: 5.1.0 -> 2.2.0")) << log;
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 1);
    EXPECT_EQ(RunLines()[0], "/opt/qz/bin/halvane.sh UpdateSpConfig 2 2 0");
    EXPECT_EQ(RunLines().size(), 4u);  // one script run, one filter report
}

TEST_F(SpeakerTest, UnknownCodeDropsTheQueuedLayout) {
    const uchar first[] = {0x06, 0x23, 0x02, 0x05, 0x01};
    const uchar unknown[] = {0x06, 0x23, 0x02, 0x2D, 0x01};
    doSpeakerLayoutMessage(&link, first, 5);
    testing::internal::CaptureStdout();
    doSpeakerLayoutMessage(&link, unknown, 5);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(log, "SpConfig: 45(0x2D) 0.1.0 ")) << log;
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 0);
    EXPECT_TRUE(RunLines().empty());
}

TEST_F(SpeakerTest, AudioFormat) {
    struct Case {
        std::vector<uchar> cmd;  // from byte 2 of the message on
        int result;
        const char* logLine;
        const char* line;  // null: nothing runs
    } cases[] = {
        {Bytes({0x00, 0x00, 0x09}), 0, "AudioInfoReport: SamplingFreq=9 SampleRate=48000",
         "/opt/qz/bin/halvane.sh sample_rate 48000"},
        {Bytes({0x00, 0x00, 0x0F}), 0, "AudioInfoReport: SamplingFreq=15 SampleRate=192000",
         "/opt/qz/bin/halvane.sh sample_rate 192000"},
        {Bytes({0x00, 0x00, 0x10}), -1, "AudioInfoReport: SamplingFreq=16 SampleRate=0", nullptr},
        {Bytes({0x00, 0x00, 0xFF}), -1, "AudioInfoReport: SamplingFreq=255 SampleRate=0", nullptr},
        {Bytes({0x00, 0x00, 0x11}), -1, "AudioInfoReport: SamplingFreq=17 SampleRate=-1", nullptr},
        {Bytes({0x00, 0x00}), -1, "AudioInfoReport: SamplingFreq=0 SampleRate=0", nullptr},
    };
    for (const Case& c : cases) {
        size_t before = RunLines().size();
        testing::internal::CaptureStdout();
        EXPECT_EQ(doAudioInfoReport(&link, 0x43, c.cmd.data(), static_cast<int>(c.cmd.size())),
                  c.result);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(HasLogLine(log, c.logLine)) << log;
        if (c.line) {
            ASSERT_EQ(RunLines().size(), before + 1);
            EXPECT_EQ(RunLines().back(), c.line);
        } else {
            EXPECT_EQ(RunLines().size(), before);
        }
    }
    EXPECT_TRUE(Frames().empty());
}
