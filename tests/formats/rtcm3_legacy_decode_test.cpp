// Legacy RTCM 3 observation decoders against real recordings and an
// independent decoder, then the rules of our own: station id latch, epoch
// acceptance, satellite folding, slips, invalid fields, short frames.

#include <gtest/gtest.h>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/field_codes.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "rtcm3_test_frames.h"
#include "support/test_support.h"

namespace {

// The constants the reference decoder (RTKLIB) converts cycles with.
constexpr double clight = 299792458.0;
constexpr double gpsL1 = 1.57542e9, gpsL2 = 1.22760e9;
double gloL1(int channel) { return 1.60200e9 + channel * 0.56250e6; }
double gloL2(int channel) { return 1.24600e9 + channel * 0.43750e6; }

class LegacyDecode : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        initEpochValues();
        setWallTimeOverride(1700000000);
    }
    void TearDown() override { setWallTimeOverride(0); }
};

// One RINEX row of convbin plus the raw fields gpsdecode shows.
struct GpsRef {
    int prn;
    double c1, l1, s1, c2, l2, s2;
    int amb, lock1, lock2;
};

struct GloRef {
    int slot, channel;
    double c1, l1, s1, c2, l2, s2;   // c2 = 0: no L2 in the message
    int amb, lock1, lock2;
};

}  // namespace

