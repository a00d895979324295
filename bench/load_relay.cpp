// Load tool: the real caster binary under ten bases and a hundred rovers.
//
// It starts `caster` on free loopback ports in a temp directory of its own,
// logs in ten bases that replay real recordings at their own pace (one
// epoch a second, each base with its own station id and position) and a
// hundred rovers spread over the bases and the output formats. Once every
// base is trusted it measures, for a set time:
//  - the relay latency: from a base's send of a frame to a rover's receive
//    of that very frame, for the frames the caster passes on unchanged
//    (matched by content, so the CRC too);
//  - the delay of the built observation frames of every format, from the
//    base's send of the epoch;
//  - the caster's CPU time per second (utime + stime of /proc/PID/stat).
// It also checks that every rover stream holds only whole, valid frames and
// that every relayed frame reaches every rover that should have it.
//
// Everything stays on 127.0.0.1; every loop is bounded in count and time;
// the caster is stopped at the end whatever happens.
//
//   load_relay [--duration S] [--trust-wait S] [--caster PATH] [--data DIR] [--keep]
//              [--gga-all]

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "core/base64.h"
#include "core/checksum.h"
#include "formats/frames.h"

namespace {

constexpr int baseCount = 10;
constexpr int roverCount = 100;
constexpr int64_t msNs = 1000000;
constexpr int64_t secondNs = 1000 * msNs;
// Rover stream kinds: the five single-base format digits, then RTCM31_NEAR.
constexpr int nearKind = 5;
constexpr int streamKinds = 6;
const char* const kindNames[streamKinds] = {"RTCM 3.1 (x0)", "BINR (x1)", "MSM4 (x2)",
                                            "NCT (x3)",      "CMR (x4)",  "RTCM31_NEAR"};

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepNs(int64_t ns)
{
    if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

struct Options {
    int durationS = 30;
    int trustWaitS = 120;
    std::string caster = CASTER_BINARY;
    std::string dataDir = CASTER_DATA_DIR;
    bool keepDir = false;
    // Every rover sends a GGA every 5 s, not only the nearest-base ones, as
    // many rovers do on any stream.
    bool ggaAll = false;
    // The caster beside the tool's own epoll relay, on the same loads.
    bool versusFloor = false;
    int idleS = 20;
    // Internal: run as the floor relay on these ports.
    int floorRoverPort = 0, floorBasePort = 0;
};

// ---------------------------------------------------------------- recordings

struct Frame {
    std::vector<uint8_t> bytes;
    int message = 0;
};
using Epoch = std::vector<Frame>;

uint32_t getBits(const uint8_t* payload, int pos, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        int bit = pos + i;
        v = (v << 1) | ((payload[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
}

void setBits(uint8_t* payload, int pos, int n, uint32_t value)
{
    for (int i = 0; i < n; ++i) {
        int bit = pos + i;
        uint8_t mask = uint8_t(1 << (7 - bit % 8));
        if ((value >> (n - 1 - i)) & 1)
            payload[bit / 8] |= mask;
        else
            payload[bit / 8] &= uint8_t(~mask);
    }
}

bool isObservationMessage(int m)
{
    return (m >= 1001 && m <= 1004) || (m >= 1009 && m <= 1012) || m == 1104 ||
           (m >= 1071 && m <= 1127);
}

// The synchronous / multiple-message bit that says more observation
// messages of the same epoch follow.
bool moreOfEpochFollow(const Frame& f)
{
    const uint8_t* p = f.bytes.data() + 3;
    size_t payloadBits = (f.bytes.size() - 6) * 8;
    int at = -1;
    if ((f.message >= 1001 && f.message <= 1004) || (f.message >= 1071 && f.message <= 1127))
        at = 54;
    else if (f.message >= 1009 && f.message <= 1012)
        at = 51;
    if (at < 0 || size_t(at) >= payloadBits) return false;
    return getBits(p, at, 1) != 0;
}

// The valid RTCM 3 frames of a recording, grouped into epochs: an epoch
// ends with its last observation message.
bool loadRecording(const std::string& path, std::vector<Epoch>& epochs)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), {});
    if (data.empty()) return false;
    Epoch current;
    size_t at = 0;
    while (at + 6 <= data.size()) {
        if (data[at] != 0xD3 || (data[at + 1] & 0xFC) != 0) {
            ++at;
            continue;
        }
        size_t length = (size_t(data[at + 1] & 0x03) << 8 | data[at + 2]) + 6;
        if (at + length > data.size() || length < 8 || !checkCrc24q(&data[at], length)) {
            ++at;
            continue;
        }
        Frame frame;
        frame.bytes.assign(data.begin() + long(at), data.begin() + long(at + length));
        frame.message = int(getBits(&frame.bytes[3], 0, 12));
        at += length;
        bool ends = isObservationMessage(frame.message) && !moreOfEpochFollow(frame);
        current.push_back(std::move(frame));
        if (ends) {
            epochs.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) epochs.push_back(std::move(current));
    return !epochs.empty();
}

// Messages that carry the reference station id in bits 12..23.
bool hasStationId(int m)
{
    return isObservationMessage(m) || (m >= 1005 && m <= 1008) || m == 1013 || m == 1033 ||
           m == 1230;
}

void setStationId(Frame& f, uint32_t id)
{
    if (!hasStationId(f.message)) return;
    setBits(&f.bytes[3], 12, 12, id);
    appendCrc24q(f.bytes.data(), f.bytes.size() - 3);
}

// Which received kinds each rover stream passes on unchanged.
bool relayedTo(int kind, int message)
{
    static const std::set<int> rtcm31 = {1003, 1004, 1011, 1012, 1104, 1005,
                                         1006, 1007, 1008, 1013, 1230};
    static const std::set<int> msm = {1074, 1084, 1094, 1124, 1114, 1005, 1006,
                                      1007, 1008, 1013, 1032, 1033, 1230};
    if (kind == 0 || kind == nearKind) return rtcm31.count(message) != 0;
    if (kind == 2) return msm.count(message) != 0;
    return false;
}

// ---------------------------------------------------------------- bases

struct SendRecord {
    int frameId;
    uint32_t seq;
    int64_t ns;
    int message;
};

struct Base {
    std::string mount;
    std::string recording;
    double latitude = 0, longitude = 0;
    std::vector<Epoch> epochs;
    std::vector<int> epochFirstId;   // frame id of each epoch's first frame
    int frameTotal = 0;
    int fd = -1;
    size_t nextEpoch = 0;
    int64_t nextSendNs = 0;
    bool failed = false;
    // Written by the sender thread, read by the receiver thread.
    std::unique_ptr<std::atomic<int64_t>[]> lastSendNs;
    std::unique_ptr<std::atomic<uint32_t>[]> lastSendSeq;
    std::atomic<int64_t> lastEpochNs{0};
    uint32_t seq = 0;
    // Read after the sender thread ended.
    std::vector<SendRecord> sent;
    uint64_t bytesSent = 0;
};

struct FrameRef {
    int base;
    int frameId;
};

// ---------------------------------------------------------------- rovers

struct Rover {
    int index = 0;
    int base = 0;
    int kind = 0;
    std::string user;
    int fd = -1;
    bool closed = false;
    std::vector<uint8_t> pending;
    int64_t nextGgaNs = 0;
    // Counters over the measured window.
    uint64_t bytes = 0, frames = 0, garbageBytes = 0, wrongBase = 0;
    std::map<std::string, uint64_t> framesByName;
    std::vector<double> relayMs, builtMs;
    std::map<int, std::vector<double>> relayByMessage;
    std::set<uint64_t> matched;   // base << 32 | send sequence
};

struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<int64_t> windowStart{INT64_MAX};
    std::atomic<int64_t> windowEnd{INT64_MAX};
};

bool inWindow(const Shared& s, int64_t t)
{
    return t >= s.windowStart.load() && t <= s.windowEnd.load();
}

std::string ggaSentence(double latitude, double longitude)
{
    auto dm = [](double deg, int degDigits) {
        double a = std::fabs(deg);
        int d = int(a);
        char text[32];
        std::snprintf(text, sizeof text, "%0*d%07.4f", degDigits, d, (a - d) * 60.0);
        return std::string(text);
    };
    std::string body = "GPGGA,120000.00," + dm(latitude, 2) + (latitude >= 0 ? ",N," : ",S,") +
                       dm(longitude, 3) + (longitude >= 0 ? ",E," : ",W,") +
                       "1,10,1.0,100.0,M,-34.0,M,,";
    uint8_t x = 0;
    for (char c : body) x ^= uint8_t(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", x);
    return "$" + body + tail;
}

// ---------------------------------------------------------------- sockets

int connectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    // The tool's own sends must not sit in Nagle's buffer: the time taken
    // before a send is the time the frame leaves.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const uint8_t* data, size_t n, int timeoutMs)
{
    int64_t deadline = nowNs() + timeoutMs * msNs;
    size_t done = 0;
    for (int turns = 0; done < n && turns < 1000; ++turns) {
        ssize_t k = send(fd, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            done += size_t(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        int left = int((deadline - nowNs()) / msNs);
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, left);
    }
    return done == n;
}

bool sendText(int fd, const std::string& text)
{
    return sendAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 2000);
}

// Reads until the reply's header ends (an empty line), the peer closes or
// the time is up. Bytes after the header go to `rest`.
std::string readReply(int fd, int timeoutMs, std::vector<uint8_t>& rest)
{
    std::string out;
    int64_t deadline = nowNs() + timeoutMs * msNs;
    char buf[4096];
    for (int turns = 0; turns < 1000; ++turns) {
        size_t end = out.find("\r\n\r\n");
        if (end != std::string::npos) {
            rest.assign(out.begin() + long(end + 4), out.end());
            return out.substr(0, end + 4);
        }
        int left = int((deadline - nowNs()) / msNs);
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

int freePort(std::vector<int>& held)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    held.push_back(fd);
    return ntohs(a.sin_port);
}

// ---------------------------------------------------------------- caster process

struct CasterChild {
    pid_t pid = -1;
    std::string dir;
    std::string log;
    int roverPort = 0, basePort = 0, httpPort = 0;
    size_t logRead = 0;
    std::string logTail;   // console text not yet searched

    bool alive()
    {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            std::printf("caster ended unexpectedly: %s %d\n",
                        WIFSIGNALED(status) ? "signal" : "exit status",
                        WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
            pid = -1;
            return false;
        }
        return true;
    }

    // Counts the new occurrences of `text` in the console since the last call.
    int countNew(const std::string& text)
    {
        std::ifstream f(log, std::ios::binary);
        f.seekg(long(logRead));
        std::string added((std::istreambuf_iterator<char>(f)), {});
        logRead += added.size();
        logTail += added;
        int n = 0;
        size_t at = 0;
        for (size_t k = logTail.find(text); k != std::string::npos;
             k = logTail.find(text, k + text.size())) {
            ++n;
            at = k + text.size();
        }
        // Keep a possible partial occurrence at the end.
        size_t keep = std::max(at, logTail.size() > text.size() ? logTail.size() - text.size() : 0);
        logTail.erase(0, keep);
        return n;
    }

    // The caster, or with `floorRelay` the tool's own relay (the binary is
    // then this tool), which listens on the rover and base ports only.
    bool start(const std::string& binary, bool floorRelay = false)
    {
        std::vector<int> held;
        roverPort = freePort(held);
        basePort = freePort(held);
        httpPort = freePort(held);
        for (int fd : held) close(fd);
        log = dir + "/console.txt";
        std::string rover = std::to_string(roverPort), base = std::to_string(basePort),
                    http = std::to_string(httpPort);
        pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            if (floorRelay)
                execl(binary.c_str(), binary.c_str(), "--floor-relay", rover.c_str(),
                      base.c_str(), static_cast<char*>(nullptr));
            else
                execl(binary.c_str(), binary.c_str(), "--rover-port", rover.c_str(),
                      "--base-port", base.c_str(), "--http-port", http.c_str(), "--dir",
                      dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0) return false;
        const int ports = floorRelay ? 2 : 3;
        int seen = 0;
        for (int i = 0; i < 500 && seen < ports && alive(); ++i) {
            seen += countNew("is listening on Port");
            sleepNs(10 * msNs);
        }
        return seen >= ports;
    }

    void stop()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            sleepNs(10 * msNs);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// CPU ticks (utime + stime) of a /proc stat file; -1 when unreadable.
long cpuTicks(const std::string& statPath)
{
    std::ifstream f(statPath);
    std::string text((std::istreambuf_iterator<char>(f)), {});
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    // Fields after the command: state is field 3; utime 14, stime 15.
    const char* p = text.c_str() + paren + 2;
    long utime = 0, stime = 0;
    int field = 3;
    char* end = nullptr;
    for (int guard = 0; guard < 20 && *p && field <= 15; ++guard, ++field) {
        if (field == 14) utime = std::strtol(p, &end, 10);
        if (field == 15) stime = std::strtol(p, &end, 10);
        const char* blank = std::strchr(p, ' ');
        if (!blank) break;
        p = blank + 1;
    }
    return utime + stime;
}

std::vector<int> threadIds(pid_t pid)
{
    std::vector<int> ids;
    std::string path = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(path.c_str());
    if (!d) return ids;
    for (int guard = 0; guard < 1000; ++guard) {
        dirent* e = readdir(d);
        if (!e) break;
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') ids.push_back(std::atoi(e->d_name));
    }
    closedir(d);
    std::sort(ids.begin(), ids.end());
    return ids;
}

long fileSize(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : 0;
}

// The caster's console lines that tell of trouble (send and receive errors,
// dropped frames, closed peers), with their counts.
void reportConsole(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::map<std::string, int> trouble;
    std::string line;
    for (int guard = 0; guard < 50000000 && std::getline(f, line); ++guard) {
        static const char* const words[] = {"error", "Err", "does not fit", "closed",
                                            "no data", "invalid", "failed"};
        for (const char* w : words) {
            if (line.find(w) != std::string::npos) {
                ++trouble[line.substr(0, 100)];
                break;
            }
        }
    }
    if (trouble.empty()) {
        std::printf("caster console: no error, drop or close lines\n");
    } else {
        std::printf("caster console lines that tell of trouble:\n");
        int shown = 0;
        for (const auto& [text, count] : trouble) {
            if (++shown > 15) break;
            std::printf("  %5d x %s\n", count, text.c_str());
        }
    }
}

void printConsoleTail(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<std::string> tail;
    std::string line;
    for (int guard = 0; guard < 50000000 && std::getline(f, line); ++guard) {
        tail.push_back(line);
        if (tail.size() > 20) tail.erase(tail.begin());
    }
    std::printf("last caster console lines:\n");
    for (const std::string& l : tail) std::printf("  %s\n", l.c_str());
}

// ---------------------------------------------------------------- the floor

// What relaying costs at the least on this machine, run as a child process
// of this tool: one thread on epoll that writes whatever a base sends to
// every rover of its mountpoint at once, parsing nothing and keeping
// nothing. A login is answered "ICY 200 OK" unchecked; a rover's mountpoint
// is the base's with one character added, as the caster's single-base
// streams are named.

int listenOn(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0)
        return -1;
    return fd;
}

int runFloorRelay(int roverPort, int basePort)
{
    struct Peer {
        bool base = false;
        bool loggedIn = false;
        std::string head;
        std::string mount;
    };
    int roverListen = listenOn(roverPort), baseListen = listenOn(basePort);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (roverListen < 0 || baseListen < 0 || ep < 0) return 1;
    for (int fd : {roverListen, baseListen}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    }
    std::printf("floor rovers: is listening on Port %d\nfloor bases: is listening on Port %d\n",
                roverPort, basePort);
    std::fflush(stdout);
    std::unordered_map<int, Peer> peers;
    std::unordered_map<std::string, std::vector<int>> roversOf;
    std::vector<char> buf(65536);
    epoll_event events[64];
    for (;;) {
        int ready = epoll_wait(ep, events, 64, -1);
        for (int k = 0; k < ready; ++k) {
            int fd = events[k].data.fd;
            if (fd == roverListen || fd == baseListen) {
                int c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c < 0) continue;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                epoll_event e{};
                e.events = EPOLLIN;
                e.data.fd = c;
                epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                peers[c].base = fd == baseListen;
                continue;
            }
            Peer& p = peers[fd];
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                if (!p.base) {
                    std::vector<int>& list = roversOf[p.mount];
                    list.erase(std::remove(list.begin(), list.end(), fd), list.end());
                }
                peers.erase(fd);
                close(fd);
                continue;
            }
            if (p.loggedIn) {
                if (!p.base) continue;   // a rover's GGA
                for (int r : roversOf[p.mount])
                    send(r, buf.data(), size_t(n), MSG_DONTWAIT | MSG_NOSIGNAL);
                continue;
            }
            p.head.append(buf.data(), size_t(n));
            if (p.head.find("\r\n\r\n") == std::string::npos) continue;
            size_t slash = p.head.find('/');
            size_t end = p.head.find_first_of(" \r", slash);
            if (slash == std::string::npos || end == std::string::npos) continue;
            p.mount = p.head.substr(slash + 1, end - slash - 1);
            if (!p.base && !p.mount.empty()) p.mount.pop_back();
            p.loggedIn = true;
            send(fd, "ICY 200 OK\r\n\r\n", 14, MSG_NOSIGNAL);
            if (!p.base) roversOf[p.mount].push_back(fd);
        }
    }
}

// CPU time of every thread of a process so far, in seconds, from the
// scheduler's nanosecond counts (the tick counts of the stat file are too
// coarse for an idle process); -1 when unreadable.
double cpuSeconds(pid_t pid, std::vector<std::pair<int, double>>* perThread = nullptr)
{
    double total = 0;
    bool any = false;
    for (int tid : threadIds(pid)) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                        "/schedstat");
        unsigned long long ns = 0;
        if (!(f >> ns)) continue;
        any = true;
        total += double(ns) / 1e9;
        if (perThread) perThread->push_back({tid, double(ns) / 1e9});
    }
    return any ? total : -1;
}

