#include "caster/stream_sender.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "formats/binr/binr_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "core/base_station.h"
#include "core/records.h"
#include "core/caster_settings.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"
#include "network/imac_iono_messages.h"
#include "network/imac_observations.h"
#include "network/mac_diffs.h"
#include "network/record_copy.h"
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

// The FKP streams: the master's observations with its FKP messages, each
// system's observations followed by its gradients.
constexpr Relay rtcm31Fkp[] = {
    {kind1004, &Client::lastSent1004, "sending 1004 FKP", "error sending 1004 out "},
    {kind1034, &Client::lastSent1034, "sending 1034 FKP", "error sending 1034 out "},
    {kind1012, &Client::lastSent1012, "sending 1012 FKP", "error sending 1012 out "},
    {kind1035, &Client::lastSent1035, "sending 1035 FKP", "error sending 1035 out "},
    {kind1104, &Client::lastSent1104, "sending 1104 FKP", "error sending 1104 out "},
};
constexpr Relay msmFkp[] = {
    {kind1074, &Client::lastSent1074, "sending 1074 FKP", "error sending 1074 out "},
    {kind1034, &Client::lastSent1034, "sending 1034 FKP", "error sending 1034 out "},
    {kind1084, &Client::lastSent1084, "sending 1084 FKP", "error sending 1084 out "},
    {kind1035, &Client::lastSent1035, "sending 1035 FKP", "error sending 1035 out "},
    {kind1094, &Client::lastSent1094, "sending 1094 FKP", "error sending 1094 out "},
    {kind1124, &Client::lastSent1124, "sending 1124 FKP", "error sending 1124 out "},
};

