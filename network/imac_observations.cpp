#include "network/imac_observations.h"

#include <cmath>
#include <cstring>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/cmr/cmr_encode.h"
#include "formats/nct/nct_encode.h"
#include "formats/obs_epoch.h"
#include "formats/rover_shift.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"
#include "network/record_copy.h"
#include "platform/console.h"

namespace {

constexpr double lightMsMetres = 299792.458;
constexpr double gloAmbiguityMetres = 599584.916;
constexpr int gpsEntries = 32;   // the messages carry GPS 1..32 only

// The master's epoch, copied in one piece and moved to the rover.
struct ShiftedEpoch {
    ObsEpoch view;
    double latitudeRad = 0, longitudeRad = 0;
    GpsSatObs gps[gpsSatEntries];
    GloSatObs glo[gloSatEntries];
    NetGradients gradients;
};

int masterOf(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return -1;
    int m = client[clientIndex].masterBase;
    return m >= 0 && m < maxBases ? m : -1;
}

bool present(double v) { return v != 0 && std::isfinite(v); }

// A phase shift that moves by more than this between two epochs of a
// satellite is no drift of the atmosphere but a change in the network's
// estimate (a station's arc starting or ending): sent as it is, it would
// reach the rover as a jump in a carrier that claims continuous lock.
constexpr double phaseShiftJumpM = 0.025;
constexpr uint32_t trackedEpochGapMs = 60000;

// Whether the phase shift of one satellite jumped since the rover's last
// epoch; keeps the shifts of this epoch for the next. A second build of
// the same epoch gets the same answer.
bool phaseShiftJumped(ImacShiftTrack& t, uint32_t epochMs, const double (&shift)[2])
{
    if (t.epochMs != epochMs) {
        t.prevEpochMs = t.epochMs;
        t.prevShift[0] = t.shift[0];
        t.prevShift[1] = t.shift[1];
        t.epochMs = epochMs;
        t.shift[0] = float(shift[0]);
        t.shift[1] = float(shift[1]);
    }
    if (t.prevEpochMs == 0 || epochMs - t.prevEpochMs > trackedEpochGapMs) return false;
    return std::fabs(shift[0] - t.prevShift[0]) > phaseShiftJumpM ||
           std::fabs(shift[1] - t.prevShift[1]) > phaseShiftJumpM;
}

template <typename Sat, size_t N>
void shiftSatellites(Sat* sats, int entries, uint32_t epochMs, const double (&g)[8][N],
                     const RoverShift& r, double ambiguityUnit, ImacShiftTrack* track)
{
    for (int i = 0; i < entries; ++i) {
        Sat& s = sats[i];
        if (s.epochMs != epochMs) continue;
        const double entry[shiftEntries] = {g[0][i], g[1][i], g[2][i], g[3][i],
                                            g[4][i], g[5][i], g[6][i]};
        double phaseShift[2] = {0, 0};
        // GLONASS takes the GPS band factors.
        for (int band = 0; band < 2; ++band) {
            double dc, dp;
            if (!bandShift(r, entry, s.elevation, gpsBandFactor[band], dc, dp)) continue;
            if (present(s.codeRange[band])) s.codeRange[band] -= dc;
            if (present(s.phaseRange[band])) s.phaseRange[band] -= dp;
            phaseShift[band] = dp;
        }
        // The rover is told of a jump the way a receiver tells of a slip:
        // lock time back to zero, one more slip counted.
        if (track && phaseShiftJumped(track[i], epochMs, phaseShift)) {
            s.lockTimeS[0] = s.lockTimeS[1] = 0;
            ++s.slipCount;
        }
        setLegacyParts(s, ambiguityUnit);
    }
}

// The master's epoch of GPS and/or GLONASS as it stood after one decode.
// False without a master or a stable read.
bool takeEpoch(int clientIndex, bool gps, bool glo, ShiftedEpoch& e)
{
    const int m = masterOf(clientIndex);
    if (m < 0) return false;
    const BaseStation& b = baseStation[m];
    auto copy = [&] {
        e.view = obsEpochOf(m);
        e.latitudeRad = b.latitudeRad;
        e.longitudeRad = b.longitudeRad;
        if (gps) std::memcpy(static_cast<void*>(e.gps), b.gpsSat, sizeof e.gps);
        if (glo) std::memcpy(static_cast<void*>(e.glo), b.gloSat, sizeof e.glo);
    };
    if (!copyConsistently(&m, 1, copy)) return false;
    // The gradients come from the network-correction thread, not from a
    // decode; they are taken as they stand.
    if (gps) std::memcpy(e.gradients.gps, b.netGradient.gps, sizeof e.gradients.gps);
    if (glo) std::memcpy(e.gradients.glo, b.netGradient.glo, sizeof e.gradients.glo);
    e.view.gpsSat = gps ? e.gps : nullptr;
    e.view.gloSat = glo ? e.glo : nullptr;
    return true;
}

// Moves the copied epoch to the rover's position.
void shiftEpoch(int clientIndex, ShiftedEpoch& e)
{
    Client& c = client[clientIndex];
    const RoverShift r = roverShiftOf(c.latitude, c.longitude, e.latitudeRad, e.longitudeRad);
    if (e.view.gpsSat)
        shiftSatellites(e.gps, gpsEntries, e.view.gpsTowMs, e.gradients.gps, r, lightMsMetres,
                        c.imacShift);
    if (e.view.gloSat)
        shiftSatellites(e.glo, gloSatEntries, e.view.gloEpochMs, e.gradients.glo, r,
                        gloAmbiguityMetres, c.imacShift + gpsEntries);
}

// Scratch per thread: a copy of one epoch is too large for a small stack.
ShiftedEpoch& scratch()
{
    static thread_local ShiftedEpoch e;
    return e;
}

bool takeShiftedEpoch(int clientIndex, bool gps, bool glo, ShiftedEpoch& e)
{
    if (!takeEpoch(clientIndex, gps, glo, e)) return false;
    shiftEpoch(clientIndex, e);
    return true;
}

int rtcmGps(int clientIndex, uint8_t* buffer, bool extended)
{
    ShiftedEpoch& e = scratch();
    if (!takeShiftedEpoch(clientIndex, true, false, e)) return 0;
    return writeRtcmGpsObservations(e.view, buffer, extended);
}

int rtcmGlo(int clientIndex, uint8_t* buffer, bool extended)
{
    ShiftedEpoch& e = scratch();
    if (!takeShiftedEpoch(clientIndex, false, true, e)) return 0;
    return writeRtcmGloObservations(e.view, buffer, extended);
}

// ---- CMR carrier scale

constexpr double defaultScaleL1 = 0.000743709;
constexpr double defaultScaleL2 = 0.000953371;

// Calibrated factors per master and GPS entry. Only the rover streaming
// thread builds CMR iMAC frames, so only it reads and writes this table;
// a new base in the slot (another login) starts again from the defaults.
struct CarrierScale {
    uint32_t serial = 0;
    bool used = false;
    double l1[gpsEntries];
    double l2[gpsEntries];
};
CarrierScale carrierScale[maxBases];

CarrierScale& scaleOf(int baseIndex)
{
    CarrierScale& s = carrierScale[baseIndex];
    const uint32_t serial = baseStation[baseIndex].connectionSerial.load();
    if (!s.used || s.serial != serial) {
        s.used = true;
        s.serial = serial;
        for (int i = 0; i < gpsEntries; ++i) {
            s.l1[i] = defaultScaleL1;
            s.l2[i] = defaultScaleL2;
        }
    }
    return s;
}

// Searches the factor that makes the held phase-minus-code, in carrier
// units, match the CMR-decoded one, starting from the last one found.
// Returns the factor to keep.
double searchScale(double rtcmPhi, double cmrPhi, double start, double nominal, double lo,
                   double hi, const char* finalText)
{
    if (cmrPhi == 0 || rtcmPhi == 0) return nominal;
    double q = start, d = 0;
    int count = 0;
    bool stop = false;
    do {
        d = std::fabs(rtcmPhi / q) - std::fabs(cmrPhi / nominal);
        if (std::fabs(d * nominal) <= 0.004 || !std::isfinite(d)) {
            stop = true;
        } else {
            const double step = std::fabs(d) >= 5.0 ? 1e-7 : 1e-15;
            q += d < 0 ? -step : step;
        }
        if (q < 0) q = 1e-15;
        if (++count > 9999) stop = true;
    } while (q < hi && q > lo && !stop);
    consolePrintf(finalText, d * nominal, q);
    return (q >= lo && q <= hi) ? q : nominal;
}

// Compares, for each satellite the master delivered as CMR in this epoch,
// the CMR-decoded with the held observables (both unshifted) and keeps the
// factors found; every entry of the copy then carries the factor to use.
void calibrateCarrierScale(int baseIndex, ShiftedEpoch& e)
{
    CarrierScale& scale = scaleOf(baseIndex);
    for (int i = 0; i < gpsEntries; ++i) {
        GpsSatObs& s = e.gps[i];
        // A master that never sent CMR has no CMR copy to compare with.
        if (s.epochMs == e.view.gpsTowMs && s.cmrEpochMs == s.epochMs % 240000 && s.cmrL1Code != 0) {
            const double cmrCode2 = s.cmrL2Code - s.cmrL1Code;
            const double cmrPhi1 = s.cmrL1Phase - s.cmrL1Code;
            const double cmrPhi2 = s.cmrL2Phase - s.cmrL1Code;
            const double rtcmCode2 = s.codeRange[1] - s.codeRange[0];
            const double rtcmPhi1 = s.phaseRange[0] - s.codeRange[0];
            const double rtcmPhi2 = s.phaseRange[1] - s.codeRange[0];
            consolePrintf("L1 CMR psuedoR      %lf\r\n", s.cmrL1Code);
            consolePrintf("L2 CMR psuedoR diff %lf\r\n", cmrCode2);
            consolePrintf("L1 CMR phase diff   %lf\r\n", cmrPhi1);
            consolePrintf("L2 CMR phase diff   %lf\r\n", cmrPhi2);
            consolePrintf("L1 rtcm psuedoR     %lf\r\n", s.codeRange[0]);
            consolePrintf("L2 rtcm pseudo diff %lf\r\n", rtcmCode2);
            consolePrintf("L1 RTCM phase diff  %lf\r\n", rtcmPhi1);
            consolePrintf("L2 RTCM phase diff  %lf\r\n", rtcmPhi2);
            consolePrintf("diff RTCM - CMR meters = %lf\r\n", std::fabs(rtcmPhi1) - std::fabs(cmrPhi1));
            consolePrintf("diff RTCM - CMR meters = %lf\r\n\r\n", std::fabs(rtcmPhi2) - std::fabs(cmrPhi2));
            scale.l1[i] = searchScale(rtcmPhi1, cmrPhi1, scale.l1[i], defaultScaleL1, 0.000543709,
                                      0.000943709,
                                      "L1 final diff meters = %lf               conv value =     %2.15lf \r\n");
            scale.l2[i] = searchScale(rtcmPhi2, cmrPhi2, scale.l2[i], defaultScaleL2, 0.000753371,
                                      0.001153371,
                                      "L2 final diff meters = %lf               conv value =     %2.15lf \r\n\r\n");
        }
        s.cmrConvL1 = scale.l1[i];
        s.cmrConvL2 = scale.l2[i];
    }
}

}   // namespace

