#include "processor/json.h"

#include "common/public.h"

JsonObject* ToJsonObject(const char* text) {
    if (IsNull(text)) return nullptr;
    return json_tokener_parse(text);
}

bool FreeJsonObject(JsonObject* src) {
    if (IsNull(src)) return false;
    json_object_put(src);
    return true;
}

int GetJsonArrayLength(JsonObject* src) {
    // json-c asserts on a non-array; a reply of another shape is an empty list.
    if (!json_object_is_type(src, json_type_array)) return 0;
    return static_cast<int>(json_object_array_length(src));
}

JsonObject* GetJsonItem(JsonObject* src, int index) {
    if (index < 0 || !json_object_is_type(src, json_type_array)) return nullptr;
    return json_object_array_get_idx(src, static_cast<size_t>(index));
}

JsonObject* GetJsonObject(JsonObject* src, int index) {
    return GetJsonItem(src, index);
}

JsonObject* GetJsonObject(JsonObject* src, const char* name) {
    JsonObject* member = nullptr;
    if (IsNull(src) || IsNull(name)) return nullptr;
    if (!json_object_object_get_ex(src, name, &member)) return nullptr;
    return member;
}

int ToValue(JsonObject* src, int defaultValue) {
    return IsNull(src) ? defaultValue : json_object_get_int(src);
}

double ToDouble(JsonObject* src, double defaultValue) {
    return IsNull(src) ? defaultValue : json_object_get_double(src);
}

const char* ToText(JsonObject* src, const char* defaultValue) {
    return IsNull(src) ? defaultValue : json_object_get_string(src);
}

int GetJsonObjectValue(JsonObject* src, const char* name, int defaultValue) {
    return ToValue(GetJsonObject(src, name), defaultValue);
}

double GetJsonObjectDouble(JsonObject* src, const char* name, double defaultValue) {
    return ToDouble(GetJsonObject(src, name), defaultValue);
}

const char* GetJsonObjectText(JsonObject* src, const char* name) {
    return ToText(GetJsonObject(src, name), nullptr);
}

JsonObject* LoadJsonObject(const char* filename) {
    if (IsNull(filename)) return nullptr;
    return json_object_from_file(filename);
}
