#include "formats/cmr/cmr_encode.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/field_codes.h"
#include "formats/obs_epoch.h"

namespace {

constexpr double lightMs = 299792.458;           // metres in one light-millisecond
constexpr double gpsL1EighthCycle = 0.023786709; // units of the L1 pseudorange field
constexpr double gloSpeedOfLight = 299792448.0;  // as the GLONASS wavelengths are taken
constexpr uint32_t epochPeriodMs = 240000;
constexpr uint32_t threeHoursMs = 10800000;
constexpr uint32_t glonassDayMs = 86400000;
constexpr int64_t fieldLimit = int64_t(1) << 40;  // far beyond every field width

// A base slot or the synthetic station record.
bool validBase(int baseIndex) { return encoderBase(baseIndex) != nullptr; }

// Every double reaches a bit field through here: truncated toward zero, NaN
// as 0, and kept inside int64 so that the low bits of a signed field are
// the two's-complement value.
int64_t fieldValue(double x) { return truncClamp(x, -fieldLimit, fieldLimit); }

uint8_t snrCode(float cn0) { return encodeCmrSnr(uint8_t(truncClamp(cn0, 0, 255))); }

void writeHeader(uint8_t* buf, BitCursor& c, uint16_t stationId, int type, uint8_t fiveBits,
                 uint32_t epochField, uint8_t clockBits)
{
    writeBits8(buf, c, 3, 3);   // version
    writeBits8(buf, c, 5, cmrStationNumber(stationId));
    writeBits8(buf, c, 3, uint8_t(type));
    writeBits8(buf, c, 5, fiveBits);
    writeBitsU32(buf, c, 18, epochField);
    writeBits8(buf, c, 2, clockBits);
    writeBitsU16(buf, c, 12, 0);
}

// Envelope around `dataBytes` bytes already written from byte 4.
int closeFrame(uint8_t* buf, int dataBytes)
{
    buf[0] = cmrStx;
    buf[1] = 0x00;
    buf[2] = cmrTypeByte;
    buf[3] = uint8_t(dataBytes);
    uint8_t sum = 0;
    for (int i = 1; i < 4 + dataBytes; ++i) sum = uint8_t(sum + buf[i]);
    buf[4 + dataBytes] = sum;
    buf[5 + dataBytes] = cmrEtx;
    return dataBytes + 6;
}

void movePrevStamp(BaseStation& b, int kind)
{
    KeptMessage& m = b.msg[kind];
    std::lock_guard<std::mutex> g(m.frameLock);
    m.msgPrevRxTime = m.msgStamp;
}

int blockBytes(bool withL2) { return cmrL1BlockBytes + (withL2 ? cmrL2BlockBytes : 0); }

}  // namespace

uint32_t cmrGpsEpochField(uint32_t gpsTowMs) { return gpsTowMs % epochPeriodMs; }

uint32_t cmrGloEpochField(uint32_t gloTodMs)
{
    const uint32_t utc = gloTodMs >= threeHoursMs ? gloTodMs - threeHoursMs
                                                  : gloTodMs + (glonassDayMs - threeHoursMs);
    return utc % epochPeriodMs;
}

uint8_t cmrStationNumber(uint16_t stationId)
{
    uint32_t id = stationId;
    if (id >= 32 && id <= 62)
        id -= 31;
    else if (id >= 63 && id <= 93)
        id -= 62;
    else if (id >= 94 && id <= 124)
        id -= 93;
    return uint8_t(id & 0x1F);
}