int encodeRtcm1004Imac(int clientIndex, uint8_t* buffer) { return rtcmGps(clientIndex, buffer, true); }
int encodeRtcm1003Imac(int clientIndex, uint8_t* buffer) { return rtcmGps(clientIndex, buffer, false); }
int encodeRtcm1012Imac(int clientIndex, uint8_t* buffer) { return rtcmGlo(clientIndex, buffer, true); }
int encodeRtcm1011Imac(int clientIndex, uint8_t* buffer) { return rtcmGlo(clientIndex, buffer, false); }

int encodeRtcm1124Imac(int clientIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    const int m = masterOf(clientIndex);
    if (m < 0) return 0;
    // Built straight from the record: built again when a decode ran meanwhile.
    int length = 0;
    if (!copyConsistently(&m, 1, [&] { length = encodeRtcm1124Client(clientIndex, buffer, part, partCount); }))
        return 0;
    return length;
}

int encodeNct5EGpsImac(uint8_t* buffer, int clientIndex)
{
    ShiftedEpoch& e = scratch();
    if (!takeShiftedEpoch(clientIndex, true, false, e)) return 0;
    // The master's week once it has sent one, else the caster's.
    const uint16_t week = e.view.gpsWeek != 0 ? e.view.gpsWeek : uint16_t(currentGpsWeek.load());
    return writeNct5EGps(buffer, e.view, week, e.view.stationId);
}