// ---------------------------------------------------------------- sender

void senderThread(std::vector<Base>& bases, Shared& shared, int64_t deadline)
{
    for (int turns = 0; turns < 10000000 && !shared.stop.load() && nowNs() < deadline;
         ++turns) {
        Base* due = nullptr;
        for (Base& b : bases)
            if (!b.failed && (!due || b.nextSendNs < due->nextSendNs)) due = &b;
        if (!due) return;
        int64_t wait = due->nextSendNs - nowNs();
        if (wait > 0) {
            // Short steps, so that a stop is noticed.
            sleepNs(std::min<int64_t>(wait, 50 * msNs));
            continue;
        }
        Base& b = *due;
        const Epoch& epoch = b.epochs[b.nextEpoch];
        int id = b.epochFirstId[b.nextEpoch];
        b.lastEpochNs.store(nowNs());
        for (const Frame& f : epoch) {
            int64_t t = nowNs();
            uint32_t seq = ++b.seq;
            b.lastSendSeq[id].store(seq);
            b.lastSendNs[id].store(t);
            if (!sendAll(b.fd, f.bytes.data(), f.bytes.size(), 1000)) {
                std::printf("base %s: send failed (%s)\n", b.mount.c_str(), std::strerror(errno));
                b.failed = true;
                break;
            }
            b.bytesSent += f.bytes.size();
            b.sent.push_back({id, seq, t, f.message});
            ++id;
        }
        b.nextEpoch = (b.nextEpoch + 1) % b.epochs.size();
        b.nextSendNs += secondNs;
        // A sender that fell behind does not catch up in a burst.
        if (b.nextSendNs < nowNs() - secondNs) b.nextSendNs = nowNs() + secondNs;
    }
}

