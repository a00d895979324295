#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/checksum.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/orbits.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_ephemeris.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/orbit_reference.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

constexpr double semicircle = 3.1415926535898;
// 2009-12-25 23:07:00 UTC, the day testglo.rtcm3 was recorded.
constexpr time_t recordingDay = 1261782420;
constexpr uint16_t recordingMjd = 55190;

// Reference values: the navigation file that RTKLIB writes for the same
// stream,
//   convbin -r rtcm3 -tr 2009/12/25 23:07:00 -n out.nav -g out.gnav testglo.rtcm3
// (RTKLIB 2.4.3), records G03 and R08, the first 1019 and 1020 of the file.
//
// G03 2009 12 26 00 00 00  .489834230393D-03  .522959453519D-11  .000000000000D+00
//       .680000000000D+02 -.228125000000D+01  .529879214453D-08  .960630544678D+00
//      -.465661287308D-07  .127291339450D-01  .915490090847D-05  .515367845154D+04
//       .518400000000D+06 -.130385160446D-06  .108459207992D+01  .931322574615D-07
//       .926542338573D+00  .187343750000D+03  .973659372090D+00 -.844606609827D-08
//       .442161274935D-09  .100000000000D+01  .156300000000D+04  .000000000000D+00
//       .280000000000D+01  .000000000000D+00 -.419095158577D-08  .680000000000D+02
const RefGpsEph rinexG03 = {
    518400.0, 0.489834230393e-03, 0.522959453519e-11, 0.0,
    -0.228125000000e+01, 0.529879214453e-08, 0.960630544678e+00, -0.465661287308e-07,
    0.127291339450e-01, 0.915490090847e-05, 0.515367845154e+04, 0.518400000000e+06,
    -0.130385160446e-06, 0.108459207992e+01, 0.931322574615e-07, 0.926542338573e+00,
    0.187343750000e+03, 0.973659372090e+00, -0.844606609827e-08, 0.442161274935e-09,
    -0.419095158577e-08};

// R08 2009 12 25 23 15 00 -.794976949692D-04  .909494701773D-12  .515130000000D+06
//      -.139236352539D+05  .203822517395D+01 -.931322574615D-09  .000000000000D+00
//      -.137917080078D+05  .924707412720D+00  .000000000000D+00  .600000000000D+01
//       .163287265625D+05  .252017974854D+01 -.279396772385D-08  .000000000000D+00
const double r08Pos[3] = {-0.139236352539e+05, -0.137917080078e+05, 0.163287265625e+05};
const double r08Vel[3] = {0.203822517395e+01, 0.924707412720e+00, 0.252017974854e+01};
const double r08Acc[3] = {-0.931322574615e-09, 0.0, -0.279396772385e-08};
const double r08TauN = 0.794976949692e-04;   // RINEX holds -tauN
const double r08GammaN = 0.909494701773e-12;
// Its epoch 23:15:00 UTC is tb = 9 (02:15 Moscow time).
constexpr uint32_t r08TbMoscowS = 9 * 900;

class Rtcm3Ephemeris : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        setWallTimeOverride(recordingDay);
        stream = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
        frames = walkRtcmFrames(stream);
    }
    void TearDown() override { setWallTimeOverride(0); }

    std::vector<uint8_t> frameBytes(int index) const
    {
        const RtcmWalkFrame& f = frames[size_t(index)];
        return std::vector<uint8_t>(stream.begin() + f.offset,
                                    stream.begin() + f.offset + f.length);
    }

    std::vector<uint8_t> stream;
    std::vector<RtcmWalkFrame> frames;
};

// Rewrites an unsigned field at a frame bit offset and closes the frame with
// a fresh CRC, so crafted frames look like real ones.
void setField(std::vector<uint8_t>& frame, uint32_t bit, int n, uint32_t value)
{
    BitCursor c = bitCursor(bit / 8, uint32_t(frame.size()) - 3);
    c.bitIndex = 7 - bit % 8;
    writeBitsU32(frame.data(), c, n, value);
    appendCrc24q(frame.data(), frame.size() - 3);
}

constexpr uint32_t gpsSatIdBit = 36, gpsToeBit = 312;
constexpr uint32_t gloSatIdBit = 36, gloTbBit = 65, gloPosXBit = 96;

}   // namespace

