#include "formats/rtcm3/rtcm3_msm_encode.h"

#include <bit>
#include <cmath>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/field_codes.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rover_shift.h"
#include "formats/rtcm3/rtcm3_frame_writer.h"
#include "platform/clock.h"

namespace {

constexpr int maxMsmCells = 64;
constexpr int32_t invalidFinePseudorange = -16384;   // 15-bit field
constexpr int32_t invalidFinePhaserange = -2097152;  // 22-bit field

// One satellite of the epoch as it goes into the message: per band its
// signal id (0 = no cell) and the values of that cell.
struct MsmSat {
    int number = 0;
    uint8_t signal[3] = {};
    double code[3] = {};     // metres; 0 = none
    double phase[3] = {};    // metres; 0 = none
    float cn0[3] = {};
    uint16_t lockS[3] = {};
    uint32_t roughUnits = 0;   // rough range in 1/1024 ms
};

struct MsmEpoch {
    uint16_t messageNumber = 0;
    uint16_t stationId = 0;
    uint32_t epochField = 0;
    uint8_t smoothing = 0;
    int system = obsGps;
    int baseIndex = -1;
    int count = 0;
    MsmSat sat[64];
};

bool present(double v) { return v != 0 && std::isfinite(v); }

uint32_t signalBits(const MsmSat& s)
{
    uint32_t mask = 0;
    for (uint8_t id : s.signal)
        if (id >= 1 && id <= 32) mask |= 1u << (32 - id);
    return mask;
}

// Takes the satellite when it has a pseudorange to anchor its rough range:
// band 0's, or the first other band's when band 0 has none. The rough range
// is rounded to the nearest 1/1024 ms so that every band's fine value keeps
// half the field as margin on either side.
void addSatellite(MsmEpoch& e, const MsmSat& candidate)
{
    MsmSat s = candidate;
    for (int band = 0; band < 3; ++band)
        if (s.signal[band] == 0 || (!present(s.code[band]) && !present(s.phase[band]))) s.signal[band] = 0;
    double anchor = 0;
    for (int band = 0; band < 3 && anchor == 0; ++band)
        if (s.signal[band] != 0 && present(s.code[band]) && s.code[band] > 0) anchor = s.code[band];
    if (anchor == 0) return;
    double units = std::round(anchor / lightMsMetres * 1024.0);
    if (!(units >= 0 && units < 255.0 * 1024.0)) return;
    s.roughUnits = uint32_t(units);
    e.sat[e.count++] = s;
}

// Splits the satellites, in number order, into messages of at most 64 mask
// cells (satellites x distinct signals). Gives the first and end index of
// message `part` and the number of messages.
int partition(const MsmEpoch& e, int part, int& first, int& end)
{
    int parts = 0, i = 0;
    first = end = 0;
    if (e.count == 0) return 1;
    while (i < e.count) {
        int start = i, n = 0;
        uint32_t signals = 0;
        while (i < e.count) {
            uint32_t merged = signals | signalBits(e.sat[i]);
            if ((n + 1) * std::popcount(merged) > maxMsmCells) break;
            signals = merged;
            ++n;
            ++i;
        }
        if (parts == part) {
            first = start;
            end = i;
        }
        ++parts;
    }
    return parts;
}

int32_t fineField(double metres, double roughMs, double scale, int32_t limit, int32_t invalid)
{
    if (!present(metres)) return invalid;
    double units = (metres / lightMsMetres - roughMs) * scale;
    // Nearest rather than toward zero: an epoch that came in as MSM goes out
    // with the very values it came with.
    units = roundNearest(units);
    if (!std::isfinite(units) || std::fabs(units) > double(limit)) return invalid;
    return int32_t(units);
}

int writeMsm(const MsmEpoch& e, uint8_t* buffer, int part, int* partCount)
{
    int first = 0, end = 0;
    int parts = partition(e, part, first, end);
    if (partCount) *partCount = parts;
    if (part < 0 || part >= parts) return 0;

    uint64_t satMask = 0;
    uint32_t sigMask = 0;
    for (int i = first; i < end; ++i) {
        satMask |= uint64_t(1) << (64 - e.sat[i].number);
        sigMask |= signalBits(e.sat[i]);
    }
    uint8_t ids[32];
    int nsig = 0;
    for (int id = 1; id <= 32; ++id)
        if (sigMask & (1u << (32 - id))) ids[nsig++] = uint8_t(id);

    bool more = part < parts - 1 || laterObservationsFollow(e.baseIndex, e.system, true);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, e.messageNumber);
    writeBitsU16(buffer, c, 12, e.stationId);
    writeBitsU32(buffer, c, 30, e.epochField);
    writeBits8(buffer, c, 1, more ? 1 : 0);
    writeBits8(buffer, c, 3, 0);    // issue of data station
    writeBits8(buffer, c, 7, 0);    // reserved
    writeBits8(buffer, c, 2, 1);    // clock steering
    writeBits8(buffer, c, 2, 0);    // external clock
    writeBits8(buffer, c, 1, e.smoothing & 1);
    writeBits8(buffer, c, 3, 0);    // smoothing interval
    writeBits64(buffer, c, 64, int64_t(satMask));
    writeBitsU32(buffer, c, 32, sigMask);

