#include "network/network_thread.h"

#include <algorithm>

#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "network/erp_upkeep.h"
#include "network/gradients.h"
#include "platform/clock.h"

namespace {

// One system's share of a turn.
struct SystemTurn {
    std::atomic<uint8_t> BaseStation::*obsNew;
    MsgKind observations;      // the message whose stamp starts the delay
    bool (*computeGradients)(int baseIndex);
    int (*buildFkp)(int baseIndex, uint8_t* buffer);   // null: no FKP message
    MsgKind fkp;
};

constexpr SystemTurn systems[] = {
    {&BaseStation::gpsObsNew, kind1004, calcNetCorrGPS, encodeRtcm1034, kind1034},
    {&BaseStation::gloObsNew, kind1012, calcNetCorrGLO, encodeRtcm1035, kind1035},
    {&BaseStation::bdsObsNew, kind1104, calcNetCorrBDS, nullptr, kind1034},
};

uint32_t keptStamp(BaseStation& b, int kind)
{
    KeptMessage& m = b.msg[kind];
    std::lock_guard<std::mutex> g(m.frameLock);
    return m.msgStamp;
}

}   // namespace

void networkCorrectionTurn(uint32_t nowMs)
{
    // Only this thread builds here.
    static uint8_t frame[maxFrameBytes];
    for (int i = 0; i < maxBases; ++i) {
        BaseStation& b = baseStation[i];
        for (const SystemTurn& s : systems) {
            if (!(b.*s.obsNew).load()) continue;
            if (clockDiff(nowMs, keptStamp(b, s.observations)) <= networkDelayMs) continue;
            // The mark is taken before the work, so that an epoch decoded
            // meanwhile raises it again for the next turn instead of being
            // cleared unseen.
            (b.*s.obsNew).store(0);
            uint32_t writes = recordWritesBefore(b);
            s.computeGradients(i);
            int length = s.buildFkp ? s.buildFkp(i, frame) : 0;
            if (!recordUnchangedSince(b, writes)) {
                // The base data thread was writing the record (a late frame
                // of the epoch): what was read may mix two epochs. Again on
                // the next turn.
                (b.*s.obsNew).store(1);
                continue;
            }
            if (length > 0 && length <= maxFrameBytes)
                storeKeptMessage(b, s.fkp, frame, uint32_t(length), nowMs, false);
        }
    }
    updateErpRecords(nowMs);
}

int networkTurnWaitMs(uint32_t startMs, uint32_t nowMs)
{
    // Counted from the start of the turn, as the fixed period was.
    const uint32_t spent = nowMs - startMs;
    uint32_t next = networkIdleTurnMs;
    for (const ErpRecord& r : erp)
        if (r.inUse.load(std::memory_order_acquire)) next = networkTurnMs;
    // A base's observations are taken once they have stood networkDelayMs; a
    // mark raised while the thread sleeps is due no sooner than that.
    for (BaseStation& b : baseStation) {
        for (const SystemTurn& s : systems) {
            if (!(b.*s.obsNew).load()) continue;
            int32_t due = int32_t(keptStamp(b, s.observations) + networkDelayMs + 1 - startMs);
            // One the turn left (the record was being written) is tried
            // again after the usual period.
            uint32_t at = due > int32_t(spent) ? uint32_t(due) : uint32_t(networkTurnMs);
            next = std::min(next, at);
        }
    }
    return spent < next ? int(next - spent) : 1;
}

namespace {

// Whether a base's observations wait for their gradients or a synthetic
// station is kept: the work a later turn can have.
bool networkWorkPending()
{
    for (const ErpRecord& r : erp)
        if (r.inUse.load(std::memory_order_acquire)) return true;
    for (BaseStation& b : baseStation)
        for (const SystemTurn& s : systems)
            if ((b.*s.obsNew).load()) return true;
    return false;
}

}   // namespace

void networkCorrectionThread()
{
    // After a turn that left nothing pending, the turns only look whether
    // anything was noted since, without walking the records.
    bool restFound = false;
    uint32_t notesSeen = 0;
    while (dataThreadsRun) {
        uint32_t notes = networkWorkNotes.load(std::memory_order_acquire);
        if (restFound && notes == notesSeen) {
            sleepMs(networkIdleTurnMs);
            continue;
        }
        notesSeen = notes;
        uint32_t start = clockMs();
        networkCorrectionTurn(start);
        restFound = !networkWorkPending();
        sleepMs(networkTurnWaitMs(start, clockMs()));
    }
}
