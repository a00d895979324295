#include "caster/base_data_thread.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <cstring>
#include <string>

#include "caster/base_upkeep.h"
#include "caster/transcoding.h"
#include "core/base_station.h"
#include "core/records.h"
#include "core/rover_wake.h"
#include "formats/frames.h"
#include "formats/nmea/nmea.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net.h"

namespace {

// Longest wait of a turn: an idle caster still runs the upkeep ten times a
// second, which is more than its checks need (they count in seconds); a
// base's bytes end the wait at once.
constexpr int idleWaitMs = 100;
// Pause after a failed wait on the sockets, so a lasting failure does not
// spin; also the turn while no base is connected, which a base's login ends.
constexpr int failedWaitSleepMs = 250;

// The turn with no base connected: nothing to read until one logs in.
void waitForBaseArrival(int timeoutMs)
{
    int handle = wakeHandle(baseArrivalWake);
    if (handle < 0) {
        sleepMs(idleWaitMs);
        return;
    }
    pollfd p{handle, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) takeWake(baseArrivalWake);
}

time_t absDiff(time_t a, time_t b) { return a > b ? a - b : b - a; }

// The recognisers in the order the scan asks them. The NMEA detector reads
// the copy buffer, the binary ones the receive buffer (both hold the same
// bytes while the scan runs forward from `position`).
int32_t recogniseFrame(const BaseStation& b, uint32_t position, uint32_t end, uint32_t& length)
{
    const uint8_t* rx = reinterpret_cast<const uint8_t*>(b.rxBuffer);
    int32_t code = findNmeaSentence(b.rxBufferCopy, position, end, length);
    if (code == noFrame) code = checkRtcm3Frame(rx, position, end, length);
    if (code == noFrame) code = checkCmrId(rx, position, end, length);
    if (code == noFrame) code = checkNctId(rx, end, position, length);
    return code;
}

}   // namespace

uint32_t appendBaseData(int baseIndex, const uint8_t* data, uint32_t length)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return 0;
    BaseStation& b = baseStation[baseIndex];
    uint32_t at = b.rxWriteIndex;
    if (at >= uint32_t(rxBufferSize)) return 0;
    uint32_t n = std::min<uint32_t>(length, rxBufferSize - at);
    std::memcpy(b.rxBuffer + at, data, n);
    std::memcpy(b.rxBufferCopy + at, data, n);
    b.rxWriteIndex = at + n;
    return n;
}

// Nothing stays in the buffer that can no longer become a frame. Bytes
// that start no frame are moved down to `kept`; they are dropped as soon as
// a whole frame follows them, since a frame is never interrupted by another
// one, and at the end only the last maxFrameBytes of them stay: a frame that
// started further back would already lie wholly in the buffer and have been
// found. Whole frames go: handled ones after their handler, the others (a
// GGA sentence, an MSM7) at once. So noise and kinds nobody handles cost no
// room, and the buffer never wraps onto a frame that is still arriving.
// A recogniser only looks forward from its position, and nothing at or
// after the position has been moved yet, so each sees the bytes as they
// arrived.
uint32_t scanBaseBuffer(int baseIndex, time_t now, uint32_t clockMs)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return 0;
    BaseStation& b = baseStation[baseIndex];
    uint32_t end = std::min<uint32_t>(b.rxWriteIndex, rxBufferSize);
    uint32_t position = 0;
    uint32_t kept = 0;
    uint32_t handled = 0;

    beginCountedWrite(b.receiveScans);
    while (position < end) {
        uint32_t length = 0;
        int32_t code = recogniseFrame(b, position, end, length);
        bool whole = code != noFrame && length > 0 && length <= end - position;
        if (whole) {
            // Bytes before a whole frame can be no frame's head: a frame is
            // never interrupted by another one.
            kept = 0;
        }
        if (whole && code == codeNmeaGsv) {
            if (parseGsv(b.rxBufferCopy, position, position + length, baseIndex)) {
                b.lastDataTime = now;
                b.gsvPrevRxTime = b.gsvRxTime;
                b.gsvRxTime = clockMs;
            }
            ++handled;
            position += length;
            continue;
        }
        if (whole && isHandledCode(code)) {
            handleBaseFrame(baseIndex, code, position, length, now, clockMs);
            ++handled;
            position += length;
            continue;
        }
        if (whole) {
            // A whole frame of a kind nobody handles (a GGA sentence, an
            // MSM7) will never be of use: it goes at once, and its inner
            // bytes are no frame starts.
            position += length;
            continue;
        }
        b.rxBuffer[kept++] = b.rxBuffer[position++];
    }
    endCountedWrite(b.receiveScans);

    uint32_t from = kept > uint32_t(maxFrameBytes) ? kept - maxFrameBytes : 0;
    uint32_t held = kept - from;
    if (from > 0) std::memmove(b.rxBuffer, b.rxBuffer + from, held);
    std::memcpy(b.rxBufferCopy, b.rxBuffer, held);
    b.rxWriteIndex = held;
    return handled;
}