// A new epoch of a system is seen by a new stamp of its source kind; the
// network frames of that system wait for the rest of the epoch.
struct EpochSource {
    MsgKind kind;
    uint32_t Client::*lastSent;
    int system;
};
constexpr EpochSource nctImacSources[] = {
    {kindNct5B, &Client::lastSentNct5B, netSystemGps},
    {kindNct5E, &Client::lastSentNct5E, netSystemGlo},
};
constexpr EpochSource cmrImacSources[] = {
    {kindCmr0, &Client::lastSentCmr0, netSystemGps},
    {kindCmr3, &Client::lastSentCmr3, netSystemGlo},
};
constexpr EpochSource generalSources[] = {
    {kind1004, &Client::lastSent1004, netSystemGps},
    {kind1012, &Client::lastSent1012, netSystemGlo},
    {kind1104, &Client::lastSent1104, netSystemBds},
};
constexpr EpochSource msmImacSources[] = {
    {kind1074, &Client::lastSent1074, netSystemGps},
    {kind1084, &Client::lastSent1084, netSystemGlo},
    {kind1094, &Client::lastSent1094, netSystemGal},
    {kind1124, &Client::lastSent1124, netSystemBds},
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

template <typename Row>
uint32_t sourceKinds(std::span<const Row> rows)
{
    uint32_t mask = 0;
    for (const Row& r : rows) {
        if constexpr (requires { r.source; })
            mask |= 1u << r.source;
        else
            mask |= 1u << r.kind;
    }
    return mask;
}

// The systems (bit per netSystem index) whose pending network frames the
// pass of a stream code builds and then clears: the rows of netFrameRows.
// A flag of any other system is kept current but read by nothing, and
// times nothing.
unsigned netSystemsServed(int code);

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

// The longest table of relayed kinds: one pass copies them all before the
// first goes out.
constexpr size_t maxRelayKinds = 8;
template <size_t N>
constexpr bool fitsOnePass(const Relay (&)[N])
{
    return N <= maxRelayKinds;
}
static_assert(fitsOnePass(rtcm31Observations) && fitsOnePass(rtcm31Station) &&
              fitsOnePass(msmObservations) && fitsOnePass(msmStation) &&
              fitsOnePass(cmrObservations) && fitsOnePass(cmrStation) &&
              fitsOnePass(nctObservations) && fitsOnePass(nctStation) &&
              fitsOnePass(rtcm31Fkp) && fitsOnePass(msmFkp));

// A kept frame copied for this pass, with the synchronous flag (or MSM
// multiple message bit) it came with: -1 for a frame without one.
struct RelayCopy {
    const Relay* relay = nullptr;
    uint32_t length = 0, stamp = 0;
    int sync = -1;
    uint8_t frame[maxFrameBytes];
};

// The observation frames of one epoch that go out in one pass. The base set
// their flags for its own order of systems, and these go out in the table's
// order: a base that sends GLONASS before GPS marks the 1012 "more follow"
// and the 1004 "last", which sent 1004 first would close the epoch before
// the rover has read the GLONASS frame. So each of them but the last says
// more follow, and the last says what the base said of the epoch's end:
// "last" unless every one of them expected more. Frames of the epoch are
// those kept within the network delay of its newest frame (an older epoch's
// frame, left over for a rover that fell behind, keeps its own flag).
// Rewrites a copy's flag (and CRC) only where it differs: with a base that
// sends in the stream's own order, none does.
void setRelaySync(RelayCopy& r, bool more)
{
    if (r.sync != int(more)) setLastObservationSyncFlag(r.frame, r.length, more);
}

void closeEpochOnLast(RelayCopy* copies, int count)
{
    int newest = -1;
    for (int k = 0; k < count; ++k)
        if (copies[k].sync >= 0 &&
            (newest < 0 || int32_t(copies[k].stamp - copies[newest].stamp) > 0))
            newest = k;
    if (newest < 0) return;
    int last = -1;
    bool allSayMore = true;
    for (int k = 0; k < count; ++k) {
        RelayCopy& r = copies[k];
        if (r.sync < 0 || clockDiff(copies[newest].stamp, r.stamp) >= netFrameDelayMs) continue;
        allSayMore = allSayMore && r.sync == 1;
        if (last >= 0) setRelaySync(copies[last], true);
        last = k;
    }
    setRelaySync(copies[last], allSayMore);
}

// False when the rover may not be sent anything more this pass.
bool relayKinds(int clientIndex, BaseStation& b, std::span<const Relay> kinds, uint32_t now)
{
    Client& c = client[clientIndex];
    RelayCopy copies[maxRelayKinds];
    int count = 0;
    // Frames copied while the base data thread stored the frames of a
    // receive may be part of an epoch: they are copied again once it is
    // done, within a millisecond.
    const uint32_t scans = b.receiveScans.load(std::memory_order_acquire);
    for (const Relay& r : kinds) {
        RelayCopy& k = copies[count];
        if (!copyKeptMessage(b, r.kind, k.frame, k.length, k.stamp, c.*r.lastSent)) continue;
        k.relay = &r;
        k.sync = lastObservationSyncFlag(k.frame, k.length);
        ++count;
    }
    if (count > 0 && !countUnchangedSince(b.receiveScans, scans)) {
        c.recordRebuildDue = true;
        return true;
    }
    closeEpochOnLast(copies, count);
    for (int k = 0; k < count; ++k) {
        const RelayCopy& copy = copies[k];
        const Relay& r = *copy.relay;
        if (r.logText) consoleLine(r.logText);
        if (sendClientFrame(clientIndex, copy.frame, copy.length, &(c.*r.lastSent), copy.stamp,
                            r.errorText, now) != FrameSend::sent)
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
        // its decode not yet done) is dropped and built again on a pass
        // soon after. Its stamp alone may have woken the thread: the end of
        // the write wakes it only when it stores something more.
        uint32_t writes = recordWritesBefore(b);
        if (!newKeptStamp(b, r.source, stamp, c.*r.lastSent)) continue;
        if (writes & 1u) {
            c.recordRebuildDue = true;
            continue;
        }
        int n = r.build(frame, baseIndex);
        if (!recordUnchangedSince(b, writes)) {
            c.recordRebuildDue = true;
            continue;
        }
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

// A kept frame as it stands, without the event and stamp tests of a relay
// (the short lock still keeps a rewrite out). False when nothing is kept.
bool copyKeptFrame(BaseStation& b, int kind, uint8_t* out, uint32_t& length, uint32_t& stamp)
{
    KeptMessage& m = b.msg[kind];
    std::lock_guard<std::mutex> g(m.frameLock);
    if (m.msgLength == 0 || m.msgLength > uint32_t(maxFrameBytes)) return false;
    std::memcpy(out, m.msgBuffer, m.msgLength);
    length = m.msgLength;
    stamp = m.msgStamp;
    return true;
}

void detectEpochs(Client& c, BaseStation& b, std::span<const EpochSource> sources, uint32_t now)
{
    for (const EpochSource& e : sources) {
        uint32_t stamp = 0;
        if (!newKeptStamp(b, e.kind, stamp, c.*e.lastSent)) continue;
        c.*e.lastSent = stamp;
        c.netPending[e.system] = true;
        c.netPendingClock[e.system] = now;
    }
}

// New-epoch detection: every stream keeps the general stamps current; the
// iMAC streams of NCT, CMR and MSM also watch their own source kinds.
void detectNewEpochs(int clientIndex, BaseStation& b, uint32_t now)
{
    Client& c = client[clientIndex];
    int code = c.streamCode;
    if (code == 33) detectEpochs(c, b, nctImacSources, now);
    if (code == 34) detectEpochs(c, b, cmrImacSources, now);
    // The RTCM 3.1 single-base, nearest-base and FKP streams relay 1004,
    // 1012 and 1104 themselves under these rows' last-sent stamps. A frame
    // stored after the relay's turn would have its stamp taken here and
    // never be sent; nothing reads their flags, so these rows are left out.
    bool relaysSources = code == 0 || code == 10 || code == 40;
    if (!relaysSources) detectEpochs(c, b, generalSources, now);
    if (code == 32) detectEpochs(c, b, msmImacSources, now);
}

// What became of one system's network frames.
enum class NetFrames {
    done,      // sent (or nothing to send): the system's flag is cleared
    retry,     // the socket took nothing: the flag stays, nothing more this pass
    stopped,   // the rover was closed, or its socket filled up part way
};

// `follows` tells whether another system's observations of the epoch go
// out after this system's in this stream: the flag its observation
// message must carry.
using NetFrameSender = NetFrames (*)(int clientIndex, uint32_t now, bool follows);

// A frame of a system's network epoch. `first` tells whether nothing of the
// epoch has gone out yet.
NetFrames sendNetFrame(int clientIndex, const uint8_t* frame, uint32_t length,
                       uint32_t* stampTarget, uint32_t stamp, const char* errorText,
                       uint32_t now, bool first)
{
    switch (sendClientFrame(clientIndex, frame, length, stampTarget, stamp, errorText, now)) {
    case FrameSend::sent: return NetFrames::done;
    case FrameSend::closed: return NetFrames::stopped;
    case FrameSend::held: break;
    }
    // A frame the socket took in part goes out whole later. The epoch's
    // first frame that the socket refused outright is built again on the
    // next pass; a later one is dropped with the rest of the epoch, since
    // building it all again would send its first frames twice.
    if (first && client[clientIndex].pendingOutputLength == 0) return NetFrames::retry;
    return NetFrames::stopped;
}

// The master's kept 1104 as it stands.
NetFrames sendMaster1104(int clientIndex, uint32_t now, bool follows)
{
    BaseStation& b = baseStation[client[clientIndex].masterBase];
    uint8_t frame[maxFrameBytes];
    uint32_t length = 0, stamp = 0;
    if (!copyKeptFrame(b, kind1104, frame, length, stamp)) return NetFrames::done;
    setObservationSyncFlag(frame, length, follows);
    return sendNetFrame(clientIndex, frame, length, nullptr, 0, "error sending 1104 out ", now,
                        true);
}

// One system's master-auxiliary epoch: the master's observations unchanged,
// then, for each auxiliary base at the same epoch, its correction
// differences, the combined message where a geometric difference is known.
struct MacSystem {
    MsgKind observations;
    const char* observationError;
    uint32_t BaseStation::*epoch;
    bool eventTest;   // the auxiliary's own observations must be complete
    bool (*differences)(int clientIndex, int auxSlot);
    int geoEntries;   // entries of a geometric row that are looked at
    int (*ionospheric)(int, uint8_t*, int, uint8_t, int, int*);
    int (*combined)(int, uint8_t*, int, uint8_t, int, int*);
    uint32_t Client::*lastSentIonospheric;
    uint32_t Client::*lastSentCombined;
};

constexpr MacSystem macGps = {kind1004, "error sending 1004 out ", &BaseStation::gpsTowMs, false,
                              calcGpsCorrDiffs, 32, encodeRtcm1015, encodeRtcm1017,
                              &Client::lastSent1015, &Client::lastSent1017};
constexpr MacSystem macGlo = {kind1012, "error sending 1012 out to MAC user",
                              &BaseStation::gloEpochMs, true, calcGloCorrDiffs, gloSatEntries,
                              encodeRtcm1037, encodeRtcm1039, &Client::lastSent1037,
                              &Client::lastSent1039};

const char* macErrorText(bool glonass, int auxNumber)
{
    if (glonass) return "error sending 1037 / 1039 out ";
    static const char* const gps[3] = {"error sending 1015 / 1017 out",
                                       "error sending 1015 / 1017 out ",
                                       "error sending 1015 / 1017out "};
    return gps[auxNumber - 1];
}

bool rowHasValue(const float* row, int entries)
{
    for (int s = 0; s < entries; ++s)
        if (row[s] != 0) return true;
    return false;
}

NetFrames sendMacEpoch(int clientIndex, const MacSystem& sys, uint32_t now, bool follows)
{
    Client& c = client[clientIndex];
    BaseStation& master = baseStation[c.masterBase];
    const bool glonass = sys.observations == kind1012;
    uint8_t frame[maxFrameBytes];
    uint32_t length = 0, masterStamp = 0;
    if (copyKeptFrame(master, sys.observations, frame, length, masterStamp)) {
        // The kept frame's flag assumes the base's own order of systems;
        // this stream has its own.
        setObservationSyncFlag(frame, length, follows);
        NetFrames r = sendNetFrame(clientIndex, frame, length, nullptr, 0, sys.observationError,
                                   now, true);
        if (r != NetFrames::done) return r;
    }

    bool takesPart[3] = {};
    for (int k = 0; k < 3; ++k) {
        int aux = c.auxBase[k];
        if (aux < 0 || aux >= maxBases || aux == c.masterBase) continue;
        BaseStation& a = baseStation[aux];
        if (a.*sys.epoch != master.*sys.epoch) continue;
        if (sys.eventTest && !eventIsSet(a.msg[sys.observations].msgEvent)) continue;
        // Differences read while the base data thread wrote either record
        // may mix two epochs: that auxiliary sits this epoch out.
        uint32_t masterWrites = recordWritesBefore(master), auxWrites = recordWritesBefore(a);
        takesPart[k] = sys.differences(clientIndex, k) &&
                       recordUnchangedSince(master, masterWrites) &&
                       recordUnchangedSince(a, auxWrites);
    }
    for (int k = 0; k < 3; ++k) {
        if (!takesPart[k]) continue;
        uint8_t more = 0;
        for (int later = k + 1; later < 3; ++later)
            if (takesPart[later]) more = 1;
        const float* geoRow = glonass ? c.gloGeoDiff[k] : c.gpsGeoDiff[k];
        bool combined = rowHasValue(geoRow, sys.geoEntries);
        auto build = combined ? sys.combined : sys.ionospheric;
        uint32_t* stampTarget = &(c.*(combined ? sys.lastSentCombined : sys.lastSentIonospheric));
        // More than 15 satellites take several messages; all but the last
        // say that more follow.
        int parts = 1;
        for (int part = 0; part < parts; ++part) {
            int n = build(clientIndex, frame, k + 1, more, part, &parts);
            if (n <= 0 || n > maxFrameBytes) break;
            NetFrames r = sendNetFrame(clientIndex, frame, uint32_t(n), stampTarget, masterStamp,
                                       macErrorText(glonass, k + 1), now, false);
            if (r != NetFrames::done) return r;
        }
    }
    return NetFrames::done;
}

NetFrames sendMacGps(int clientIndex, uint32_t now, bool follows)
{
    return sendMacEpoch(clientIndex, macGps, now, follows);
}
NetFrames sendMacGlo(int clientIndex, uint32_t now, bool follows)
{
    return sendMacEpoch(clientIndex, macGlo, now, follows);
}

// ---- iMAC: the rover's own frames, built from the master's epoch moved to
// the rover's position (observations) or from values interpolated there
// (ionospheric corrections).

// One frame of a rover's iMAC epoch. `build` gives part `part` of the frame
// and the number of parts (one, except MSM epochs of more than 64 cells).
struct ImacFrame {
    int (*build)(int clientIndex, uint8_t* frame, int part, int* parts);
    const char* logText;   // null: none
    bool logBeforeBuild;
    const char* errorText;
};

// The per-rover MSM builders read the master's record directly: a frame
// built while a decode ran is built again.
template <int (*Build)(int, uint8_t*, int, int*)>
int msmForRover(int clientIndex, uint8_t* frame, int part, int* parts)
{
    const int m = client[clientIndex].masterBase;
    int n = 0;
    if (!copyConsistently(&m, 1, [&] { n = Build(clientIndex, frame, part, parts); })) return 0;
    return n;
}

template <int (*Build)(int, uint8_t*)>
int clientFirst(int clientIndex, uint8_t* frame, int, int*)
{
    return Build(clientIndex, frame);
}

template <int (*Build)(uint8_t*, int)>
int bufferFirst(int clientIndex, uint8_t* frame, int, int*)
{
    return Build(frame, clientIndex);
}

int nct5BForRover(int clientIndex, uint8_t* frame, int, int*)
{
    return encodeNct5BImac(frame, clientIndex, nctOutputMode);
}

constexpr ImacFrame imac1074[] = {{msmForRover<encodeRtcm1074Client>, "sending 1074 iMAC", false,
                                   "error sending 1074 iMAC out "}};
constexpr ImacFrame imac1084[] = {{msmForRover<encodeRtcm1084Client>, "sending 1084 iMAC", false,
                                   "error sending 1084 iMAC out "}};
constexpr ImacFrame imac1094[] = {{msmForRover<encodeRtcm1094Client>, "sending 1094 iMAC", false,
                                   "error sending 1094 iMAC out "}};
constexpr ImacFrame imac1124[] = {{encodeRtcm1124Imac, "sending 1124 iMAC", false,
                                   "error sending 1124 iMAC out "}};
constexpr ImacFrame imacNctDual[] = {
    {nct5BForRover, "sending NCT5B iMAC", false, "error sending NCT5B iMAC out "},
    {bufferFirst<encodeNct5EGpsGloImac>, "sending NCT5E dual iMAC", false,
     "error sending NCT5E dual iMAC out "}};
constexpr ImacFrame imacNctGps[] = {
    {nct5BForRover, "sending NCT5B iMAC", false, "error sending NCT5B iMAC out "},
    {bufferFirst<encodeNct5EGpsImac>, "sending NCT5E gps iMAC", false,
     "error sending NCT5E gps iMAC out "}};
constexpr ImacFrame imacCmr0[] = {{bufferFirst<encodeCmr0Imac>, "sending CMR0 iMAC", false,
                                   "error sending CMR0iMAC out "}};
constexpr ImacFrame imacCmr3[] = {{bufferFirst<encodeCmr3Imac>, "sending CMR3 iMAC", true,
                                   "error sending CMR3iMAC out "}};
constexpr ImacFrame imacBinrGps[] = {{clientFirst<encodeBinr69GpsImac>, nullptr, false,
                                      "error sending BINR GPS iMAC out "}};
constexpr ImacFrame imacBinrGlo[] = {{clientFirst<encodeBinr69GloImac>, nullptr, false,
                                      "error sending BINR GLO iMAC out "}};
constexpr ImacFrame imac1004[] = {{clientFirst<encodeRtcm1004Imac>, nullptr, false,
                                   "error sending 1004iMAC out "}};
constexpr ImacFrame imac1012[] = {{clientFirst<encodeRtcm1012Imac>, nullptr, false,
                                   "error sending 1012iMAC out "}};

// Builds and sends one system's iMAC frames. A frame that comes out empty
// (no master, or a record that never held still) is not sent.
NetFrames sendImacFrames(int clientIndex, std::span<const ImacFrame> frames, uint32_t now,
                         bool follows)
{
    uint8_t frame[maxFrameBytes];
    bool first = true;
    for (const ImacFrame& f : frames) {
        int parts = 1;
        for (int part = 0; part < parts; ++part) {
            if (f.logText && f.logBeforeBuild) consoleLine(f.logText);
            int n = f.build(clientIndex, frame, part, &parts);
            if (n <= 0 || n > maxFrameBytes) break;
            // RTCM observations only; every part but the last says more follow.
            setObservationSyncFlag(frame, uint32_t(n), part + 1 < parts || follows);
            if (f.logText && !f.logBeforeBuild) consoleLine(f.logText);
            NetFrames r = sendNetFrame(clientIndex, frame, uint32_t(n), nullptr, 0, f.errorText,
                                       now, first);
            if (r != NetFrames::done) return r;
            first = false;
        }
    }
    return NetFrames::done;
}

template <const auto& Frames>
NetFrames imacSender(int clientIndex, uint32_t now, bool follows)
{
    return sendImacFrames(clientIndex, Frames, now, follows);
}

// NCT: 5B, then 5E in the layout the caster settings choose.
NetFrames sendImacNct(int clientIndex, uint32_t now, bool follows)
{
    if (casterSettings.nctGlonass) return sendImacFrames(clientIndex, imacNctDual, now, follows);
    return sendImacFrames(clientIndex, imacNctGps, now, follows);
}

// The GLONASS epoch of an NCT rover has no frames of its own.
NetFrames nothingToSend(int, uint32_t, bool) { return NetFrames::done; }

// One row per stream code and system, in the order the systems are handled.
struct NetFrameRow {
    int code;
    int system;
    NetFrameSender send;
};
constexpr NetFrameRow netFrameRows[] = {
    // RTCM 3.2 iMAC: 1074, 1084, 1094 for the rover, 1124 from the master's gradients.
    {32, netSystemGps, imacSender<imac1074>},
    {32, netSystemGlo, imacSender<imac1084>},
    {32, netSystemGal, imacSender<imac1094>},
    {32, netSystemBds, imacSender<imac1124>},
    // NCT iMAC: 5B then 5E (GPS, or GPS and GLONASS) on the GPS epoch; the
    // GLONASS epoch only clears its flag.
    {33, netSystemGps, sendImacNct},
    {33, netSystemGlo, nothingToSend},
    // CMR iMAC: type 0 and type 3.
    {34, netSystemGps, imacSender<imacCmr0>},
    {34, netSystemGlo, imacSender<imacCmr3>},
    // BINR iMAC: 69h GPS and GLONASS.
    {31, netSystemGps, imacSender<imacBinrGps>},
    {31, netSystemGlo, imacSender<imacBinrGlo>},
    // RTCM 3.1 iMAC: 1004 and 1012 for the rover, the master's 1104 as it is.
    {30, netSystemGps, imacSender<imac1004>},
    {30, netSystemGlo, imacSender<imac1012>},
    {30, netSystemBds, sendMaster1104},
    // RTCM 3.1 MAC.
    {20, netSystemBds, sendMaster1104},
    {20, netSystemGlo, sendMacGlo},
    {20, netSystemGps, sendMacGps},
};

unsigned netSystemsServed(int code)
{
    unsigned systems = 0;
    for (const NetFrameRow& row : netFrameRows)
        if (row.code == code) systems |= 1u << row.system;
    return systems;
}

// Whether the stream still has another system's epoch to send: one whose
// frames wait in a later row of this pass or for a later pass. The delay
// before network frames go out lets every system of an epoch be noted
// before the first of them is sent, so these are the same epoch's.
bool otherSystemPending(const Client& c, int code, int system)
{
    for (const NetFrameRow& row : netFrameRows)
        if (row.code == code && row.system != system && c.netPending[row.system]) return true;
    return false;
}

// The network frames of every system that is due. False when the rover may
// not be sent more this pass (or was closed).
bool sendNetworkFrames(int clientIndex, uint32_t now)
{
    Client& c = client[clientIndex];
    const int code = c.streamCode;
    for (const NetFrameRow& row : netFrameRows) {
        if (row.code != code) continue;
        if (!c.netPending[row.system] ||
            clockDiff(now, c.netPendingClock[row.system]) < netFrameDelayMs)
            continue;
        NetFrames r = row.send(clientIndex, now, otherSystemPending(c, code, row.system));
        if (r == NetFrames::retry) return false;
        if (!c.active) return false;
        c.netPending[row.system] = false;
        if (r == NetFrames::stopped) return false;
    }
    return true;
}

}   // namespace

namespace {
// Per rover: inside a batch, and the socket that holds frames back for it.
bool batchOpen[maxClients];
Socket heldBackOn[maxClients];
// Frames the batch is known to carry still, when known: the last of them
// goes out without MSG_MORE and takes what was held back with it, which
// saves the push after it (a system call per rover and pass).
int framesLeft[maxClients];
}   // namespace

RoverOutputBatch::RoverOutputBatch(int clientIndex)
    : clientIndex_(clientIndex),
      outermost_(clientIndex >= 0 && clientIndex < maxClients && !batchOpen[clientIndex])
{
    if (!outermost_) return;
    batchOpen[clientIndex] = true;
    heldBackOn[clientIndex] = invalidSocket;
    framesLeft[clientIndex] = 0;
}

void expectBatchFrames(int clientIndex, int count)
{
    if (clientIndex < 0 || clientIndex >= maxClients || !batchOpen[clientIndex]) return;
    // Without TCP_NODELAY a last send could wait for an acknowledgement;
    // the push after the batch never does.
    framesLeft[clientIndex] = clientNoDelay && count > 0 ? count : 0;
}

RoverOutputBatch::~RoverOutputBatch()
{
    if (!outermost_) return;
    batchOpen[clientIndex_] = false;
    Socket s = heldBackOn[clientIndex_];
    heldBackOn[clientIndex_] = invalidSocket;
    // A rover closed during the batch has nothing held any more.
    if (s >= 0 && client[clientIndex_].clientSocket == s) pushSocketOutput(s);
}

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
    int n;
    if (batchOpen[clientIndex] && framesLeft[clientIndex] == 1) {
        framesLeft[clientIndex] = 0;
        n = socketSend(c.clientSocket, frame, length);
        // Everything held back left with it.
        if (n > 0) heldBackOn[clientIndex] = invalidSocket;
    } else if (batchOpen[clientIndex]) {
        if (framesLeft[clientIndex] > 0) --framesLeft[clientIndex];
        n = socketSendMore(c.clientSocket, frame, length);
        if (n > 0) heldBackOn[clientIndex] = c.clientSocket;
    } else {
        n = socketSend(c.clientSocket, frame, length);
    }
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

uint32_t kindsReadBy(int streamCode)
{
    switch (streamCode) {
    case 0:
    case 10:
        return sourceKinds<Relay>(rtcm31Observations) | sourceKinds<Relay>(rtcm31Station);
    case 1:
    case 11:
        return sourceKinds<BinrBuild>(binrObservations) | sourceKinds<BinrBuild>(binrStation);
    case 2:
    case 12:
        return sourceKinds<Relay>(msmObservations) | sourceKinds<Relay>(msmStation);
    case 3:
    case 13:
        return sourceKinds<Relay>(nctObservations) | sourceKinds<Relay>(nctStation);
    case 4:
    case 14:
        return sourceKinds<Relay>(cmrObservations) | sourceKinds<Relay>(cmrStation);
    default:
        // A stream that builds its frames may read any kind.
        return allKindsRead;
    }
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
    // A full socket wakes the thread when it has room, and the pass then
    // builds the frame anyway.
    if (c.recordRebuildDue && !c.outputStalled) soonest = std::min(soonest, recordRebuildWaitMs);
    unsigned systems = netSystemsServed(c.streamCode);
    for (int s = 0; s < 4; ++s)
        if ((systems >> s & 1u) && c.netPending[s])
            soonest = std::min(soonest, timeUntil(c.netPendingClock[s] + netFrameDelayMs, now));
    return soonest;
}

namespace {

// The relayed groups of a stream: its observations (single-base and
// nearest-base streams, which differ only in how the master base was
// chosen), its station and system messages, and the FKP streams' own
// observations and gradients. Any other code gets nothing here.
bool relayGroups(int clientIndex, int code, int master, uint32_t now)
{
    BaseStation& b = baseStation[master];
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
    case 20:
    case 30:
        return relayKinds(clientIndex, b, rtcm31Station, now);
    case 31: return buildBinr(clientIndex, master, binrStation, now);
    case 32: return relayKinds(clientIndex, b, msmStation, now);
    case 33: return relayKinds(clientIndex, b, nctStation, now);
    case 34: return relayKinds(clientIndex, b, cmrStation, now);
    case 40:
        return relayKinds(clientIndex, b, rtcm31Station, now) &&
               relayKinds(clientIndex, b, rtcm31Fkp, now);
    case 42:
        return relayKinds(clientIndex, b, msmStation, now) &&
               relayKinds(clientIndex, b, msmFkp, now);
    default: return true;
    }
}

}   // namespace

namespace {

// How many frames the relayed groups of a stream that only relays will
// send the rover this pass; 0 for a stream that builds frames as well.
int newRelayFrames(int clientIndex, int code, BaseStation& b)
{
    const Client& c = client[clientIndex];
    auto count = [&](std::span<const Relay> kinds) {
        int n = 0;
        for (const Relay& r : kinds) {
            uint32_t stamp = 0;
            if (newKeptStamp(b, r.kind, stamp, c.*r.lastSent)) ++n;
        }
        return n;
    };
    switch (code) {
    case 0:
    case 10: return count(rtcm31Observations) + count(rtcm31Station);
    case 2:
    case 12: return count(msmObservations) + count(msmStation);
    case 3:
    case 13: return count(nctObservations) + count(nctStation);
    case 4:
    case 14: return count(cmrObservations) + count(cmrStation);
    default: return 0;
    }
}

}   // namespace

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

    c.recordRebuildDue = false;
    expectBatchFrames(clientIndex, newRelayFrames(clientIndex, code, b));
    if (!relayGroups(clientIndex, code, master, now)) return false;
    detectNewEpochs(clientIndex, b, now);
    return sendNetworkFrames(clientIndex, now);
}
