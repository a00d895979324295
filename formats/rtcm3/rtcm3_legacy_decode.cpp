#include "formats/rtcm3/rtcm3_legacy_decode.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/gnss_time.h"
#include "core/ionosphere.h"
#include "core/orbits.h"
#include "core/records.h"
#include "core/startup_files.h"
#include "formats/field_codes.h"
#include "formats/rtcm3/rtcm3_header.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr double lightMsMetres = 299792.458;      // GPS and BeiDou ambiguity unit
constexpr double gloAmbiguityMetres = 599584.916; // GLONASS counts two light-ms
constexpr double codeUnit = 0.02;
constexpr double phaseUnit = 0.0005;
constexpr double cnrUnit = 0.25;
constexpr int32_t invalidL2Code = -8192;       // most negative 14-bit value
constexpr int32_t invalidPhase = -524288;      // most negative 20-bit value
constexpr uint32_t msPerWeek = 604800000;
constexpr uint32_t msPerDay = 86400000;
// An epoch this much or more before the last one is the next week (day),
// anything less before it is a late message.
constexpr uint32_t weekTurnMs = 604000000;
constexpr uint32_t dayTurnMs = 86000000;

bool staleEpoch(uint32_t epoch, uint32_t last, uint32_t turn)
{
    return epoch < last && last - epoch < turn;
}

void appendf(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& s, const char* format, ...)
{
    char line[128];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0) s.append(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

// The frame as hex for the log: all bytes but the last CRC byte.
void appendHex(std::string& s, const char* title, const uint8_t* buf, uint32_t position)
{
    s += title;
    const uint32_t n = rtcm3PayloadLength(buf, position) + 5;
    for (uint32_t i = 0; i < n; ++i) appendf(s, "0x%2.2x ", buf[position + i]);
    s += "\r\n\r\n";
}

// Entry of a legacy GPS satellite id: 32 folds onto 0 and the three SBAS
// satellites the caster follows get the spare entries 33, 35 and 38. Id 0
// names no satellite, and 40 or more have no entry.
int gpsLegacySlot(uint32_t id)
{
    if (id == 53) return 33;
    if (id == 55) return 35;
    if (id == 58) return 38;
    return gpsSatIndex(int(id));
}

struct ObsHeader {
    uint16_t station = 0;
    uint32_t epoch = 0;
    uint8_t count = 0;
    uint8_t smoothing = 0;
    uint8_t interval = 0;
};

// Reads the common observation header; epochBits is 30 (GPS, BeiDou) or 27
// (GLONASS). The cursor is left at the first field after the interval code.
ObsHeader readObsHeader(BitCursor& c, const uint8_t* buf, int epochBits)
{
    ObsHeader h;
    uint16_t number = 0;
    uint8_t sync = 0;
    readBitsU16(number, 12, c, buf);
    readBitsU16(h.station, 12, c, buf);
    readBitsU32(h.epoch, epochBits, c, buf);
    readBitsU8(sync, 1, c, buf);
    readBitsU8(h.count, 5, c, buf);
    readBitsU8(h.smoothing, 1, c, buf);
    readBitsU8(h.interval, 3, c, buf);
    return h;
}

// True when the frame holds the header and `count` blocks of `blockBits`.
bool blocksHeld(const BitCursor& c, uint32_t count, uint32_t blockBits)
{
    return !c.overrun && bitsRemaining(c) >= uint64_t(count) * blockBits;
}

BaseStation* baseOf(int baseIndex)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return nullptr;
    return &baseStation[baseIndex];
}

// One satellite block of 1003 (withAmbiguity false) or 1004.
struct GpsBlock {
    uint8_t id = 0, l1CodeInd = 0, l1Lock = 0, ambiguity = 0, l1Cnr = 0;
    uint8_t l2CodeInd = 0, l2Lock = 0, l2Cnr = 0;
    uint32_t l1Code = 0;
    int32_t l1Phase = 0, l2Code = 0, l2Phase = 0;
};

GpsBlock readGpsBlock(BitCursor& c, const uint8_t* buf, bool withAmbiguity)
{
    GpsBlock k;
    readBitsU8(k.id, 6, c, buf);
    readBitsU8(k.l1CodeInd, 1, c, buf);
    readBitsU32(k.l1Code, 24, c, buf);
    readBitsI32(k.l1Phase, 20, c, buf);
    readBitsU8(k.l1Lock, 7, c, buf);
    if (withAmbiguity) {
        readBitsU8(k.ambiguity, 8, c, buf);
        readBitsU8(k.l1Cnr, 8, c, buf);
    }
    readBitsU8(k.l2CodeInd, 2, c, buf);
    readBitsI32(k.l2Code, 14, c, buf);
    readBitsI32(k.l2Phase, 20, c, buf);
    readBitsU8(k.l2Lock, 7, c, buf);
    if (withAmbiguity) readBitsU8(k.l2Cnr, 8, c, buf);
    return k;
}

