#include "network/erp_synthesis.h"

#include <algorithm>
#include <cmath>

#include "core/base_station.h"
#include "core/ephemeris.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/ionosphere.h"
#include "core/gnss_time.h"
#include "core/orbits.h"
#include "core/troposphere.h"
#include "core/records.h"
#include "formats/rover_shift.h"
#include "network/baseline_ambiguities.h"
#include "network/nearest_base.h"
#include "network/plane_fit.h"

namespace {

constexpr double speedOfLight = 299792458.0;
constexpr double earthRotationRate = 7.2921151467e-5;   // rad/s
// Below this elevation at either station the troposphere models give
// nothing, and a difference of them would be meaningless.
constexpr double minElevationDeg = 3.0;
// A satellite missing longer than this at the master starts a new arc: the
// master's lock time no longer tells whether it kept the carrier.
constexpr uint32_t maxGapMs = 600000;
constexpr int ephemerisWaitMs = 5;

bool present(double v) { return v != 0 && std::isfinite(v); }

// A level needs this many samples before the spread of its code noise,
// and so its standard error, means anything.
constexpr uint32_t minLevelledSamples = 10;
// A base's value this much older than the record's epoch is no longer the
// satellite's ionosphere there (it set at that station, or the station
// stalled).
constexpr uint32_t maxSampleAgeMs = 30000;
// The smallest standard error (m of the geometry-free combination) a level
// is given: a level whose few samples happen to agree must not take all the
// weight of the fit.
constexpr double minLevelErrorM = 0.001;
// Ties are made from carriers sampled at least this often: the cycles are
// only followed reliably, and the code averaged fast enough, at the rates
// RTK networks stream at. Sparser data keep their code levels.
constexpr uint32_t maxTieIntervalMs = 5000;
// How far a tie may leave the code's levels: this many of the two levels'
// standard errors, plus the carriers' own noise and what the middle of the
// ties itself is off.
constexpr double tieAgreementSigmas = 4.0, tieAgreementM = 0.01;

bool gpsState(int slot, uint32_t epochMs, double pos[3], double vel[3])
{
    GpsEphemeris& e = gpsEphemeris[slot];
    if (e.frameLength == 0) return false;
    MutexWait lock(e.mutex, ephemerisWaitMs);
    if (!lock.held()) return false;
    const double t = epochMs / 1000.0;
    double before[3], after[3];
    if (!gpsSatPositionAt(e, t, pos) || !gpsSatPositionAt(e, t - 0.5, before) ||
        !gpsSatPositionAt(e, t + 0.5, after))
        return false;
    for (int i = 0; i < 3; ++i) vel[i] = after[i] - before[i];
    return true;
}

bool gloState(int slot, uint32_t epochMs, double pos[3], double vel[3])
{
    GloEphemeris& g = gloEphemeris[slot];
    if (g.frameLength == 0) return false;
    MutexWait lock(g.mutex, ephemerisWaitMs);
    if (!lock.held()) return false;
    return gloSatStateAt(g, epochMs / 1000.0, uint16_t(currentMjd.load() & 0xFFFF), pos, vel);
}

// Each system's satellites as the synthesis sees them. Quantity q is the
// code delay (even q) or the phase advance (odd q) on frequency q / 2.
struct GpsSystem {
    using Sat = GpsSatObs;
    static constexpr int slots = 32, freqs = 3, quantities = 6;
    static constexpr uint32_t periodMs = 604800000;
    static constexpr double ionoFactor = gpsFirstSignalFactor;
    static constexpr int index = 0;
    static Sat* sats(BaseStation& b) { return b.gpsSat; }
    static void carriers(const Sat&, int, double f[freqs])
    {
        f[0] = 1575.42e6, f[1] = 1227.6e6, f[2] = 1176.45e6;
    }
    static ErpSatSlot* slotsOf(ErpRecord& r) { return r.gpsSlot; }
    static uint32_t& epochOf(ErpRecord& r) { return r.gpsEpochMs; }
    static bool state(int s, uint32_t t, double p[3], double v[3]) { return gpsState(s, t, p, v); }
};

struct GloSystem {
    using Sat = GloSatObs;
    static constexpr int slots = 24, freqs = 2, quantities = 4;
    static constexpr uint32_t periodMs = 86400000;
    static constexpr double ionoFactor = gloFirstSignalFactor;
    static constexpr int index = 1;
    static Sat* sats(BaseStation& b) { return b.gloSat; }
    // The channel the base announced, else the one known for the slot.
    static void carriers(const Sat& sat, int entry, double f[freqs])
    {
        const int field = sat.freqChannel <= 20 ? sat.freqChannel : glonassChannelOf(entry);
        const int channel = field - 7;
        f[0] = field <= 20 ? 1602e6 + 562500.0 * channel : 0.0;
        f[1] = field <= 20 ? 1246e6 + 437500.0 * channel : 0.0;
    }
    static ErpSatSlot* slotsOf(ErpRecord& r) { return r.glonassSlot; }
    static uint32_t& epochOf(ErpRecord& r) { return r.gloEpochMs; }
    static bool state(int s, uint32_t t, double p[3], double v[3]) { return gloState(s, t, p, v); }
};

template <typename Sat>
double quantity(const Sat& s, int q)
{
    return (q & 1) ? s.phaseAdvance[q / 2] : s.codeDelay[q / 2];
}


bool travelRange(const double sat[3], const double vel[3], const double st[3], double latRad,
                 double lonRad, double& range, double& elevationDeg);
int dayOfYear();

// What the fixed carrier ambiguities between the master and each other base
// make of the bases' levels: per base and satellite the shift (m of the
// geometry-free combination) that ties the base's levelled ionosphere to
// the master's, so that the two differ by the carriers' own ionospheric
// difference; `tied` is false where the ambiguities are not fixed.
template <typename Sys>
void tieLevels(uint32_t epochMs, int master, const int* slotOf, int n, LevelTies& ties)
{
    constexpr int S = Sys::slots;
    static_assert(S <= baselineSatSlots);
    static Baseline pairs[maxBases][maxBases];
    auto& shift = ties.shift;
    auto& tied = ties.tied;
    if (n > maxBases) n = maxBases;
    for (int i = 0; i < n; ++i) std::fill(tied[i], tied[i] + baselineSatSlots, false);
    if (master < 0) return;
    BaseStation& mb = baseStation[slotOf[master]];
    const double mPos[3] = {mb.ecefX, mb.ecefY, mb.ecefZ};
    double mLat = 0, mLon = 0, mLatDeg = 0, mLonDeg = 0, mHeight = 0;
    if (!ecefToGeodetic(mPos[0], mPos[1], mPos[2], mLat, mLon, mLatDeg, mLonDeg, mHeight)) return;
    const int doy = dayOfYear();

    // Satellite positions of the epoch, once for all bases.
    double pos[S][3], vel[S][3];
    bool known[S];
    for (int s = 0; s < S; ++s) known[s] = Sys::state(s, epochMs, pos[s], vel[s]);

    for (int i = 0; i < n; ++i) {
        if (i == master) continue;
        BaseStation& bb = baseStation[slotOf[i]];
        Baseline& pair = pairs[slotOf[master]][slotOf[i]];
        if (pair.serial[0] != mb.connectionSerial || pair.serial[1] != bb.connectionSerial) {
            pair = Baseline{};
            pair.serial[0] = mb.connectionSerial;
            pair.serial[1] = bb.connectionSerial;
        }
        const double bPos[3] = {bb.ecefX, bb.ecefY, bb.ecefZ};
        double bLat = 0, bLon = 0, bLatDeg = 0, bLonDeg = 0, bHeight = 0;
        if (!ecefToGeodetic(bPos[0], bPos[1], bPos[2], bLat, bLon, bLatDeg, bLonDeg, bHeight))
            continue;
        BaselineObs obs[S];
        double rate[S] = {};
        int usable = 0;
        for (int s = 0; s < S; ++s) {
            const typename Sys::Sat* st[2] = {&Sys::sats(mb)[s], &Sys::sats(bb)[s]};
            BaselineObs& o = obs[s];
            double f[Sys::freqs];
            Sys::carriers(*st[0], s, f);
            double fb[Sys::freqs];
            Sys::carriers(*st[1], s, fb);
            double rM = 0, rB = 0, eM = 0, eB = 0;
            bool ok = known[s] && f[0] > 0 && f[0] == fb[0] && f[1] == fb[1];
            for (int k = 0; k < 2 && ok; ++k)
                ok = st[k]->epochMs == epochMs && present(st[k]->phaseRange[0]) &&
                     present(st[k]->phaseRange[1]) && present(st[k]->codeRange[0]) &&
                     present(st[k]->codeRange[1]);
            ok = ok && travelRange(pos[s], vel[s], mPos, mLat, mLon, rM, eM) &&
                 travelRange(pos[s], vel[s], bPos, bLat, bLon, rB, eB) &&
                 eM >= minElevationDeg && eB >= minElevationDeg;
            if (!ok) continue;
            o.geometry = rB - rM + standardAtmosphereDelay(eB, bLatDeg, bHeight, doy) -
                         standardAtmosphereDelay(eM, mLatDeg, mHeight, doy);
            if (!std::isfinite(o.geometry)) continue;
            o.usable = true;
            o.f1 = f[0], o.f2 = f[1];
            double along = 0, length = 0;
            for (int k = 0; k < 3; ++k) {
                along += (pos[s][k] - mPos[k]) * vel[s][k];
                length += (pos[s][k] - mPos[k]) * (pos[s][k] - mPos[k]);
            }
            rate[s] = along / std::sqrt(length);
            o.elevationDeg = std::min(eM, eB);
            for (int k = 0; k < 2; ++k) {
                for (int c = 0; c < 2; ++c) {
                    o.phase[k][c] = st[k]->phaseRange[c];
                    o.code[k][c] = st[k]->codeRange[c];
                }
                o.lockS[k] = std::min(st[k]->lockTimeS[0], st[k]->lockTimeS[1]);
                o.slips[k] = st[k]->slipCount;
                o.levelCount[k] = st[k]->levelling.count;
                o.bridge[k] = st[k]->levelling.bridge;
            }
            ++usable;
        }
        // The ranges are taken at the epoch's nominal time; each receiver
        // measured when its own clock said so. The clocks' difference, from
        // the code, moves every satellite by its range rate over it.
        double clockM = 0;
        for (int s = 0; s < S; ++s)
            if (obs[s].usable) clockM += obs[s].code[1][0] - obs[s].code[0][0] - obs[s].geometry;
        if (usable > 0) clockM /= usable;
        for (int s = 0; s < S; ++s)
            if (obs[s].usable) obs[s].geometry -= rate[s] * clockM / speedOfLight;
        if (usable > 0) updateBaseline(pair, obs, S, epochMs, Sys::periodMs);
        for (int s = 0; s < S; ++s) {
            double ambiguity = 0;
            const IonoLevelling& lm = Sys::sats(mb)[s].levelling;
            const IonoLevelling& lb = Sys::sats(bb)[s].levelling;
            const double bridges[2] = {lm.bridge, lb.bridge};
            const uint32_t counts[2] = {lm.count, lb.count};
            if (lm.count == 0 || lb.count == 0 ||
                !baselineGeometryFreeAmbiguity(pair, s, bridges, counts, ambiguity))
                continue;
            // Each levelled value is the bridged geometry-free carrier plus
            // its level; the base's must exceed the master's by the carriers'
            // difference less their ambiguity.
            shift[i][s] = (lm.bridge + lm.sum / lm.count) - (lb.bridge + lb.sum / lb.count) - ambiguity;
            tied[i][s] = std::isfinite(shift[i][s]) && pair.intervalMs <= maxTieIntervalMs;
        }
        // A tie must agree with the code's levels as far as their errors
        // allow: against the middle of the pair's ties (what all satellites
        // share), a shift beyond that is a wrong integer or a slip neither
        // station flagged, and the satellite keeps its code level.
        double shifts[S];
        int count = 0;
        for (int s = 0; s < S; ++s)
            if (tied[i][s]) shifts[count++] = shift[i][s];
        if (count > 1) {
            std::nth_element(shifts, shifts + count / 2, shifts + count);
            const double middle = shifts[count / 2];
            double errors[S];
            for (int s = 0; s < S; ++s) {
                if (!tied[i][s]) continue;
                errors[s] = std::hypot(levelStandardError(Sys::sats(mb)[s].levelling),
                                       levelStandardError(Sys::sats(bb)[s].levelling));
                tied[i][s] = std::fabs(shift[i][s] - middle) <= tieAgreementSigmas * errors[s] + tieAgreementM;
            }
            // What the ties share (the receivers' biases, the first fixed
            // satellite's cycles) is no ionosphere: the base keeps the level
            // its code gives it, averaged over the tied satellites, and takes
            // from the carriers only how the satellites differ.
            double sum = 0, weights = 0;
            for (int s = 0; s < S; ++s) {
                if (!tied[i][s]) continue;
                const double w = 1 / std::max(errors[s] * errors[s], 1e-8);
                sum += w * shift[i][s];
                weights += w;
            }
            for (int s = 0; s < S && weights > 0; ++s)
                if (tied[i][s]) shift[i][s] -= sum / weights;
        } else {
            // One tie alone says nothing of how the satellites differ.
            for (int s = 0; s < S; ++s) tied[i][s] = false;
        }
    }
}

template <typename Sys>
void calcErpIono(ErpRecord& r)
{
    constexpr int S = Sys::slots, Q = Sys::quantities;
    const uint32_t epochMs = Sys::epochOf(r);
    // Every base within reach of the node takes part. Positions are plane
    // coordinates about the node (degrees, longitude scaled to the node's
    // latitude), where the fit is made.
    int slotOf[maxBases];
    const int n = findBasesWithin100km(float(r.latitude), float(r.longitude), slotOf);
    const double cosLat = std::cos(r.latitude * geo::degToRad);
    BaseStation* base[maxBases] = {};
    double x[maxBases] = {}, y[maxBases] = {};
    int master = -1;
    for (int i = 0; i < n; ++i) {
        base[i] = &baseStation[slotOf[i]];
        double lat = 0, lon = 0;
        erpBasePoint(*base[i], lat, lon);
        x[i] = lat - r.latitude;
        y[i] = (lon - r.longitude) * cosLat;
        if (slotOf[i] == r.baseIndex[0]) master = i;
    }
    double masterX = 0, masterY = 0;
    if (r.baseIndex[0] >= 0 && r.baseIndex[0] < maxBases) {
        double lat = 0, lon = 0;
        erpBasePoint(baseStation[r.baseIndex[0]], lat, lon);
        masterX = lat - r.latitude;
        masterY = (lon - r.longitude) * cosLat;
    }

    // Which base's value of a satellite may enter, and with what standard
    // error (m of the geometry-free combination).
    static double levelError[maxBases][S];
    static bool usable[maxBases][S];
    for (int i = 0; i < n; ++i)
        for (int s = 0; s < S; ++s) {
            const auto& sat = Sys::sats(*base[i])[s];
            const double e = levelStandardError(sat.levelling);
            usable[i][s] = sat.levelling.count >= minLevelledSamples && e >= 0 &&
                           std::min(msSinceEpoch(epochMs, sat.epochMs, Sys::periodMs),
                                    msSinceEpoch(sat.epochMs, epochMs, Sys::periodMs)) <= maxSampleAgeMs;
            levelError[i][s] = std::max(e, minLevelErrorM);
        }

    // Where a base's carriers are tied to the master's, its values follow
    // the master's by the carriers' own ionospheric difference: the two
    // levels' errors no longer differ between them, and what error the
    // master's level has is common to every tied base and cancels in the
    // plane's change from the master to the node. A base not tied keeps its
    // own error, and the master's against it.
    static LevelTies ties;
    tieLevels<Sys>(epochMs, master, slotOf, n, ties);
    auto& tied = ties.tied;
    const auto& tieShift = ties.shift;
    for (int s = 0; s < S && master >= 0; ++s) {
        bool anyTied = false;
        for (int i = 0; i < n; ++i) {
            tied[i][s] = tied[i][s] && usable[i][s] && usable[master][s];
            anyTied = anyTied || tied[i][s];
        }
        if (!anyTied) continue;
        const double masterError = levelError[master][s];
        for (int i = 0; i < n; ++i)
            levelError[i][s] = i == master || tied[i][s] ? tiedLevelErrorM
                                                         : std::hypot(levelError[i][s], masterError);
    }
    // A shift of the geometry-free combination moves each signal's delay by
    // its share of the content: 1/f^2 against the pair's difference.
    auto value = [&](int i, int s, int q) {
        const auto& sat = Sys::sats(*base[i])[s];
        const double v = quantity(sat, q);
        if (i == master || !tied[i][s] || v == 0) return v;
        double f[Sys::freqs];
        Sys::carriers(sat, s, f);
        const double share = (1 / (f[q / 2] * f[q / 2])) / (1 / (f[1] * f[1]) - 1 / (f[0] * f[0]));
        return v + ((q & 1) ? -share : share) * tieShift[i][s];
    };

    // How many of the bases have this system at all.
    int inSystem = 0;
    for (int i = 0; i < n; ++i)
        inSystem += std::any_of(usable[i], usable[i] + S, [](bool u) { return u; }) ? 1 : 0;

    // Each base's values less their mean offset from the master over the
    // satellites both have now, each weighted by the two levels' errors:
    // what all satellites of a base share cancels between satellites
    // anyway, and a station's own bias must not reach the node through the
    // satellites another base does not see.
    static double offset[maxBases][Q];
    for (int i = 0; i < n; ++i)
        for (int q = 0; q < Q; ++q) {
            offset[i][q] = 0;
            if (master < 0 || i == master) continue;
            double sum = 0, sumW = 0;
            for (int s = 0; s < S; ++s) {
                if (!usable[master][s] || !usable[i][s]) continue;
                const double vm = value(master, s, q);
                const double vb = value(i, s, q);
                if (vm == 0 || vb == 0 || !std::isfinite(vb - vm)) continue;
                const double w = 1.0 / (levelError[master][s] * levelError[master][s] +
                                        levelError[i][s] * levelError[i][s]);
                sum += w * (vb - vm);
                sumW += w;
            }
            if (sumW > 0) offset[i][q] = sum / sumW;
        }

    // Per satellite and quantity the least-squares plane over the bases,
    // each weighted by its level's standard error; its value at the node
    // and at the master's point. Taking the master's observations by the
    // plane's change between the two lets each base's levelling error in
    // only as far as the plane leans on it, and the levels' errors carried
    // through the fit give the change's own standard error.
    ErpSatSlot* slots = Sys::slotsOf(r);
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        uint32_t contributors = 0;
        int contributing = 0;
        double error = inSystem > 1 ? INFINITY : 0.0;
        for (int q = 0; q < Q; ++q) {
            double v[maxBases], w[maxBases], sumW = 0, meanX = 0, meanY = 0, meanV = 0;
            bool in[maxBases] = {};
            for (int i = 0; i < n; ++i) {
                if (!usable[i][s]) continue;
                v[i] = value(i, s, q) - offset[i][q];
                if (quantity(Sys::sats(*base[i])[s], q) == 0 || !std::isfinite(v[i])) continue;
                in[i] = true;
                w[i] = 1.0 / (levelError[i][s] * levelError[i][s]);
                sumW += w[i];
                meanX += w[i] * x[i], meanY += w[i] * y[i], meanV += w[i] * v[i];
            }
            double atNode = 0, atMaster = 0;
            if (sumW > 0) {
                meanX /= sumW, meanY /= sumW, meanV /= sumW;
                PlaneFit fit;
                for (int i = 0; i < n; ++i)
                    if (in[i]) fit.add(x[i] - meanX, y[i] - meanY, v[i] - meanV, w[i]);
                double sx = 0, sy = 0;
                const bool leans = fit.solve(sx, sy);
                if (!leans) sx = sy = 0;
                atNode = meanV - sx * meanX - sy * meanY;
                atMaster = meanV + sx * (masterX - meanX) + sy * (masterY - meanY);
                // Bases on one line give the slope along it only: where more
                // bases of the system are in reach, the difference waits for
                // a plane.
                const bool determined =
                    inSystem <= 1 || (leans && (inSystem == 2 || fit.spansPlane()));
                if (q == 1) {
                    double variance = 0;
                    for (int i = 0; i < n; ++i) {
                        if (!in[i]) continue;
                        contributors |= 1u << slotOf[i];
                        ++contributing;
                        double ax = 0, ay = 0;
                        if (!leans || !fit.sensitivity(x[i] - meanX, y[i] - meanY, w[i], ax, ay))
                            continue;
                        const double c = -ax * masterX - ay * masterY;
                        variance += c * c * levelError[i][s] * levelError[i][s];
                    }
                    if (determined) error = Sys::ionoFactor * std::sqrt(variance);
                }
            }
            if (!std::isfinite(atNode) || !std::isfinite(atMaster)) sumW = 0;
            if (q & 1)
                slot.phaseAtMaster[q / 2] = sumW > 0 ? atMaster : 0.0;
            else
                slot.codeAtMaster[q / 2] = sumW > 0 ? atMaster : 0.0;
            if (!(sumW > 0)) continue;
            const int e = q / 2;
            if (q & 1) {
                slot.phaseResidual[e] = atNode;
                continue;
            }
            slot.codeResidual[e] = atNode;
            const float newF = float(atNode);
            const uint32_t dt = slot.epochMs - slot.prevEpochMs;
            // Two syntheses of one epoch give no rate; the last one stays.
            if (dt != 0) slot.codeResidualRate[e] = (newF - slot.codeResidualF[e]) / float(dt);
            slot.codeResidualF[e] = newF;
        }
        slot.contributors = contributors;
        slot.ionoBases = uint8_t(contributing);
        slot.tiedBases = 0;
        for (int i = 0; i < n; ++i)
            if (tied[i][s]) slot.tiedBases |= 1u << slotOf[i];
        slot.phaseError = std::isfinite(error) ? error : INFINITY;
    }
}

