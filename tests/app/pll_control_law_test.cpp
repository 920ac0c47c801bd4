// Step-by-step checks of the software PLL's control law against hand-computed
// values: seeding, the coarse and fine controllers and their switching, the
// DAC rails, and the lock and unlock windows.
#include "app/phase_locked_loop.h"

#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr uint64_t c_spacing = 220ull * 53382ull; // 11744040 ADC periods per event

// Runs the law the way the PLL does: an unlock result runs the unlock, a lock
// result declares the lock.
struct Loop {
    PllControlLaw law;
    bool locked = false;
    uint64_t t0 = 5000000;

    Loop()
    {
        law.m_pi[0].Kp = 7.0;
        law.m_pi[0].Ki = 0.5;
        law.m_pi[1].Kp = 4.0;
        law.m_pi[1].Ki = 0.2;
    }

    PllStruct Event(uint64_t ts, PllControlLaw::StepResult_e* result = nullptr)
    {
        PllStruct out;
        const auto r = law.Step(ts, locked, out);
        if (r == PllControlLaw::eUnlock) {
            law.Unlock(out);
            locked = false;
        } else if (r == PllControlLaw::eLock) {
            locked = true;
        }
        if (result) {
            *result = r;
        }
        return out;
    }

    // The event that shows error err against the expected timestamp.
    PllStruct Err(int64_t err, PllControlLaw::StepResult_e* result = nullptr)
    {
        return Event(law.m_expected_ts - static_cast<uint64_t>(err), result);
    }

    PllStruct Seed() { return Event(t0); }
};

TEST(PllControlLaw, FirstStepSeedsStaysCoarseAndOutputsTheOperatingPoint)
{
    qstd::CaptureScope capture;
    Loop loop;
    PllControlLaw::StepResult_e r;
    const PllStruct out = loop.Event(loop.t0, &r);
    EXPECT_EQ(r, PllControlLaw::eStepped);
    EXPECT_TRUE(capture.Traced("PLL: New virgin 5000000"));
    EXPECT_EQ(out.Err, 0.0);
    EXPECT_EQ(out.Dac, 22535.0);
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_EQ(out.ClkGood, 0.0);
    EXPECT_EQ(out.IsCoarse, 1.0);
    EXPECT_EQ(out.P, 0.0);
    EXPECT_EQ(out.I, 0.0);
    EXPECT_EQ(out.Freq, 0.0);
    EXPECT_EQ(loop.law.m_err_change, int64_t(1) << 30);
    EXPECT_EQ(loop.law.m_expected_ts, loop.t0 + c_spacing);
    EXPECT_FALSE(loop.locked);
}

TEST(PllControlLaw, ErrorOneAfterZeroSwitchesToFineAndLocksInTheSameStep)
{
    qstd::CaptureScope capture;
    Loop loop;
    loop.Seed();
    PllControlLaw::StepResult_e r;
    const PllStruct out = loop.Err(1, &r);
    EXPECT_EQ(r, PllControlLaw::eLock);
    EXPECT_TRUE(capture.Traced("Switching to fine..."));
    // fine: integ 1, P = 4, I = 0.2, u = 0 + 43000 + 4.2
    EXPECT_EQ(out.P, 4.0);
    EXPECT_DOUBLE_EQ(out.I, 0.2);
    EXPECT_EQ(out.Dac, 65535.0 - 43004.0);
    EXPECT_EQ(out.Lock, 1.0);
    EXPECT_EQ(out.ClkGood, 1.0);
    EXPECT_EQ(out.IsCoarse, 0.0);
    EXPECT_EQ(out.Freq, static_cast<double>(c_spacing - 1) * 10.0);
    EXPECT_TRUE(loop.law.m_fine);

    // Already locked: a further fine step does not ask to lock again.
    loop.Err(0, &r);
    EXPECT_EQ(r, PllControlLaw::eStepped);
}

