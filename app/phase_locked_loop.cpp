#include "app/phase_locked_loop.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qboard/mc_pll.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/tim_trigger_generation.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_node.h"
#include "qreg/reg_reference_node.h"

#include <cmath>
#include <limits>

namespace {
const bool c_pll_names_filled =
    (PllTraits::names = {"Err", "Dac", "Lock", "ClkGood", "Freq", "P", "I", "IsCoarse"}, true);
} // namespace

// ---------------------------------------------------------------------------
// PllControlLaw

PllControlLaw::PllControlLaw() : m_pi(2) {}

uint64_t PllControlLaw::Magnitude(int64_t err)
{
    const uint64_t u = static_cast<uint64_t>(err);
    return err < 0 ? uint64_t(0) - u : u;
}

uint64_t PllControlLaw::Period() const
{
    // The offset is added modulo 2^64, which is its signed sum.
    return static_cast<uint64_t>(m_dTbt) * m_dPll + static_cast<uint64_t>(static_cast<int64_t>(m_vcxo_offset));
}

double PllControlLaw::DacOut() const
{
    return m_dac_valid ? static_cast<double>(m_dac) : std::numeric_limits<double>::quiet_NaN();
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

    if (u < c_lower_rail) {
        c.integ -= m_err;
        m_dac = c_code_below_rail;
        m_dac_valid = true;
    } else if (u > c_upper_rail) {
        c.integ -= m_err;
        m_dac = c_code_above_rail;
        m_dac_valid = true;
    } else if (std::isnan(u)) {
        // Only a NaN gain gets here: keep the oscillator where it is.
        c.integ -= m_err;
    } else {
        m_dac = 65535 - static_cast<int32_t>(u);
        m_dac_valid = true;
    }
    out.Dac = DacOut();

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
    out.Dac = DacOut();
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
    out.Dac = DacOut();
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
        const uint64_t spacing = static_cast<uint64_t>(m_dTbt) * m_dPll;
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
    const uint64_t spacing = static_cast<uint64_t>(m_dPll) * m_dTbt;
    return fAdc / static_cast<double>(spacing);
}

// ---------------------------------------------------------------------------
// PhaseLockedLoop

PhaseLockedLoop::PhaseLockedLoop(qboard::TimBoard& board, const std::string& name, PllHooks* hooks)
    : qfeature::PhaseLockedLoopBase(board, name), m_hooks(hooks)
{
    QSTD_TRACE_FNC();
    m_mc_pll = board.GetMcPll();
    if (m_mc_pll == nullptr) {
        QSTD_TRACE(1, "PLL Cntroller invalid.");
        throw qstd::Exception("PLL Cntroller invalid.", true);
    }
    m_trig_gen = board.GetTriggerGeneration();
    if (m_trig_gen == nullptr) {
        QSTD_TRACE(1, "Trigger Generation invalid.");
        throw qstd::Exception("Trigger Generation invalid.", true);
    }
}

PhaseLockedLoop::~PhaseLockedLoop()
{
    QSTD_TRACE_FNC();
}

PllControlLaw PhaseLockedLoop::GetLaw() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_law;
}

qsig::SuccessCode_e PhaseLockedLoop::operator()(const qsig::Array<qsig::EventTraits>& in, qsig::SuccessCode_e code,
                                                qsig::Array<PllTraits>& out)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    QSTD_ASSERT(out.GetLength() == 1);
    PllStruct& atom = out[0];
    const uint32_t mode = m_mode.load();

    if (m_unlock_request) {
        Unlock(atom);
        m_unlock_request = false;
    } else if (code == qsig::eTimeout || in.GetLength() == 0) {
        // No event to measure (a time-out, or a pop that delivered nothing):
        // the loop cannot be held, so it unlocks as on a time-out.
        QSTD_TRACE(3, "PLL: Timeout...");
        Unlock(atom);
    } else {
        QSTD_ASSERT(in.GetLength() == 1);
        switch (mode) {
        case eSoftware:
            TransformSW(in[0], atom);
            break;
        case eHardware:
            TransformHW(in[0], atom);
            break;
        default:
            m_clk_good = m_law.m_fine;
            throw qstd::Exception("Unknown PLL mode.", true);
        }
    }
    m_clk_good = m_law.m_fine;
    if (std::isnan(atom.Dac) && mode == eSoftware) {
        // No step has computed a DAC code yet: publishing this atom would have
        // the output drive the oscillator with a code the loop never chose.
        // In hardware mode the atom still reports the machine-clock PLL; the
        // output writes no code that is not a number.
        out.Resize(0);
    }
    return qsig::eSuccess;
}

