#pragma once
// Per-board synchronisation state: NoSync, Tracking (the board's time base
// follows a locked PLL) and Synchronized (its timestamp has taken the LMT).

#include "platform/qstd/enum_map.h"

#include <atomic>
#include <functional>

class SyncStateMachine {
public:
    // Fixed underlying type: any integer converted to it is a valid value,
    // so SetState can refuse one outside the three states.
    enum State_e : int { NoSync = 0, Tracking = 1, Synchronized = 2 };

    // The application answers whether the PLL is locked (IsPllLocked() const);
    // it must outlive the state machine.
    template <typename Application>
    explicit SyncStateMachine(const Application& application)
        : m_state(NoSync), m_pll_locked([&application] { return application.IsPllLocked(); })
    {
    }

    State_e GetState() const { return m_state.load(); }

    // NoSync always; Tracking only with a locked PLL ("Pll is not locked");
    // Synchronized only from Tracking or Synchronized. A refused transition
    // throws and leaves the state; a value outside the enumeration returns false.
    bool SetState(State_e state);

private:
    // Atomic so that readers on other threads see a whole value; transitions
    // themselves are serialised by the node that sets them.
    std::atomic<State_e> m_state;
    std::function<bool()> m_pll_locked;
};

// Name table of the states, defined in sync_state_machine.cpp.
template <> qstd::BiMap<SyncStateMachine::State_e> qstd::EnumMap<SyncStateMachine::State_e>::items;
