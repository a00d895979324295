// One turn of the network-correction thread with ten bases that all have a
// new epoch of GPS (30 satellites), GLONASS (24) and BeiDou (30): the
// gradients of the three systems against the nine other bases, and the FKP
// messages 1034 and 1035 of each base. The thread has 50 ms for a turn.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "network/network_thread.h"

namespace {

constexpr uint32_t gpsTow = 302400000, gloTod = 53982000, bdsTow = 302386000;

template <typename Sat>
void fill(Sat& s, uint32_t epoch, int base, int n)
{
    s.epochMs = epoch;
    s.elevation = int16_t(20 + (n * 7) % 60);
    // A delay field that changes across the network, different per satellite.
    double iono = 2.0 + 0.1 * n + 0.05 * base;
    s.phaseAdvance[0] = iono;
    s.phaseAdvance[1] = iono * 1.6469;
    s.codeDelay[0] = iono;
    s.codeDelay[1] = iono * 1.6469;
    s.tropoDelay = 2.5 + 0.01 * base + 0.02 * n;
    s.levelling.count = 600;   // ten minutes of carrier-levelled arc
}

void setUpNetwork()
{
    static bool done = false;
    if (done) return;
    done = true;
    initGlobals();
    casterSettings.networkRegionRadius = 200;
    for (int i = 0; i < maxBases; ++i) {
        BaseStation& b = baseStation[i];
        b.connected = 1;
        b.trusted = 1;
        b.stationId = uint16_t(100 + i);
        // A ring of bases some 50 km apart around 47 N 15 E.
        double lat = 47.0 + 0.45 * std::sin(i * 0.628), lon = 15.0 + 0.65 * std::cos(i * 0.628);
        b.latitude = b.strLatitude = lat;
        b.longitude = b.strLongitude = lon;
        b.latitudeRad = lat * M_PI / 180;
        b.longitudeRad = lon * M_PI / 180;
        b.gpsTowMs = gpsTow;
        b.gloEpochMs = gloTod;
        b.bdsTowMs = bdsTow;
        for (int n = 1; n <= 30; ++n) fill(b.gpsSat[n], gpsTow, i, n);
        for (int n = 0; n < gloSatEntries; ++n) {
            fill(b.gloSat[n], gloTod, i, n);
            b.gloSat[n].freqChannel = glonassChannelBySlot[n];
        }
        for (int n = 1; n <= 30; ++n) fill(b.bdsSat[n], bdsTow, i, n);
    }
}

void NetworkTurn(benchmark::State& state)
{
    setUpNetwork();
    uint32_t now = 100000;
    for (auto _ : state) {
        state.PauseTiming();
        for (BaseStation& b : baseStation) b.gpsObsNew = b.gloObsNew = b.bdsObsNew = 1;
        now += 1000;
        state.ResumeTiming();
        networkCorrectionTurn(now);
    }
    uint32_t stamp = baseStation[9].msg[kind1035].msgStamp;
    if (stamp != now) state.SkipWithError("the turn built no 1035");
}
BENCHMARK(NetworkTurn)->Unit(benchmark::kMicrosecond);

}   // namespace

BENCHMARK_MAIN();
