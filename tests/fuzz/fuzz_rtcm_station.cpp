// First byte: which station message decoder (1005, 1006, 1007, 1008, 1013,
// 1033); the rest: a payload, wrapped in a frame with a valid CRC-24Q.
#include <cstddef>
#include <cstdint>

#include "base_record_checks.h"
#include "core/checksum.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        return true;
    }();
    (void)ready;
    if (size < 1 || size > 1024) return 0;
    const uint32_t payload = uint32_t(size - 1);
    auto owned = wrapRtcm3Payload(data + 1, payload);
    uint8_t* frame = owned.get();

    const int base = data[0] / 6 % maxBases;
    consoleCaptureStart();
    switch (data[0] % 6) {
    case 0: decodeRtcm1005(frame, 0, base); break;
    case 1: decodeRtcm1006(frame, 0, base); break;
    case 2: decodeRtcm1007(frame, 0, base); break;
    case 3: decodeRtcm1008(frame, 0, base); break;
    case 4: decodeRtcm1013(frame, 0, base); break;
    default: decodeRtcm1033(frame, 0, base); break;
    }
    consoleCaptureStop();
    checkBaseRecord(baseStation[base]);
    return 0;
}
