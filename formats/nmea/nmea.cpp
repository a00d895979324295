#include "formats/nmea/nmea.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/base_station.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

int hexValue(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

// Index of the first '*' after pos, or length when there is none.
uint32_t findStar(const char* buffer, uint32_t pos, uint32_t length)
{
    for (uint32_t i = pos + 1; i < length; ++i)
        if (buffer[i] == '*') return i;
    return length;
}

// NMEA allows 82 characters; receivers that run over it still stay far
// below this.
constexpr uint32_t maxNmeaSentence = 200;

// True when the sentence whose '$' is at pos ends with a '*' and two
// checksum digits inside the data and the checksum holds.
bool sentenceIntact(const char* buffer, uint32_t pos, uint32_t length, uint32_t& star)
{
    star = findStar(buffer, pos, length);
    if (star >= length || length - star < 3) return false;
    return checkNmeaChecksum(buffer, pos + 1, star, length);
}

// Talker (2 characters) and type (3) follow the '$'.
bool sentenceType(const char* buffer, uint32_t pos, uint32_t star, const char* type)
{
    return star >= pos + 6 && std::memcmp(buffer + pos + 3, type, 3) == 0;
}

// Walks the comma-separated fields of one sentence, never past its '*'.
struct FieldWalker {
    const char* buffer;
    uint32_t cursor;   // index of the comma before the next field
    uint32_t end;      // index of the '*'

    // The next field's start and length; false at the end of the sentence.
    bool next(uint32_t& start, uint32_t& length)
    {
        if (cursor >= end || buffer[cursor] != ',') return false;
        start = cursor + 1;
        uint32_t i = start;
        while (i < end && buffer[i] != ',') ++i;
        length = i - start;
        cursor = i;
        return true;
    }
};

// A field copied out with its terminator, so that the C conversions stop
// inside it. Longer fields are cut; no number the caster reads is that long.
struct FieldText {
    char text[32];
    FieldText(const char* buffer, uint32_t start, uint32_t length)
    {
        if (length > sizeof text - 1) length = sizeof text - 1;
        std::memcpy(text, buffer + start, length);
        text[length] = '\0';
    }
};

// Leading integer of a field, as atoi reads it, held within int.
int fieldInt(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

// Leading decimal number of a field; false when it is not finite as a float.
bool fieldFloat(const char* text, float& out)
{
    out = float(std::strtod(text, nullptr));
    return std::isfinite(out);
}

// ddmm.mmmm (latitude, two degree digits) or dddmm.mmmm (three).
bool fieldDegrees(const char* text, int degreeDigits, float& out)
{
    char degrees[4] = {};
    size_t n = std::strlen(text);
    size_t d = n < size_t(degreeDigits) ? n : size_t(degreeDigits);
    std::memcpy(degrees, text, d);
    double value = std::strtod(degrees, nullptr) + std::strtod(text + d, nullptr) / 60.0;
    out = float(value);
    return std::isfinite(out);
}

// Entry index of a GSV satellite number, by talker; -1 when it has none.
int gsvEntry(const char* talker, int number, int& system)
{
    if (talker[0] == 'G' && talker[1] == 'P') {
        system = 0;
        if (number >= 1 && number <= 31) return number;
        return number == 32 ? 0 : -1;
    }
    if (talker[0] == 'G' && talker[1] == 'L') {
        // GLONASS slots 1-24 arrive as 38-61.
        system = 1;
        if (number < 38 || number > 61) return -1;
        return gloSatIndex(number - 37);
    }
    if (talker[0] == 'B' && talker[1] == 'D') {
        // BeiDou 1-64 arrive as 141-204.
        system = 2;
        if (number < 141 || number > 204) return -1;
        return bdsSatIndex(number - 140);
    }
    return -1;
}

}   // namespace

bool checkNmeaChecksum(const char* buffer, uint32_t start, uint32_t star, uint32_t length)
{
    bool ok = false;
    if (star < length && length - star >= 3 && start <= star) {
        int hi = hexValue(buffer[star + 1]);
        int lo = hexValue(buffer[star + 2]);
        uint8_t sum = 0;
        for (uint32_t i = start; i < star; ++i) sum ^= uint8_t(buffer[i]);
        ok = hi >= 0 && lo >= 0 && sum == uint8_t(hi << 4 | lo);
    }
    if (debugPrint) consoleLine(ok ? "DEBUG NMEA checksum OK! " : "DEBUG NMEA checksum failed");
    return ok;
}

int findNmeaSentence(const char* buffer, uint32_t pos, uint32_t length, uint32_t& sentenceLength)
{
    if (buffer == nullptr || pos >= length || buffer[pos] != '$') return nmeaNone;
    // The base scan asks at every '$': only a GGA or GSV header within a
    // sentence's reach is worth a search for its '*', so a stream of '$'
    // without '*' costs a few compares per byte, not a walk to the end.
    if (length - pos < 6) return nmeaNone;
    if (std::memcmp(buffer + pos + 3, "GGA", 3) != 0 && std::memcmp(buffer + pos + 3, "GSV", 3) != 0)
        return nmeaNone;
    const uint32_t reach = length - pos > maxNmeaSentence ? pos + maxNmeaSentence : length;
    uint32_t star = 0;
    if (!sentenceIntact(buffer, pos, reach, star)) return nmeaNone;
    int code = nmeaNone;
    if (sentenceType(buffer, pos, star, "GGA")) code = nmeaGga;
    else if (sentenceType(buffer, pos, star, "GSV")) code = nmeaGsv;
    if (code != nmeaNone) sentenceLength = star - pos + 3;
    return code;
}

bool parseGsv(const char* buffer, uint32_t pos, uint32_t length, int baseIndex)
{
    if (buffer == nullptr || baseIndex < 0 || baseIndex >= maxBases) return false;
    if (pos >= length || buffer[pos] != '$') return false;
    uint32_t star = 0;
    if (!sentenceIntact(buffer, pos, length, star)) return false;
    if (!sentenceType(buffer, pos, star, "GSV")) return false;

    BaseStation& b = baseStation[baseIndex];
    const char* talker = buffer + pos + 1;
    FieldWalker w{buffer, pos + 6, star};
    uint32_t start = 0, n = 0;
    // Number of sentences, sentence number, satellites in view.
    for (int i = 0; i < 3; ++i)
        if (!w.next(start, n)) return true;

    // Up to four satellites; the last sentence of a group may hold fewer,
    // and a satellite's fields may be empty (SNR of one not tracked).
    for (int sat = 0; sat < 4; ++sat) {
        uint32_t fs[4], fl[4];
        int got = 0;
        while (got < 4 && w.next(fs[got], fl[got])) ++got;
        if (got == 0) break;
        // Without a number, an elevation and an azimuth there is nothing to
        // place; a value of another satellite must not stand in.
        if (got < 3 || fl[0] == 0 || fl[1] == 0 || fl[2] == 0) continue;
        int number = fieldInt(FieldText(buffer, fs[0], fl[0]).text);
        int elevation = fieldInt(FieldText(buffer, fs[1], fl[1]).text);
        int azimuth = fieldInt(FieldText(buffer, fs[2], fl[2]).text);
        if (elevation < -90 || elevation > 90 || azimuth < 0 || azimuth > 360) continue;
        int system = -1;
        int idx = gsvEntry(talker, number, system);
        if (idx < 0) continue;
        if (system == 0) {
            b.gpsSat[idx].elevation = int16_t(elevation);
            b.gpsSat[idx].azimuth = uint16_t(azimuth);
        } else if (system == 1) {
            b.gloSat[idx].elevation = int16_t(elevation);
            b.gloSat[idx].azimuth = uint16_t(azimuth);
        } else {
            b.bdsSat[idx].elevation = int16_t(elevation);
            b.bdsSat[idx].azimuth = uint16_t(azimuth);
        }
    }
    return true;
}

bool parseGga(const char* buffer, uint32_t start, uint32_t length, float& latitude,
              float& longitude, int& fixQuality, int& satellites, float& hdop, float& altitude,
              float& correctionAge, int& refStationId)
{
    if (buffer == nullptr) return false;
    uint32_t pos = start;
    uint32_t star = 0;
    for (;; ++pos) {
        while (pos < length && buffer[pos] != '$') ++pos;
        if (pos >= length) return false;
        if (!sentenceIntact(buffer, pos, length, star)) continue;
        // Another sentence with a good checksum ends the search.
        if (!sentenceType(buffer, pos, star, "GGA")) return false;
        break;
    }

    float lat = 0, lon = 0, dop = 0, alt = 0, age = 0;
    int fix = 0, sats = 0, station = 0;
    FieldWalker w{buffer, pos + 6, star};
    uint32_t fs = 0, fl = 0;
    for (int field = 1; field <= 14; ++field) {
        if (!w.next(fs, fl)) return false;
        FieldText f(buffer, fs, fl);
        bool ok = true;
        switch (field) {
        case 2: ok = fieldDegrees(f.text, 2, lat) && std::fabs(lat) <= 90; break;
        case 3: if (f.text[0] == 'S' || f.text[0] == 's') lat = -lat; break;
        case 4: ok = fieldDegrees(f.text, 3, lon) && std::fabs(lon) <= 180; break;
        case 5: if (f.text[0] == 'W' || f.text[0] == 'w') lon = -lon; break;
        case 6: fix = (f.text[0] >= '0' && f.text[0] <= '9') ? f.text[0] - '0' : 0; break;
        case 7: sats = fieldInt(f.text); break;
        case 8: ok = fieldFloat(f.text, dop); break;
        case 9: ok = fieldFloat(f.text, alt); break;
        case 13: ok = fieldFloat(f.text, age); break;
        case 14: station = fieldInt(f.text); break;
        default: break;   // time, units and geoid separation are not kept
        }
        if (!ok) return false;
    }
    latitude = lat;
    longitude = lon;
    fixQuality = fix;
    satellites = sats;
    hdop = dop;
    altitude = alt;
    correctionAge = age;
    refStationId = station;
    return true;
}
