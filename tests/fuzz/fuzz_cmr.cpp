// CMR and CMR+ frames with an intact envelope (STX, status, type, length,
// 8-bit sum, ETX) around arbitrary data, and the raw bytes as they come: the
// decoders may read only inside the frame, store no NaN, and the builders
// that run on the decoded record afterwards must stay inside one frame.
//
// Input: byte 0 chooses CMR (bit 0 clear) or CMR+ (set), the store flag
// (bit 1) and the base (the rest, modulo 10); the other bytes (at most 255)
// are the frame's data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/cmr/cmr_decode.h"
#include "formats/cmr/cmr_encode.h"
#include "formats/frames.h"
#include "platform/console.h"
#include "base_record_checks.h"

namespace {

FUZZ_CHECK void checkCmrFields(const BaseStation& b)
{
    checkBaseRecord(b);
    if (b.gpsTowMs >= 604800000u) std::abort();
    for (const GpsSatObs& s : b.gpsSat)
        for (double v : {s.cmrL1Code, s.cmrL1Phase, s.cmrL2Code, s.cmrL2Phase}) requireFinite(v);
}

// Exactly the frame's bytes on the heap, so that any read past it is seen.
void decodeExact(const uint8_t* bytes, size_t n, bool plus, bool store, int base)
{
    uint8_t* f = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    std::memcpy(f, bytes, n);
    if (plus)
        decodeCmrPlusStationPage(f, 0, uint32_t(n), store, base);
    else
        decodeCmr(f, 0, uint32_t(n), store, base);
    std::free(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        setGpsTow(515220000);
        return true;
    }();
    (void)ready;
    if (size < 1 || size > 1 + cmrMaxDataBytes) return 0;
    const bool plus = data[0] & 1;
    const bool store = data[0] & 2;
    const int base = (data[0] >> 2) % maxBases;
    const size_t n = size - 1;

    uint8_t frame[cmrMaxFrameBytes];
    frame[0] = cmrStx;
    frame[1] = 0;
    frame[2] = plus ? cmrPlusTypeByte : cmrTypeByte;
    frame[3] = uint8_t(n);
    std::memcpy(frame + 4, data + 1, n);
    uint8_t sum = 0;
    for (size_t i = 1; i < n + 4; ++i) sum = uint8_t(sum + frame[i]);
    frame[n + 4] = sum;
    frame[n + 5] = cmrEtx;
    // The decoders' console lines would fill the fuzzer's log.
    consoleCaptureStart();
    decodeExact(frame, n + 6, plus, store, base);
    // The same bytes with no envelope at all.
    decodeExact(data + 1, n, plus, store, base);
    // And a frame handed over with less than it announces.
    decodeExact(frame, n + 5, plus, store, base);
    checkCmrFields(baseStation[base]);

    int (*const builders[])(uint8_t*, int) = {encodeCmr0, encodeCmr1, encodeCmr2, encodeCmr3};
    for (auto build : builders) {
        uint8_t* out = static_cast<uint8_t*>(std::malloc(cmrMaxFrameBytes));
        const int length = build(out, base);
        uint32_t recognised = 0;
        if (length < 6 || length > cmrMaxFrameBytes ||
            checkCmrId(out, 0, uint32_t(length), recognised) == noFrame ||
            recognised != uint32_t(length))
            std::abort();
        std::free(out);
    }
    consoleCaptureStop();
    return 0;
}