TEST_F(LegacyDecode, TestgloFirstEpochMatchesConvbinAndGpsdecode)
{
    // convbin -r rtcm3 -o testglo.obs -od -os -tr 2009/12/18 23:00:00 testglo.rtcm3
    //   (RTKLIB 2.4.3, Debian), first epoch "> 2009 12 18 23 07 00";
    // gpsdecode -j < testglo.rtcm3 (gpsd 3.22), first 1004 and 1012: amb, lockt.
    // gpsdecode prints a lock indicator with the low bit of the phase field in
    // front of it (102 shows as 230); the values below are its low 7 bits.
    const GpsRef gps[] = {
        {3, 20213931.126, 106224925.381, 50.000, 20213930.686, 82772669.679, 42.250, 67, 127, 127},
        {22, 24674143.136, 129663497.512, 43.250, 24674142.116, 101036491.404, 35.250, 82, 127, 127},
        {7, 21872691.096, 114941768.441, 48.500, 21872690.096, 89565014.279, 41.750, 72, 127, 127},
        {6, 21118916.980, 110980657.869, 49.000, 21118916.600, 86478434.748, 41.250, 70, 127, 127},
        {13, 24389990.178, 128170263.201, 41.000, 24389990.218, 99872931.621, 31.000, 81, 127, 127},
        {19, 20421761.464, 107317080.955, 49.750, 20421758.664, 83623698.483, 45.500, 68, 127, 127},
        {11, 23656735.484, 124316983.965, 44.500, 23656735.464, 96870376.629, 31.500, 78, 127, 127},
        {16, 22489005.270, 118180519.380, 47.750, 22489004.490, 92088716.291, 38.500, 75, 127, 127},
        {8, 24725783.236, 129934868.048, 43.000, 24725782.436, 101247948.711, 33.750, 82, 102, 101},
    };
    const GloRef glo[] = {
        {14, -7, 19271851.392, 102729811.697, 49.000, 19271859.552, 79900966.285, 43.000, 32, 127, 127},
        {17, 4, 21115654.940, 112994134.125, 44.750, 21115656.260, 87884326.269, 41.250, 35, 127, 127},
        {13, -2, 21815847.816, 116495409.360, 44.250, 21815853.636, 90607541.756, 41.000, 36, 127, 127},
        {23, 3, 22657649.972, 121203148.636, 38.250, 22657653.892, 94269116.665, 33.750, 37, 127, 127},
        {15, 0, 21365654.620, 114171579.612, 43.750, 21365660.060, 88800118.106, 39.750, 35, 127, 127},
        // L2 fields all zero: convbin shows C2 = C1 and no S2.
        {8, 6, 23736508.824, 127107926.605, 33.250, 23736508.824, 98861720.966, 0.0, 39, 14, 0},
    };

    const auto data = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    const auto f1004 = nthFrame(data, 1004);
    const auto f1012 = nthFrame(data, 1012);
    ASSERT_FALSE(f1004.empty());
    ASSERT_FALSE(f1012.empty());
    BaseStation& b = baseStation[0];

    EXPECT_EQ(decodeRtcm1004(f1004.data(), 0, 0), 11u);   // 9 GPS + 2 SBAS
    EXPECT_EQ(b.gpsTowMs, 515220000u);
    EXPECT_EQ(currentGpsTowMs.load(), 515220000u);
    EXPECT_EQ(msmSignalIdGps(b, 0), 2);
    EXPECT_EQ(msmSignalIdGps(b, 1), 10);
    for (const GpsRef& r : gps) {
        SCOPED_TRACE(r.prn);
        const GpsSatObs& s = b.gpsSat[r.prn];
        EXPECT_EQ(s.valid, 1);
        EXPECT_EQ(s.epochMs, 515220000u);
        EXPECT_NEAR(s.codeRange[0], r.c1, 0.001);
        EXPECT_NEAR(s.codeRange[1], r.c2, 0.001);
        EXPECT_NEAR(s.phaseRange[0], r.l1 * clight / gpsL1, 0.001);
        EXPECT_NEAR(s.phaseRange[1], r.l2 * clight / gpsL2, 0.001);
        EXPECT_EQ(s.cn0[0], r.s1);
        EXPECT_EQ(s.cn0[1], r.s2);
        EXPECT_EQ(s.ambiguityMs, r.amb);
        EXPECT_EQ(s.lockIndicator[0], r.lock1);
        EXPECT_EQ(s.lockIndicator[1], r.lock2);
        EXPECT_EQ(s.lockTimeS[0], lockTimeSeconds(uint32_t(r.lock1)));
        EXPECT_EQ(s.codeIndicator[0], 0);   // gpsdecode L1 "ind":0, L2 "ind":3
        EXPECT_EQ(s.codeIndicator[1], 3);
        EXPECT_EQ(s.slipFlag, 0);
    }
    // SBAS: convbin lists S29 and S37 (ids 49 and 57). We keep only the three
    // SBAS satellites 53, 55 and 58 (entries 33, 35, 38); these two are dropped.
    for (int i = 33; i < gpsSatEntries; ++i) EXPECT_EQ(b.gpsSat[i].epochMs, 0u) << i;

    EXPECT_EQ(decodeRtcm1012(f1012.data(), 0, 0), 6u);
    EXPECT_EQ(b.gloEpochMs, 7605000u);
    EXPECT_EQ(currentGloTodMs.load(), 7605000u);
    for (const GloRef& r : glo) {
        SCOPED_TRACE(r.slot);
        const GloSatObs& s = b.gloSat[r.slot];
        EXPECT_EQ(s.valid, 1);
        EXPECT_EQ(s.epochMs, 7605000u);
        EXPECT_EQ(int(s.freqChannel) - 7, r.channel);   // convbin "GLONASS SLOT / FRQ #"
        EXPECT_NEAR(s.codeRange[0], r.c1, 0.001);
        EXPECT_NEAR(s.codeRange[1], r.c2, 0.001);
        EXPECT_NEAR(s.phaseRange[0], r.l1 * clight / gloL1(r.channel), 0.001);
        EXPECT_NEAR(s.phaseRange[1], r.l2 * clight / gloL2(r.channel), 0.001);
        EXPECT_EQ(s.cn0[0], r.s1);
        EXPECT_EQ(s.cn0[1], r.s2);
        EXPECT_EQ(s.lockIndicator[0], r.lock1);
        EXPECT_EQ(s.lockIndicator[1], r.lock2);
        EXPECT_NEAR(s.l1CodeModulo + r.amb * 599584.916, r.c1, 0.001);
    }
}