void PhaseLockedLoop::SetLockedNode(bool locked)
{
    if (m_locked_node) {
        auto* reg = dynamic_cast<qreg::RegNode*>(m_locked_node.GetTreeNode().get());
        if (reg != nullptr && reg->SetValue(locked, 0)) {
            return;
        }
    }
    _SetLock(locked);
}

void PhaseLockedLoop::Unlock(PllStruct& out)
{
    QSTD_TRACE_FNC();
    m_law.Unlock(out);
    if (m_lock.load()) {
        SetLockedNode(false);
        if (m_hooks) {
            m_hooks->SetSyncStateMachines(SyncStateMachine::NoSync);
            m_hooks->SetPllStatusLocked(false);
        }
    }
    QSTD_TRACE(3, "PLL: Unlocked...");
}

void PhaseLockedLoop::TransformSW(const qsig::EventStruct& event, PllStruct& out)
{
    const PllControlLaw::StepResult_e result = m_law.Step(event.lmt, m_lock.load(), out);
    if (result == PllControlLaw::eUnlock) {
        Unlock(out);
        return;
    }
    if (result == PllControlLaw::eLock) {
        SetLockedNode(true);
        if (m_hooks) {
            m_hooks->SetPllStatusLocked(true);
        }
        QSTD_TRACE(3, "PLL: Locked...");
    }
}

void PhaseLockedLoop::TransformHW(const qsig::EventStruct& event, PllStruct& out)
{
    const bool mcLock = m_mc_pll->GetMcLock();
    m_lock = mcLock;
    m_law.StepHw(event.lmt, mcLock, out);
}

void PhaseLockedLoop::CompensateOffTune()
{
    if (!m_clock_known) {
        // A configuration load before OnPostConfig: OnPostConfig retunes.
        QSTD_TRACE(3, "PLL: NCO retune waits for the clock data.");
        return;
    }
    const uint32_t increment = m_law.NcoIncrement(m_fIf, m_fRf, m_fAdc, m_compensate_offset);
    if (m_hooks) {
        m_hooks->SetNCOFreq(increment);
    }
}

void PhaseLockedLoop::SetCtrlType(unsigned value)
{
    // The step reads the selection under the mutex.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.SetCtrlType(value);
}

// --- node bindings ---------------------------------------------------------

bool PhaseLockedLoop::GetMode(unsigned& value) const
{
    value = m_mode.load();
    return true;
}

bool PhaseLockedLoop::_SetMode(const unsigned& value)
{
    if (value > eHardware) {
        return false;
    }
    m_mode = value;
    return true;
}

// The flag is atomic: neither needs the mutex, so the step may set the node
// (whose emission may read it back) while it holds the mutex.
bool PhaseLockedLoop::GetLock(bool& value) const
{
    value = m_lock.load();
    return true;
}

bool PhaseLockedLoop::_SetLock(const bool& value)
{
    m_lock = value;
    return true;
}

bool PhaseLockedLoop::GetUnlockThr(unsigned long long& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_unlock_thr;
    return true;
}

bool PhaseLockedLoop::_SetUnlockThr(const unsigned long long& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_unlock_thr = value;
    return true;
}

bool PhaseLockedLoop::GetVcxoOffset(int& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_vcxo_offset;
    return true;
}

bool PhaseLockedLoop::_SetVcxoOffset(const int& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (value != m_law.m_vcxo_offset) {
        m_law.m_vcxo_offset = value;
        m_unlock_request = true;
        CompensateOffTune();
    }
    return true;
}

bool PhaseLockedLoop::GetCompensateOffset(bool& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_compensate_offset;
    return true;
}

