#include "formats/nct/nct_encode.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "formats/nct/nct_frame.h"
#include "formats/obs_epoch.h"

using namespace nct;

namespace {

constexpr double lightMsMetres = 299792.458;
// 1/16 of the L1 and of the L2 wavelength, the units of the GPS-only 5E.
constexpr double l1CodeUnit = 0.011893375;
constexpr double l1PhaseUnit = 0.0007433359375;
constexpr double l2PhaseUnit = 0.0009539453125;
constexpr int gpsSlots = 32;   // the NCT GPS messages carry PRN 1..32 only

// Frame sizes of the longest messages (all satellites current), so that the
// builders can never outgrow a kept buffer.
constexpr uint32_t max5BBytes = 16 + 18 * gpsSlots + 2 + 2 + 2;
constexpr uint32_t max5EGpsBytes = 16 + 15 * gpsSlots + 2 + 2;
constexpr uint32_t max5EGpsGloBytes = 14 + 14 * (gpsSlots + gloSatEntries) + 1 + 2 + 2;
static_assert(max5BBytes <= maxFrameBytes && max5EGpsBytes <= maxFrameBytes &&
              max5EGpsGloBytes <= maxFrameBytes);

// Double to integer field: toward zero, then only the low bits are written.
// The wide clamp only keeps NaN and huge values from being undefined.
int64_t field(double x) { return truncClamp(x, -(int64_t(1) << 52), int64_t(1) << 52); }

void writeHeader(uint8_t* f, uint8_t id)
{
    f[0] = sync0;
    f[1] = sync1;
    f[2] = sync2;
    f[3] = id;
}

// Closes a frame whose CRC (if any) and trailer end before `end`: writes L,
// the XOR byte and ETX, and returns the frame length.
int closeFrame(uint8_t* f, uint32_t end)
{
    const uint32_t len = end + 2;
    writeU16(f + 4, len - 4);
    f[end] = xorRange(f, 3, end);
    f[end + 1] = etx;
    return int(len);
}

void writeCrcHighFirst(uint8_t* f, uint32_t at)
{
    const uint16_t crc = calcCrc16Xmodem(f, dataStart, at);
    f[at] = uint8_t(crc >> 8);
    f[at + 1] = uint8_t(crc);
}

void writeCrcLowFirst(uint8_t* f, uint32_t at)
{
    const uint16_t crc = calcCrc16Xmodem(f, dataStart, at);
    f[at] = uint8_t(crc);
    f[at + 1] = uint8_t(crc >> 8);
}

void keepPrevStamp(BaseStation& b, int kind)
{
    KeptMessage& m = b.msg[kind];
    std::lock_guard<std::mutex> g(m.frameLock);
    m.msgPrevRxTime = m.msgStamp;
}

// A base slot or the synthetic station record.
bool validBase(int baseIndex) { return encoderBase(baseIndex) != nullptr; }

// The millimetre digit of a coordinate, from its magnitude so that v and -v
// give the same digit (the sign travels with the centimetres).
uint8_t millimetreDigit(double v)
{
    const double cm = std::fabs(v) * 100.0;
    return uint8_t(truncClamp((cm - std::trunc(cm)) * 10.0, 0, 9));
}

// L1 code reduced to one light-millisecond. Bounded, so that a nonsense
// range cannot keep the builder looping.
double codeModulo(double r1)
{
    for (int i = 0; i < 256 && r1 > lightMsMetres; ++i) r1 -= lightMsMetres;
    return r1;
}

}  // namespace

void nctTickStep(uint32_t& counter, uint32_t& ticks, uint32_t& wraps)
{
    if (counter <= 2) {
        counter += 125;
        ++wraps;
    } else {
        counter -= 3;
        ++ticks;
    }
}

// The counter falls by 3 modulo 128 at every step and wraps whenever the
// fall takes it below 0, so after n steps it stands at -3n mod 128 having
// wrapped ceil(3n / 128) times; this is what n calls of nctTickStep give,
// without up to 600000 steps per frame.
void nctTicksAfter(uint32_t steps, uint32_t& counter, uint32_t& ticks, uint32_t& wraps)
{
    const uint64_t fall = uint64_t(steps) * 3;
    counter = uint32_t((128 - fall % 128) % 128);
    wraps = uint32_t((fall + 127) / 128);
    ticks = steps - wraps;
}

bool nctCountTicks(uint32_t seconds, uint32_t offset, uint32_t expected, uint32_t& out)
{
    if (seconds > 604799) seconds = 604799;
    uint32_t c, t, w;
    nctTicksAfter(seconds, c, t, w);
    out = w + offset;
    return c == expected;
}

uint32_t nctTimeWord(uint32_t seconds)
{
    uint32_t c, t, w;
    nctTicksAfter(seconds, c, t, w);
    return (((c % 128) | (t << 7)) << 3) | (1u << 30);
}

