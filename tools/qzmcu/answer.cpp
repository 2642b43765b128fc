// Which reply completes a request, which requests are dangerous, and the
// interactive line's words.
#include <cstring>

#include "qzmcu/request.h"

namespace {

struct AnswerRow {
    std::array<uchar, 3> request;
    int requestSize;
    AnswerRule answer;
};

constexpr AnswerRow kAnswers[] = {
    {{0x05, 0x0B}, 2, {{0x05, 0x12}, 2, false}},
    {{0x05, 0x0C}, 2, {{0x05, 0x13}, 2, false}},
    {{0x13, 0x01, 0x01}, 3, {{0x13, 0x01, 0x02}, 3, false}},
    {{0x13, 0x02, 0x01}, 3, {{0x13, 0x02, 0x02}, 3, false}},
    {{0x13, 0x02, 0x0B}, 3, {{0x13, 0x02, 0x0C}, 3, false}},
    {{0x13, 0x02, 0x14}, 3, {{0x13, 0x02, 0x02}, 3, false}},
    {{0x13, 0x02, 0x15}, 3, {{0x13, 0x02, 0x16}, 3, false}},
    {{0x13, 0x03, 0x00}, 3, {{0x13, 0x03, 0x02}, 3, false}},
    {{0x13, 0x05, 0x02}, 3, {{0x13, 0x05, 0x03}, 3, false}},
    {{0x13, 0x05, 0x05}, 3, {{0x13, 0x05, 0x06}, 3, false}},
    {{0x13, 0x06, 0x00}, 3, {{0x13, 0x06, 0x02}, 3, false}},
    {{0x13, 0x06, 0x01}, 3, {{0x13, 0x06, 0x02}, 3, false}},
    {{0x10, 0x01, 0x01}, 3, {{0x10, 0x01, 0x02}, 3, true}},
    {{0x10, 0x02, 0x01}, 3, {{0x10, 0x02, 0x02}, 3, false}},
    {{0x10, 0x03, 0x01}, 3, {{0x10, 0x03, 0x02}, 3, false}},
    {{0x10, 0x04, 0x01}, 3, {{0x10, 0x04, 0x02}, 3, false}},
    {{0x10, 0x05, 0x01}, 3, {{0x10, 0x05, 0x02}, 3, false}},
};

struct DangerRow {
    std::array<uchar, 4> prefix;
    int size;
};
constexpr DangerRow kDangerous[] = {
    {{0x12, 0x01, 0x02, 0x00}, 4},  // power-off
    {{0x0C, 0x01}, 2},              // software update
};

bool StartsWith(const uchar* payload, int size, const uchar* prefix, int prefixSize) {
    return payload != nullptr && size >= prefixSize && memcmp(payload, prefix, prefixSize) == 0;
}

}  // namespace

AnswerRule GetAnswerRule(const uchar* payload, int size) {
    for (const AnswerRow& row : kAnswers) {
        if (StartsWith(payload, size, row.request.data(), row.requestSize)) return row.answer;
    }
    return AnswerRule{{}, 0, false};
}

bool IsAnswer(const AnswerRule& rule, const uchar* payload, int size) {
    if (rule.codeSize <= 0 || !StartsWith(payload, size, rule.code.data(), rule.codeSize))
        return false;
    // A list is complete with the page whose number is the page count (an
    // empty list has 0 of 0).
    return !rule.wholeList || (size >= 6 && payload[4] == payload[5]);
}

bool IsDangerous(const uchar* payload, int size) {
    for (const DangerRow& row : kDangerous) {
        if (StartsWith(payload, size, row.prefix.data(), row.size)) return true;
    }
    return false;
}

bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        *error = "unterminated quote";
        return false;
    }
    if (inWord) words->push_back(word);
    return true;
}

std::string GetHelpText() {
    return "commands (one a line; several on the command line):\n"
           "  version | date | uuid | identity ID8 NAME | mac | time | settime [YYYY-MM-DD "
           "HH:MM:SS [TZ]]\n"
           "  state | filters | filter N | active | select N on|off | volume [DB] | layout CODE "
           "LFE\n"
           "  rate HZ | reset | wifi list|status|disconnect|reconnect | wifi connect SSID BSSID "
           "[PASSWORD]\n"
           "  lan on|off|status | send HEX... | sleep MS | poweroff | update (both need --yes)\n"
           "  help | quit\n";
}
