#include "network/network_thread.h"

#include "core/base_station.h"
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

void networkCorrectionThread()
{
    while (dataThreadsRun) {
        uint32_t start = clockMs();
        networkCorrectionTurn(start);
        uint32_t spent = clockMs() - start;
        sleepMs(spent < uint32_t(networkTurnMs) ? networkTurnMs - int(spent) : 1);
    }
}