TEST_F(LegacyDecode, NtripCaptureGlonassWithMissingL2)
{
    // convbin -r rtcm3 -o nc.obs -od -os -tr 2024/03/13 16:00:00 nc.rtcm3, where
    // nc.rtcm3 holds the capture's 1012 (its synchronous bit cleared, so that
    // convbin emits the single epoch) and 1020; gpsdecode -j for lockt.
    const GloRef glo[] = {
        {1, 1, 22457429.912, 120047896.942, 41.500, 22457444.972, 93370617.200, 35.500, 37, 127, 105},
        {22, -3, 21154290.060, 112922933.118, 49.750, 21154302.080, 87828958.804, 46.250, 35, 127, 127},
        {24, 2, 22480567.712, 120213730.837, 45.750, 22480581.792, 93499657.933, 42.750, 37, 127, 127},
        {8, 6, 20084313.548, 107550607.259, 52.750, 20084323.028, 83650523.533, 49.500, 33, 127, 127},
        {7, 5, 21756865.616, 116466079.660, 48.250, 21756879.536, 90584733.423, 44.750, 36, 127, 127},
        {23, 3, 19671803.432, 105230899.482, 50.750, 0, 0, 0, 32, 127, 0},
        {10, -7, 22759006.452, 121318385.205, 39.000, 0, 0, 0, 37, 127, 0},
        {9, -2, 22506971.692, 120186034.665, 44.500, 22506989.812, 93478156.818, 41.750, 37, 127, 127},
    };
    const auto data = readFileBytes(dataPath("rtcm3/ntrip-capture-msm4.rtcm3"));
    const auto f1012 = nthFrame(data, 1012);
    BaseStation& b = baseStation[0];
    ASSERT_EQ(decodeRtcm1012(f1012.data(), 0, 0), 8u);
    for (const GloRef& r : glo) {
        SCOPED_TRACE(r.slot);
        const GloSatObs& s = b.gloSat[gloSatIndex(r.slot)];   // slot 24 lives in entry 0
        EXPECT_EQ(int(s.freqChannel) - 7, r.channel);
        EXPECT_NEAR(s.codeRange[0], r.c1, 0.001);
        EXPECT_NEAR(s.phaseRange[0], r.l1 * clight / gloL1(r.channel), 0.001);
        EXPECT_EQ(s.cn0[0], r.s1);
        EXPECT_EQ(s.cn0[1], r.s2);
        EXPECT_EQ(s.lockIndicator[1], r.lock2);
        if (r.c2 == 0) {
            // L2-L1 -8192 and phase -524288 are "no value": the ranges are 0,
            // the raw scaled fields stay as sent.
            EXPECT_EQ(s.codeRange[1], 0.0);
            EXPECT_EQ(s.phaseRange[1], 0.0);
            EXPECT_DOUBLE_EQ(s.l2MinusL1Code, -8192 * 0.02);
        } else {
            EXPECT_NEAR(s.codeRange[1], r.c2, 0.001);
            EXPECT_NEAR(s.phaseRange[1], r.l2 * clight / gloL2(r.channel), 0.001);
        }
    }
}

TEST_F(LegacyDecode, AmbiguityFreeMessagesTakeOneUnit)
{
    // The capture's 1003 and 1011 carry the same raw fields as its 1004 and
    // 1012. RTKLIB does not decode 1003/1011 and gpsdecode 3.22 misreads their
    // L2 fields, so they are checked against our decode of 1004/1012, which
    // the tests above hold to convbin. Public decoders leave the range at the
    // modulo value; we put it one ambiguity unit out (299792.458 m for GPS,
    // 599584.916 m for GLONASS) and mark the satellites not valid.
    const auto data = readFileBytes(dataPath("rtcm3/ntrip-capture-msm4.rtcm3"));
    BaseStation& b = baseStation[0];
    ASSERT_EQ(decodeRtcm1004(nthFrame(data, 1004).data(), 0, 0), 11u);
    ASSERT_EQ(decodeRtcm1012(nthFrame(data, 1012).data(), 0, 0), 8u);
    GpsSatObs gps[40];
    GloSatObs glo[24];
    for (int i = 0; i < 40; ++i) gps[i] = b.gpsSat[i];
    for (int i = 0; i < 24; ++i) glo[i] = b.gloSat[i];

    ASSERT_EQ(decodeRtcm1003(nthFrame(data, 1003).data(), 0, 0), 11u);
    ASSERT_EQ(decodeRtcm1011(nthFrame(data, 1011).data(), 0, 0), 8u);
    const int gpsPrns[] = {2, 3, 21, 4, 9, 6, 19, 31, 17, 7, 1};
    for (int prn : gpsPrns) {
        SCOPED_TRACE(prn);
        const GpsSatObs& s = b.gpsSat[prn];
        EXPECT_EQ(s.valid, 0);
        EXPECT_EQ(s.l1CodeModulo, gps[prn].l1CodeModulo);
        EXPECT_DOUBLE_EQ(s.codeRange[0], gps[prn].l1CodeModulo + 299792.458);
        EXPECT_NEAR(s.phaseRange[1] - s.codeRange[0], gps[prn].phaseRange[1] - gps[prn].codeRange[0], 1e-6);
        EXPECT_EQ(s.cn0[0], gps[prn].cn0[0]);             // not in 1003: kept
        EXPECT_EQ(s.ambiguityMs, gps[prn].ambiguityMs);   // not in 1003: kept
    }
    const int gloSlots[] = {1, 22, 24, 8, 7, 23, 10, 9};
    for (int slot : gloSlots) {
        SCOPED_TRACE(slot);
        const int e = gloSatIndex(slot);
        const GloSatObs& s = b.gloSat[e];
        EXPECT_EQ(s.valid, 0);
        EXPECT_EQ(s.freqChannel, glo[e].freqChannel);
        EXPECT_DOUBLE_EQ(s.codeRange[0], glo[e].l1CodeModulo + 599584.916);
        EXPECT_EQ(s.codeRange[1] == 0, glo[e].codeRange[1] == 0);
    }
}

