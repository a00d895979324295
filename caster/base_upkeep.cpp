#include "caster/base_upkeep.h"

#include <cmath>
#include <string>

#include "caster/transcoding.h"
#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "core/rover_wake.h"
#include "geomag/geomag.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/sync.h"

namespace {

constexpr int silenceSourceTableWaitMs = 100;
constexpr int trustSourceTableWaitMs = 500;

// Only the base data thread computes the field; a failure is remembered per
// slot so that the next try waits a minute. A reset empties the slot's date
// text, which lets the next base of the slot compute at once.
bool magFieldFailed[maxBases];
uint32_t magFieldFailClock[maxBases];

time_t absDiff(time_t a, time_t b) { return a > b ? a - b : b - a; }

}   // namespace

void runPeriodicPass(time_t now, uint32_t clockMs)
{
    uint32_t towMs = currentGpsTowMs;
    uint16_t week = currentGpsWeek;
    if (towMs != 0 && week != 0) {
        int32_t mjd = gpsWeekToMjd(week, towMs / 1000);
        if (mjd > 0 && uint32_t(mjd) != currentMjd) setMjd(uint32_t(mjd));
    }

    for (int i = 0; i < maxBases; ++i) {
        BaseStation& b = baseStation[i];
        if (!b.connected) continue;
        if (notReceivedFor(b, kind1007, descriptorBuildGapMs, clockMs) &&
            notReceivedFor(b, kind1008, descriptorBuildGapMs, clockMs) &&
            notReceivedFor(b, kind1033, descriptorBuildGapMs, clockMs)) {
            consoleLine("building 1008");
            buildKind(i, kind1008, now, clockMs);
        }
        if (clockDiff(clockMs, b.msg[kind1013].msgRxTime) >= descriptorBuildGapMs)
            buildKind(i, kind1013, now, clockMs);
    }
}

void runSilenceTrustPass(time_t now, uint32_t /*clockMs*/)
{
    for (int i = 0; i < maxBases; ++i) {
        BaseStation& b = baseStation[i];
        if (!b.connected) continue;
        if (absDiff(now, b.lastDataTime) > baseSilenceLimitS) {
            consoleWrite(getHttpDateString() + " no data activity from basestation " +
                         b.mountpoint + "\n");
            resetBaseStation(b);
            MutexWait lock(sourceTableMutex, silenceSourceTableWaitMs);
            if (lock.held()) sourceTableCurrent = false;
            continue;
        }
        if (!b.trusted && b.lastDataTime - b.connectTime > baseTrustAfterS) {
            MutexWait lock(sourceTableMutex, trustSourceTableWaitMs);
            if (!lock.held()) continue;   // tried again on the next turn
            consoleLine("baseID " + b.mountpoint + " is now trusted");
            b.trusted = 1;
            sourceTableCurrent = false;
            // Its rovers get what it has kept so far at once, not with its
            // next message.
            wakeRoversOfBase(i);
        }
    }
}

void checkMagneticField(int baseIndex, uint32_t clockMs)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return;
    BaseStation& b = baseStation[baseIndex];
    if (b.strLatitude == 0 || b.strLongitude == 0) return;
    std::string today = getDateString();
    bool sameDay = today == b.magFieldDate;
    if (sameDay && b.magFieldNt >= 1.0) return;
    if (sameDay && magFieldFailed[baseIndex] &&
        clockDiff(clockMs, magFieldFailClock[baseIndex]) < magFieldRetryMs)
        return;

    b.magFieldDate = getDateString();
    double field = calcMagneticField(b.strLatitude, b.strLongitude, magFieldHeightKm);
    if (std::isfinite(field) && field >= 1.0) {
        b.magFieldNt = field;
        magFieldFailed[baseIndex] = false;
    } else {
        // 0 lets the estimators fall back on their default field.
        b.magFieldNt = 0;
        magFieldFailed[baseIndex] = true;
        magFieldFailClock[baseIndex] = clockMs;
    }
}
