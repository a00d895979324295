// Per-base builders on a 12-satellite dual-frequency epoch (GPS L1/L2,
// GLONASS L1/L2, BeiDou B1/B2): frames built per second.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/binr/binr_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"

namespace {

constexpr uint32_t gpsTow = 302400000, gloTod = 53982000, bdsTow = 302386000;

template <typename Sat>
void fill(Sat& s, uint32_t epoch, int n)
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
}

void setUpEpoch()
{
    static bool done = false;
    if (done) return;
    done = true;
    initGlobals();
    BaseStation& b = baseStation[0];
    b.stationId = 1234;
    b.gpsTowMs = gpsTow;
    b.gloEpochMs = gloTod;
    b.bdsTowMs = bdsTow;
    b.gpsSatCount = b.gloSatCount = b.bdsSatCount = 12;
    msmSignalIdGps(b, 0) = 2;
    msmSignalIdGps(b, 1) = 10;
    msmSignalIdBds(b, 0) = 2;
    msmSignalIdBds(b, 1) = 14;
    for (int n = 1; n <= 12; ++n) {
        fill(b.gpsSat[n * 2], gpsTow, n);
        fill(b.gloSat[n], gloTod, n);
        b.gloSat[n].freqChannel = glonassChannelBySlot[n];
        fill(b.bdsSat[n * 3], bdsTow, n);
    }
    b.ecefX = 3842152.8053;
    b.ecefY = 658297.5241;
    b.ecefZ = 5028542.0357;
}

template <int (*Build)(int, uint8_t*)>
void perBase(benchmark::State& state)
{
    setUpEpoch();
    uint8_t buf[1029];
    for (auto _ : state) {
        int n = Build(0, buf);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}

template <int (*Build)(int, uint8_t*, int, int*)>
void perBaseMsm(benchmark::State& state)
{
    setUpEpoch();
    uint8_t buf[1029];
    for (auto _ : state) {
        int n = Build(0, buf, 0, nullptr);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}

void binr69(benchmark::State& state)
{
    setUpEpoch();
    uint8_t buf[binrMaxFrameBytes];
    for (auto _ : state) {
        int n = encodeBinr69(buf, 0, 1);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(perBase<encodeRtcm1004>)->Name("encodeRtcm1004");
BENCHMARK(perBase<encodeRtcm1003>)->Name("encodeRtcm1003");
BENCHMARK(perBase<encodeRtcm1012>)->Name("encodeRtcm1012");
BENCHMARK(perBaseMsm<encodeRtcm1074Base>)->Name("encodeRtcm1074Base");
BENCHMARK(perBaseMsm<encodeRtcm1084Base>)->Name("encodeRtcm1084Base");
BENCHMARK(perBaseMsm<encodeRtcm1124Base>)->Name("encodeRtcm1124Base");
BENCHMARK(perBase<encodeRtcm1005>)->Name("encodeRtcm1005");
BENCHMARK(perBase<encodeRtcm1033>)->Name("encodeRtcm1033");
BENCHMARK(binr69)->Name("encodeBinr69");

BENCHMARK_MAIN();
