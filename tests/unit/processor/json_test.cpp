#include "processor/json.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

TEST(Json, ParseAndFree) {
    EXPECT_EQ(ToJsonObject(nullptr), nullptr);
    EXPECT_EQ(ToJsonObject("{\"index\": "), nullptr);
    EXPECT_EQ(ToJsonObject(""), nullptr);
    JsonObject* obj = ToJsonObject("{\"index\": 3}");
    ASSERT_NE(obj, nullptr);
    EXPECT_TRUE(FreeJsonObject(obj));
    EXPECT_FALSE(FreeJsonObject(nullptr));
}

TEST(Json, ArraysAndNonArrays) {
    JsonPtr list(ToJsonObject(R"([{"index": 4}, 5, "x"])"));
    EXPECT_EQ(GetJsonArrayLength(list.get()), 3);
    EXPECT_EQ(GetJsonArrayLength(nullptr), 0);
    EXPECT_EQ(GetJsonObjectValue(GetJsonItem(list.get(), 0), "index", -1), 4);
    EXPECT_EQ(GetJsonObject(list.get(), 1), GetJsonItem(list.get(), 1));
    EXPECT_EQ(GetJsonItem(list.get(), 3), nullptr);
    EXPECT_EQ(GetJsonItem(list.get(), -1), nullptr);
    EXPECT_EQ(GetJsonItem(nullptr, 0), nullptr);
    // A reply of another shape reads as an empty list, not a crash.
    JsonPtr object(ToJsonObject(R"({"slots": [1, 2]})"));
    EXPECT_EQ(GetJsonArrayLength(object.get()), 0);
    EXPECT_EQ(GetJsonItem(object.get(), 0), nullptr);
    JsonPtr number(ToJsonObject("12"));
    EXPECT_EQ(GetJsonArrayLength(number.get()), 0);
}

TEST(Json, MembersAndDefaults) {
    JsonPtr obj(ToJsonObject(
        R"({"enabled": true, "off": false, "index": 7, "gain": -7.5, "name": "Movie", "none": null})"));
    struct Case {
        const char* key;
        int want;
    } ints[] = {{"enabled", 1}, {"off", 0},       {"index", 7},
                {"gain", -7},   {"missing", 255}, {"none", 255}};
    for (const Case& c : ints)
        EXPECT_EQ(GetJsonObjectValue(obj.get(), c.key, 255), c.want) << c.key;
    EXPECT_EQ(GetJsonObjectValue(nullptr, "index", 255), 255);
    EXPECT_DOUBLE_EQ(GetJsonObjectDouble(obj.get(), "gain", -37.0), -7.5);
    EXPECT_DOUBLE_EQ(GetJsonObjectDouble(obj.get(), "missing", -37.0), -37.0);
    EXPECT_DOUBLE_EQ(GetJsonObjectDouble(nullptr, "gain", -37.0), -37.0);
    EXPECT_STREQ(GetJsonObjectText(obj.get(), "name"), "Movie");
    EXPECT_EQ(GetJsonObjectText(obj.get(), "missing"), nullptr);
    EXPECT_EQ(GetJsonObjectText(nullptr, "name"), nullptr);
    EXPECT_STREQ(ToText(nullptr, "dflt"), "dflt");
    EXPECT_EQ(ToValue(nullptr, -3), -3);
    EXPECT_DOUBLE_EQ(ToDouble(nullptr, 1.5), 1.5);
    EXPECT_EQ(GetJsonObject(obj.get(), nullptr), nullptr);
    JsonPtr list(ToJsonObject("[1]"));
    EXPECT_EQ(GetJsonObject(list.get(), "index"), nullptr);
}

TEST(Json, LoadFile) {
    EXPECT_EQ(LoadJsonObject(nullptr), nullptr);
    char dir[] = "/tmp/qzjsonXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string good = std::string(dir) + "/speaker.json";
    const std::string bad = std::string(dir) + "/bad.json";
    FILE* f = fopen(good.c_str(), "w");
    fputs("{\"gain\": -12}", f);
    fclose(f);
    f = fopen(bad.c_str(), "w");
    fputs("{gain", f);
    fclose(f);
    JsonPtr obj(LoadJsonObject(good.c_str()));
    EXPECT_EQ(GetJsonObjectValue(obj.get(), "gain", -37), -12);
    EXPECT_EQ(LoadJsonObject(bad.c_str()), nullptr);
    EXPECT_EQ(LoadJsonObject((std::string(dir) + "/absent.json").c_str()), nullptr);
    unlink(good.c_str());
    unlink(bad.c_str());
    rmdir(dir);
}
