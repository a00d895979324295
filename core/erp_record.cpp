#include "core/erp_record.h"

#include <cstring>

#include "core/rover_wake.h"

ErpRecord erp[maxErpRecords];

void initErpRecord(ErpRecord& r)
{
    for (auto& s : r.gpsSlot) s = ErpSatSlot{};
    for (auto& s : r.glonassSlot) s = ErpSatSlot{};
    for (int k = 0; k < erpMsgKindCount; ++k) {
        resetEvent(r.msgEvent[k]);
        std::lock_guard<std::mutex> g(r.frameLock[k]);
        r.msgLength[k] = 0;
        r.msgStamp[k] = 0;
    }
    r.latitude = r.longitude = r.height = 0;
    r.ecefX = r.ecefY = r.ecefZ = 0;
    r.gpsEpochMs = r.gloEpochMs = r.bdsEpochMs = r.galEpochMs = 1;
    r.gpsMasterEpochMs = r.gloMasterEpochMs = 1;
    for (int i = 0; i < 4; ++i) {
        r.baseIndex[i] = -1;
        r.baseDistance[i] = 0;
    }
    r.anchorBase = -1;
    r.anchorSerial = 0;
    r.gpsPending = r.gloPending = false;
    r.gpsPendingClock = r.gloPendingClock = 0;
    // Last, so that a rover thread that sees the record free finds it whole.
    r.inUse.store(0, std::memory_order_release);
}

void releaseErpRecord(ErpRecord& r)
{
    if (r.inUse) initErpRecord(r);
}

bool copyErpMessage(ErpRecord& r, int kind, uint8_t* out, uint32_t& length, uint32_t& stamp,
                    uint32_t lastStamp)
{
    if (kind < 0 || kind >= erpMsgKindCount || !eventIsSet(r.msgEvent[kind])) return false;
    std::lock_guard<std::mutex> g(r.frameLock[kind]);
    if (r.msgLength[kind] == 0 || r.msgStamp[kind] == lastStamp) return false;
    length = r.msgLength[kind];
    stamp = r.msgStamp[kind];
    std::memcpy(out, r.msgBuffer[kind], length);
    return true;
}

bool storeErpMessage(ErpRecord& r, int kind, const uint8_t* frame, uint32_t length,
                     uint32_t stamp)
{
    if (kind < 0 || kind >= erpMsgKindCount) return false;
    if (length == 0 || length > sizeof r.msgBuffer[kind]) return false;
    resetEvent(r.msgEvent[kind]);
    {
        std::lock_guard<std::mutex> g(r.frameLock[kind]);
        std::memcpy(r.msgBuffer[kind], frame, length);
        r.msgLength[kind] = length;
        r.msgStamp[kind] = stamp;
    }
    setEvent(r.msgEvent[kind]);
    wakeRoverThread();
    return true;
}
