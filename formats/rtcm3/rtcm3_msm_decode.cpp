#include "formats/rtcm3/rtcm3_msm_decode.h"

#include "core/base_station.h"
#include "core/bits.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/ionosphere.h"
#include "core/orbits.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

#include "formats/field_codes.h"

namespace {

constexpr double lightMs = 299792.458;   // metres per millisecond of range
constexpr double twoPowM10 = 1.0 / 1024.0;
constexpr double twoPowM24 = 1.0 / 16777216.0;
constexpr double twoPowM29 = 1.0 / 536870912.0;

constexpr uint32_t msPerWeek = 604800000;
constexpr uint32_t msPerDay = 86400000;
// An epoch this much earlier than the last one is the next week (day).
constexpr uint32_t weekTurnMs = 604000000;
constexpr uint32_t dayTurnMs = 86000000;

constexpr int maxCells = 64;
constexpr int16_t invalidFinePseudorange = -16384;
constexpr int32_t invalidFinePhase = -2097152;
constexpr uint8_t invalidRoughRange = 255;

// One MSM4 message as read, before anything reaches the record. Satellites
// and signals are in mask order; `cell` gives each (satellite, signal) pair
// its cell number, or -1.
struct MsmMessage {
    uint16_t stationId = 0;
    uint32_t epochField = 0;
    uint8_t iods = 0;
    uint8_t smoothing = 0;
    uint8_t smoothingCode = 0;
    uint32_t signalMask = 0;
    int nsat = 0;
    int nsig = 0;
    uint8_t satNumber[64] = {};
    uint8_t signalId[32] = {};
    int8_t cell[64][32];
    uint8_t roughMs[64] = {};
    uint16_t roughMod[64] = {};
    int16_t finePseudorange[maxCells] = {};
    int32_t finePhase[maxCells] = {};
    uint8_t lock[maxCells] = {};
    uint8_t cnr[maxCells] = {};
};

// Reads the whole message. Every count the masks announce is checked
// against the payload length before it is read, so a short or lying frame
// is refused rather than read past its end.
bool readMsm4(const uint8_t* buf, uint32_t frameStart, MsmMessage& m)
{
    uint32_t payloadLength = (uint32_t(buf[frameStart + 1] & 0x03) << 8) | buf[frameStart + 2];
    BitCursor c = bitCursor(frameStart + 1, frameStart + 3 + payloadLength);

    uint8_t skip8 = 0;
    uint16_t skip16 = 0;
    readBitsU8(skip8, 6, c, buf);     // reserved
    readBitsU16(skip16, 10, c, buf);  // length, known already
    readBitsU16(skip16, 12, c, buf);  // message number, chosen by the caller
    readBitsU16(m.stationId, 12, c, buf);
    readBitsU32(m.epochField, 30, c, buf);
    readBitsU8(skip8, 1, c, buf);     // multiple-message bit
    readBitsU8(m.iods, 3, c, buf);
    readBitsU8(skip8, 7, c, buf);     // reserved
    readBitsU8(skip8, 2, c, buf);     // clock steering
    readBitsU8(skip8, 2, c, buf);     // external clock
    readBitsU8(m.smoothing, 1, c, buf);
    readBitsU8(m.smoothingCode, 3, c, buf);
    uint64_t satMask = 0;
    readBitsU64(satMask, 64, c, buf);
    readBitsU32(m.signalMask, 32, c, buf);
    if (c.overrun) return false;

    // Every mask bit takes part in the layout, also those of satellites and
    // signals this system does not keep.
    for (int n = 1; n <= 64; ++n)
        if ((satMask >> (64 - n)) & 1u) m.satNumber[m.nsat++] = uint8_t(n);
    for (int s = 1; s <= 32; ++s)
        if ((m.signalMask >> (32 - s)) & 1u) m.signalId[m.nsig++] = uint8_t(s);
    if (m.nsat * m.nsig > maxCells) return false;
    if (bitsRemaining(c) < uint64_t(m.nsat * m.nsig)) return false;

    int ncell = 0;
    for (int k = 0; k < m.nsat; ++k) {
        for (int j = 0; j < m.nsig; ++j) {
            uint8_t bit = 0;
            readBitsU8(bit, 1, c, buf);
            m.cell[k][j] = bit ? int8_t(ncell++) : int8_t(-1);
        }
    }
    if (bitsRemaining(c) < uint64_t(18 * m.nsat + 48 * ncell)) return false;

    for (int k = 0; k < m.nsat; ++k) readBitsU8(m.roughMs[k], 8, c, buf);
    for (int k = 0; k < m.nsat; ++k) readBitsU16(m.roughMod[k], 10, c, buf);
    for (int i = 0; i < ncell; ++i) readBitsI16(m.finePseudorange[i], 15, c, buf);
    for (int i = 0; i < ncell; ++i) readBitsI32(m.finePhase[i], 22, c, buf);
    for (int i = 0; i < ncell; ++i) readBitsU8(m.lock[i], 4, c, buf);
    for (int i = 0; i < ncell; ++i) readBitsU8(skip8, 1, c, buf);   // half-cycle ambiguity
    for (int i = 0; i < ncell; ++i) readBitsU8(m.cnr[i], 6, c, buf);
    return !c.overrun;
}

// Signal ids that may feed each slot of a satellite entry, best first; 0
// ends a list.
struct SlotTable {
    int slots;
    uint8_t ids[3][10];
};

constexpr SlotTable gpsSlots = {3, {{2, 3, 4, 30, 31, 32}, {8, 9, 10, 15, 16, 17}, {22, 23, 24}}};
constexpr SlotTable gloSlots = {2, {{2, 3}, {8, 9}, {}}};
constexpr SlotTable galSlots = {3, {{2, 3, 4, 5, 6}, {8, 9, 10, 11, 12},
                                    {14, 15, 16, 18, 19, 20, 22, 23, 24}}};
constexpr SlotTable bdsSlots = {3, {{2, 3, 4}, {14, 15, 16}, {8, 9, 10}}};

// The signal chosen per slot for the whole message: its id (0 for none) and
// its column in the message (-1 for none). The choice follows the signal
// mask only, never a satellite's own cells.
struct SlotChoice {
    uint8_t id[3] = {};
    int column[3] = {-1, -1, -1};
};

SlotChoice chooseSlots(const MsmMessage& m, const SlotTable& t)
{
    SlotChoice ch;
    for (int slot = 0; slot < t.slots; ++slot) {
        for (uint8_t id : t.ids[slot]) {
            if (id == 0) break;
            int column = -1;
            for (int j = 0; j < m.nsig; ++j)
                if (m.signalId[j] == id) column = j;
            if (column >= 0) {
                ch.id[slot] = id;
                ch.column[slot] = column;
                break;
            }
        }
    }
    return ch;
}

// One satellite's observations per slot, in metres, dB-Hz and seconds.
struct SatValues {
    double code[3] = {};
    double phase[3] = {};
    float cnr[3] = {};
    uint16_t lock[3] = {};
};

SatValues satValues(const MsmMessage& m, int k, const SlotChoice& ch)
{
    SatValues v;
    // A rough range of 255 ms marks the satellite's ranges as unusable.
    bool roughValid = m.roughMs[k] != invalidRoughRange;
    double rough = m.roughMs[k] + m.roughMod[k] * twoPowM10;
    for (int slot = 0; slot < 3; ++slot) {
        if (ch.column[slot] < 0) continue;
        int cell = m.cell[k][ch.column[slot]];
        if (cell < 0) continue;
        if (roughValid && m.finePseudorange[cell] != invalidFinePseudorange)
            v.code[slot] = (rough + m.finePseudorange[cell] * twoPowM24) * lightMs;
        if (roughValid && m.finePhase[cell] != invalidFinePhase)
            v.phase[slot] = (rough + m.finePhase[cell] * twoPowM29) * lightMs;
        // Zero stands for "no observation" in the entries; nothing physical
        // is at or below it.
        if (v.code[slot] < 0) v.code[slot] = 0;
        if (v.phase[slot] < 0) v.phase[slot] = 0;
        v.cnr[slot] = float(m.cnr[cell]);
        v.lock[slot] = msmLockTimeSeconds(m.lock[cell]);
    }
    return v;
}

// Whole steps of `step` metres and the rest, which lies in (0, step]; a code
// of one step or less has no whole steps.
void splitAmbiguity(double code, double step, uint8_t& steps, double& rest)
{
    if (code <= step) {
        steps = 0;
        rest = code;
        return;
    }
    double n = static_cast<double>(static_cast<int64_t>(code / step));
    double r = code - n * step;
    if (r <= 0) {
        n -= 1;
        r += step;
    }
    if (n > 255) n = 255;
    steps = uint8_t(n);
    rest = r;
}

enum class EpochKind { New, Same, Old };

// A later epoch is new, and so is a much earlier one (the week or day
// turned). An equal one belongs to an epoch already begun: the base may
// split one epoch over several messages.
EpochKind epochKind(uint32_t epoch, uint32_t last, uint32_t turnMs)
{
    if (epoch == last) return EpochKind::Same;
    if (epoch > last) return EpochKind::New;
    return last - epoch > turnMs ? EpochKind::New : EpochKind::Old;
}

// Latches the base's station id from its first message; a different id
// refuses the message and lets the next one fix the id again.
bool stationAccepted(BaseStation& b, uint16_t stationId, const char* mismatchText)
{
    if (b.stationId == 0 || b.stationId == stationId) {
        b.stationId = stationId;
        return true;
    }
    b.stationId = 0;
    if (debugPrint) consolePrintf("%s%u\n", mismatchText, unsigned(stationId));
    return false;
}

// A new epoch sets every slot's signal; a later message of the same epoch
// only fills slots that had none.
void storeSignalId(uint8_t& slot, uint8_t id, EpochKind kind)
{
    if (kind == EpochKind::New || slot == 0) slot = id;
}

bool validBase(int base) { return base >= 0 && base < maxBases; }

void printSatRows(const char* name, const char* bandNames[3], uint32_t epoch, uint8_t iods,
                  int sat, const SatValues& v)
{
    consolePrintf("%s TOW   = %u\n", name, unsigned(epoch));
    consolePrintf("%s IODS  = %u\n", name, unsigned(iods));
    for (int i = 0; i < 3; ++i)
        consolePrintf("sat#  %d    %s psuedoR=  %lf\r\n", sat, bandNames[i], v.code[i]);
    for (int i = 0; i < 3; ++i)
        consolePrintf("sat#  %d    %s phaseR =  %lf\r\n", sat, bandNames[i], v.phase[i]);
}

}   // namespace

