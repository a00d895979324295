#pragma once
// Textbook evaluations of broadcast ephemerides, kept apart from the caster's
// own orbit code so tests can check it against them: the IS-GPS-200 user
// algorithm on RINEX-style parameters (angles in radians), and the GLONASS
// ICD equations of motion integrated directly in the rotating Earth-fixed
// frame (centrifugal and Coriolis terms) instead of an inertial frame.

#include <cmath>

struct RefGpsEph {
    double toc, af0, af1, af2;
    double crs, deltaN, m0, cuc, e, cus, sqrtA, toe, cic, omega0, cis, i0, crc, omega,
        omegaDot, iDot, tgd;
};

// Satellite position (m) at GPS time of week tsv read off the satellite's
// clock: the clock correction (with its relativistic term, for L1) comes off
// first, as the user algorithm prescribes.
inline void refGpsPosition(const RefGpsEph& p, double tsv, double out[3])
{
    const double mu = 3.986004418e14, we = 7.2921151467e-5, F = -4.442807633e-10;
    auto wrap = [](double t) {
        if (t > 302400.0) t -= 604800.0;
        if (t < -302400.0) t += 604800.0;
        return t;
    };
    double a = p.sqrtA * p.sqrtA;
    double n = std::sqrt(mu / (a * a * a)) + p.deltaN;
    double t = tsv;
    double bigE = 0;
    for (int pass = 0; pass < 3; ++pass) {   // clock term needs E, E needs t
        double tk = wrap(t - p.toe);
        double m = p.m0 + n * tk;
        bigE = m;
        for (int i = 0; i < 50; ++i) bigE = m + p.e * std::sin(bigE);   // fixed point
        double dtc = wrap(tsv - p.toc);
        double dt = p.af0 + p.af1 * dtc + p.af2 * dtc * dtc + F * p.e * p.sqrtA * std::sin(bigE) -
                    p.tgd;
        t = tsv - dt;
    }
    double tk = wrap(t - p.toe);
    double nu = std::atan2(std::sqrt(1 - p.e * p.e) * std::sin(bigE), std::cos(bigE) - p.e);
    double phi = nu + p.omega;
    double u = phi + p.cus * std::sin(2 * phi) + p.cuc * std::cos(2 * phi);
    double r = a * (1 - p.e * std::cos(bigE)) + p.crs * std::sin(2 * phi) + p.crc * std::cos(2 * phi);
    double i = p.i0 + p.iDot * tk + p.cis * std::sin(2 * phi) + p.cic * std::cos(2 * phi);
    double om = p.omega0 + (p.omegaDot - we) * tk - we * p.toe;
    double x = r * std::cos(u), y = r * std::sin(u);
    out[0] = x * std::cos(om) - y * std::cos(i) * std::sin(om);
    out[1] = x * std::sin(om) + y * std::cos(i) * std::cos(om);
    out[2] = y * std::sin(i);
}

// Earth-fixed GLONASS state (km, km/s) carried dt seconds from the broadcast
// state, with the luni-solar acceleration held constant in the Earth-fixed
// frame; 10 s Runge-Kutta steps.
inline void refGlonassState(const double pos[3], const double vel[3], const double acc[3],
                            double dt, double outPos[3], double outVel[3])
{
    const double mu = 398600.4418, ae = 6378.136, j2 = 1082625.75e-9, w = 7.2921151467e-5;
    auto deriv = [&](const double s[6], double d[6]) {
        double r2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        double r = std::sqrt(r2), r3 = r2 * r, r5 = r3 * r2;
        double k = 1.5 * j2 * mu * ae * ae / r5, z2 = 5 * s[2] * s[2] / r2;
        d[0] = s[3];
        d[1] = s[4];
        d[2] = s[5];
        d[3] = -mu * s[0] / r3 - k * s[0] * (1 - z2) + w * w * s[0] + 2 * w * s[4] + acc[0];
        d[4] = -mu * s[1] / r3 - k * s[1] * (1 - z2) + w * w * s[1] - 2 * w * s[3] + acc[1];
        d[5] = -mu * s[2] / r3 - k * s[2] * (3 - z2) + acc[2];
    };
    double s[6] = {pos[0], pos[1], pos[2], vel[0], vel[1], vel[2]};
    int steps = int(std::ceil(std::fabs(dt) / 10.0));
    double h = steps ? dt / steps : 0;
    for (int n = 0; n < steps; ++n) {
        double k1[6], k2[6], k3[6], k4[6], t[6];
        deriv(s, k1);
        for (int i = 0; i < 6; ++i) t[i] = s[i] + h / 2 * k1[i];
        deriv(t, k2);
        for (int i = 0; i < 6; ++i) t[i] = s[i] + h / 2 * k2[i];
        deriv(t, k3);
        for (int i = 0; i < 6; ++i) t[i] = s[i] + h * k3[i];
        deriv(t, k4);
        for (int i = 0; i < 6; ++i) s[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
    }
    for (int i = 0; i < 3; ++i) {
        outPos[i] = s[i];
        outVel[i] = s[i + 3];
    }
}

inline double refDistance(const double a[3], const double b[3])
{
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                     (a[2] - b[2]) * (a[2] - b[2]));
}
