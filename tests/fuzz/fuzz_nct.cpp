// NCT frames from a base. The first input byte picks the message id and
// where the CRC-16 goes; the rest is the frame's data, which gets a valid
// envelope (02 99 66, id, length, CRC over the data, XOR, 03) so that the
// decoders get past their checks and read the fields. Whatever the data,
// nothing may be read outside the frame, no position or range may become
// NaN, and our own builders must afterwards still fit the kept buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/records.h"
#include "formats/frames.h"
#include "formats/nct/nct_decode.h"
#include "formats/nct/nct_encode.h"
#include "platform/console.h"
#include "base_record_checks.h"

namespace {

// CRC placements: none; high byte first; low byte first; high byte first
// with the last 2 or 3 data bytes moved behind it as a trailer.
enum { crcNone, crcHigh, crcLow, crcHighTrailer2, crcHighTrailer3, crcModes };

const uint8_t ids[] = {0x5B, 0x5C, 0x5D, 0x5E, 0x61};

void decode(const uint8_t* f, uint32_t len, uint8_t id)
{
    switch (id) {
    case 0x5B: decodeNct5B(f, 0, len, 0, true); break;
    case 0x5C: decodeNct5C(f, 0, len, 0); break;
    case 0x5D: checkNct5D(f, 0, len); break;
    case 0x5E: decodeNct5E(f, 0, len, 0); break;
    default: decodeNct61(f, 0, len, 0); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = (initGlobals(), true);
    (void)ready;
    if (size < 1 || size > 60000) return 0;
    const uint8_t id = ids[data[0] % 5];
    const int mode = (data[0] / 5) % crcModes;
    const uint8_t* body = data + 1;
    const uint32_t n = uint32_t(size - 1);
    uint32_t trailer = mode == crcHighTrailer2 ? 2 : mode == crcHighTrailer3 ? 3 : 0;
    if (trailer > n) trailer = n;
    const uint32_t dataLen = n - trailer;
    const uint32_t crcLen = mode == crcNone ? 0 : 2;
    const uint32_t len = 6 + dataLen + crcLen + trailer + 2;

    // Exact size, so that the sanitizer sees any read past the frame.
    uint8_t* f = static_cast<uint8_t*>(malloc(len));
    f[0] = 0x02;
    f[1] = 0x99;
    f[2] = 0x66;
    f[3] = id;
    f[4] = uint8_t(len - 4);
    f[5] = uint8_t((len - 4) >> 8);
    memcpy(f + 6, body, dataLen);
    uint32_t p = 6 + dataLen;
    if (crcLen) {
        const uint16_t crc = calcCrc16Xmodem(f, 6, p);
        f[p] = uint8_t(mode == crcLow ? crc : crc >> 8);
        f[p + 1] = uint8_t(mode == crcLow ? crc >> 8 : crc);
        p += 2;
    }
    memcpy(f + p, body + dataLen, trailer);
    p += trailer;
    uint8_t x = 0;
    for (uint32_t i = 3; i < p; ++i) x ^= f[i];
    f[p] = x;
    f[p + 1] = 0x03;

    // A fresh latch and epoch each time, so the fields behind them are reached.
    BaseStation& b = baseStation[0];
    b.stationId = 0;
    b.gpsTowMs = 1;
    consoleCaptureStart();
    decode(f, len, id);
    // The same bytes without an envelope must be refused just as safely.
    decode(data, uint32_t(size), id);
    consoleCaptureStop();
    free(f);
    checkBaseRecord(b);

    uint8_t out[maxFrameBytes];
    if (encodeNct5B(out, 0, 2) > int(maxFrameBytes) || encodeNct5C(out, 0, 2) > int(maxFrameBytes) ||
        encodeNct5D(out, 0, 0, 0.003, 0.001, 0.001) > int(maxFrameBytes) ||
        encodeNct5EGps(out, 0) > int(maxFrameBytes) || encodeNct5EGpsGlo(out, 0) > int(maxFrameBytes))
        abort();
    return 0;
}