uint16_t msmLockTimeSeconds(uint8_t indicator)
{
    if (indicator == 0) return 0;
    if (indicator > 15) indicator = 15;
    return uint16_t((uint32_t(1) << (indicator + 4)) / 1000);
}

uint32_t decodeRtcm1074(const uint8_t* buffer, uint32_t frameStart, int base)
{
    if (buffer == nullptr || !validBase(base)) return 0;
    MsmMessage m;
    if (!readMsm4(buffer, frameStart, m)) return 0;
    uint32_t epoch = m.epochField;
    if (epoch >= msPerWeek) return 0;
    BaseStation& b = baseStation[base];
    if (!stationAccepted(b, m.stationId, "RTCM ERROR station number mismatch MT1074 ")) return 0;
    uint32_t now = uint32_t(wallTime());

    EpochKind kind = epochKind(epoch, b.gpsTowMs, weekTurnMs);
    setGpsTow(epoch);
    updateGpsOrbits();
    if (kind == EpochKind::New) {
        b.gpsTowMs = epoch;
        b.gpsSmoothing = m.smoothing;
        b.gpsSmoothingInterval = uint16_t(smoothingIntervalSeconds(m.smoothingCode));
    }
    if (m.iods != 0) b.msmIods = m.iods;

    SlotChoice ch = chooseSlots(m, gpsSlots);
    uint32_t count = 0;
    bool idsStored = false;
    for (int k = 0; k < m.nsat; ++k) {
        int idx = m.satNumber[k] <= 32 ? gpsSatIndex(m.satNumber[k]) : -1;
        if (idx < 0) continue;
        ++count;
        if (kind == EpochKind::Old) continue;
        GpsSatObs& s = b.gpsSat[idx];
        // Already taken from an earlier message (or an earlier call) of
        // this epoch.
        if (kind == EpochKind::Same && s.epochMs == epoch) continue;
        if (!idsStored) {
            for (int slot = 0; slot < 3; ++slot)
                storeSignalId(msmSignalIdGps(b, slot), ch.id[slot], kind);
            idsStored = true;
        }
        SatValues v = satValues(m, k, ch);
        splitAmbiguity(v.code[0], lightMs, s.ambiguityMs, s.l1CodeModulo);
        s.l2MinusL1Code = v.code[1] - v.code[0];
        s.l1PhaseMinusCode = v.phase[0] - v.code[0];
        s.l2PhaseMinusCode = v.phase[1] - v.code[0];
        s.valid = 1;
        for (int i = 0; i < 3; ++i) {
            s.codeRange[i] = v.code[i];
            s.phaseRange[i] = v.phase[i];
            s.cn0[i] = v.cnr[i];
        }
        applySlipRule(s, v.lock, now);
        s.smoothingFlag = b.gpsSmoothing ? 1 : 0;
        s.epochMs = epoch;
        s.codeIndicator[0] = v.code[0] != 0 ? 1 : 0;
        s.codeIndicator[1] = v.code[1] != 0 ? 1 : 0;
        s.lastUpdateTime = now;
        s.magFieldNt = b.magFieldNt;
        estimateIonoGps(s);
    }
    return count;
}