TEST_F(Rtcm3Ephemeris, GpsFromRecordingMatchesIndependentEvaluation)
{
    ASSERT_EQ(frames.size(), 429u);
    int k = findRtcmFrame(frames, 1019);
    ASSERT_GE(k, 0);
    std::vector<uint8_t> f = frameBytes(k);
    ASSERT_TRUE(decodeRtcm1019(f.data(), 0, uint32_t(f.size()), 0));

    const GpsEphemeris& e = gpsEphemeris[3];
    EXPECT_EQ(e.frameLength, 67u);
    EXPECT_EQ(0, memcmp(e.rawFrame, f.data(), 67));
    EXPECT_EQ(e.week, 538);   // as sent: ten bits
    EXPECT_EQ(e.iode, 68);
    EXPECT_EQ(e.iodc, 68);
    EXPECT_EQ(e.toe, 518400u);
    EXPECT_EQ(e.toc, 518400u);
    // Angles and rates: semicircles here, radians in RINEX.
    const struct { double got, want; } params[] = {
        {e.af0, rinexG03.af0}, {e.af1, rinexG03.af1}, {e.crs, rinexG03.crs},
        {e.deltaN * semicircle, rinexG03.deltaN}, {e.m0 * semicircle, rinexG03.m0},
        {e.cuc, rinexG03.cuc}, {e.e, rinexG03.e}, {e.cus, rinexG03.cus},
        {e.sqrtA, rinexG03.sqrtA}, {e.cic, rinexG03.cic},
        {e.omega0 * semicircle, rinexG03.omega0}, {e.cis, rinexG03.cis},
        {e.i0 * semicircle, rinexG03.i0}, {e.crc, rinexG03.crc},
        {e.omega * semicircle, rinexG03.omega}, {e.omegaDot * semicircle, rinexG03.omegaDot},
        {e.iDot * semicircle, rinexG03.iDot}, {e.tgd, rinexG03.tgd}};
    for (const auto& q : params) EXPECT_NEAR(q.got, q.want, 1e-11 * std::fabs(q.want)) << q.want;
    EXPECT_EQ(e.af2, 0.0);

    // The ten-bit week becomes the full week of the recording's time.
    EXPECT_EQ(currentGpsWeek.load(), 538 + 1024);

    // From the first observation epoch of the file through the two hours
    // after toe, to well within a metre of the textbook evaluation.
    for (uint32_t t : {515220u, 515405u, 518400u, 520000u, 525600u}) {
        ASSERT_TRUE(calcGpsSatPosition(3, t)) << t;
        double ours[3] = {e.satX, e.satY, e.satZ}, ref[3];
        refGpsPosition(rinexG03, t, ref);
        EXPECT_LT(refDistance(ours, ref), 1.0) << "t " << t;
        EXPECT_EQ(e.timeOfWeekS, t);
    }
    EXPECT_NEAR(e.clockCorrection, rinexG03.af0 + rinexG03.af1 * (525600.0 - 518400.0), 1e-7);
}

TEST_F(Rtcm3Ephemeris, GlonassFromRecordingMatchesIndependentEvaluation)
{
    int k = findRtcmFrame(frames, 1020);
    ASSERT_GE(k, 0);
    std::vector<uint8_t> f = frameBytes(k);
    ASSERT_TRUE(decodeRtcm1020(f.data(), 0, uint32_t(f.size()), 2));

    const GloEphemeris& g = gloEphemeris[8];
    EXPECT_EQ(g.frameLength, 51u);
    EXPECT_EQ(0, memcmp(g.rawFrame, f.data(), 51));
    EXPECT_EQ(g.tb, 9);
    EXPECT_EQ(baseStation[2].gloSat[8].ephemerisTb, 9);
    EXPECT_EQ(g.frequencyChannel, 6 + 7);
    EXPECT_EQ(g.tkHours, 2);
    EXPECT_EQ(g.tkMinutes, 5);
    EXPECT_EQ(g.tkHalfMinutes, 1);
    const double pos[3] = {g.posX, g.posY, g.posZ}, vel[3] = {g.velX, g.velY, g.velZ},
                 acc[3] = {g.accX, g.accY, g.accZ};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(pos[i], r08Pos[i], 1e-7) << i;
        EXPECT_NEAR(vel[i], r08Vel[i], 1e-11) << i;
        EXPECT_NEAR(acc[i], r08Acc[i], 1e-20) << i;
    }
    EXPECT_NEAR(g.tauN, r08TauN, 1e-16);
    EXPECT_NEAR(g.gammaN, r08GammaN, 1e-22);

    // The broadcast state holds at tb: at that instant the position is the
    // broadcast one (the frame time tk lies 9.5 minutes earlier, kilometres
    // along the orbit).
    ASSERT_TRUE(calcGlonassSatState(8, r08TbMoscowS, recordingMjd));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(g.earthFixedPos[i], r08Pos[i] * 1000.0, 1e-3);
    EXPECT_NEAR(g.satX - g.earthFixedPos[0], 0.003, 1e-6);
    EXPECT_NEAR(g.satZ - g.earthFixedPos[2], 0.001, 1e-6);

    // The observation epochs of the file (GLONASS time of day 7605..7790 s)
    // and a quarter of an hour after tb.
    for (uint32_t tod : {7605u, 7790u, 9000u}) {
        ASSERT_TRUE(calcGlonassSatState(8, tod, recordingMjd));
        double refPos[3], refVel[3];
        refGlonassState(r08Pos, r08Vel, r08Acc, double(tod) - r08TbMoscowS, refPos, refVel);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(g.earthFixedPos[i], refPos[i] * 1000.0, 1.0) << tod << " axis " << i;
            EXPECT_NEAR(g.earthFixedVel[i], refVel[i] * 1000.0, 1e-3) << tod << " axis " << i;
        }
    }
}

