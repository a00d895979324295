#include "replay_base.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "caster_process.h"
#include "stream_frames.h"
#include "support/rtcm_walk.h"

namespace {

bool isObservation(uint32_t n)
{
    return (n >= 1001 && n <= 1004) || (n >= 1009 && n <= 1012) || (n >= 1071 && n <= 1127);
}

// The bit that says more observation messages of the same epoch follow.
bool moreFollow(const uint8_t* frame, uint32_t n)
{
    if (n >= 1009 && n <= 1012) return rtcmBits(frame, 51, 1) != 0;   // 27-bit epoch
    return rtcmBits(frame, 54, 1) != 0;                                // 30-bit epoch
}

void closeWithReset(int fd)
{
    linger l {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

}   // namespace

// The tag file's layout is the one Debian's str2str writes itself with
// `-out file://path::T`: a 64-byte header (its last 4 bytes the start
// tick), a 12-byte start time, then per chunk its tick in ms and the file
// position where it begins, 4 bytes each.
bool writeTimedRecording(const std::string& path, const std::vector<RecordedEpoch>& epochs)
{
    std::string data, tag(64, '\0');
    std::memcpy(tag.data(), "TIMETAG RTKLIB 2.4.3", 20);
    tag.append(12, '\0');
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) tag += char((v >> (8 * i)) & 0xFF);
    };
    for (size_t k = 0; k < epochs.size(); ++k) {
        put32(uint32_t(k * 1000));
        put32(uint32_t(data.size()));
        data += epochs[k].bytes;
    }
    std::ofstream(path, std::ios::binary) << data;
    std::ofstream(path + ".tag", std::ios::binary) << tag;
    return true;
}

bool sendAll(int fd, const char* data, size_t n)
{
    while (n > 0) {
        ssize_t k = send(fd, data, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        data += k;
        n -= size_t(k);
    }
    return true;
}

double msSinceStart()
{
    static const auto origin = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin)
        .count();
}

std::vector<RecordedEpoch> cutIntoEpochs(const std::vector<uint8_t>& recording)
{
    std::vector<RecordedEpoch> epochs;
    RecordedEpoch current;
    for (const RtcmWalkFrame& f : walkRtcmFrames(recording)) {
        const uint8_t* frame = &recording[f.offset];
        current.bytes.append(reinterpret_cast<const char*>(frame), f.length);
        uint32_t n = f.messageNumber;
        if (n == 1004 || n == 1074) current.gpsTowMs = rtcmGpsTowMs(frame);
        if (isObservation(n) && !moreFollow(frame, n)) {
            epochs.push_back(current);
            current = RecordedEpoch();
        }
    }
    if (!current.bytes.empty()) epochs.push_back(current);
    return epochs;
}

ReplayBase::~ReplayBase()
{
    stop();
}

bool ReplayBase::login(int port, const std::string& loginText)
{
    fd_ = connectTo(port);
    if (fd_ < 0 || !sendText(fd_, loginText)) return false;
    std::string reply = readAtLeast(fd_, 12, 3000);
    return reply.rfind("ICY 200 OK\r\n", 0) == 0;
}

void ReplayBase::start()
{
    if (messageByMessage_) {
        // Each message in a segment of its own.
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    sentAt_.assign(epochs_.size(), -1);
    thread_ = std::thread([this] { run(); });
}

void ReplayBase::run()
{
    double due = msSinceStart();
    for (size_t k = 0; k < epochs_.size(); ++k) {
        if (k > 0) {
            // The interval is read while waiting, so a speed-up applies at once.
            while (!stop_ && !drop_ && msSinceStart() < due + intervalMs_)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            due += intervalMs_;
        }
        if (stop_) break;
        const std::string& bytes = epochs_[k].bytes;
        if (drop_) {
            sendAll(fd_, bytes.data(), bytes.size() / 2);
            closeWithReset(fd_);
            fd_ = -1;
            dropped_ = true;
            break;
        }
        if (!sendEpoch(bytes)) break;
        {
            std::lock_guard<std::mutex> g(mutex_);
            sentAt_[k] = msSinceStart();
        }
        ++sent_;
    }
    finished_ = true;
}

bool ReplayBase::sendEpoch(const std::string& bytes)
{
    if (!messageByMessage_) return sendAll(fd_, bytes.data(), bytes.size());
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    for (const RtcmWalkFrame& f : walkRtcmFrames(data))
        if (!sendAll(fd_, bytes.data() + f.offset, f.length)) return false;
    return true;
}

void ReplayBase::dropMidFrame()
{
    drop_ = true;
    for (int i = 0; i < 300 && !dropped_ && !finished_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void ReplayBase::stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

double ReplayBase::sentAtMs(uint32_t gpsTowMs) const
{
    std::lock_guard<std::mutex> g(mutex_);
    for (size_t k = 0; k < epochs_.size() && k < sentAt_.size(); ++k)
        if (epochs_[k].gpsTowMs == gpsTowMs) return sentAt_[k];
    return -1;
}
