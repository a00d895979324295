#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/orbits.h"
#include "core/records.h"
#include "platform/console.h"
#include "platform/sync.h"
#include "support/orbit_reference.h"

namespace {

constexpr double semicircle = 3.1415926535898;

// A real broadcast GPS ephemeris (PRN 3, 2009-12-26, RTKLIB's testglo.rtcm3
// as convbin writes it), angles in radians.
const RefGpsEph g03 = {518400.0, 0.489834230393e-03, 0.522959453519e-11, 0.0,
                       -0.228125000000e+01, 0.529879214453e-08, 0.960630544678e+00,
                       -0.465661287308e-07, 0.127291339450e-01, 0.915490090847e-05,
                       0.515367845154e+04, 0.518400000000e+06, -0.130385160446e-06,
                       0.108459207992e+01, 0.931322574615e-07, 0.926542338573e+00,
                       0.187343750000e+03, 0.973659372090e+00, -0.844606609827e-08,
                       0.442161274935e-09, -0.419095158577e-08};

// A real GLONASS state (slot 8 at 23:15 UTC, tb = 9), km, km/s, km/s^2.
const double r08Pos[3] = {-13923.6352539, -13791.7080078, 16328.7265625};
const double r08Vel[3] = {2.03822517395, 0.924707412720, 2.52017974854};
const double r08Acc[3] = {-0.931322574615e-09, 0.0, -0.279396772385e-08};
constexpr uint16_t mjd = 55190;

void loadGps(int slot, const RefGpsEph& p)
{
    GpsEphemeris& e = gpsEphemeris[slot];
    e.toc = uint32_t(p.toc);
    e.toe = uint32_t(p.toe);
    e.af0 = p.af0;
    e.af1 = p.af1;
    e.af2 = p.af2;
    e.crs = p.crs;
    e.deltaN = p.deltaN / semicircle;
    e.m0 = p.m0 / semicircle;
    e.cuc = p.cuc;
    e.e = p.e;
    e.cus = p.cus;
    e.sqrtA = p.sqrtA;
    e.cic = p.cic;
    e.omega0 = p.omega0 / semicircle;
    e.cis = p.cis;
    e.i0 = p.i0 / semicircle;
    e.crc = p.crc;
    e.omega = p.omega / semicircle;
    e.omegaDot = p.omegaDot / semicircle;
    e.iDot = p.iDot / semicircle;
    e.tgd = p.tgd;
    e.iode = 68;
    e.frameLength = 67;
}

void loadGlo(int slot, const double pos[3], const double vel[3], const double acc[3], uint8_t tb)
{
    GloEphemeris& g = gloEphemeris[slot];
    g.posX = pos[0], g.posY = pos[1], g.posZ = pos[2];
    g.velX = vel[0], g.velY = vel[1], g.velZ = vel[2];
    g.accX = acc[0], g.accY = acc[1], g.accZ = acc[2];
    g.tb = tb;
    g.tkHours = 2;
    g.tkMinutes = 5;
    g.frameLength = 51;
}

double gpsDistanceToRef(int slot, const RefGpsEph& p, double t)
{
    const GpsEphemeris& e = gpsEphemeris[slot];
    double ours[3] = {e.satX, e.satY, e.satZ}, ref[3];
    refGpsPosition(p, t, ref);
    return refDistance(ours, ref);
}

// Distance in metres between a slot's integrated position and the
// reference integration of the broadcast state over dt seconds.
double gloDistanceToRef(int slot, const double pos[3], const double vel[3], const double acc[3],
                        double dt)
{
    double refPos[3], refVel[3];
    refGlonassState(pos, vel, acc, dt, refPos, refVel);
    for (double& v : refPos) v *= 1000.0;
    return refDistance(gloEphemeris[slot].earthFixedPos, refPos);
}

class Orbits : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
};

}   // namespace

TEST_F(Orbits, GpsAgreesWithUserAlgorithmAllRoundTheOrbit)
{
    loadGps(3, g03);
    // Two revolutions in 17-minute steps: every quadrant of the true anomaly.
    for (double t = 518400.0 - 7200.0; t < 518400.0 + 86400.0; t += 1000.0) {
        ASSERT_TRUE(calcGpsSatPosition(3, uint32_t(t))) << t;
        EXPECT_LT(gpsDistanceToRef(3, g03, t), 0.5) << t;
    }
    // Out-of-table slots and an empty orbit are refused, position untouched.
    EXPECT_FALSE(calcGpsSatPosition(-1, 518400));
    EXPECT_FALSE(calcGpsSatPosition(gpsEphemerisSlots, 518400));
    RefGpsEph p = g03;
    p.sqrtA = 0.0;
    loadGps(7, p);
    gpsEphemeris[7].satX = 1.0;
    EXPECT_FALSE(calcGpsSatPosition(7, 518400));
    EXPECT_EQ(gpsEphemeris[7].satX, 1.0);
    EXPECT_EQ(gpsEphemeris[7].timeOfWeekS, 0u);
}

