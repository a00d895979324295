#include "network_replay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

#include "replay_base.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

constexpr int maxRovers = 100;

bool isObservation(uint32_t n)
{
    return (n >= 1001 && n <= 1004) || (n >= 1009 && n <= 1012) || (n >= 1071 && n <= 1127);
}

int64_t signedBits(const uint8_t* frame, unsigned pos, unsigned n)
{
    uint64_t v = rtcmBits(frame, pos, n);
    if (v >> (n - 1)) return int64_t(v) - (int64_t(1) << n);
    return int64_t(v);
}

// Latitude and longitude (degrees, WGS84) of an ECEF point.
void ecefToLatLon(double x, double y, double z, double& lat, double& lon)
{
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double p = std::hypot(x, y);
    double phi = std::atan2(z, p * (1 - e2));
    for (int i = 0; i < 8; ++i) {
        double n = a / std::sqrt(1 - e2 * std::sin(phi) * std::sin(phi));
        double h = p / std::cos(phi) - n;
        phi = std::atan2(z, p * (1 - e2 * n / (n + h)));
    }
    lat = phi * 180 / M_PI;
    lon = std::atan2(y, x) * 180 / M_PI;
}

// The reference point of a 1005 or 1006 frame.
bool stationPosition(const uint8_t* frame, double& lat, double& lon)
{
    double x = double(signedBits(frame, 34, 38)) * 1e-4;
    double y = double(signedBits(frame, 74, 38)) * 1e-4;
    double z = double(signedBits(frame, 114, 38)) * 1e-4;
    if (std::hypot(x, y, z) < 6.0e6) return false;
    ecefToLatLon(x, y, z, lat, lon);
    return true;
}

std::string baseLoginText(const NetworkBase& b)
{
    char position[64];
    std::snprintf(position, sizeof position, "%.4f;%.4f", b.latitude, b.longitude);
    return "SOURCE pw /" + b.mountpoint + "\r\nSource-Agent: NTRIP replay/1.0\r\nSTR: " +
           b.mountpoint + ";" + b.mountpoint + ";RTCM 3;1004(1),1006(10),1019(60);2;GPS;Net;XXX;" +
           position + ";0;0;replay;none;N;N;9600;test\r\n\r\n";
}

// The latest frame of every station and ephemeris kind (ephemerides per
// satellite) in epochs [0, end): what a rover of the base would hold had
// the replay started at its beginning.
std::string prelude(const NetworkBase& b, size_t end)
{
    std::map<std::pair<uint32_t, uint32_t>, std::string> latest;
    for (size_t k = 0; k < end; ++k) {
        std::vector<uint8_t> bytes(b.epochs[k].bytes.begin(), b.epochs[k].bytes.end());
        for (const RtcmWalkFrame& f : walkRtcmFrames(bytes)) {
            if (isObservation(f.messageNumber)) continue;
            const uint8_t* frame = &bytes[f.offset];
            uint32_t sat = 0;
            if (f.messageNumber == 1019 || f.messageNumber == 1020)
                sat = uint32_t(rtcmBits(frame, 12, 6));
            latest[{f.messageNumber, sat}] =
                std::string(reinterpret_cast<const char*>(frame), f.length);
        }
    }
    std::string out;
    for (const auto& [key, frame] : latest) out += frame;
    return out;
}

}   // namespace

std::string networkCasterFile(const NetworkCasterSettings& s, int roverPort)
{
    // Line by line: operator, country, latitude, longitude, web address,
    // address, port, fallback address and port; then the switches RTCM 3.2,
    // CMR, BINR, NCT, nearest base, MAC, iMAC, troposphere, FKP, RTCM 3.1,
    // single base, TCP bases, ERP, GLONASS in NCT; the region radius.
    auto flag = [](bool v) { return std::string(v ? "1" : "0"); };
    std::string lines[] = {"Test Net", "XXX", "47.00", "15.40", "www.example.com", "127.0.0.1",
                           std::to_string(roverPort), "127.0.0.1", std::to_string(roverPort),
                           flag(s.rtcm32), flag(s.cmr), flag(s.binr), flag(s.nct),
                           flag(s.nearest), flag(s.mac), flag(s.imac), flag(s.tropoModel),
                           flag(s.fkp), flag(s.rtcm31), flag(s.singleBase), "0", flag(s.erp),
                           flag(s.nctGlonass), std::to_string(s.regionRadiusKm)};
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string ggaAt(double latitude, double longitude, double height)
{
    double alat = std::fabs(latitude), alon = std::fabs(longitude);
    int dlat = int(alat), dlon = int(alon);
    char body[160];
    std::snprintf(body, sizeof body, "GPGGA,213000.00,%02d%08.5f,%c,%03d%08.5f,%c,1,10,1.0,%.3f,M,0.0,M,,",
                  dlat, (alat - dlat) * 60, latitude < 0 ? 'S' : 'N', dlon, (alon - dlon) * 60,
                  longitude < 0 ? 'W' : 'E', height);
    unsigned char sum = 0;
    for (const char* p = body; *p; ++p) sum ^= static_cast<unsigned char>(*p);
    char text[200];
    std::snprintf(text, sizeof text, "$%s*%02X\r\n", body, sum);
    return text;
}

std::string ntripRequest(const std::string& stream, const std::string& user)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string credential = user + ":pass", encoded;
    for (size_t i = 0; i < credential.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(credential[i])) << 16;
        if (i + 1 < credential.size()) v |= uint32_t(uint8_t(credential[i + 1])) << 8;
        if (i + 2 < credential.size()) v |= uint8_t(credential[i + 2]);
        encoded += alphabet[(v >> 18) & 63];
        encoded += alphabet[(v >> 12) & 63];
        encoded += i + 1 < credential.size() ? alphabet[(v >> 6) & 63] : '=';
        encoded += i + 2 < credential.size() ? alphabet[v & 63] : '=';
    }
    return "GET /" + stream + " HTTP/1.0\r\nUser-Agent: NTRIP replay/1.0\r\nAuthorization: Basic " +
           encoded + "\r\n\r\n";
}

