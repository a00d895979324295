#include "formats/rtcm3/rtcm3_station_decode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/startup_files.h"
#include "core/troposphere.h"
#include "formats/rtcm3/rtcm3_header.h"
#include "platform/console.h"

namespace {

constexpr double coordinateUnit = 0.0001;   // ECEF and antenna height, metres
constexpr uint32_t announcementBits = 29;   // message number, sync flag, interval
constexpr int descriptorLockWaitMs = 100;

BaseStation* baseOf(int baseIndex)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return nullptr;
    return &baseStation[baseIndex];
}

// Reads message number and station id; the cursor stays after them.
uint16_t readStationId(BitCursor& c, const uint8_t* buf)
{
    uint16_t number = 0, station = 0;
    readBitsU16(number, 12, c, buf);
    readBitsU16(station, 12, c, buf);
    return station;
}

// The sourcetable shows two decimals; the value is the one that text reads back.
double twoDecimals(double degrees)
{
    char text[64];
    snprintf(text, sizeof text, "%.2f", degrees);
    return strtod(text, nullptr);
}

// Satellite elevations come from the base's GSV sentences; every entry's
// delay follows the new station position.
void refreshTroposphere(BaseStation& b)
{
    for (int i = 0; i < 40; ++i) {
        b.gpsSat[i].tropoDelay = tropoDelay(b.gpsSat[i].elevation, b.latitude, b.ellipsoidHeight);
        b.galSat[i].tropoDelay = tropoDelay(b.galSat[i].elevation, b.latitude, b.ellipsoidHeight);
    }
    for (auto& s : b.gloSat) s.tropoDelay = tropoDelay(s.elevation, b.latitude, b.ellipsoidHeight);
    for (auto& s : b.bdsSat) s.tropoDelay = tropoDelay(s.elevation, b.latitude, b.ellipsoidHeight);
}

// 1005 and 1006 share their layout; 1006 adds the antenna height.
bool decodePosition(const uint8_t* buf, uint32_t position, int baseIndex, bool withHeight)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return false;
    BaseStation& b = *base;

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const uint16_t station = readStationId(c, buf);
    uint8_t itrf = 0, gps = 0, glo = 0, gal = 0, refStation = 0, oscillator = 0, reserved = 0,
            quarterCycle = 0;
    int64_t x = 0, y = 0, z = 0;
    uint16_t height = 0;
    readBitsU8(itrf, 6, c, buf);
    readBitsU8(gps, 1, c, buf);
    readBitsU8(glo, 1, c, buf);
    readBitsU8(gal, 1, c, buf);
    readBitsU8(refStation, 1, c, buf);
    readBitsI64(x, 38, c, buf);
    readBitsU8(oscillator, 1, c, buf);
    readBitsU8(reserved, 1, c, buf);
    readBitsI64(y, 38, c, buf);
    readBitsU8(quarterCycle, 2, c, buf);
    readBitsI64(z, 38, c, buf);
    if (withHeight) readBitsU16(height, 16, c, buf);
    if (c.overrun) return false;

    if (!acceptStationId(b, station,
                         withHeight ? "RTCM ERROR station number mismatch MT1006"
                                    : "RTCM ERROR station number mismatch MT1005",
                         false))
        return false;

    b.itrfYear = itrf;
    b.gpsIndicator = gps;
    b.gloIndicator = glo;
    b.galIndicator = gal;
    b.singleOscillator = oscillator;
    b.ecefX = double(x) * coordinateUnit;
    b.ecefY = double(y) * coordinateUnit;
    b.ecefZ = double(z) * coordinateUnit;
    if (withHeight) b.antennaHeight = height * coordinateUnit;

    // A base that does not know its position sends zeros: there is nothing
    // to convert, and the previous geodetic position stays.
    double latRad = 0, lonRad = 0, latDeg = 0, lonDeg = 0, h = 0;
    if (ecefToGeodetic(b.ecefX, b.ecefY, b.ecefZ, latRad, lonRad, latDeg, lonDeg, h)) {
        b.latitudeRad = latRad;
        b.longitudeRad = lonRad;
        b.latitude = latDeg;
        b.longitude = lonDeg;
        b.ellipsoidHeight = h;
        refreshTroposphere(b);
        if (b.strLatitude == 0) b.strLatitude = twoDecimals(b.latitude);
        if (b.strLongitude == 0) b.strLongitude = twoDecimals(b.longitude);
    }

    if (!withHeight) {
        char text[200];
        snprintf(text, sizeof text, "RTCM 1005  pos X   %lf , pos Y   %lf , pos Z   %lf  \r\n",
                 b.ecefX, b.ecefY, b.ecefZ);
        consoleWrite(text);
        writeLogFile(text);
    }
    return true;
}

// A counted text of a descriptor message.
struct CountedText {
    const uint8_t* chars = nullptr;
    uint32_t count = 0;
};

// Reads a count byte and its characters at buf[at]; false when they do not
// lie wholly before `end`.
bool readCountedText(const uint8_t* buf, uint32_t& at, uint32_t end, CountedText& t)
{
    if (at >= end) return false;
    t.count = buf[at++];
    if (end - at < t.count) return false;
    t.chars = buf + at;
    at += t.count;
    return true;
}

