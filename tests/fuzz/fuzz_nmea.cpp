// NMEA sentence finder, GSV and GGA parsers over arbitrary bytes, scanned
// the way a base's and a rover's receive buffers are.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/nmea/nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        return true;
    }();
    (void)ready;
    // A heap copy of exactly the input's size: a read past its end is a
    // sanitizer report.
    if (size > 4096) size = 4096;
    char* buf = new char[size ? size : 1];
    std::memcpy(buf, data, size);
    uint32_t length = uint32_t(size);

    for (uint32_t pos = 0; pos < length; ++pos) {
        uint32_t sentenceLength = 0;
        int code = findNmeaSentence(buf, pos, length, sentenceLength);
        if (code == nmeaNone) continue;
        if (sentenceLength == 0 || pos + sentenceLength > length) __builtin_trap();
        if (code == nmeaGsv) parseGsv(buf, pos, length, 0);
    }
    float lat, lon, hdop, alt, age;
    int fix, sats, station;
    if (parseGga(buf, 0, length, lat, lon, fix, sats, hdop, alt, age, station)) {
        if (!std::isfinite(lat) || !std::isfinite(lon) || !std::isfinite(hdop) ||
            !std::isfinite(alt) || !std::isfinite(age) || std::fabs(lat) > 90 || std::fabs(lon) > 180)
            __builtin_trap();
    }
    for (const GpsSatObs& s : baseStation[0].gpsSat)
        if (s.elevation < -90 || s.elevation > 90 || s.azimuth > 360) __builtin_trap();
    delete[] buf;
    return 0;
}