// 1003 and 1004: the GPS header, then 101- or 125-bit satellite blocks.
uint32_t decodeGpsObservations(const uint8_t* buf, uint32_t position, int baseIndex,
                               bool withAmbiguity)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return 0;
    BaseStation& b = *base;
    const uint32_t nowS = uint32_t(wallTime());

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const ObsHeader h = readObsHeader(c, buf, 30);
    if (!blocksHeld(c, h.count, withAmbiguity ? 125 : 101)) return 0;
    if (h.epoch >= msPerWeek) return 0;

    const char* mismatch = withAmbiguity ? "RTCM ERROR station number mismatch MT1004 "
                                         : "RTCM ERROR station number mismatch MT1003 ";
    if (!acceptStationId(b, h.station, mismatch, true)) return 0;
    msmSignalIdGps(b, 0) = 2;    // 1C
    msmSignalIdGps(b, 1) = 10;   // 2W
    if (staleEpoch(h.epoch, b.gpsTowMs, weekTurnMs)) return 0;

    b.gpsTowMs = h.epoch;
    setGpsTow(h.epoch);
    updateGpsOrbits();
    b.gpsSmoothing = h.smoothing;
    b.gpsSmoothingInterval = uint16_t(smoothingIntervalSeconds(h.interval));

    // The log text is built only when it will be written.
    const bool logging = withAmbiguity && logToFile;
    std::string log;
    if (logging) appendf(log, "RTCM 1004 TOW %d\r\n", int(h.epoch));

    for (uint32_t i = 0; i < h.count; ++i) {
        const GpsBlock k = readGpsBlock(c, buf, withAmbiguity);
        const int slot = gpsLegacySlot(k.id);
        if (slot < 0) continue;
        GpsSatObs& s = b.gpsSat[slot];

        s.smoothingFlag = h.smoothing ? 1 : 0;
        s.lockIndicator[0] = k.l1Lock;
        s.lockIndicator[1] = k.l2Lock;
        const uint16_t lock[2] = {uint16_t(lockTimeSeconds(k.l1Lock)),
                                  uint16_t(lockTimeSeconds(k.l2Lock))};
        applySlipRule(s, lock, nowS);
        s.epochMs = h.epoch;
        s.codeIndicator[0] = k.l1CodeInd;
        s.codeIndicator[1] = k.l2CodeInd;
        if (withAmbiguity) s.ambiguityMs = k.ambiguity;

        s.l1CodeModulo = k.l1Code * codeUnit;
        s.l2MinusL1Code = k.l2Code * codeUnit;
        s.l1PhaseMinusCode = k.l1Phase * phaseUnit;
        s.l2PhaseMinusCode = k.l2Phase * phaseUnit;
        // 1003 carries no ambiguity: its ranges are taken one light-ms out.
        const double l1 = withAmbiguity ? k.ambiguity * lightMsMetres + s.l1CodeModulo
                                        : s.l1CodeModulo + lightMsMetres;
        s.codeRange[0] = l1;
        s.codeRange[1] = l1 + s.l2MinusL1Code;
        s.phaseRange[0] = l1 + s.l1PhaseMinusCode;
        s.phaseRange[1] = l1 + s.l2PhaseMinusCode;
        if (withAmbiguity) {
            s.cn0[0] = float(k.l1Cnr * cnrUnit);
            s.cn0[1] = float(k.l2Cnr * cnrUnit);
        }
        if (k.l2Code == invalidL2Code) s.codeRange[1] = 0;
        if (k.l1Phase == invalidPhase) s.phaseRange[0] = 0;
        if (k.l2Phase == invalidPhase) s.phaseRange[1] = 0;

        s.lastUpdateTime = nowS;
        s.magFieldNt = b.magFieldNt;
        estimateIonoGps(s);
        s.valid = withAmbiguity ? 1 : 0;

        if (logging) {
            appendf(log, "RTCM 1004 GPS PRN  %d\r\n", slot);
            appendf(log, "L1 shortPseud =  %lf\r\n", s.l1CodeModulo);
            appendf(log, "L2 pseudoDiff =  %lf\r\n", s.l2MinusL1Code);
            appendf(log, "L1 phaseDiff  =  %lf\r\n", s.l1PhaseMinusCode);
            appendf(log, "L2 phaseDiff  =  %lf\r\n", s.l2PhaseMinusCode);
        }
    }
    if (logging) {
        appendHex(log, "hex format 1004\r\n", buf, position);
        writeLogFile(log);
    }
    return h.count;
}

