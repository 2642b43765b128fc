// The framed console test's typed lines, as they become payloads.
#include <gtest/gtest.h>

#include <cstring>

#include "app/main.h"
#include "link/frame.h"
#include "wire.h"

namespace {

TEST(Console, TypedLines) {
    const struct {
        const char* line;
        const char* payload;
    } cases[] = {
        {"05 0B 00\n", "05 0B 00"},
        {"05 0B 7", "05 0B 70"},  // a lone last digit is the high one
        {"05 0b 7\n", "05 0B 70"},
        {"ab\n", "61 62 0A"},  // no blank third: the bytes as typed
    };
    for (const auto& c : cases) {
        uchar out[kFrameBufferSize];
        const int n = GetConsolePayload(out, c.line, static_cast<int>(strlen(c.line)));
        EXPECT_EQ(Bytes(out, out + n), Hex(c.payload)) << c.line;
    }
}

}  // namespace