int writeCmr0(uint8_t* buffer, const ObsEpoch& e)
{
    if (!e.gpsSat) return 0;

    // The length byte holds at most 255 data bytes: 16 satellites with L2,
    // 31 without. Satellites beyond that are left out of this epoch rather
    // than letting the length wrap.
    uint8_t slots[32];
    int count = 0;
    int dataBytes = cmrHeaderBytes;
    for (int slot = 0; slot < 32; ++slot) {
        const GpsSatObs& s = e.gpsSat[slot];
        if (s.epochMs != e.gpsTowMs) continue;
        const int need = blockBytes(s.codeIndicator[1] != 0);
        if (dataBytes + need > cmrMaxDataBytes) continue;
        dataBytes += need;
        slots[count++] = uint8_t(slot);
    }

    std::memset(buffer, 0, size_t(dataBytes) + 6);
    BitCursor c = bitCursor(4, 4 + uint32_t(dataBytes));
    writeHeader(buffer, c, e.stationId, 0, uint8_t(count), cmrGpsEpochField(e.gpsTowMs), 3);
    for (int k = 0; k < count; ++k) {
        const GpsSatObs& s = e.gpsSat[slots[k]];
        const bool withL2 = s.codeIndicator[1] != 0;
        writeBits8(buffer, c, 5, slots[k]);
        writeBits8(buffer, c, 1, s.codeIndicator[0] & 1);
        writeBits8(buffer, c, 1, s.phaseRange[0] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, withL2 ? 1 : 0);
        const double modulo = s.codeRange[0] - s.ambiguityMs * lightMs;
        const int64_t codeField = truncClamp(modulo / gpsL1EighthCycle, 0, 0xFFFFFF);
        // The rover rebuilds the carriers on the code as sent: they are
        // taken against it, or the code's truncation would move them.
        // A code the field cannot hold (no whole milliseconds known) has no
        // truncation to make up for.
        double cut = modulo - double(codeField) * gpsL1EighthCycle;
        if (!(cut >= 0 && cut < gpsL1EighthCycle)) cut = 0;
        const double sentCode = s.codeRange[0] - cut;
        writeBitsU32(buffer, c, 24, uint32_t(codeField));
        // Written as code minus carrier; the decoder takes it the same way.
        writeBits64(buffer, c, 20, fieldValue((sentCode - s.phaseRange[0]) / s.cmrConvL1));
        writeBits8(buffer, c, 4, snrCode(s.cn0[0]));
        writeBits8(buffer, c, 8, s.slipCount);
        if (!withL2) continue;
        writeBits8(buffer, c, 1, 1);   // L2 code available
        writeBits8(buffer, c, 1, 1);   // P code
        writeBits8(buffer, c, 1, s.codeRange[1] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, s.phaseRange[1] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, 1);   // full wave
        writeBits8(buffer, c, 3, 0);
        writeBits64(buffer, c, 16, fieldValue((s.codeRange[1] - sentCode) / 0.01));
        writeBits64(buffer, c, 20, fieldValue((sentCode - s.phaseRange[1]) / s.cmrConvL2));
        writeBits8(buffer, c, 4, snrCode(s.cn0[1]));
        writeBits8(buffer, c, 8, s.slipCount);
    }
    return closeFrame(buffer, dataBytes);
}

int encodeCmr0(uint8_t* buffer, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeCmr0(buffer, obsEpochOf(baseIndex));
    movePrevStamp(*encoderBase(baseIndex), kindCmr0);
    return length;
}

