#include "core/orbits.h"

#include <cmath>

#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "platform/console.h"
#include "platform/sync.h"

namespace {

constexpr double pi = 3.1415926535898;
constexpr double earthRotationRate = 7.2921151467e-5;   // rad/s

// GPS user algorithm constants.
constexpr double gpsMu = 3.986004418e14;                // m^3/s^2
constexpr double relativisticF = -4.442807633e-10;      // s/m^(1/2)
constexpr double halfWeek = 302400.0;
constexpr double fullWeek = 604800.0;
constexpr int keplerMaxSteps = 200;
constexpr double keplerTolerance = 1e-6;

// GLONASS equations of motion, kilometres and seconds.
constexpr double gloMu = 398600.4418;        // km^3/s^2
constexpr double gloAe = 6378.136;           // km
constexpr double gloC20 = -0.00108262575;
constexpr double gloMaxStep = 60.0;          // s, RK4 step
constexpr double moscowShift = 10800.0;      // Moscow time runs 3 h ahead of UTC
constexpr double day = 86400.0;

constexpr int orbitMutexWaitMs = 100;

// A broadcast value that has been through the week boundary comes back into
// -302400..302400 s.
double wrapHalfWeek(double t)
{
    if (t > halfWeek) t -= fullWeek;
    if (t < -halfWeek) t += fullWeek;
    return t;
}

double wrapDay(double s)
{
    s = std::fmod(s, day);
    if (s < 0) s += day;
    return s;
}

bool finite3(const double v[3])
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Inertial acceleration of the GLONASS motion model: central body plus the
// Earth's oblateness, plus the broadcast luni-solar term.
void gloAcceleration(const double p[3], const double lunisolar[3], double a[3])
{
    double r2 = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    double r = std::sqrt(r2);
    double central = -gloMu / r2;
    double oblate = 1.5 * gloC20 * gloMu * gloAe * gloAe / (r2 * r2);
    double z2r2 = 5.0 * p[2] * p[2] / r2;
    a[0] = (central + oblate * (1.0 - z2r2)) * p[0] / r + lunisolar[0];
    a[1] = (central + oblate * (1.0 - z2r2)) * p[1] / r + lunisolar[1];
    a[2] = (central + oblate * (3.0 - z2r2)) * p[2] / r + lunisolar[2];
}

// One classic fourth-order Runge-Kutta step on (position, velocity).
void rk4Step(double p[3], double v[3], const double lunisolar[3], double h)
{
    double k1p[3], k1v[3], k2p[3], k2v[3], k3p[3], k3v[3], k4p[3], k4v[3], tp[3];
    for (int i = 0; i < 3; ++i) k1p[i] = v[i];
    gloAcceleration(p, lunisolar, k1v);
    for (int i = 0; i < 3; ++i) {
        tp[i] = p[i] + 0.5 * h * k1p[i];
        k2p[i] = v[i] + 0.5 * h * k1v[i];
    }
    gloAcceleration(tp, lunisolar, k2v);
    for (int i = 0; i < 3; ++i) {
        tp[i] = p[i] + 0.5 * h * k2p[i];
        k3p[i] = v[i] + 0.5 * h * k2v[i];
    }
    gloAcceleration(tp, lunisolar, k3v);
    for (int i = 0; i < 3; ++i) {
        tp[i] = p[i] + h * k3p[i];
        k4p[i] = v[i] + h * k3v[i];
    }
    gloAcceleration(tp, lunisolar, k4v);
    for (int i = 0; i < 3; ++i) {
        p[i] += h / 6.0 * (k1p[i] + 2.0 * k2p[i] + 2.0 * k3p[i] + k4p[i]);
        v[i] += h / 6.0 * (k1v[i] + 2.0 * k2v[i] + 2.0 * k3v[i] + k4v[i]);
    }
}

}   // namespace

