#pragma once
// Software phase-locked loop of the timing board's VCXO.
//
// PllControlLaw is the loop's arithmetic: it measures each PLL event against
// the expected timestamp, runs the coarse and fine PI controllers and turns
// their output into the DAC code. It uses no platform service and takes no
// lock; PhaseLockedLoop owns one, serialises it with its mutex and does the
// rest (nodes, hooks, the "pll" stream's converter).

#include "platform/qsig/signal_traits.h"

#include <cstdint>
#include <vector>

// One atom of the "pll" stream: the state of one PLL step. Booleans are 0.0 or 1.0.
struct PllStruct {
    double Err = 0.0;      // error in ADC periods (expected - measured timestamp)
    double Dac = 0.0;      // DAC code
    double Lock = 0.0;     // loop locked
    double ClkGood = 0.0;  // fine controller active (always 1 in hardware mode)
    double Freq = 0.0;     // measured ADC frequency in Hz
    double P = 0.0;        // proportional term
    double I = 0.0;        // integral term
    double IsCoarse = 0.0; // coarse controller active
};

// Element type of the "pll" stream; component names "Err" ... "IsCoarse".
using PllTraits = qsig::SignalTraits<double, PllStruct, 1>;

// One PI controller of the loop.
struct PiController {
    double Kp = 0.0;
    double Ki = 0.0;
    int64_t integ = 0;
};

class PllControlLaw {
public:
    // What the caller must do after a software step.
    enum StepResult_e {
        eStepped = 0, // atom filled, nothing more to do
        eUnlock = 1,  // the error left its window: run the unlock (atom not filled)
        eLock = 2,    // the fine controller is active and the loop was not locked: declare the lock
    };

    enum Ctrl_e : uint32_t { eCoarse = 0, eFine = 1 };

    static constexpr uint64_t c_window = 10000;     // unlock even when not locked
    static constexpr int64_t c_fine_entry = 1;      // |err| <= 1 and change <= 1
    static constexpr int64_t c_coarse_entry = 5;    // |err| > 5
    static constexpr double c_dac_offset = 43000.0; // operating point
    static constexpr double c_lower_rail = 8192.0;
    static constexpr double c_upper_rail = 57344.0;
    static constexpr int32_t c_code_below_rail = 0xDFFF; // 57343
    static constexpr int32_t c_code_above_rail = 0x1FFF; // 8191
    static constexpr int64_t c_reset_err = int64_t(1) << 30;

    PllControlLaw();

    // Software step for an event with timestamp ts. 'locked' is the loop's
    // current lock flag. On eStepped and eLock the atom is complete (its Lock
    // field already shows the lock of an eLock step); on eUnlock the caller
    // runs its unlock, which calls Unlock(out) below.
    StepResult_e Step(uint64_t ts, bool locked, PllStruct& out);

    // Hardware-mode step: the lock follows the machine-clock PLL (mcLock).
    void StepHw(uint64_t ts, bool mcLock, PllStruct& out);

    // Loop state of an unlock: the next event seeds anew and restarts the
    // controller. Fills the unlock atom (Err and Dac held, IsCoarse 1).
    void Unlock(PllStruct& out);

    // Selects the active controller; a value above 1 raises "Unknown Controller Type!".
    void SetCtrlType(unsigned ctrl);

    // Spacing of two events in ADC periods: dTbt x dPll + vcxo_offset, in 64
    // bits, so that no decimation wraps it.
    uint64_t Period() const;

    // NCO phase increment for the IF frequency, corrected by the VCXO offset
    // when 'compensate' is set: f x 2^32 / fAdc truncated to 32 bits.
    uint32_t NcoIncrement(double fIf, double fRf, double fAdc, bool compensate) const;

    // Events per second for an ADC frequency: fAdc / (dPll x dTbt).
    double EventRate(double fAdc) const;

    // The DAC code for an atom: the last computed one, or NaN while no step
    // has computed one (nothing may then be written to the oscillator).
    double DacOut() const;

