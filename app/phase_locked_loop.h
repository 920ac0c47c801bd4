#pragma once
// Software phase-locked loop of the timing board's VCXO.
//
// PllControlLaw is the loop's arithmetic: it measures each PLL event against
// the expected timestamp, runs the coarse and fine PI controllers and turns
// their output into the DAC code. It has no framework dependency and no lock;
// PhaseLockedLoop owns one, serialises it with its mutex and does the rest
// (nodes, hooks, the "pll" stream's converter).

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

    static constexpr uint64_t c_window = 10000;        // unlock even when not locked
    static constexpr int64_t c_fine_entry = 1;          // |err| <= 1 and change <= 1
    static constexpr int64_t c_coarse_entry = 5;        // |err| > 5
    static constexpr double c_dac_offset = 43000.0;     // operating point
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

    // Spacing of two events in ADC periods: dTbt x dPll + vcxo_offset, in 32 bits.
    uint32_t Period() const;

    // NCO phase increment for the IF frequency, corrected by the VCXO offset
    // when 'compensate' is set: f x 2^32 / fAdc truncated to 32 bits.
    uint32_t NcoIncrement(double fIf, double fRf, double fAdc, bool compensate) const;

    // Events per second for an ADC frequency: fAdc / (dPll x dTbt).
    double EventRate(double fAdc) const;

    // Magnitude of a 64-bit error, without overflow at the most negative value.
    static uint64_t Magnitude(int64_t err);

    // Loop state; PhaseLockedLoop binds its nodes to some of these.
    bool m_hw_lock = false;
    uint64_t m_unlock_thr = 100;
    bool m_fine = false;
    int32_t m_vcxo_offset = 0;
    uint32_t m_dPll = 53382;
    int32_t m_dac = 0;
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
