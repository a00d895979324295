#include "formats/nct/nct_decode.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/ephemeris.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/ionosphere.h"
#include "core/orbits.h"
#include "core/records.h"
#include "core/startup_files.h"
#include "core/troposphere.h"
#include "formats/nct/nct_encode.h"
#include "formats/nct/nct_frame.h"
#include "platform/clock.h"
#include "platform/console.h"

using namespace nct;

namespace {

constexpr double lightMsMetres = 299792.458;
constexpr double l1CodeUnit = 0.011893375;
constexpr double l1PhaseUnit = 0.0007433359375;
constexpr double l2PhaseUnit = 0.0009539453125;
// sf3000 phase units: GPS 2^-23 m; GLONASS 0.5 mm with the opposite sign.
constexpr double sfGpsPhaseUnit = 1.1920928955078125e-07;
constexpr double sfGloPhaseUnit = -0.0005;
constexpr int32_t sfNoPhase = -8388608;
constexpr uint32_t weekMs = 604800000;

bool validBase(int baseIndex) { return baseIndex >= 0 && baseIndex < maxBases; }

// The recogniser derived the length from the frame's own length field; a
// caller that passes another length gets nothing decoded.
bool lengthFieldMatches(const uint8_t* f, uint32_t len)
{
    return len >= 6 && readU16(f + 4) + 4 == len;
}

uint16_t crcHighFirstAt(const uint8_t* f, uint32_t at) { return uint16_t(f[at] << 8 | f[at + 1]); }
uint16_t crcLowFirstAt(const uint8_t* f, uint32_t at) { return uint16_t(f[at + 1] << 8 | f[at]); }

// The station number latch: the first frame sets it; another number drops
// the frame and clears the latch so that the next frame sets it anew.
bool stationAccepted(BaseStation& b, uint16_t station, const char* mismatchText)
{
    if (b.stationId == 0) b.stationId = station;
    if (b.stationId == station) return true;
    b.stationId = 0;
    if (debugPrint) consolePrintf("%s%u\n", mismatchText, unsigned(station));
    return false;
}

// An epoch earlier than the base's last one (and not a week rollover) is old.
bool olderThanLastEpoch(const BaseStation& b, uint32_t epochMs)
{
    return epochMs < b.gpsTowMs && b.gpsTowMs - epochMs < 604000000u;
}

void refreshTroposphere(BaseStation& b)
{
    const double lat = b.latitude, h = b.ellipsoidHeight;
    for (int i = 0; i < gpsSatEntries; ++i) {
        b.gpsSat[i].tropoDelay = tropoDelay(b.gpsSat[i].elevation, lat, h);
        b.galSat[i].tropoDelay = tropoDelay(b.galSat[i].elevation, lat, h);
    }
    for (auto& s : b.gloSat) s.tropoDelay = tropoDelay(s.elevation, lat, h);
    for (auto& s : b.bdsSat) s.tropoDelay = tropoDelay(s.elevation, lat, h);
}

// The sourcetable position, to two decimals, when the STR line gave none.
double twoDecimals(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", v);
    return std::strtod(text, nullptr);
}

void appendf(std::string& out, const char* format, double value)
{
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

void appendf(std::string& out, const char* format, int value)
{
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

void appendHexDump(std::string& out, const uint8_t* f, uint32_t len)
{
    char text[8];
    for (uint32_t i = 0; i < len; ++i) {
        std::snprintf(text, sizeof text, "0x%2.2x ", f[i]);
        out += text;
    }
    out += "\r\n\r\n";
}

int decode5E2100D(const uint8_t* f, uint32_t len, BaseStation& b, uint32_t now)
{
    const uint32_t crcAt = len - 4;
    const uint32_t n = f[7];
    if (crcAt < 16 || 16 + 15 * n > crcAt) return 0;
    const uint32_t week = readU16(f + 8);
    const uint32_t seconds = readU32(f + 10);
    const uint16_t station = uint16_t(readU16(f + 14));

    consoleLine("message 5E version 2100D gps");
    consolePrintf("dataLength     %u\n", unsigned(len - 4));
    consolePrintf("Command Act    %u\n", unsigned(f[6]));
    consolePrintf("number cor     %u\n", unsigned(n));
    consolePrintf("GPS week       %u\n", unsigned(week));
    consolePrintf("GPS seconds    %u\n", unsigned(seconds));
    consolePrintf("site ID        %u\n", unsigned(station));

    if (!stationAccepted(b, station, "NCT ERROR station number mismatch 5E vers1  ")) return 0;
    // Not a time of week: it would throw the program-wide time off.
    if (seconds >= weekMs / 1000) return 0;
    const uint32_t epoch = seconds * 1000;
    if (olderThanLastEpoch(b, epoch)) {
        consoleLine("GPS tow less than current NCT 5E");
        return 0;
    }
    b.gpsTowMs = epoch;
    setGpsTow(epoch);
    updateGpsOrbits();
    updateGpsWeek(fullGpsWeek(week));

    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* k = f + 16 + 15 * i;
        // Five bits of PRN: 0 is PRN 32, which lives in entry 0.
        GpsSatObs& sat = b.gpsSat[k[0] & 0x1F];
        sat.codeIndicator[0] = (k[0] >> 6) & 1;
        sat.codeIndicator[1] = (k[0] >> 7) & 1;
        b.gpsSmoothing = sat.codeIndicator[1];
        b.gpsSmoothingInterval = sat.codeIndicator[1] ? 3 : 0;
        sat.cn0[0] = float(k[1] * 0.25);
        sat.cn0[1] = float(k[2] * 0.25);
        sat.codeRange[0] = readU32(k + 3) * l1CodeUnit;
        double rest = sat.codeRange[0];
        uint8_t ambiguity = 0;
        while (rest > lightMsMetres) {
            rest -= lightMsMetres;
            ++ambiguity;
        }
        sat.ambiguityMs = ambiguity;
        sat.l2MinusL1Code = readS16(k + 7) * l1CodeUnit;
        sat.codeRange[1] = sat.codeRange[0] + sat.l2MinusL1Code;
        const int32_t l1Word = readS24(k + 9);
        const int32_t l2Word = readS24(k + 12);
        sat.l1PhaseMinusCode = (l1Word >> 4) * l1PhaseUnit;
        sat.phaseRange[0] = sat.codeRange[0] + sat.l1PhaseMinusCode;
        sat.phaseRange[1] = sat.codeRange[1] + (l2Word >> 4) * l2PhaseUnit;
        sat.valid = 1;
        sat.slipCount = sat.nctNibble[0] = uint8_t(l1Word & 0xF);
        sat.nctNibble[1] = uint8_t(l2Word & 0xF);
        sat.lastUpdateTime = now;
        sat.epochMs = b.gpsTowMs;
        sat.lockIndicator[0] = sat.lockIndicator[1] = 23;
        sat.magFieldNt = b.magFieldNt;
        estimateIonoGps(sat);
    }
    b.gpsSatCount = n;
    b.gloSatCount = 0;
    return int(n);
}

// L2 minus L1 code of an sf3000 block: 14 bits, bit 13 the sign, 0.02 m.
double sfL2CodeDifference(const uint8_t* k)
{
    int32_t v = int32_t(readU16(k + 8) & 0x3FFF);
    if (v & 0x2000) v -= 0x4000;
    return v * 0.02;
}

int32_t sfPhase(const uint8_t* p)
{
    const int32_t v = readS24(p);
    return v == sfNoPhase ? 0 : v;
}

int decode5ESf3000(const uint8_t* f, uint32_t len, BaseStation& b, uint32_t now)
{
    const uint32_t crcAt = len - 4;
    const uint32_t n = f[7] >> 2;
    // Blocks are 8 or 14 bytes; every one must end before the CRC.
    uint32_t p = 14;
    for (uint32_t i = 0; i < n; ++i) {
        if (p >= crcAt) return 0;
        p += (f[p] & 0x40) ? 14 : 8;
        if (p > crcAt) return 0;
    }

    const uint32_t counter = (readU16(f + 10) >> 3) & 0x7F;
    const uint32_t ticks = (readU24(f + 11) >> 2) & 0xFFFFF;
    uint32_t seconds = currentGpsTowMs.load() / 1000;
    bool matched = false;
    for (int i = 0; i < 10 && !matched; ++i) {
        uint32_t out = 0;
        matched = nctCountTicks(seconds, ticks, counter, out);
        seconds = out;
    }
    // Started from the last epoch's second, the steps above settle one
    // second short whenever the counter wrapped in between (3 seconds in
    // 128): the frame's second is then the one next to it whose tick count
    // and counter are the frame's.
    if (!matched) {
        for (int d : {1, -1, 2, -2}) {
            const uint32_t candidate = seconds + uint32_t(d);
            uint32_t out = 0;
            if (nctCountTicks(candidate, ticks, counter, out) && out == candidate) {
                seconds = candidate;
                break;
            }
        }
    }
    if (seconds >= weekMs / 1000) return 0;
    const uint32_t epoch = seconds * 1000;
    uint32_t gloSeconds = seconds + 10799 - gpsUtcLeapSeconds;
    while (gloSeconds > 86400) gloSeconds -= 86400;
    const uint32_t gloEpoch = gloSeconds * 1000;
    if (olderThanLastEpoch(b, epoch)) {
        consoleLine("GPS tow less than current NCT 5E");
        return 0;
    }
    b.gpsTowMs = epoch;
    b.gloEpochMs = gloEpoch;
    setGpsTow(epoch);
    setGloTod(gloEpoch);
    updateGloOrbits();
    updateGpsOrbits();

    std::string log;
    const bool logging = logToFile;
    uint32_t gpsCount = 0, gloCount = 0;
    p = 14;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* k = f + p;
        const bool hasL2 = (k[0] & 0x40) != 0;
        p += hasL2 ? 14 : 8;
        const uint32_t system = k[1] & 0x3;
        const int number = k[1] >> 2;
        const double code = readU24(k + 2) * 0.02;
        const int32_t l1Raw = readS24(k + 5);
        const int32_t l1Phase = sfPhase(k + 5);
        const int32_t l2Raw = hasL2 ? readS24(k + 11) : 0;
        const int32_t l2Phase = hasL2 ? sfPhase(k + 11) : 0;
        const uint8_t l2Status = hasL2 ? k[10] : 0;

        if (system == 0) {
            // PRN 1..32 (32 in entry 0); anything else has no entry.
            if (number < 1 || number > 32) continue;
            GpsSatObs& sat = b.gpsSat[gpsSatIndex(number)];
            sat.epochMs = epoch;
            sat.nctByte = k[0] & 0x3F;
            sat.valid = 0;
            double modulo = code;
            while (modulo > lightMsMetres) modulo -= lightMsMetres;
            sat.l1CodeModulo = modulo + 20.0;
            sat.l1PhaseMinusCode = l1Phase * sfGpsPhaseUnit;
            sat.ambiguityMs = 1;
            sat.lockIndicator[0] = 127;
            sat.lockIndicator[1] = 0;
            sat.codeRange[0] = sat.l1CodeModulo + lightMsMetres;
            sat.phaseRange[0] = l1Phase == 0 ? 0 : sat.codeRange[0] + sat.l1PhaseMinusCode;
            if (hasL2) {
                sat.lockIndicator[1] = 127;
                if (l2Status < 0x25 || l2Status > 0x2D)
                    consolePrintf("unknown L2 byte value is = %d\n", int(l2Status));
                sat.l2MinusL1Code = sfL2CodeDifference(k);
                sat.codeRange[1] = sat.codeRange[0] + sat.l2MinusL1Code;
                if (l2Phase == 0) {
                    sat.l2PhaseMinusCode = sat.phaseRange[1] = 0;
                } else {
                    sat.l2PhaseMinusCode = l2Phase * sfGpsPhaseUnit;
                    sat.phaseRange[1] = sat.codeRange[0] + sat.l2PhaseMinusCode;
                }
            } else {
                sat.l2MinusL1Code = sat.l2PhaseMinusCode = 0;
                sat.codeRange[1] = sat.phaseRange[1] = 0;
            }
            sat.lastUpdateTime = now;
            sat.magFieldNt = b.magFieldNt;
            estimateIonoGps(sat);
            ++gpsCount;
            if (logging) {
                appendf(log, "NCT 5E TOW%d\r\n", int(epoch));
                appendf(log, "NCT 5E GPS PRN  %d\r\n", number);
                appendf(log, "L1 shortPseud =  %lf\r\n", sat.l1CodeModulo);
                appendf(log, "L2 pseudoDiff =  %lf\r\n", sat.l2MinusL1Code);
                appendf(log, "L1 phaseDiff  =  %lf\r\n", sat.l1PhaseMinusCode);
                appendf(log, "L2 phaseDiff  =  %lf\r\n", sat.l2PhaseMinusCode);
                appendf(log, "L1 diff raw   =  %d\r\n", int(l1Raw));
                appendf(log, "L2 diff raw   =  %d\r\n", int(l2Raw));
                appendf(log, "L1 byte snr?  =  %d\r\n", int(k[0]));
                appendf(log, "L2 byte snr?  =  %d\r\n", int(l2Status));
            }
        } else if (system == 1) {
            // Slot 1..24 (24 in entry 0); anything else has no entry.
            if (number < 1 || number > 24) continue;
            const int index = gloSatIndex(number);
            GloSatObs& sat = b.gloSat[index];
            sat.freqChannel = glonassChannelOf(index);
            sat.epochMs = gloEpoch;
            sat.nctByte = k[0];
            sat.valid = 0;
            sat.l1CodeModulo = code;
            sat.l1PhaseMinusCode = l1Phase * sfGloPhaseUnit;
            sat.lockIndicator[0] = sat.lockIndicator[1] = 127;
            sat.ambiguityMs = 1;
            double full = code;
            while (full < 2 * lightMsMetres) full += lightMsMetres;
            sat.codeRange[0] = full;
            sat.phaseRange[0] = l1Phase == 0 ? 0 : sat.codeRange[0] + sat.l1PhaseMinusCode;
            if (hasL2) {
                sat.l2MinusL1Code = sfL2CodeDifference(k);
                sat.codeRange[1] = sat.codeRange[0] + sat.l2MinusL1Code;
                if (l2Phase == 0) {
                    sat.l2PhaseMinusCode = sat.phaseRange[1] = 0;
                } else {
                    sat.l2PhaseMinusCode = l2Phase * sfGloPhaseUnit;
                    sat.phaseRange[1] = sat.codeRange[0] + sat.l2PhaseMinusCode;
                }
            } else {
                sat.l2MinusL1Code = sat.l2PhaseMinusCode = 0;
                sat.codeRange[1] = sat.phaseRange[1] = 0;
            }
            sat.lastUpdateTime = now;
            sat.magFieldNt = b.magFieldNt;
            estimateIonoGlo(sat, number);
            ++gloCount;
        }
        // Other systems: the block is passed over whole.
    }
    if (logging) {
        log += "hex format NCT 5E\r\n";
        appendHexDump(log, f, len);
        writeLogFile(log);
    }
    b.gpsSatCount = gpsCount;
    b.gloSatCount = gloCount;
    return int(n);
}

}  // namespace