TEST(PllControlLaw, CoarseAcquisitionIntegratesAndFineHoldsTheLastCoarseOutput)
{
    Loop loop;
    loop.Seed();
    // err -2, change 2: coarse, integ -2, P = -14, I = -1, u = 42985
    PllStruct out = loop.Err(-2);
    EXPECT_EQ(out.IsCoarse, 1.0);
    EXPECT_EQ(out.P, -14.0);
    EXPECT_EQ(out.I, -1.0);
    EXPECT_EQ(out.Dac, 22550.0);
    EXPECT_EQ(loop.law.m_coarse_out, -15.0);

    // err -1, change 1: fine, integ -1, u = -15 + 43000 - 4 - 0.2 = 42980.8
    out = loop.Err(-1);
    EXPECT_EQ(out.IsCoarse, 0.0);
    EXPECT_EQ(out.Dac, 65535.0 - 42980.0);
    EXPECT_TRUE(loop.locked);
    EXPECT_EQ(loop.law.m_coarse_out, -15.0);

    // Two more fine steps: fine integ -3, the coarse integrator untouched.
    loop.Err(-1);
    loop.Err(-1);
    EXPECT_EQ(loop.law.m_pi[1].integ, -3);
    EXPECT_EQ(loop.law.m_pi[0].integ, -2);
}

TEST(PllControlLaw, ErrorPastFiveInFineSwitchesToCoarseCarriesTheIntegratorAndKeepsTheLock)
{
    qstd::CaptureScope capture;
    Loop loop;
    loop.Seed();
    loop.Err(-2);
    loop.Err(-1);
    loop.Err(-1);
    loop.Err(-1);
    ASSERT_TRUE(loop.locked);
    // carry: trunc(-2 + (-3 x 0.2) / 0.5) = trunc(-3.2) = -3 (toward zero), then + 6
    PllControlLaw::StepResult_e r;
    const PllStruct out = loop.Err(6, &r);
    EXPECT_EQ(r, PllControlLaw::eStepped);
    EXPECT_TRUE(capture.Traced("Switching to coarse..."));
    EXPECT_EQ(loop.law.m_pi[0].integ, 3);
    EXPECT_EQ(loop.law.m_pi[1].integ, -3);
    EXPECT_EQ(out.P, 42.0);
    EXPECT_EQ(out.I, 1.5);
    EXPECT_EQ(out.Dac, 65535.0 - 43043.0);
    EXPECT_EQ(out.Lock, 1.0);
    EXPECT_EQ(out.ClkGood, 0.0);
    EXPECT_EQ(out.IsCoarse, 1.0);
    EXPECT_TRUE(loop.locked);
    EXPECT_FALSE(loop.law.m_fine);
}

TEST(PllControlLaw, ZeroCoarseIntegralGainSkipsTheCarryOver)
{
    Loop loop;
    loop.law.m_pi[0].Ki = 0.0;
    loop.Seed();
    loop.Err(-2);
    loop.Err(-1);
    loop.Err(-1);
    ASSERT_EQ(loop.law.m_ctrl, 1u);
    const PllStruct out = loop.Err(6);
    EXPECT_EQ(loop.law.m_ctrl, 0u);
    EXPECT_EQ(loop.law.m_pi[0].integ, -2 + 6);
    EXPECT_EQ(out.I, 0.0);
    EXPECT_EQ(out.P, 42.0);
}

TEST(PllControlLaw, UnlockWindowWhileLockedFollowsTheThreshold)
{
    Loop loop;
    loop.Seed();
    loop.Err(1);
    ASSERT_TRUE(loop.locked);

    PllControlLaw::StepResult_e r;
    loop.Err(100, &r);
    EXPECT_NE(r, PllControlLaw::eUnlock);
    EXPECT_TRUE(loop.locked);

    const uint64_t expected = loop.law.m_expected_ts;
    const int32_t dac = loop.law.m_dac;
    const PllStruct out = loop.Err(-101, &r);
    EXPECT_EQ(r, PllControlLaw::eUnlock);
    EXPECT_FALSE(loop.locked);
    EXPECT_EQ(out.Err, -101.0);
    EXPECT_EQ(out.Dac, static_cast<double>(dac));
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_EQ(out.ClkGood, 0.0);
    EXPECT_EQ(out.Freq, 0.0);
    EXPECT_EQ(out.IsCoarse, 1.0);
    // An unlocked step does not advance; the next event seeds anew.
    EXPECT_EQ(loop.law.m_expected_ts, expected);
    EXPECT_FALSE(loop.law.m_seeded);
    EXPECT_TRUE(loop.law.m_reset_ctrl);
}

TEST(PllControlLaw, WindowWhileUnlockedIsTenThousand)
{
    {
        Loop loop;
        loop.Seed();
        PllControlLaw::StepResult_e r;
        loop.Err(10000, &r);
        EXPECT_EQ(r, PllControlLaw::eStepped);
    }
    {
        Loop loop;
        loop.Seed();
        PllControlLaw::StepResult_e r;
        loop.Err(-10001, &r);
        EXPECT_EQ(r, PllControlLaw::eUnlock);
    }
}

