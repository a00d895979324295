#pragma once
// A test reference station: logs in to the caster as an NTRIP server and
// replays a recording epoch by epoch, one epoch a second as the receiver
// sent it, or faster when asked.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A recording cut into epochs: each epoch ends with the observation
// message whose synchronous (legacy) or multiple-message (MSM) bit is
// clear; the messages before it (station, ephemeris) go with it.
struct RecordedEpoch {
    std::string bytes;
    uint32_t gpsTowMs = 0;   // of its 1004 or 1074, 0 when it has none
};
std::vector<RecordedEpoch> cutIntoEpochs(const std::vector<uint8_t>& recording);

class ReplayBase {
public:
    ReplayBase(std::vector<RecordedEpoch> epochs) : epochs_(std::move(epochs)) {}
    ~ReplayBase();

    // Logs in on `port` with `loginText`; true when the caster answered
    // "ICY 200 OK" and kept the connection open.
    bool login(int port, const std::string& loginText);
    // Starts sending: epoch k at start + k seconds.
    void start();
    // From now on one epoch every `intervalMs`.
    void speedUp(int intervalMs) { intervalMs_ = intervalMs; }
    // Before start: each message of an epoch is handed to the socket on its
    // own, as an NTRIP server does that forwards a receiver's output as it
    // comes, so that an epoch may reach the caster in several reads.
    void sendMessageByMessage() { messageByMessage_ = true; }
    // Sends the first half of the next epoch and closes the connection
    // abruptly; waits until that happened.
    void dropMidFrame();
    // Ends the replay and closes the connection.
    void stop();

    int sent() const { return sent_; }
    bool finished() const { return finished_; }
    size_t epochCount() const { return epochs_.size(); }
    // Steady-clock ms (msSinceStart) at which the epoch with this GPS time of
    // week was sent, -1 when it was not.
    double sentAtMs(uint32_t gpsTowMs) const;

private:
    void run();
    bool sendEpoch(const std::string& bytes);

    std::vector<RecordedEpoch> epochs_;
    std::vector<double> sentAt_;
    mutable std::mutex mutex_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<int> intervalMs_{1000};
    bool messageByMessage_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> drop_{false};
    std::atomic<bool> dropped_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> sent_{0};
};

// The epochs written to `path` with a time-tag file beside it, one epoch a
// second, so that str2str plays them in real time (`file://path::T`).
bool writeTimedRecording(const std::string& path, const std::vector<RecordedEpoch>& epochs);

// Sends all `n` bytes on a blocking socket; false when the peer is gone.
bool sendAll(int fd, const char* data, size_t n);

// Milliseconds of a steady clock shared by the test's threads.
double msSinceStart();