    // Cells in mask order: satellite by satellite, signals by increasing id.
    int8_t cellSat[maxMsmCells], cellBand[maxMsmCells];
    int cells = 0;
    for (int i = first; i < end; ++i) {
        for (int k = 0; k < nsig; ++k) {
            int band = -1;
            for (int b = 0; b < 3; ++b)
                if (e.sat[i].signal[b] == ids[k]) band = b;
            writeBits8(buffer, c, 1, band >= 0 ? 1 : 0);
            if (band >= 0) {
                cellSat[cells] = int8_t(i);
                cellBand[cells++] = int8_t(band);
            }
        }
    }
    for (int i = first; i < end; ++i) writeBits8(buffer, c, 8, uint8_t(e.sat[i].roughUnits >> 10));
    for (int i = first; i < end; ++i) writeBitsU16(buffer, c, 10, uint16_t(e.sat[i].roughUnits & 1023));
    for (int k = 0; k < cells; ++k) {
        const MsmSat& s = e.sat[cellSat[k]];
        writeBitsI32(buffer, c, 15, fineField(s.code[cellBand[k]], s.roughUnits / 1024.0, 16777216.0,
                                              16383, invalidFinePseudorange));
    }
    for (int k = 0; k < cells; ++k) {
        const MsmSat& s = e.sat[cellSat[k]];
        writeBitsI32(buffer, c, 22, fineField(s.phase[cellBand[k]], s.roughUnits / 1024.0, 536870912.0,
                                              2097151, invalidFinePhaserange));
    }
    for (int k = 0; k < cells; ++k)
        writeBits8(buffer, c, 4, msmLockTimeIndicator(lockTimeMsOf(e.sat[cellSat[k]].lockS[cellBand[k]])));
    for (int k = 0; k < cells; ++k) writeBits8(buffer, c, 1, 0);   // half-cycle ambiguity
    for (int k = 0; k < cells; ++k)
        writeBits8(buffer, c, 6, uint8_t(truncClamp(double(e.sat[cellSat[k]].cn0[cellBand[k]]), 0, 63)));
    return rtcm3FinishFrame(buffer, c);
}

// ---- signal ids per band

// GPS: the id the 1004 and 1074 decoders record for the band while the base
// sends those; otherwise (CMR or NCT input, or ids left by an earlier base of
// the slot) the one the legacy code indicator names.
uint8_t gpsSignal(BaseStation& b, const GpsSatObs& s, int band, bool recorded)
{
    uint8_t id = msmSignalIdGps(b, band);
    if (recorded && id != 0) return id;
    if (band == 0) return s.codeIndicator[0] == 1 ? 3 : 2;       // 1C, 1P
    if (band == 1) return s.codeIndicator[1] == 0 ? 8 : (s.codeIndicator[1] == 1 ? 9 : 10);
    return id != 0 ? id : 22;                                     // 5I
}

// GLONASS: after MSM input the recorded ids hold and the code indicators
// only say present or absent; after legacy input nothing records an id,
// and the code indicators tell C/A (L1 2, L2 8) from P (L1 3, L2 9).
uint8_t gloSignal(BaseStation& b, const GloSatObs& s, int band, bool msmInput)
{
    uint8_t id = msmSignalIdGlo(b, band);
    if (msmInput && id != 0) return id;
    if (band == 0) return (s.codeIndicator[0] & 1) ? 3 : 2;
    return s.codeIndicator[1] == 1 ? 9 : 8;
}

uint8_t bdsSignal(BaseStation& b, int band)
{
    static const uint8_t fallback[3] = {2, 14, 8};   // B1I, B2I, B3I
    uint8_t id = msmSignalIdBds(b, band);
    return id != 0 ? id : fallback[band];
}

