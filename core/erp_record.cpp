#include "core/erp_record.h"

#include <cstring>

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
    r.inUse = 0;
    r.gpsEpochMs = r.gloEpochMs = r.bdsEpochMs = r.galEpochMs = 1;
    for (int i = 0; i < 4; ++i) {
        r.baseIndex[i] = -1;
        r.baseDistance[i] = 0;
    }
    r.gpsPending = r.gloPending = false;
    r.gpsPendingClock = r.gloPendingClock = 0;
}
