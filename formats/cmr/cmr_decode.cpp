#include "formats/cmr/cmr_decode.h"

#include <cstdio>
#include <cstdlib>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/ionosphere.h"
#include "core/orbits.h"
#include "core/records.h"
#include "core/troposphere.h"
#include "formats/cmr/cmr_encode.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr uint32_t weekMs = 604800000;
constexpr uint32_t epochPeriodMs = 240000;
// An older epoch within this much of the last one is a step back, not the
// wrap at the end of the week.
constexpr uint32_t olderEpochWindowMs = 604000000;
constexpr double lightMs = 299792.458;
constexpr double l1CodeUnit = 0.023786709;
constexpr double l1PhaseUnit = 0.000743709;
constexpr double l2FullWaveUnit = 0.000953371;
constexpr double l2HalfWaveUnit = 0.00047697265625;
constexpr int maxCmrSatellites = 31;

bool validBase(int baseIndex) { return baseIndex >= 0 && baseIndex < maxBases; }

struct Cmr0Sat {
    uint8_t prn = 0;
    uint8_t codeFlag = 0, l1PhaseValid = 0, l2Follows = 0;
    uint32_t l1Code = 0;
    int32_t l1PhaseMinusCode = 0;
    uint8_t l1Snr = 0, l1Slip = 0;
    uint8_t l2CodeAvailable = 0, l2CrossCorrelated = 0, l2CodeValid = 0, l2PhaseValid = 0,
            l2FullWave = 0;
    int16_t l2MinusL1 = 0;
    int32_t l2PhaseMinusCode = 0;
    uint8_t l2Snr = 0, l2Slip = 0;
};

// Reads every satellite block before anything is stored, so that a frame
// whose count announces more blocks than it holds changes nothing.
bool readCmr0Blocks(const uint8_t* buf, BitCursor& c, int count, Cmr0Sat* sats)
{
    for (int k = 0; k < count; ++k) {
        Cmr0Sat& s = sats[k];
        uint8_t reserved = 0;
        readBitsU8(s.prn, 5, c, buf);
        readBitsU8(s.codeFlag, 1, c, buf);
        readBitsU8(s.l1PhaseValid, 1, c, buf);
        readBitsU8(s.l2Follows, 1, c, buf);
        readBitsU32(s.l1Code, 24, c, buf);
        readBitsI32(s.l1PhaseMinusCode, 20, c, buf);
        readBitsU8(s.l1Snr, 4, c, buf);
        readBitsU8(s.l1Slip, 8, c, buf);
        if (s.l2Follows) {
            readBitsU8(s.l2CodeAvailable, 1, c, buf);
            readBitsU8(s.l2CrossCorrelated, 1, c, buf);
            readBitsU8(s.l2CodeValid, 1, c, buf);
            readBitsU8(s.l2PhaseValid, 1, c, buf);
            readBitsU8(s.l2FullWave, 1, c, buf);
            readBitsU8(reserved, 3, c, buf);
            readBitsI16(s.l2MinusL1, 16, c, buf);
            readBitsI32(s.l2PhaseMinusCode, 20, c, buf);
            readBitsU8(s.l2Snr, 4, c, buf);
            readBitsU8(s.l2Slip, 8, c, buf);
        }
        if (c.overrun) return false;
    }
    return true;
}

