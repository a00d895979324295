#include "formats/binr/binr_encode.h"

#include <cmath>
#include <cstring>

#include "core/base_station.h"
#include "core/gnss_time.h"

int binrFrame(uint8_t id, const uint8_t* data, int n, uint8_t* out)
{
    int k = 0;
    out[k++] = binrDle;
    out[k++] = id;
    for (int i = 0; i < n; ++i) {
        if (data[i] == binrDle) out[k++] = binrDle;
        out[k++] = data[i];
    }
    out[k++] = binrDle;
    out[k++] = binrEtx;
    return k;
}

namespace {

// Little-endian field writers into the unframed data.
void put16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put24(uint8_t* p, uint32_t v)
{
    put16(p, v);
    p[2] = uint8_t(v >> 16);
}

void putFloat(uint8_t* p, float f)
{
    if (!std::isfinite(f)) f = 0;   // a rover cannot use a NaN correction
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    put16(p, bits & 0xFFFF);
    put16(p + 2, bits >> 16);
}

// A base slot or the synthetic station record.
bool validBase(int i) { return encoderBase(i) != nullptr; }

}  // namespace

int encodeBinr6A(uint8_t* buffer, int baseIndex)
{
    if (!validBase(baseIndex)) return 0;
    const BaseStation& b = *encoderBase(baseIndex);
    const int64_t max24 = (1 << 23) - 1, min24 = -(1 << 23);
    uint8_t data[14];
    put24(data, uint32_t(truncClamp(b.latitude * 8388608.0 / 90.0, min24, max24)));
    put24(data + 3, uint32_t(truncClamp(b.longitude * 8388608.0 / 360.0, min24, max24)));
    put16(data + 6, uint32_t(truncClamp(b.ellipsoidHeight, -32768, 32767)));
    put16(data + 8, 1);
    put16(data + 10, 1);
    put16(data + 12, 1);
    return binrFrame(0x6A, data, sizeof data, buffer);
}

int encodeBinr69(uint8_t* buffer, int baseIndex, int system)
{
    if (!validBase(baseIndex)) return 0;
    const BaseStation& b = *encoderBase(baseIndex);
    uint8_t data[3 + 32 * 13];
    int n = 0;
    data[n++] = uint8_t(system);
    uint32_t t = system == 1 ? b.gpsTowMs : (system == 2 ? b.gloEpochMs : 0);
    put16(data + n, (t / 1000) % 3600);
    n += 2;
    auto block = [&](int number, uint16_t reference, int16_t deltaIono, float delay, float rate) {
        data[n] = uint8_t(number);
        put16(data + n + 1, reference);
        put16(data + n + 3, uint16_t(deltaIono));
        putFloat(data + n + 5, delay);
        putFloat(data + n + 9, rate);
        n += 13;
    };
    if (system == 1 && b.gpsSatCount > 0) {
        for (int slot = 0; slot < 32; ++slot) {
            const GpsSatObs& s = b.gpsSat[slot];
            if (s.epochMs == b.gpsTowMs)
                block(slot == 0 ? 32 : slot, s.nctRefWord, s.deltaIonoScaled, s.codeDelayF[0], s.ionoRate[0]);
        }
    } else if (system == 2 && b.gloSatCount > 0) {
        for (int slot = 0; slot < gloSatEntries; ++slot) {
            const GloSatObs& s = b.gloSat[slot];
            if (s.epochMs == b.gloEpochMs)
                block(slot == 0 ? 24 : slot, s.ephemerisTb, s.deltaIonoScaled, s.codeDelayF[0], s.ionoRate[0]);
        }
    }
    return binrFrame(0x69, data, n, buffer);
}
