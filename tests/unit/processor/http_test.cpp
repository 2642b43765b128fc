// Processor requests through the script: what a failing or chatty script gives.
#include "processor/http.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_processor.h"

using HttpTest = ProcessorTest;

TEST_F(HttpTest, GetCapturesTheBodyCutToTheArea) {
    SetReply("/api/list-slots", std::string(100, 'x'));
    char dest[16];
    EXPECT_EQ(GetHttp(dest, sizeof dest, "/api/list-slots"), 15);
    EXPECT_EQ(strlen(dest), 15u);
}

TEST_F(HttpTest, FailedEmptyOrGarbledRepliesGiveNoJson) {
    char dest[64] = "stale";
    SetReply("/api/speaker", R"({"error": 1})", 2);
    EXPECT_EQ(GetHttp(dest, sizeof dest, "/api/speaker"), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(GetHttpJsonObject(dest, sizeof dest, "/api/speaker"), nullptr);
    for (const char* body : {"", "<html>"}) {  // the script exits 0
        SetReply("/api/filtering", body);
        EXPECT_EQ(GetHttpJsonObject(dest, sizeof dest, "/api/filtering"), nullptr) << body;
    }
}

TEST_F(HttpTest, PutFailsOnTheScriptsStatus) {
    EXPECT_EQ(PutHttp(nullptr, 0, "/api/speaker", "gain", -12), 0);
    InstallRecorder([](const std::string&, bool, std::string*) { return 256; });
    EXPECT_EQ(PutHttp(nullptr, 0, "/api/speaker", "gain", 0), -1);
}