// Geometric range (m) from a station to a satellite given by its
// earth-fixed position and velocity at the reception time: the satellite is
// taken back over the signal's travel time and turned with the earth over
// that time. Also the elevation (degrees) at the station.
bool travelRange(const double sat[3], const double vel[3], const double st[3], double latRad,
                 double lonRad, double& range, double& elevationDeg)
{
    double tau = 0.075;
    double p[3] = {};
    for (int iteration = 0; iteration < 3; ++iteration) {
        const double q[3] = {sat[0] - vel[0] * tau, sat[1] - vel[1] * tau, sat[2] - vel[2] * tau};
        const double a = earthRotationRate * tau;
        p[0] = std::cos(a) * q[0] + std::sin(a) * q[1];
        p[1] = -std::sin(a) * q[0] + std::cos(a) * q[1];
        p[2] = q[2];
        range = std::sqrt((p[0] - st[0]) * (p[0] - st[0]) + (p[1] - st[1]) * (p[1] - st[1]) +
                          (p[2] - st[2]) * (p[2] - st[2]));
        tau = range / speedOfLight;
    }
    if (!std::isfinite(range) || !(range > 0)) return false;
    const double up[3] = {std::cos(latRad) * std::cos(lonRad), std::cos(latRad) * std::sin(lonRad),
                          std::sin(latRad)};
    const double along = ((p[0] - st[0]) * up[0] + (p[1] - st[1]) * up[1] + (p[2] - st[2]) * up[2]);
    elevationDeg = std::asin(along / range) * geo::radToDeg;
    return std::isfinite(elevationDeg);
}

