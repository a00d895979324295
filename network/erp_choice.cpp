#include "network/erp_choice.h"

#include <cmath>

#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/records.h"
#include "network/nearest_base.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr double erpNodeLimitKm = 100.0;
constexpr double erpHeightM = 100.0;
constexpr double gridStep = 0.25;

// Said once when every record is taken, again only after one was taken.
bool fullNoted = false;

}   // namespace

double roundToQuarterDegree(double value)
{
    const double magnitude = std::fabs(value);
    const double whole = std::floor(magnitude);
    double best = whole;
    for (int k = 1; k <= 4; ++k) {
        const double candidate = whole + k * gridStep;
        // Strictly nearer only: a value halfway keeps the smaller candidate.
        if (std::fabs(magnitude - candidate) < std::fabs(magnitude - best)) best = candidate;
    }
    return value < 0 ? -best : best;
}

void chooseErpRecord(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return;
    Client& c = client[clientIndex];
    const int master = c.masterBase;
    if (master < 0 || master >= maxBases) return;
    const double baseLat = roundToQuarterDegree(baseStation[master].strLatitude);
    const double baseLon = roundToQuarterDegree(baseStation[master].strLongitude);

    double best = 5000.0, nodeLat = 0, nodeLon = 0;
    for (int a = -2; a <= 2; ++a) {
        for (int b = -2; b <= 2; ++b) {
            const double lat = baseLat + a * gridStep, lon = baseLon + b * gridStep;
            const double d = distanceKm(c.latitude, c.longitude, lat, lon);
            if (d < best) {
                best = d;
                nodeLat = lat;
                nodeLon = lon;
            }
        }
    }
    if (!(best <= erpNodeLimitKm)) {
        c.erpIndex = -1;
        return;
    }
    for (int i = 0; i < maxErpRecords; ++i) {
        const ErpRecord& r = erp[i];
        if (r.inUse.load(std::memory_order_acquire) && r.latitude == nodeLat &&
            r.longitude == nodeLon) {
            c.erpIndex = i;
            return;
        }
    }
    for (int i = 0; i < maxErpRecords; ++i) {
        ErpRecord& r = erp[i];
        if (r.inUse.load(std::memory_order_acquire)) continue;
        r.lastUsedTime = wallTime();
        r.latitude = nodeLat;
        r.longitude = nodeLon;
        r.height = erpHeightM;
        geodeticToEcef(nodeLat, nodeLon, erpHeightM, r.ecefX, r.ecefY, r.ecefZ);
        // Last: the network-correction thread takes up a record in use.
        r.inUse.store(1, std::memory_order_release);
        noteNetworkWork();
        c.erpIndex = i;
        fullNoted = false;
        return;
    }
    c.erpIndex = -1;
    if (!fullNoted) {
        consoleLine("all 10 ERP records are in use, rover gets no ERP data");
        fullNoted = true;
    }
}