TEST_F(LegacyDecode, WholeRecordingEpochsAndTheOneSlip)
{
    // Every 1004/1012 of testglo in order. The recording has one lock-time
    // fall: GLONASS slot 8, L1 indicator 25 -> 14 after a gap; convbin marks
    // the same (R08 L1 LLI 1 at 23:07:30 GPST and at no other epoch after
    // the first).
    const auto data = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    BaseStation& b = baseStation[0];
    int decoded = 0;
    for (const FoundFrame& f : rtcmFrames(data)) {
        const uint8_t* frame = data.data() + f.offset;
        if (f.number == 1004) {
            EXPECT_GT(decodeRtcm1004(data.data(), f.offset, 0), 0u) << f.offset;
            ++decoded;
        } else if (f.number == 1012) {
            EXPECT_GT(decodeRtcm1012(frame, 0, 0), 0u) << f.offset;
            ++decoded;
            const bool slipEpoch = b.gloEpochMs == 7635000;   // 23:07:15 UTC
            EXPECT_EQ(b.gloSat[8].slipFlag, slipEpoch ? 1 : 0) << b.gloEpochMs;
        }
    }
    EXPECT_EQ(decoded, 372);
    EXPECT_EQ(b.gpsTowMs, 515405000u);   // 23:10:05
    for (int i = 0; i < gloSatEntries; ++i) EXPECT_EQ(b.gloSat[i].slipCount, i == 8 ? 1 : 0) << i;
    for (int i = 0; i < gpsSatEntries; ++i) EXPECT_EQ(b.gpsSat[i].slipCount, 0) << i;
}

namespace {

struct Sat1004 {
    uint32_t id = 1;
    uint32_t l1Code = 100000;
    int32_t l1Phase = 100;
    uint32_t lock1 = 127, lock2 = 127;
    uint32_t amb = 70;
    int32_t l2Code = 50;
    int32_t l2Phase = 200;
};

std::vector<uint8_t> gpsFrame(int number, uint32_t station, uint32_t tow,
                              const std::vector<Sat1004>& sats, uint32_t smoothing = 0,
                              uint32_t interval = 0)
{
    PayloadWriter w;
    w.u(12, uint64_t(number)).u(12, station).u(30, tow).u(1, 0).u(5, sats.size());
    w.u(1, smoothing).u(3, interval);
    for (const Sat1004& s : sats) {
        w.u(6, s.id).u(1, 0).u(24, s.l1Code).s(20, s.l1Phase).u(7, s.lock1);
        if (number == 1004) w.u(8, s.amb).u(8, 180);
        w.u(2, 0).s(14, s.l2Code).s(20, s.l2Phase).u(7, s.lock2);
        if (number == 1004) w.u(8, 160);
    }
    return rtcmFrame(w);
}

struct SatGlo {
    uint32_t slot = 1;
    uint32_t channel = 7;
    int32_t l2Code = 50;
};

std::vector<uint8_t> gloFrame(int number, uint32_t tod, const std::vector<SatGlo>& sats,
                              uint32_t count = 0xFF)
{
    PayloadWriter w;
    w.u(12, uint64_t(number)).u(12, 0).u(27, tod).u(1, 0);
    w.u(5, count == 0xFF ? sats.size() : count).u(1, 1).u(3, 2);
    for (const SatGlo& s : sats) {
        w.u(6, s.slot).u(1, 0).u(5, s.channel).u(25, 1000000).s(20, -40).u(7, 100);
        if (number == 1012) w.u(7, 35).u(8, 170);
        w.u(2, 0).s(14, s.l2Code).s(20, 30).u(7, 90);
        if (number == 1012) w.u(8, 150);
    }
    return rtcmFrame(w);
}

}  // namespace