uint32_t decodeRtcm1084(const uint8_t* buffer, uint32_t frameStart, int base)
{
    if (buffer == nullptr || !validBase(base)) return 0;
    MsmMessage m;
    if (!readMsm4(buffer, frameStart, m)) return 0;
    // The top 3 bits are the day of week, which the record does not keep.
    uint32_t epoch = m.epochField & 0x07FFFFFFu;
    if (epoch >= msPerDay) return 0;
    BaseStation& b = baseStation[base];
    if (!stationAccepted(b, m.stationId, "RTCM ERROR station number mismatch MT1084 ")) return 0;
    uint32_t now = uint32_t(wallTime());

    EpochKind kind = epochKind(epoch, b.gloEpochMs, dayTurnMs);
    setGloTod(epoch);
    updateGloOrbits();
    if (kind == EpochKind::New) {
        b.gloEpochMs = epoch;
        b.gloSmoothing = m.smoothing;
        b.gloSmoothingInterval = uint16_t(smoothingIntervalSeconds(m.smoothingCode));
    }
    if (m.iods != 0) b.msmIods = m.iods;

    SlotChoice ch = chooseSlots(m, gloSlots);
    uint32_t count = 0;
    bool idsStored = false;
    for (int k = 0; k < m.nsat; ++k) {
        int idx = m.satNumber[k] <= 24 ? gloSatIndex(m.satNumber[k]) : -1;
        if (idx < 0) continue;
        ++count;
        if (kind == EpochKind::Old) continue;
        GloSatObs& s = b.gloSat[idx];
        if (kind == EpochKind::Same && s.epochMs == epoch) continue;
        if (!idsStored) {
            for (int slot = 0; slot < 2; ++slot)
                storeSignalId(msmSignalIdGlo(b, slot), ch.id[slot], kind);
            idsStored = true;
        }
        SatValues v = satValues(m, k, ch);
        s.freqChannel = glonassChannelOf(idx);   // MSM carries no channel
        // GLONASS ambiguities count two light-milliseconds, as in 1012.
        splitAmbiguity(v.code[0], 2 * lightMs, s.ambiguityMs, s.l1CodeModulo);
        s.l2MinusL1Code = v.code[1] - v.code[0];
        s.l1PhaseMinusCode = v.phase[0] - v.code[0];
        s.l2PhaseMinusCode = v.phase[1] - v.code[0];
        s.valid = 1;
        uint16_t lock[2] = {v.lock[0], v.lock[1]};
        for (int i = 0; i < 2; ++i) {
            s.codeRange[i] = v.code[i];
            s.phaseRange[i] = v.phase[i];
            s.cn0[i] = v.cnr[i];
        }
        applySlipRule(s, lock, now);
        s.smoothingFlag = b.gloSmoothing ? 1 : 0;
        s.epochMs = epoch;
        s.codeIndicator[0] = v.code[0] != 0 ? 1 : 0;
        s.codeIndicator[1] = v.code[1] != 0 ? 1 : 0;
        s.lastUpdateTime = now;
        s.magFieldNt = b.magFieldNt;
        estimateIonoGlo(s);
    }
    return count;
}

