// A base's stream as the base data thread takes it in: the bytes arrive in
// receives of uneven sizes, each receive is appended to the slot's buffer
// and scanned, and every frame found goes through its decoder and the
// builders behind it. The clock moves on between receives so that both the
// received and the built side of every kind are reached. Nothing may crash,
// no kept frame may outgrow its kind, and the record must stay sound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base_record_checks.h"
#include "caster/base_data_thread.h"
#include "caster/transcoding.h"
#include "core/base_station.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

// Receive sizes: short pieces, about a frame, a full buffer.
const uint32_t receiveSizes[] = {5, 17, 100, 1029, 3090};

FUZZ_CHECK void checkKeptFrames(BaseStation& b)
{
    static uint8_t out[maxFrameBytes];
    for (int kind = 0; kind < msgKindCount; ++kind) {
        uint32_t length = 0, stamp = 0;
        if (!copyKeptMessage(b, kind, out, length, stamp, 0xFFFFFFFFu)) continue;
        if (length == 0 || length > msgCapacity(kind)) std::abort();
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = (initGlobals(), true);
    (void)ready;
    if (size > 65536) return 0;
    const int base = int(size % maxBases);
    BaseStation& b = baseStation[base];
    consoleCaptureStart();
    resetBaseStation(b);

    const uint32_t step = receiveSizes[(size / maxBases) % 5];
    time_t now = 1700000000;
    uint32_t clock = 50000;
    size_t at = 0;
    while (at < size) {
        uint32_t want = uint32_t(size - at < step ? size - at : step);
        uint32_t taken = appendBaseData(base, data + at, want);
        if (taken == 0) std::abort();   // a scan always leaves room
        at += taken;
        scanBaseBuffer(base, now, clock);
        if (b.rxWriteIndex > uint32_t(maxFrameBytes)) std::abort();
        now += 1;
        clock += 3000;
    }
    // Every builder on whatever the stream left in the record.
    for (int kind = 0; kind < msgKindCount; ++kind) buildKind(base, kind, now, clock);
    consoleCaptureStop();

    checkBaseRecord(b);
    checkKeptFrames(b);
    return 0;
}