TEST_F(LegacyDecode, StationIdLatch)
{
    BaseStation& b = baseStation[0];
    const Sat1004 sat;
    EXPECT_EQ(decodeRtcm1004(gpsFrame(1004, 100, 1000, {sat}).data(), 0, 0), 1u);
    EXPECT_EQ(b.stationId, 100);
    debugPrint = true;
    consoleCaptureStart();
    EXPECT_EQ(decodeRtcm1004(gpsFrame(1004, 200, 2000, {sat}).data(), 0, 0), 0u);
    EXPECT_EQ(consoleCaptureStop(), "RTCM ERROR station number mismatch MT1004 200\n");
    debugPrint = false;
    EXPECT_EQ(b.stationId, 0);
    EXPECT_EQ(b.gpsTowMs, 1000u);   // nothing of the refused message stored
    EXPECT_EQ(decodeRtcm1004(gpsFrame(1004, 200, 3000, {sat}).data(), 0, 0), 1u);
    EXPECT_EQ(b.stationId, 200);
    // Out-of-range base numbers are refused.
    EXPECT_EQ(decodeRtcm1004(gpsFrame(1004, 200, 4000, {sat}).data(), 0, -1), 0u);
    EXPECT_EQ(decodeRtcm1004(gpsFrame(1004, 200, 4000, {sat}).data(), 0, maxBases), 0u);
}

TEST_F(LegacyDecode, EpochAcceptance)
{
    BaseStation& b = baseStation[0];
    Sat1004 sat;
    sat.lock1 = 60;
    auto gps = [&](uint32_t tow) { return decodeRtcm1004(gpsFrame(1004, 0, tow, {sat}).data(), 0, 0); };
    ASSERT_EQ(gps(604600000), 1u);
    // The same epoch again: decoded, the lock time equals itself, no slip.
    ASSERT_EQ(gps(604600000), 1u);
    EXPECT_EQ(b.gpsSat[1].slipFlag, 0);
    // A late message is dropped; a time of week past the week's end is no epoch.
    EXPECT_EQ(gps(604599000), 0u);
    EXPECT_EQ(gps(1000000), 0u);   // 603,600,000 ms back: still late
    EXPECT_EQ(gps(604800000), 0u);
    EXPECT_EQ(gps(0x3FFFFFFF), 0u);
    EXPECT_EQ(b.gpsTowMs, 604600000u);
    EXPECT_EQ(currentGpsTowMs.load(), 604600000u);
    // 604,000,000 ms or more back is the next week.
    ASSERT_EQ(gps(100000), 1u);
    EXPECT_EQ(b.gpsTowMs, 100000u);
    EXPECT_EQ(b.gpsSat[1].epochMs, 100000u);

    // GLONASS: the day turns at 86,000,000 ms back, and a time of day of a
    // whole day or more is no epoch.
    ASSERT_EQ(decodeRtcm1012(gloFrame(1012, 86000000, {SatGlo{}}).data(), 0, 0), 1u);
    EXPECT_EQ(decodeRtcm1012(gloFrame(1012, 85000000, {SatGlo{}}).data(), 0, 0), 0u);
    EXPECT_EQ(decodeRtcm1012(gloFrame(1012, 86400000, {SatGlo{}}).data(), 0, 0), 0u);
    EXPECT_EQ(b.gloEpochMs, 86000000u);
    EXPECT_EQ(decodeRtcm1012(gloFrame(1012, 0, {SatGlo{}}).data(), 0, 0), 1u);
    EXPECT_EQ(b.gloSmoothing, 1);
    EXPECT_EQ(b.gloSmoothingInterval, 60);
}