// Galileo entry slots are E1, E6, E5 while the recorded ids run E1, E5, E6.
uint8_t galSignal(BaseStation& b, const GalSatObs& s, int slot)
{
    static const int byteOfSlot[3] = {0, 2, 1};
    uint8_t id = msmSignalIdGal(b, byteOfSlot[slot]);
    if (id != 0) return id;
    if (slot == 0) return 2;   // 1C
    if (slot == 1) return 8;   // 6C
    if (s.carrierHz[2] == 1207.14e6) return 14;   // 7I
    if (s.carrierHz[2] == 1191.795e6) return 18;  // 8I
    return 22;                                     // 5I
}

// ---- the atmospheric shift of a rover's epoch

RoverShift roverShift(const Client& cl, const BaseStation& m)
{
    return roverShiftOf(cl.latitude, cl.longitude, m.latitudeRad, m.longitudeRad);
}

// Moves a satellite's ranges by the master's gradients, scaled per band by `k`.
template <size_t N>
void applyShift(MsmSat& s, const RoverShift& r, const double (&g)[8][N], int slot, int16_t elevation,
                const double (&k)[3], int bands)
{
    const double entries[shiftEntries] = {g[0][slot], g[1][slot], g[2][slot], g[3][slot],
                                          g[4][slot], g[5][slot], g[6][slot]};
    for (int b = 0; b < bands; ++b) {
        double dc, dp;
        if (!bandShift(r, entries, elevation, k[b], dc, dp)) continue;
        if (present(s.code[b])) s.code[b] -= dc;
        if (present(s.phase[b])) s.phase[b] -= dp;
    }
}

constexpr double bandFactorL1 = gpsBandFactor[0];
constexpr double gloBandFactor[3] = {gpsBandFactor[0], gpsBandFactor[1], 0};

// ---- collecting an epoch

void header(MsmEpoch& e, const BaseStation& b, int baseIndex, uint16_t number, int system)
{
    e.messageNumber = number;
    e.stationId = b.stationId;
    e.system = system;
    e.baseIndex = baseIndex;
    e.count = 0;
}

template <typename Sat>
void copyBands(MsmSat& m, const Sat& s, int bands)
{
    for (int b = 0; b < bands; ++b) {
        m.code[b] = s.codeRange[b];
        m.phase[b] = s.phaseRange[b];
        m.cn0[b] = s.cn0[b];
        m.lockS[b] = s.lockTimeS[b];
    }
}

void collectGps(MsmEpoch& e, int baseIndex, const Client* rover)
{
    BaseStation& b = *encoderBase(baseIndex);
    header(e, b, baseIndex, 1074, obsGps);
    e.epochField = b.gpsTowMs;
    e.smoothing = b.gpsSmoothing;
    bool recorded = receivedWithin(b, kind1004, 10000) || receivedWithin(b, kind1074, 10000);
    RoverShift r = rover ? roverShift(*rover, b) : RoverShift{};
    for (int n = 1; n <= 32; ++n) {
        int slot = n % 32;
        const GpsSatObs& s = b.gpsSat[slot];
        if (s.epochMs != b.gpsTowMs) continue;
        MsmSat m;
        m.number = n;
        copyBands(m, s, 3);
        for (int band = 0; band < 3; ++band) m.signal[band] = gpsSignal(b, s, band, recorded);
        applyShift(m, r, b.netGradient.gps, slot, s.elevation, gpsBandFactor, 3);
        addSatellite(e, m);
    }
}

void collectGlo(MsmEpoch& e, int baseIndex, const Client* rover)
{
    BaseStation& b = *encoderBase(baseIndex);
    header(e, b, baseIndex, 1084, obsGlo);
    e.epochField = b.gloEpochMs & 0x7FFFFFF;   // day of week 0
    e.smoothing = b.gloSmoothing;
    bool msmInput = receivedWithin(b, kind1084, 10000);
    RoverShift r = rover ? roverShift(*rover, b) : RoverShift{};
    for (int n = 1; n <= 24; ++n) {
        int slot = n % 24;
        const GloSatObs& s = b.gloSat[slot];
        if (s.epochMs != b.gloEpochMs) continue;
        MsmSat m;
        m.number = n;
        copyBands(m, s, 2);
        for (int band = 0; band < 2; ++band) m.signal[band] = gloSignal(b, s, band, msmInput);
        applyShift(m, r, b.netGradient.glo, slot, s.elevation, gloBandFactor, 2);
        addSatellite(e, m);
    }
}