NetworkReplay::~NetworkReplay()
{
    stop();
}

bool NetworkReplay::addBases(const std::string& dir, const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        std::vector<uint8_t> bytes = readFileBytes(dir + "/" + name + ".rtcm3");
        if (bytes.empty()) return false;
        NetworkBase b;
        b.mountpoint = name;
        bool located = false;
        for (const RecordedEpoch& e : cutIntoEpochs(bytes)) {
            if (!located) {
                std::vector<uint8_t> eb(e.bytes.begin(), e.bytes.end());
                for (const RtcmWalkFrame& f : walkRtcmFrames(eb))
                    if ((f.messageNumber == 1005 || f.messageNumber == 1006) &&
                        stationPosition(&eb[f.offset], b.latitude, b.longitude)) {
                        located = true;
                        break;
                    }
            }
            // A piece without observations of its own goes with the epoch
            // before it (or the first one).
            if (e.gpsTowMs == 0 && !b.epochs.empty()) {
                b.epochs.back().bytes += e.bytes;
                continue;
            }
            b.epochs.push_back({e.bytes, e.gpsTowMs});
        }
        if (!located || b.epochs.empty()) return false;
        bases_.push_back(std::move(b));
    }
    return true;
}

bool NetworkReplay::start(double epochsPerSecond, int startOffsetS, int maxEpochs)
{
    // Two epochs closer than the caster's network delay would merge.
    if (epochsPerSecond <= 0 || epochsPerSecond > 2.0 || bases_.empty()) return false;
    CasterPorts ports = pickFreePorts();
    std::string nextYear = std::to_string(std::stoi(formatTime("%Y")) + 1);
    std::string users, baseFile;
    for (int i = 0; i < maxRovers; ++i)
        users += "u" + std::to_string(i) + ":pass 365 " + nextYear + " l f s t st z e\r\n";
    for (const NetworkBase& b : bases_) baseFile += "pw /" + b.mountpoint + "\r\n";
    caster_.writeFile("users.txt", users);
    caster_.writeFile("base.txt", baseFile);
    caster_.writeFile("caster.txt", networkCasterFile(settings, ports.rover));
    if (!caster_.start(ports)) return false;

    uint32_t firstCommon = 0;
    for (const NetworkBase& b : bases_) firstCommon = std::max(firstCommon, b.epochs[0].towMs);
    uint32_t startTow = firstCommon + uint32_t(std::max(0, startOffsetS)) * 1000u;
    for (NetworkBase& b : bases_) {
        b.fd = connectTo(caster_.ports().base);
        if (b.fd < 0 || !sendText(b.fd, baseLoginText(b))) return false;
        std::string reply = readAtLeast(b.fd, 12, 3000);
        if (reply.rfind("ICY 200 OK\r\n", 0) != 0) return false;
        size_t skipped = 0;
        while (skipped < b.epochs.size() && b.epochs[skipped].towMs < startTow) ++skipped;
        std::string head = prelude(b, skipped);
        if (!sendAll(b.fd, head.data(), head.size())) return false;
    }
    stop_ = false;
    finished_ = false;
    replayThread_ = std::thread([this, epochsPerSecond, startTow, maxEpochs] {
        replayLoop(epochsPerSecond, startTow, maxEpochs);
    });
    return true;
}

std::string NetworkReplay::formatTime(const char* format)
{
    time_t t = time(nullptr);
    tm parts {};
    gmtime_r(&t, &parts);
    char text[64];
    strftime(text, sizeof text, format, &parts);
    return text;
}