struct GloBlock {
    uint8_t slot = 0, l1CodeInd = 0, channel = 0, l1Lock = 0, ambiguity = 0, l1Cnr = 0;
    uint8_t l2CodeInd = 0, l2Lock = 0, l2Cnr = 0;
    uint32_t l1Code = 0;
    int32_t l1Phase = 0, l2Code = 0, l2Phase = 0;
};

GloBlock readGloBlock(BitCursor& c, const uint8_t* buf, bool withAmbiguity)
{
    GloBlock k;
    readBitsU8(k.slot, 6, c, buf);
    readBitsU8(k.l1CodeInd, 1, c, buf);
    readBitsU8(k.channel, 5, c, buf);
    readBitsU32(k.l1Code, 25, c, buf);
    readBitsI32(k.l1Phase, 20, c, buf);
    readBitsU8(k.l1Lock, 7, c, buf);
    if (withAmbiguity) {
        readBitsU8(k.ambiguity, 7, c, buf);
        readBitsU8(k.l1Cnr, 8, c, buf);
    }
    readBitsU8(k.l2CodeInd, 2, c, buf);
    readBitsI32(k.l2Code, 14, c, buf);
    readBitsI32(k.l2Phase, 20, c, buf);
    readBitsU8(k.l2Lock, 7, c, buf);
    if (withAmbiguity) readBitsU8(k.l2Cnr, 8, c, buf);
    return k;
}

// The highest frequency channel field: channel +13 sent as 20.
constexpr uint8_t maxGloChannelField = 20;

// 1011 and 1012: the GLONASS header, then 107- or 130-bit satellite blocks.
uint32_t decodeGloObservations(const uint8_t* buf, uint32_t position, int baseIndex,
                               bool withAmbiguity)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return 0;
    BaseStation& b = *base;
    const uint32_t nowS = uint32_t(wallTime());

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const ObsHeader h = readObsHeader(c, buf, 27);
    if (!blocksHeld(c, h.count, withAmbiguity ? 130 : 107)) return 0;
    if (h.epoch >= msPerDay) return 0;

    const char* mismatch = withAmbiguity ? "RTCM ERROR station number mismatch MT1012 "
                                         : "RTCM ERROR station number mismatch MT1011 ";
    if (!acceptStationId(b, h.station, mismatch, true)) return 0;
    if (staleEpoch(h.epoch, b.gloEpochMs, dayTurnMs)) return 0;

    b.gloEpochMs = h.epoch;
    setGloTod(h.epoch);
    updateGloOrbits();
    const uint32_t count = h.count > gloSatEntries ? gloSatEntries : h.count;
    b.gloSmoothing = h.smoothing;
    b.gloSmoothingInterval = uint16_t(smoothingIntervalSeconds(h.interval));

    for (uint32_t i = 0; i < count; ++i) {
        const GloBlock k = readGloBlock(c, buf, withAmbiguity);
        // A slot outside 1..24 or a channel outside -7..+13 is stepped over:
        // the block has been read, the satellites after it still count.
        if (k.slot == 0 || k.slot > gloSatEntries || k.channel > maxGloChannelField) continue;
        GloSatObs& s = b.gloSat[gloSatIndex(k.slot)];

        s.smoothingFlag = h.smoothing ? 1 : 0;
        s.lockIndicator[0] = k.l1Lock;
        s.lockIndicator[1] = k.l2Lock;
        const uint16_t lock[2] = {uint16_t(lockTimeSeconds(k.l1Lock)),
                                  uint16_t(lockTimeSeconds(k.l2Lock))};
        applySlipRule(s, lock, nowS);
        s.epochMs = h.epoch;
        s.codeIndicator[0] = k.l1CodeInd;
        s.codeIndicator[1] = k.l2CodeInd;
        s.freqChannel = k.channel;

        s.l1CodeModulo = k.l1Code * codeUnit;
        s.l2MinusL1Code = k.l2Code * codeUnit;
        s.l1PhaseMinusCode = k.l1Phase * phaseUnit;
        s.l2PhaseMinusCode = k.l2Phase * phaseUnit;
        // 1011 carries no ambiguity: its ranges are taken one unit out.
        const double l1 = withAmbiguity ? k.ambiguity * gloAmbiguityMetres + s.l1CodeModulo
                                        : s.l1CodeModulo + gloAmbiguityMetres;
        s.codeRange[0] = l1;
        s.codeRange[1] = l1 + s.l2MinusL1Code;
        s.phaseRange[0] = l1 + s.l1PhaseMinusCode;
        s.phaseRange[1] = l1 + s.l2PhaseMinusCode;
        if (withAmbiguity) {
            s.cn0[0] = float(k.l1Cnr * cnrUnit);
            s.cn0[1] = float(k.l2Cnr * cnrUnit);
        }
        if (k.l2Code == invalidL2Code) s.codeRange[1] = 0;
        if (k.l1Phase == invalidPhase) s.phaseRange[0] = 0;
        if (k.l2Phase == invalidPhase) s.phaseRange[1] = 0;

        s.lastUpdateTime = nowS;
        s.magFieldNt = b.magFieldNt;
        estimateIonoGlo(s, k.slot);
        s.valid = withAmbiguity ? 1 : 0;
    }
    return count;
}

}  // namespace

