#include "caster/rover_thread.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <poll.h>
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

int roverReadPass(int timeoutMs)
{
    // The rovers' sockets, then the wake-up of a stored message.
    pollfd fds[maxClients + 1];
    int slots[maxClients];
    int count = 0;
    for (int i = 0; i < maxClients; ++i) {
        const Client& c = client[i];
        if (!c.active || c.clientSocket < 0) continue;
        fds[count].fd = c.clientSocket;
        // A rover whose socket was full is watched for room as well, so that
        // the rest of its frame goes out as soon as it can.
        fds[count].events = short(POLLIN | (c.outputStalled ? POLLOUT : 0));
        fds[count].revents = 0;
        slots[count] = i;
        ++count;
    }
    nfds_t watched = nfds_t(count);
    if (wakeHandle(roverWake) >= 0) {
        fds[watched].fd = wakeHandle(roverWake);
        fds[watched].events = POLLIN;
        fds[watched].revents = 0;
        ++watched;
    }
    // With no rover connected this is the idle turn's sleep, which a login
    // ends early.
    int ready = poll(fds, watched, timeoutMs);
    if (ready > 0 && watched > nfds_t(count) && fds[count].revents != 0) {
        // Taken before the send pass reads the kept messages, so that a
        // message stored from now on wakes the next turn.
        takeWake(roverWake);
        --ready;
    }
    if (count == 0) return -1;
    if (ready <= 0) return ready < 0 ? ready : 0;

    char buffer[roverRxBytes];
    for (int k = 0; k < count; ++k) {
        short events = fds[k].revents;
        if (events == 0) continue;
        Client& c = client[slots[k]];
        if (!c.active || c.clientSocket != fds[k].fd) continue;
        if (events & (POLLERR | POLLNVAL)) consoleLine("client in err state Select function");
        if (!(events & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
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
        handleRoverInput(slots[k], buffer, uint32_t(n));
    }
    return ready;
}

// The bases whose stored messages must wake this thread: those its rovers
// are served from, auxiliaries included.
uint32_t servedBaseMask()
{
    uint32_t mask = 0;
    for (const Client& c : client) {
        if (!c.active) continue;
        if (c.masterBase >= 0 && c.masterBase < maxBases) mask |= 1u << c.masterBase;
        for (int32_t a : c.auxBase)
            if (a >= 0 && a < maxBases) mask |= 1u << a;
    }
    return mask;
}

void roverSendPass(uint32_t now)
{
    setServedBases(servedBaseMask());
    for (int i = 0; i < maxClients; ++i) {
        Client& c = client[i];
        if (!c.active) continue;
        if (!checkRoverTakesData(i, now)) continue;
        if (!flushClientOutput(i, now)) continue;
        if (c.erpIndex >= 0) {
            if (!sendErpDataAt(i, now)) c.erpIndex = -1;
            continue;
        }
        int master = c.masterBase;
        if (master >= 0 && master < maxBases && servedBaseGone(c, baseStation[master])) {
            // The base the rover named has left; its slot may already hold
            // another base, whose data must not reach this rover.
            consoleLine("base of client disconnected, closing connection");
            closeClient(c);
            continue;
        }
        if (c.streamCode >= 50) {
            // An ERP rover without a record (no GGA yet, no node near, or
            // every record taken) is only kept alive.
            sendKeepAlive(i, now);
        } else if (master >= 0 && master < maxBases) {
            // A base that is connected but not yet trusted serves nothing.
            if (baseStation[master].trusted) sendBaseDataAt(i, now);
        } else {
            sendKeepAlive(i, now);
        }
    }
}

int roverTurnWaitMs(uint32_t passNow)
{
    bool anyRover = false;
    uint32_t soonest = idleSleepMs;
    for (int i = 0; i < maxClients; ++i) {
        if (!client[i].active) continue;
        anyRover = true;
        soonest = std::min(soonest, roverDueInMs(i, passNow));
    }
    if (anyRover && wakeHandle(roverWake) < 0) return unwokenTurnWaitMs;
    uint32_t spent = clockMs() - passNow;
    return soonest > spent ? int(soonest - spent) : 0;
}

void clientThread()
{
    uint32_t now = clockMs();
    while (dataThreadsRun) {
        // Sleeps until a rover sends, a full socket makes room, a message is
        // stored for a base a rover is served from, or the clock makes
        // something due; then one send pass over every rover, as before.
        roverReadPass(roverTurnWaitMs(now));
        now = clockMs();
        roverSendPass(now);
    }
    for (Client& c : client) closeClient(c);
}
