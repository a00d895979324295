#include "caster/rover_thread.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cerrno>
#include <sys/epoll.h>
#include <string>

#include "formats/binr/binr_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "caster/console_echo.h"
#include "caster/erp_sender.h"
#include "caster/rover_stall.h"
#include "caster/stream_sender.h"
#include "core/base_station.h"
#include "core/records.h"
#include "core/rover_wake.h"
#include "core/startup_files.h"
#include "formats/nmea/nmea.h"
#include "network/erp_choice.h"
#include "network/nearest_base.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net.h"

namespace {

constexpr int roverRxBytes = 3090;
// Longest wait of a turn: the turn of a thread with nothing to do, with or
// without rovers connected.
constexpr int idleSleepMs = 100;
// Wait of a turn while rovers are connected when the thread cannot be woken
// by a stored message: it then looks every millisecond.
constexpr int unwokenTurnWaitMs = 1;

float finiteOrZero(float v)
{
    return std::isfinite(v) ? v : 0.0f;
}

void resetLine(Client& c)
{
    c.lineLength = 0;
    c.lineStar = -1;
}

void handleGga(int clientIndex, float latitude, float longitude, int fixQuality, int satellites,
               float hdop, float altitude, float correctionAge, int refStationId)
{
    Client& c = client[clientIndex];
    // A position that no receiver can report must not steer the base choice.
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0f ||
        std::fabs(longitude) > 180.0f)
        return;
    c.latitude = latitude;
    c.longitude = longitude;
    c.fixQuality = fixQuality;
    c.satellites = satellites;
    c.hdop = finiteOrZero(hdop);
    c.altitude = finiteOrZero(altitude);
    c.correctionAge = finiteOrZero(correctionAge);
    c.refStationId = refStationId;

    int code = c.streamCode;
    if (code >= 10 && code <= 49) {
        // The second-nearest NCT stream is served from the nearest base that
        // sends NCT itself; every other stream from the nearest bases.
        if (c.secondNearest)
            selectNearestNctBase(clientIndex);
        else
            selectNearestBases(clientIndex);
    } else if (code > 49) {
        if (selectNearestBases(clientIndex)) chooseErpRecord(clientIndex);
    }

    const char* text = nullptr;
    if (fixQuality == 4) text = "client is fixed";
    else if (fixQuality == 5) text = "client is float";
    else if (fixQuality == 2) text = "client is differential";
    if (text) {
        std::string line = std::string(text) + "\r\n\r\n";
        consoleWrite(line);
        writeLogFile(line);
    }
}

// One whole line (or NMEA sentence) the rover sent. True when it was a GGA
// sentence that was taken.
bool takeLine(int clientIndex)
{
    Client& c = client[clientIndex];
    const char* line = c.lineBuffer;
    uint32_t end = c.lineLength;
    while (end > 0 && line[end - 1] == '\r') --end;
    uint32_t start = 0;
    while (start < end && (line[start] == ' ' || line[start] == '\t')) ++start;
    if (end - start >= 3 && std::memcmp(line + start, "GET", 3) == 0 &&
        (end - start == 3 || line[start + 3] == ' ' || line[start + 3] == '\t')) {
        // The rover was answered at its login. A request that follows is not
        // answered again: an "ICY 200 OK" now would land inside its stream.
        return false;
    }
    if (!std::memchr(line + start, '$', end - start)) return false;
    float latitude = 0, longitude = 0, hdop = 0, altitude = 0, correctionAge = 0;
    int fixQuality = 0, satellites = 0, refStationId = 0;
    if (!parseGga(line, start, end, latitude, longitude, fixQuality, satellites, hdop, altitude,
                  correctionAge, refStationId))
        return false;
    handleGga(clientIndex, latitude, longitude, fixQuality, satellites, hdop, altitude,
              correctionAge, refStationId);
    return true;
}

