#include "caster/stream_sender.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "formats/binr/binr_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "core/base_station.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/net.h"

static_assert(clientPendingOutputBytes >= maxFrameBytes,
              "a rover must be able to hold the rest of the largest frame");

namespace {

// One kept kind relayed as received or built by the base data thread.
struct Relay {
    MsgKind kind;
    uint32_t Client::*lastSent;
    const char* logText;   // null: sent without a console line
    const char* errorText;
};

// One BINR frame built for the rover from the master base when the source
// kind carries a new stamp.
struct BinrBuild {
    MsgKind source;
    uint32_t Client::*lastSent;
    int (*build)(uint8_t* buffer, int baseIndex);
    const char* logText;
    const char* errorText;
};

// Observation kinds, then station and system kinds, per output format.
constexpr Relay rtcm31Observations[] = {
    {kind1003, &Client::lastSent1003, nullptr, "error sending 1003 out "},
    {kind1004, &Client::lastSent1004, nullptr, "error sending 1004 out "},
    {kind1011, &Client::lastSent1011, nullptr, "error sending 1011 out "},
    {kind1012, &Client::lastSent1012, nullptr, "error sending 1012 out "},
    {kind1104, &Client::lastSent1104, nullptr, "error sending 1104 out "},
};
constexpr Relay rtcm31Station[] = {
    {kind1005, &Client::lastSent1005, "sending 1005", "error sending 1005 out "},
    {kind1006, &Client::lastSent1006, "sending 1006", "error sending 1006 out "},
    {kind1007, &Client::lastSent1007, "sending 1007", "error sending 1007 out "},
    {kind1008, &Client::lastSent1008, "sending 1008", "error sending 1008 out "},
    {kind1013, &Client::lastSent1013, "sending 1013", "error sending 1013 out "},
    {kind1230, &Client::lastSent1230, nullptr, "error sending 1230 out "},
};
constexpr Relay msmObservations[] = {
    {kind1074, &Client::lastSent1074, "sending 1074 single", "error sending 1074 out "},
    {kind1084, &Client::lastSent1084, "sending 1084 single", "error sending 1084 out "},
    {kind1094, &Client::lastSent1094, "sending 1094 single", "error sending 1094 out "},
    {kind1124, &Client::lastSent1124, "sending 1124 single", "error sending 1124 out "},
    {kind1114, &Client::lastSent1114, nullptr, "error sending 1114 QZSS out "},
};
constexpr Relay msmStation[] = {
    {kind1005, &Client::lastSent1005, "sending 1005", "error sending 1005 out "},
    {kind1006, &Client::lastSent1006, "sending 1006", "error sending 1006 out "},
    {kind1007, &Client::lastSent1007, "sending 1007", "error sending 1007 out "},
    {kind1008, &Client::lastSent1008, "sending 1008", "error sending 1008 out "},
    {kind1013, &Client::lastSent1013, "sending 1013", "error sending 1013 out "},
    {kind1032, &Client::lastSent1032, "sending 1032", "error sending 1032 out "},
    {kind1033, &Client::lastSent1033, "sending 1033", "error sending 1033 out "},
    {kind1230, &Client::lastSent1230, nullptr, "error sending 1230 out "},
};
constexpr Relay cmrObservations[] = {
    {kindCmr0, &Client::lastSentCmr0, "sending new CMR0 single", "error sending CMR0 out "},
    {kindCmr3, &Client::lastSentCmr3, "sending new CMR3 single", "error sending CMR3 out "},
};
constexpr Relay cmrStation[] = {
    {kindCmr1, &Client::lastSentCmr1, "sending CMR1 message", "error sending CMR1 out "},
    {kindCmr2, &Client::lastSentCmr2, "sending CMR2 message", "error sending CMR2 out "},
};
constexpr Relay nctObservations[] = {
    {kindNct5E, &Client::lastSentNct5E, "sending NCT 5E single", "error sending NCT 5E out "},
    {kindNct61, &Client::lastSentNct61, "sending NCT 61 single", "error sending NCT 61 out "},
    {kindNct5B, &Client::lastSentNct5B, "sending NCT 5B single", "error sending NCT 5B out "},
};
constexpr Relay nctStation[] = {
    {kindNct5C, &Client::lastSentNct5C, "sending NCT 5C", "error sending NCT 5C out "},
    {kindNct5D, &Client::lastSentNct5D, "sending NCT 5D", "error sending NCT 5D out "},
};

int buildBinr69Gps(uint8_t* buffer, int baseIndex) { return encodeBinr69(buffer, baseIndex, 1); }
int buildBinr69Glo(uint8_t* buffer, int baseIndex) { return encodeBinr69(buffer, baseIndex, 2); }

constexpr BinrBuild binrObservations[] = {
    {kind1004, &Client::lastSentBinr69Gps, buildBinr69Gps, "sending 69h gps single",
     "error sending BINR 69h GPS out "},
    {kind1012, &Client::lastSentBinr69Glo, buildBinr69Glo, "sending 69h glo single",
     "error sending BINR 69h GLO out "},
};
// The reference position follows the master's 1005 and its 1006, each with
// its own stamp.
constexpr BinrBuild binrStation[] = {
    {kind1005, &Client::lastSentBinr6A, encodeBinr6A, "sending 6Ah from 1005",
     "error sending BINR 6Ah out "},
    {kind1006, &Client::lastSentBinr6A1006, encodeBinr6A, "sending 6Ah from 1006",
     "error sending BINR 6Ah out "},
};

// The systems (bit per netSystem index) whose pending network frames the
// pass of a stream code builds and then clears. A flag of any other system
// is kept current but read by nothing, and times nothing.
unsigned netSystemsServed(int code)
{
    constexpr unsigned gps = 1u << netSystemGps, glo = 1u << netSystemGlo,
                       bds = 1u << netSystemBds, gal = 1u << netSystemGal;
    switch (code) {
    case 20: return gps | glo | bds;
    case 30: return gps | glo | bds;
    case 31: return gps | glo;
    case 32: return gps | glo | gal | bds;
    case 33: return gps | glo;
    case 34: return gps | glo;
    default: return 0;
    }
}

// From `now` to `at`, when `at` lies ahead; else not timed.
uint32_t timeUntil(uint32_t at, uint32_t now)
{
    int32_t ahead = int32_t(at - now);
    return ahead > 0 ? uint32_t(ahead) : UINT32_MAX;
}

void markStalled(Client& c, uint32_t now)
{
    if (c.outputStalled) return;
    c.outputStalled = true;
    c.stalledSinceMs = now;
}

// False when the rover may not be sent anything more this pass.
bool relayKinds(int clientIndex, BaseStation& b, std::span<const Relay> kinds, uint32_t now)
{
    Client& c = client[clientIndex];
    uint8_t frame[maxFrameBytes];
    for (const Relay& r : kinds) {
        uint32_t length = 0, stamp = 0;
        if (!copyKeptMessage(b, r.kind, frame, length, stamp, c.*r.lastSent)) continue;
        if (r.logText) consoleLine(r.logText);
        if (sendClientFrame(clientIndex, frame, length, &(c.*r.lastSent), stamp, r.errorText,
                            now) != FrameSend::sent)
            return false;
    }
    return true;
}

bool buildBinr(int clientIndex, int baseIndex, std::span<const BinrBuild> kinds, uint32_t now)
{
    Client& c = client[clientIndex];
    BaseStation& b = baseStation[baseIndex];
    uint8_t frame[maxFrameBytes];
    for (const BinrBuild& r : kinds) {
        uint32_t stamp = 0;
        // These frames come from the record itself, which the base data
        // thread may be writing: one built meanwhile (a source frame kept,
        // its decode not yet done) is dropped and built again next pass.
        uint32_t writes = recordWritesBefore(b);
        if (writes & 1u) continue;
        if (!newKeptStamp(b, r.source, stamp, c.*r.lastSent)) continue;
        int n = r.build(frame, baseIndex);
        if (!recordUnchangedSince(b, writes)) continue;
        consoleLine(r.logText);
        if (n <= 0 || n > maxFrameBytes) {
            // Nothing to send for this stamp.
            c.*r.lastSent = stamp;
            continue;
        }
        if (sendClientFrame(clientIndex, frame, uint32_t(n), &(c.*r.lastSent), stamp,
                            r.errorText, now) != FrameSend::sent)
            return false;
    }
    return true;
}

}   // namespace

