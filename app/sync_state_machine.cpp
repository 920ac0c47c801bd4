#include "app/sync_state_machine.h"

#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

template <>
qstd::BiMap<SyncStateMachine::State_e> qstd::EnumMap<SyncStateMachine::State_e>::items = {
    {SyncStateMachine::NoSync, "NoSync"},
    {SyncStateMachine::Tracking, "Tracking"},
    {SyncStateMachine::Synchronized, "Synchronized"},
};

bool SyncStateMachine::SetState(State_e state)
{
    QSTD_TRACE_FNC();
    switch (state) {
    case NoSync:
        m_state = NoSync;
        return true;
    case Tracking:
        if (!m_pll_locked()) {
            throw qstd::Exception("Pll is not locked", true);
        }
        m_state = Tracking;
        return true;
    case Synchronized: {
        const State_e current = m_state.load();
        if (current != Tracking && current != Synchronized) {
            throw qstd::Exception("Cannot move from NoSync into Synchronized state", true);
        }
        m_state = Synchronized;
        return true;
    }
    }
    return false;
}