TEST_F(Orbits, GpsAcrossTheWeekBoundaryAndCircularOrbit)
{
    // toe and toc at the last second of a week, time one second into the
    // next: the ephemeris is 2 s old, not a week.
    RefGpsEph p = g03;
    p.toe = p.toc = 604799.0;
    loadGps(5, p);
    ASSERT_TRUE(calcGpsSatPosition(5, 1));
    EXPECT_LT(gpsDistanceToRef(5, p, 1.0), 0.5);
    ASSERT_TRUE(calcGpsSatPosition(5, 604797));
    double older[3] = {gpsEphemeris[5].satX, gpsEphemeris[5].satY, gpsEphemeris[5].satZ};
    ASSERT_TRUE(calcGpsSatPosition(5, 1));
    double newer[3] = {gpsEphemeris[5].satX, gpsEphemeris[5].satY, gpsEphemeris[5].satZ};
    double moved = refDistance(older, newer);   // 4 s at a few km/s
    EXPECT_GT(moved, 8000.0);
    EXPECT_LT(moved, 16000.0);
    // dtc = +2 s; the relativistic term (tens of ns) comes from the last run.
    EXPECT_NEAR(gpsEphemeris[5].clockCorrection, p.af0 + p.af1 * 2.0 - p.tgd, 5e-8);

    // Eccentricity 0: Kepler's equation is solved by E = M.
    p = g03;
    p.e = 0.0;
    loadGps(6, p);
    ASSERT_TRUE(calcGpsSatPosition(6, 520000));
    double a = p.sqrtA * p.sqrtA;
    double n = std::sqrt(3.986004418e14 / (a * a * a)) + p.deltaN;
    double m = p.m0 + n * (520000.0 - gpsEphemeris[6].clockCorrection - p.toe);
    EXPECT_NEAR(gpsEphemeris[6].eccentricAnomaly, m, 1e-9);
    EXPECT_EQ(gpsEphemeris[6].relativisticCorrection, 0.0);
    EXPECT_LT(gpsDistanceToRef(6, p, 520000.0), 0.5);
}

TEST_F(Orbits, GpsUpdateSkipsEmptyAndBusySlots)
{
    loadGps(3, g03);
    loadGps(9, g03);
    gpsEphemeris[9].iode = 0;   // IODE 0 is a legitimate issue of data
    updateGpsOrbits();          // no GPS time yet
    EXPECT_EQ(gpsEphemeris[3].satX, 0.0);

    setGpsTow(518400500);
    // A slot whose mutex another thread holds keeps its old position.
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        waitMutex(gpsEphemeris[3].mutex, 0);
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        releaseMutex(gpsEphemeris[3].mutex);
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    updateGpsOrbits();
    release = true;
    holder.join();
    EXPECT_EQ(gpsEphemeris[3].satX, 0.0);
    EXPECT_EQ(gpsEphemeris[9].timeOfWeekS, 518400u);
    EXPECT_LT(gpsDistanceToRef(9, g03, 518400.0), 0.5);
    for (int s = 0; s < gpsEphemerisSlots; ++s) {
        if (s == 3 || s == 9) continue;
        EXPECT_EQ(gpsEphemeris[s].timeOfWeekS, 0u) << s;
    }

    updateGpsOrbits();
    EXPECT_LT(gpsDistanceToRef(3, g03, 518400.0), 0.5);
}

TEST_F(Orbits, GlonassForwardThenBackReturnsToStart)
{
    // Through the slot: carry tb 9 a quarter hour on, broadcast the result as
    // tb 10, carry it back to tb 9.
    loadGlo(8, r08Pos, r08Vel, r08Acc, 9);
    ASSERT_TRUE(calcGlonassSatState(8, 10 * 900, mjd));
    double p1[3], v1[3];
    for (int i = 0; i < 3; ++i) {
        p1[i] = gloEphemeris[8].earthFixedPos[i] / 1000.0;
        v1[i] = gloEphemeris[8].earthFixedVel[i] / 1000.0;
    }
    loadGlo(8, p1, v1, r08Acc, 10);
    ASSERT_TRUE(calcGlonassSatState(8, 9 * 900, mjd));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(gloEphemeris[8].earthFixedPos[i], r08Pos[i] * 1000.0, 0.05);

    // The bare integration over six hours each way. Without the luni-solar
    // term, which is held constant in the inertial frame of each start and
    // so differs between the two legs.
    const double noAcc[3] = {0, 0, 0};
    double out[3], outVel[3], back[3], backVel[3];
    ASSERT_TRUE(propagateGlonassState(r08Pos, r08Vel, noAcc, mjd, 83700.0, 21600.0, out, outVel));
    EXPECT_GT(refDistance(out, r08Pos), 10000.0);
    ASSERT_TRUE(propagateGlonassState(out, outVel, noAcc, mjd, 83700.0 + 21600.0, -21600.0, back,
                                      backVel));
    EXPECT_LT(refDistance(back, r08Pos) * 1000.0, 1.0);
    EXPECT_LT(refDistance(backVel, r08Vel) * 1000.0, 1e-3);
}

