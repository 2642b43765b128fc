#include "fake_processor.h"

#include <map>

#include "common/config.h"

const char* const kThreeSlots =
    R"([{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},)"
    R"( {"index": 7, "filter_type": "dirac live bass control", "name": "Movie"},)"
    R"( {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}])";

namespace {

std::map<std::string, std::pair<std::string, int>> replies;

}  // namespace

int FakeProcessor(const std::string& line, bool, std::string* output) {
    const std::string script = ScriptLine(""), get = ScriptLine("http get \"") + DIRAC_HTTP_ROOT;
    const bool isGet = line.compare(0, get.size(), get) == 0;
    const std::string key =
        isGet ? line.substr(get.size(), line.find('"', get.size()) - get.size())
              : line.substr(line.compare(0, script.size(), script) ? 0 : script.size());
    auto it = replies.find(key);
    if (it == replies.end()) return isGet ? 1 : 0;
    *output = it->second.first;
    return it->second.second;
}

void SetReply(const std::string& key, const std::string& body, int status) {
    replies[key] = {body, status};
}

void ClearReplies() {
    replies.clear();
}

std::string GetLine(const std::string& path) {
    return ScriptLine("http get \"" + std::string(DIRAC_HTTP_ROOT) + path +
                      "\" \"Content-Type:application/json\"");
}

std::string PutLine(const std::string& path, const std::string& key, int value) {
    return ScriptLine("http put \"" + std::string(DIRAC_HTTP_ROOT) + path + "?" + key + "=" +
                      std::to_string(value) + "&id=8090\"");
}

std::string ScriptLine(const std::string& words) {
    return std::string(HALVANE_SH) + " " + words;
}

std::vector<uchar> WithName(std::vector<uchar> head, const std::string& name) {
    head.insert(head.end(), name.begin(), name.end());
    head.push_back(0);
    return head;
}

bool HasLogLine(const std::string& log, const std::string& line) {
    return ("\n" + log).find("\n" + line + "\n") != std::string::npos;
}

void ProcessorTest::SetUp() {
    replies.clear();
    InstallRecorder(FakeProcessor);
    IsQZ = true;
    IsDebug = 0;
    TestTimeDivisor = 1000;  // the layout's one-second pause
    SpeakerInfos[0] = SpeakerInfos[1] = SpeakerInfos[2] = 0;
    DiracGainInfo[0] = DiracGainInfo[1] = 0;
    OpenTestLine(&line);
}

void ProcessorTest::TearDown() {
    RemoveRecorder();
    TestTimeDivisor = 1;
    CloseTestLine(&line);
}

Bytes ProcessorTest::Reply(uchar addr) {
    std::string error;
    const std::vector<WireFrame> frames = SentFrames(&line, &error);
    EXPECT_EQ(error, "");
    EXPECT_LE(frames.size(), 1u);
    if (frames.empty()) return {};
    EXPECT_EQ(frames[0].addr, addr);
    return frames[0].payload;
}