namespace {

struct GpsOrbitResult {
    double pos[3];
    double clock;
    double rel;
    double eccentricAnomaly;
};

// The user algorithm of the broadcast orbit at time of week t (seconds,
// fractions allowed); with `satelliteTime` t is read on the satellite's
// clock and its correction taken off first. False when the ephemeris is
// unusable or Kepler's equation does not converge.
bool gpsOrbit(const GpsEphemeris& eph, double t, bool satelliteTime, GpsOrbitResult& out)
{
    // A hostile or empty record must not bring infinities into the position.
    if (!(eph.sqrtA > 0.0) || !(eph.e >= 0.0 && eph.e < 1.0) || !std::isfinite(t)) return false;

    double a = eph.sqrtA * eph.sqrtA;
    double n = std::sqrt(gpsMu / (a * a * a)) + eph.deltaN * pi;

    double dtc = wrapHalfWeek(t - double(eph.toc));
    double clock = eph.af0 + eph.af1 * dtc + eph.af2 * dtc * dtc + eph.relativisticCorrection -
                   eph.tgd;

    double tk = wrapHalfWeek(t - (satelliteTime ? clock : 0.0) - double(eph.toe));
    double m = eph.m0 * pi + n * tk;

    // Newton on Kepler's equation; the derivative 1 - e cos E stays above
    // 1 - e > 0, so every step is defined.
    double ecc = eph.e;
    double bigE = 0.1;
    bool converged = false;
    for (int step = 0; step < keplerMaxSteps; ++step) {
        double next = bigE + (ecc * std::sin(bigE) + m - bigE) / (1.0 - ecc * std::cos(bigE));
        // Take the refined value: the one before the last step can still be
        // off by the step itself, tens of metres along the orbit.
        bool done = std::fabs(next - bigE) < keplerTolerance;
        bigE = next;
        if (done) {
            converged = true;
            break;
        }
    }
    if (!converged) {
        consoleWrite(" error solving for E exceeds 200 iterations\r\n");
        return false;
    }

    double sinE = std::sin(bigE), cosE = std::cos(bigE);
    double rel = relativisticF * ecc * eph.sqrtA * sinE;
    double nu = std::atan2(std::sqrt(1.0 - ecc * ecc) * sinE, cosE - ecc);

    double phi = nu + eph.omega * pi;
    double sin2p = std::sin(2.0 * phi), cos2p = std::cos(2.0 * phi);
    double u = phi + eph.cus * sin2p + eph.cuc * cos2p;
    double r = a * (1.0 - ecc * cosE) + eph.crs * sin2p + eph.crc * cos2p;
    double inc = eph.i0 * pi + eph.cis * sin2p + eph.cic * cos2p + eph.iDot * pi * tk;
    double node = eph.omega0 * pi + (eph.omegaDot * pi - earthRotationRate) * tk -
                  earthRotationRate * double(eph.toe);

    double xp = r * std::cos(u), yp = r * std::sin(u);
    out.pos[0] = xp * std::cos(node) - yp * std::cos(inc) * std::sin(node);
    out.pos[1] = xp * std::sin(node) + yp * std::cos(inc) * std::cos(node);
    out.pos[2] = yp * std::sin(inc);
    out.clock = clock;
    out.rel = rel;
    out.eccentricAnomaly = bigE;
    return finite3(out.pos) && std::isfinite(clock) && std::isfinite(rel);
}

}   // namespace

bool calcGpsSatPosition(int slot, uint32_t t)
{
    if (slot < 0 || slot >= gpsEphemerisSlots) return false;
    GpsEphemeris& eph = gpsEphemeris[slot];
    GpsOrbitResult o;
    if (!gpsOrbit(eph, double(t), true, o)) return false;
    eph.timeOfWeekS = t;
    eph.clockCorrection = o.clock;
    eph.eccentricAnomaly = o.eccentricAnomaly;
    eph.relativisticCorrection = o.rel;
    eph.satX = o.pos[0];
    eph.satY = o.pos[1];
    eph.satZ = o.pos[2];
    return true;
}

bool gpsSatPositionAt(const GpsEphemeris& eph, double t, double pos[3])
{
    GpsOrbitResult o;
    if (!gpsOrbit(eph, t, false, o)) return false;
    for (int i = 0; i < 3; ++i) pos[i] = o.pos[i];
    return true;
}

double siderealAngle(uint16_t mjd, double s)
{
    double jd0 = 2400000.5 + double(mjd);
    double s0 = 6.697374558 + 0.06570982441908 * (jd0 - 2451545.0);
    double t = (jd0 + s / day - 2451545.0) / 36525.0;
    double hours = s0 + 1.00273790935 * s / 3600.0 + 2.6e-5 * t * t;
    hours = std::fmod(hours, 24.0);
    if (hours < 0) hours += 24.0;
    return hours * 360.0 / 24.0 * pi / 180.0;
}

