#pragma once
// Machine time of one simulated board: a count of ADC clock periods (LMT)
// against the steady clock, with an offset that synchronisation rewrites.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace sim {

class MachineClock {
public:
    explicit MachineClock(double adcFrequencyHz = 117440043.0)
        : m_origin(std::chrono::steady_clock::now()), m_frequency(adcFrequencyHz)
    {
    }

    double Frequency() const { return m_frequency; }

    // Current LMT.
    uint64_t Now() const { return At(std::chrono::steady_clock::now()); }

    // LMT at a steady-clock time point.
    uint64_t At(std::chrono::steady_clock::time_point t) const
    {
        const double secs = std::chrono::duration<double>(t - m_origin).count();
        const auto ticks = static_cast<int64_t>(secs * m_frequency);
        return static_cast<uint64_t>(ticks + m_offset.load(std::memory_order_acquire));
    }

    // Steady-clock time point at which the clock reads lmt.
    std::chrono::steady_clock::time_point WhenAt(uint64_t lmt) const
    {
        const double ticks = static_cast<double>(static_cast<int64_t>(lmt) - m_offset.load(std::memory_order_acquire));
        return m_origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(ticks / m_frequency));
    }

    // Makes the clock read lmt at time point t (the synchronisation trigger).
    void Set(uint64_t lmt, std::chrono::steady_clock::time_point t)
    {
        const double secs = std::chrono::duration<double>(t - m_origin).count();
        const auto ticks = static_cast<int64_t>(secs * m_frequency);
        m_offset.store(static_cast<int64_t>(lmt) - ticks, std::memory_order_release);
    }

private:
    std::chrono::steady_clock::time_point m_origin;
    double m_frequency;
    std::atomic<int64_t> m_offset{0};
};

} // namespace sim