// ---------------------------------------------------------------- receiver

struct Matcher {
    std::unordered_map<std::string, std::vector<FrameRef>> byContent;
};

bool isBuiltObservation(const std::string& name)
{
    if (name.rfind("RTCM ", 0) == 0) return isObservationMessage(std::atoi(name.c_str() + 5));
    return name == "CMR0" || name == "CMR3" || name == "NCT 5E" || name == "NCT 61" ||
           name == "NCT 5B" || name == "BINR 69h";
}

void takeFrame(Rover& r, const uint8_t* frame, size_t length, const std::string& name,
               int message, int64_t t, std::vector<Base>& bases, const Matcher& matcher,
               const Shared& shared)
{
    bool counted = inWindow(shared, t);
    if (counted) {
        ++r.frames;
        ++r.framesByName[name];
    }
    if (message > 0) {
        auto it = matcher.byContent.find(
            std::string(reinterpret_cast<const char*>(frame), length));
        if (it != matcher.byContent.end()) {
            // The latest send of this content by the rover's base.
            int64_t best = 0;
            uint32_t seq = 0;
            bool otherBase = false;
            for (const FrameRef& ref : it->second) {
                if (ref.base != r.base) {
                    otherBase = true;
                    continue;
                }
                int64_t s = bases[ref.base].lastSendNs[ref.frameId].load();
                if (s > best && s <= t) {
                    best = s;
                    seq = bases[ref.base].lastSendSeq[ref.frameId].load();
                }
            }
            if (best > 0) {
                // Only what the stream passes on counts: the floor relay
                // passes on everything the base sends.
                if (inWindow(shared, best) && relayedTo(r.kind, message)) {
                    r.relayMs.push_back(double(t - best) / msNs);
                    r.relayByMessage[message].push_back(double(t - best) / msNs);
                    r.matched.insert(uint64_t(r.base) << 32 | seq);
                }
            } else if (otherBase && counted) {
                ++r.wrongBase;
            }
            return;
        }
    }
    if (isBuiltObservation(name)) {
        int64_t epoch = bases[r.base].lastEpochNs.load();
        if (epoch > 0 && inWindow(shared, epoch) && t - epoch < secondNs)
            r.builtMs.push_back(double(t - epoch) / msNs);
    }
}