bool PhaseLockedLoop::_SetCompensateOffset(const bool& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_compensate_offset = value;
    CompensateOffTune();
    return true;
}

bool PhaseLockedLoop::GetDpll(unsigned& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_dPll;
    return true;
}

// Takes the mutex as well: the decimation and the event rate are read by the step.
bool PhaseLockedLoop::_SetDpll(const unsigned& value)
{
    unsigned dpll = value;
    if (dpll < c_min_dpll) {
        QSTD_TRACE(1, "Dpll " << dpll << " is increased to minimal allowed value.");
        dpll = c_min_dpll;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_dPll = dpll;
    m_mc_pll->SetMcPrescaler(m_law.m_dPll);
    // Reported under the loop's own field names.
    if (m_law.m_dTbt == 0) {
        qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "m_dTbt != 0");
    }
    if (m_law.m_dPll == 0) {
        qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "m_dPll != 0");
    }
    m_law.m_fEvent = m_law.EventRate(m_fAdc);
    CompensateOffTune();
    return true;
}

bool PhaseLockedLoop::GetKpCoarse(double& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_pi[PllControlLaw::eCoarse].Kp;
    return true;
}

bool PhaseLockedLoop::_SetKpCoarse(const double& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_pi[PllControlLaw::eCoarse].Kp = value;
    return true;
}

bool PhaseLockedLoop::GetKiCoarse(double& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_pi[PllControlLaw::eCoarse].Ki;
    return true;
}

bool PhaseLockedLoop::_SetKiCoarse(const double& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_pi[PllControlLaw::eCoarse].Ki = value;
    return true;
}

bool PhaseLockedLoop::GetKpFine(double& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_pi[PllControlLaw::eFine].Kp;
    return true;
}

bool PhaseLockedLoop::_SetKpFine(const double& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_pi[PllControlLaw::eFine].Kp = value;
    return true;
}

bool PhaseLockedLoop::GetKiFine(double& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_law.m_pi[PllControlLaw::eFine].Ki;
    return true;
}

bool PhaseLockedLoop::_SetKiFine(const double& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_law.m_pi[PllControlLaw::eFine].Ki = value;
    return true;
}