FrameSend sendClientFrame(int clientIndex, const uint8_t* frame, uint32_t length,
                          uint32_t* stampTarget, uint32_t stamp, const char* errorText,
                          uint32_t now)
{
    Client& c = client[clientIndex];
    // Nothing may overtake the rest of a frame already started.
    if (c.pendingOutputLength > 0) return FrameSend::held;
    if (length == 0 || length > uint32_t(clientPendingOutputBytes)) {
        if (stampTarget) *stampTarget = stamp;
        return FrameSend::sent;
    }
    int n = socketSend(c.clientSocket, frame, length);
    if (n < 0) {
        int err = lastSocketError();
        if (err == errWouldBlock) {
            markStalled(c, now);
            return FrameSend::held;
        }
        consolePrintf("%s%d\n", errorText, err);
        closeClient(c);
        return FrameSend::closed;
    }
    if (uint32_t(n) >= length) {
        if (stampTarget) *stampTarget = stamp;
        c.outputStalled = false;
        return FrameSend::sent;
    }
    std::memcpy(c.pendingOutput, frame + n, length - uint32_t(n));
    c.pendingOutputOffset = 0;
    c.pendingOutputLength = length - uint32_t(n);
    c.pendingStampTarget = stampTarget;
    c.pendingStamp = stamp;
    c.pendingErrorText = errorText;
    if (n > 0) {
        c.outputStalled = true;
        c.stalledSinceMs = now;
    } else {
        markStalled(c, now);
    }
    return FrameSend::held;
}