void collectBds(MsmEpoch& e, int baseIndex, const Client* rover)
{
    BaseStation& b = *encoderBase(baseIndex);
    header(e, b, baseIndex, 1124, obsBds);
    e.epochField = b.bdsTowMs;
    e.smoothing = b.bdsSmoothing;
    RoverShift r = rover ? roverShift(*rover, b) : RoverShift{};
    for (int n = 1; n <= 64; ++n) {
        int slot = n % 64;
        const BdsSatObs& s = b.bdsSat[slot];
        if (s.epochMs != b.bdsTowMs) continue;
        MsmSat m;
        m.number = n;
        copyBands(m, s, 3);
        for (int band = 0; band < 3; ++band) m.signal[band] = bdsSignal(b, band);
        applyShift(m, r, b.netGradient.bds, slot, s.elevation, bdsBandFactor, 3);
        addSatellite(e, m);
    }
}

void collectGal(MsmEpoch& e, int baseIndex, const Client* rover)
{
    BaseStation& b = *encoderBase(baseIndex);
    header(e, b, baseIndex, 1094, obsGal);
    e.epochField = b.galTowMs;
    e.smoothing = b.galSmoothing;
    RoverShift r = rover ? roverShift(*rover, b) : RoverShift{};
    for (int n = 1; n <= 52; ++n) {
        int slot = n % 52;
        const GalSatObs& s = b.galSat[slot];
        if (s.epochMs != b.galTowMs) continue;
        MsmSat m;
        m.number = n;
        copyBands(m, s, 3);
        double k[3];
        for (int band = 0; band < 3; ++band) {
            m.signal[band] = galSignal(b, s, band);
            double ratio = s.carrierHz[band] > 0 ? 1575.42e6 / s.carrierHz[band] : 1.0;
            k[band] = bandFactorL1 * ratio * ratio;
        }
        applyShift(m, r, b.netGradient.gal, slot, s.elevation, k, 3);
        addSatellite(e, m);
    }
}

// A base slot or the synthetic station record.
bool validBase(int i) { return encoderBase(i) != nullptr; }

int masterOf(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return -1;
    int m = client[clientIndex].masterBase;
    return m >= 0 && m < maxBases ? m : -1;
}

int finishBase(int baseIndex, int kind, const MsmEpoch& e, uint8_t* buffer, int part, int* partCount)
{
    int length = writeMsm(e, buffer, part, partCount);
    KeptMessage& m = encoderBase(baseIndex)->msg[kind];
    m.msgPrevRxTime = m.msgStamp;
    return length;
}

}  // namespace

int encodeRtcm1074Base(int baseIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    if (!validBase(baseIndex)) return 0;
    MsmEpoch e;
    collectGps(e, baseIndex, nullptr);
    return finishBase(baseIndex, kind1074, e, buffer, part, partCount);
}

int encodeRtcm1084Base(int baseIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    if (!validBase(baseIndex)) return 0;
    MsmEpoch e;
    collectGlo(e, baseIndex, nullptr);
    return finishBase(baseIndex, kind1084, e, buffer, part, partCount);
}

int encodeRtcm1124Base(int baseIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    if (!validBase(baseIndex)) return 0;
    MsmEpoch e;
    collectBds(e, baseIndex, nullptr);
    return finishBase(baseIndex, kind1124, e, buffer, part, partCount);
}

int encodeRtcm1074Client(int clientIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    int m = masterOf(clientIndex);
    if (m < 0) return 0;
    MsmEpoch e;
    collectGps(e, m, &client[clientIndex]);
    return writeMsm(e, buffer, part, partCount);
}

int encodeRtcm1084Client(int clientIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    int m = masterOf(clientIndex);
    if (m < 0) return 0;
    MsmEpoch e;
    collectGlo(e, m, &client[clientIndex]);
    return writeMsm(e, buffer, part, partCount);
}

int encodeRtcm1094Client(int clientIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    int m = masterOf(clientIndex);
    if (m < 0) return 0;
    MsmEpoch e;
    collectGal(e, m, &client[clientIndex]);
    return writeMsm(e, buffer, part, partCount);
}

int encodeRtcm1124Client(int clientIndex, uint8_t* buffer, int part, int* partCount)
{
    if (partCount) *partCount = 1;
    int m = masterOf(clientIndex);
    if (m < 0) return 0;
    MsmEpoch e;
    collectBds(e, m, &client[clientIndex]);
    return writeMsm(e, buffer, part, partCount);
}
