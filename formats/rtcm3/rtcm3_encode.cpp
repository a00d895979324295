#include "formats/rtcm3/rtcm3_encode.h"

#include <cmath>
#include <string>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/obs_epoch.h"
#include "formats/rtcm3/rtcm3_frame_writer.h"
#include "platform/clock.h"

int rtcm3FinishFrame(uint8_t* buffer, const BitCursor& c)
{
    if (c.overrun) return 0;
    uint32_t bits = (c.byteIndex - 3) * 8 + (7 - c.bitIndex);
    uint32_t length = (bits + 7) / 8;
    if (length > rtcm3MaxPayload) return 0;
    // The writer leaves the unused low bits of a partly filled last byte as
    // they were; a rover must see them as zero.
    if (c.bitIndex != 7) buffer[c.byteIndex] &= uint8_t(~((1u << (c.bitIndex + 1)) - 1));
    buffer[0] = 0xD3;
    buffer[1] = uint8_t((length >> 8) & 0x03);
    buffer[2] = uint8_t(length & 0xFF);
    appendCrc24q(buffer, 3 + length);
    return int(length + 6);
}

int64_t roundField(double x, int64_t lo, int64_t hi)
{
    return truncClamp(roundNearest(x), lo, hi);
}

uint8_t smoothingIntervalCode(uint32_t seconds)
{
    static const uint32_t table[8] = {0, 30, 60, 120, 240, 480, 600, 900};
    for (uint8_t code = 0; code < 8; ++code)
        if (seconds <= table[code]) return code;
    return 7;
}

uint8_t legacyLockIndicator(uint32_t s)
{
    if (s < 24) return uint8_t(s);
    if (s < 72) return uint8_t((s + 24) / 2);
    if (s < 168) return uint8_t((s + 120) / 4);
    if (s < 360) return uint8_t((s + 408) / 8);
    if (s < 744) return uint8_t((s + 1176) / 16);
    if (s < 937) return uint8_t((s + 3096) / 32);
    return 127;
}

uint16_t lockTimeMsOf(uint32_t seconds)
{
    // Stored lock times are whole seconds cut down from finer ones (the MSM
    // decoder keeps the indicator's lower bound in seconds), so a lock of s
    // seconds lasted at least s and less than s + 1: the end of that second
    // gives back the indicator the base sent. Zero stays zero.
    if (seconds == 0) return 0;
    return seconds >= 65 ? uint16_t(65535) : uint16_t(seconds * 1000 + 999);
}

// A base slot or the synthetic station record.
static bool validBase(int baseIndex) { return encoderBase(baseIndex) != nullptr; }

// ---------------------------------------------------------------- 1013

int encodeRtcm1013(int baseIndex, uint8_t* buffer)
{
    uint16_t stationId = 0;
    uint16_t mjd = uint16_t(currentMjd.load() & 0xFFFF);
    uint32_t secondsOfDay = 0;
    uint8_t leapSeconds = 0;
    // Only a real base slot is read: a rover's slot number or a stale index
    // would otherwise read past the ten records.
    if (validBase(baseIndex)) {
        const BaseStation& b = *encoderBase(baseIndex);
        stationId = b.stationId;
        mjd = b.mjd;
        secondsOfDay = b.secondsOfDay;
        leapSeconds = b.leapSeconds;
    }
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1013);
    writeBitsU16(buffer, c, 12, stationId);
    writeBitsU16(buffer, c, 16, mjd);
    writeBitsU32(buffer, c, 17, secondsOfDay);
    writeBits8(buffer, c, 5, 5);
    writeBits8(buffer, c, 8, leapSeconds);
    static const uint16_t announced[5][2] = {
        {1004, 10}, {1012, 10}, {1104, 10}, {1005, 100}, {1008, 100}};
    for (const auto& a : announced) {
        writeBitsU16(buffer, c, 12, a[0]);
        writeBits8(buffer, c, 1, 1);
        writeBitsU16(buffer, c, 16, a[1]);
    }
    return rtcm3FinishFrame(buffer, c);
}

// ------------------------------------------------- stream order of systems