int decodeNct5B(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex, bool store)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = baseStation[baseIndex];
    const uint8_t* f = buf + pos;
    const uint32_t now = uint32_t(wallTime());
    if (!xorMatches(f, len)) {
        consoleLine("checksum error 5B");
        return 0;
    }
    if (!lengthFieldMatches(f, len)) return 0;
    // The CRC stands just before the XOR byte, or two bytes earlier when the
    // receiver appends two more bytes after it.
    uint32_t crcAt = 0;
    if (len >= 20 && calcCrc16Xmodem(f, dataStart, len - 4) == crcHighFirstAt(f, len - 4))
        crcAt = len - 4;
    else if (len >= 22 && calcCrc16Xmodem(f, dataStart, len - 6) == crcHighFirstAt(f, len - 6))
        crcAt = len - 6;
    if (crcAt == 0) {
        consoleLine("CRC error 5B 3000 version");
        return 0;
    }
    const uint32_t n = f[7];
    if (16 + 18 * n > crcAt) return 0;
    const uint32_t epoch = readU32(f + 10);
    const uint16_t station = uint16_t(readU16(f + 14));
    if (!stationAccepted(b, station, "NCT ERROR station number mismatch 5B ")) return 0;
    // Not a time of week: it would throw the program-wide time off.
    if (epoch >= weekMs) return 0;

    b.gpsTowMs = epoch;
    setGpsTow(epoch);
    updateGpsOrbits();
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* k = f + 16 + 18 * i;
        // Five bits of PRN: 0 is PRN 32, which lives in entry 0.
        GpsSatObs& sat = b.gpsSat[k[0] & 0x1F];
        if (store) {
            sat.lastUpdateTime = now;
            sat.nctRefWord = k[1];
            sat.epochMs = epoch;
        }
        sat.nctNibble[0] = k[17] & 0xF;
        sat.nctNibble[1] = k[17] >> 4;
    }
    return int(n);
}