uint32_t decodeRtcm1094(const uint8_t* buffer, uint32_t frameStart, int base)
{
    consolePrintf("starting decode 1094\n");
    if (buffer == nullptr || !validBase(base)) return 0;
    MsmMessage m;
    if (!readMsm4(buffer, frameStart, m)) return 0;
    uint32_t epoch = m.epochField;
    if (epoch >= msPerWeek) return 0;
    BaseStation& b = baseStation[base];
    if (!stationAccepted(b, m.stationId, "RTCM ERROR station number mismatch MT1094 ")) return 0;
    uint32_t now = uint32_t(wallTime());

    char maskDigits[34];
    for (int s = 0; s < 32; ++s) maskDigits[s] = ((m.signalMask >> (31 - s)) & 1u) ? '1' : '0';
    maskDigits[32] = '\n';
    maskDigits[33] = '\0';
    consolePrintf("%s", maskDigits);
    consolePrintf("decode 1094\n");

    EpochKind kind = epochKind(epoch, b.galTowMs, weekTurnMs);
    setGalTow(epoch);
    if (kind == EpochKind::New) {
        b.galTowMs = epoch;
        b.galSmoothing = m.smoothing;
        b.galSmoothingInterval = uint16_t(smoothingIntervalSeconds(m.smoothingCode));
    }
    if (m.iods != 0) b.msmIods = m.iods;

    SlotChoice ch = chooseSlots(m, galSlots);
    // The E5 slot takes E5b, E5 (AltBOC) or E5a, whichever the base sends.
    double e5Hz = 0;
    if (ch.id[2] >= 14 && ch.id[2] <= 16) e5Hz = 1207.14e6;
    else if (ch.id[2] >= 18 && ch.id[2] <= 20) e5Hz = 1191.795e6;
    else if (ch.id[2] >= 22 && ch.id[2] <= 24) e5Hz = 1176.45e6;

    static const char* bandNames[3] = {"L1", "L6", "L5"};
    uint32_t count = 0;
    bool idsStored = false;
    for (int k = 0; k < m.nsat; ++k) {
        int sat = m.satNumber[k];
        int idx = sat <= 52 ? galSatIndex(sat) : -1;
        if (idx < 0) continue;
        ++count;
        SatValues v = satValues(m, k, ch);
        GalSatObs& s = b.galSat[idx];
        bool store = kind == EpochKind::New || (kind == EpochKind::Same && s.epochMs != epoch);
        if (store) {
            if (!idsStored) {
                // The record keeps the Galileo ids as E1, E5, E6.
                storeSignalId(msmSignalIdGal(b, 0), ch.id[0], kind);
                storeSignalId(msmSignalIdGal(b, 1), ch.id[2], kind);
                storeSignalId(msmSignalIdGal(b, 2), ch.id[1], kind);
                idsStored = true;
            }
            if (v.code[2] != 0) s.carrierHz[2] = e5Hz;
            for (int i = 0; i < 3; ++i) {
                s.codeRange[i] = v.code[i];
                s.phaseRange[i] = v.phase[i];
                s.cn0[i] = v.cnr[i];
            }
            applySlipRule(s, v.lock, now);
            s.smoothingFlag = b.galSmoothing ? 1 : 0;
            s.epochMs = epoch;
            for (int i = 0; i < 3; ++i) s.signalPresent[i] = v.code[i] != 0 ? 1 : 0;
            s.lastUpdateTime = now;
            s.magFieldNt = b.magFieldNt;
            estimateIonoGal(s);
        }
        printSatRows("1094", bandNames, epoch, m.iods, sat, v);
    }
    return count;
}

