#include "network/gradients.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "core/base_station.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/ionosphere.h"
#include "core/records.h"
#include "core/troposphere.h"
#include "network/erp_synthesis.h"
#include "network/nearest_base.h"
#include "network/plane_fit.h"
#include "platform/sync.h"

namespace {

constexpr double pi = 3.1415926535898;
// The readers' scale: metres of shift per radian for one ppm.
constexpr double earthScale = 6.37;
// First-band ionosphere factors of the readers (6.37 x f2/f1).
constexpr double readerK1GpsGlo = 4.963636363636364;
constexpr double readerK1Bds = 4.925688073394495;
// A sample older than this against the master's epoch is no longer the
// satellite's ionosphere (it set at that station, or the station stalled).
constexpr int64_t maxSampleAgeMs = 30000;

struct SystemPlan {
    int slots;
    double ionoFactor;   // first-signal factor of the system
    double readerK1;
};

// How far `then` lies before `now` (ms), across a rollover of the day
// (GLONASS) or of the week (GPS, BeiDou): the nearest of the candidates.
int64_t epochAgeMs(uint32_t now, uint32_t then)
{
    const int64_t d = int64_t(now) - int64_t(then);
    int64_t best = d;
    for (int64_t period : {int64_t(86400000), int64_t(604800000)})
        if (std::llabs(d + period) < std::llabs(best)) best = d + period;
    return best;
}

uint32_t systemEpoch(const BaseStation& b, const GpsSatObs*) { return b.gpsTowMs; }
uint32_t systemEpoch(const BaseStation& b, const GloSatObs*) { return b.gloEpochMs; }
uint32_t systemEpoch(const BaseStation& b, const BdsSatObs*) { return b.bdsTowMs; }
GpsSatObs* satellites(BaseStation& b, const GpsSatObs*) { return b.gpsSat; }
GloSatObs* satellites(BaseStation& b, const GloSatObs*) { return b.gloSat; }
BdsSatObs* satellites(BaseStation& b, const BdsSatObs*) { return b.bdsSat; }

// Where the broadcast orbit puts the satellite of an entry now (metres,
// Earth-fixed); false without an orbit. BeiDou has no ephemeris table.
constexpr int orbitWaitMs = 5;
template <typename Eph>
bool orbitPosition(Eph& eph, double p[3])
{
    MutexWait lock(eph.mutex, orbitWaitMs);
    if (!lock.held() || eph.frameLength == 0) return false;
    p[0] = eph.satX, p[1] = eph.satY, p[2] = eph.satZ;
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) &&
           p[0] * p[0] + p[1] * p[1] + p[2] * p[2] > 1e13;
}
bool orbitPosition(const GpsSatObs*, int slot, double p[3])
{
    return slot < gpsEphemerisSlots && orbitPosition(gpsEphemeris[slot], p);
}
bool orbitPosition(const GloSatObs*, int slot, double p[3])
{
    return slot < gloEphemerisSlots && orbitPosition(gloEphemeris[slot], p);
}
bool orbitPosition(const BdsSatObs*, int, double[3]) { return false; }

// Elevation (degrees) of a satellite at p seen from the base's antenna.
bool elevationAt(const BaseStation& b, const double p[3], double& deg)
{
    const double d[3] = {p[0] - b.ecefX, p[1] - b.ecefY, p[2] - b.ecefZ};
    const double up[3] = {std::cos(b.latitudeRad) * std::cos(b.longitudeRad),
                          std::cos(b.latitudeRad) * std::sin(b.longitudeRad),
                          std::sin(b.latitudeRad)};
    const double range = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(range > 0) || (b.ecefX == 0 && b.ecefY == 0 && b.ecefZ == 0)) return false;
    deg = std::asin((d[0] * up[0] + d[1] * up[1] + d[2] * up[2]) / range) * 180 / pi;
    return std::isfinite(deg);
}

// One station's view of a satellite for the fit: its slant troposphere and
// the elevation the readers will take for the mapping factor. Without GSV
// sentences a base's entries have no elevation: the orbit gives it and the
// entry keeps it, so that the readers' mapping factor matches the one the
// values were divided by (an FKP rover uses the true elevation too). Where
// the orbit is known, the troposphere is that of a standard atmosphere at the
// station's own height and the orbit's exact elevation, as the synthetic
// stations take it: the stored value has fixed zenith delays, blind to the
// stations' heights, and comes from whole degrees, which makes it jump by
// centimetres between stations at low elevation.
// False when the orbit puts the satellite below the model's floor at this
// station (its troposphere would count as 0 there).
constexpr double minTropoElevationDeg = 3.0;
template <typename Sat>
bool stationTropo(BaseStation& b, Sat& s, bool haveOrbit, const double p[3], int day,
                  double& tropo)
{
    double deg;
    tropo = s.tropoDelay;
    if (!haveOrbit || !elevationAt(b, p, deg)) return std::isfinite(tropo);
    if (b.gsvRxTime == 0) s.elevation = int16_t(std::lround(deg < 0 ? 0.0 : deg));
    tropo = standardAtmosphereDelay(deg, b.latitude, b.ellipsoidHeight, day);
    return deg >= minTropoElevationDeg && std::isfinite(tropo);
}