TEST_F(LegacyDecode, GpsSatelliteEntries)
{
    BaseStation& b = baseStation[0];
    std::vector<Sat1004> sats(6);
    const uint32_t ids[] = {32, 55, 45, 0, 53, 58};
    for (size_t i = 0; i < sats.size(); ++i) {
        sats[i].id = ids[i];
        sats[i].l1Code = 1000 + uint32_t(i);
    }
    ASSERT_EQ(decodeRtcm1004(gpsFrame(1004, 0, 5000, sats).data(), 0, 0), 6u);
    // 32 folds onto entry 0; our three SBAS satellites get 33, 35 and 38.
    EXPECT_DOUBLE_EQ(b.gpsSat[0].l1CodeModulo, 1000 * 0.02);
    EXPECT_DOUBLE_EQ(b.gpsSat[35].l1CodeModulo, 1001 * 0.02);
    EXPECT_DOUBLE_EQ(b.gpsSat[33].l1CodeModulo, 1004 * 0.02);
    EXPECT_DOUBLE_EQ(b.gpsSat[38].l1CodeModulo, 1005 * 0.02);
    // Id 45 has no entry, and id 0 names no satellite (it must not land on
    // satellite 32's entry): read over, not stored.
    int stored = 0;
    for (const GpsSatObs& s : b.gpsSat) stored += s.epochMs == 5000 ? 1 : 0;
    EXPECT_EQ(stored, 4);
}

TEST_F(LegacyDecode, SlipRuleAndCount)
{
    BaseStation& b = baseStation[0];
    Sat1004 sat;
    uint32_t tow = 1000;
    auto epoch = [&](uint32_t lock1, time_t now) {
        setWallTimeOverride(now);
        sat.lock1 = lock1;
        tow += 1000;
        ASSERT_EQ(decodeRtcm1004(gpsFrame(1004, 0, tow, {sat}).data(), 0, 0), 1u);
    };
    const GpsSatObs& s = b.gpsSat[1];
    epoch(40, 100000);   // 56 s of lock
    EXPECT_EQ(s.slipFlag, 0);
    EXPECT_EQ(s.slipCount, 0);
    epoch(10, 100001);   // fell: the first slip always counts
    EXPECT_EQ(s.slipFlag, 1);
    EXPECT_EQ(s.slipCount, 1);
    EXPECT_EQ(s.lastSlipTime, 100001u);
    epoch(20, 100002);   // rising again clears the flag
    EXPECT_EQ(s.slipFlag, 0);
    epoch(5, 100030);    // within 60 s of the counted one: flagged, not counted
    EXPECT_EQ(s.slipFlag, 1);
    EXPECT_EQ(s.slipCount, 1);
    time_t now = 100001;
    for (int n = 2; n <= 8; ++n) {
        now += 61;
        epoch(30, now);
        epoch(0, now);
        EXPECT_EQ(s.slipCount, n == 8 ? 1 : n) << n;   // 1..7, then round again
    }
    EXPECT_EQ(s.lockTimeS[0], 0);
    EXPECT_EQ(s.lockIndicator[0], 0);
}

TEST_F(LegacyDecode, InvalidFieldsZeroTheirRanges)
{
    BaseStation& b = baseStation[0];
    Sat1004 sat;
    sat.l2Code = -8192;
    ASSERT_EQ(decodeRtcm1004(gpsFrame(1004, 0, 1000, {sat}).data(), 0, 0), 1u);
    const GpsSatObs& s = b.gpsSat[1];
    EXPECT_DOUBLE_EQ(s.codeRange[0], 70 * 299792.458 + 100000 * 0.02);
    EXPECT_EQ(s.codeRange[1], 0.0);
    EXPECT_DOUBLE_EQ(s.phaseRange[0], s.codeRange[0] + 100 * 0.0005);
    EXPECT_DOUBLE_EQ(s.phaseRange[1], s.codeRange[0] + 200 * 0.0005);
    EXPECT_DOUBLE_EQ(s.l2MinusL1Code, -8192 * 0.02);

    sat.l2Code = 50;
    sat.l1Phase = -524288;
    sat.l2Phase = -524288;
    ASSERT_EQ(decodeRtcm1004(gpsFrame(1004, 0, 2000, {sat}).data(), 0, 0), 1u);
    EXPECT_DOUBLE_EQ(s.codeRange[1], s.codeRange[0] + 1.0);
    EXPECT_EQ(s.phaseRange[0], 0.0);
    EXPECT_EQ(s.phaseRange[1], 0.0);
    EXPECT_DOUBLE_EQ(s.l1PhaseMinusCode, -524288 * 0.0005);
}