int32_t daysFromCivil(int32_t y, int32_t m, int32_t d)
{
    y -= m <= 2;
    const int32_t era = (y >= 0 ? y : y - 399) / 400;
    const int32_t yoe = y - era * 400;
    const int32_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}

int dayOfYear()
{
    const int32_t mjd = int32_t(currentMjd.load());
    if (mjd <= 0) return 1;
    int32_t y = 0, m = 0, d = 0;
    mjdToDate(mjd, y, m, d);
    return int(daysFromCivil(y, m, d) - daysFromCivil(y, 1, 1)) + 1;
}

template <typename Sys>
int synthesise(int erpIndex, uint32_t epochMs)
{
    constexpr int S = Sys::slots, F = Sys::freqs;
    if (erpIndex < 0 || erpIndex >= maxErpRecords) return 0;
    ErpRecord& r = erp[erpIndex];
    const int m = r.baseIndex[0];
    if (m < 0 || m >= maxBases) return 0;
    BaseStation& mb = baseStation[m];
    const double masterPos[3] = {mb.ecefX, mb.ecefY, mb.ecefZ};
    double mLatRad = 0, mLonRad = 0, mLatDeg = 0, mLonDeg = 0, mHeight = 0;
    if (!ecefToGeodetic(masterPos[0], masterPos[1], masterPos[2], mLatRad, mLonRad, mLatDeg,
                        mLonDeg, mHeight))
        return 0;
    const double nodePos[3] = {r.ecefX, r.ecefY, r.ecefZ};
    const double nLatRad = r.latitude * geo::degToRad, nLonRad = r.longitude * geo::degToRad;
    const int doy = dayOfYear();

    ErpSatSlot* slots = Sys::slotsOf(r);
    // Another master brings its own ambiguities: every arc starts again.
    if (r.anchorBase != m || r.anchorSerial != mb.connectionSerial) {
        for (int s = 0; s < S; ++s) slots[s].locked = false;
        r.anchorBase = m;
        r.anchorSerial = mb.connectionSerial;
    }
    Sys::epochOf(r) = epochMs;

    typename Sys::Sat* masterSats = Sys::sats(mb);
    double dGeo[S] = {}, dTropo[S] = {}, nodeRange[S] = {};
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        const auto& ms = masterSats[s];
        bool ok = ms.epochMs == epochMs && present(ms.codeRange[0]);
        double pos[3], vel[3], rN = 0, rM = 0, eN = 0, eM = 0;
        ok = ok && Sys::state(s, epochMs, pos, vel) &&
             travelRange(pos, vel, nodePos, nLatRad, nLonRad, rN, eN) &&
             travelRange(pos, vel, masterPos, mLatRad, mLonRad, rM, eM) && eN >= minElevationDeg &&
             eM >= minElevationDeg;
        if (ok) {
            dGeo[s] = rN - rM;
            dTropo[s] = standardAtmosphereDelay(eN, r.latitude, r.height, doy) -
                        standardAtmosphereDelay(eM, mLatDeg, mHeight, doy);
            nodeRange[s] = rN;
            ok = std::isfinite(dGeo[s]) && std::isfinite(dTropo[s]);
        }
        slot.present = ok ? 1 : 0;
        slot.epochMs = ok ? epochMs : 0;
        if (!ok) slot.locked = false;
    }

    calcErpIono<Sys>(r);

    // The observations at the node, and what moved the master's phases
    // through the ionosphere. A satellite whose ionospheric difference
    // carries more error than a rover's ambiguity resolution bears sends
    // no phase: its code still serves, and its carrier comes back as a new
    // arc once the bases' levels have settled.
    double code[S][3] = {}, phase[S][3] = {}, ionoShift[S][3] = {};
    uint32_t signature[S] = {};
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        if (!slot.present) continue;
        const auto& ms = masterSats[s];
        const bool held = !(slot.phaseError <= maxPhaseShiftErrorM);
        signature[s] = (held ? 1u << 31 : 0u) | slot.tiedBases;
        for (int f = 0; f < F; ++f) {
            const bool codeIono = slot.codeAtMaster[f] != 0;
            const bool phaseIono = slot.phaseAtMaster[f] != 0;
            const double dCode = codeIono ? slot.codeResidual[f] - slot.codeAtMaster[f] : 0.0;
            ionoShift[s][f] = phaseIono ? slot.phaseResidual[f] - slot.phaseAtMaster[f] : 0.0;
            if (present(ms.codeRange[f])) code[s][f] = ms.codeRange[f] + dGeo[s] + dTropo[s] + dCode;
            if (present(ms.phaseRange[f]) && !held)
                phase[s][f] = ms.phaseRange[f] + dGeo[s] + dTropo[s] + ionoShift[s][f];
            if (!std::isfinite(code[s][f])) code[s][f] = 0;
            if (!std::isfinite(phase[s][f]) || !std::isfinite(ionoShift[s][f])) {
                phase[s][f] = 0;
                ionoShift[s][f] = 0;
            }
        }
    }

    // Phase continuity: the rover must see a new arc wherever the reference
    // phase may have jumped: a slip at the master, a gap, a carrier let back
    // in after it was held out, or an ionospheric shift that stepped against
    // the other satellites' (geometry and troposphere come from smooth
    // models; what all satellites share cancels between them; a base that
    // joins or leaves the weighted plane moves it by no more than the
    // levels' errors, which the step rule judges).
    bool restart[S] = {};
    double step[S][3] = {}, commonStep[3] = {};
    double steps[3][S];
    int continuing = 0;
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        if (!slot.present) continue;
        const auto& ms = masterSats[s];
        const uint32_t dt = msSinceEpoch(epochMs, slot.prevEpochMs, Sys::periodMs);
        restart[s] = !slot.locked || signature[s] != slot.signature || dt > maxGapMs;
        // A master lock time that went down, or that is shorter than the
        // time since the last synthesis (the lock began in between), is a
        // slip at the master: whatever the epoch interval.
        for (int f = 0; f < F; ++f)
            if (ms.lockTimeS[f] < slot.masterLockS[f] ||
                (present(ms.phaseRange[f]) && uint64_t(ms.lockTimeS[f]) * 1000 + 1000 < dt))
                restart[s] = true;
        if (restart[s] || dt == 0) continue;
        for (int f = 0; f < F; ++f) {
            step[s][f] = ionoShift[s][f] - slot.phaseShift[f];
            steps[f][continuing] = step[s][f];
        }
        ++continuing;
    }
    // The median: one satellite's jump must not pass for everyone's.
    for (int f = 0; f < F && continuing > 0; ++f) {
        std::nth_element(steps[f], steps[f] + continuing / 2, steps[f] + continuing);
        commonStep[f] = steps[f][continuing / 2];
    }

    int count = 0;
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        if (!slot.present) continue;
        const auto& ms = masterSats[s];
        const uint32_t dt = msSinceEpoch(epochMs, slot.prevEpochMs, Sys::periodMs);
        // A second synthesis of one epoch changes nothing of the arcs.
        if (dt != 0 || restart[s]) {
            bool newArc = restart[s];
            for (int f = 0; f < F && !newArc; ++f)
                if (phase[s][f] != 0 && !(std::fabs(step[s][f] - commonStep[f]) <= erpPhaseJumpLimitM))
                    newArc = true;
            if (newArc) {
                slot.locked = true;
                slot.lockStartMs = epochMs;
                ++slot.slipCount;
            }
            slot.signature = signature[s];
            for (int f = 0; f < F; ++f) slot.phaseShift[f] = ionoShift[s][f];
            const uint32_t heldS = msSinceEpoch(epochMs, slot.lockStartMs, Sys::periodMs) / 1000;
            for (int f = 0; f < F; ++f) {
                slot.lockTimeS[f] = uint16_t(ms.lockTimeS[f] < heldS ? ms.lockTimeS[f] : heldS);
                slot.masterLockS[f] = ms.lockTimeS[f];
            }
        }
        slot.geometricRange = nodeRange[s];
        slot.codeL1 = code[s][0];
        slot.codeL2 = code[s][1];
        slot.codeL3 = F > 2 ? code[s][2] : 0;
        slot.phaseL1 = phase[s][0];
        slot.phaseL2 = phase[s][1];
        slot.phaseL3 = F > 2 ? phase[s][2] : 0;
        slot.prevEpochMs = epochMs;
        ++count;
    }
    return count;
}

}   // namespace