bool hasPosition(const BaseStation& b)
{
    return std::isfinite(b.latitudeRad) && std::isfinite(b.longitudeRad) &&
           !(b.latitudeRad == 0 && b.longitudeRad == 0);
}

// A satellite entry with an ionosphere estimate of about the master's epoch
// whose carrier levelling has settled a little: the first epochs of an arc
// carry the code's full noise (metres at low elevation on real receivers),
// and code alone never gets better.
constexpr uint32_t minLevelledEpochs = 10;
template <typename Sat>
bool currentSample(const Sat& s, uint32_t masterEpoch)
{
    if (s.codeDelay[0] == 0 || !std::isfinite(s.codeDelay[0])) return false;
    if (s.levelling.count < minLevelledEpochs) return false;
    return std::llabs(epochAgeMs(masterEpoch, s.epochMs)) <= maxSampleAgeMs;
}

// Standard error of the fitted phase slope along its worst direction, from
// the levels' standard errors: each auxiliary's error enters through its
// own sample, the master's through every sample at once (each sample is a
// difference against it), except through a sample tied to the master's
// level, which holds the carriers' own difference. A level without an error
// estimate yet counts as unknown: infinity.
double slopeError(const PlaneFit& fit, const double* x, const double* y, const double* error,
                  const bool* tied, int count, double masterError)
{
    double cxx = 0, cxy = 0, cyy = 0, mx = 0, my = 0;
    bool throughMaster = false;
    for (int k = 0; k < count; ++k) {
        double ax, ay;
        if (!(error[k] >= 0) || !fit.sensitivity(x[k], y[k], 1, ax, ay)) return INFINITY;
        const double v = error[k] * error[k];
        cxx += v * ax * ax, cxy += v * ax * ay, cyy += v * ay * ay;
        if (tied[k]) continue;
        mx += ax, my += ay;
        throughMaster = true;
    }
    if (throughMaster && !(masterError >= 0)) return INFINITY;
    if (!throughMaster) masterError = 0;
    const double m = masterError * masterError;
    cxx += m * mx * mx, cxy += m * mx * my, cyy += m * my * my;
    // Largest eigenvalue of the 2 x 2 covariance.
    const double half = 0.5 * (cxx + cyy);
    const double spread = std::sqrt(0.25 * (cxx - cyy) * (cxx - cyy) + cxy * cxy);
    const double worst = std::sqrt(half + spread);
    return std::isfinite(worst) ? worst : INFINITY;
}

// The auxiliaries' levels tied to the master's where the carriers allow;
// BeiDou's never are.
void tieLevels(const GpsSatObs*, uint32_t epoch, const int* slots, int n, LevelTies& ties)
{
    tieGpsLevels(epoch, 0, slots, n, ties);
}
void tieLevels(const GloSatObs*, uint32_t epoch, const int* slots, int n, LevelTies& ties)
{
    tieGloLevels(epoch, 0, slots, n, ties);
}
void tieLevels(const BdsSatObs*, uint32_t, const int*, int n, LevelTies& ties)
{
    for (int i = 0; i < n && i < maxBases; ++i)
        for (bool& t : ties.tied[i]) t = false;
}