uint32_t decodeRtcm1003(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeGpsObservations(buf, position, baseIndex, false);
}

uint32_t decodeRtcm1004(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeGpsObservations(buf, position, baseIndex, true);
}

uint32_t decodeRtcm1011(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeGloObservations(buf, position, baseIndex, false);
}

uint32_t decodeRtcm1012(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeGloObservations(buf, position, baseIndex, true);
}

// Our own BeiDou layout: the GPS-style header plus a 3-bit signal mask
// (B1, B2, B3 from the top bit), then per satellite a 6-bit id and one
// 69-bit block for each signal in the mask.
uint32_t decodeRtcm1104(const uint8_t* buf, uint32_t position, int baseIndex)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return 0;
    BaseStation& b = *base;
    const uint32_t nowS = uint32_t(wallTime());

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const ObsHeader h = readObsHeader(c, buf, 30);
    uint8_t mask = 0;
    readBitsU8(mask, 3, c, buf);
    const uint32_t signals = ((mask >> 2) & 1u) + ((mask >> 1) & 1u) + (mask & 1u);
    if (!blocksHeld(c, h.count, 6 + 69 * signals)) return 0;
    if (h.epoch >= msPerWeek) return 0;

    if (!acceptStationId(b, h.station, "RTCM ERROR station number mismatch MT1104 ", true))
        return 0;
    if (staleEpoch(h.epoch, b.bdsTowMs, weekTurnMs)) {
        consoleLine("BDU tow less than current 1104");
        return 0;
    }
    static const uint8_t bandSignalId[3] = {2, 14, 8};   // B1 2I, B2 7I, B3 6I
    for (int k = 0; k < 3; ++k)
        if (mask & (4u >> k)) msmSignalIdBds(b, k) = bandSignalId[k];

    b.bdsTowMs = h.epoch;
    setBdsTow(h.epoch);
    b.bdsSmoothing = h.smoothing;
    b.bdsSmoothingInterval = uint16_t(smoothingIntervalSeconds(h.interval));

    for (uint32_t i = 0; i < h.count; ++i) {
        uint8_t id = 0;
        readBitsU8(id, 6, c, buf);
        BdsSatObs& s = b.bdsSat[id];   // 6 bits: always an entry of the 64
        s.epochMs = h.epoch;
        s.magFieldNt = b.magFieldNt;
        s.valid = 1;
        bool slip = false;
        for (int k = 0; k < 3; ++k) {
            if (!(mask & (4u >> k))) {
                s.codeRange[k] = 0;
                s.phaseRange[k] = 0;
                s.slipFlag[k] = 0;
                continue;
            }
            uint8_t codeInd = 0, lockInd = 0, ambiguity = 0, cnr = 0;
            uint32_t code = 0;
            int32_t phase = 0;
            readBitsU8(codeInd, 2, c, buf);
            readBitsU32(code, 24, c, buf);
            readBitsI32(phase, 20, c, buf);
            readBitsU8(lockInd, 7, c, buf);
            readBitsU8(ambiguity, 8, c, buf);
            readBitsU8(cnr, 8, c, buf);

            s.signalPresent[k] = codeInd;
            const uint16_t lock = uint16_t(lockTimeSeconds(lockInd));
            s.slipFlag[k] = lock < s.lockTimeS[k] ? 1 : 0;
            slip = slip || s.slipFlag[k];
            s.cn0[k] = float(cnr * cnrUnit);
            s.lockTimeS[k] = lock;
            if (phase == invalidPhase) {
                s.codeRange[k] = 0;
                s.phaseRange[k] = 0;
            } else {
                s.codeRange[k] = ambiguity * lightMsMetres + code * codeUnit;
                s.phaseRange[k] = s.codeRange[k] + phase * phaseUnit;
            }
        }
        if (slip) countSlip(s.slipCount, s.lastSlipTime, nowS);
        s.lastUpdateTime = nowS;
        estimateIonoBds(s);
    }
    return h.count;
}