bool receivedWithin(const BaseStation& b, int kind, uint32_t ms)
{
    const KeptMessage& m = b.msg[kind];
    // A reception time of 0 is "never" unless the kept frame is the base's.
    return (m.msgRxTime != 0 || m.msgNative) && clockDiff(clockMs(), m.msgRxTime) <= ms;
}

bool laterObservationsFollow(int baseIndex, int system, bool msmStream)
{
    if (!validBase(baseIndex)) return false;
    const BaseStation& b = *encoderBase(baseIndex);
    const uint32_t ms = 2000;
    bool glo = receivedWithin(b, kind1011, ms) || receivedWithin(b, kind1012, ms) ||
               receivedWithin(b, kind1084, ms) || (b.gloSatCount > 0 && receivedWithin(b, kindNct5E, ms));
    bool gal = msmStream && receivedWithin(b, kind1094, ms);
    // The RTCM 3.1 stream has BeiDou only where the base sends its own 1104.
    bool bds = receivedWithin(b, kind1104, ms) || (msmStream && receivedWithin(b, kind1124, ms));
    switch (system) {
    case obsGps: return glo || gal || bds;
    case obsGlo: return gal || bds;
    case obsGal: return bds;
    default: return false;
    }
}

// Payload bit of the synchronous flag or multiple message bit, -1 for a
// message without one. 1104 is the caster's BeiDou legacy layout (a GPS
// header), which has its bit where the SBAS MSM4 would.
static int observationSyncBit(uint32_t number)
{
    if ((number >= 1001 && number <= 1004) || number == 1104) return 24 + 30;
    if (number >= 1009 && number <= 1012) return 24 + 27;
    const uint32_t type = number % 10;
    if (number >= 1071 && number <= 1127 && type >= 1 && type <= 7) return 24 + 30;
    return -1;
}

bool setObservationSyncFlag(uint8_t* frame, uint32_t length, bool more)
{
    if (!frame || length < 6 || frame[0] != 0xD3) return false;
    const uint32_t payload = (uint32_t(frame[1] & 0x03) << 8) | frame[2];
    if (payload < 2 || payload + 6 != length) return false;
    const int bit = observationSyncBit((uint32_t(frame[3]) << 4) | (frame[4] >> 4));
    if (bit < 0 || uint32_t(bit / 8) >= payload) return false;
    uint8_t& byte = frame[3 + bit / 8];
    const uint8_t mask = uint8_t(0x80u >> (bit % 8));
    if (((byte & mask) != 0) != more) {
        byte ^= mask;
        appendCrc24q(frame, 3 + payload);
    }
    return true;
}

// Offset of the last frame of whole RTCM 3 frames back to back; -1 when
// the bytes are not such frames.
static int64_t lastFrameOffset(const uint8_t* frames, uint32_t length)
{
    if (!frames) return -1;
    uint32_t at = 0;
    while (length - at >= 6 && frames[at] == 0xD3) {
        const uint32_t size = ((uint32_t(frames[at + 1] & 0x03) << 8) | frames[at + 2]) + 6;
        if (size > length - at) return -1;
        if (size == length - at) return at;
        at += size;
    }
    return -1;
}

int lastObservationSyncFlag(const uint8_t* frames, uint32_t length)
{
    const int64_t at = lastFrameOffset(frames, length);
    if (at < 0) return -1;
    const uint8_t* frame = frames + at;
    const uint32_t payload = length - uint32_t(at) - 6;
    if (payload < 2) return -1;
    const int bit = observationSyncBit((uint32_t(frame[3]) << 4) | (frame[4] >> 4));
    if (bit < 0 || uint32_t(bit / 8) >= payload) return -1;
    return (frame[3 + bit / 8] >> (7 - bit % 8)) & 1;
}

bool setLastObservationSyncFlag(uint8_t* frames, uint32_t length, bool more)
{
    const int64_t at = lastFrameOffset(frames, length);
    return at >= 0 && setObservationSyncFlag(frames + at, length - uint32_t(at), more);
}

// ----------------------------------------------- legacy observation fields

