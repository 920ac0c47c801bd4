#pragma once
// What the software PLL and the GDX board ask of the application: the clock
// settings common to all RAF boards, and the actions on all boards at once.

#include "app/sync_state_machine.h"

// The software PLL calls SetNCOFreq, SetSyncStateMachines and
// SetPllStatusLocked with its mutex held; app/phase_locked_loop.h says what
// they may not call back.
class PllHooks {
public:
    virtual ~PllHooks() = default;

    virtual unsigned GetDefAdcFreq() const = 0;
    virtual double GetDefRfFreq() const = 0;
    virtual double GetDefIfFreq() const = 0;
    virtual double GetDefNCOFreq() const = 0;
    virtual unsigned GetDefTbtDecimation() const = 0;
    virtual unsigned GetDefFaDecimation() const = 0;
    virtual unsigned GetDefHarmonicNumber() const = 0;
    // Sets the NCO phase increment on every RAF board; false if any failed.
    virtual bool SetNCOFreq(unsigned value) = 0;
    virtual void SetSyncStateMachines(SyncStateMachine::State_e state) = 0;
    virtual void SetPllStatusLocked(bool locked) = 0;
};