// Splits what arrived into frames: RTCM 3 for every stream (the caster's
// 1013), plus the stream's own framing. Bytes that start no valid frame are
// counted and stepped over; an incomplete frame waits for its tail.
void parseRover(Rover& r, int64_t t, std::vector<Base>& bases, const Matcher& matcher,
                const Shared& shared)
{
    std::vector<uint8_t>& b = r.pending;
    size_t at = 0;
    const size_t n = b.size();
    while (at < n) {
        const uint8_t* p = b.data() + at;
        size_t left = n - at;
        uint32_t length = 0;
        if (p[0] == 0xD3) {
            if (left < 3) break;
            if ((p[1] & 0xFC) == 0) {
                size_t need = (size_t(p[1] & 0x03) << 8 | p[2]) + 6;
                if (left < need) break;
                int32_t m = checkRtcm3Frame(p, 0, uint32_t(need), length);
                if (m != noFrame && length == need) {
                    takeFrame(r, p, need, "RTCM " + std::to_string(m), int(m), t, bases, matcher,
                              shared);
                    at += need;
                    continue;
                }
            }
        } else if (p[0] == 0x02 && r.kind == 3) {
            if (left < 6) break;
            size_t need = (size_t(p[4]) | size_t(p[5]) << 8) + 4;
            if (p[1] == 0x99 && p[2] == 0x66 && need >= 8 && need <= 3090) {
                if (left < need) break;
                int32_t code = checkNctId(p, uint32_t(need), 0, length);
                if (code != noFrame && length == need) {
                    char name[16];
                    std::snprintf(name, sizeof name, "NCT %02X", p[3]);
                    takeFrame(r, p, need, name, 0, t, bases, matcher, shared);
                    at += need;
                    continue;
                }
            }
        } else if (p[0] == 0x02 && r.kind == 4) {
            if (left < 6) break;
            size_t need = size_t(p[3]) + 6;
            if (left < need) break;
            int32_t code = checkCmrId(p, 0, uint32_t(need), length);
            if (code >= codeCmr3 && code <= codeCmr0 && length == need) {
                takeFrame(r, p, need, "CMR" + std::to_string(-1 - code), 0, t, bases,
                          matcher, shared);
                at += need;
                continue;
            }
        } else if (p[0] == 0x10 && r.kind == 1) {
            if (left < 2) break;
            if (p[1] == 0x69 || p[1] == 0x6A) {
                // DLE id data DLE ETX; a DLE in the data is doubled.
                size_t k = 2, dataBytes = 0;
                bool whole = false, bad = false;
                while (k < left && k < 2 * 1029 + 4) {
                    if (p[k] == 0x10) {
                        if (k + 1 >= left) break;
                        if (p[k + 1] == 0x03) {
                            whole = true;
                            k += 2;
                            break;
                        }
                        if (p[k + 1] != 0x10) {
                            bad = true;
                            break;
                        }
                        k += 2;
                    } else {
                        ++k;
                    }
                    ++dataBytes;
                }
                if (!whole && !bad && k < 2 * 1029 + 4) break;   // tail still to come
                bool sane = whole && (p[1] == 0x6A ? dataBytes == 14
                                                   : dataBytes >= 3 && (dataBytes - 3) % 13 == 0);
                if (sane) {
                    takeFrame(r, p, k, p[1] == 0x69 ? "BINR 69h" : "BINR 6Ah", 0, t, bases,
                              matcher, shared);
                    at += k;
                    continue;
                }
            }
        }
        if (inWindow(shared, t)) ++r.garbageBytes;
        ++at;
    }
    b.erase(b.begin(), b.begin() + long(at));
}

void receiverThread(std::vector<Rover>& rovers, std::vector<Base>& bases, const Matcher& matcher,
                    Shared& shared, int64_t deadline, bool ggaAll)
{
    std::vector<pollfd> fds(rovers.size());
    std::vector<uint8_t> buf(65536);
    for (int turns = 0; turns < 100000000 && !shared.stop.load() && nowNs() < deadline;
         ++turns) {
        int64_t t = nowNs();
        for (Rover& r : rovers) {
            if ((r.kind != nearKind && !ggaAll) || r.closed || t < r.nextGgaNs) continue;
            sendText(r.fd, ggaSentence(bases[r.base].latitude + 0.001, bases[r.base].longitude));
            r.nextGgaNs = t + 5 * secondNs;
        }
        for (size_t i = 0; i < rovers.size(); ++i)
            fds[i] = {rovers[i].closed ? -1 : rovers[i].fd, POLLIN, 0};
        if (poll(fds.data(), nfds_t(fds.size()), 20) <= 0) continue;
        for (size_t i = 0; i < rovers.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Rover& r = rovers[i];
            ssize_t n = recv(r.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            int64_t at = nowNs();
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                std::printf("rover %s: connection closed by the caster\n", r.user.c_str());
                r.closed = true;
                continue;
            }
            if (n < 0) continue;
            if (inWindow(shared, at)) r.bytes += uint64_t(n);
            r.pending.insert(r.pending.end(), buf.begin(), buf.begin() + n);
            parseRover(r, at, bases, matcher, shared);
        }
    }
}

// Base i of a run: mountpoint LOAD + letter, its own station id (100 + i)
// and position, and its own first epoch of the recording.
void prepareBase(Base& b, int i, const std::string& recording, const std::vector<Epoch>& epochs,
                 Matcher& matcher)
{
    b.mount = std::string("LOAD") + char('A' + i);
    b.recording = recording;
    b.latitude = 45.0 + 0.5 * i;
    b.longitude = -75.0;
    b.epochs = epochs;
    std::rotate(b.epochs.begin(), b.epochs.begin() + long((i * 13) % b.epochs.size()),
                b.epochs.end());
    for (Epoch& e : b.epochs) {
        b.epochFirstId.push_back(b.frameTotal);
        for (Frame& f : e) {
            setStationId(f, uint32_t(100 + i));
            matcher.byContent[std::string(f.bytes.begin(), f.bytes.end())].push_back(
                {i, b.frameTotal});
            ++b.frameTotal;
        }
    }
    b.lastSendNs = std::make_unique<std::atomic<int64_t>[]>(size_t(b.frameTotal));
    b.lastSendSeq = std::make_unique<std::atomic<uint32_t>[]>(size_t(b.frameTotal));
    for (int k = 0; k < b.frameTotal; ++k) {
        b.lastSendNs[k].store(0);
        b.lastSendSeq[k].store(0);
    }
}

// The base's NTRIP server login (SOURCE with an STR line); false when not
// admitted.
bool loginBase(Base& b, int i, int basePort)
{
    b.fd = connectLoopback(basePort);
    char str[256];
    std::snprintf(str, sizeof str,
                  "STR: %s;Load%c;RTCM3;1004(1),1012(1);2;GPS+GLO;Load;CAN;%.2f;%.2f;0;0;"
                  "load;none;N;N;9600;load",
                  b.mount.c_str(), char('A' + i), b.latitude, b.longitude);
    std::vector<uint8_t> rest;
    std::string reply;
    if (b.fd >= 0 &&
        sendText(b.fd, "SOURCE pw" + b.mount + " /" + b.mount +
                           "\r\nSource-Agent: NTRIP LoadBase/1.0\r\n" + str + "\r\n\r\n"))
        reply = readReply(b.fd, 6000, rest);
    if (reply.rfind("ICY 200 OK", 0) == 0) return true;
    std::fprintf(stderr, "base %s not admitted: %s\n", b.mount.c_str(), reply.c_str());
    return false;
}

// Rover i's login (account roverNN) on `mount`; false when not admitted.
bool loginRover(Rover& r, int i, const std::string& mount, int roverPort)
{
    char user[32];
    std::snprintf(user, sizeof user, "rover%02d:pw%02d", i, i);
    r.index = i;
    r.user = user;
    std::string credential =
        base64Encode(reinterpret_cast<const uint8_t*>(user), int(std::strlen(user)));
    r.fd = connectLoopback(roverPort);
    std::string reply;
    if (r.fd >= 0 && sendText(r.fd, "GET /" + mount +
                                         " HTTP/1.0\r\nUser-Agent: NTRIP LoadRover/1.0\r\n"
                                         "Authorization: Basic " +
                                         credential + "\r\n\r\n"))
        reply = readReply(r.fd, 5000, r.pending);
    r.nextGgaNs = nowNs();
    if (reply.rfind("ICY 200 OK", 0) == 0) return true;
    std::fprintf(stderr, "rover %d on %s not admitted: %s\n", i, mount.c_str(),
                 reply.substr(0, 200).c_str());
    return false;
}