constexpr double gpsL1Hz = 1575.42e6, gpsL2Hz = 1227.60e6;
constexpr double speedOfLight = 299792458.0;
constexpr double gloAmbiguityMetres = 599584.916;   // two light-milliseconds
// Largest |phaserange - pseudorange| the 20-bit fields hold, metres.
constexpr double phaseFieldLimit = 524287 * 0.0005;
constexpr int32_t invalidPhaseField = -524288;   // DF012, DF018, DF042, DF048
constexpr int32_t invalidL2CodeField = -8192;    // DF017, DF047

static bool present(double v) { return v != 0 && std::isfinite(v); }

// Phaserange minus L1 pseudorange in 0.5 mm. A value beyond the field is
// brought back by whole 1500-cycle steps, the rollover the message format
// prescribes for a slowly diverging ionosphere; the carrier ambiguity is
// arbitrary, so the rover loses nothing.
static int32_t phaseMinusCodeField(double diff, double wavelength, bool truncate)
{
    if (!std::isfinite(diff)) return invalidPhaseField;
    if (std::fabs(diff) > phaseFieldLimit) {
        double step = 1500.0 * wavelength;
        diff -= std::round(diff / step) * step;
        if (std::fabs(diff) > phaseFieldLimit) return invalidPhaseField;
    }
    double units = diff / 0.0005;
    return int32_t(truncate ? truncClamp(units, -524287, 524287) : roundField(units, -524287, 524287));
}

static int32_t l2MinusL1Field(double diff, bool truncate)
{
    if (!std::isfinite(diff)) return invalidL2CodeField;
    double units = diff / 0.02;
    if (std::fabs(units) >= 8191.5) return invalidL2CodeField;
    return int32_t(truncate ? truncClamp(units, -8191, 8191) : roundField(units, -8191, 8191));
}

static uint8_t cnrField(float cn0) { return uint8_t(truncClamp(4.0 * double(cn0), 0, 255)); }

static double gloL1Wavelength(int channelPlus7) { return speedOfLight / (1602.0e6 + (channelPlus7 - 7) * 562500.0); }
static double gloL2Wavelength(int channelPlus7) { return speedOfLight / (1246.0e6 + (channelPlus7 - 7) * 437500.0); }

// Legacy code indicators. After MSM input the entries' indicators only say
// present or absent, so they come from the signal ids the MSM decoder
// recorded: L1 P or W code is 1; L2 P is 1, L2 W (semi-codeless) 3, C/A,
// L2C and the rest 0. Legacy input keeps the indicators as received.
static void gpsCodeIndicators(const ObsEpoch& e, const GpsSatObs& s, uint8_t& l1, uint8_t& l2)
{
    if (!e.gpsMsmInput) {
        l1 = s.codeIndicator[0] & 1;
        l2 = s.codeIndicator[1] & 3;
        return;
    }
    uint8_t id1 = e.gpsSignalId[0], id2 = e.gpsSignalId[1];
    l1 = (id1 == 3 || id1 == 4) ? 1 : 0;
    l2 = id2 == 9 ? 1 : (id2 == 10 ? 3 : 0);
}

static void gloCodeIndicators(const ObsEpoch& e, const GloSatObs& s, uint8_t& l1, uint8_t& l2)
{
    if (!e.gloMsmInput) {
        l1 = s.codeIndicator[0] & 1;
        l2 = s.codeIndicator[1] & 3;
        return;
    }
    l1 = e.gloSignalId[0] == 3 ? 1 : 0;
    l2 = e.gloSignalId[1] == 9 ? 1 : 0;
}

// Header of 1003/1004 up to the satellite count, whose position is handed
// back so the count of blocks actually written can be filled in at the end.
static BitCursor writeGpsHeader(uint8_t* buffer, BitCursor& c, const ObsEpoch& e, uint16_t number,
                                bool smoothingFields)
{
    writeBitsU16(buffer, c, 12, number);
    writeBitsU16(buffer, c, 12, e.stationId);
    writeBitsU32(buffer, c, 30, e.gpsTowMs);
    writeBits8(buffer, c, 1, laterObservationsFollow(e.baseIndex, obsGps, false) ? 1 : 0);
    BitCursor countAt = c;
    writeBits8(buffer, c, 5, 0);
    writeBits8(buffer, c, 1, smoothingFields ? e.gpsSmoothing & 1 : 0);
    writeBits8(buffer, c, 3, smoothingFields ? smoothingIntervalCode(e.gpsSmoothingInterval) : 0);
    return countAt;
}

