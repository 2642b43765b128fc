// Processor requests through the script: a failing, silent or garbled script
// gives no JSON (every value then takes its default).
#include "processor/http.h"

#include <gtest/gtest.h>

#include "fake_processor.h"

using HttpTest = ProcessorTest;

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