TEST_F(Rtcm3Ephemeris, WholeRecordingDecodesAndPropagates)
{
    int gps = 0, glo = 0;
    for (const RtcmWalkFrame& fr : frames) {
        if (fr.messageNumber == 1019) {
            EXPECT_TRUE(decodeRtcm1019(stream.data(), fr.offset, fr.length, 0));
            ++gps;
        } else if (fr.messageNumber == 1020) {
            EXPECT_TRUE(decodeRtcm1020(stream.data(), fr.offset, fr.length, 0));
            ++glo;
        }
    }
    EXPECT_EQ(gps, 19);
    EXPECT_EQ(glo, 19);

    // First epoch of the file: GPS 515220 s of week, GLONASS 7605 s of day.
    setGpsTow(515220000);
    setGloTod(7605000);
    setMjd(recordingMjd);
    updateGpsOrbits();
    updateGloOrbits();
    int gpsPositions = 0, gloPositions = 0;
    for (const GpsEphemeris& e : gpsEphemeris) {
        if (e.frameLength == 0) continue;
        double r = std::sqrt(e.satX * e.satX + e.satY * e.satY + e.satZ * e.satZ);
        EXPECT_NEAR(r, 26560e3, 300e3);
        ++gpsPositions;
    }
    for (const GloEphemeris& g : gloEphemeris) {
        if (g.frameLength == 0) continue;
        double r = std::sqrt(g.satX * g.satX + g.satY * g.satY + g.satZ * g.satZ);
        EXPECT_NEAR(r, 25510e3, 100e3);
        ++gloPositions;
    }
    EXPECT_EQ(gpsPositions, 15);   // 15 satellites, four of them sent twice
    EXPECT_EQ(gloPositions, 6);
}