static BitCursor writeGloHeader(uint8_t* buffer, BitCursor& c, const ObsEpoch& e, uint16_t number)
{
    writeBitsU16(buffer, c, 12, number);
    writeBitsU16(buffer, c, 12, e.stationId);
    writeBitsU32(buffer, c, 27, e.gloEpochMs);
    writeBits8(buffer, c, 1, laterObservationsFollow(e.baseIndex, obsGlo, false) ? 1 : 0);
    BitCursor countAt = c;
    writeBits8(buffer, c, 5, 0);
    writeBits8(buffer, c, 1, e.gloSmoothing & 1);
    writeBits8(buffer, c, 3, smoothingIntervalCode(e.gloSmoothingInterval));
    return countAt;
}

// The 5-bit count fields hold at most 31 satellites.
constexpr int maxLegacySats = 31;

// Code, ambiguity and the three differences of one satellite's legacy block.
struct LegacyFields {
    uint32_t l1Code = 0, ambiguity = 0;
    int32_t l1Phase = 0, l2Code = 0, l2Phase = 0;
};

// GPS and GLONASS blocks differ only in the ambiguity unit and the field
// ranges. False when the satellite has nothing a rover can use.
template <typename Sat>
static bool legacyFields(const Sat& s, bool extended, double ambiguityUnit, double ambiguityMax,
                         int64_t codeMax, double l1, double l2, LegacyFields& f)
{
    if (extended) {
        double code1 = s.codeRange[0];
        // Without an L1 pseudorange a satellite has nothing a rover can use.
        if (!present(code1) || code1 < 0) return false;
        double amb = std::floor(code1 / ambiguityUnit);
        if (amb > ambiguityMax) return false;
        f.ambiguity = uint32_t(amb);
        f.l1Code = uint32_t(roundField((code1 - amb * ambiguityUnit) / 0.02, 0, codeMax));
        // The rover adds the differences to the L1 pseudorange it reads,
        // so they are taken against that value, not the finer stored one;
        // otherwise the 0.02 m step of the code would land in the phase.
        double sent = amb * ambiguityUnit + f.l1Code * 0.02;
        f.l1Phase = present(s.phaseRange[0]) ? phaseMinusCodeField(s.phaseRange[0] - sent, l1, false)
                                             : invalidPhaseField;
        f.l2Code = present(s.codeRange[1]) ? l2MinusL1Field(s.codeRange[1] - sent, false)
                                           : invalidL2CodeField;
        f.l2Phase = present(s.phaseRange[1]) ? phaseMinusCodeField(s.phaseRange[1] - sent, l2, false)
                                             : invalidPhaseField;
        return true;
    }
    // The stored legacy parts; a part that is 0 while its full range is 0
    // too was never observed.
    if (!present(s.l1CodeModulo) && !present(s.codeRange[0])) return false;
    f.l1Code = uint32_t(truncClamp(s.l1CodeModulo / 0.02, 0, codeMax));
    // What the truncation takes off the code goes to the differences, which
    // the rover adds to the code it reads.
    double cut = std::isfinite(s.l1CodeModulo) ? s.l1CodeModulo - f.l1Code * 0.02 : 0;
    f.l1Phase = (present(s.l1PhaseMinusCode) || present(s.phaseRange[0]))
                    ? phaseMinusCodeField(s.l1PhaseMinusCode + cut, l1, true)
                    : invalidPhaseField;
    f.l2Code = (present(s.l2MinusL1Code) || present(s.codeRange[1]))
                   ? l2MinusL1Field(s.l2MinusL1Code + cut, true)
                   : invalidL2CodeField;
    f.l2Phase = (present(s.l2PhaseMinusCode) || present(s.phaseRange[1]))
                    ? phaseMinusCodeField(s.l2PhaseMinusCode + cut, l2, true)
                    : invalidPhaseField;
    return true;
}