TEST_F(LegacyDecode, ShortFramesAreRefusedWhole)
{
    // A real frame re-wrapped with its payload cut short: the header still
    // announces all satellites, so the frame is refused before anything is
    // stored (epoch, station id, shared time, satellites).
    const auto data = readFileBytes(dataPath("rtcm3/ntrip-capture-msm4.rtcm3"));
    const int numbers[] = {1003, 1004, 1011, 1012};
    for (int number : numbers) {
        SCOPED_TRACE(number);
        initGlobals();
        initEpochValues();
        const auto frame = nthFrame(data, number);
        ASSERT_FALSE(frame.empty());
        const std::vector<uint8_t> payload(frame.begin() + 3, frame.end() - 3);
        for (size_t cut : {size_t(1), size_t(16), payload.size() - 4, payload.size() - 1}) {
            const std::vector<uint8_t> shortPayload(payload.begin(), payload.end() - long(cut));
            const auto f = rtcmFrame(shortPayload);
            const uint32_t got = number == 1003   ? decodeRtcm1003(f.data(), 0, 0)
                                 : number == 1004 ? decodeRtcm1004(f.data(), 0, 0)
                                 : number == 1011 ? decodeRtcm1011(f.data(), 0, 0)
                                                  : decodeRtcm1012(f.data(), 0, 0);
            EXPECT_EQ(got, 0u) << cut;
        }
        const BaseStation& b = baseStation[0];
        EXPECT_EQ(b.gpsTowMs, 1u);
        EXPECT_EQ(b.gloEpochMs, 1u);
        EXPECT_EQ(currentGpsTowMs.load(), 0u);
        EXPECT_EQ(b.gpsSat[2].epochMs, 0u);
        EXPECT_EQ(b.gloSat[1].epochMs, 0u);
        // The same frame whole is taken.
        const uint32_t whole = number == 1003   ? decodeRtcm1003(frame.data(), 0, 0)
                               : number == 1004 ? decodeRtcm1004(frame.data(), 0, 0)
                               : number == 1011 ? decodeRtcm1011(frame.data(), 0, 0)
                                                : decodeRtcm1012(frame.data(), 0, 0);
        EXPECT_GT(whole, 0u);
    }
}

TEST_F(LegacyDecode, GlonassSlotsAndChannelsOutOfRange)
{
    BaseStation& b = baseStation[0];
    // Slot 25 and channel field 21 are stepped over; the satellites after
    // them are still read from the right bits. Slot 0 names no satellite.
    std::vector<SatGlo> sats = {{3, 8, 11}, {25, 7, 12}, {5, 21, 13}, {0, 7, 14}, {24, 0, 15}, {6, 20, 16}};
    ASSERT_EQ(decodeRtcm1012(gloFrame(1012, 1000, sats).data(), 0, 0), 6u);
    EXPECT_DOUBLE_EQ(b.gloSat[3].l2MinusL1Code, 11 * 0.02);
    EXPECT_DOUBLE_EQ(b.gloSat[0].l2MinusL1Code, 15 * 0.02);   // slot 24
    EXPECT_EQ(b.gloSat[0].freqChannel, 0);
    EXPECT_DOUBLE_EQ(b.gloSat[6].l2MinusL1Code, 16 * 0.02);
    EXPECT_EQ(b.gloSat[6].freqChannel, 20);
    EXPECT_EQ(b.gloSat[5].epochMs, 0u);   // its channel field was 21
    int stored = 0;
    for (const GloSatObs& s : b.gloSat) stored += s.epochMs == 1000 ? 1 : 0;
    EXPECT_EQ(stored, 3);

    // 31 satellites announced and sent: 24 are read, 24 returned.
    std::vector<SatGlo> many;
    for (uint32_t i = 0; i < 31; ++i) many.push_back({i % 24 + 1, 7, int32_t(i)});
    EXPECT_EQ(decodeRtcm1012(gloFrame(1012, 2000, many).data(), 0, 0), 24u);
    EXPECT_DOUBLE_EQ(b.gloSat[1].l2MinusL1Code, 0.0);     // the first, not the 25th
    EXPECT_EQ(decodeRtcm1011(gloFrame(1011, 3000, many).data(), 0, 0), 24u);
    // Announcing more than the frame holds refuses it.
    EXPECT_EQ(decodeRtcm1012(gloFrame(1012, 4000, {SatGlo{}}, 2).data(), 0, 0), 0u);
    EXPECT_EQ(b.gloEpochMs, 3000u);
}

