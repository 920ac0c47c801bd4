// The numeric routines of the TBT arithmetic.
#include "acquisition/algorithm.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace {

TEST(Algorithm, AngleTakesIAsTheFirstArgument)
{
    EXPECT_DOUBLE_EQ(M_PI / 2, Algorithm::Angle(1, 0));
    EXPECT_DOUBLE_EQ(0.0, Algorithm::Angle(0, 1));
    EXPECT_DOUBLE_EQ(-M_PI / 2, Algorithm::Angle(-5, 0));
    EXPECT_DOUBLE_EQ(M_PI, Algorithm::Angle(0, -1));
}

TEST(Algorithm, AmplitudeRoundsAndHoldsTheIntRange)
{
    const double g = 1.64676025805716;
    EXPECT_EQ(8, Algorithm::Amplitude(3, 4, g)); // trunc(5 g + 0.5)
    EXPECT_EQ(5, Algorithm::Amplitude(-3, -4, 1.0));
    EXPECT_EQ(0, Algorithm::Amplitude(0, 0, g));
    // The squares are formed in double: no overflow for the extreme values,
    // and a result beyond the int range is held at its limit.
    EXPECT_EQ(INT_MAX, Algorithm::Amplitude(INT_MIN, INT_MIN, g));
    EXPECT_EQ(static_cast<int>(std::sqrt(2.0) * 2147483647.0 * 0.5 + 0.5), Algorithm::Amplitude(INT_MAX, INT_MAX, 0.5));
}

TEST(Algorithm, CordicAmplitude)
{
    const struct {
        short x, y;
        int amp;
    } cases[] = {{3, 4, 5}, {-3, -4, 5}, {30000, 0, 30000}, {3000, 4000, 5001}, {0, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.amp, Algorithm::CordicAmp(c.x, c.y)) << c.x << "," << c.y;
    }
}

TEST(Algorithm, CordicPhase)
{
    const struct {
        short x, y;
        double phase;
        double tolerance;
    } cases[] = {
        {3000, 4000, 0.92700, 5e-6}, {-30000, 0, -3.14188, 5e-6}, {0, 30000, M_PI / 2, 1e-3}, {30000, 0, 0.0, 1e-3}};
    for (const auto& c : cases) {
        EXPECT_NEAR(c.phase, Algorithm::CordicPhase(c.x, c.y), c.tolerance) << c.x << "," << c.y;
    }
    // The CORDIC's own error, not atan2's value: 0.92700 against 0.92730.
    EXPECT_GT(std::fabs(Algorithm::CordicPhase(3000, 4000) - std::atan2(4000.0, 3000.0)), 2e-4);
}

} // namespace
