// MSM4 decoders fed payloads inside a valid RTCM 3 envelope, so that the
// CRC check in front of them never hides the decoders from the fuzzer.
//
// Input: a series of chunks, each [decoder selector][length high][length
// low][payload]. The chunks run against one base in order, so that several
// messages of one epoch, repeats and epoch changes are reached.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_msm_decode.h"
#include "platform/console.h"

namespace {

bool finite3(const double* v, int n)
{
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

void checkEntries(const BaseStation& b)
{
    for (const GpsSatObs& s : b.gpsSat)
        if (!finite3(s.codeRange, 3) || !finite3(s.phaseRange, 3) || !std::isfinite(s.l1CodeModulo))
            __builtin_trap();
    for (const GloSatObs& s : b.gloSat)
        if (!finite3(s.codeRange, 2) || !finite3(s.phaseRange, 2) || s.freqChannel > 20) __builtin_trap();
    for (const GalSatObs& s : b.galSat)
        if (!finite3(s.codeRange, 3) || !finite3(s.phaseRange, 3)) __builtin_trap();
    for (const BdsSatObs& s : b.bdsSat)
        if (!finite3(s.codeRange, 3) || !finite3(s.phaseRange, 3)) __builtin_trap();
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        return true;
    }();
    (void)ready;
    BaseStation& b = baseStation[0];
    b.stationId = 0;
    b.gpsTowMs = b.gloEpochMs = b.bdsTowMs = b.galTowMs = 1;

    // The Galileo and BeiDou readers always print.
    consoleCaptureStart();
    static uint8_t frame[1029 + 64];
    size_t pos = 0;
    while (pos + 3 <= size) {
        uint8_t selector = data[pos];
        size_t length = (size_t(data[pos + 1]) << 8 | data[pos + 2]) & 0x3FF;
        pos += 3;
        if (length > size - pos) length = size - pos;
        frame[0] = 0xD3;
        frame[1] = uint8_t(length >> 8);
        frame[2] = uint8_t(length);
        std::memcpy(frame + 3, data + pos, length);
        appendCrc24q(frame, length + 3);
        // Whatever follows the frame in the buffer must not be read.
        std::memset(frame + length + 6, 0xA5, sizeof frame - length - 6);
        pos += length;
        switch (selector & 3) {
        case 0: decodeRtcm1074(frame, 0, 0); break;
        case 1: decodeRtcm1084(frame, 0, 0); break;
        case 2: decodeRtcm1094(frame, 0, 0); break;
        case 3: decodeRtcm1124(frame, 0, 0); break;
        }
    }
    consoleCaptureStop();
    checkEntries(b);
    return 0;
}