    // Magnitude of a 64-bit error, without overflow at the most negative value.
    static uint64_t Magnitude(int64_t err);

    // Loop state; PhaseLockedLoop binds its nodes to some of these.
    bool m_hw_lock = false;
    uint64_t m_unlock_thr = 100;
    bool m_fine = false;
    int32_t m_vcxo_offset = 0;
    uint32_t m_dPll = 53382;
    int32_t m_dac = 0;
    bool m_dac_valid = false; // a software step has computed m_dac
    double m_fEvent = 10.0;
    uint32_t m_dTbt = 220;
    bool m_seeded = false;
    uint64_t m_expected_ts = 0;
    uint64_t m_prev_ts = 0;
    uint64_t m_ts = 0;
    int64_t m_err = 0;
    int64_t m_prev_err = c_reset_err;
    int64_t m_err_change = c_reset_err;
    uint32_t m_ctrl = eCoarse;
    bool m_reset_ctrl = false;
    std::vector<PiController> m_pi; // [0] coarse, [1] fine
    double m_dac_offset = c_dac_offset;
    double m_coarse_out = 0.0;

private:
    void RestartController();
    void SwitchToCoarse();
    void Advance();
};

// ---------------------------------------------------------------------------
// The software PLL feature of the timing board.
//
// Locks. The loop's mutex guards the control law, the clock data and the
// unlock request. It is held, and the hooks below run with it held:
// - for the whole step (the "pll" stream's converter, operator()): the unlock
//   of a locked loop writes the "locked" node, then calls
//   SetSyncStateMachines(NoSync) and SetPllStatusLocked(false); a lock writes
//   the node and calls SetPllStatusLocked(true);
// - by the setters of "vcxo_offset", "compensate_offset" and "decimation",
//   which retune the NCO through SetNCOFreq (once the clock data are known);
//   the decimation also sets the machine-clock PLL's prescaler;
// - by OnPostConfig while it takes the clock data (the GetDef... hooks); its
//   later SetPllStatusLocked runs without it.
// The mutex is not recursive. A hook, and whatever it calls in turn (the
// boards' sync state machines, FA blocks and TBT DSPs, and the subscribers of
// the nodes they set or of "locked"), must not call back into anything of the
// loop that takes the mutex: GetLaw, the getters and setters of "unlock_thr",
// "vcxo_offset", "compensate_offset", "decimation" and the PI gains, the
// writes through those nodes (SetDpll, SetVcxoOffset, SetKpFine ...),
// SetCtrlType or OnPostConfig. The lock flag and the mode (IsLocked, GetLock,
// GetMode) are atomic and may be read from anywhere. Lock order: the loop's
// mutex before the locks that the hooks take (boards' objects, nodes).

#include "app/pll_hooks.h"
#include "platform/mci/tree_node.h"
#include "platform/qfeature/phase_locked_loop_base.h"
#include "platform/qsig/event_struct.h"
#include "platform/qsig/signal_types.h"
#include "qsig/array.h"

#include <atomic>
#include <mutex>
#include <string>

namespace qboard {
class TimBoard;
class McPll;
} // namespace qboard
namespace qfeature {
class TimTriggerGeneration;
}

class PhaseLockedLoop : public qfeature::PhaseLockedLoopBase {
public:
    enum Mode_e : uint32_t { eSoftware = 0, eHardware = 1 };

    // Default gains applied when the nodes are made.
    static constexpr double c_kp_coarse = 7.0;
    static constexpr double c_ki_coarse = 0.5;
    static constexpr double c_kp_fine = 4.0;
    static constexpr double c_ki_fine = 0.2;
    // Smallest accepted event decimation (turns per PLL event).
    static constexpr unsigned c_min_dpll = 1000;
    // Largest event decimation the "decimation" node accepts: with up to 256
    // samples per turn the event spacing stays within 32 bits, and at any
    // real ADC frequency events would already be seconds apart, far beyond
    // the 500 ms the loop waits for one.
    static constexpr unsigned c_max_dpll = (1u << 24) - 1;

