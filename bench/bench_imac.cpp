// What the iMAC streams cost the rover thread: 100 rovers of mixed formats
// (20 each of RTCM 3.1, BINR, RTCM 3.2, NCT and CMR iMAC) spread around one
// master base with three auxiliary bases, each getting its frames of one
// epoch (12 GPS, 12 GLONASS, 12 BeiDou satellites). One iteration is one
// epoch for all 100 rovers; the per-rover cost is the time divided by 100.
// Beside it, for scale, one epoch's per-base builds of the same master.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"
#include "network/imac_iono_messages.h"
#include "network/imac_observations.h"

namespace {

constexpr uint32_t gpsTow = 302400000, gloTod = 53982000, bdsTow = 302386000;
constexpr int rovers = 100;

template <typename Sat>
void fill(Sat& s, uint32_t epoch, int n, double scale)
{
    double code = 20000000.0 + n * 250013.37;
    s.epochMs = epoch;
    s.codeRange[0] = code;
    s.codeRange[1] = code + 3.21;
    s.phaseRange[0] = code + 1.234 + n;
    s.phaseRange[1] = code + 0.987 + n;
    s.cn0[0] = 45;
    s.cn0[1] = 40;
    s.lockTimeS[0] = s.lockTimeS[1] = 300;
    s.elevation = int16_t(10 + 6 * n);
    s.codeDelay[0] = 2.1 * scale;
    s.codeDelay[1] = 3.4 * scale;
    s.phaseAdvance[0] = -2.1 * scale;
    s.phaseAdvance[1] = -3.4 * scale;
    s.codeDelayF[0] = float(2.1 * scale);
    s.ionoRate[0] = float(0.001 * scale);
    s.codeDelayEma[0] = float(2.1 * scale);
    s.codeDelayEma[1] = float(3.4 * scale);
}

void setUpNetwork()
{
    static bool done = false;
    if (done) return;
    done = true;
    initGlobals();
    const double pos[4][2] = {{47.0, 15.4}, {47.5, 15.7}, {46.8, 16.1}, {46.5, 15.0}};
    for (int k = 0; k < 4; ++k) {
        BaseStation& b = baseStation[k];
        b.connected = 1;
        b.trusted = 1;
        b.stationId = uint16_t(200 + k);
        b.latitude = b.strLatitude = pos[k][0];
        b.longitude = b.strLongitude = pos[k][1];
        b.latitudeRad = pos[k][0] * 3.1415926535898 / 180;
        b.longitudeRad = pos[k][1] * 3.1415926535898 / 180;
        b.gpsTowMs = gpsTow;
        b.gloEpochMs = gloTod;
        b.bdsTowMs = bdsTow;
        b.gpsSatCount = b.gloSatCount = b.bdsSatCount = 12;
        msmSignalIdGps(b, 0) = 2;
        msmSignalIdGps(b, 1) = 10;
        msmSignalIdBds(b, 0) = 2;
        msmSignalIdBds(b, 1) = 14;
        for (int n = 1; n <= 12; ++n) {
            fill(b.gpsSat[n * 2], gpsTow, n, 1.0 + 0.1 * k);
            fill(b.gloSat[n], gloTod, n, 1.0 + 0.1 * k);
            b.gloSat[n].freqChannel = glonassChannelBySlot[n];
            fill(b.bdsSat[n * 3], bdsTow, n, 1.0 + 0.1 * k);
        }
        for (int a = 0; a < 6; ++a)
            for (int i = 0; i < 40; ++i) {
                b.netGradient.gps[a][i] = 10.0 + a + i;
                b.netGradient.glo[a][i % 24] = 10.0 + a + i;
            }
    }
    for (int r = 0; r < rovers; ++r) {
        Client& c = client[r];
        c.masterBase = 0;
        c.auxBase[0] = 1;
        c.auxBase[1] = 2;
        c.auxBase[2] = 3;
        c.streamCode = 30 + r % 5;
        c.latitude = 46.7 + 0.006 * r;
        c.longitude = 15.1 + 0.05 * (r % 17);
    }
}

// One epoch's frames of one rover, by its stream.
int buildRoverEpoch(int r, uint8_t* frame)
{
    int bytes = 0;
    switch (client[r].streamCode) {
    case 30:
        bytes += encodeRtcm1004Imac(r, frame);
        bytes += encodeRtcm1012Imac(r, frame);
        break;
    case 31:
        bytes += encodeBinr69GpsImac(r, frame);
        bytes += encodeBinr69GloImac(r, frame);
        break;
    case 32:
        bytes += encodeRtcm1074Client(r, frame);
        bytes += encodeRtcm1084Client(r, frame);
        bytes += encodeRtcm1124Imac(r, frame);
        break;
    case 33:
        bytes += encodeNct5BImac(frame, r, nctOutputMode);
        bytes += encodeNct5EGpsGloImac(frame, r);
        break;
    case 34:
        bytes += encodeCmr0Imac(frame, r);
        bytes += encodeCmr3Imac(frame, r);
        break;
    }
    return bytes;
}

void imacEpochHundredRovers(benchmark::State& state)
{
    setUpNetwork();
    uint8_t frame[maxFrameBytes];
    int64_t bytes = 0;
    for (auto _ : state) {
        for (int r = 0; r < rovers; ++r) bytes += buildRoverEpoch(r, frame);
        benchmark::DoNotOptimize(frame);
    }
    // items_per_second: rover epochs built per second of the rover thread.
    state.SetItemsProcessed(state.iterations() * rovers);
    state.SetBytesProcessed(bytes);
}
BENCHMARK(imacEpochHundredRovers)->Unit(benchmark::kMillisecond);

// One rover of each stream, for the spread between formats.
void imacOneRover(benchmark::State& state)
{
    setUpNetwork();
    uint8_t frame[maxFrameBytes];
    const int r = int(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(buildRoverEpoch(r, frame));
}
BENCHMARK(imacOneRover)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

// The master's own per-base builds of one epoch, for scale.
void perBaseEpoch(benchmark::State& state)
{
    setUpNetwork();
    uint8_t frame[maxFrameBytes];
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeRtcm1004(0, frame));
        benchmark::DoNotOptimize(encodeRtcm1012(0, frame));
    }
}
BENCHMARK(perBaseEpoch)->Unit(benchmark::kMicrosecond);

}   // namespace

BENCHMARK_MAIN();