void printCmr0Sat(const Cmr0Sat& s, uint32_t epoch)
{
    consolePrintf("CMR                 epoch      = %u\n", epoch);
    consolePrintf("CMR                 PRN        = %u\n", s.prn);
    consolePrintf("CMR L1 code available          = %u\n", s.codeFlag);
    consolePrintf("CMR L1 phase valid             = %u\n", s.l1PhaseValid);
    consolePrintf("CMR L2 data follows            = %u\n", s.l2Follows);
    consolePrintf("CMR L1 SNR indicator           = %u\n", s.l1Snr);
    consolePrintf("CMR L1 slipcont                = %u\n", s.l1Slip);
    consolePrintf("CMR coderange in lightmillis   = %f\n", s.l1Code * l1CodeUnit);
    consolePrintf("CMR phaserange code difference = %f\n", s.l1PhaseMinusCode * l1PhaseUnit);
    if (!s.l2Follows) return;
    consolePrintf("CMR L2 code available        %u\n", s.l2CodeAvailable);
    consolePrintf("CMR L2 cross correlation     %u\n", s.l2CrossCorrelated);
    consolePrintf("CMR L2 code valid            %u\n", s.l2CodeValid);
    consolePrintf("CMR L2 phase valid           %u\n", s.l2PhaseValid);
    consolePrintf("CMR L2 full wave data        %u\n", s.l2FullWave);
    consolePrintf("CMR code L1L2difference      %f\n", s.l2MinusL1 / 100.0);
    if (s.l2FullWave)
        consolePrintf("CMR phaserange2 code diff fullwave = %f\n",
                      s.l2PhaseMinusCode * 0.0009539453125);
    else
        consolePrintf("CMR phaserange2 code diff halfwave = %f\n",
                      s.l2PhaseMinusCode * l2HalfWaveUnit);
}

bool decodeCmr0(BaseStation& b, const uint8_t* buffer, uint32_t dataStart, uint32_t dataEnd,
                int count, uint8_t station, bool store)
{
    BitCursor c = bitCursor(dataStart + 2, dataEnd);
    uint32_t epochField = 0;
    uint8_t clockValidity = 0;
    int16_t clockOffset = 0;
    readBitsU32(epochField, 18, c, buffer);
    readBitsU8(clockValidity, 2, c, buffer);
    readBitsI16(clockOffset, 12, c, buffer);
    // The field counts milliseconds of a 240 s period; a larger value
    // cannot be placed in time.
    if (c.overrun || epochField >= epochPeriodMs) return false;

    Cmr0Sat sats[maxCmrSatellites];
    if (!readCmr0Blocks(buffer, c, count, sats)) return false;

    if (store) b.stationId = station;
    const uint32_t epoch = extendCmrEpoch(epochField, cmrReferenceTowMs());
    if (store) {
        setGpsTow(epoch);
        updateGpsOrbits();
        if (epoch < b.gpsTowMs && b.gpsTowMs - epoch < olderEpochWindowMs) {
            consoleLine("GPS tow less than current CMR0");
            return false;
        }
        b.gpsTowMs = epoch;
    }

    const uint32_t now = uint32_t(wallTime());
    for (int k = 0; k < count; ++k) {
        const Cmr0Sat& m = sats[k];
        if (debugPrint) printCmr0Sat(m, epoch);
        // Five bits: satellite 32 comes as 0, which is its entry.
        if (m.prn >= gpsSatEntries) continue;
        GpsSatObs& s = b.gpsSat[m.prn];
        s.cmrSlipCount[0] = m.l1Slip;
        s.cmrEpochMs = epoch;
        s.cmrL1Code = m.l1Code * l1CodeUnit + s.ambiguityMs * lightMs;
        // The carrier field holds code minus carrier, as the caster's own
        // CMR builder writes it.
        s.cmrL1Phase = m.l1PhaseValid ? s.cmrL1Code - m.l1PhaseMinusCode * l1PhaseUnit : 0.0;
        // A satellite without an L2 block has no L2 in this epoch: the
        // values of an earlier epoch would be served as this epoch's.
        s.cmrL2Code = s.cmrL2Phase = 0.0;
        if (m.l2Follows) {
            s.cmrL2Code = m.l2CodeValid ? s.cmrL1Code + m.l2MinusL1 / 100.0 : 0.0;
            const double unit = m.l2FullWave ? l2FullWaveUnit : l2HalfWaveUnit;
            s.cmrL2Phase = m.l2PhaseValid ? s.cmrL1Code - m.l2PhaseMinusCode * unit : 0.0;
        }
        if (!store) continue;
        s.epochMs = epoch;
        s.valid = 0;
        s.cn0[0] = cmrSnrToCn0(m.l1Snr);
        s.ambiguityMs = 1;
        s.codeRange[0] = s.cmrL1Code;
        s.phaseRange[0] = m.l1PhaseValid ? s.cmrL1Phase : 0.0;
        s.cn0[1] = m.l2Follows ? cmrSnrToCn0(m.l2Snr) : 0.0f;
        if (m.l2Follows) s.cmrSlipCount[1] = m.l2Slip;
        s.codeRange[1] = s.cmrL2Code;
        s.phaseRange[1] = s.cmrL2Phase;
        s.lastUpdateTime = now;
        s.magFieldNt = b.magFieldNt;
        estimateIonoGps(s);
    }
    return true;
}