// Sends a rover that has no base to be served from a 1013 now and then, so
// that it sees the connection is alive.
void sendKeepAlive(int clientIndex, uint32_t now)
{
    Client& c = client[clientIndex];
    if (uint32_t(now - c.lastSent1013) < roverKeepAliveMs) return;
    uint8_t frame[maxFrameBytes];
    int n = encodeRtcm1013(-1, frame);
    if (n <= 0 || n > maxFrameBytes) return;
    expectBatchFrames(clientIndex, 1);
    sendClientFrame(clientIndex, frame, uint32_t(n), &c.lastSent1013, now,
                    "error sending 1013 out ", now);
}

// A rover that named a base is served by the base connection it was
// admitted to, and by no other; the stream names (codes 10 and up) pick
// their bases by the rover's position instead.
bool servedBaseGone(const Client& c, const BaseStation& b)
{
    if (c.streamCode >= 10) return false;
    return !b.connected || b.connectionSerial != c.masterConnectionSerial;
}

}   // namespace

void handleRoverInput(int clientIndex, const char* data, uint32_t length)
{
    Client& c = client[clientIndex];
    consoleLine("checking for gga");
    consoleLine(maskedEcho(data, length, c.echoHeaderMatch, c.echoMasking));
    bool tookGga = false;
    for (uint32_t k = 0; k < length; ++k) {
        char ch = data[k];
        if (ch == '\n') {
            if (!c.lineOverflow && takeLine(clientIndex)) tookGga = true;
            c.lineOverflow = false;
            resetLine(c);
            continue;
        }
        if (c.lineOverflow) {
            // A sentence may still start within the overlong line.
            if (ch != '$') continue;
            c.lineOverflow = false;
        }
        if (c.lineLength >= uint32_t(clientLineBytes)) {
            c.lineOverflow = true;
            resetLine(c);
            continue;
        }
        c.lineBuffer[c.lineLength++] = ch;
        if (ch == '*') {
            c.lineStar = int32_t(c.lineLength - 1);
        } else if (c.lineStar >= 0 && c.lineLength == uint32_t(c.lineStar) + 3 &&
                   std::memchr(c.lineBuffer, '$', uint32_t(c.lineStar))) {
            // A sentence is whole with its two checksum digits; some rovers
            // send no line end after it.
            if (takeLine(clientIndex)) tookGga = true;
            resetLine(c);
        }
    }
    // A block that brought no position is, for the operator, a request of
    // the rover's device.
    if (!tookGga) consoleLine("checking client request from logged in user device");
}

namespace {

// The rover sockets as the thread's epoll set holds them, by slot. The set
// is kept up to date instead of being built for every wait: a wait then
// costs the same with one rover as with a hundred.
struct WatchedSocket {
    Socket fd = invalidSocket;
    uint32_t events = 0;
};
int watchSet = -1;
WatchedSocket watched[maxClients];
// Event data of the wake-up handle; the rovers' are their slot numbers.
constexpr uint32_t wakeEventData = maxClients;

bool openWatchSet()
{
    if (watchSet >= 0) return true;
    watchSet = epoll_create1(EPOLL_CLOEXEC);
    if (watchSet < 0) return false;
    if (wakeHandle(roverWake) >= 0) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = wakeEventData;
        epoll_ctl(watchSet, EPOLL_CTL_ADD, wakeHandle(roverWake), &e);
    }
    return true;
}

// Brings the set in line with the active slots. A slot whose socket was
// closed or replaced (the same descriptor number may come back for the next
// rover) is dropped and added afresh. Only a change of a slot (a login, a
// close) or a send pass (which marks full sockets) can make the set stale,
// so a turn after neither walks no slot. True when a slot's socket changed.
bool watchSetStale = true;
int watchedCount = 0;