void NetworkReplay::replayLoop(double epochsPerSecond, uint32_t startTow, int maxEpochs)
{
    std::set<uint32_t> times;
    for (const NetworkBase& b : bases_)
        for (const NetworkBase::Epoch& e : b.epochs)
            if (e.towMs >= startTow) times.insert(e.towMs);
    std::vector<size_t> next(bases_.size(), 0);
    for (size_t i = 0; i < bases_.size(); ++i)
        while (next[i] < bases_[i].epochs.size() && bases_[i].epochs[next[i]].towMs < startTow)
            ++next[i];

    const double intervalMs = 1000.0 / epochsPerSecond;
    double due = msSinceStart();
    int sent = 0;
    for (uint32_t tow : times) {
        if (stop_ || (maxEpochs > 0 && sent >= maxEpochs)) break;
        while (!stop_ && msSinceStart() < due) {
            double left = due - msSinceStart();
            std::this_thread::sleep_for(std::chrono::microseconds(int64_t(std::min(left, 5.0) * 1000)));
        }
        if (stop_) break;
        ReplayedEpoch r;
        r.towMs = tow;
        for (size_t i = 0; i < bases_.size(); ++i) {
            NetworkBase& b = bases_[i];
            if (next[i] >= b.epochs.size() || b.epochs[next[i]].towMs != tow || b.fd < 0) continue;
            const std::string& bytes = b.epochs[next[i]++].bytes;
            if (sendAll(b.fd, bytes.data(), bytes.size())) ++r.bases;
        }
        r.sentAtMs = msSinceStart();
        {
            std::lock_guard<std::mutex> g(mutex_);
            replayed_.push_back(r);
        }
        ++sent;
        due += intervalMs;
    }
    finished_ = true;
}

bool NetworkReplay::waitTrusted(int timeoutMs)
{
    double end = msSinceStart() + timeoutMs;
    while (msSinceStart() < end) {
        std::string console = caster_.console();
        bool all = true;
        for (const NetworkBase& b : bases_)
            if (countOf(console, "baseID " + b.mountpoint + " is now trusted") == 0) all = false;
        if (all) return true;
        runFor(200);
    }
    return false;
}

int NetworkReplay::addRover(const std::string& stream, double latitude, double longitude,
                            double height, int ggaIntervalMs, const std::string& outputPath)
{
    auto r = std::make_unique<NetworkRover>();
    r->stream = stream;
    r->user = "u" + std::to_string(userCount_++);
    r->latitude = latitude;
    r->longitude = longitude;
    r->height = height;
    r->ggaIntervalMs = ggaIntervalMs;
    r->outputPath = outputPath;
    if (!outputPath.empty()) std::ofstream(outputPath, std::ios::binary | std::ios::trunc);
    r->fd = connectTo(caster_.ports().rover);
    if (r->fd < 0 || !sendText(r->fd, ntripRequest(stream, r->user))) return -1;
    std::lock_guard<std::mutex> g(mutex_);
    rovers_.push_back(std::move(r));
    return int(rovers_.size()) - 1;
}

void NetworkReplay::pumpOnce(int waitMs)
{
    std::vector<pollfd> fds;
    std::vector<NetworkRover*> owners;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto& r : rovers_) {
            if (r->fd < 0 || r->closedAtMs >= 0) continue;
            fds.push_back(pollfd{r->fd, POLLIN, 0});
            owners.push_back(r.get());
        }
    }
    if (fds.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return;
    }
    char buffer[16384];
    if (poll(fds.data(), fds.size(), waitMs) > 0) {
        double now = msSinceStart();
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            NetworkRover& r = *owners[k];
            ssize_t n = recv(fds[k].fd, buffer, sizeof buffer, 0);
            std::lock_guard<std::mutex> g(mutex_);
            if (n <= 0) {
                r.closedAtMs = now;
                continue;
            }
            r.capture.append(buffer, size_t(n), now);
            if (!r.outputPath.empty())
                std::ofstream(r.outputPath, std::ios::binary | std::ios::app).write(buffer, n);
        }
    }
    double now = msSinceStart();
    for (NetworkRover* r : owners) {
        if (!r->greeted) r->greeted = greetingLength(r->capture.bytes) > 0;
        if (!r->greeted || (r->lastGgaMs >= 0 && now - r->lastGgaMs < r->ggaIntervalMs)) continue;
        sendText(r->fd, ggaAt(r->latitude, r->longitude, r->height));
        r->lastGgaMs = now;
    }
}

void NetworkReplay::runFor(int ms)
{
    double end = msSinceStart() + ms;
    while (msSinceStart() < end) pumpOnce(int(std::clamp(end - msSinceStart(), 1.0, 20.0)));
}

bool NetworkReplay::runToEnd(int timeoutMs)
{
    double end = msSinceStart() + timeoutMs;
    while (!finished_ && msSinceStart() < end) pumpOnce(20);
    // What the caster had on its way for the last epoch.
    if (finished_) runFor(1500);
    return finished_;
}

std::vector<ReplayedEpoch> NetworkReplay::replayed() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return replayed_;
}

void NetworkReplay::stop()
{
    stop_ = true;
    if (replayThread_.joinable()) replayThread_.join();
    for (NetworkBase& b : bases_) {
        if (b.fd >= 0) close(b.fd);
        b.fd = -1;
    }
    std::lock_guard<std::mutex> g(mutex_);
    for (auto& r : rovers_) {
        if (r->fd >= 0) close(r->fd);
        r->fd = -1;
    }
    caster_.stop(3000);
}
