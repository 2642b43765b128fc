#include "processor/json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "common/log.h"
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

namespace {

// The whole file into text (NUL-terminated); false for anything but a
// regular file of at most kJsonFileMax bytes.
bool ReadSmallFile(int fd, char* text) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kJsonFileMax) return false;
    size_t count = 0;
    // One byte more than allowed: a file that grew after fstat is refused too.
    while (count <= static_cast<size_t>(kJsonFileMax)) {
        ssize_t n = read(fd, text + count, kJsonFileMax + 1 - count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        count += static_cast<size_t>(n);
    }
    if (count > static_cast<size_t>(kJsonFileMax)) return false;
    text[count] = '\0';
    return true;
}

}  // namespace

JsonObject* LoadJsonObject(const char* filename) {
    if (IsNull(filename)) return nullptr;
    const int fd = open(filename, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno != ELOOP) return nullptr;  // gone meanwhile, or unreadable
    std::unique_ptr<char[]> text(new char[kJsonFileMax + 2]);
    const bool ok = fd >= 0 && ReadSmallFile(fd, text.get());
    if (fd >= 0) close(fd);
    if (!ok) {
        Log("Ignored %s: not a regular file of at most %d bytes\n", filename, kJsonFileMax);
        return nullptr;
    }
    return json_tokener_parse(text.get());
}