TEST(PllControlLaw, HugeErrorsUnlockWhateverTheirLowWord)
{
    // Low 32 bits of 2^32 + 5 read as 5: the full magnitude must decide.
    {
        Loop loop;
        loop.Seed();
        loop.Err(1);
        ASSERT_TRUE(loop.locked);
        PllControlLaw::StepResult_e r;
        loop.Err((int64_t(1) << 32) + 5, &r);
        EXPECT_EQ(r, PllControlLaw::eUnlock);
    }
    {
        Loop loop;
        loop.Seed();
        PllControlLaw::StepResult_e r;
        loop.Err(-(int64_t(1) << 32), &r);
        EXPECT_EQ(r, PllControlLaw::eUnlock);
    }
    EXPECT_EQ(PllControlLaw::Magnitude(std::numeric_limits<int64_t>::min()), uint64_t(1) << 63);
    EXPECT_EQ(PllControlLaw::Magnitude(-7), 7u);
}

TEST(PllControlLaw, RestartAfterUnlockResetsTheCoarseControllerOnly)
{
    qstd::CaptureScope capture;
    Loop loop;
    loop.Seed();
    loop.Err(-2);
    loop.Err(-1);
    loop.Err(-1);
    PllStruct out;
    loop.law.Unlock(out);
    loop.locked = false;

    const uint64_t ts = loop.law.m_expected_ts + 777;
    out = loop.Event(ts);
    EXPECT_TRUE(capture.Traced("PLL: Resetting Controller..."));
    EXPECT_EQ(loop.law.m_expected_ts, ts + c_spacing);
    EXPECT_EQ(loop.law.m_ctrl, 0u);
    EXPECT_EQ(loop.law.m_pi[0].integ, 0);
    EXPECT_EQ(loop.law.m_pi[1].integ, -2);
    EXPECT_EQ(loop.law.m_err_change, int64_t(1) << 30);
    EXPECT_EQ(out.Dac, 22535.0);
    EXPECT_FALSE(loop.law.m_reset_ctrl);
}

// One coarse step with error err after the seed, with coarse gains Kp and Ki = 0.
PllStruct CoarseStep(double kp, int64_t err, Loop& loop)
{
    loop.law.m_pi[0].Kp = kp;
    loop.law.m_pi[0].Ki = 0.0;
    loop.Seed();
    return loop.Err(err);
}

TEST(PllControlLaw, DacRailsAndTruncation)
{
    {
        Loop loop; // u = 43000 + 2 x 7172 = 57344.0: inside, integration kept
        const PllStruct out = CoarseStep(2.0, 7172, loop);
        EXPECT_EQ(out.Dac, 8191.0);
        EXPECT_EQ(loop.law.m_pi[0].integ, 7172);
    }
    {
        Loop loop; // u = 57344.5: upper rail, integration undone
        const PllStruct out = CoarseStep(1.5, 9563, loop);
        EXPECT_EQ(out.Dac, 8191.0);
        EXPECT_EQ(loop.law.m_dac, 8191);
        EXPECT_EQ(loop.law.m_pi[0].integ, 0);
    }
    {
        Loop loop; // u = 8191.9: lower rail, integration undone
        const PllStruct out = CoarseStep(3.48081, -10000, loop);
        EXPECT_EQ(out.Dac, 57343.0);
        EXPECT_EQ(loop.law.m_pi[0].integ, 0);
    }
    {
        Loop loop; // u = 43000 - 4 x 8702 = 8192.0 is inside: 65535 - 8192
        const PllStruct out = CoarseStep(4.0, -8702, loop);
        EXPECT_EQ(out.Dac, 57343.0);
        EXPECT_EQ(loop.law.m_pi[0].integ, -8702);
    }
    {
        Loop loop; // u = 43000.7 truncates to 43000
        const PllStruct out = CoarseStep(0.07, 10, loop);
        EXPECT_EQ(out.Dac, 22535.0);
    }
}

TEST(PllControlLaw, ExpectedTimestampAdvancesByTheOffsetSpacingIn64Bits)
{
    Loop loop;
    loop.law.m_vcxo_offset = -500;
    EXPECT_EQ(loop.law.Period(), 11743540u);
    loop.Seed();
    EXPECT_EQ(loop.law.m_expected_ts, loop.t0 + 11743540u);

    loop.law.m_dTbt = 65536;
    loop.law.m_dPll = 65536; // 2^32: 0 in 32 bits
    loop.law.m_vcxo_offset = 3;
    EXPECT_EQ(loop.law.Period(), (uint64_t(1) << 32) + 3);
    const uint64_t before = loop.law.m_expected_ts;
    loop.Err(0);
    EXPECT_EQ(loop.law.m_expected_ts, before + (uint64_t(1) << 32) + 3);
}

