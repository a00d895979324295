// A whole receive buffer scanned as the base data thread scans it: at each
// position the RTCM 3, CMR and NCT recognisers in turn, then the decoder of
// every recognised RTCM 3 station or legacy observation frame, and the 5D
// check. A frame must lie within the bytes held; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base_record_checks.h"
#include "core/records.h"
#include "formats/frames.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        return true;
    }();
    (void)ready;
    if (size > size_t(rxBufferSize)) size = rxBufferSize;
    const uint32_t end = uint32_t(size);
    const int base = int(size % maxBases);

    consoleCaptureStart();
    uint32_t i = 0;
    while (i < end) {
        uint32_t len = 0;
        int32_t code = checkRtcm3Frame(data, i, end, len);
        if (code == noFrame) code = checkCmrId(data, i, end, len);
        if (code == noFrame) code = checkNctId(data, end, i, len);
        if (code == noFrame) {
            ++i;
            continue;
        }
        if (len == 0 || len > end - i) std::abort();
        switch (code) {
        case 1003: decodeRtcm1003(data, i, base); break;
        case 1004: decodeRtcm1004(data, i, base); break;
        case 1011: decodeRtcm1011(data, i, base); break;
        case 1012: decodeRtcm1012(data, i, base); break;
        case 1104: decodeRtcm1104(data, i, base); break;
        case 1005: decodeRtcm1005(data, i, base); break;
        case 1006: decodeRtcm1006(data, i, base); break;
        case 1007: decodeRtcm1007(data, i, base); break;
        case 1008: decodeRtcm1008(data, i, base); break;
        case 1013: decodeRtcm1013(data, i, base); break;
        case 1033: decodeRtcm1033(data, i, base); break;
        case codeNct5D: checkNct5D(data, i, len); break;
        default: break;
        }
        i += len;
    }
    consoleCaptureStop();
    checkBaseRecord(baseStation[base]);
    return 0;
}
