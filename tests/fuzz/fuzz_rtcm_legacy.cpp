// First byte: which legacy observation decoder (1003, 1004, 1011, 1012,
// 1104); the rest: a payload, wrapped in a frame with a valid CRC-24Q so
// the decoder is reached whatever the payload says.
#include <cstddef>
#include <cstdint>

#include "base_record_checks.h"
#include "core/checksum.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
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

    const int base = data[0] / 5 % maxBases;
    consoleCaptureStart();
    switch (data[0] % 5) {
    case 0: decodeRtcm1003(frame, 0, base); break;
    case 1: decodeRtcm1004(frame, 0, base); break;
    case 2: decodeRtcm1011(frame, 0, base); break;
    case 3: decodeRtcm1012(frame, 0, base); break;
    default: decodeRtcm1104(frame, 0, base); break;
    }
    consoleCaptureStop();
    checkBaseRecord(baseStation[base]);
    return 0;
}