// Opposite signs: 86 + (-3 x 0.2 / 0.5 = -1.2) = 84.8, the whole sum
// truncated toward zero to 84 (not 86 + trunc(-1.2) = 85).
TEST(PllControlLaw, CarryOverTruncatesTheWholeSumTowardZero)
{
    Loop loop;
    loop.Seed();
    loop.law.SetCtrlType(PllControlLaw::eFine);
    loop.law.m_pi[0].integ = 86;
    loop.law.m_pi[1].integ = -3;
    const PllStruct out = loop.Err(6);
    EXPECT_EQ(loop.law.m_ctrl, 0u);
    EXPECT_EQ(loop.law.m_pi[0].integ, 84 + 6);
    EXPECT_EQ(out.I, 90 * 0.5);
}

TEST(PllControlLaw, SetCtrlTypeRefusesUnknownControllers)
{
    PllControlLaw law;
    law.SetCtrlType(1);
    EXPECT_EQ(law.m_ctrl, 1u);
    try {
        law.SetCtrlType(2);
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "Unknown Controller Type!");
    }
    EXPECT_EQ(law.m_ctrl, 1u);
}

TEST(PllControlLaw, HardwareStepFollowsTheMachineClockLock)
{
    qstd::CaptureScope capture;
    PllControlLaw law;
    PllStruct out;
    law.StepHw(500, false, out);
    EXPECT_TRUE(std::isnan(out.Dac)); // no code computed yet
    law.m_dac = 30000;
    law.m_dac_valid = true;
    law.StepHw(1000, false, out);
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_EQ(out.ClkGood, 1.0);
    EXPECT_EQ(out.Dac, 30000.0);
    EXPECT_EQ(out.IsCoarse, 0.0);
    EXPECT_FALSE(capture.TracedSubstring("PLL: New virgin"));

    // The lock's rising edge seeds at this event.
    law.StepHw(5000, true, out);
    EXPECT_TRUE(capture.Traced("PLL: New virgin 5000"));
    EXPECT_EQ(out.Err, 0.0);
    EXPECT_EQ(out.Lock, 1.0);
    EXPECT_EQ(out.Freq, 0.0);

    law.StepHw(5000 + c_spacing + 3, true, out);
    EXPECT_EQ(out.Err, -3.0);
    EXPECT_EQ(out.P, 0.0);
    EXPECT_EQ(out.Dac, 30000.0);
    EXPECT_EQ(law.m_expected_ts, 5000 + 2 * c_spacing);
}

TEST(PllControlLaw, NcoIncrementAndEventRate)
{
    PllControlLaw law;
    const double fAdc = 4294967296.0;
    law.m_dTbt = 16;
    law.m_dPll = 4096; // 65536 periods per event
    law.m_vcxo_offset = -500;
    // uncompensated: fIf exactly
    EXPECT_EQ(law.NcoIncrement(1000000.0, 262144.0, fAdc, false), 1000000u);
    // compensated: fIf - (-500 / 65536) x 262144 = fIf + 2000
    EXPECT_EQ(law.NcoIncrement(1000000.0, 262144.0, fAdc, true), 1002000u);
    // a quarter of the ADC frequency is 2^30
    EXPECT_EQ(law.NcoIncrement(117440043.0 / 4, 0.0, 117440043.0, false), 1u << 30);
    // no ADC frequency yet: clamped rather than undefined
    EXPECT_EQ(law.NcoIncrement(1000.0, 0.0, 0.0, false), 0xFFFFFFFFu);
    EXPECT_EQ(law.NcoIncrement(-1000.0, 0.0, fAdc, false), 0u);

    law.m_dTbt = 220;
    law.m_dPll = 1000;
    EXPECT_DOUBLE_EQ(law.EventRate(117440043.0), 117440043.0 / 220000.0);

    // A spacing of 2^32 periods (0 in 32 bits): fIf - (-500 / 2^32) x 2^32.
    law.m_dTbt = 4096;
    law.m_dPll = 1u << 20;
    EXPECT_EQ(law.NcoIncrement(1000000.0, fAdc, fAdc, true), 1000500u);
    EXPECT_DOUBLE_EQ(law.EventRate(fAdc), 1.0);
}

} // namespace
