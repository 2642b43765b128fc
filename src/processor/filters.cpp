#include "processor/filters.h"

#include <cstring>

#include "common/log.h"
#include "link/byteorder.h"
#include "processor/http.h"

namespace {

constexpr int kCaptureSize = 16384;  // one HTTP reply
constexpr uchar kNoSlot = 0xFF;      // the processor named no active slot

// Copies a slot name, cut so that it and its NUL fit.
void CopyName(uchar* dest, size_t destSize, const char* name) {
    if (IsNull(dest) || destSize == 0) return;
    size_t n = IsNull(name) ? 0 : strnlen(name, destSize - 1);
    if (n > 0) memcpy(dest, name, n);
    dest[n] = '\0';
}

const char* NameAt(const uchar* src) {
    return reinterpret_cast<const char*>(src);
}

int NameLength(const uchar* src) {
    return static_cast<int>(strlen(NameAt(src)));
}

JsonObject* FetchJson(char (&reply)[kCaptureSize], const char* uri) {
    return GetHttpJsonObject(reply, kCaptureSize, uri);
}

}  // namespace

void doGetDiracSlotInfo(uchar* dest, size_t destSize, JsonObject* slots, uchar* index,
                        bool isDiracIndex, bool autoFree) {
    JsonPtr owned(autoFree ? slots : nullptr);
    CopyName(dest, destSize, nullptr);
    if (IsNull(index)) return;
    const int count = ToUChar(GetJsonArrayLength(slots));
    for (int i = 0; i < count; ++i) {
        JsonObject* slot = GetJsonItem(slots, i);
        // The MCU counts positions; the processor has indices of its own.
        // Compared whole: a processor index 299 is not slot 43.
        const int number = isDiracIndex ? GetJsonObjectValue(slot, "index", i) : i;
        if (number != *index) continue;
        const uchar code = GetSlotTypeCode(GetJsonObjectText(slot, "filter_type"));
        *index = static_cast<uchar>((code << 4) + (i & 0x0F));
        CopyName(dest, destSize, GetJsonObjectText(slot, "name"));
        return;
    }
}

void doGetDiracFilterInfo(uchar* dest, size_t destSize, JsonObject* slots, JsonObject* active,
                          bool autoFree) {
    JsonPtr ownedActive(autoFree ? active : nullptr);
    if (IsNull(dest) || destSize < 2) {
        FreeJsonObject(slots);
        return;
    }
    // The slot byte carries 0..255; a larger index would name another slot.
    const int index = GetJsonObjectValue(active, "index", kNoSlot);
    if (index < 0 || index > kNoSlot) {
        Log("DiracFilter: active slot index %d does not fit a byte, reported as none\n", index);
    }
    dest[0] = (index < 0 || index > kNoSlot) ? kNoSlot : static_cast<uchar>(index);
    doGetDiracSlotInfo(dest + 1, destSize - 1, slots, dest, true, true);
}

int doReportDiracFilterNum(TtyData* data, uchar addr) {
    char reply[kCaptureSize];
    return doReportDiracFilterNumber(data, addr, FetchJson(reply, "/api/list-slots"));
}

int doReportDiracFilterNumber(TtyData* data, uchar addr, JsonObject* slots) {
    JsonPtr list(slots);
    char reply[kCaptureSize];
    JsonPtr filtering(FetchJson(reply, "/api/filtering"));
    JsonPtr active(FetchJson(reply, "/api/active-slot"));

    uchar payload[kFilterReplySize] = {0x13, 0x02, 0x02};
    payload[3] = ToUChar(GetJsonObjectValue(filtering.get(), "enabled", 255));
    payload[4] = ToUChar(GetJsonArrayLength(list.get()));
    filtering.reset();
    doGetDiracFilterInfo(payload + 5, sizeof payload - 5, list.release(), active.release(), true);

    const uchar slot = payload[5];
    const bool none = slot == kNoSlot;
    Log("DiracFilter: enabled=%d count=%d index=%d type=%d name=%s\n", payload[3], payload[4],
        none ? -1 : slot & 0x0F, none ? -1 : slot >> 4, NameAt(payload + 6));
    return SendPayload(data, addr, payload, 7 + NameLength(payload + 6));
}

int doReportDiracFilterInfo(TtyData* data, uchar addr, uchar index) {
    uchar payload[kFilterReplySize] = {0x13, 0x02, 0x0C, 0x00, index};
    char reply[kCaptureSize];
    JsonObject* list = FetchJson(reply, "/api/list-slots");
    doGetDiracSlotInfo(payload + 5, sizeof payload - 5, list, &payload[4], false, true);
    Log("DiracFilterInfo: index=%d type=%d name=%s\n", payload[4] & 0x0F, payload[4] >> 4,
        NameAt(payload + 5));
    return SendPayload(data, addr, payload, 6 + NameLength(payload + 5));
}

int doReportDiracFilterCurrInfo(TtyData* data, uchar addr) {
    uchar payload[kFilterReplySize] = {0x13, 0x02, 0x16, 0x00};
    char reply[kCaptureSize];
    JsonObject* list = FetchJson(reply, "/api/list-slots");
    JsonObject* active = FetchJson(reply, "/api/active-slot");
    doGetDiracFilterInfo(payload + 4, sizeof payload - 4, list, active, true);
    Log("DiracFilterInfo: index=%d type=%d name=%s\n", payload[4] & 0x0F, payload[4] >> 4,
        NameAt(payload + 5));
    return SendPayload(data, addr, payload, 6 + NameLength(payload + 5));
}

int doReportDiracFilterSetCurrInfo(TtyData* data, uchar addr, uchar enabled, uchar index) {
    char reply[kCaptureSize];
    JsonObject* list = FetchJson(reply, "/api/list-slots");
    // The MCU names a position; the processor wants its own slot index.
    const int id = GetJsonObjectValue(GetJsonItem(list, index), "index", index);
    Log("DiracFilterSetCurrInfo: enabled=%d index=%d %d\n", enabled, index, id);
    PutHttp(reply, kCaptureSize, "/api/filtering", "enabled", enabled != 0 ? 1 : 0);
    PutHttp(reply, kCaptureSize, "/api/active-slot", "index", id);
    return doReportDiracFilterNumber(data, addr, list);
}