// "%.2f" and back: the sourcetable shows the position to two decimals.
double twoDecimals(double degrees)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", degrees);
    return std::strtod(text, nullptr);
}

bool decodeCmr1(BaseStation& b, const uint8_t* buffer, uint32_t dataStart, uint32_t dataEnd,
                uint8_t station, bool store)
{
    BitCursor c = bitCursor(dataStart + 2, dataEnd);
    uint32_t epochField = 0;
    uint8_t motion = 0;
    uint16_t unused = 0;
    int64_t mm[3] = {};
    int16_t offsets[3] = {};   // antenna height, east, north
    readBitsU32(epochField, 18, c, buffer);
    readBitsU8(motion, 2, c, buffer);
    readBitsU16(unused, 12, c, buffer);
    for (int i = 0; i < 3; ++i) {
        readBitsI64(mm[i], 34, c, buffer);
        readBitsI16(offsets[i], 14, c, buffer);
    }
    if (c.overrun) return false;

    if (debugPrint) {
        const uint8_t flags = buffer[dataStart + 1];
        consolePrintf("DIAG epoch         = %u\n", epochField);
        consolePrintf("DIAG ecef X        = %lld\n", (long long)mm[0]);
        consolePrintf("DIAG ecef Y        = %lld\n", (long long)mm[1]);
        consolePrintf("DIAG ecef Z        = %lld\n", (long long)mm[2]);
        consolePrintf("DIAG ant height    = %d\n", offsets[0]);
        consolePrintf("DIAG east offset   = %d\n", offsets[1]);
        consolePrintf("DIAG north offset  = %d\n", offsets[2]);
        consolePrintf("DIAG battery flag  = %u\n", (flags >> 4) & 1u);
        consolePrintf("DIAG memory flag   = %u\n", (flags >> 3) & 1u);
        consolePrintf("DIAG motion state  = %u\n", motion);
    }
    if (!store) return true;

    b.stationId = station;
    b.ecefX = double(mm[0]) * 0.001;
    b.ecefY = double(mm[1]) * 0.001;
    b.ecefZ = double(mm[2]) * 0.001;
    // A base that does not know its position sends zeros: then there is no
    // latitude to derive anything from.
    if (!ecefToGeodetic(b.ecefX, b.ecefY, b.ecefZ, b.latitudeRad, b.longitudeRad, b.latitude,
                        b.longitude, b.ellipsoidHeight))
        return true;
    for (int i = 0; i < gpsSatEntries; ++i) {
        b.gpsSat[i].tropoDelay = tropoDelay(b.gpsSat[i].elevation, b.latitude, b.ellipsoidHeight);
        b.galSat[i].tropoDelay = tropoDelay(b.galSat[i].elevation, b.latitude, b.ellipsoidHeight);
    }
    for (auto& s : b.gloSat) s.tropoDelay = tropoDelay(s.elevation, b.latitude, b.ellipsoidHeight);
    for (auto& s : b.bdsSat) s.tropoDelay = tropoDelay(s.elevation, b.latitude, b.ellipsoidHeight);
    if (b.strLatitude == 0) b.strLatitude = twoDecimals(b.latitude);
    if (b.strLongitude == 0) b.strLongitude = twoDecimals(b.longitude);
    return true;
}

// A 40-bit big-endian two's-complement field whose top 34 bits are
// millimetres.
double cmrPlusCoordinate(const uint8_t* bytes5)
{
    uint64_t v = 0;
    for (int i = 0; i < 5; ++i) v = (v << 8) | bytes5[i];
    const int64_t field = int64_t(v << 24) >> 24;
    return double(field >> 6) * 0.001;
}

}  // namespace

