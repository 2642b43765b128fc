#include "fake_processor.h"

#include <sys/ioctl.h>

#include <atomic>
#include <map>

#include "processor/gain.h"
#include "processor/speaker.h"

const char* const kThreeSlots =
    R"([{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},)"
    R"( {"index": 7, "filter_type": "dirac live bass control", "name": "Movie"},)"
    R"( {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}])";

namespace {

std::map<std::string, std::pair<std::string, int>> replies;
int linePeer = -1;
std::atomic<bool> sentWhileRunning{false};

int FakeProcessor(const std::string& line, bool, std::string* output) {
    int pending = 0;
    ioctl(linePeer, FIONREAD, &pending);
    if (pending > 0) sentWhileRunning = true;
    const std::string script = std::string(HALVANE_SH) + " ",
                      get = script + "http get \"" + DIRAC_HTTP_ROOT;
    const bool isGet = line.compare(0, get.size(), get) == 0;
    const std::string key =
        isGet ? line.substr(get.size(), line.find('"', get.size()) - get.size())
              : line.substr(line.compare(0, script.size(), script) ? 0 : script.size());
    auto it = replies.find(key);
    if (it == replies.end()) return isGet ? 1 : 0;
    *output = it->second.first;
    return it->second.second;
}

}  // namespace

void SetReply(const std::string& key, const std::string& body, int status) {
    replies[key] = {body, status};
}

void ProcessorTest::SetUp() {
    replies.clear();
    OpenTestLine(&line);
    linePeer = line.peer;
    sentWhileRunning = false;
    InstallRecorder(FakeProcessor);
    IsDebug = 0;
    TestTimeDivisor = 1000;  // the layout's one-second pause
    SpeakerInfos[0] = SpeakerInfos[1] = SpeakerInfos[2] = 0;
    DiracGainInfo[0] = DiracGainInfo[1] = 0;
}

void ProcessorTest::TearDown() {
    EXPECT_FALSE(sentWhileRunning) << "a frame went out before a command line ended";
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
