// Reading the processor's JSON replies and the speaker settings file,
// over json-c. Every function accepts a null input and then gives its
// default, so a failed request simply reads as "all defaults".
//
// Ownership: what ToJsonObject, GetHttpJsonObject and LoadJsonObject return
// belongs to the caller (release it with FreeJsonObject, or hold it in a
// JsonPtr); values reached inside it with GetJsonObject or GetJsonItem
// belong to their parent and are never released on their own.
#pragma once

#include <json-c/json.h>

#include <memory>

typedef json_object JsonObject;

JsonObject* ToJsonObject(const char* text);
bool FreeJsonObject(JsonObject* src);

// 0 for null and for anything that is not an array.
int GetJsonArrayLength(JsonObject* src);
// Null for a null or non-array value, a negative index or one past the end.
JsonObject* GetJsonItem(JsonObject* src, int index);
// The member `name` of an object; null when src is no object or lacks it.
JsonObject* GetJsonObject(JsonObject* src, const char* name);

// A JSON true reads as 1 and false as 0.
int ToValue(JsonObject* src, int defaultValue);
double ToDouble(JsonObject* src, double defaultValue);
// The text belongs to src.
const char* ToText(JsonObject* src, const char* defaultValue);

int GetJsonObjectValue(JsonObject* src, const char* name, int defaultValue);
double GetJsonObjectDouble(JsonObject* src, const char* name, double defaultValue);
// Null when the member is absent.
const char* GetJsonObjectText(JsonObject* src, const char* name);

// Null for a null name or a file that cannot be read or parsed. Only a
// regular file of at most kJsonFileMax bytes is read, and never through a
// final symbolic link or with a blocking open (a FIFO, a device); anything
// else is logged and read as null.
constexpr int kJsonFileMax = 64 * 1024;
JsonObject* LoadJsonObject(const char* filename);

// Owning holder for a JSON value the caller obtained.
struct JsonDeleter {
    void operator()(JsonObject* src) const { FreeJsonObject(src); }
};
using JsonPtr = std::unique_ptr<JsonObject, JsonDeleter>;
