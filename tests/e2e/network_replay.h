#pragma once
// A reference-station network replayed into the real caster binary: several
// recorded bases log in and send their recordings in lockstep by GPS time
// of week (every base's epoch of one time goes out together), at a chosen
// number of epochs per wall-clock second and from a chosen point of the
// recordings; rovers log in on named streams, send a GGA at a given
// position now and then, and what they receive is recorded.
//
// Typical use:
//   NetworkReplay net;
//   net.settings.fkp = net.settings.mac = true;
//   ASSERT_TRUE(net.addBases(dataPath("network/simulated"), {"BAS1", "BAS2", ...}));
//   ASSERT_TRUE(net.start(2.0, 600));          // 2 epochs a second from 10 min in
//   ASSERT_TRUE(net.waitTrusted(80000));
//   int r = net.addRover("RTCM31_FKP", 47.228, 15.008, 487.0);
//   net.runFor(30000);
//   const Capture& c = net.rover(r).capture;
//
// The caster's 400 ms network delay allows at most two epochs a second;
// start() refuses more.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "caster_process.h"
#include "stream_frames.h"

// The caster.txt switches (everything else is fixed by the harness).
struct NetworkCasterSettings {
    bool rtcm31 = true, rtcm32 = true, cmr = false, binr = false, nct = false;
    bool singleBase = true, nearest = true, mac = false, imac = false, fkp = false, erp = false;
    bool tropoModel = true, nctGlonass = false;
    int regionRadiusKm = 200;
};

// caster.txt as the caster reads it, line by line.
std::string networkCasterFile(const NetworkCasterSettings& s, int roverPort);

// One recorded base.
struct NetworkBase {
    std::string mountpoint;
    double latitude = 0, longitude = 0;   // of its 1005/1006, for its "STR:" line
    // The recording cut into epochs (see cutIntoEpochs), each with its time.
    struct Epoch {
        std::string bytes;
        uint32_t towMs = 0;   // GPS time of week of its observations
    };
    std::vector<Epoch> epochs;
    int fd = -1;
};

struct NetworkRover {
    std::string stream;
    std::string user;
    double latitude = 0, longitude = 0, height = 0;
    int ggaIntervalMs = 2000;
    std::string outputPath;   // where its bytes are written as they come; empty: nowhere
    int fd = -1;
    bool greeted = false;
    double lastGgaMs = -1;
    double closedAtMs = -1;   // when the caster closed it
    Capture capture;          // every byte, with arrival times (msSinceStart)
};

// One time of week as replayed: when its epochs went out.
struct ReplayedEpoch {
    uint32_t towMs = 0;
    double sentAtMs = 0;   // msSinceStart
    int bases = 0;         // how many bases had an epoch of this time
};

class NetworkReplay {
public:
    NetworkReplay() = default;
    ~NetworkReplay();
    NetworkReplay(const NetworkReplay&) = delete;
    NetworkReplay& operator=(const NetworkReplay&) = delete;

    // Set before start().
    NetworkCasterSettings settings;
    CasterProcess& caster() { return caster_; }

    // Reads `<dir>/<name>.rtcm3` for each name; the mountpoint is the name.
    // False when a file is missing or holds no epochs with a position.
    bool addBases(const std::string& dir, const std::vector<std::string>& names);

    // Writes the text files, starts the binary, logs every base in and starts
    // the lockstep replay: `epochsPerSecond` (at most 2) from the first
    // epoch `startOffsetS` seconds after the recordings' first common
    // time, for at most `maxEpochs` times of week (0: to the end). The station
    // and ephemeris messages of the skipped part go out first, the latest of
    // each kind (and of each satellite).
    bool start(double epochsPerSecond, int startOffsetS = 0, int maxEpochs = 0);

    // Waits until the caster trusts every base (about a minute of data),
    // reading the rovers meanwhile.
    bool waitTrusted(int timeoutMs);

    // Logs a rover in on `stream`; it sends a GGA at the position as soon as
    // the login reply arrived and again every ggaIntervalMs. Returns its
    // number for rover(). -1 when the connection failed.
    int addRover(const std::string& stream, double latitude, double longitude, double height,
                 int ggaIntervalMs = 2000, const std::string& outputPath = "");
    NetworkRover& rover(int k) { return *rovers_[size_t(k)]; }
    int roverCount() const { return int(rovers_.size()); }

    // Reads the rovers and keeps their GGA going for `ms` (the replay runs
    // on its own thread meanwhile). Rovers are read only inside runFor,
    // runToEnd and waitTrusted.
    void runFor(int ms);
    // Runs until the replay has sent everything (or timeoutMs passed).
    bool runToEnd(int timeoutMs);

    // Epochs sent so far, in order.
    std::vector<ReplayedEpoch> replayed() const;
    bool finished() const { return finished_; }
    const std::vector<NetworkBase>& bases() const { return bases_; }
    // The recordings as cut into epochs, to be rewritten before start().
    std::vector<NetworkBase>& bases() { return bases_; }

    // Stops the replay, closes bases and rovers, stops the caster.
    void stop();

private:
    void replayLoop(double epochsPerSecond, uint32_t startTow, int maxEpochs);
    void pumpOnce(int waitMs);
    static std::string formatTime(const char* format);

    CasterProcess caster_;
    std::vector<NetworkBase> bases_;
    std::vector<std::unique_ptr<NetworkRover>> rovers_;
    std::vector<ReplayedEpoch> replayed_;
    mutable std::mutex mutex_;
    std::thread replayThread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    int userCount_ = 0;
};

// A GGA sentence at the position (time field fixed), with its checksum and
// line end.
std::string ggaAt(double latitude, double longitude, double height);
// An NTRIP version 1 rover request with Basic credentials user:pass.
std::string ntripRequest(const std::string& stream, const std::string& user);