int writeRtcmGpsObservations(const ObsEpoch& e, uint8_t* buffer, bool extended)
{
    if (!e.gpsSat) return 0;
    const double l1 = speedOfLight / gpsL1Hz, l2 = speedOfLight / gpsL2Hz;
    BitCursor c = rtcm3PayloadCursor();
    BitCursor countAt = writeGpsHeader(buffer, c, e, extended ? 1004 : 1003, extended);
    int written = 0;
    for (int slot = 0; slot < 32 && written < maxLegacySats; ++slot) {
        const GpsSatObs& s = e.gpsSat[slot];
        if (s.epochMs != e.gpsTowMs) continue;
        LegacyFields f;
        if (!legacyFields(s, extended, lightMsMetres, 255, 0xFFFFFF, l1, l2, f)) continue;
        uint8_t l1Indicator = 0, l2Indicator = 0;
        if (extended) gpsCodeIndicators(e, s, l1Indicator, l2Indicator);
        writeBits8(buffer, c, 6, uint8_t(slot == 0 ? 32 : slot));
        writeBits8(buffer, c, 1, l1Indicator);
        writeBitsU32(buffer, c, 24, f.l1Code);
        writeBitsI32(buffer, c, 20, f.l1Phase);
        writeBits8(buffer, c, 7, legacyLockIndicator(s.lockTimeS[0]));
        if (extended) {
            writeBits8(buffer, c, 8, uint8_t(f.ambiguity));
            writeBits8(buffer, c, 8, cnrField(s.cn0[0]));
        }
        writeBits8(buffer, c, 2, l2Indicator);
        writeBitsI32(buffer, c, 14, f.l2Code);
        writeBitsI32(buffer, c, 20, f.l2Phase);
        writeBits8(buffer, c, 7, legacyLockIndicator(s.lockTimeS[1]));
        if (extended) writeBits8(buffer, c, 8, cnrField(s.cn0[1]));
        ++written;
    }
    writeBits8(buffer, countAt, 5, uint8_t(written));
    return rtcm3FinishFrame(buffer, c);
}

static int encodeGpsObservations(int baseIndex, uint8_t* buffer, bool extended)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeRtcmGpsObservations(obsEpochOf(baseIndex), buffer, extended);
    KeptMessage& m = encoderBase(baseIndex)->msg[extended ? kind1004 : kind1003];
    m.msgPrevRxTime = m.msgStamp;
    return length;
}

int encodeRtcm1004(int baseIndex, uint8_t* buffer) { return encodeGpsObservations(baseIndex, buffer, true); }
int encodeRtcm1003(int baseIndex, uint8_t* buffer) { return encodeGpsObservations(baseIndex, buffer, false); }

int writeRtcmGloObservations(const ObsEpoch& e, uint8_t* buffer, bool extended)
{
    if (!e.gloSat) return 0;
    BitCursor c = rtcm3PayloadCursor();
    BitCursor countAt = writeGloHeader(buffer, c, e, extended ? 1012 : 1011);
    int written = 0;
    for (int slot = 0; slot < gloSatEntries && written < maxLegacySats; ++slot) {
        const GloSatObs& s = e.gloSat[slot];
        if (s.epochMs != e.gloEpochMs) continue;
        uint8_t channel = s.freqChannel;
        if (channel > (extended ? 13 : 11)) channel = glonassChannelBySlot[slot];
        const double l1 = gloL1Wavelength(channel), l2 = gloL2Wavelength(channel);
        LegacyFields f;
        if (!legacyFields(s, extended, gloAmbiguityMetres, 127, 0x1FFFFFF, l1, l2, f)) continue;
        uint8_t l1Indicator, l2Indicator;
        gloCodeIndicators(e, s, l1Indicator, l2Indicator);
        writeBits8(buffer, c, 6, uint8_t(slot == 0 ? 24 : slot));
        writeBits8(buffer, c, 1, l1Indicator);
        writeBits8(buffer, c, 5, channel);
        writeBitsU32(buffer, c, 25, f.l1Code);
        writeBitsI32(buffer, c, 20, f.l1Phase);
        writeBits8(buffer, c, 7, legacyLockIndicator(s.lockTimeS[0]));
        if (extended) {
            writeBits8(buffer, c, 7, uint8_t(f.ambiguity));
            writeBits8(buffer, c, 8, cnrField(s.cn0[0]));
        }
        writeBits8(buffer, c, 2, l2Indicator);
        writeBitsI32(buffer, c, 14, f.l2Code);
        writeBitsI32(buffer, c, 20, f.l2Phase);
        writeBits8(buffer, c, 7, legacyLockIndicator(s.lockTimeS[1]));
        if (extended) writeBits8(buffer, c, 8, cnrField(s.cn0[1]));
        ++written;
    }
    writeBits8(buffer, countAt, 5, uint8_t(written));
    return rtcm3FinishFrame(buffer, c);
}

