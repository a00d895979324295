// One turn of the synthetic reference stations with all ten records in use:
// each synthesises a new GPS and GLONASS epoch at its own grid node (orbits
// at the signal's departure for node and master, troposphere, the
// ionosphere from the twelve constructions) and builds every message of
// every format. The bases are the simulated GPS + GLONASS network, fed for
// a minute first; the network-correction thread has 50 ms for a turn.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "caster/base_data_thread.h"
#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "network/erp_upkeep.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

std::vector<uint8_t> readAll(const std::string& path)
{
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}

bool setUpNetwork()
{
    static int state = 0;
    if (state) return state > 0;
    state = -1;
    initGlobals();
    consoleCaptureStart();   // the decoders report as they go
    setMjd(61384);
    setGpsWeek(2448);
    const char* names[5] = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};
    const double lat[5] = {46.0330167, 45.7490926, 45.1978388, 45.0389183, 45.5400910};
    const double lon[5] = {12.1043883, 12.9500814, 12.8288095, 12.0942080, 11.4482096};
    std::vector<std::vector<uint8_t>> data(5);
    for (int i = 0; i < 5; ++i) {
        data[i] = readAll(std::string(CASTER_DATA_DIR) + "/network/simulated-glonass/" + names[i] + ".rtcm3");
        if (data[i].empty()) return false;
        BaseStation& b = baseStation[i];
        b.connected = b.trusted = 1;
        b.strLatitude = lat[i];
        b.strLongitude = lon[i];
    }
    // About a minute of each stream, in pieces the receive buffer takes.
    const size_t minute = data[0].size() / 120;
    for (size_t at = 0; at < minute; at += 1000)
        for (int i = 0; i < 5; ++i) {
            size_t n = std::min<size_t>(1000, data[i].size() - at);
            appendBaseData(i, data[i].data() + at, uint32_t(n));
            scanBaseBuffer(i, wallTime(), uint32_t(100000 + at / 40));
        }
    // Ten records at ten grid nodes inside the network.
    for (int k = 0; k < maxErpRecords; ++k) {
        ErpRecord& r = erp[k];
        r.latitude = 45.25 + 0.25 * (k % 4);
        r.longitude = 11.75 + 0.25 * (k / 4);
        r.height = 100.0;
        geodeticToEcef(r.latitude, r.longitude, r.height, r.ecefX, r.ecefY, r.ecefZ);
        r.lastUsedTime = wallTime();
        r.inUse = 1;
    }
    consoleCaptureStop();
    state = 1;
    return true;
}

void ErpTurnTenRecords(benchmark::State& state)
{
    if (!setUpNetwork()) {
        state.SkipWithError("the simulated network's recordings are missing");
        return;
    }
    consoleCaptureStart();
    uint32_t now = 1000000;
    updateErpRecords(now);   // bases and lines, the first pending marks
    for (auto _ : state) {
        state.PauseTiming();
        now += 1000;
        for (ErpRecord& r : erp) {
            r.gpsPending = r.gloPending = true;
            r.gpsPendingClock = r.gloPendingClock = now - 500;
        }
        state.ResumeTiming();
        updateErpRecords(now);
    }
    consoleCaptureStop();
    if (erp[9].msgStamp[erpKind1004] != now || erp[9].msgStamp[erpKind1012] != now)
        state.SkipWithError("the turn built no 1004 or 1012");
    if (erpCount.load() != maxErpRecords) state.SkipWithError("not every record in use");
}
BENCHMARK(ErpTurnTenRecords)->Unit(benchmark::kMicrosecond);

}   // namespace

BENCHMARK_MAIN();