bool syncWatchSet()
{
    uint64_t changed[2];
    takeRoverSocketChanges(changed);
    bool socketsChanged = (changed[0] | changed[1]) != 0;
    if (!socketsChanged && !watchSetStale) return false;
    watchSetStale = false;
    int count = 0;
    for (int i = 0; i < maxClients; ++i) {
        const Client& c = client[i];
        WatchedSocket& w = watched[i];
        Socket fd = c.active && c.clientSocket >= 0 ? c.clientSocket : invalidSocket;
        // A rover whose socket was full is watched for room as well, so that
        // the rest of its frame goes out as soon as it can.
        uint32_t events = EPOLLIN | (c.outputStalled ? uint32_t(EPOLLOUT) : 0u);
        bool renewed = (changed[i / 64] >> (i % 64)) & 1u;
        if (w.fd >= 0 && (renewed || w.fd != fd)) {
            // Fails harmlessly when the close already took it out.
            epoll_ctl(watchSet, EPOLL_CTL_DEL, w.fd, nullptr);
            w.fd = invalidSocket;
        }
        if (fd < 0) continue;
        ++count;
        if (w.fd == fd && w.events == events) continue;
        epoll_event e{};
        e.events = events;
        e.data.u32 = uint32_t(i);
        int op = w.fd == fd ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        if (epoll_ctl(watchSet, op, fd, &e) != 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
            epoll_ctl(watchSet, EPOLL_CTL_MOD, fd, &e);
        w.fd = fd;
        w.events = events;
    }
    watchedCount = count;
    return socketsChanged;
}

// What one read turn brought.
struct ReadTurn {
    int roversReady = 0;   // -1: no rover connected
    bool woken = false;    // a stored message, a login or a leaving base
    bool changed = false;  // a rover came or went
};

ReadTurn roverReadTurn(int timeoutMs);

}   // namespace

int roverReadPass(int timeoutMs)
{
    return roverReadTurn(timeoutMs).roversReady;
}