namespace {

struct BdsSignal {
    uint32_t code = 500000;
    int32_t phase = 300;
    uint32_t lock = 100, amb = 80, cnr = 160, codeInd = 1;
};

std::vector<uint8_t> bdsFrame(uint32_t tow, uint32_t mask,
                              const std::vector<std::pair<uint32_t, std::vector<BdsSignal>>>& sats)
{
    PayloadWriter w;
    w.u(12, 1104).u(12, 0).u(30, tow).u(1, 0).u(5, sats.size()).u(1, 1).u(3, 3).u(3, mask);
    for (const auto& [id, signals] : sats) {
        w.u(6, id);
        for (const BdsSignal& s : signals)
            w.u(2, s.codeInd).u(24, s.code).s(20, s.phase).u(7, s.lock).u(8, s.amb).u(8, s.cnr);
    }
    return rtcmFrame(w);
}

}  // namespace

TEST_F(LegacyDecode, OwnBeidouLayout)
{
    // 1104 is this system's own message (no public decoder knows it): a GPS-
    // style header, a 3-bit signal mask B1 B2 B3, then per satellite its id
    // and one 69-bit block per signal in the mask.
    BaseStation& b = baseStation[0];
    BdsSignal b1, b3;
    b3.code = 600000;
    b3.phase = -524288;
    b3.cnr = 120;
    ASSERT_EQ(decodeRtcm1104(bdsFrame(345000, 0b101, {{7, {b1, b3}}, {0, {b1, b1}}}).data(), 0, 0), 2u);
    EXPECT_EQ(b.bdsTowMs, 345000u);
    EXPECT_EQ(currentBdsTowMs.load(), 345000u);
    EXPECT_EQ(b.bdsSmoothing, 1);
    EXPECT_EQ(b.bdsSmoothingInterval, 120);
    EXPECT_EQ(msmSignalIdBds(b, 0), 2);
    EXPECT_EQ(msmSignalIdBds(b, 1), 0);   // B2 absent: not marked
    EXPECT_EQ(msmSignalIdBds(b, 2), 8);

    const BdsSatObs& s = b.bdsSat[7];
    EXPECT_EQ(s.valid, 1);
    EXPECT_EQ(s.epochMs, 345000u);
    EXPECT_DOUBLE_EQ(s.codeRange[0], 80 * 299792.458 + 500000 * 0.02);
    EXPECT_DOUBLE_EQ(s.phaseRange[0], s.codeRange[0] + 300 * 0.0005);
    EXPECT_EQ(s.codeRange[1], 0.0);
    EXPECT_EQ(s.phaseRange[1], 0.0);
    EXPECT_EQ(s.codeRange[2], 0.0);   // its phase field says "no value"
    EXPECT_EQ(s.phaseRange[2], 0.0);
    EXPECT_EQ(s.cn0[0], 40.0f);
    EXPECT_EQ(s.cn0[2], 30.0f);
    EXPECT_EQ(s.signalPresent[0], 1);
    EXPECT_EQ(s.lockTimeS[2], lockTimeSeconds(100));
    EXPECT_EQ(b.bdsSat[0].valid, 1);   // the 6-bit id is the entry itself

    // One signal's lock falling flags that signal only, and counts once.
    setWallTimeOverride(1700000100);
    BdsSignal fell = b3;
    fell.lock = 10;
    ASSERT_EQ(decodeRtcm1104(bdsFrame(346000, 0b101, {{7, {b1, fell}}}).data(), 0, 0), 1u);
    EXPECT_EQ(s.slipFlag[0], 0);
    EXPECT_EQ(s.slipFlag[2], 1);
    EXPECT_EQ(s.slipCount, 1);

    // A late epoch is reported and dropped; a short frame is refused.
    consoleCaptureStart();
    EXPECT_EQ(decodeRtcm1104(bdsFrame(345000, 0b101, {{7, {b1, b3}}}).data(), 0, 0), 0u);
    EXPECT_EQ(consoleCaptureStop(), "BDU tow less than current 1104\n");
    auto f = bdsFrame(347000, 0b111, {{7, {b1, b1, b1}}});
    std::vector<uint8_t> payload(f.begin() + 3, f.end() - 4);   // one byte short
    EXPECT_EQ(decodeRtcm1104(rtcmFrame(payload).data(), 0, 0), 0u);
    EXPECT_EQ(decodeRtcm1104(bdsFrame(604800000, 0b100, {{7, {b1}}}).data(), 0, 0), 0u);
    EXPECT_EQ(b.bdsTowMs, 346000u);
}
