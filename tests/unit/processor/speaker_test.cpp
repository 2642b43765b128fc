#include "processor/speaker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/config.h"
#include "fake_processor.h"

TEST(SampleRate, Table) {
    const int want[] = {0,     8000,  11025, 12000, 16000,  22050,  24000,  32000, 44100,
                        48000, 64000, 88200, 96000, 128000, 176400, 192000, 0};
    for (int code = 0; code < 256; ++code) {
        int expected = code < 17 ? want[code] : (code == 255 ? 0 : -1);
        EXPECT_EQ(GetSampleRate(static_cast<SamplingFreq_t>(code)), expected) << code;
    }
}

// Every label exactly, with one LFE and with none.
TEST(SpConfigText, AllLabels) {
    struct Case {
        int code, x, z;
        const char* withLfe;
        const char* withoutLfe;
    } cases[] = {
        {0, 2, 0, "200: FL_FR_LFE                                        2.1    2x",
         "200: FL_FR                                            2.0    2x"},
        {1, 2, 1, "210: FL_FR_LFE_CS                                     2.1.1",
         "210: FL_FR    _CS                                     2.0.1"},
        {2, 3, 0, "300: FL_FR_FC_LFE                                     3.1    3x",
         "300: FL_FR_FC                                         3.0    3x"},
        {3, 4, 0, "220: FL_FR_LS_RS_LFE                                  4.1    4x",
         "220: FL_FR_LS_RS                                      4.0    4x"},
        {4, 3, 1, "310: FL_FR_FC_LFE_CS                                  3.1.1",
         "310: FL_FR_FC    _CS                                  3.0.1"},
        {5, 5, 0, "320: FL_FR_LS_RS_FC_LFE                               5.1    5x",
         "320: FL_FR_LS_RS_FC                                   5.0    5x"},
        {6, 2, 3, "230: FL_FR_LS_RS_LFE_CS                               2.1.3",
         "230: FL_FR_LS_RS    _CS                               2.0.3"},
        {7, 6, 0, "240: FL_FR_LS_RS_LB_RB_LFE                            6.1    6x",
         "240: FL_FR_LS_RS_LB_RB                                6.0    6x"},
        {8, 3, 3, "330: FL_FR_LS_RS_FC_LFE_CS                            3.1.3",
         "330: FL_FR_LS_RS_FC    _CS                            3.0.3"},
        {9, 7, 0, "340: FL_FR_LS_RS_FC_LFE_LB_RB                         7.1    7x",
         "340: FL_FR_LS_RS_FC    _LB_RB                         7.0    7x"},
        {10, 4, 3, "430: FL_FR_LS_RS_LW_RW_LFE_CS                         4.1.3",
         "430: FL_FR_LS_RS_LW_RW    _CS                         4.0.3"},
        {11, 4, 4, "440: FL_FR_LS_RS_LW_RW_LB_RB_LFE                      4.1.4   8x",
         "440: FL_FR_LS_RS_LW_RW_LB_RB                          4.0.4   8x"},
        {12, 9, 0, "540: FL_FR_LS_RS_FC_LFE_LW_RW_LB_RB                   9.1    9x",
         "540: FL_FR_LS_RS_FC    _LW_RW_LB_RB                   9.0    9x"},
        {13, 2, 2, "202: FL_FR_LTM_RTM_LFE                                2.1.2  2x2",
         "202: FL_FR_LTM_RTM                                    2.0.2  2x2"},
        {14, 2, 0, "212: FL_FR_LTM_RTM_LFE_CS", "212: FL_FR_LTM_RTM    _CS"},
        {15, 3, 2, "302: FL_FR_FC_LFE_LTM_RTM                             3.1.2  3x2",
         "302: FL_FR_FC    _LTM_RTM                             3.0.2  3x2"},
        {16, 4, 2, "222: FL_FR_LS_RS_LTM_RTM_LFE                          4.1.2  4x2",
         "222: FL_FR_LS_RS_LTM_RTM                              4.0.2  4x2"},
        {17, 3, 2, "312: FL_FR_FC_LFE_LTM_RTM_CS", "312: FL_FR_FC    _LTM_RTM_CS"},
        {18, 5, 2, "322: FL_FR_LS_RS_FC_LFE_LTM_RTM                       5.1.2  5x2",
         "322: FL_FR_LS_RS_FC    _LTM_RTM                       5.0.2  5x2"},
        {19, 2, 2, "232: FL_FR_LS_RS_LTM_RTM_LFE_CS", "232: FL_FR_LS_RS_LTM_RTM    _CS"},
        {20, 6, 2, "242: FL_FR_LS_RS_LB_RB_LTM_RTM_LFE                    6.1.2  6x2",
         "242: FL_FR_LS_RS_LB_RB_LTM_RTM                        6.0.2  6x2"},
        {21, 3, 2, "332: FL_FR_LS_RS_FC_LFE_CS_LTM_RTM", "332: FL_FR_LS_RS_FC    _CS_LTM_RTM"},
        {22, 7, 2, "342: FL_FR_LS_RS_FC_LFE_LB_RB_LTM_RTM                 7.1.2  7x2",
         "342: FL_FR_LS_RS_FC    _LB_RB_LTM_RTM                 7.0.2  7x2"},
        {23, 9, 2, "542: FL_FR_LS_RS_FC_LFE_LW_RW_LB_RB_LTM_RTM           9.1.2  9x2",
         "542: FL_FR_LS_RS_FC    _LW_RW_LB_RB_LTM_RTM           9.0.2  9x2"},
        {24, 4, 4, "224: FL_FR_LS_RS_LTF_RTF_LTR_RTR_LFE                  4.1.4  4x4",
         "224: FL_FR_LS_RS_LTF_RTF_LTR_RTR                      4.0.4  4x4"},
        {25, 5, 4, "324: FL_FR_LS_RS_FC_LFE_LTF_RTF_LTR_RTR               5.1.4  5x4",
         "324: FL_FR_LS_RS_FC    _LTF_RTF_LTR_RTR               5.0.4  5x4"},
        {26, 6, 4, "244: FL_FR_LS_RS_LB_RB_LTF_RTF_LTR_RTR_LFE            6.1.4  6x4",
         "244: FL_FR_LS_RS_LB_RB_LTF_RTF_LTR_RTR                6.0.4  6x4"},
        {27, 7, 4, "344: FL_FR_LS_RS_FC_LFE_LB_RB_LTF_RTF_LTR_RTR         7.1.4  7x4",
         "344: FL_FR_LS_RS_FC    _LB_RB_LTF_RTF_LTR_RTR         7.0.4  7x4"},
        {28, 8, 4, "444: FL_FR_LS_RS_LW_RW_LB_RB_LTF_RTF_LTR_RTR_LFE      8.1.4",
         "444: FL_FR_LS_RS_LW_RW_LB_RB_LTF_RTF_LTR_RTR          8.0.4"},
        {29, 9, 4, "544: FL_FR_LS_RS_FC_LFE_LW_RW_LB_RB_LTF_RTF_LTR_RTR   9.1.4  9x4",
         "544: FL_FR_LS_RS_FC    _LW_RW_LB_RB_LTF_RTF_LTR_RTR   9.0.4  9x4"},
        {30, 7, 6, "346: FL_FR_LS_RS_FC_LFE_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR 7.1.6  7x6",
         "346: FL_FR_LS_RS_FC    _LB_RB_LTF_RTF_LTM_RTM_LTR_RTR 7.0.6  7x6"},
        {31, 6, 6, "246: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LFE    6.1.6  6x6",
         "246: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR        6.0.6  6x6"},
        {32, 4, 2, "420: FL_FR_LS_RS_LW_RW_LFE                            4.1.2   6wx",
         "420: FL_FR_LS_RS_LW_RW                                4.0.2   6wx"},
        {33, 4, 6, "226: FL_FR_LS_RS_LTF_RTF_LTM_RTM_LTR_RTR_LFE          4.1.6  4x6",
         "226: FL_FR_LS_RS_LTF_RTF_LTM_RTM_LTR_RTR              4.0.6  4x6"},
        {34, 5, 6, "326: FL_FR_LS_RS_FC_LFE_LTF_RTF_LTM_RTM_LTR_RTR       5.1.6  5x6",
         "326: FL_FR_LS_RS_FC    _LTF_RTF_LTM_RTM_LTR_RTR       5.0.6  5x6"},
        {35, 6, 2, "422: FL_FR_LS_RS_LW_RW_LTM_RTM_LFE                    6.1.2  6wx2",
         "422: FL_FR_LS_RS_LW_RW_LTM_RTM                        6.0.2  6wx2"},
        {36, 6, 4, "424: FL_FR_LS_RS_LW_RW_LTF_RTF_LTR_RTR_LFE            6.1.4  6wx4",
         "424: FL_FR_LS_RS_LW_RW_LTF_RTF_LTR_RTR                6.0.4  6wx4"},
        {37, 6, 6, "426: FL_FR_LS_RS_LW_RW_LTF_RTF_LTM_RTM_LTR_RTR_LFE    6.1.6  6wx6",
         "426: FL_FR_LS_RS_LW_RW_LTF_RTF_LTM_RTM_LTR_RTR        6.0.6  6wx6"},
        {38, 5, 2, "520: FL_FR_LS_RS_FC_LFE_LW_RW                         5.1.2   7wx",
         "520: FL_FR_LS_RS_FC    _LW_RW                         5.0.2   7wx"},
        {39, 7, 2, "522: FL_FR_LS_RS_FC_LFE_LW_RW_LTM_RTM                 7w.1.2 7wx2",
         "522: FL_FR_LS_RS_FC    _LW_RW_LTM_RTM                 7w.0.2 7wx2"},
        {40, 7, 4, "524: FL_FR_LS_RS_FC_LFE_LW_RW_LTF_RTF_LTR_RTR         7w.1.4 7wx4",
         "524: FL_FR_LS_RS_FC    _LW_RW_LTF_RTF_LTR_RTR         7w.0.4 7wx4"},
        {41, 7, 6, "526: FL_FR_LS_RS_FC_LFE_LW_RW_LTF_RTF_LTM_RTM_LTR_RTR 7w.1.6",
         "526: FL_FR_LS_RS_FC    _LW_RW_LTF_RTF_LTM_RTM_LTR_RTR 7w.0.6"},
        {42, 8, 2, "442: FL_FR_LS_RS_LW_RW_LB_RB_LTM_RTM_LFE              8.1.2  8x2",
         "442: FL_FR_LS_RS_LW_RW_LB_RB_LTM_RTM                  8.0.2  8x2"},
        {43, 9, 6, "916: FL_FR_LS_RS_FC_LFE_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW 9.1.6",
         "916: FL_FR_LS_RS_FC    _LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW 9.0.6"},
        {44, 8, 6, "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW_LFE 8.1.6",
         "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW     8.0.6"},
    };
    ASSERT_EQ(sizeof cases / sizeof cases[0], 45u);
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

TEST_F(SpeakerTest, CarriedOutWithAPauseThenAFilterReport) {
    const uchar msg[] = {0x06, 0x23, 0x02, 0x05, 0x00};
    testing::internal::CaptureStdout();
    doSpeakerLayoutMessage(&link, msg, 5);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(HasLogLine(
        log,
        "SpConfig: 5(0x05) 5.0.0 320: FL_FR_LS_RS_FC                                   5.0    5x"))
        << log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(doCheckSpeakerConfig(&link, &StateMutex), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
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