TEST_F(Rtcm3Ephemeris, SatelliteIdsAreRangeChecked)
{
    std::vector<uint8_t> gps = frameBytes(findRtcmFrame(frames, 1019));
    std::vector<uint8_t> glo = frameBytes(findRtcmFrame(frames, 1020));

    // PRN 32 belongs to slot 0; a toe field of 7200 is 115200 s.
    std::vector<uint8_t> f = gps;
    setField(f, gpsSatIdBit, 6, 32);
    setField(f, gpsToeBit, 16, 7200);
    ASSERT_TRUE(decodeRtcm1019(f.data(), 0, 67, 0));
    EXPECT_EQ(gpsEphemeris[0].toe, 115200u);
    EXPECT_EQ(gpsEphemeris[0].iode, 68);

    // Above the table: refused with its console line, nothing stored.
    for (uint32_t prn : {33u, 63u}) {
        f = gps;
        setField(f, gpsSatIdBit, 6, prn);
        consoleCaptureStart();
        EXPECT_FALSE(decodeRtcm1019(f.data(), 0, 67, 0));
        EXPECT_EQ(consoleCaptureStop(), "exceeds channels\n");
    }
    // 0 is no satellite and must not land on PRN 32's slot.
    f = gps;
    setField(f, gpsSatIdBit, 6, 0);
    setField(f, gpsToeBit, 16, 1);
    EXPECT_FALSE(decodeRtcm1019(f.data(), 0, 67, 0));
    EXPECT_EQ(gpsEphemeris[0].toe, 115200u);
    for (int s = 1; s < gpsEphemerisSlots; ++s) EXPECT_EQ(gpsEphemeris[s].frameLength, 0u) << s;

    // GLONASS slot 24 belongs to slot 0 and gives its tb to the sending base.
    f = glo;
    setField(f, gloSatIdBit, 6, 24);
    setField(f, gloTbBit, 7, 80);
    ASSERT_TRUE(decodeRtcm1020(f.data(), 0, 51, 4));
    EXPECT_EQ(gloEphemeris[0].tb, 80);
    EXPECT_EQ(baseStation[4].gloSat[0].ephemerisTb, 80);
    EXPECT_EQ(baseStation[3].gloSat[0].ephemerisTb, 0);
    for (uint32_t sat : {25u, 63u}) {
        f = glo;
        setField(f, gloSatIdBit, 6, sat);
        consoleCaptureStart();
        EXPECT_FALSE(decodeRtcm1020(f.data(), 0, 51, 4));
        EXPECT_EQ(consoleCaptureStop(), "exceeds channels\n");
    }
    f = glo;
    setField(f, gloSatIdBit, 6, 0);
    setField(f, gloTbBit, 7, 3);
    EXPECT_FALSE(decodeRtcm1020(f.data(), 0, 51, 4));
    EXPECT_EQ(gloEphemeris[0].tb, 80);
    EXPECT_EQ(baseStation[4].gloSat[0].ephemerisTb, 80);

    // Sign-magnitude: sign bit and a magnitude of 1 is minus one unit.
    f = glo;
    setField(f, gloPosXBit, 27, 0x4000001);
    ASSERT_TRUE(decodeRtcm1020(f.data(), 0, 51, 0));
    EXPECT_EQ(gloEphemeris[8].posX, -std::ldexp(1.0, -11));

    // A base index outside the table still stores the ephemeris.
    f = glo;
    EXPECT_TRUE(decodeRtcm1020(f.data(), 0, 51, maxBases));
    EXPECT_TRUE(decodeRtcm1020(f.data(), 0, 51, -1));
}

TEST_F(Rtcm3Ephemeris, ShortOrInconsistentFramesAreRefused)
{
    std::vector<uint8_t> gps = frameBytes(findRtcmFrame(frames, 1019));
    std::vector<uint8_t> glo = frameBytes(findRtcmFrame(frames, 1020));

    // One byte short, with a length field and CRC that agree with it.
    std::vector<uint8_t> shortGps(gps.begin(), gps.end() - 4);
    shortGps[2] = uint8_t(shortGps.size() + 3 - 6);
    shortGps.resize(shortGps.size() + 3);
    appendCrc24q(shortGps.data(), shortGps.size() - 3);
    ASSERT_EQ(shortGps.size(), 66u);
    std::vector<uint8_t> shortGlo(glo.begin(), glo.end() - 4);
    shortGlo[2] = uint8_t(shortGlo.size() + 3 - 6);
    shortGlo.resize(shortGlo.size() + 3);
    appendCrc24q(shortGlo.data(), shortGlo.size() - 3);

    consoleCaptureStart();
    EXPECT_FALSE(decodeRtcm1019(shortGps.data(), 0, 66, 0));
    EXPECT_FALSE(decodeRtcm1020(shortGlo.data(), 0, 50, 0));
    // A caller's length that the frame's own length field contradicts.
    std::vector<uint8_t> lying = gps;
    lying[2] = 60;
    EXPECT_FALSE(decodeRtcm1019(lying.data(), 0, 67, 0));
    lying = glo;
    lying[2] = 44;
    EXPECT_FALSE(decodeRtcm1020(lying.data(), 0, 51, 0));
    // The other message's frame.
    EXPECT_FALSE(decodeRtcm1019(glo.data(), 0, 67, 0));
    EXPECT_FALSE(decodeRtcm1020(gps.data(), 0, 51, 0));
    EXPECT_FALSE(decodeRtcm1019(nullptr, 0, 67, 0));
    EXPECT_EQ(consoleCaptureStop(), "");

    for (const GpsEphemeris& e : gpsEphemeris) EXPECT_EQ(e.frameLength, 0u);
    for (const GloEphemeris& g : gloEphemeris) EXPECT_EQ(g.frameLength, 0u);
    EXPECT_EQ(currentGpsWeek.load(), 0);
}