int encodeNct5EGpsGloImac(uint8_t* buffer, int clientIndex)
{
    ShiftedEpoch& e = scratch();
    if (!takeShiftedEpoch(clientIndex, true, true, e)) return 0;
    return writeNct5EGpsGlo(buffer, e.view);
}

int encodeCmr0Imac(uint8_t* buffer, int clientIndex)
{
    ShiftedEpoch& e = scratch();
    if (!takeEpoch(clientIndex, true, false, e)) return 0;
    calibrateCarrierScale(client[clientIndex].masterBase, e);
    shiftEpoch(clientIndex, e);
    return writeCmr0(buffer, e.view);
}

int encodeCmr3Imac(uint8_t* buffer, int clientIndex)
{
    ShiftedEpoch& e = scratch();
    if (!takeShiftedEpoch(clientIndex, false, true, e)) return 0;
    return writeCmr3(buffer, e.view);
}

void cmrCarrierScaleOf(int baseIndex, int entry, double& l1, double& l2)
{
    l1 = defaultScaleL1;
    l2 = defaultScaleL2;
    if (baseIndex < 0 || baseIndex >= maxBases || entry < 0 || entry >= gpsEntries) return;
    const CarrierScale& s = scaleOf(baseIndex);
    l1 = s.l1[entry];
    l2 = s.l2[entry];
}