namespace {

ReadTurn roverReadTurn(int timeoutMs)
{
    ReadTurn turn;
    if (!openWatchSet()) {
        // Without an epoll set (never seen) the turn is only a sleep.
        sleepMs(timeoutMs);
        turn.roversReady = -1;
        turn.woken = true;
        return turn;
    }
    turn.changed = syncWatchSet();
    int count = watchedCount;

    epoll_event events[maxClients + 1];
    // With no rover connected this is the idle turn's sleep, which a login
    // ends early.
    int ready = epoll_wait(watchSet, events, maxClients + 1, timeoutMs);
    int roversReady = 0;
    char buffer[roverRxBytes];
    for (int k = 0; k < ready; ++k) {
        uint32_t slot = events[k].data.u32;
        if (slot == wakeEventData) {
            // Taken before the send pass reads the kept messages, so that a
            // message stored from now on wakes the next turn.
            takeWake(roverWake);
            turn.woken = true;
            continue;
        }
        if (slot >= uint32_t(maxClients)) continue;
        ++roversReady;
        Client& c = client[slot];
        uint32_t got = events[k].events;
        if (!c.active || c.clientSocket != watched[slot].fd) continue;
        if (got & EPOLLERR) consoleLine("client in err state Select function");
        if (!(got & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
        int n = socketRecv(c.clientSocket, buffer, sizeof buffer);
        if (n < 0) {
            int err = lastSocketError();
            if (err == errWouldBlock) continue;
            consolePrintf("error receiving client data.  %d\n", err);
            closeClient(c);
            continue;
        }
        if (n == 0) {
            consoleLine("client closed connection gracefully");
            closeClient(c);
            continue;
        }
        handleRoverInput(int(slot), buffer, uint32_t(n));
    }
    turn.roversReady = count == 0 || ready < 0 ? -1 : roversReady;
    return turn;
}

}   // namespace

// What the rovers read of each base, so that a stored message wakes this
// thread only when a rover takes it: its master's kinds for its stream, and
// for a stream that builds its frames anything of its auxiliary bases too.
void setServedKindsOfRovers()
{
    uint32_t kinds[maxBases] = {};
    for (const Client& c : client) {
        if (!c.active || c.masterBase < 0 || c.masterBase >= maxBases) continue;
        uint32_t read = kindsReadBy(c.streamCode);
        kinds[c.masterBase] |= read;
        if (read != allKindsRead) continue;
        for (int32_t a : c.auxBase)
            if (a >= 0 && a < maxBases) kinds[a] = allKindsRead;
    }
    setServedKinds(kinds, maxBases);
}

namespace {

// Each rover's work by the clock, as the last pass that served it left it:
// the clock value it is due at, and whether that is only its keep-alive.
// A turn that brought nothing (no rover sent, no message was stored, no
// rover came or went) serves only the rovers that are due, and sleeps
// until the soonest of them.
bool roverTimed[maxClients];
bool roverKeptAliveOnly[maxClients];
uint32_t roverDueAt[maxClients];
bool anyRoverServed = false;
// The bases (bit per base, as the wake-ups note them) whose stored messages
// can bring the rover anything: its master's, and for a stream that builds
// its frames its auxiliaries' too. A rover's bases change only with its
// input, its login or its close, and each of those makes a full pass.
uint32_t roverNewsRead[maxClients];
static_assert(maxBases < 31, "each base's news is a bit of its own below allRoverNews");

uint32_t basesReadBy(const Client& c)
{
    if (!c.active || c.erpIndex >= 0) return 0;
    int master = c.masterBase;
    if (master < 0 || master >= maxBases) return 0;
    uint32_t bases = 1u << master;
    if (kindsReadBy(c.streamCode) != allKindsRead) return bases;
    for (int32_t a : c.auxBase)
        if (a >= 0 && a < maxBases) bases |= 1u << a;
    return bases;
}

void noteRoverDue(int clientIndex, uint32_t now)
{
    const Client& c = client[clientIndex];
    roverNewsRead[clientIndex] = basesReadBy(c);
    uint32_t in = c.active ? roverDueInMs(clientIndex, now) : UINT32_MAX;
    roverTimed[clientIndex] = in != UINT32_MAX;
    roverDueAt[clientIndex] = now + in;
    int master = c.masterBase;
    roverKeptAliveOnly[clientIndex] = !c.outputStalled && c.erpIndex < 0 &&
                                      (master < 0 || master >= maxBases || c.streamCode >= 50);
    // A socket that filled up, or found room again, is watched afresh.
    bool watchedForRoom = (watched[clientIndex].events & EPOLLOUT) != 0;
    if (c.active && c.outputStalled != watchedForRoom) watchSetStale = true;
}

// One rover's share of a send pass.
void serveRover(int clientIndex, uint32_t now)
{
    Client& c = client[clientIndex];
    if (!checkRoverTakesData(clientIndex, now)) return;
    // Whatever the rover is sent this pass leaves in one segment.
    RoverOutputBatch batch(clientIndex);
    if (!flushClientOutput(clientIndex, now)) return;
    if (c.erpIndex >= 0) {
        if (!sendErpDataAt(clientIndex, now)) c.erpIndex = -1;
        return;
    }
    int master = c.masterBase;
    if (master >= 0 && master < maxBases && servedBaseGone(c, baseStation[master])) {
        // The base the rover named has left; its slot may already hold
        // another base, whose data must not reach this rover.
        consoleLine("base of client disconnected, closing connection");
        closeClient(c);
        return;
    }
    if (c.streamCode >= 50) {
        // An ERP rover without a record (no GGA yet, no node near, or
        // every record taken) is only kept alive.
        sendKeepAlive(clientIndex, now);
    } else if (master >= 0 && master < maxBases) {
        // A base that is connected but not yet trusted serves nothing.
        if (baseStation[master].trusted) sendBaseDataAt(clientIndex, now);
    } else {
        sendKeepAlive(clientIndex, now);
    }
}

// The pass of a turn that brought nothing new: only the rovers whose timed
// work has come. Every other rover would find nothing to send.
void roverDuePass(uint32_t now)
{
    for (int i = 0; i < maxClients; ++i) {
        if (!roverTimed[i] || int32_t(now - roverDueAt[i]) < 0) continue;
        if (client[i].active) serveRover(i, now);
        noteRoverDue(i, now);
    }
}

// The pass of a turn that brought only messages of some bases: their
// rovers, and those whose time has come.
void roverNewsPass(uint32_t now, uint32_t news)
{
    for (int i = 0; i < maxClients; ++i) {
        bool due = roverTimed[i] && int32_t(now - roverDueAt[i]) >= 0;
        if (!due && !(roverNewsRead[i] & news)) continue;
        if (client[i].active) serveRover(i, now);
        noteRoverDue(i, now);
    }
}

// Keep-alives due within this long of the first one wait for the last of
// them, so that rovers that logged in together are kept alive in one turn
// from then on instead of one turn each.
constexpr uint32_t keepAliveGatherMs = 40;
// The longest sleep while rovers are connected and nothing is timed: every
// other piece of work wakes the thread, this only bounds how late it sees
// the run flag cleared.
constexpr int longestRoverWaitMs = 1000;

}   // namespace

void roverSendPass(uint32_t now)
{
    setServedKindsOfRovers();
    anyRoverServed = false;
    for (int i = 0; i < maxClients; ++i) {
        if (client[i].active) {
            anyRoverServed = true;
            serveRover(i, now);
        }
        noteRoverDue(i, now);
    }
}

int roverTurnWaitMs(uint32_t passNow)
{
    if (!anyRoverServed) return idleSleepMs;
    if (wakeHandle(roverWake) < 0) return unwokenTurnWaitMs;
    // Soonest timed work, and the soonest keep-alive apart: keep-alives
    // due shortly after it are gathered into its turn.
    uint32_t soonest = UINT32_MAX, soonestKeepAlive = UINT32_MAX;
    for (int i = 0; i < maxClients; ++i) {
        if (!roverTimed[i]) continue;
        int32_t ahead = int32_t(roverDueAt[i] - passNow);
        uint32_t in = ahead > 0 ? uint32_t(ahead) : 0;
        if (roverKeptAliveOnly[i])
            soonestKeepAlive = std::min(soonestKeepAlive, in);
        else
            soonest = std::min(soonest, in);
    }
    if (soonestKeepAlive != UINT32_MAX) {
        uint32_t gathered = soonestKeepAlive;
        for (int i = 0; i < maxClients; ++i) {
            if (!roverTimed[i] || !roverKeptAliveOnly[i]) continue;
            int32_t ahead = int32_t(roverDueAt[i] - passNow);
            uint32_t in = ahead > 0 ? uint32_t(ahead) : 0;
            if (in <= soonestKeepAlive + keepAliveGatherMs) gathered = std::max(gathered, in);
        }
        soonest = std::min(soonest, gathered);
    }
    soonest = std::min(soonest, uint32_t(longestRoverWaitMs));
    uint32_t spent = clockMs() - passNow;
    return soonest > spent ? int(soonest - spent) : 0;
}

void clientThread()
{
    // The first turn serves every rover already there.
    bool passDue = true;
    uint32_t now = clockMs();
    while (dataThreadsRun) {
        // Sleeps until a rover sends, a full socket makes room, a message is
        // stored for a base a rover is served from, a rover comes or goes,
        // or the clock makes something due.
        ReadTurn turn = roverReadTurn(passDue ? 0 : roverTurnWaitMs(now));
        now = clockMs();
        uint32_t news = takeRoverNews();
        if (passDue || turn.changed || turn.roversReady > 0 || (news & allRoverNews) ||
            (anyRoverServed && wakeHandle(roverWake) < 0)) {
            roverSendPass(now);
        } else if (!anyRoverServed) {
            continue;
        } else if (news != 0) {
            roverNewsPass(now, news);
        } else {
            roverDuePass(now);
        }
        passDue = false;
    }
    for (Client& c : client) closeClient(c);
}