uint32_t decodeRtcm1124(const uint8_t* buffer, uint32_t frameStart, int base)
{
    if (buffer == nullptr || !validBase(base)) return 0;
    MsmMessage m;
    if (!readMsm4(buffer, frameStart, m)) return 0;
    uint32_t epoch = m.epochField;
    if (epoch >= msPerWeek) return 0;
    BaseStation& b = baseStation[base];
    if (!stationAccepted(b, m.stationId, "RTCM ERROR station number mismatch MT1124 ")) return 0;
    uint32_t now = uint32_t(wallTime());

    EpochKind kind = epochKind(epoch, b.bdsTowMs, weekTurnMs);
    setBdsTow(epoch);
    if (kind == EpochKind::New) {
        b.bdsTowMs = epoch;
        b.bdsSmoothing = m.smoothing;
        b.bdsSmoothingInterval = uint16_t(smoothingIntervalSeconds(m.smoothingCode));
    }
    if (m.iods != 0) b.msmIods = m.iods;

    SlotChoice ch = chooseSlots(m, bdsSlots);
    static const char* bandNames[3] = {"L1", "L2", "L3"};
    uint32_t count = 0;
    bool idsStored = false;
    for (int k = 0; k < m.nsat; ++k) {
        int sat = m.satNumber[k];
        int idx = bdsSatIndex(sat);
        if (idx < 0) continue;
        ++count;
        SatValues v = satValues(m, k, ch);
        BdsSatObs& s = b.bdsSat[idx];
        bool store = kind == EpochKind::New || (kind == EpochKind::Same && s.epochMs != epoch);
        if (store) {
            if (!idsStored) {
                for (int slot = 0; slot < 3; ++slot)
                    storeSignalId(msmSignalIdBds(b, slot), ch.id[slot], kind);
                idsStored = true;
            }
            for (int i = 0; i < 3; ++i) {
                s.codeRange[i] = v.code[i];
                s.phaseRange[i] = v.phase[i];
                s.cn0[i] = v.cnr[i];
            }
            // BeiDou keeps one slip flag per signal.
            applySlipRuleBds(s, v.lock, now);
            s.smoothingFlag = b.bdsSmoothing ? 1 : 0;
            s.epochMs = epoch;
            for (int i = 0; i < 3; ++i) s.signalPresent[i] = v.code[i] != 0 ? 1 : 0;
            s.lastUpdateTime = now;
            s.magFieldNt = b.magFieldNt;
            estimateIonoBds(s);
        }
        printSatRows("1124", bandNames, epoch, m.iods, sat, v);
    }
    return count;
}
