#include "formats/field_codes.h"

uint32_t smoothingIntervalSeconds(uint32_t code)
{
    static const uint32_t seconds[8] = {0, 30, 60, 120, 240, 480, 600, 900};
    return code < 8 ? seconds[code] : 0;
}

int32_t lockTimeSeconds(uint32_t indicator)
{
    const int32_t i = int32_t(indicator > 127 ? 127 : indicator);
    if (i < 24) return i;
    if (i < 48) return 2 * i - 24;
    if (i < 72) return 4 * i - 120;
    if (i < 96) return 8 * i - 408;
    if (i < 120) return 16 * i - 1176;
    if (i < 127) return 32 * i - 3096;
    return 937;
}

uint8_t msmLockTimeIndicator(uint16_t lockMs)
{
    if (lockMs < 32) return 0;
    uint8_t indicator = 1;
    for (uint32_t bound = 64; bound <= 32768 && lockMs >= bound; bound <<= 1) ++indicator;
    return indicator;
}

uint8_t encodeCmrSnr(uint8_t dbHz)
{
    if (dbHz < 28) return uint8_t(dbHz / 4);   // 0..6 in steps of 4 dB-Hz
    if (dbHz < 40) return 9;
    if (dbHz < 44) return 10;
    if (dbHz < 49) return 11;
    if (dbHz < 51) return 12;
    // 56 dB-Hz sits between the 51-55 and the 57 bands; it stays with the
    // lower one so that a code never claims more than was measured.
    if (dbHz < 57) return 13;
    if (dbHz == 57) return 14;
    return 15;
}