bool readByte(const uint8_t* buf, uint32_t& at, uint32_t end, uint8_t& value)
{
    if (at >= end) return false;
    value = buf[at++];
    return true;
}

// Keeps at most maxDescriptorChars of a text: the rebuilt 1008 and 1033
// must fit their buffers. An unchanged text (the usual case) is not written
// again.
void storeText(std::string& field, uint8_t& countField, const CountedText& t)
{
    const uint32_t n = t.count < maxDescriptorChars ? t.count : maxDescriptorChars;
    countField = uint8_t(n);
    if (field.size() != n || memcmp(field.data(), t.chars, n) != 0)
        field.assign(reinterpret_cast<const char*>(t.chars), n);
}

enum DescriptorCount { antennaDescriptorCount, antennaSerialCount, receiverTypeCount,
                       receiverSerialCount, firmwareVersionCount };

// 1007, 1008 and 1033 grow by whole texts; `texts` says how far (1, 2 or 5).
bool decodeDescriptors(const uint8_t* buf, uint32_t position, int baseIndex, int texts,
                       const char* mismatchText)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return false;
    BaseStation& b = *base;

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const uint16_t station = readStationId(c, buf);
    if (c.overrun) return false;

    // Byte-aligned after the station id; the count bytes are the only guide
    // to where each text ends, so all must lie within the payload.
    const uint32_t end = position + 3 + rtcm3PayloadLength(buf, position);
    uint32_t at = position + 6;
    CountedText antenna, antennaSerial, receiverType, firmware, receiverSerial;
    uint8_t setupId = 0;
    if (!readCountedText(buf, at, end, antenna) || !readByte(buf, at, end, setupId))
        return false;
    if (texts >= 2 && !readCountedText(buf, at, end, antennaSerial)) return false;
    if (texts >= 5 && (!readCountedText(buf, at, end, receiverType) ||
                       !readCountedText(buf, at, end, firmware) ||
                       !readCountedText(buf, at, end, receiverSerial)))
        return false;

    if (!acceptStationId(b, station, mismatchText, false)) return false;

    // The sourcetable build copies the texts under the slot's mutex; a text
    // reassigned while it is copied would be read from freed memory. When
    // the mutex cannot be had, the base's next message brings the texts.
    MutexWait lock(b.mutex, descriptorLockWaitMs);
    if (!lock.held()) return false;
    storeText(b.antennaDescriptor, b.descriptorLength[antennaDescriptorCount], antenna);
    b.antennaSetupId = setupId;
    if (texts >= 2)
        storeText(b.antennaSerial, b.descriptorLength[antennaSerialCount], antennaSerial);
    if (texts >= 5) {
        storeText(b.receiverType, b.descriptorLength[receiverTypeCount], receiverType);
        storeText(b.firmwareVersion, b.descriptorLength[firmwareVersionCount], firmware);
        storeText(b.receiverSerial, b.descriptorLength[receiverSerialCount], receiverSerial);
    }
    return true;
}

}  // namespace

bool decodeRtcm1005(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodePosition(buf, position, baseIndex, false);
}

bool decodeRtcm1006(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodePosition(buf, position, baseIndex, true);
}

bool decodeRtcm1007(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeDescriptors(buf, position, baseIndex, 1,
                             "RTCM ERROR station number mismatch MT1007");
}

bool decodeRtcm1008(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeDescriptors(buf, position, baseIndex, 2,
                             "RTCM ERROR station number mismatch MT1008");
}

bool decodeRtcm1033(const uint8_t* buf, uint32_t position, int baseIndex)
{
    return decodeDescriptors(buf, position, baseIndex, 5,
                             "RTCM ERROR station number mismatch MT1033");
}

bool decodeRtcm1013(const uint8_t* buf, uint32_t position, int baseIndex)
{
    BaseStation* base = baseOf(baseIndex);
    if (!base) return false;
    BaseStation& b = *base;

    BitCursor c = rtcm3PayloadCursor(buf, position);
    const uint16_t station = readStationId(c, buf);
    uint16_t mjd = 0;
    uint32_t secondsOfDay = 0;
    uint8_t announcements = 0, leapSeconds = 0;
    readBitsU16(mjd, 16, c, buf);
    readBitsU32(secondsOfDay, 17, c, buf);
    readBitsU8(announcements, 5, c, buf);
    readBitsU8(leapSeconds, 8, c, buf);
    // The announcements are not used, but a frame shorter than its count
    // says is not a 1013 to trust.
    if (c.overrun || bitsRemaining(c) < uint64_t(announcements) * announcementBits) return false;
    // A day before the GPS epoch would make the week negative.
    if (mjd < mjdGpsEpoch) return false;

    if (!acceptStationId(b, station, "RTCM ERROR station number mismatch MT1013", false))
        return false;

    b.mjd = mjd;
    b.leapSeconds = leapSeconds;
    b.secondsOfDay = secondsOfDay;
    b.gpsWeek = uint16_t((mjd - mjdGpsEpoch) / 7);
    updateGpsWeek(b.gpsWeek);
    if (mjd != currentMjd.load()) {
        consoleLine("RTCM1013 updating mjd= " + std::to_string(mjd));
        setMjd(mjd);
    }
    return true;
}