bool decodeNct5C(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex)
{
    if (!validBase(baseIndex)) return false;
    BaseStation& b = baseStation[baseIndex];
    const uint8_t* f = buf + pos;
    if (!xorMatches(f, len)) {
        consoleLine("checksum     error    5C");
        return false;
    }
    if (!lengthFieldMatches(f, len)) return false;
    // The receiver layout follows from the length; an unknown one carries no
    // position we could trust.
    const char* crcError;
    bool millimetres;
    switch (len - 4) {
    case 22: crcError = "CRC error 5C 2000D vers"; millimetres = false; break;
    case 24: crcError = "CRC error 5C 2100D vers"; millimetres = true; break;
    case 25: crcError = "CRC error 5C 3000 vers"; millimetres = true; break;
    default: return false;
    }
    if (calcCrc16Xmodem(f, dataStart, 22) != crcHighFirstAt(f, 22)) {
        consoleLine(crcError);
        return false;
    }
    const int32_t cm[3] = {readS32(f + 10), readS32(f + 14), readS32(f + 18)};
    double xyz[3] = {cm[0] / 100.0, cm[1] / 100.0, cm[2] / 100.0};
    if (millimetres) {
        // X in bits 15-12, Y in 11-8, Z in 7-4. The digit is of the
        // magnitude, so it moves the value away from zero.
        const uint32_t word = readU16(f + 24);
        const uint32_t mm[3] = {(word >> 12) & 0xF, (word >> 8) & 0xF, (word >> 4) & 0xF};
        for (int i = 0; i < 3; ++i) xyz[i] += (cm[i] < 0 ? -1.0 : 1.0) * mm[i] / 1000.0;
    }
    double latRad, lonRad, latDeg, lonDeg, height;
    if (!ecefToGeodeticNct(xyz[0], xyz[1], xyz[2], latRad, lonRad, latDeg, lonDeg, height))
        return false;
    if (!std::isfinite(latRad) || !std::isfinite(lonRad) || !std::isfinite(latDeg) ||
        !std::isfinite(lonDeg) || !std::isfinite(height))
        return false;

    b.ecefX = xyz[0];
    b.ecefY = xyz[1];
    b.ecefZ = xyz[2];
    b.latitudeRad = latRad;
    b.longitudeRad = lonRad;
    b.latitude = latDeg;
    b.longitude = lonDeg;
    b.ellipsoidHeight = height;
    refreshTroposphere(b);
    if (b.strLatitude == 0) b.strLatitude = twoDecimals(b.latitude);
    if (b.strLongitude == 0) b.strLongitude = twoDecimals(b.longitude);
    return true;
}