void erpBasePoint(const BaseStation& b, double& latitude, double& longitude)
{
    if (b.latitude != 0 || b.longitude != 0) {
        latitude = b.latitude;
        longitude = b.longitude;
    } else {
        latitude = b.strLatitude;
        longitude = b.strLongitude;
    }
}

void calcErpGps(int erpIndex)
{
    if (erpIndex >= 0 && erpIndex < maxErpRecords) calcErpIono<GpsSystem>(erp[erpIndex]);
}

void calcErpGlonass(int erpIndex)
{
    if (erpIndex >= 0 && erpIndex < maxErpRecords) calcErpIono<GloSystem>(erp[erpIndex]);
}

int synthesiseErpGps(int erpIndex, uint32_t epochMs) { return synthesise<GpsSystem>(erpIndex, epochMs); }

int synthesiseErpGlonass(int erpIndex, uint32_t epochMs)
{
    return synthesise<GloSystem>(erpIndex, epochMs);
}

void tieGpsLevels(uint32_t epochMs, int master, const int* slots, int n, LevelTies& ties)
{
    tieLevels<GpsSystem>(epochMs, master, slots, n, ties);
}

void tieGloLevels(uint32_t epochMs, int master, const int* slots, int n, LevelTies& ties)
{
    tieLevels<GloSystem>(epochMs, master, slots, n, ties);
}
