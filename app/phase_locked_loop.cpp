#include "app/phase_locked_loop.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <cmath>
#include <limits>

// ---------------------------------------------------------------------------
// PllControlLaw

PllControlLaw::PllControlLaw() : m_pi(2) {}

uint64_t PllControlLaw::Magnitude(int64_t err)
{
    const uint64_t u = static_cast<uint64_t>(err);
    return err < 0 ? uint64_t(0) - u : u;
}

uint32_t PllControlLaw::Period() const
{
    return m_dTbt * m_dPll + static_cast<uint32_t>(m_vcxo_offset);
}

void PllControlLaw::Advance()
{
    m_expected_ts += Period();
    m_prev_ts = m_ts;
}

void PllControlLaw::SetCtrlType(unsigned ctrl)
{
    if (ctrl > eFine) {
        throw qstd::Exception("Unknown Controller Type!", true);
    }
    m_ctrl = ctrl;
}

void PllControlLaw::RestartController()
{
    QSTD_TRACE(3, "PLL: Resetting Controller...");
    m_reset_ctrl = false;
    SetCtrlType(eCoarse);
    m_pi[eCoarse].integ = 0;
    m_prev_err = c_reset_err;
    m_coarse_out = 0.0;
}

void PllControlLaw::SwitchToCoarse()
{
    QSTD_TRACE(3, "Switching to coarse...");
    SetCtrlType(eCoarse);
    // Carry the fine integral term into the coarse integrator so that the
    // coarse integral term equals the sum of both. Without a coarse integral
    // gain (or when the result cannot be represented) there is nothing to
    // carry it into, and the coarse integrator keeps its value.
    PiController& coarse = m_pi[eCoarse];
    const PiController& fine = m_pi[eFine];
    if (coarse.Ki == 0.0) {
        return;
    }
    const double carried =
        std::trunc(static_cast<double>(coarse.integ) + static_cast<double>(fine.integ) * fine.Ki / coarse.Ki);
    if (std::isfinite(carried) && carried >= -9.2e18 && carried <= 9.2e18) {
        coarse.integ = static_cast<int64_t>(carried);
    }
}

PllControlLaw::StepResult_e PllControlLaw::Step(uint64_t ts, bool locked, PllStruct& out)
{
    if (!m_seeded) {
        m_seeded = true;
        m_expected_ts = ts;
        m_prev_ts = ts;
        QSTD_TRACE(3, "PLL: New virgin " << ts);
    }
    m_ts = ts;
    m_err = static_cast<int64_t>(m_expected_ts - ts);

    // The whole 64-bit magnitude decides: a huge error must never pass as small.
    const uint64_t magnitude = Magnitude(m_err);
    if (locked && magnitude > m_unlock_thr) {
        return eUnlock;
    }
    if (magnitude > c_window) {
        return eUnlock;
    }

    if (m_reset_ctrl) {
        RestartController();
    }

    // Both errors are bounded here (the window and the reset value), so their
    // difference cannot overflow.
    m_err_change = static_cast<int64_t>(Magnitude(m_err - m_prev_err));
    m_prev_err = m_err;

    if (m_err >= -c_fine_entry && m_err <= c_fine_entry && m_err_change <= c_fine_entry && m_ctrl != eFine) {
        QSTD_TRACE(3, "Switching to fine...");
        SetCtrlType(eFine);
        m_pi[eFine].integ = 0;
    }
    if ((m_err < -c_coarse_entry || m_err > c_coarse_entry) && m_ctrl != eCoarse) {
        SwitchToCoarse();
    }

    PiController& c = m_pi[m_ctrl];
    c.integ += m_err;
    const double p = static_cast<double>(m_err) * c.Kp;
    const double i = static_cast<double>(c.integ) * c.Ki;
    out.P = p;
    out.I = i;

    double u;
    if (m_ctrl == eCoarse) {
        m_coarse_out = p + i;
        u = m_coarse_out + m_dac_offset;
    } else {
        u = m_coarse_out + m_dac_offset + p + i;
    }

    int32_t code;
    if (u < c_lower_rail) {
        c.integ -= m_err;
        code = c_code_below_rail;
    } else if (u > c_upper_rail) {
        c.integ -= m_err;
        code = c_code_above_rail;
    } else if (std::isnan(u)) {
        // Only a NaN gain gets here: keep the oscillator where it is.
        c.integ -= m_err;
        code = m_dac;
    } else {
        code = 65535 - static_cast<int32_t>(u);
    }
    m_dac = code;
    out.Dac = code;

    const bool fine = m_ctrl == eFine;
    const StepResult_e result = (!locked && fine) ? eLock : eStepped;
    m_fine = fine;

    out.Err = static_cast<double>(m_err);
    out.Lock = (locked || result == eLock) ? 1.0 : 0.0;
    out.ClkGood = m_fine ? 1.0 : 0.0;
    out.Freq = static_cast<double>(m_ts - m_prev_ts) * m_fEvent;
    out.IsCoarse = fine ? 0.0 : 1.0;

    Advance();
    return result;
}

void PllControlLaw::StepHw(uint64_t ts, bool mcLock, PllStruct& out)
{
    if (mcLock && !m_hw_lock) {
        m_seeded = true;
        m_expected_ts = ts;
        m_prev_ts = ts;
        QSTD_TRACE(1, "PLL: New virgin " << ts);
    }
    m_ts = ts;
    m_err = static_cast<int64_t>(m_expected_ts - ts);

    out.Err = static_cast<double>(m_err);
    out.Dac = m_dac;
    out.Lock = mcLock ? 1.0 : 0.0;
    out.ClkGood = 1.0;
    out.Freq = static_cast<double>(m_ts - m_prev_ts) * m_fEvent;
    out.P = 0.0;
    out.I = 0.0;
    out.IsCoarse = 0.0;

    Advance();
    m_hw_lock = mcLock;
}

void PllControlLaw::Unlock(PllStruct& out)
{
    m_fine = false;
    m_hw_lock = false;
    m_seeded = false;
    m_reset_ctrl = true;

    out.Err = static_cast<double>(m_err);
    out.Dac = m_dac;
    out.Lock = 0.0;
    out.ClkGood = 0.0;
    out.Freq = 0.0;
    out.P = 0.0;
    out.I = 0.0;
    out.IsCoarse = 1.0;
}

uint32_t PllControlLaw::NcoIncrement(double fIf, double fRf, double fAdc, bool compensate) const
{
    double f = fIf;
    if (compensate) {
        const uint32_t spacing = m_dTbt * m_dPll;
        f -= static_cast<double>(m_vcxo_offset) / static_cast<double>(spacing) * fRf;
    }
    const double increment = f * 4294967296.0 / fAdc;
    // An increment that 32 bits cannot hold (no ADC frequency yet, or a
    // negative frequency) is clamped instead of being converted blindly.
    if (!(increment >= 0.0)) {
        return 0;
    }
    if (increment >= 4294967295.0) {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(increment);
}

double PllControlLaw::EventRate(double fAdc) const
{
    const uint32_t spacing = m_dPll * m_dTbt;
    return fAdc / static_cast<double>(spacing);
}
