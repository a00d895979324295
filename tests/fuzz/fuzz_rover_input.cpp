// What a logged-in rover sends: GGA sentences, repeated requests and noise,
// cut into receives anywhere. The line assembly keeps state from one
// receive to the next and a GGA sentence chooses the rover's bases (and, for
// the ERP streams, its synthetic station): nothing may be read or written
// outside the line buffer, and no position or base index may leave its range.
//
// Input: byte 0 picks the stream, byte 1 the receive size (1 to 256); the
// rest is what the rover sends.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "caster/rover_thread.h"
#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

struct Stream {
    int code;
    bool secondNearest;
};
const Stream streams[] = {{0, false},  {10, false}, {11, false}, {12, false}, {13, false},
                          {13, true},  {14, false}, {20, false}, {30, false}, {32, false},
                          {33, false}, {34, false}, {40, false}, {42, false}, {50, false},
                          {52, false}, {54, false}};

void prepare()
{
    initGlobals();
    // Four trusted bases a few tens of km apart, one sending NCT itself, and
    // one connected but not yet trusted.
    const double positions[5][2] = {
        {35.87, 138.39}, {35.60, 138.10}, {36.10, 138.70}, {30.55, 131.02}, {35.80, 138.30}};
    for (int i = 0; i < 5; ++i) {
        BaseStation& b = baseStation[i];
        b.connected = 1;
        b.trusted = i < 4;
        b.nctInput = i == 2;
        b.mountpoint = "B" + std::to_string(i);
        b.strLatitude = positions[i][0];
        b.strLongitude = positions[i][1];
    }
}

__attribute__((no_sanitize("coverage"))) void checkClient(const Client& c)
{
    if (c.lineLength > uint32_t(clientLineBytes)) std::abort();
    if (!std::isfinite(c.latitude) || !std::isfinite(c.longitude) || std::fabs(c.latitude) > 90 ||
        std::fabs(c.longitude) > 180)
        std::abort();
    if (c.masterBase < -1 || c.masterBase >= maxBases) std::abort();
    if (c.masterBase >= 0 && !baseStation[c.masterBase].trusted) std::abort();
    for (int a : c.auxBase)
        if (a < -1 || a >= maxBases) std::abort();
    if (c.erpIndex < -1 || c.erpIndex >= maxErpRecords) std::abort();
    for (float v : {c.hdop, c.altitude, c.correctionAge})
        if (!std::isfinite(v)) std::abort();
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool prepared = (prepare(), true);
    (void)prepared;
    if (size < 2) return 0;
    Client& c = client[0];
    closeClient(c);
    const Stream& stream = streams[data[0] % (sizeof streams / sizeof streams[0])];
    c.streamCode = stream.code;
    c.secondNearest = stream.secondNearest;
    const size_t piece = size_t(data[1]) + 1;

    consoleCaptureStart();
    for (size_t at = 2; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        handleRoverInput(0, reinterpret_cast<const char*>(data) + at, uint32_t(n));
        checkClient(c);
    }
    consoleCaptureStop();
    return 0;
}