bool flushClientOutput(int clientIndex, uint32_t now)
{
    Client& c = client[clientIndex];
    if (c.pendingOutputLength > 0) {
        int n = socketSend(c.clientSocket, c.pendingOutput + c.pendingOutputOffset,
                           c.pendingOutputLength);
        if (n < 0) {
            int err = lastSocketError();
            if (err != errWouldBlock) {
                consolePrintf("%s%d\n", c.pendingErrorText ? c.pendingErrorText : "error sending ",
                              err);
                closeClient(c);
                return false;
            }
        } else if (n > 0) {
            c.stalledSinceMs = now;
            c.pendingOutputOffset += uint32_t(n);
            c.pendingOutputLength -= std::min(uint32_t(n), c.pendingOutputLength);
            if (c.pendingOutputLength == 0) {
                if (c.pendingStampTarget) *c.pendingStampTarget = c.pendingStamp;
                c.pendingStampTarget = nullptr;
                c.pendingErrorText = nullptr;
                c.pendingOutputOffset = 0;
                c.outputStalled = false;
            }
        }
    } else if (c.outputStalled && waitWritable(c.clientSocket, 0) == 1) {
        // Nothing was left over and the rover has made room again.
        c.outputStalled = false;
    }
    if (c.outputStalled && clockDiff(now, c.stalledSinceMs) > roverStallLimitMs) {
        consoleLine("client has taken no data for 30 s, closing connection");
        closeClient(c);
        return false;
    }
    return c.pendingOutputLength == 0;
}

uint32_t roverDueInMs(int clientIndex, uint32_t now)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return UINT32_MAX;
    const Client& c = client[clientIndex];
    uint32_t soonest = UINT32_MAX;
    if (c.outputStalled)
        soonest = std::min(soonest, timeUntil(c.stalledSinceMs + roverStallLimitMs + 1, now));
    // The rover's branch of the send pass: its ERP record, its master base,
    // or the keep-alive.
    if (c.erpIndex >= 0) return soonest;
    int master = c.masterBase;
    // An ERP rover without a record is only kept alive, whatever its master.
    if (master < 0 || master >= maxBases || c.streamCode >= 50)
        return std::min(soonest, timeUntil(c.lastSent1013 + roverKeepAliveMs, now));
    if (!baseStation[master].trusted) return soonest;
    unsigned systems = netSystemsServed(c.streamCode);
    for (int s = 0; s < 4; ++s)
        if ((systems >> s & 1u) && c.netPending[s])
            soonest = std::min(soonest, timeUntil(c.netPendingClock[s] + netFrameDelayMs, now));
    return soonest;
}

bool sendBaseData(int clientIndex)
{
    return sendBaseDataAt(clientIndex, clockMs());
}

bool sendBaseDataAt(int clientIndex, uint32_t now)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return false;
    Client& c = client[clientIndex];
    int code = c.streamCode;
    int master = c.masterBase;
    if (master < 0 || master >= maxBases) return false;
    BaseStation& b = baseStation[master];

    // Single-base (0-4) and nearest-base (10-14) streams differ only in how
    // the master base was chosen.
    switch (code) {
    case 0:
    case 10:
        return relayKinds(clientIndex, b, rtcm31Observations, now) &&
               relayKinds(clientIndex, b, rtcm31Station, now);
    case 1:
    case 11:
        return buildBinr(clientIndex, master, binrObservations, now) &&
               buildBinr(clientIndex, master, binrStation, now);
    case 2:
    case 12:
        return relayKinds(clientIndex, b, msmObservations, now) &&
               relayKinds(clientIndex, b, msmStation, now);
    case 3:
    case 13:
        return relayKinds(clientIndex, b, nctObservations, now) &&
               relayKinds(clientIndex, b, nctStation, now);
    case 4:
    case 14:
        return relayKinds(clientIndex, b, cmrObservations, now) &&
               relayKinds(clientIndex, b, cmrStation, now);
    default:
        // The master-auxiliary (2x), iMAC (3x), FKP (4x) and ERP (5x)
        // streams are not served yet: nothing is built or sent for them.
        return true;
    }
}
