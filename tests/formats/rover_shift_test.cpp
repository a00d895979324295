#include "formats/rover_shift.h"

#include <gtest/gtest.h>

namespace {
constexpr double degree = 3.1415926535898 / 180.0;
}

// A rover 0.3 degrees north of its master, a satellite at the zenith whose
// ionosphere slopes by 2 per radian (about 5 cm of shift on L1): the phase
// moves only while the slope's standard error leaves the shift within
// 2.5 cm; the code moves in any case.
TEST(RoverShift, PhaseMovesOnlyWhereTheShiftsErrorIsSmall)
{
    const RoverShift r = roverShiftOf(47.3, 15.75, 47.0 * degree, 15.75 * degree);
    ASSERT_TRUE(r.active);
    double code = 0, phase = 0;
    const double k = gpsBandFactor[0];
    const double known[shiftEntries] = {2, 0, 7, 7, 2, 0, 0.5};
    ASSERT_TRUE(bandShift(r, known, 90, k, code, phase));
    EXPECT_NEAR(code, k * 2 * 0.3 * degree, 1e-4);   // troposphere pair left out
    EXPECT_DOUBLE_EQ(phase, code);

    const double doubtful[shiftEntries] = {2, 0, 7, 7, 2, 0, 1.0};
    ASSERT_TRUE(bandShift(r, doubtful, 90, k, code, phase));
    EXPECT_NEAR(code, k * 2 * 0.3 * degree, 1e-4);
    EXPECT_EQ(phase, 0.0);
}