TEST_F(Orbits, GlonassAcrossMidnight)
{
    // tb 95 is 23:45 Moscow time; five past midnight is 20 minutes later,
    // not almost a day earlier.
    loadGlo(8, r08Pos, r08Vel, r08Acc, 95);
    ASSERT_TRUE(calcGlonassSatState(8, 300, mjd));
    EXPECT_LT(gloDistanceToRef(8, r08Pos, r08Vel, r08Acc, 1200.0), 0.5);

    // tb 1 is 00:15; 23:55 of the day before is 20 minutes earlier.
    loadGlo(8, r08Pos, r08Vel, r08Acc, 1);
    ASSERT_TRUE(calcGlonassSatState(8, 86100, mjd));
    EXPECT_LT(gloDistanceToRef(8, r08Pos, r08Vel, r08Acc, -1200.0), 0.5);

    // Across UTC midnight (03:00 Moscow time), where the day number changes
    // between tb 11 (23:45 UTC) and the target (00:05 UTC on the next day).
    loadGlo(8, r08Pos, r08Vel, r08Acc, 11);
    ASSERT_TRUE(calcGlonassSatState(8, 3 * 3600 + 300, mjd + 1));
    EXPECT_LT(gloDistanceToRef(8, r08Pos, r08Vel, r08Acc, 1200.0), 0.5);
    // Just before: same day number, target 23:55 UTC.
    ASSERT_TRUE(calcGlonassSatState(8, 2 * 3600 + 3300, mjd));
    EXPECT_LT(gloDistanceToRef(8, r08Pos, r08Vel, r08Acc, 600.0), 0.5);
}

TEST_F(Orbits, GlonassRefusesDegenerateState)
{
    const double zero[3] = {0, 0, 0};
    loadGlo(4, zero, r08Vel, r08Acc, 9);
    gloEphemeris[4].satX = 7.0;
    EXPECT_FALSE(calcGlonassSatState(4, 8200, mjd));
    EXPECT_EQ(gloEphemeris[4].satX, 7.0);
    const double nan3[3] = {NAN, 0, 0};
    double out[3] = {1, 2, 3}, outVel[3];
    EXPECT_FALSE(propagateGlonassState(r08Pos, nan3, r08Acc, mjd, 0, 60, out, outVel));
    EXPECT_EQ(out[0], 1.0);
    EXPECT_FALSE(calcGlonassSatState(-1, 8100, mjd));
    EXPECT_FALSE(calcGlonassSatState(gloEphemerisSlots, 8100, mjd));
}

TEST_F(Orbits, GlonassUpdateNeedsTimeAndDay)
{
    loadGlo(8, r08Pos, r08Vel, r08Acc, 9);
    loadGlo(13, r08Pos, r08Vel, r08Acc, 9);
    gloEphemeris[13].tkHours = gloEphemeris[13].tkMinutes = 0;   // frame sent at 00:00:30
    gloEphemeris[13].tkHalfMinutes = 1;

    setGloTod(8100000);
    updateGloOrbits();   // no day number yet
    EXPECT_EQ(gloEphemeris[8].satX, 0.0);

    setMjd(mjd);
    updateGloOrbits();
    EXPECT_NEAR(gloEphemeris[8].earthFixedPos[0], r08Pos[0] * 1000.0, 1e-3);
    EXPECT_NEAR(gloEphemeris[13].earthFixedPos[0], r08Pos[0] * 1000.0, 1e-3);
    for (int s = 0; s < gloEphemerisSlots; ++s) {
        if (s == 8 || s == 13) continue;
        EXPECT_EQ(gloEphemeris[s].satX, 0.0) << s;
    }
}

TEST_F(Orbits, SiderealAngleIsContinuousAcrossMidnight)
{
    // The same instant named from either day gives the same angle.
    EXPECT_NEAR(siderealAngle(mjd, 86400.0 + 300.0), siderealAngle(mjd + 1, 300.0), 1e-9);
    EXPECT_NEAR(siderealAngle(mjd + 1, -300.0), siderealAngle(mjd, 86100.0), 1e-9);
    // 2000-01-01 12:00 UT: 18.697374558 h.
    EXPECT_NEAR(siderealAngle(51544, 43200.0), 18.697374558 * 15.0 * semicircle / 180.0, 1e-9);
}