int decodeNct5E(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    BaseStation& b = baseStation[baseIndex];
    const uint8_t* f = buf + pos;
    const uint32_t now = uint32_t(wallTime());
    if (!xorMatches(f, len)) {
        consoleLine("checksum error 5E");
        return 0;
    }
    if (!lengthFieldMatches(f, len)) return 0;
    // The byte order of the CRC tells the two receiver layouts apart. A CRC
    // of two equal bytes (one in 256) reads the same both ways: a frame the
    // 2100D layout cannot hold is then an sf3000 frame, never a lost one.
    if (len >= 18) {
        const uint16_t crc = calcCrc16Xmodem(f, dataStart, len - 4);
        const bool highFirst = crc == crcHighFirstAt(f, len - 4);
        const bool lowFirst = crc == crcLowFirstAt(f, len - 4);
        const bool fits2100D = 16 + 15 * uint32_t(f[7]) <= len - 4;
        if (highFirst && (fits2100D || !lowFirst)) return decode5E2100D(f, len, b, now);
        if (lowFirst) return decode5ESf3000(f, len, b, now);
    }
    consoleLine("CRC error 5E vers sf3000");
    return 0;
}

void decodeNct61(const uint8_t* buf, uint32_t pos, uint32_t len, int /*baseIndex*/)
{
    const uint8_t* f = buf + pos;
    if (!xorMatches(f, len)) consoleLine("checksum error 61");
    if (!logToFile) return;
    std::string text = "hex format NCT 61\r\n";
    appendHexDump(text, f, len);
    writeLogFile(text);
}
