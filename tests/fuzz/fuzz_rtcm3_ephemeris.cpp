// Arbitrary bytes as a 1019 or 1020 frame, then the orbit refresh over
// whatever got stored: nothing may crash and no position may turn NaN.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/orbits.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_ephemeris.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        initGlobals();
        setGpsTow(300000000);
        setGloTod(40000000);
        setMjd(60000);
        return true;
    }();
    (void)ready;
    if (size > 1029) return 0;
    uint32_t n = uint32_t(size);
    decodeRtcm1019(data, 0, n, int(size % 12) - 1);
    decodeRtcm1020(data, 0, n, int(size % 12) - 1);
    updateGpsOrbits();
    updateGloOrbits();
    for (const GpsEphemeris& e : gpsEphemeris)
        if (!std::isfinite(e.satX + e.satY + e.satZ)) std::abort();
    for (const GloEphemeris& g : gloEphemeris)
        if (!std::isfinite(g.satX + g.satY + g.satZ)) std::abort();
    return 0;
}