static int encodeGloObservations(int baseIndex, uint8_t* buffer, bool extended)
{
    if (!validBase(baseIndex)) return 0;
    int length = writeRtcmGloObservations(obsEpochOf(baseIndex), buffer, extended);
    if (extended) {
        KeptMessage& m = encoderBase(baseIndex)->msg[kind1012];
        m.msgPrevRxTime = m.msgStamp;
    }
    return length;
}

int encodeRtcm1012(int baseIndex, uint8_t* buffer) { return encodeGloObservations(baseIndex, buffer, true); }
int encodeRtcm1011(int baseIndex, uint8_t* buffer) { return encodeGloObservations(baseIndex, buffer, false); }

// ------------------------------------------------------ station messages

constexpr int64_t coordinateLimit = (int64_t(1) << 37) - 1;

static int64_t coordinateField(double metres)
{
    return truncClamp(metres * 10000.0, -coordinateLimit, coordinateLimit);
}

int encodeRtcm1005(int baseIndex, uint8_t* buffer)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1005);
    writeBitsU16(buffer, c, 12, b.stationId);
    writeBits8(buffer, c, 6, b.itrfYear);
    writeBits8(buffer, c, 1, 1);   // GPS
    writeBits8(buffer, c, 1, 1);   // GLONASS
    writeBits8(buffer, c, 1, 0);   // Galileo
    writeBits8(buffer, c, 1, 0);   // reference-station indicator
    writeBits64(buffer, c, 38, coordinateField(b.ecefX));
    writeBits8(buffer, c, 1, 0);   // single receiver oscillator
    writeBits8(buffer, c, 1, 0);   // reserved
    writeBits64(buffer, c, 38, coordinateField(b.ecefY));
    writeBits8(buffer, c, 2, 0);   // quarter cycle indicator
    writeBits64(buffer, c, 38, coordinateField(b.ecefZ));
    KeptMessage& m = b.msg[kind1005];
    m.msgPrevRxTime = m.msgStamp;
    return rtcm3FinishFrame(buffer, c);
}

int encodeRtcm1032(int baseIndex, uint8_t* buffer)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1032);
    writeBitsU16(buffer, c, 12, 0);   // non-physical reference station
    writeBitsU16(buffer, c, 12, b.stationId);
    writeBits8(buffer, c, 6, b.itrfYear);
    writeBits64(buffer, c, 38, coordinateField(b.ecefX));
    writeBits64(buffer, c, 38, coordinateField(b.ecefY));
    writeBits64(buffer, c, 38, coordinateField(b.ecefZ));
    KeptMessage& m = b.msg[kind1032];
    m.msgPrevRxTime = m.msgStamp;
    return rtcm3FinishFrame(buffer, c);
}

// A descriptor as count and characters. The count field admits 31
// characters; a longer stored text is cut there rather than announced with
// a count the message cannot hold.
static void writeDescriptor(uint8_t* buffer, BitCursor& c, const std::string& text)
{
    size_t n = text.size() < 31 ? text.size() : 31;
    writeBits8(buffer, c, 8, uint8_t(n));
    for (size_t i = 0; i < n; ++i) writeBits8(buffer, c, 8, uint8_t(text[i]));
}

