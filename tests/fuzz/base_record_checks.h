#pragma once
// What no input may leave behind in a base record: a NaN or infinity in a
// position or range, a GLONASS channel outside the tables, a descriptor
// longer than the rebuilt station messages can carry.

#include <cmath>
#include <cstdlib>

#include "core/base_station.h"

// The checks are not part of what is fuzzed: no coverage feedback from them.
#define FUZZ_CHECK __attribute__((no_sanitize("coverage")))

FUZZ_CHECK inline void requireFinite(double v)
{
    if (!std::isfinite(v)) std::abort();
}

template <typename Sat>
FUZZ_CHECK inline void checkSatellites(const Sat* sats, int n, int signals)
{
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < signals; ++k) {
            requireFinite(sats[i].codeRange[k]);
            requireFinite(sats[i].phaseRange[k]);
            requireFinite(sats[i].cn0[k]);
        }
        requireFinite(sats[i].tropoDelay);
    }
}

FUZZ_CHECK inline void checkBaseRecord(const BaseStation& b)
{
    for (double v : {b.ecefX, b.ecefY, b.ecefZ, b.latitude, b.longitude, b.latitudeRad,
                     b.longitudeRad, b.ellipsoidHeight, b.antennaHeight, b.strLatitude,
                     b.strLongitude})
        requireFinite(v);
    checkSatellites(b.gpsSat, gpsSatEntries, 3);
    checkSatellites(b.gloSat, gloSatEntries, 2);
    checkSatellites(b.bdsSat, bdsSatEntries, 3);
    for (const GloSatObs& s : b.gloSat)
        if (s.freqChannel > 20) std::abort();
    const std::string* texts[5] = {&b.antennaDescriptor, &b.antennaSerial, &b.receiverType,
                                   &b.receiverSerial, &b.firmwareVersion};
    for (int i = 0; i < 5; ++i)
        if (texts[i]->size() > 31 || texts[i]->size() != b.descriptorLength[i]) std::abort();
}