uint32_t extendCmrEpoch(uint32_t epochField, uint32_t referenceTowMs)
{
    const int64_t ref = referenceTowMs % weekMs;
    const int64_t start = ref - ref % epochPeriodMs;
    int64_t best = start + epochField % epochPeriodMs;
    // Ties go to the later epoch: the reference is the last epoch seen and
    // new ones come after it.
    for (int64_t candidate : {best + epochPeriodMs, best - int64_t(epochPeriodMs)}) {
        const int64_t dc = std::llabs(candidate - ref), db = std::llabs(best - ref);
        if (dc < db || (dc == db && candidate > best)) best = candidate;
    }
    // The week is a whole number of periods, so folding keeps the field.
    best %= weekMs;
    if (best < 0) best += weekMs;
    return uint32_t(best);
}

uint32_t cmrReferenceTowMs()
{
    const uint32_t current = currentGpsTowMs.load();
    if (current != 0) return current;
    uint32_t week = 0, secondsOfWeek = 0, dayOfWeek = 0;
    unixToGpsTime(int64_t(wallTime()), week, secondsOfWeek, dayOfWeek);
    return secondsOfWeek * 1000u;
}

float cmrSnrToCn0(uint8_t code)
{
    // Inside each code's band of the encoder; 7 and 8 are never sent by the
    // caster and sit between their neighbours.
    static const float dbHz[16] = {2, 6, 10, 14, 18, 22, 26, 30, 34, 34, 42, 46, 50, 53, 57, 60};
    return dbHz[code & 0x0F];
}

bool decodeCmr(const uint8_t* buffer, uint32_t position, uint32_t length, bool store,
               int baseIndex)
{
    if (buffer == nullptr || !validBase(baseIndex) || length < 6) return false;
    const uint8_t* f = buffer + position;
    if (f[0] != cmrStx || f[2] != cmrTypeByte) return false;
    const uint32_t dataBytes = f[3];
    // Station number and type take the first two data bytes.
    if (dataBytes + 6 > length || dataBytes < 2) return false;

    BaseStation& b = baseStation[baseIndex];
    const uint32_t dataStart = position + 4;
    const uint32_t dataEnd = dataStart + dataBytes;
    const uint8_t station = f[4] & 0x1F;
    const int type = f[5] >> 5;
    if (debugPrint) consolePrintf("CMR  message type =  %d\n", type);
    if (type == 0) return decodeCmr0(b, buffer, dataStart, dataEnd, f[5] & 0x1F, station, store);
    if (type == 1) return decodeCmr1(b, buffer, dataStart, dataEnd, station, store);
    if (store) b.stationId = station;
    return false;
}

bool decodeCmrPlusStationPage(const uint8_t* buffer, uint32_t position, uint32_t end, bool store,
                              int baseIndex)
{
    if (buffer == nullptr || !validBase(baseIndex)) return false;
    if (end < position || end - position < 6) return false;
    const uint8_t* f = buffer + position;
    if (f[0] != cmrStx || f[2] != cmrPlusTypeByte) return false;
    const uint32_t dataBytes = f[3];
    if (dataBytes + 6 > end - position || dataBytes < 2) return false;
    // Frame index of the last data byte: every field read must lie at or
    // before it.
    const uint32_t lastData = dataBytes + 3;
    BaseStation& b = baseStation[baseIndex];
    switch (f[5]) {
    case 1:
        if (lastData < 12) return false;
        if (store) b.ecefX = cmrPlusCoordinate(f + 8);
        return true;
    case 2:
        if (lastData < 13) return false;
        if (store) b.ecefY = cmrPlusCoordinate(f + 7);
        // Z is split over pages 2 and 3: keep its top byte for page 3.
        b.cmrPlusPageByte = f[13];
        return true;
    case 3: {
        if (lastData < 10) return false;
        const uint8_t z[5] = {b.cmrPlusPageByte, f[7], f[8], f[9], f[10]};
        if (store) b.ecefZ = cmrPlusCoordinate(z);
        return true;
    }
    default:
        return false;
    }
}