bool propagateGlonassState(const double pos[3], const double vel[3], const double acc[3],
                           uint16_t mjd, double s, double dt, double outPos[3],
                           double outVel[3])
{
    if (!finite3(pos) || !finite3(vel) || !finite3(acc) || !std::isfinite(dt)) return false;
    double r = std::sqrt(pos[0] * pos[0] + pos[1] * pos[1] + pos[2] * pos[2]);
    // Nothing orbits inside the Earth; this also keeps 1/r finite.
    if (r < gloAe) return false;

    // Into the inertial frame at the reference time.
    double s0 = siderealAngle(mjd, s);
    double c0 = std::cos(s0), n0 = std::sin(s0);
    double p[3] = {pos[0] * c0 - pos[1] * n0, pos[0] * n0 + pos[1] * c0, pos[2]};
    double v[3] = {vel[0] * c0 - vel[1] * n0 - earthRotationRate * p[1],
                   vel[0] * n0 + vel[1] * c0 + earthRotationRate * p[0], vel[2]};
    double a[3] = {acc[0] * c0 - acc[1] * n0, acc[0] * n0 + acc[1] * c0, acc[2]};

    // Equal steps of at most a minute that end exactly at the target.
    int steps = int(std::ceil(std::fabs(dt) / gloMaxStep));
    if (steps > 0) {
        double h = dt / steps;
        for (int i = 0; i < steps; ++i) rk4Step(p, v, a, h);
    }

    // Back into the Earth-fixed frame at the target time.
    double s1 = siderealAngle(mjd, s + dt);
    double c1 = std::cos(s1), n1 = std::sin(s1);
    double xe[3] = {p[0] * c1 + p[1] * n1, -p[0] * n1 + p[1] * c1, p[2]};
    double ve[3] = {v[0] * c1 + v[1] * n1 + earthRotationRate * xe[1],
                    -v[0] * n1 + v[1] * c1 - earthRotationRate * xe[0], v[2]};
    if (!finite3(xe) || !finite3(ve)) return false;
    for (int i = 0; i < 3; ++i) {
        outPos[i] = xe[i];
        outVel[i] = ve[i];
    }
    return true;
}

bool gloSatStateAt(const GloEphemeris& g, double tod, uint16_t mjd, double pos[3],
                   double vel[3])
{
    if (!std::isfinite(tod)) return false;
    // The broadcast state holds at tb (Moscow time, 15-minute units), not at
    // the frame time tk. Both instants go to UTC seconds of day, and the
    // interval is taken the short way round the day, so a target just after
    // midnight integrates minutes forward instead of almost a day back.
    double refUtc = wrapDay(double(g.tb) * 900.0 - moscowShift);
    double targetUtc = wrapDay(tod - moscowShift);
    double dt = targetUtc - refUtc;
    if (dt > day / 2) dt -= day;
    if (dt < -day / 2) dt += day;

    const double p0[3] = {g.posX, g.posY, g.posZ};
    const double v0[3] = {g.velX, g.velY, g.velZ};
    const double acc[3] = {g.accX, g.accY, g.accZ};
    double outPos[3], outVel[3];
    // The reference instant sits dt before the target on the target's day
    // scale, so the sidereal angles of both ends belong together even when
    // the interval crosses midnight.
    if (!propagateGlonassState(p0, v0, acc, mjd, targetUtc - dt, dt, outPos, outVel))
        return false;
    for (int i = 0; i < 3; ++i) {
        pos[i] = outPos[i] * 1000.0;
        vel[i] = outVel[i] * 1000.0;
    }
    return true;
}

bool calcGlonassSatState(int slot, uint32_t tod, uint16_t mjd)
{
    if (slot < 0 || slot >= gloEphemerisSlots) return false;
    GloEphemeris& g = gloEphemeris[slot];
    double pos[3], vel[3];
    if (!gloSatStateAt(g, double(tod), mjd, pos, vel)) return false;
    for (int i = 0; i < 3; ++i) {
        g.earthFixedPos[i] = pos[i];
        g.earthFixedVel[i] = vel[i];
    }
    // Small frame offset to the GPS frame.
    g.satX = g.earthFixedPos[0] + 0.003;
    g.satY = g.earthFixedPos[1] + 0.001;
    g.satZ = g.earthFixedPos[2] + 0.001;
    return true;
}

// A slot holds an ephemeris once a decoder has stored a frame in it. The
// issue of data and the frame time are no markers: IODE 0 and a GLONASS
// frame time in the first minute of the day are both legitimate.
void updateGpsOrbits()
{
    uint32_t towMs = currentGpsTowMs.load();
    if (towMs == 0) return;
    for (int slot = 0; slot < gpsEphemerisSlots; ++slot) {
        GpsEphemeris& eph = gpsEphemeris[slot];
        if (eph.frameLength == 0) continue;
        MutexWait lock(eph.mutex, orbitMutexWaitMs);
        if (!lock.held()) continue;
        calcGpsSatPosition(slot, towMs / 1000);
    }
}

void updateGloOrbits()
{
    uint32_t todMs = currentGloTodMs.load();
    uint32_t mjd = currentMjd.load();
    if (todMs == 0 || mjd == 0) return;
    for (int slot = 0; slot < gloEphemerisSlots; ++slot) {
        GloEphemeris& g = gloEphemeris[slot];
        if (g.frameLength == 0) continue;
        MutexWait lock(g.mutex, orbitMutexWaitMs);
        if (!lock.held()) continue;
        calcGlonassSatState(slot, todMs / 1000, uint16_t(mjd & 0xFFFF));
    }
}