static int encodeDescriptors(int baseIndex, uint8_t* buffer, bool receiver)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = *encoderBase(baseIndex);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, receiver ? 1033 : 1008);
    writeBitsU16(buffer, c, 12, b.stationId);
    writeDescriptor(buffer, c, b.antennaDescriptor);
    writeBits8(buffer, c, 8, b.antennaSetupId);
    writeDescriptor(buffer, c, b.antennaSerial);
    if (receiver) {
        writeDescriptor(buffer, c, b.receiverType);
        writeDescriptor(buffer, c, b.firmwareVersion);
        writeDescriptor(buffer, c, b.receiverSerial);
    }
    KeptMessage& m = b.msg[receiver ? kind1033 : kind1008];
    m.msgPrevRxTime = m.msgStamp;
    return rtcm3FinishFrame(buffer, c);
}

int encodeRtcm1033(int baseIndex, uint8_t* buffer) { return encodeDescriptors(baseIndex, buffer, true); }
int encodeRtcm1008(int baseIndex, uint8_t* buffer) { return encodeDescriptors(baseIndex, buffer, false); }

// -------------------------------------------------------------------- FKP

// A gradient in 0.01 ppm units, held within its signed field.
static int32_t gradientField(double value, int bits)
{
    int64_t limit = (int64_t(1) << (bits - 1)) - 1;
    return int32_t(truncClamp(value / 0.01, -limit, limit));
}

// FKP carries the gradients of the errors (what a rover measures more than
// the master), the blocks those of the corrections (see network/gradients.h):
// the troposphere turns sign, while the phase ionosphere's correction
// gradient already is the code ionosphere's error gradient.
template <size_t N>
static void writeGradients(uint8_t* buffer, BitCursor& c, const double (&g)[8][N], int slot)
{
    writeBitsI32(buffer, c, 12, gradientField(-g[2][slot], 12));   // N0: troposphere, north
    writeBitsI32(buffer, c, 12, gradientField(-g[3][slot], 12));   // E0: troposphere, east
    writeBitsI32(buffer, c, 14, gradientField(g[0][slot], 14));    // NI: ionosphere, north
    writeBitsI32(buffer, c, 14, gradientField(g[1][slot], 14));    // EI: ionosphere, east
}

int encodeRtcm1034(int baseIndex, uint8_t* buffer)
{
    if (!validBase(baseIndex)) return 0;
    const BaseStation& b = *encoderBase(baseIndex);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1034);
    writeBitsU16(buffer, c, 12, b.stationId);
    writeBitsU32(buffer, c, 20, b.gpsTowMs / 1000);
    BitCursor countAt = c;
    writeBits8(buffer, c, 5, 0);
    int written = 0;
    for (int slot = 0; slot < 32 && written < maxLegacySats; ++slot) {
        if (b.gpsSat[slot].epochMs != b.gpsTowMs) continue;
        writeBits8(buffer, c, 6, uint8_t(slot == 0 ? 32 : slot));
        // The issue of data of the broadcast ephemeris the rover will use.
        writeBits8(buffer, c, 8, gpsEphemeris[slot].iode);
        writeGradients(buffer, c, b.netGradient.gps, slot);
        ++written;
    }
    writeBits8(buffer, countAt, 5, uint8_t(written));
    return rtcm3FinishFrame(buffer, c);
}

int encodeRtcm1035(int baseIndex, uint8_t* buffer)
{
    if (!validBase(baseIndex)) return 0;
    const BaseStation& b = *encoderBase(baseIndex);
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1035);
    writeBitsU16(buffer, c, 12, b.stationId);
    writeBitsU32(buffer, c, 17, b.gloEpochMs / 1000);
    BitCursor countAt = c;
    writeBits8(buffer, c, 5, 0);
    int written = 0;
    for (int slot = 0; slot < gloSatEntries; ++slot) {
        if (b.gloSat[slot].epochMs != b.gloEpochMs) continue;
        writeBits8(buffer, c, 6, uint8_t(slot == 0 ? 24 : slot));
        writeBits8(buffer, c, 8, gloEphemeris[slot].tb);
        writeGradients(buffer, c, b.netGradient.glo, slot);
        ++written;
    }
    writeBits8(buffer, countAt, 5, uint8_t(written));
    return rtcm3FinishFrame(buffer, c);
}

// -------------------------------------------------------------------- MAC

constexpr int macSatsPerMessage = 15;

static int32_t correctionDifferenceField(float metres)
{
    return int32_t(truncClamp(double(metres) / 0.0005, -65535, 65535));
}

