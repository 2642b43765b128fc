#include "fake_processor.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "common/config.h"
#include "link/frame.h"
#include "processor/exec.h"

const char* const kThreeSlots =
    R"([{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},)"
    R"( {"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"},)"
    R"( {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}])";

namespace {

std::map<std::string, FakeReply> replies;
std::vector<std::string> lines;

const FakeReply* FindReply(const std::string& cmd) {
    const std::string get = std::string(" http get \"") + DIRAC_HTTP_ROOT;
    size_t at = cmd.find(get);
    if (at == std::string::npos) return nullptr;
    size_t start = at + get.size();
    std::string path = cmd.substr(start, cmd.find('"', start) - start);
    auto it = replies.find(path);
    return it == replies.end() ? nullptr : &it->second;
}

// Behaves as Exec does: at most *size - 1 bytes, always terminated.
int FakeRunner(char* dest, int* size, const char* cmd) {
    lines.emplace_back(cmd);
    const bool isGet = std::string(cmd).find(" http get ") != std::string::npos;
    const FakeReply* reply = FindReply(cmd);
    if (dest != nullptr && size != nullptr && *size > 0) {
        std::string body = reply ? reply->body : "";
        size_t n = std::min(body.size(), static_cast<size_t>(*size - 1));
        memcpy(dest, body.data(), n);
        dest[n] = '\0';
        *size = static_cast<int>(n);
    }
    if (reply != nullptr) return reply->status;
    return isGet ? 1 : 0;
}

}  // namespace

void SetReply(const std::string& path, const std::string& body, int status) {
    replies[path] = FakeReply{body, status};
}

void ClearReplies() {
    replies.clear();
}

const std::vector<std::string>& RunLines() {
    return lines;
}

std::string GetLine(const std::string& path) {
    return std::string(HALVANE_SH) + " http get \"" + DIRAC_HTTP_ROOT + path +
           "\" \"Content-Type:application/json\"";
}

std::string PutLine(const std::string& path, const std::string& key, int value) {
    return std::string(HALVANE_SH) + " http put \"" + DIRAC_HTTP_ROOT + path + "?" + key + "=" +
           std::to_string(value) + "&id=8090\"";
}

std::vector<SentFrame> ReadFrames(int fd) {
    std::vector<uchar> bytes;
    uchar chunk[8192];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::vector<SentFrame> frames;
    size_t at = 0;
    while (at + 6 <= bytes.size()) {
        EXPECT_EQ(bytes[at], kFrameStart) << "frame start at " << at;
        if (bytes[at] != kFrameStart) break;
        const bool isLong = IsLongLength(bytes[at + 3]);
        const int L = isLong ? (bytes[at + 3] & 0x3F) * 256 + bytes[at + 4] : bytes[at + 3];
        const size_t total = static_cast<size_t>(L) + (isLong ? 8 : 6);
        EXPECT_LE(at + total, bytes.size()) << "truncated frame";
        if (at + total > bytes.size()) break;
        EXPECT_TRUE(IsValidFrame(&bytes[at], L, isLong)) << "bad checksum or end byte";
        const uchar* payload = &bytes[at + (isLong ? 5 : 4)];
        frames.push_back(SentFrame{bytes[at + 1], bytes[at + 2], {payload, payload + L}});
        at += total;
    }
    EXPECT_EQ(at, bytes.size()) << "stray bytes after the frames";
    return frames;
}

std::vector<uchar> Bytes(std::initializer_list<int> bytes) {
    std::vector<uchar> out;
    for (int b : bytes) out.push_back(static_cast<uchar>(b));
    return out;
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
    lines.clear();
    SetExecRunner(FakeRunner);
    IsQZ = true;
    SpeakerInfos[0] = SpeakerInfos[1] = SpeakerInfos[2] = 0;
    DiracGainInfo[0] = DiracGainInfo[1] = 0;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    InitTtyData(&link, fds[0], "", "");
    peer = fds[1];
}

void ProcessorTest::TearDown() {
    SetExecRunner(nullptr);
    close(link.handle.load());
    close(peer);
    pthread_mutex_destroy(&link.sendMutex);
}