int encodeNct5D(uint8_t* buf, int baseIndex, time_t now, double value1, double value2,
                double value3)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    const uint32_t s = b.gpsTowMs / 1000;
    writeHeader(buf, id5D);
    buf[6] = 16;
    buf[7] = 11;
    writeF64(buf + 8, value1);
    writeF64(buf + 16, value2);
    writeF64(buf + 24, value3);
    writeU32(buf + 32, uint32_t(int64_t(now) - int64_t(b.connectTime)));
    writeU24(buf + 36, s);
    buf[39] = 0;
    writeCrcHighFirst(buf, 40);
    buf[42] = 1;
    buf[43] = 0;
    keepPrevStamp(b, kindNct5D);
    return closeFrame(buf, 44);
}

int encodeNct5C(uint8_t* buf, int baseIndex, uint32_t mode)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    writeHeader(buf, id5C);
    buf[6] = mode >= 2 ? 0x30 : 16;
    buf[7] = 1;
    buf[8] = 3;
    buf[9] = 0;
    writeU32(buf + 10, uint32_t(truncClamp(b.ecefX * 100.0, INT32_MIN, INT32_MAX)));
    writeU32(buf + 14, uint32_t(truncClamp(b.ecefY * 100.0, INT32_MIN, INT32_MAX)));
    writeU32(buf + 18, uint32_t(truncClamp(b.ecefZ * 100.0, INT32_MIN, INT32_MAX)));
    writeCrcHighFirst(buf, 22);
    buf[24] = uint8_t(millimetreDigit(b.ecefZ) << 4);
    buf[25] = uint8_t(millimetreDigit(b.ecefX) << 4 | millimetreDigit(b.ecefY));
    uint32_t end = 26;
    if (mode >= 2) buf[end++] = 0;
    keepPrevStamp(b, kindNct5C);
    return closeFrame(buf, end);
}

int writeNct5B(uint8_t* buf, uint16_t week, uint32_t gpsTowMs, uint16_t stationId,
               const Nct5BSat* sats, int count, uint32_t mode)
{
    writeHeader(buf, id5B);
    buf[6] = 0;
    writeU16(buf + 8, week);
    writeU24(buf + 10, gpsTowMs / 1000);
    buf[13] = 0;
    writeU16(buf + 14, stationId);

    uint32_t p = 16;
    uint8_t written = 0;
    for (int i = 0; i < count && i < gpsSlots; ++i) {
        const Nct5BSat& sat = sats[i];
        const uint32_t c1 = uint32_t(field(128.0 * sat.codeDelay[0]));
        const uint32_t c2 = uint32_t(field(128.0 * sat.codeDelay[1]));
        const uint32_t p1 = uint32_t(field(2048.0 * sat.phaseAdvance[0]));
        const uint32_t p2 = uint32_t(field(2048.0 * sat.phaseAdvance[1]));
        uint8_t* k = buf + p;
        k[0] = sat.numberAndFlags;
        k[1] = sat.iod;
        k[2] = uint8_t(c1 >> 4);
        k[3] = uint8_t(c1 >> 12);
        k[4] = uint8_t(c2 >> 4);
        k[5] = uint8_t(c2 >> 12);
        k[6] = uint8_t((c2 & 0xF) << 4 | (c1 & 0xF));
        writeU24(k + 7, p1);
        writeU24(k + 10, p2);
        k[13] = 0x40;
        k[14] = sat.byte14;
        k[15] = 0;
        k[16] = 0;
        k[17] = uint8_t((sat.slipCount & 0xF) << 4 | (sat.slipCount & 0xF));
        p += 18;
        ++written;
    }
    buf[7] = written;
    writeCrcHighFirst(buf, p);
    p += 2;
    if (mode >= 2) {
        buf[p++] = 0x23;
        buf[p++] = 0x01;
    }
    return closeFrame(buf, p);
}

int encodeNct5B(uint8_t* buf, int baseIndex, uint32_t mode)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    Nct5BSat sats[gpsSlots];
    int count = 0;
    for (int slot = 0; slot < gpsSlots; ++slot) {
        const GpsSatObs& sat = b.gpsSat[slot];
        if (sat.epochMs != b.gpsTowMs) continue;
        Nct5BSat& k = sats[count++];
        k.numberAndFlags = uint8_t(gpsSatNumber(slot) | (sat.codeDelayF[0] != 0 ? 0x80 : 0) |
                                   (sat.codeDelayF[1] != 0 ? 0x20 : 0));
        if (sat.nctRefWord != 0)
            k.iod = uint8_t(sat.nctRefWord);
        else if (gpsEphemeris[slot].iode != 0)
            k.iod = gpsEphemeris[slot].iode;
        else
            k.iod = uint8_t(gpsEphemeris[slot].iodc);
        for (int band = 0; band < 2; ++band) {
            k.codeDelay[band] = sat.codeDelay[band];
            k.phaseAdvance[band] = sat.phaseAdvance[band];
        }
        k.byte14 = 0x1F;
        k.slipCount = sat.slipCount;
    }
    int length = writeNct5B(buf, uint16_t(currentGpsWeek.load()), b.gpsTowMs, b.stationId, sats,
                            count, mode);
    keepPrevStamp(b, kindNct5B);
    return length;
}

