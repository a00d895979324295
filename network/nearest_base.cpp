#include "network/nearest_base.h"

#include <cmath>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

constexpr double earthRadiusKm = 6376.5;
constexpr double pi = 3.1415926535898;
constexpr double nearLimitKm = 100.0;
// A rover keeps its master base until another one is clearly nearer, so a
// rover halfway between two bases does not flip between them on every GGA.
constexpr double masterKeepFactor = 1.01;

bool excluded(int slot, const int* exclude, int count)
{
    for (int i = 0; i < count; ++i)
        if (exclude[i] == slot) return true;
    return false;
}

// The search all three public searches share: the strictly nearest
// qualifying slot, -1 when its distance is beyond the limit. `best` starts
// above the limit, so a scan that found nothing gives -1; a NaN distance
// never compares below it.
int searchNearest(float latitude, float longitude, bool needNct, const int* exclude,
                  int excludeCount, double limit, double& distance)
{
    double best = limit + 1;
    int found = -1;
    for (int slot = 0; slot < maxBases; ++slot) {
        const BaseStation& b = baseStation[slot];
        if (!b.trusted) continue;
        if (needNct && !b.nctInput) continue;
        if (excluded(slot, exclude, excludeCount)) continue;
        double d = distanceKm(latitude, longitude, b.strLatitude, b.strLongitude);
        if (d < best) {
            best = d;
            found = slot;
        }
    }
    if (best > limit) {
        distance = 0.0;
        return -1;
    }
    distance = best;
    return found;
}

// The radius is read at every call: the settings panel may change it.
double regionRadiusKm()
{
    return double(uint32_t(casterSettings.networkRegionRadius));
}

double distanceToBase(const Client& c, int slot)
{
    const BaseStation& b = baseStation[slot];
    return distanceKm(c.latitude, c.longitude, b.strLatitude, b.strLongitude);
}

// Whether the rover's current master should give way to `nearest`, which
// lies `nearestKm` from it.
bool replaceMaster(const Client& c, int nearest, double nearestKm, bool needNct)
{
    int m = c.masterBase;
    if (m < 0 || m >= maxBases) return true;
    if (m == nearest) return false;
    // A master that is no longer trusted serves the rover nothing at all.
    if (!baseStation[m].trusted || (needNct && !baseStation[m].nctInput)) return true;
    return distanceToBase(c, m) > masterKeepFactor * nearestKm;
}

}   // namespace

double distanceKm(double lat1, double lon1, double lat2, double lon2)
{
    const double toRad = pi / 180.0;
    double phi1 = lat1 * toRad, phi2 = lat2 * toRad;
    double sinLat = std::sin((phi1 - phi2) / 2);
    double sinLon = std::sin((lon1 * toRad - lon2 * toRad) / 2);
    double a = sinLat * sinLat + std::cos(phi1) * std::cos(phi2) * sinLon * sinLon;
    // Rounding can carry a just past 1 for nearly opposite points, which
    // would make the second root NaN.
    if (a > 1.0) a = 1.0;
    if (a < 0.0) a = 0.0;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * earthRadiusKm;
}

int findNearestBase(float latitude, float longitude)
{
    double distance = 0;
    return searchNearest(latitude, longitude, true, nullptr, 0, regionRadiusKm(), distance);
}

int findNearestBase100km(float latitude, float longitude, int exclude1, int exclude2,
                         int exclude3, double& distance)
{
    const int exclude[3] = {exclude1, exclude2, exclude3};
    return searchNearest(latitude, longitude, false, exclude, 3, nearLimitKm, distance);
}

int findBasesWithin100km(float latitude, float longitude, int (&slots)[10])
{
    static_assert(maxBases == 10);
    int count = 0;
    double distance = 0;
    while (count < maxBases) {
        const int found = searchNearest(latitude, longitude, false, slots, count, nearLimitKm, distance);
        if (found < 0) break;
        slots[count++] = found;
    }
    return count;
}

int findNearestBaseExcluding(float latitude, float longitude, const int exclude[9])
{
    double distance = 0;
    return searchNearest(latitude, longitude, false, exclude, 9, regionRadiusKm(), distance);
}

bool selectNearestBases(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return false;
    Client& c = client[clientIndex];
    float lat = float(c.latitude), lon = float(c.longitude);
    double distance[4] = {};
    int nearest[4];
    nearest[0] = findNearestBase100km(lat, lon, -1, -1, -1, distance[0]);
    nearest[1] = findNearestBase100km(lat, lon, nearest[0], -1, -1, distance[1]);
    nearest[2] = findNearestBase100km(lat, lon, nearest[0], nearest[1], -1, distance[2]);
    nearest[3] = findNearestBase100km(lat, lon, nearest[0], nearest[1], nearest[2], distance[3]);
    c.nearestDistance = distance[0];
    if (nearest[0] < 0) {
        consoleLine("DEBUG calc baseline greater than 100 km maximum. Distance = 0");
        return false;
    }
    if (replaceMaster(c, nearest[0], distance[0], false)) c.masterBase = nearest[0];
    for (int k = 0; k < 3; ++k) {
        int found = nearest[k + 1];
        if (found >= 0 && found != c.auxBase[k] && found != c.masterBase) c.auxBase[k] = found;
    }
    return true;
}

bool selectNearestNctBase(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return false;
    Client& c = client[clientIndex];
    int nearest = findNearestBase(float(c.latitude), float(c.longitude));
    if (nearest < 0) return false;
    double nearestKm = distanceToBase(c, nearest);
    c.nearestDistance = nearestKm;
    if (replaceMaster(c, nearest, nearestKm, true)) c.masterBase = nearest;
    return true;
}