bool PhaseLockedLoop::SetMode(unsigned value)
{
    return m_mode_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetDpll(unsigned value)
{
    return m_decimation_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetVcxoOffset(int value)
{
    return m_vcxo_offset_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetCompensateOffset(bool value)
{
    return m_compensate_offset_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetKpCoarse(double value)
{
    return m_kp_coarse_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetKiCoarse(double value)
{
    return m_ki_coarse_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetKpFine(double value)
{
    return m_kp_fine_node.SetValue(value, 0);
}
bool PhaseLockedLoop::SetKiFine(double value)
{
    return m_ki_fine_node.SetValue(value, 0);
}

// --- hooks -----------------------------------------------------------------

void PhaseLockedLoop::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using U64 = unsigned long long;
    using qreg::RegFncNode;
    using PLL = PhaseLockedLoop;

    mci::TreeNodePtr mode =
        mci::factory::Create<RegFncNode<unsigned>>("mode", this, &PLL::_SetMode, &PLL::GetMode, c_auxSetting);
    node->Add(mode);
    m_mode_node = mci::Node(mode, mci::c_noRelPath);

    mci::TreeNodePtr locked =
        mci::factory::Create<RegFncNode<bool>>("locked", this, &PLL::_SetLock, &PLL::GetLock, c_readOnly);
    node->Add(locked);
    m_locked_node = mci::Node(locked, mci::c_noRelPath);

    mci::TreeNodePtr clkGood =
        mci::factory::Create<qreg::RegReferenceNode<bool, std::atomic<bool>>>("clk_good", m_clk_good, c_readOnly);
    node->Add(clkGood);
    m_clk_good_node = mci::Node(clkGood, mci::c_noRelPath);

    node->Add(mci::factory::Create<RegFncNode<U64>>(qreg::Expr<qreg::expr::Range<U64, U64>>(1, 10000), "unlock_thr",
                                                    this, &PLL::_SetUnlockThr, &PLL::GetUnlockThr, c_auxSetting));

    mci::TreeNodePtr vcxo =
        mci::factory::Create<RegFncNode<int>>(qreg::Expr<qreg::expr::Range<int, int>>(-500, 500), "vcxo_offset", this,
                                              &PLL::_SetVcxoOffset, &PLL::GetVcxoOffset, c_setting);
    node->Add(vcxo);
    m_vcxo_offset_node = mci::Node(vcxo, mci::c_noRelPath);
    _SetVcxoOffset(0);

    mci::TreeNodePtr compensate = mci::factory::Create<RegFncNode<bool>>(
        "compensate_offset", this, &PLL::_SetCompensateOffset, &PLL::GetCompensateOffset, c_setting);
    node->Add(compensate);
    m_compensate_offset_node = mci::Node(compensate, mci::c_noRelPath);

    mci::TreeNodePtr decimation =
        mci::factory::Create<RegFncNode<unsigned>>(qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, c_max_dpll),
                                                   "decimation", this, &PLL::_SetDpll, &PLL::GetDpll, c_auxWritable);
    node->Add(decimation);
    m_decimation_node = mci::Node(decimation, mci::c_noRelPath);

    mci::TreeNodePtr coarse = mci::factory::Create<qreg::RegNode>("pi_coarse", c_aux);
    mci::TreeNodePtr kpCoarse =
        mci::factory::Create<RegFncNode<double>>("Kp", this, &PLL::_SetKpCoarse, &PLL::GetKpCoarse, c_setting);
    _SetKpCoarse(c_kp_coarse);
    mci::TreeNodePtr kiCoarse =
        mci::factory::Create<RegFncNode<double>>("Ki", this, &PLL::_SetKiCoarse, &PLL::GetKiCoarse, c_setting);
    _SetKiCoarse(c_ki_coarse);
    coarse->Add(kpCoarse);
    coarse->Add(kiCoarse);
    m_kp_coarse_node = mci::Node(kpCoarse, mci::c_noRelPath);
    m_ki_coarse_node = mci::Node(kiCoarse, mci::c_noRelPath);

    mci::TreeNodePtr fine = mci::factory::Create<qreg::RegNode>("pi_fine", c_aux);
    mci::TreeNodePtr kpFine =
        mci::factory::Create<RegFncNode<double>>("Kp", this, &PLL::_SetKpFine, &PLL::GetKpFine, c_setting);
    _SetKpFine(c_kp_fine);
    mci::TreeNodePtr kiFine =
        mci::factory::Create<RegFncNode<double>>("Ki", this, &PLL::_SetKiFine, &PLL::GetKiFine, c_setting);
    _SetKiFine(c_ki_fine);
    fine->Add(kpFine);
    fine->Add(kiFine);
    m_kp_fine_node = mci::Node(kpFine, mci::c_noRelPath);
    m_ki_fine_node = mci::Node(kiFine, mci::c_noRelPath);

    node->Add(coarse);
    node->Add(fine);
}

void PhaseLockedLoop::OnPostConfig()
{
    QSTD_TRACE_FNC();
    {
        // The clock members are read by the step: rewrite them under the mutex.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_hooks) {
            m_fAdc = static_cast<double>(m_hooks->GetDefAdcFreq());
            m_fRf = m_hooks->GetDefRfFreq();
            m_fIf = m_hooks->GetDefIfFreq();
            m_law.m_dTbt = m_hooks->GetDefTbtDecimation();
        }
        m_clock_known = true;
    }
    const unsigned tbt = GetLaw().m_dTbt;
    const double perEvent = static_cast<double>(tbt) * 10.0;
    const unsigned Dpll = perEvent > 0.0 ? static_cast<unsigned>(m_fAdc / perEvent) : 0u;
    QSTD_ASSERT(Dpll != 0);
    _SetDpll(Dpll);
    if (m_hooks) {
        m_hooks->SetPllStatusLocked(m_lock.load());
    }
    m_trig_gen->SetTriggerSource(3, 1);
}

void PhaseLockedLoop::OnShutdown()
{
    QSTD_TRACE_FNC();
    m_trig_gen->SetTriggerSource(3, 0);
}

void PhaseLockedLoop::SetDefault() {}
