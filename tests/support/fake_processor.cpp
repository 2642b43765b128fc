#include "fake_processor.h"

#include <map>
#include <sstream>

#include "common/config.h"

const char* const kThreeSlots =
    R"([{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},)"
    R"( {"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"},)"
    R"( {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}])";

namespace {

std::map<std::string, std::pair<std::string, int>> replies;

int FakeProcessor(const std::string& line, bool, std::string* output) {
    const std::string get = std::string(" http get \"") + DIRAC_HTTP_ROOT;
    const size_t at = line.find(get);
    if (at == std::string::npos) return 0;
    const size_t start = at + get.size();
    auto it = replies.find(line.substr(start, line.find('"', start) - start));
    if (it == replies.end()) return 1;
    *output = it->second.first;
    return it->second.second;
}

}  // namespace

void SetReply(const std::string& path, const std::string& body, int status) {
    replies[path] = {body, status};
}

const std::vector<std::string>& RunLines() {
    return RecordedLines();
}

std::string GetLine(const std::string& path) {
    return std::string(HALVANE_SH) + " http get \"" + DIRAC_HTTP_ROOT + path +
           "\" \"Content-Type:application/json\"";
}

std::string PutLine(const std::string& path, const std::string& key, int value) {
    return std::string(HALVANE_SH) + " http put \"" + DIRAC_HTTP_ROOT + path + "?" + key + "=" +
           std::to_string(value) + "&id=8090\"";
}

void ClearReplies() {
    replies.clear();
}

std::vector<uchar> WithName(std::vector<uchar> head, const std::string& name) {
    head.insert(head.end(), name.begin(), name.end());
    head.push_back(0);
    return head;
}

bool HasLogLine(const std::string& log, const std::string& line) {
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) {
        if (l == line) return true;
    }
    return false;
}

void ProcessorTest::SetUp() {
    replies.clear();
    InstallRecorder(FakeProcessor);
    IsQZ = true;
    TestTimeDivisor = 1000;
    SpeakerInfos[0] = SpeakerInfos[1] = SpeakerInfos[2] = 0;
    DiracGainInfo[0] = DiracGainInfo[1] = 0;
    OpenTestLine(&line);
}

void ProcessorTest::TearDown() {
    RemoveRecorder();
    TestTimeDivisor = 1;
    CloseTestLine(&line);
}

std::vector<SentFrame> ProcessorTest::Frames() {
    std::string error;
    std::vector<SentFrame> frames = SentFrames(&line, &error);
    EXPECT_EQ(error, "");
    return frames;
}
