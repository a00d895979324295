#include "network/erp_synthesis.h"

#include <algorithm>
#include <cmath>

#include "core/base_station.h"
#include "core/ephemeris.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/orbits.h"
#include "core/troposphere.h"
#include "network/interpolation.h"
#include "network/nearest_base.h"

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

// The anchor-through-node constructions: anchor base, the line of the
// opposite pair, the lower and the higher base of that pair.
struct Construction {
    int anchor, pairLine, j, k;
};
constexpr Construction constructions[12] = {
    {0, 7, 1, 2}, {0, 9, 2, 3}, {0, 8, 1, 3}, {1, 5, 0, 2}, {1, 6, 0, 3}, {1, 9, 2, 3},
    {2, 4, 0, 1}, {2, 8, 1, 3}, {2, 6, 0, 3}, {3, 4, 0, 1}, {3, 5, 0, 2}, {3, 7, 1, 2},
};

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
    static constexpr int filtered[quantities] = {0, 3, 1, 4, 2, 5};
    static constexpr uint32_t periodMs = 604800000;
    static Sat* sats(BaseStation& b) { return b.gpsSat; }
    static ErpSatSlot* slotsOf(ErpRecord& r) { return r.gpsSlot; }
    static uint32_t& epochOf(ErpRecord& r) { return r.gpsEpochMs; }
    static bool state(int s, uint32_t t, double p[3], double v[3]) { return gpsState(s, t, p, v); }
};

struct GloSystem {
    using Sat = GloSatObs;
    static constexpr int slots = 24, freqs = 2, quantities = 4;
    static constexpr int filtered[quantities] = {0, 2, 1, 3};
    static constexpr uint32_t periodMs = 86400000;
    static Sat* sats(BaseStation& b) { return b.gloSat; }
    static ErpSatSlot* slotsOf(ErpRecord& r) { return r.glonassSlot; }
    static uint32_t& epochOf(ErpRecord& r) { return r.gloEpochMs; }
    static bool state(int s, uint32_t t, double p[3], double v[3]) { return gloState(s, t, p, v); }
};

template <typename Sat>
double quantity(const Sat& s, int q)
{
    return (q & 1) ? s.phaseAdvance[q / 2] : s.codeDelay[q / 2];
}

uint32_t sinceMs(uint32_t now, uint32_t then, uint32_t period)
{
    return now >= then ? now - then : now + period - then;
}

