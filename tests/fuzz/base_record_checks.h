#pragma once
// What no input may leave behind in a base record: a NaN or infinity in a
// position or range, a GLONASS channel outside the tables, a descriptor
// longer than the rebuilt station messages can carry.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/checksum.h"

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

// Wraps a payload in an RTCM 3 frame with a valid CRC-24Q, in a buffer of
// exactly the frame's size so that a read past its end shows up under the
// sanitizer.
inline std::unique_ptr<uint8_t[]> wrapRtcm3Payload(const uint8_t* payload, uint32_t length)
{
    std::unique_ptr<uint8_t[]> frame(new uint8_t[length + 6]);
    frame[0] = 0xD3;
    frame[1] = uint8_t(length >> 8);
    frame[2] = uint8_t(length & 0xFF);
    for (uint32_t i = 0; i < length; ++i) frame[3 + i] = payload[i];
    appendCrc24q(frame.get(), length + 3);
    return frame;
}