void receiveBaseData(int baseIndex, time_t now, uint32_t clockMs)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return;
    BaseStation& b = baseStation[baseIndex];
    uint32_t at = b.rxWriteIndex;
    if (at >= uint32_t(rxBufferSize)) {
        // Cannot happen after a scan; keep the slot usable regardless.
        scanBaseBuffer(baseIndex, now, clockMs);
        at = b.rxWriteIndex;
    }
    int n = socketRecv(b.socket, b.rxBuffer + at, rxBufferSize - at);
    if (n < 0) {
        int err = lastSocketError();
        if (err == errWouldBlock) return;
        consoleWrite("error receiving base data.  " + std::to_string(err) + "\n");
        resetBaseStation(b);
        return;
    }
    if (n == 0) {
        consoleLine("base station closed connection gracefully");
        resetBaseStation(b);
        return;
    }
    checkMagneticField(baseIndex, clockMs);
    std::memcpy(b.rxBufferCopy + at, b.rxBuffer + at, uint32_t(n));
    b.rxWriteIndex = at + uint32_t(n);
    // The frames of one receive (an epoch's observations, as a rule) reach
    // the rover thread in one pass.
    RoverWakeHold hold;
    scanBaseBuffer(baseIndex, now, clockMs);
}

int baseReadPass(int timeoutMs)
{
    pollfd fds[maxBases];
    int slots[maxBases];
    int count = 0;
    for (int i = 0; i < maxBases; ++i) {
        const BaseStation& b = baseStation[i];
        if (!b.connected || b.socket < 0) continue;
        fds[count].fd = b.socket;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        slots[count] = i;
        ++count;
    }
    if (count == 0) return -1;
    int ready = poll(fds, nfds_t(count), timeoutMs);
    if (ready <= 0) return ready < 0 && errno != EINTR ? -2 : 0;

    // The frames are stamped with the time they arrived, not the time the
    // wait began.
    time_t now = wallTime();
    uint32_t clock = clockMs();
    int read = 0;
    for (int k = 0; k < count; ++k) {
        short events = fds[k].revents;
        if (events == 0) continue;
        BaseStation& b = baseStation[slots[k]];
        if (!b.connected || b.socket != fds[k].fd) continue;
        if (events & POLLNVAL) {
            consoleLine("thread read Connected Sockets  Socket in Err group ");
            resetBaseStation(b);
            continue;
        }
        // A hang-up or an error is read too: the receive reports it.
        ++read;
        receiveBaseData(slots[k], now, clock);
    }
    return read;
}

void baseDataThread()
{
    time_t lastPeriodicPass = 0;
    while (dataThreadsRun) {
        time_t now = wallTime();
        uint32_t clock = clockMs();
        if (absDiff(now, lastPeriodicPass) > periodicPassGapS) {
            runPeriodicPass(now, clock);
            lastPeriodicPass = now;
        }
        runSilenceTrustPass(now, clock);

        // An idle turn still lasts idleWaitMs, but a base's bytes end the
        // wait at once: sleeping after an empty poll instead held every
        // frame that arrived meanwhile for up to the whole sleep.
        int read = baseReadPass(idleWaitMs);
        if (read == -1) waitForBaseArrival(failedWaitSleepMs);
        else if (read < -1) sleepMs(failedWaitSleepMs);
    }
    for (int i = 0; i < maxBases; ++i) resetBaseStation(baseStation[i]);
}