    // Raises "PLL Cntroller invalid." without the board's machine-clock PLL
    // and "Trigger Generation invalid." without its trigger generation.
    PhaseLockedLoop(qboard::TimBoard& board, const std::string& name, PllHooks* hooks);
    ~PhaseLockedLoop() override;

    // Converter of the "pll" stream: one step per event id 16 or time-out.
    qsig::SuccessCode_e operator()(const qsig::Array<qsig::EventTraits>& in, qsig::SuccessCode_e code,
                                   qsig::Array<PllTraits>& out);

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPostConfig() override;
    void OnShutdown() override;
    void SetDefault() override;

    // The lock flag, safe to read from any thread.
    bool IsLocked() const { return m_lock.load(); }

    // Node bindings.
    bool GetMode(unsigned& value) const;
    bool _SetMode(const unsigned& value);
    bool GetLock(bool& value) const;
    bool _SetLock(const bool& value);
    bool GetUnlockThr(unsigned long long& value) const;
    bool _SetUnlockThr(const unsigned long long& value);
    bool GetVcxoOffset(int& value) const;
    bool _SetVcxoOffset(const int& value);
    bool GetCompensateOffset(bool& value) const;
    bool _SetCompensateOffset(const bool& value);
    bool GetDpll(unsigned& value) const;
    bool _SetDpll(const unsigned& value);
    bool GetKpCoarse(double& value) const;
    bool _SetKpCoarse(const double& value);
    bool GetKiCoarse(double& value) const;
    bool _SetKiCoarse(const double& value);
    bool GetKpFine(double& value) const;
    bool _SetKpFine(const double& value);
    bool GetKiFine(double& value) const;
    bool _SetKiFine(const double& value);

    // Writes through the nodes (validator, setter, notification).
    bool SetMode(unsigned value);
    bool SetDpll(unsigned value);
    bool SetVcxoOffset(int value);
    bool SetCompensateOffset(bool value);
    bool SetKpCoarse(double value);
    bool SetKiCoarse(double value);
    bool SetKpFine(double value);
    bool SetKiFine(double value);

    // Selects the law's controller, under the mutex.
    void SetCtrlType(unsigned value);

    // A copy of the loop state, taken under the mutex (for status and tests).
    PllControlLaw GetLaw() const;

private:
    void CompensateOffTune();
    void Unlock(PllStruct& out);
    void TransformHW(const qsig::EventStruct& event, PllStruct& out);
    void TransformSW(const qsig::EventStruct& event, PllStruct& out);
    // Sets the "locked" node (or the flag alone before the nodes exist).
    void SetLockedNode(bool locked);

    std::atomic<uint32_t> m_mode{eSoftware};
    // Read by other threads (the application, the state machines): atomic.
    std::atomic<bool> m_lock{false};
    // The loop's fine flag as clients read it ("clk_good"), updated after
    // every step; clients read it while the step runs.
    std::atomic<bool> m_clk_good{false};
    bool m_compensate_offset = true;
    mutable std::mutex m_mutex;
    qboard::McPll* m_mc_pll = nullptr;
    PllHooks* m_hooks;
    qfeature::TimTriggerGeneration* m_trig_gen = nullptr;
    double m_fAdc = 117440043.0;
    // Until the clock data arrive, the NCO retune computes from these.
    double m_fRf = 0.0;
    double m_fIf = 0.0;
    bool m_unlock_request = false;
    // The clock data have been taken (OnPostConfig): until then the NCO is
    // not retuned, since the increment would be computed from no frequency.
    bool m_clock_known = false;
    PllControlLaw m_law;

    mci::Node m_mode_node;
    mci::Node m_locked_node;
    mci::Node m_clk_good_node;
    mci::Node m_vcxo_offset_node;
    mci::Node m_compensate_offset_node;
    mci::Node m_decimation_node;
    mci::Node m_kp_coarse_node;
    mci::Node m_ki_coarse_node;
    mci::Node m_kp_fine_node;
    mci::Node m_ki_fine_node;
};