// ---------------------------------------------------------------- report helpers

struct Stats {
    size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))]; };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

void printStats(const char* label, const std::vector<double>& v)
{
    Stats s = stats(v);
    if (s.n == 0) {
        std::printf("  %-16s no frames\n", label);
        return;
    }
    std::printf("  %-16s n=%-7zu median %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", label, s.n,
                s.median, s.p99, s.max);
}

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--duration" && (v = value("--duration")))
            o.durationS = std::atoi(v);
        else if (a == "--trust-wait" && (v = value("--trust-wait")))
            o.trustWaitS = std::atoi(v);
        else if (a == "--caster" && (v = value("--caster")))
            o.caster = v;
        else if (a == "--data" && (v = value("--data")))
            o.dataDir = v;
        else if (a == "--keep")
            o.keepDir = true;
        else if (a == "--gga-all")
            o.ggaAll = true;
        else if (a == "--versus-floor")
            o.versusFloor = true;
        else if (a == "--idle" && (v = value("--idle")))
            o.idleS = std::atoi(v);
        else if (a == "--floor-relay" && i + 2 < argc) {
            o.floorRoverPort = std::atoi(argv[++i]);
            o.floorBasePort = std::atoi(argv[++i]);
        }
        else {
            std::fprintf(stderr,
                         "usage: load_relay [--duration S] [--trust-wait S] [--caster PATH] "
                         "[--data DIR] [--keep] [--gga-all] [--versus-floor [--idle S]]\n");
            return false;
        }
    }
    if (o.durationS < 1 || o.durationS > 3600 || o.trustWaitS < 61 || o.trustWaitS > 600 ||
        o.idleS < 1 || o.idleS > 600) {
        std::fprintf(stderr, "duration 1..3600 s, trust wait 61..600 s, idle 1..600 s\n");
        return false;
    }
    return true;
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string casterFileText()
{
    // Nine texts, then the switches in their order: RTCM 3.2, CMR, BINR, NCT
    // outputs, nearest-base streams, MAC, iMAC, tropo model, FKP, RTCM 3.1
    // output, single-base streams, TCP bases, ERP, NCT GLONASS; the radius.
    const char* lines[] = {"Load Test", "CAN", "45.00", "-75.00", "www.example.com",
                           "127.0.0.1", "10000", "127.0.0.1", "10000",
                           "1", "1", "1", "1", "1", "0", "0", "1", "0", "1", "1", "0", "0", "1",
                           "200"};
    std::string text;
    for (const char* l : lines) text += std::string(l) + "\r\n";
    return text;
}

// ---------------------------------------------------------------- the caster beside the floor

// One measured load on one server.
struct LoadFigures {
    bool done = false;
    std::vector<double> latencyMs;   // relayed frames, base send -> rover receive
    double cpu = -1;                 // CPU seconds per wall second
    std::vector<double> threadCpu;   // per thread, in start order
    std::vector<double> threadWakes; // per thread, voluntary switches per second
    uint64_t expected = 0, delivered = 0, garbage = 0, wrongBase = 0;
    std::map<int, int> missingByMessage;
    int closed = 0;
};

void closeRovers(std::vector<Rover>& rovers)
{
    for (Rover& r : rovers)
        if (r.fd >= 0) close(r.fd);
    rovers.clear();
}

// The times a thread went to sleep so far (each one a wake-up later).
long voluntarySwitches(pid_t pid, int tid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
    std::string line;
    for (int guard = 0; guard < 200 && std::getline(f, line); ++guard)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
    return -1;
}

// CPU and wake-ups of the server's threads over a window, per second.
struct CpuWindow {
    double total0 = 0;
    std::vector<std::pair<int, double>> threads0;
    std::vector<long> switches0;
    int64_t t0 = 0;
    void begin(pid_t pid)
    {
        threads0.clear();
        total0 = cpuSeconds(pid, &threads0);
        switches0.clear();
        for (const auto& [tid, sec] : threads0) switches0.push_back(voluntarySwitches(pid, tid));
        t0 = nowNs();
    }
    void end(pid_t pid, LoadFigures& f) const
    {
        std::vector<std::pair<int, double>> threads1;
        double total1 = cpuSeconds(pid, &threads1);
        double wall = double(nowNs() - t0) / secondNs;
        if (total0 < 0 || total1 < 0 || wall <= 0) return;
        f.cpu = (total1 - total0) / wall;
        for (const auto& [tid, sec] : threads1) {
            for (size_t k = 0; k < threads0.size(); ++k) {
                if (tid != threads0[k].first) continue;
                f.threadCpu.push_back((sec - threads0[k].second) / wall);
                f.threadWakes.push_back(double(voluntarySwitches(pid, tid) - switches0[k]) / wall);
            }
        }
    }
};

// Bases replaying and rovers reading; after `settle` returns true (or its
// time is up), one window of `durationS` in which the latency of every
// relayed frame and the server's CPU are taken.
LoadFigures measureRelay(CasterChild& server, std::vector<Base>& bases, std::vector<Rover>& rovers,
                         const Matcher& matcher, int durationS, int settleS,
                         const std::function<bool()>& settled)
{
    LoadFigures f;
    Shared shared;
    int64_t deadline = nowNs() + int64_t(settleS + durationS + 30) * secondNs;
    std::thread sender(senderThread, std::ref(bases), std::ref(shared), deadline);
    std::thread receiver(receiverThread, std::ref(rovers), std::ref(bases), std::cref(matcher),
                         std::ref(shared), deadline, false);
    int64_t settleEnd = nowNs() + int64_t(settleS) * secondNs;
    while (nowNs() < settleEnd && server.alive() && !settled()) sleepNs(200 * msNs);
    // The rovers' first frames (every kept kind at once) stay out of the window.
    sleepNs(3 * secondNs);
    CpuWindow cpu;
    cpu.begin(server.pid);
    int64_t t0 = nowNs();
    shared.windowStart.store(t0);
    sleepNs(int64_t(durationS) * secondNs);
    int64_t t1 = nowNs();
    shared.windowEnd.store(t1);
    cpu.end(server.pid, f);
    sleepNs(secondNs);   // late frames of the window
    shared.stop.store(true);
    sender.join();
    receiver.join();

    for (const Rover& r : rovers) {
        f.latencyMs.insert(f.latencyMs.end(), r.relayMs.begin(), r.relayMs.end());
        f.garbage += r.garbageBytes;
        f.wrongBase += r.wrongBase;
        if (r.closed) ++f.closed;
    }
    for (size_t bi = 0; bi < bases.size(); ++bi) {
        for (const SendRecord& rec : bases[bi].sent) {
            if (rec.ns < t0 || rec.ns > t1) continue;
            for (const Rover& r : rovers) {
                if (r.base != int(bi) || !relayedTo(r.kind, rec.message)) continue;
                ++f.expected;
                if (r.matched.count(uint64_t(bi) << 32 | rec.seq)) {
                    ++f.delivered;
                } else {
                    ++f.missingByMessage[rec.message];
                    std::printf("  missing: message %d of base %zu (sent %.3f s into the "
                                "window) at rover %d\n",
                                rec.message, bi, double(rec.ns - t0) / secondNs, r.index);
                }
            }
        }
    }
    f.done = server.alive();
    return f;
}

