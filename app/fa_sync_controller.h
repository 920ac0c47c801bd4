#pragma once
// Meeting point of the boards' FA restarts: counts the RAF boards whose FA
// chain runs, and lets a restart wait until all chains have stopped or all run.

#include "platform/qapp/zemtra_feature.h"

#include <chrono>
#include <cstdint>
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
    // and leaves the counter unchanged.
    void SetFaRunning();
    // Counts one chain stopped; at 0 it reports the assertion and leaves the
    // counter unchanged.
    void SetFaStopped();

    bool WaitForAllRunning();
    bool WaitForAllStopped();
    // True as soon as one check sees the counter at target; false after the
    // last check. The mutex is never held while sleeping.
    bool WaitForCounter(unsigned int target);

    uint32_t GetCounter() const;
    uint32_t GetSize() const { return m_size; }

private:
    const uint32_t m_size;
    uint32_t m_counter;
    mutable std::mutex m_mutex;
};
