#include "network/erp_upkeep.h"

#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "network/erp_messages.h"
#include "network/erp_synthesis.h"
#include "network/nearest_base.h"
#include "platform/clock.h"

namespace {

// A record no rover has been sent anything from for this long is freed.
constexpr time_t erpIdleLimitS = 600;
// The master's epoch is synthesised this long after it changed, when the
// other bases' frames of the same epoch are in.
constexpr uint32_t erpPendingDelayMs = 200;
// Station messages are rebuilt this often.
constexpr uint32_t erpStationIntervalMs = 10000;

// The line through two points in the latitude/longitude plane:
// a x latitude + b x longitude = c.
void setLine(double* line, double lat1, double lon1, double lat2, double lon2)
{
    line[0] = lon2 - lon1;
    line[1] = lat1 - lat2;
    line[2] = line[0] * lat1 + line[1] * lon1;
}

// The record's four nearest bases and the ten lines between them and the
// node. False when no base lies within 100 km.
bool placeBases(ErpRecord& r)
{
    const float lat = float(r.latitude), lon = float(r.longitude);
    int found[4];
    double distance[4];
    found[0] = findNearestBase100km(lat, lon, -1, -1, -1, distance[0]);
    found[1] = findNearestBase100km(lat, lon, found[0], -1, -1, distance[1]);
    found[2] = findNearestBase100km(lat, lon, found[0], found[1], -1, distance[2]);
    found[3] = findNearestBase100km(lat, lon, found[0], found[1], found[2], distance[3]);
    if (found[0] < 0) return false;
    double bLat[4] = {}, bLon[4] = {};
    for (int i = 0; i < 4; ++i) {
        r.baseIndex[i] = found[i];
        r.baseDistance[i] = distance[i];
        if (found[i] >= 0) erpBasePoint(baseStation[found[i]], bLat[i], bLon[i]);
    }
    // An absent base keeps its lines; the synthesis passes over every
    // construction that names it.
    for (int i = 0; i < 4; ++i)
        if (found[i] >= 0) setLine(r.line[i], bLat[i], bLon[i], r.latitude, r.longitude);
    static const int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (int p = 0; p < 6; ++p) {
        const int i = pairs[p][0], j = pairs[p][1];
        if (found[i] >= 0 && found[j] >= 0) setLine(r.line[4 + p], bLat[i], bLon[i], bLat[j], bLon[j]);
    }
    return true;
}

// Raises a system's pending mark when the master's epoch changed.
void noteEpoch(uint32_t masterEpochMs, uint32_t& seenMs, bool& pending, uint32_t& pendingClock,
               uint32_t nowMs)
{
    if (masterEpochMs == seenMs) return;
    seenMs = masterEpochMs;
    pending = true;
    pendingClock = nowMs;
}

// Whether the mark is due, raised more than the delay ago; a due mark is
// lowered.
bool takeDue(bool& pending, uint32_t pendingClock, uint32_t nowMs)
{
    if (!pending || clockDiff(nowMs, pendingClock) <= erpPendingDelayMs) return false;
    pending = false;
    return true;
}

void serveRecord(int index, uint32_t nowMs)
{
    ErpRecord& r = erp[index];
    const BaseStation& master = baseStation[r.baseIndex[0]];
    noteEpoch(master.gpsTowMs, r.gpsMasterEpochMs, r.gpsPending, r.gpsPendingClock, nowMs);
    noteEpoch(master.gloEpochMs, r.gloMasterEpochMs, r.gloPending, r.gloPendingClock, nowMs);
    bool built = false;
    if (takeDue(r.gpsPending, r.gpsPendingClock, nowMs) &&
        synthesiseErpGps(index, r.gpsMasterEpochMs) > 0) {
        buildErpGpsMessages(index, nowMs);
        built = true;
    }
    // The GPS messages say that GLONASS follows, and a rover keeps an epoch
    // only up to the message that says nothing does: GLONASS waits while the
    // GPS of its epoch does (a master that sends GLONASS first has it noted
    // a moment earlier).
    if (!r.gpsPending && takeDue(r.gloPending, r.gloPendingClock, nowMs) &&
        synthesiseErpGlonass(index, r.gloMasterEpochMs) > 0) {
        buildErpGloMessages(index, nowMs);
        built = true;
    }
    if (built && (r.msgLength[erpKind1005] == 0 ||
                  clockDiff(nowMs, r.msgStamp[erpKind1005]) >= erpStationIntervalMs))
        buildErpStationMessages(index, nowMs);
}

}   // namespace

void updateErpRecords(uint32_t nowMs)
{
    const time_t now = wallTime();
    int inUse = 0;
    for (int i = 0; i < maxErpRecords; ++i) {
        ErpRecord& r = erp[i];
        if (!r.inUse.load(std::memory_order_acquire)) continue;
        if (now - r.lastUsedTime > erpIdleLimitS || !placeBases(r)) {
            releaseErpRecord(r);
            continue;
        }
        ++inUse;
        serveRecord(i, nowMs);
    }
    erpCount = inUse;
}