// One MAC message of satellites part * 15 .. part * 15 + 14 of those whose
// ionospheric difference is not 0. `glonass` selects the GLONASS tables,
// `geometric` the combined layout (1017, 1039) over the ionospheric one.
static int encodeMac(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                     int part, int* partCount, bool glonass, bool geometric)
{
    if (partCount) *partCount = 1;
    if (clientIndex < 0 || clientIndex >= maxClients || auxNumber < 1 || auxNumber > 3) return 0;
    const Client& cl = client[clientIndex];
    int master = cl.masterBase, aux = cl.auxBase[auxNumber - 1];
    if (master < 0 || master >= maxBases || aux < 0 || aux >= maxBases) return 0;
    const BaseStation& m = baseStation[master];
    const int row = auxNumber - 1;
    const int slots = glonass ? gloSatEntries : 32;
    const float* iono = glonass ? cl.gloIonoDiff[row] : cl.gpsIonoDiff[row];
    const float* geo = glonass ? cl.gloGeoDiff[row] : cl.gpsGeoDiff[row];

    int total = 0;
    for (int i = 0; i < slots; ++i)
        if (iono[i] != 0 && std::isfinite(iono[i])) ++total;
    int parts = total == 0 ? 1 : (total + macSatsPerMessage - 1) / macSatsPerMessage;
    if (partCount) *partCount = parts;
    if (part < 0 || part >= parts) return 0;
    int first = part * macSatsPerMessage;
    int count = total - first < macSatsPerMessage ? total - first : macSatsPerMessage;

    BitCursor c = rtcm3PayloadCursor();
    uint16_t number = glonass ? (geometric ? 1039 : 1037) : (geometric ? 1017 : 1015);
    writeBitsU16(buffer, c, 12, number);
    writeBits8(buffer, c, 8, 1);   // network id
    writeBits8(buffer, c, 4, 0);   // subnetwork id
    // The GLONASS network epoch time counts whole seconds of the day; the
    // GPS one tenths of a second of the week.
    if (glonass)
        writeBitsU32(buffer, c, 20, m.gloEpochMs / 1000);
    else
        writeBitsU32(buffer, c, 23, m.gpsTowMs / 100);
    writeBits8(buffer, c, 1, part < parts - 1 ? 1 : (multipleMessage ? 1 : 0));
    writeBitsU16(buffer, c, 12, m.stationId);
    writeBitsU16(buffer, c, 12, baseStation[aux].stationId);
    writeBits8(buffer, c, 4, uint8_t(count));

    int seen = 0;
    for (int i = 0; i < slots && seen < first + count; ++i) {
        if (!(iono[i] != 0 && std::isfinite(iono[i]))) continue;
        if (seen++ < first) continue;
        writeBits8(buffer, c, 6, uint8_t(i == 0 ? (glonass ? 24 : 32) : i));
        writeBits8(buffer, c, 2, 1);   // ambiguity status
        writeBits8(buffer, c, 3, uint8_t((glonass ? m.gloSat[i].slipCount : m.gpsSat[i].slipCount) & 7));
        if (geometric) {
            writeBitsI32(buffer, c, 17, correctionDifferenceField(geo[i]));
            writeBits8(buffer, c, 8, glonass ? gloEphemeris[i].tb : gpsEphemeris[i].iode);
        }
        writeBitsI32(buffer, c, 17, correctionDifferenceField(iono[i]));
    }
    return rtcm3FinishFrame(buffer, c);
}

int encodeRtcm1015(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part, int* partCount)
{
    return encodeMac(clientIndex, buffer, auxNumber, multipleMessage, part, partCount, false, false);
}

int encodeRtcm1017(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part, int* partCount)
{
    return encodeMac(clientIndex, buffer, auxNumber, multipleMessage, part, partCount, false, true);
}

int encodeRtcm1037(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part, int* partCount)
{
    return encodeMac(clientIndex, buffer, auxNumber, multipleMessage, part, partCount, true, false);
}

int encodeRtcm1039(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part, int* partCount)
{
    return encodeMac(clientIndex, buffer, auxNumber, multipleMessage, part, partCount, true, true);
}
