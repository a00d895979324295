// A base's stream as the base data thread takes it in: the bytes arrive in
// receives of uneven sizes, each receive is appended to the slot's buffer
// and scanned, and every frame found goes through its decoder and the
// builders behind it. The clock moves on between receives so that both the
// received and the built side of every kind are reached. Nothing may crash,
// no kept frame may outgrow its kind, and the record must stay sound.
// The input goes through twice: as it is, and with the check bytes of every
// frame it seems to hold made right, so that changed bytes inside a frame
// reach the decoders instead of failing the CRC.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <vector>

#include "base_record_checks.h"
#include "caster/base_data_thread.h"
#include "core/checksum.h"
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

// Gives every RTCM 3, NCT and CMR frame head that has room for its frame
// the right check bytes, and steps over that frame.
void repairFrames(std::vector<uint8_t>& d)
{
    const size_t n = d.size();
    size_t i = 0;
    while (i + 6 <= n) {
        uint8_t* f = d.data() + i;
        if (f[0] == 0xD3) {
            size_t len = ((size_t(f[1]) & 3) << 8 | f[2]) + 6;
            if (i + len <= n) {
                appendCrc24q(f, len - 3);
                i += len;
                continue;
            }
        } else if (f[0] == 0x02 && f[1] == 0x99 && f[2] == 0x66) {
            size_t len = (size_t(f[4]) | size_t(f[5]) << 8) + 4;
            if (len >= 8 && i + len <= n) {
                uint8_t x = 0;
                for (size_t k = 3; k < len - 2; ++k) x ^= f[k];
                f[len - 2] = x;
                f[len - 1] = 0x03;
                i += len;
                continue;
            }
        } else if (f[0] == 0x02 && (f[2] == 0x93 || f[2] == 0x94)) {
            size_t len = size_t(f[3]) + 6;
            if (i + len <= n) {
                uint8_t sum = 0;
                for (size_t k = 1; k < len - 2; ++k) sum = uint8_t(sum + f[k]);
                f[len - 2] = sum;
                f[len - 1] = 0x03;
                i += len;
                continue;
            }
        }
        ++i;
    }
}

void runStream(int base, const uint8_t* data, size_t size, uint32_t step)
{
    BaseStation& b = baseStation[base];
    resetBaseStation(b);
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
    checkBaseRecord(b);
    checkKeptFrames(b);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = (initGlobals(), true);
    (void)ready;
    if (size > 65536) return 0;
    const int base = int(size % maxBases);
    const uint32_t step = receiveSizes[(size / maxBases) % 5];
    consoleCaptureStart();
    runStream(base, data, size, step);
    std::vector<uint8_t> repaired(data, data + size);
    repairFrames(repaired);
    runStream((base + 1) % maxBases, repaired.data(), size, step);
    consoleCaptureStop();
    return 0;
}
