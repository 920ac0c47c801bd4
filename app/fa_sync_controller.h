#pragma once
// Meeting point of the boards' FA restarts: counts the RAF boards whose FA
// chain runs, and lets a restart wait until all chains have stopped or all run.
//
// Besides the counter it counts rounds: how often the counter came down to 0
// (every chain stopped) and up to the board count (every chain running). A
// wait is met by its target at one of its checks or by a round completed
// after the caller's mark, so that a board whose chain runs again (or stops
// again, for the next synchronisation) between two checks of a peer does not
// keep the peer waiting until it gives up.

#include "platform/qapp/zemtra_feature.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class FaSyncController : public qapp::ZemtraFeature {
public:
    // A wait checks the counter this many times, this far apart (about 2 s).
    static constexpr unsigned c_wait_checks = 199;
    static constexpr std::chrono::milliseconds c_wait_period{10};

    // rafs: the number of RAF boards; every chain counts as running at start.
    FaSyncController(qapp::ZemtraObject& parent, const std::string& name, uint32_t rafs);

    // Counts one chain running; at the board count it reports the assertion
    // and leaves the counter unchanged. Returns the mark for
    // WaitForAllRunning: the all-running rounds before this one's.
    uint64_t SetFaRunning();
    // Counts one chain stopped; at 0 it reports the assertion and leaves the
    // counter unchanged. Returns the mark for WaitForAllStopped.
    uint64_t SetFaStopped();

    // Asked at every check of a wait: true gives the wait up at once (a
    // restart that a newer synchronisation overtook waits for nobody).
    using GiveUp = std::function<bool()>;

    // Met at a check that sees every chain running (stopped), or once a round
    // after mark has completed; without a mark, rounds from the call on count.
    // False after the last check, or when giveUp (if any) says so.
    bool WaitForAllRunning();
    bool WaitForAllRunning(uint64_t mark, const GiveUp& giveUp = GiveUp());
    bool WaitForAllStopped();
    bool WaitForAllStopped(uint64_t mark, const GiveUp& giveUp = GiveUp());
    // True as soon as one check sees the counter at target; false after the
    // last check. The mutex is never held while sleeping.
    bool WaitForCounter(unsigned int target);

    uint32_t GetCounter() const;
    uint32_t GetSize() const { return m_size; }
    // Rounds completed so far: the marks of a caller that marks nothing itself.
    uint64_t GetStoppedRounds() const;
    uint64_t GetRunningRounds() const;

private:
    enum class Wait_e { eMet, eTimedOut, eGivenUp };
    // WaitForCounter, also met once *rounds (when given) exceeds mark; given
    // up as giveUp says.
    Wait_e WaitFor(unsigned int target, const uint64_t* rounds, uint64_t mark, const GiveUp& giveUp);
    // The traces and the wait of WaitForAllRunning and WaitForAllStopped.
    bool WaitForAll(bool running, uint64_t mark, const GiveUp& giveUp);

    const uint32_t m_size;
    uint32_t m_counter;
    // Guarded by m_mutex, as the counter whose ends they count.
    uint64_t m_stopped_rounds = 0;
    uint64_t m_running_rounds = 0;
    mutable std::mutex m_mutex;
};
