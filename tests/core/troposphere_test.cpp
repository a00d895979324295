#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/troposphere.h"
#include "platform/clock.h"

namespace {

TEST(Troposphere, ElevationCutOff) {
    EXPECT_EQ(tropoDelayOnDay(2.9, 45, 100, 100), 0.0);
    EXPECT_EQ(tropoDelay(2.9, 45, 100), 0.0);
    EXPECT_EQ(niellHydrostaticMapping(2.9, 45, 100, 100), 0.0);
    EXPECT_EQ(niellWetMapping(2.9, 45), 0.0);
    EXPECT_EQ(slantTropoDelay(2.9, 45, 100, 100, 10, 15, 1013), 0.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(tropoDelayOnDay(nan, 45, 100, 100), 0.0);
    EXPECT_EQ(niellWetMapping(nan, 45), 0.0);

    EXPECT_GT(tropoDelayOnDay(3.0, 45, 100, 100), 20.0);
    EXPECT_GT(niellHydrostaticMapping(3.0, 45, 100, 100), 10.0);
    EXPECT_GT(niellWetMapping(3.0, 45), 10.0);
}

TEST(Troposphere, ZenithAndKnownValues) {
    // At the zenith both mapping factors are 1 and the delay is the sum of
    // the fixed zenith delays.
    EXPECT_NEAR(niellHydrostaticMapping(90, 10, 0, 200), 1.0, 1e-12);
    EXPECT_NEAR(niellWetMapping(90, 10), 1.0, 1e-12);
    EXPECT_NEAR(tropoDelayOnDay(90, 10, 0, 200), 2.235486646978727 + 4.998278499997741e-05, 1e-9);
    EXPECT_NEAR(tropoDelayOnDay(90, 60, 1500, 30), 2.2355366297637, 1e-9);

    // Below 15 degrees of latitude there is no season: the current-day form
    // gives the same value whatever the date.
    setWallTimeOverride(1700000000);
    EXPECT_DOUBLE_EQ(tropoDelay(10, 10, 50), tropoDelayOnDay(10, 10, 50, 1));
    setWallTimeOverride(0);

    // Niell's mapping at 5 degrees is about 10.2 (hydrostatic) and 10.6-10.8
    // (wet); the exact values below follow from the published 45-degree row
    // (average minus amplitude on day 28, average plus amplitude in the
    // southern hemisphere, where the season is half a year later).
    const double s = std::sin(5.0 * 3.1415926535898 / 180.0);
    auto f = [s](double a, double b, double c) {
        return (1 + a / (1 + b / (1 + c))) / (s + a / (s + b / (s + c)));
    };
    const double north = f(1.2465397e-3 - 2.6523662e-5, 2.9288445e-3 - 3.0160779e-5,
                           63.721774e-3 - 4.3497037e-5);
    const double south = f(1.2465397e-3 + 2.6523662e-5, 2.9288445e-3 + 3.0160779e-5,
                           63.721774e-3 + 4.3497037e-5);
    EXPECT_NEAR(niellHydrostaticMapping(5, 45, 0, 28), north, 1e-12);
    EXPECT_NEAR(niellHydrostaticMapping(5, -45, 0, 28), south, 1e-12);
    EXPECT_NEAR(north, 10.15, 0.1);
    EXPECT_NEAR(niellWetMapping(5, 45), f(5.8118019e-4, 1.4572752e-3, 4.3908931e-2), 1e-12);
    EXPECT_NEAR(niellWetMapping(5, 45), 10.7, 0.15);
    EXPECT_DOUBLE_EQ(niellWetMapping(5, -45), niellWetMapping(5, 45));

    // The end rows hold beyond 15 and 75 degrees.
    EXPECT_DOUBLE_EQ(niellWetMapping(7, 15), niellWetMapping(7, 3));
    EXPECT_DOUBLE_EQ(niellWetMapping(7, 75), niellWetMapping(7, 89));
    EXPECT_DOUBLE_EQ(niellHydrostaticMapping(7, 75, 0, 90), niellHydrostaticMapping(7, 80, 0, 90));

    // Height correction: none at sea level, (1/sin e - fh) per km above it.
    const double e = 10.0;
    const double se = std::sin(e * 3.1415926535898 / 180.0);
    const double fh = 1.0000251620178218 / (se + 2.53e-5 / (se + 5.49e-3 / (se + 1.14e-3)));
    EXPECT_NEAR(niellHydrostaticMapping(e, 30, 2000, 100) - niellHydrostaticMapping(e, 30, 0, 100),
                (1 / se - fh) * 2.0, 1e-12);
    EXPECT_GT(1 / se - fh, 0.0);
}

TEST(Troposphere, ContinuousAcrossLatitudeRows) {
    // No jump where the interpolation changes rows; the factors change by
    // only ~1e-4 per degree of latitude, so a step of 1e-7 degrees must not
    // move them by more than ~1e-10.
    for (double row : {15.0, 30.0, 45.0, 60.0, 75.0}) {
        for (double sign : {1.0, -1.0}) {
            for (double el : {3.0, 5.0, 20.0}) {
                const double lo = sign * (row - 1e-7);
                const double at = sign * row;
                const double hi = sign * (row + 1e-7);
                for (int day : {1, 120, 300}) {
                    const double m = niellHydrostaticMapping(el, at, 300, day);
                    EXPECT_NEAR(niellHydrostaticMapping(el, lo, 300, day), m, 1e-9) << row << " " << el;
                    EXPECT_NEAR(niellHydrostaticMapping(el, hi, 300, day), m, 1e-9) << row << " " << el;
                }
                const double w = niellWetMapping(el, at);
                EXPECT_NEAR(niellWetMapping(el, lo), w, 1e-9) << row << " " << el;
                EXPECT_NEAR(niellWetMapping(el, hi), w, 1e-9) << row << " " << el;
            }
        }
    }
}

}  // namespace
