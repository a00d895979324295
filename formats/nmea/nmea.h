#pragma once
// The two NMEA 0183 sentences the caster reads: GGA from rovers (their
// position) and GSV inside a base's stream (satellite elevation and
// azimuth). Nothing here reads at or past `length`.

#include <cstdint>

constexpr int nmeaGga = -10;
constexpr int nmeaGsv = -11;
constexpr int nmeaNone = 255;

// True when the XOR of buffer[start .. star-1] equals the two hexadecimal
// digits after the '*' at `star` (either case). False when the digits are
// not both before `length` or are not hexadecimal.
bool checkNmeaChecksum(const char* buffer, uint32_t start, uint32_t star, uint32_t length);

// Classifies the sentence whose '$' is at pos: nmeaGga or nmeaGsv with
// sentenceLength set to the bytes from '$' through the second checksum
// digit; nmeaNone (sentenceLength untouched) for anything else, also for a
// sentence whose end has not arrived yet.
int findNmeaSentence(const char* buffer, uint32_t pos, uint32_t length, uint32_t& sentenceLength);

// Stores elevation and azimuth of the satellites listed by the GSV sentence
// at pos into the base's GPS ("GP"), GLONASS ("GL") or BeiDou ("BD") entries.
// True when a GSV sentence with a valid checksum was parsed.
bool parseGsv(const char* buffer, uint32_t pos, uint32_t length, int baseIndex);

// Finds the first GGA sentence from start and reads the rover's position
// and fix. True when a whole GGA sentence was read; the outputs are written
// only then.
bool parseGga(const char* buffer, uint32_t start, uint32_t length, float& latitude,
              float& longitude, int& fixQuality, int& satellites, float& hdop, float& altitude,
              float& correctionAge, int& refStationId);