int writeCmr3(uint8_t* buffer, const ObsEpoch& e)
{
    if (!e.gloSat) return 0;

    uint8_t slots[gloSatEntries];
    int count = 0;
    int dataBytes = cmrHeaderBytes;
    for (int slot = 0; slot < gloSatEntries; ++slot) {
        const GloSatObs& s = e.gloSat[slot];
        if (s.epochMs != e.gloEpochMs) continue;
        // Without a known channel there is no wavelength to scale by.
        if (s.freqChannel > 20 || !(glonassL1Freq[s.freqChannel] > 0) ||
            !(glonassL2Freq[s.freqChannel] > 0))
            continue;
        const int need = blockBytes(s.codeRange[1] > 0 || s.phaseRange[1] > 0);
        if (dataBytes + need > cmrMaxDataBytes) continue;
        dataBytes += need;
        slots[count++] = uint8_t(slot);
    }

    std::memset(buffer, 0, size_t(dataBytes) + 6);
    BitCursor c = bitCursor(4, 4 + uint32_t(dataBytes));
    writeHeader(buffer, c, e.stationId, 3, uint8_t(count), cmrGloEpochField(e.gloEpochMs), 3);
    for (int k = 0; k < count; ++k) {
        const GloSatObs& s = e.gloSat[slots[k]];
        const double lambda1 = gloSpeedOfLight / glonassL1Freq[s.freqChannel];
        const double lambda2 = gloSpeedOfLight / glonassL2Freq[s.freqChannel];
        const bool withL2 = s.codeRange[1] > 0 || s.phaseRange[1] > 0;
        writeBits8(buffer, c, 5, slots[k]);
        writeBits8(buffer, c, 1, s.codeIndicator[0] & 1);
        writeBits8(buffer, c, 1, s.phaseRange[0] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, withL2 ? 1 : 0);
        // GLONASS keeps its code modulo two light-milliseconds, which does
        // not fit 24 bits of 1/8 cycle; CMR carries it modulo one.
        const double modulo = std::fmod(s.l1CodeModulo, lightMs);
        const int64_t codeField = truncClamp(modulo / (lambda1 / 8), 0, 0xFFFFFF);
        // What the truncation takes off the code goes to the differences,
        // which the rover adds to the code it reads.
        double cut = modulo - double(codeField) * (lambda1 / 8);
        if (!(cut >= 0 && cut < lambda1 / 8)) cut = 0;
        writeBitsU32(buffer, c, 24, uint32_t(codeField));
        writeBits64(buffer, c, 20, fieldValue((s.l1PhaseMinusCode + cut) / (-lambda1 / 256)));
        writeBits8(buffer, c, 4, snrCode(s.cn0[0]));
        writeBits8(buffer, c, 8, s.slipCount);
        if (!withL2) continue;
        writeBits8(buffer, c, 1, s.codeRange[1] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, s.codeIndicator[1] & 1);
        writeBits8(buffer, c, 1, s.codeRange[1] > 0 ? 1 : 0);
        writeBits8(buffer, c, 1, s.phaseRange[1] > 0 ? 1 : 0);
        writeBits8(buffer, c, 4, 0);
        writeBits64(buffer, c, 16, fieldValue(100.0 * (s.l2MinusL1Code + cut)));
        writeBits64(buffer, c, 20, fieldValue((s.l2PhaseMinusCode + cut) / (-lambda2 / 256)));
        writeBits8(buffer, c, 4, snrCode(s.cn0[1]));
        writeBits8(buffer, c, 8, s.slipCount);
    }
    return closeFrame(buffer, dataBytes);
}

int encodeCmr3(uint8_t* buffer, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeCmr3(buffer, obsEpochOf(baseIndex));
    movePrevStamp(*encoderBase(baseIndex), kindCmr3);
    return length;
}

int encodeCmr1(uint8_t* buffer, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    constexpr int dataBytes = cmrType1FrameBytes - 6;
    constexpr int64_t mmLimit = int64_t(1) << 33;   // 34-bit signed millimetres

    std::memset(buffer, 0, size_t(cmrType1FrameBytes));
    BitCursor c = bitCursor(4, 4 + dataBytes);
    writeHeader(buffer, c, b.stationId, 1, 0x02, cmrGpsEpochField(b.gpsTowMs), 1);
    for (double coordinate : {b.ecefX, b.ecefY, b.ecefZ}) {
        writeBits64(buffer, c, 34, truncClamp(coordinate * 1000.0, -mmLimit, mmLimit - 1));
        writeBitsU16(buffer, c, 14, 0);
    }
    writeBits8(buffer, c, 8, 0xF0);
    movePrevStamp(b, kindCmr1);
    return closeFrame(buffer, dataBytes);
}

int encodeCmr2(uint8_t* buffer, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    constexpr int dataBytes = cmrType2FrameBytes - 6;
    static const char shortName[8] = {'Q', 'U', 'I', 'L', 'L', 'M', 'R', 'K'};

    std::memset(buffer, 0, size_t(cmrType2FrameBytes));
    BitCursor c = bitCursor(4, 4 + dataBytes);
    writeHeader(buffer, c, b.stationId, 2, 0x02, cmrGpsEpochField(b.gpsTowMs), 1);
    // Description bytes that follow: the short name, then a 16- and a
    // 50-byte text left empty.
    buffer[4 + 6] = 74;
    std::memcpy(buffer + 4 + 7, shortName, sizeof shortName);
    movePrevStamp(b, kindCmr2);
    return closeFrame(buffer, dataBytes);
}