template <typename Sat, size_t N>
bool calcNetCorr(int baseIndex, double (&block)[8][N], const SystemPlan& plan)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return false;
    BaseStation& master = baseStation[baseIndex];
    int aux[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    int exclude[9] = {baseIndex, -1, -1, -1, -1, -1, -1, -1, -1};
    int auxCount = 0;
    for (int k = 0; k < 9; ++k) {
        int a = findNearestBaseExcluding(float(master.latitude), float(master.longitude), exclude);
        if (a < 0) break;
        aux[auxCount++] = a;
        if (k + 1 < 9) exclude[k + 1] = a;
    }
    if (auxCount == 0) return false;
    if (!hasPosition(master)) return true;

    const double cosLat = std::cos(master.latitudeRad);
    double dLat[9], dLonC[9];
    for (int k = 0; k < auxCount; ++k) {
        const BaseStation& b = baseStation[aux[k]];
        dLat[k] = b.latitudeRad - master.latitudeRad;
        dLonC[k] = (b.longitudeRad - master.longitudeRad) * cosLat;
    }

    const Sat* tag = nullptr;
    const uint32_t epoch = systemEpoch(master, tag);
    Sat* m = satellites(master, tag);
    const int day = std::atoi(getDayOfYearString().c_str());
    const int slots = plan.slots < int(N) ? plan.slots : int(N);
    static LevelTies ties;
    int tieSlots[maxBases] = {baseIndex};
    const int tiedBases = auxCount + 1 < maxBases ? auxCount + 1 : maxBases;
    for (int k = 1; k < tiedBases; ++k) tieSlots[k] = aux[k - 1];
    tieLevels(tag, epoch, tieSlots, tiedBases, ties);
    for (int s = 0; s < slots; ++s) {
        Sat& ms = m[s];
        if (!currentSample(ms, epoch)) continue;
        double sat[3];
        const bool haveOrbit = orbitPosition(tag, s, sat);
        double mT;
        if (!stationTropo(master, ms, haveOrbit, sat, day, mT)) continue;
        const double mIp = plan.ionoFactor * (ms.phaseAdvance[1] - ms.phaseAdvance[0]);
        const double mIc = plan.ionoFactor * (ms.codeDelay[1] - ms.codeDelay[0]);
        PlaneFit ip, tropo, ic;
        int used = 0;
        double usedX[9], usedY[9], usedError[9];
        bool usedTied[9];
        for (int k = 0; k < auxCount; ++k) {
            BaseStation& b = baseStation[aux[k]];
            if (!hasPosition(b)) continue;
            Sat& as = satellites(b, tag)[s];
            if (!currentSample(as, epoch)) continue;
            // A tie moves the geometry-free combination of the level, and so
            // the phase advance and the code delay of the pair oppositely.
            const bool tied = k + 1 < tiedBases && s < baselineSatSlots && ties.tied[k + 1][s];
            const double tieShift = tied ? plan.ionoFactor * ties.shift[k + 1][s] : 0.0;
            const double tIp =
                plan.ionoFactor * (as.phaseAdvance[1] - as.phaseAdvance[0]) - mIp - tieShift;
            double aT;
            if (!stationTropo(b, as, haveOrbit, sat, day, aT)) continue;
            const double tT = aT - mT;
            const double tIc =
                plan.ionoFactor * (as.codeDelay[1] - as.codeDelay[0]) - mIc + tieShift;
            if (!std::isfinite(tIp) || !std::isfinite(tT) || !std::isfinite(tIc) ||
                !std::isfinite(dLat[k]) || !std::isfinite(dLonC[k]))
                continue;
            ip.add(dLat[k], dLonC[k], tIp);
            tropo.add(dLat[k], dLonC[k], tT);
            ic.add(dLat[k], dLonC[k], tIc);
            usedX[used] = dLat[k];
            usedY[used] = dLonC[k];
            usedError[used] = plan.ionoFactor * (tied ? tiedLevelErrorM : levelStandardError(as.levelling));
            usedTied[used] = tied;
            ++used;
        }
        if (used == 0) continue;

        const double e = ms.elevation * pi / 180.0;
        const double f = 1.0 + 16.0 * std::pow(0.53 - e / pi, 3);
        const double ionoScale = plan.readerK1 * f;
        double n, east;
        if (ip.solve(n, east)) {
            double g0 = -n / ionoScale, g1 = -east / ionoScale;
            const double error = slopeError(ip, usedX, usedY, usedError, usedTied, used,
                                            plan.ionoFactor * levelStandardError(ms.levelling));
            if (std::isfinite(g0) && std::isfinite(g1))
                block[0][s] = g0, block[1][s] = g1, block[6][s] = error / ionoScale;
        }
        if (tropo.solve(n, east)) {
            block[2][s] = -n / earthScale;
            block[3][s] = -east / earthScale;
        }
        if (ic.solve(n, east)) {
            double g4 = -n / ionoScale, g5 = -east / ionoScale;
            if (std::isfinite(g4) && std::isfinite(g5)) block[4][s] = g4, block[5][s] = g5;
        }
    }
    return true;
}

}   // namespace

bool calcNetCorrGPS(int baseIndex)
{
    // Slot 0 holds satellite 32; slots 32..39 stay unwritten.
    static const SystemPlan plan{32, gpsFirstSignalFactor, readerK1GpsGlo};
    if (baseIndex < 0 || baseIndex >= maxBases) return false;
    return calcNetCorr<GpsSatObs>(baseIndex, baseStation[baseIndex].netGradient.gps, plan);
}

bool calcNetCorrGLO(int baseIndex)
{
    static const SystemPlan plan{24, gloFirstSignalFactor, readerK1GpsGlo};
    if (baseIndex < 0 || baseIndex >= maxBases) return false;
    return calcNetCorr<GloSatObs>(baseIndex, baseStation[baseIndex].netGradient.glo, plan);
}

bool calcNetCorrBDS(int baseIndex)
{
    static const SystemPlan plan{64, bdsFirstSignalFactor, readerK1Bds};
    if (baseIndex < 0 || baseIndex >= maxBases) return false;
    return calcNetCorr<BdsSatObs>(baseIndex, baseStation[baseIndex].netGradient.bds, plan);
}