// The three loads on one server: 100 rovers and no base data, 10 bases x
// 10 rovers, 1 base x 100 rovers. All bases replay testglo (RTCM 3.1
// legacy, 1 Hz) and all rovers take the base's RTCM 3.1 stream, which the
// caster relays unchanged, so both servers carry the same frames.
void runLoads(CasterChild& server, bool isCaster, const Options& opt,
              const std::vector<Epoch>& recording, LoadFigures out[3])
{
    std::vector<Base> bases(baseCount);
    Matcher matcher;
    for (int i = 0; i < baseCount; ++i)
        prepareBase(bases[i], i, "rtcm3/testglo.rtcm3", recording, matcher);
    const char* name = isCaster ? "caster" : "floor";

    // 100 rovers and no base data: the caster's nearest-base rovers that
    // sent no position get only the keep-alive.
    std::vector<Rover> rovers(roverCount);
    for (int i = 0; i < roverCount; ++i)
        if (!loginRover(rovers[i], i, isCaster ? "RTCM31_NEAR" : "IDLE0", server.roverPort))
            return;
    sleepNs(2 * secondNs);
    CpuWindow idle;
    idle.begin(server.pid);
    sleepNs(int64_t(opt.idleS) * secondNs);
    idle.end(server.pid, out[2]);
    out[2].done = server.alive();
    closeRovers(rovers);
    std::printf("%s: 100 rovers, no base data: %.5f s/s\n", name, out[2].cpu);
    std::fflush(stdout);
    sleepNs(secondNs);

    // 10 bases x 10 rovers.
    int64_t start = nowNs();
    for (int i = 0; i < baseCount; ++i) {
        if (!loginBase(bases[i], i, server.basePort)) return;
        bases[i].nextSendNs = start + secondNs + i * secondNs / baseCount;
    }
    rovers.resize(roverCount);
    for (int i = 0; i < roverCount; ++i) {
        rovers[i].base = i / (roverCount / baseCount);
        rovers[i].kind = 0;
        if (!loginRover(rovers[i], i, bases[rovers[i].base].mount + "0", server.roverPort)) return;
    }
    int trusted = 0;
    // The caster serves a base once it has sent a minute of data.
    auto allTrusted = [&] {
        if (!isCaster) return true;
        trusted += server.countNew("is now trusted");
        return trusted >= baseCount;
    };
    out[0] = measureRelay(server, bases, rovers, matcher, opt.durationS,
                          isCaster ? opt.trustWaitS : 0, allTrusted);
    std::printf("%s: 10 bases x 10 rovers: median %.3f ms, max %.3f ms, CPU %.5f s/s\n", name,
                stats(out[0].latencyMs).median, stats(out[0].latencyMs).max, out[0].cpu);
    std::fflush(stdout);
    if (isCaster && trusted < baseCount) {
        std::printf("only %d of %d bases trusted\n", trusted, baseCount);
        out[0].done = false;
    }

    // 1 base x 100 rovers: the other bases hang up.
    closeRovers(rovers);
    for (int i = 1; i < baseCount; ++i) {
        close(bases[i].fd);
        bases[i].fd = -1;
        bases[i].failed = true;
    }
    sleepNs(secondNs);
    rovers.resize(roverCount);
    for (int i = 0; i < roverCount; ++i) {
        rovers[i].base = 0;
        rovers[i].kind = 0;
        if (!loginRover(rovers[i], i, bases[0].mount + "0", server.roverPort)) return;
    }
    out[1] = measureRelay(server, bases, rovers, matcher, opt.durationS, 0, [] { return true; });
    std::printf("%s: 1 base x 100 rovers: median %.3f ms, max %.3f ms, CPU %.5f s/s\n", name,
                stats(out[1].latencyMs).median, stats(out[1].latencyMs).max, out[1].cpu);
    std::fflush(stdout);
    closeRovers(rovers);
    for (Base& b : bases)
        if (b.fd >= 0) close(b.fd);
}

