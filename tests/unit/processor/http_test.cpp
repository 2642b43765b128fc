#include "processor/http.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_processor.h"
#include "processor/exec.h"

using HttpTest = ProcessorTest;

TEST_F(HttpTest, GetCapturesTheBody) {
    SetReply("/api/active-slot", R"({"index": 7})");
    char dest[64];
    EXPECT_EQ(GetHttp(dest, sizeof dest, "/api/active-slot"), 12);
    EXPECT_STREQ(dest, R"({"index": 7})");
    ASSERT_EQ(RunLines().size(), 1u);
    EXPECT_EQ(RunLines()[0],
              "/opt/qz/bin/halvane.sh http get \"http://127.0.0.1:8090/api/active-slot\" "
              "\"Content-Type:application/json\"");
}

TEST_F(HttpTest, FailedGetLeavesNoText) {
    SetReply("/api/speaker", R"({"error": 1})", 2);
    char dest[64] = "stale";
    EXPECT_EQ(GetHttp(dest, sizeof dest, "/api/speaker"), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(GetHttpJsonObject(dest, sizeof dest, "/api/speaker"), nullptr);
}

TEST_F(HttpTest, BodyCutToTheArea) {
    SetReply("/api/list-slots", std::string(100, 'x'));
    char dest[16];
    EXPECT_EQ(GetHttp(dest, sizeof dest, "/api/list-slots"), 15);
    EXPECT_EQ(strlen(dest), 15u);
}

TEST_F(HttpTest, PutLine) {
    EXPECT_EQ(PutHttp(nullptr, 0, "/api/speaker", "gain", -12), 0);
    ASSERT_EQ(RunLines().size(), 1u);
    EXPECT_EQ(
        RunLines()[0],
        "/opt/qz/bin/halvane.sh http put \"http://127.0.0.1:8090/api/speaker?gain=-12&id=8090\"");
    SetReply("/api/speaker", "", 1);  // only GETs are served; a PUT of the fake succeeds
    char dest[32];
    EXPECT_EQ(PutHttp(dest, sizeof dest, "/api/filtering", "enabled", 1), 0);
    EXPECT_EQ(RunLines()[1], PutLine("/api/filtering", "enabled", 1));
}

TEST_F(HttpTest, JsonOnlyFromABody) {
    char dest[64];
    SetReply("/api/filtering", "");  // exit 0, nothing printed
    EXPECT_EQ(GetHttpJsonObject(dest, sizeof dest, "/api/filtering"), nullptr);
    SetReply("/api/filtering", "<html>");
    EXPECT_EQ(GetHttpJsonObject(dest, sizeof dest, "/api/filtering"), nullptr);
    SetReply("/api/filtering", R"({"enabled": true})");
    JsonPtr obj(GetHttpJsonObject(dest, sizeof dest, "/api/filtering"));
    EXPECT_EQ(GetJsonObjectValue(obj.get(), "enabled", 255), 1);
}

TEST_F(HttpTest, PutFailure) {
    InstallRecorder([](const std::string&, bool, std::string*) { return 256; });
    EXPECT_EQ(PutHttp(nullptr, 0, "/api/speaker", "gain", 0), -1);
}

TEST(FileExist, Cases) {
    EXPECT_FALSE(FileExist(nullptr));
    EXPECT_FALSE(FileExist(""));
    char dir[] = "/tmp/qzfileXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_TRUE(FileExist(dir));
    EXPECT_FALSE(FileExist((std::string(dir) + "/connected").c_str()));
    rmdir(dir);
}