template <typename Sys>
void calcErpIono(ErpRecord& r)
{
    constexpr int S = Sys::slots, Q = Sys::quantities;
    const uint32_t epochMs = Sys::epochOf(r);
    BaseStation* base[4] = {};
    double lat[4] = {}, lon[4] = {};
    for (int i = 0; i < 4; ++i) {
        const int idx = r.baseIndex[i];
        if (idx < 0 || idx >= maxBases) continue;
        base[i] = &baseStation[idx];
        erpBasePoint(*base[i], lat[i], lon[i]);
    }

    // The bases' values as read and as a pair base's stand-in, each base
    // less its mean offset from the master over the satellites both have
    // now: what all satellites of a base share cancels between satellites
    // anyway, and a station's own bias must not reach the node.
    static double asRead[4][S][Q], asPair[4][S][Q];
    static bool zero[4][S][Q];
    for (int i = 0; i < 4; ++i) {
        for (int s = 0; s < S; ++s) {
            for (int q = 0; q < Q; ++q) {
                zero[i][s][q] = true;
                asRead[i][s][q] = asPair[i][s][q] = 0;
                if (!base[i]) continue;
                const auto& sat = Sys::sats(*base[i])[s];
                const double v = quantity(sat, q);
                zero[i][s][q] = v == 0.0;
                asRead[i][s][q] = v;
                asPair[i][s][q] = sat.epochMs == epochMs ? v : sat.filteredDelay[Sys::filtered[q]];
            }
        }
    }
    for (int i = 1; i < 4 && base[0]; ++i) {
        if (!base[i]) continue;
        for (int q = 0; q < Q; ++q) {
            double sum = 0;
            int n = 0;
            for (int s = 0; s < S; ++s) {
                if (zero[0][s][q] || zero[i][s][q]) continue;
                if (Sys::sats(*base[0])[s].epochMs != epochMs ||
                    Sys::sats(*base[i])[s].epochMs != epochMs)
                    continue;
                const double d = asRead[i][s][q] - asRead[0][s][q];
                if (!std::isfinite(d)) continue;
                sum += d;
                ++n;
            }
            if (n == 0) continue;
            const double offset = sum / n;
            for (int s = 0; s < S; ++s) {
                asRead[i][s][q] -= offset;
                asPair[i][s][q] -= offset;
            }
        }
    }

    // The constructions evaluated at a target point, whose lines from each
    // anchor through the target are `anchorLines`.
    auto interpolateAt = [&](double tLat, double tLon, const double (*anchorLines)[3],
                             double (&sum)[S][Q], int (&count)[S][Q], uint32_t (&contributors)[S]) {
        for (int c = 0; c < 12; ++c) {
            const Construction& k = constructions[c];
            if (!base[k.anchor] || !base[k.j] || !base[k.k]) continue;
            const double* anchorLine = anchorLines[k.anchor];
            const double* pairLine = r.line[k.pairLine];
            // An anchor standing on the target has no line through it.
            if (anchorLine[0] == 0.0 || pairLine[0] == 0.0) continue;
            double xLat = 0, xLon = 0;
            if (!solve2x2(xLat, xLon, anchorLine[0], anchorLine[1], anchorLine[2], pairLine[0],
                          pairLine[1], pairLine[2]))
                continue;
            const double dX = std::hypot(lat[k.anchor] - xLat, lon[k.anchor] - xLon);
            // The target behind the anchor (away from the cut point) lies on
            // the slope's other side: the distance counts negative there, so
            // the slope goes on instead of being mirrored.
            double dE = std::hypot(lat[k.anchor] - tLat, lon[k.anchor] - tLon);
            if ((tLat - lat[k.anchor]) * (xLat - lat[k.anchor]) +
                    (tLon - lon[k.anchor]) * (xLon - lon[k.anchor]) <
                0)
                dE = -dE;
            const double pairKm = distanceKm(lat[k.k], lon[k.k], lat[k.j], lon[k.j]);
            if (!(dX > 0) || !(pairKm > 0) || !std::isfinite(dE)) continue;
            for (int s = 0; s < S; ++s) {
                const bool jCurrent = Sys::sats(*base[k.j])[s].epochMs == epochMs;
                const bool kCurrent = Sys::sats(*base[k.k])[s].epochMs == epochMs;
                for (int q = 0; q < Q; ++q) {
                    if (zero[k.anchor][s][q] || zero[k.j][s][q] || zero[k.k][s][q]) continue;
                    const double vI = asRead[k.anchor][s][q];
                    const double vJ = jCurrent ? asRead[k.j][s][q] : asPair[k.j][s][q];
                    const double vK = kCurrent ? asRead[k.k][s][q] : asPair[k.k][s][q];
                    const double vX = interpolateByDistance(lat[k.k], lon[k.k], vK, lat[k.j],
                                                            lon[k.j], vJ, xLat, xLon);
                    const double candidate = (vX - vI) / dX * dE + vI;
                    if (!std::isfinite(candidate)) continue;
                    sum[s][q] += candidate;
                    ++count[s][q];
                    if (q == 1) contributors[s] |= 1u << c;
                }
            }
        }
    };

    static double sum[S][Q], sumM[S][Q];
    static int count[S][Q], countM[S][Q];
    uint32_t contributors[S] = {}, contributorsM[S] = {};
    for (int s = 0; s < S; ++s)
        for (int q = 0; q < Q; ++q) {
            sum[s][q] = sumM[s][q] = 0;
            count[s][q] = countM[s][q] = 0;
        }
    interpolateAt(r.latitude, r.longitude, r.line, sum, count, contributors);
    // The same constructions at the master's own point. The synthesis moves
    // the master's observations by the change of this one interpolated
    // surface between the master and the node: each base's levelling error
    // (a few centimetres after twenty minutes of arc, different for every
    // satellite) then enters only by the difference of its two weights,
    // where the master's own value against the node's interpolation would
    // carry the master's error whole into every phase. The constructions
    // anchored on the master have no line there and would only give that
    // value back: those through the other bases make the surface at the
    // master (exact for a plane, as at the node).
    if (base[0]) {
        double masterLines[4][3] = {};
        for (int i = 1; i < 4; ++i) {
            if (!base[i]) continue;
            masterLines[i][0] = lon[0] - lon[i];
            masterLines[i][1] = lat[i] - lat[0];
            masterLines[i][2] = masterLines[i][0] * lat[i] + masterLines[i][1] * lon[i];
        }
        interpolateAt(lat[0], lon[0], masterLines, sumM, countM, contributorsM);
    }

    ErpSatSlot* slots = Sys::slotsOf(r);
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        slot.contributors = contributors[s];
        slot.masterContributors = contributorsM[s];
        for (int q = 0; q < Q; ++q) {
            const double atMaster = countM[s][q] ? sumM[s][q] / countM[s][q] : 0.0;
            if (q & 1)
                slot.phaseAtMaster[q / 2] = atMaster;
            else
                slot.codeAtMaster[q / 2] = atMaster;
            if (count[s][q] == 0) continue;
            const double mean = sum[s][q] / count[s][q];
            const int e = q / 2;
            if (q & 1) {
                slot.phaseResidual[e] = mean;
                continue;
            }
            slot.codeResidual[e] = mean;
            const float newF = float(mean);
            const uint32_t dt = slot.epochMs - slot.prevEpochMs;
            // Two syntheses of one epoch give no rate; the last one stays.
            if (dt != 0) slot.codeResidualRate[e] = (newF - slot.codeResidualF[e]) / float(dt);
            slot.codeResidualF[e] = newF;
        }
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
    // through the ionosphere.
    double code[S][3] = {}, phase[S][3] = {}, ionoShift[S][3] = {};
    uint32_t signature[S] = {};
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        if (!slot.present) continue;
        const auto& ms = masterSats[s];
        signature[s] = slot.contributors | slot.masterContributors << 20;
        const bool both = slot.contributors != 0 && slot.masterContributors != 0;
        for (int f = 0; f < F; ++f) {
            // Without the master's own value there is no difference to take.
            const bool codeIono = both && ms.codeDelay[f] != 0 && slot.codeAtMaster[f] != 0;
            const bool phaseIono = both && ms.phaseAdvance[f] != 0 && slot.phaseAtMaster[f] != 0;
            if (phaseIono) signature[s] |= 1u << (16 + f);
            const double dCode = codeIono ? slot.codeResidual[f] - slot.codeAtMaster[f] : 0.0;
            ionoShift[s][f] = phaseIono ? slot.phaseResidual[f] - slot.phaseAtMaster[f] : 0.0;
            if (present(ms.codeRange[f])) code[s][f] = ms.codeRange[f] + dGeo[s] + dTropo[s] + dCode;
            if (present(ms.phaseRange[f]))
                phase[s][f] = ms.phaseRange[f] + dGeo[s] + dTropo[s] + ionoShift[s][f];
            if (!std::isfinite(code[s][f])) code[s][f] = 0;
            if (!std::isfinite(phase[s][f]) || !std::isfinite(ionoShift[s][f])) {
                phase[s][f] = 0;
                ionoShift[s][f] = 0;
            }
        }
    }

    // Phase continuity: the rover must see a new arc wherever the reference
    // phase may have jumped: a slip at the master, a gap, a change in which
    // bases the ionosphere came from, or an ionospheric shift that stepped
    // against the other satellites' (geometry and troposphere come from
    // smooth models; what all satellites share cancels between them).
    bool restart[S] = {};
    double step[S][3] = {}, commonStep[3] = {};
    double steps[3][S];
    int continuing = 0;
    for (int s = 0; s < S; ++s) {
        ErpSatSlot& slot = slots[s];
        if (!slot.present) continue;
        const auto& ms = masterSats[s];
        const uint32_t dt = sinceMs(epochMs, slot.prevEpochMs, Sys::periodMs);
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
        const uint32_t dt = sinceMs(epochMs, slot.prevEpochMs, Sys::periodMs);
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
            const uint32_t heldS = sinceMs(epochMs, slot.lockStartMs, Sys::periodMs) / 1000;
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