int writeNct5EGps(uint8_t* buf, const ObsEpoch& e, uint16_t week, uint16_t word14)
{
    if (!e.gpsSat) return 0;
    writeHeader(buf, id5E);
    buf[6] = 16;
    writeU16(buf + 8, week);
    writeU24(buf + 10, e.gpsTowMs / 1000);
    buf[13] = 0;
    writeU16(buf + 14, word14);

    uint32_t p = 16;
    uint8_t count = 0;
    for (int slot = 0; slot < gpsSlots; ++slot) {
        const GpsSatObs& sat = e.gpsSat[slot];
        if (sat.epochMs != e.gpsTowMs) continue;
        const double r1 = sat.codeRange[0], r2 = sat.codeRange[1];
        const uint32_t slip = sat.slipCount & 0xF;
        uint8_t* k = buf + p;
        k[0] = uint8_t(gpsSatNumber(slot) | (r2 > 0 ? 0x20 : 0) | (r1 > 0 ? 0x40 : 0));
        k[1] = uint8_t(field(4.0 * sat.cn0[0]));
        k[2] = uint8_t(field(4.0 * sat.cn0[1]));
        writeU32(k + 3, uint32_t(field(r1 / l1CodeUnit)));
        writeU16(k + 7, uint32_t(field((r2 - r1) / l1CodeUnit)));
        writeU24(k + 9, uint32_t(uint64_t(field((r1 - sat.phaseRange[0]) / l1PhaseUnit)) << 4) |
                            slip);
        writeU24(k + 12, uint32_t(uint64_t(field((r2 - sat.phaseRange[1]) / l2PhaseUnit)) << 4) |
                             slip);
        p += 15;
        ++count;
    }
    buf[7] = count;
    writeCrcHighFirst(buf, p);
    return closeFrame(buf, p + 2);
}

int encodeNct5EGps(uint8_t* buf, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeNct5EGps(buf, obsEpochOf(baseIndex), uint16_t(currentGpsWeek.load()), 3);
    keepPrevStamp(*encoderBase(baseIndex), kindNct5E);
    return length;
}


namespace {

// One 14-byte block of the GPS + GLONASS 5E.
void writeGpsGloBlock(uint8_t* k, uint8_t satByte, bool glonass, const double* code,
                      const double* phase)
{
    const double r1 = code[0], r2 = code[1];
    const int64_t d = field((r2 - r1) / 0.02);
    k[0] = 0xF0;
    k[1] = satByte;
    writeU24(k + 2, uint32_t(field(codeModulo(r1) / 0.02)));
    writeU24(k + 5, uint32_t(field((r1 - phase[0]) / 0.0001)));
    k[8] = uint8_t(d);
    k[9] = glonass ? uint8_t(d >> 8) : uint8_t((d >> 8) & 0x3F);
    k[10] = 0x26;
    writeU24(k + 11, uint32_t(field((r1 - phase[1]) / 0.0001)));
}

}  // namespace

int writeNct5EGpsGlo(uint8_t* buf, const ObsEpoch& e)
{
    if (!e.gpsSat || !e.gloSat) return 0;
    writeHeader(buf, id5E);
    buf[6] = 3;
    buf[8] = 4;
    buf[9] = 0;
    writeU32(buf + 10, nctTimeWord(e.gpsTowMs / 1000));

    uint32_t p = 14;
    uint32_t count = 0;
    for (int slot = 0; slot < gpsSlots; ++slot) {
        const GpsSatObs& sat = e.gpsSat[slot];
        if (sat.epochMs != e.gpsTowMs) continue;
        writeGpsGloBlock(buf + p, uint8_t(4 * gpsSatNumber(slot)), false, sat.codeRange,
                         sat.phaseRange);
        p += 14;
        ++count;
    }
    for (int slot = 0; slot < gloSatEntries; ++slot) {
        const GloSatObs& sat = e.gloSat[slot];
        if (sat.epochMs != e.gloEpochMs) continue;
        writeGpsGloBlock(buf + p, uint8_t(4 * gloSatNumber(slot) + 1), true, sat.codeRange,
                         sat.phaseRange);
        p += 14;
        ++count;
    }
    buf[7] = uint8_t(4 * count);
    buf[p++] = 1;
    // This form alone carries its CRC low byte first.
    writeCrcLowFirst(buf, p);
    return closeFrame(buf, p + 2);
}

int encodeNct5EGpsGlo(uint8_t* buf, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeNct5EGpsGlo(buf, obsEpochOf(baseIndex));
    keepPrevStamp(*encoderBase(baseIndex), kindNct5E);
    return length;
}