int runVersusFloor(const Options& opt, const std::string& self)
{
    std::vector<Epoch> recording;
    if (!loadRecording(opt.dataDir + "/rtcm3/testglo.rtcm3", recording)) {
        std::fprintf(stderr, "cannot read %s/rtcm3/testglo.rtcm3\n", opt.dataDir.c_str());
        return 1;
    }
    char dirTemplate[] = "/tmp/load_relay.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string top = dirTemplate;
    LoadFigures figures[2][3];   // [floor, caster][10x10, 1x100, idle]
    bool ok = true;
    for (int s = 0; s < 2 && ok; ++s) {
        bool isCaster = s == 1;
        CasterChild server;
        server.dir = top + (isCaster ? "/caster" : "/floor");
        std::filesystem::create_directories(server.dir);
        if (isCaster) {
            std::string baseFile, usersFile;
            for (int i = 0; i < baseCount; ++i) {
                std::string mount = std::string("LOAD") + char('A' + i);
                baseFile += "pw" + mount + " /" + mount + "\r\n";
            }
            time_t wall = time(nullptr);
            tm local{};
            localtime_r(&wall, &local);
            std::string year = std::to_string(local.tm_year + 1900 + 1);
            for (int r = 0; r < roverCount; ++r) {
                char user[32];
                std::snprintf(user, sizeof user, "rover%02d:pw%02d", r, r);
                usersFile += std::string(user) + " 100 " + year +
                             " last first street town st zip e\r\n";
            }
            writeFile(server.dir + "/caster.txt", casterFileText());
            writeFile(server.dir + "/base.txt", baseFile);
            writeFile(server.dir + "/users.txt", usersFile);
            writeFile(server.dir + "/tcpbase.txt", "");
        }
        if (!server.start(isCaster ? opt.caster : self, !isCaster)) {
            std::fprintf(stderr, "%s did not come up\n", isCaster ? opt.caster.c_str() : "floor relay");
            server.stop();
            ok = false;
            break;
        }
        std::printf("%s pid %d\n", isCaster ? "caster" : "floor relay", int(server.pid));
        std::fflush(stdout);
        runLoads(server, isCaster, opt, recording, figures[s]);
        for (const LoadFigures& f : figures[s]) ok = ok && f.done;
        if (isCaster) reportConsole(server.log);
        server.stop();
    }
    if (!opt.keepDir) std::filesystem::remove_all(top);
    if (!ok) {
        std::printf("\nresult: a load did not run through (see above)\n");
        return 1;
    }

    // ------------------------------------------------------------ report
    std::printf("\nload_relay --versus-floor: testglo (RTCM 3.1, 1 Hz) replayed by every base, "
                "rovers on the base's RTCM 3.1 stream, %d s per load, loopback\n\n",
                opt.durationS);
    std::printf("| load | server | latency median / p99 (ms) | CPU (s/s) | relayed frames delivered |\n");
    std::printf("|---|---|---|---|---|\n");
    const char* loads[3] = {"10 bases x 10 rovers", "1 base x 100 rovers", "100 rovers, no base data"};
    for (int l = 0; l < 3; ++l) {
        for (int s = 0; s < 2; ++s) {
            const LoadFigures& f = figures[s][l];
            Stats st = stats(f.latencyMs);
            char latency[64] = "-";
            char delivered[64] = "-";
            if (l < 2) {
                std::snprintf(latency, sizeof latency, "%.3f / %.3f", st.median, st.p99);
                std::snprintf(delivered, sizeof delivered, "%llu of %llu",
                              (unsigned long long)f.delivered, (unsigned long long)f.expected);
            }
            std::printf("| %s | %s | %s | %.5f | %s |\n", s == 0 ? loads[l] : "",
                        s ? "caster" : "floor", latency, f.cpu, delivered);
        }
    }
    // The caster's threads in start order.
    const char* threadNames[] = {"main",    "listen",   "base data", "rover streaming",
                                 "web",     "TCP base", "network"};
    std::printf("\ncaster CPU per thread, ms/s (wake-ups/s):");
    for (int l = 0; l < 3; ++l) {
        std::printf("\n  %s:", loads[l]);
        const LoadFigures& f = figures[1][l];
        for (size_t k = 0; k < f.threadCpu.size(); ++k)
            std::printf(" %s %.2f (%.0f);", k < 7 ? threadNames[k] : "other",
                        f.threadCpu[k] * 1000.0, k < f.threadWakes.size() ? f.threadWakes[k] : 0.0);
    }
    std::printf("\n\n");

    bool faults = false;
    for (int s = 0; s < 2; ++s)
        for (int l = 0; l < 2; ++l) {
            const LoadFigures& f = figures[s][l];
            if (f.garbage || f.wrongBase || f.closed || f.delivered != f.expected ||
                f.latencyMs.empty()) {
                std::printf("%s, %s: %llu bytes outside frames, %llu frames of another base, "
                            "%d rovers closed, %llu of %llu delivered\n",
                            s ? "caster" : "floor", loads[l], (unsigned long long)f.garbage,
                            (unsigned long long)f.wrongBase, f.closed,
                            (unsigned long long)f.delivered, (unsigned long long)f.expected);
                for (const auto& [message, count] : f.missingByMessage)
                    std::printf("  missing: %d x %d\n", count, message);
                faults = true;
            }
        }
    bool met = true;
    for (int l = 0; l < 2; ++l) {
        double floorCpu = figures[0][l].cpu, casterCpu = figures[1][l].cpu;
        double dMedian = stats(figures[1][l].latencyMs).median - stats(figures[0][l].latencyMs).median;
        bool cpuOk = casterCpu <= 3.0 * floorCpu;
        bool latOk = dMedian <= 0.3;
        std::printf("%-24s caster CPU %.1f x the floor's (target <= 3): %s; median %+.3f ms "
                    "over the floor's (target <= 0.3): %s\n",
                    loads[l], floorCpu > 0 ? casterCpu / floorCpu : 0.0, cpuOk ? "met" : "NOT met",
                    dMedian, latOk ? "met" : "NOT met");
        met = met && cpuOk && latOk;
    }
    bool idleOk = figures[1][2].cpu >= 0 && figures[1][2].cpu < 0.002;
    std::printf("%-24s caster CPU %.5f s/s (target < 0.002): %s\n", loads[2], figures[1][2].cpu,
                idleOk ? "met" : "NOT met");
    met = met && idleOk;
    std::printf("\nresult: %s; %s\n", faults ? "FAULTS seen (see above)" : "every relayed frame arrived whole",
                met ? "targets met" : "targets NOT met");
    return faults ? 3 : met ? 0 : 4;
}

}   // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) return 2;
    signal(SIGPIPE, SIG_IGN);
    if (opt.floorRoverPort > 0) return runFloorRelay(opt.floorRoverPort, opt.floorBasePort);
    if (opt.versusFloor) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return 1;
        self[n] = 0;
        return runVersusFloor(opt, self);
    }

    // Recordings and the ten bases: even slots replay the legacy RTCM 3
    // station, odd ones the MSM4 station; each base has its own station id,
    // mountpoint and position, and starts at its own epoch and its own
    // tenth of a second.
    const std::string recordings[2] = {"rtcm3/testglo.rtcm3", "rtcm3/gmsd7-part1-msm4.rtcm3"};
    std::vector<Epoch> recorded[2];
    for (int k = 0; k < 2; ++k) {
        if (!loadRecording(opt.dataDir + "/" + recordings[k], recorded[k])) {
            std::fprintf(stderr, "cannot read %s/%s\n", opt.dataDir.c_str(),
                         recordings[k].c_str());
            return 1;
        }
    }
    std::vector<Base> bases(baseCount);
    Matcher matcher;
    for (int i = 0; i < baseCount; ++i)
        prepareBase(bases[i], i, recordings[i % 2], recorded[i % 2], matcher);

    // The caster in a temp directory with its text files.
    char dirTemplate[] = "/tmp/load_relay.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    CasterChild caster;
    caster.dir = dirTemplate;
    char yearText[16];
    time_t wall = time(nullptr);
    tm local{};
    localtime_r(&wall, &local);
    std::snprintf(yearText, sizeof yearText, "%d", local.tm_year + 1900 + 1);
    std::string baseFile, usersFile;
    for (const Base& b : bases) baseFile += "pw" + b.mount + " /" + b.mount + "\r\n";
    for (int r = 0; r < roverCount; ++r) {
        char user[32];
        std::snprintf(user, sizeof user, "rover%02d:pw%02d", r, r);
        usersFile += std::string(user) + " 100 " + yearText + " last first street town st zip e\r\n";
    }
    writeFile(caster.dir + "/caster.txt", casterFileText());
    writeFile(caster.dir + "/base.txt", baseFile);
    writeFile(caster.dir + "/users.txt", usersFile);
    writeFile(caster.dir + "/tcpbase.txt", "");

    int status = 1;
    Shared shared;
    std::vector<Rover> rovers(roverCount);
    std::thread sender, receiver;
    const int64_t runDeadline =
        nowNs() + (int64_t(opt.trustWaitS) + opt.durationS + 60) * secondNs;
    auto finish = [&](int code) {
        shared.stop.store(true);
        if (sender.joinable()) sender.join();
        if (receiver.joinable()) receiver.join();
        for (Base& b : bases)
            if (b.fd >= 0) close(b.fd);
        for (Rover& r : rovers)
            if (r.fd >= 0) close(r.fd);
        caster.stop();
        if (opt.keepDir)
            std::printf("caster directory kept: %s\n", caster.dir.c_str());
        else
            std::filesystem::remove_all(caster.dir);
        return code;
    };

    if (!caster.start(opt.caster)) {
        std::fprintf(stderr, "caster %s did not come up\n", opt.caster.c_str());
        return finish(1);
    }
    std::printf("caster pid %d, ports rover %d base %d http %d, dir %s\n", caster.pid,
                caster.roverPort, caster.basePort, caster.httpPort, caster.dir.c_str());

    // Bases log in (SOURCE with an STR line) and start replaying.
    int64_t start = nowNs();
    for (int i = 0; i < baseCount; ++i) {
        Base& b = bases[i];
        if (!loginBase(b, i, caster.basePort)) return finish(1);
        b.nextSendNs = start + secondNs + i * secondNs / baseCount;
        b.nextEpoch = 0;
    }
    sender = std::thread(senderThread, std::ref(bases), std::ref(shared), runDeadline);

    // Rovers log in: rover r takes base r % 10 and stream kind (r / 10) % 6.
    for (int i = 0; i < roverCount; ++i) {
        Rover& r = rovers[i];
        r.base = i % baseCount;
        r.kind = (i / baseCount) % streamKinds;
        std::string mount = r.kind == nearKind ? std::string("RTCM31_NEAR")
                                               : bases[r.base].mount + char('0' + r.kind);
        if (!loginRover(r, i, mount, caster.roverPort)) return finish(1);
    }
    receiver = std::thread(receiverThread, std::ref(rovers), std::ref(bases), std::cref(matcher),
                           std::ref(shared), runDeadline, opt.ggaAll);
    std::printf("10 bases and 100 rovers logged in after %.1f s; waiting for the bases to be "
                "trusted\n",
                double(nowNs() - start) / secondNs);
    std::fflush(stdout);

    // Every base trusted (a minute of data), then a few seconds for the
    // nearest-base rovers' next GGA to pick their bases.
    int trusted = 0;
    int64_t trustDeadline = start + int64_t(opt.trustWaitS) * secondNs;
    while (trusted < baseCount && nowNs() < trustDeadline && caster.alive()) {
        trusted += caster.countNew("is now trusted");
        sleepNs(200 * msNs);
    }
    if (trusted < baseCount) {
        std::fprintf(stderr, "only %d of %d bases trusted after %d s\n", trusted, baseCount,
                     opt.trustWaitS);
        return finish(1);
    }
    double trustedAfter = double(nowNs() - start) / secondNs;
    sleepNs(6 * secondNs);

    // The measured window.
    std::vector<int> tids = threadIds(caster.pid);
    std::vector<long> tidTicks0;
    for (int tid : tids)
        tidTicks0.push_back(cpuTicks("/proc/" + std::to_string(caster.pid) + "/task/" +
                                     std::to_string(tid) + "/stat"));
    long ticks0 = cpuTicks("/proc/" + std::to_string(caster.pid) + "/stat");
    long log0 = fileSize(caster.log);
    int64_t t0 = nowNs();
    shared.windowStart.store(t0);
    for (int64_t end = t0 + int64_t(opt.durationS) * secondNs; nowNs() < end;) {
        if (!caster.alive()) {
            printConsoleTail(caster.log);
            return finish(1);
        }
        sleepNs(std::min<int64_t>(end - nowNs(), 200 * msNs));
    }
    int64_t t1 = nowNs();
    shared.windowEnd.store(t1);
    long ticks1 = cpuTicks("/proc/" + std::to_string(caster.pid) + "/stat");
    long log1 = fileSize(caster.log);
    std::vector<long> tidTicks1;
    for (int tid : tids)
        tidTicks1.push_back(cpuTicks("/proc/" + std::to_string(caster.pid) + "/task/" +
                                     std::to_string(tid) + "/stat"));
    // Late frames of the window still arrive.
    sleepNs(secondNs);
    bool casterAlive = caster.alive();
    shared.stop.store(true);
    sender.join();
    receiver.join();

    // ------------------------------------------------------------ report
    double windowS = double(t1 - t0) / secondNs;
    double tick = double(sysconf(_SC_CLK_TCK));
    std::printf("\nload_relay: %d bases (testglo RTCM 3.1 legacy x5, gmsd7 MSM4 x5), %d rovers, "
                "%.1f s measured, all bases trusted %.1f s after login\n",
                baseCount, roverCount, windowS, trustedAfter);

    // Expected deliveries: every relayed frame a base sent in the window, to
    // every rover of that base whose stream passes that kind on unchanged.
    uint64_t expected = 0, delivered = 0, framesSent = 0;
    for (int bi = 0; bi < baseCount; ++bi) {
        for (const SendRecord& s : bases[bi].sent) {
            if (s.ns < t0 || s.ns > t1) continue;
            ++framesSent;
            for (const Rover& r : rovers) {
                if (r.base != bi || !relayedTo(r.kind, s.message)) continue;
                ++expected;
                if (r.matched.count(uint64_t(bi) << 32 | s.seq)) ++delivered;
            }
        }
    }
    std::printf("bases sent %llu frames in the window (%.1f frames/s)\n",
                (unsigned long long)framesSent, double(framesSent) / windowS);

    std::vector<double> all, byKind[streamKinds], builtByKind[streamKinds];
    std::map<int, std::vector<double>> byMessage;
    uint64_t garbage = 0, wrongBase = 0, frames = 0, bytes = 0;
    std::map<std::string, uint64_t> framesByKind[streamKinds];
    uint64_t bytesByKind[streamKinds] = {};
    int closedRovers = 0;
    for (const Rover& r : rovers) {
        all.insert(all.end(), r.relayMs.begin(), r.relayMs.end());
        for (const auto& [m, v] : r.relayByMessage)
            byMessage[m].insert(byMessage[m].end(), v.begin(), v.end());
        byKind[r.kind].insert(byKind[r.kind].end(), r.relayMs.begin(), r.relayMs.end());
        builtByKind[r.kind].insert(builtByKind[r.kind].end(), r.builtMs.begin(), r.builtMs.end());
        garbage += r.garbageBytes;
        wrongBase += r.wrongBase;
        frames += r.frames;
        bytes += r.bytes;
        bytesByKind[r.kind] += r.bytes;
        for (const auto& [name, count] : r.framesByName) framesByKind[r.kind][name] += count;
        if (r.closed) ++closedRovers;
    }
    std::printf("\nrelay latency, frames passed on unchanged (base send -> rover receive):\n");
    printStats("all rovers", all);
    for (int k : {0, 2, nearKind}) printStats(kindNames[k], byKind[k]);
    for (const auto& [m, v] : byMessage)
        printStats(("message " + std::to_string(m)).c_str(), v);
    std::printf("  delivered %llu of %llu expected relayed frames (%llu missing)\n",
                (unsigned long long)delivered, (unsigned long long)expected,
                (unsigned long long)(expected - delivered));

    std::printf("\nbuilt observation frames (base's epoch send -> rover receive):\n");
    for (int k = 0; k < streamKinds; ++k) printStats(kindNames[k], builtByKind[k]);

    std::printf("\nrover streams over the window:\n");
    for (int k = 0; k < streamKinds; ++k) {
        std::string list;
        for (const auto& [name, count] : framesByKind[k])
            list += " " + name + ":" + std::to_string(count);
        std::printf("  %-16s %7.1f kB/s  %s\n", kindNames[k], double(bytesByKind[k]) / 1000.0 / windowS,
                    list.c_str());
    }
    std::printf("  %llu frames, %.1f kB/s in all; bytes outside valid frames: %llu; frames of "
                "another base: %llu; rovers closed: %d\n",
                (unsigned long long)frames, double(bytes) / 1000.0 / windowS,
                (unsigned long long)garbage, (unsigned long long)wrongBase, closedRovers);

    std::printf("\ncaster CPU: %.1f ms per second (%.1f %% of one core) over %.1f s\n",
                double(ticks1 - ticks0) / tick * 1000.0 / windowS,
                double(ticks1 - ticks0) / tick * 100.0 / windowS, windowS);
    // The threads in start order: main, listen, base data, rover streaming.
    const char* threadNames[] = {"main", "listen", "base data", "rover streaming"};
    for (size_t k = 0; k < tids.size(); ++k) {
        if (tidTicks0[k] < 0 || tidTicks1[k] < 0) continue;
        std::printf("  thread %-16s %6.1f ms/s\n", k < 4 ? threadNames[k] : "other",
                    double(tidTicks1[k] - tidTicks0[k]) / tick * 1000.0 / windowS);
    }
    std::printf("caster console output: %.1f kB/s\n", double(log1 - log0) / 1000.0 / windowS);
    reportConsole(caster.log);
    if (!casterAlive) printConsoleTail(caster.log);

    bool ok = casterAlive && garbage == 0 && wrongBase == 0 && delivered == expected &&
              closedRovers == 0 && !all.empty();
    for (const Base& b : bases) ok = ok && !b.failed;
    std::printf("\nresult: %s\n", ok ? "every relayed frame arrived whole at every rover"
                                     : "FAULTS seen (see above)");
    status = ok ? 0 : 3;
    return finish(status);
}
