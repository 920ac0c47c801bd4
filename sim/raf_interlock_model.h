#pragma once
// The machine-protection region of a simulated RAF board: the interlock block
// (0x700000, 576 bytes) and the post-mortem trigger block (0x700300, 56
// bytes) as the FPGA keeps them. Every word lives in the model (the software
// and the simulated beam touch them from different threads), initialised
// from the board's memory when the model is plugged in.
//
// The simulated beam hands a sample to Evaluate whenever it feeds the
// board's streams (when a reader's group is due, and at least every
// Beam::c_feedPeriod, whether or not a reader is there). The model then shows the interlock causes in the current
// status word (0x08); when the interlock is enabled and a cause appears where there was none, it raises an interlock
// event (id 3) and, when the software has armed latching (bit 2 of 0x00),
// copies the causes into the latched status word (0x10) and disarms it. A
// post-mortem event (id 1) follows the source selected in the post-mortem
// block: "interlock" with every interlock event, "limits" when the beam
// leaves the post-mortem window or overflows its threshold, "external" when
// the timing input fires (ExternalPostMortem). A write to the post-mortem
// block under which the last sample lies inside counts as that sample seen
// inside: the FPGA looks at every sample, the model only now and then.
//
// Filters and durations are kept but not evaluated: one sample decides. The
// attenuator cause (bit 2) is not modelled.

#include "platform/fpga/fpga_access.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace sim {

// One look at the beam: positions in nm and the largest ADC magnitude of
// the four channels in counts.
struct BeamSample {
    int32_t x = 0;
    int32_t y = 0;
    uint32_t adcPeak = 0;
};

class RafInterlockModel : public fpga::RegisterModel {
public:
    static constexpr size_t c_offset = 0x700000;
    static constexpr size_t c_size = 0x338;

    // Byte offsets in the region.
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_statusCurrent = 0x08;
    static constexpr size_t c_statusLatched = 0x10;
    static constexpr size_t c_xMin = 0x200;
    static constexpr size_t c_xMax = 0x208;
    static constexpr size_t c_yMin = 0x210;
    static constexpr size_t c_yMax = 0x218;
    static constexpr size_t c_overflowThreshold = 0x220;
    static constexpr size_t c_underflowThreshold = 0x230;
    static constexpr size_t c_pmBlock = 0x300;
    static constexpr size_t c_pmXMin = c_pmBlock + 0x00;
    static constexpr size_t c_pmXMax = c_pmBlock + 0x08;
    static constexpr size_t c_pmYMin = c_pmBlock + 0x10;
    static constexpr size_t c_pmYMax = c_pmBlock + 0x18;
    static constexpr size_t c_pmOverflowThreshold = c_pmBlock + 0x20;
    static constexpr size_t c_pmSource = c_pmBlock + 0x30;

    static constexpr uint64_t c_enableBit = 1u << 0;
    static constexpr uint64_t c_latchBit = 1u << 2;
    static constexpr uint64_t c_tbtModeBit = 1u << 4;

    // Interlock causes.
    static constexpr uint64_t c_causeX = 1u << 0;
    static constexpr uint64_t c_causeY = 1u << 1;
    static constexpr uint64_t c_causeOverflowFiltered = 1u << 3;
    static constexpr uint64_t c_causeOverflow = 1u << 4;
    static constexpr uint64_t c_causeUnderflow = 1u << 5;

    static constexpr uint64_t c_eventPostMortem = 1;
    static constexpr uint64_t c_eventInterlock = 3;

    // Post-mortem sources.
    enum PmSource_e : uint64_t { c_pmExternal = 0, c_pmInterlock = 1, c_pmLimits = 2 };

    // raise puts one event (id, count, lmt) on the board's event device.
    using Raise = std::function<void(uint64_t id, uint64_t count, uint64_t lmt)>;

    RafInterlockModel(volatile FPGAMem_t* region, Raise raise);

    bool Read32(size_t offset, uint32_t& value) override;
    bool Write32(size_t offset, uint32_t value) override;

    // Checks one beam sample taken at lmt; returns the causes it shows.
    uint64_t Evaluate(const BeamSample& sample, uint64_t lmt);
    // The external post-mortem input fires at lmt; true when the source
    // selected is "external" and the event was raised.
    bool ExternalPostMortem(uint64_t lmt);

    // A 64-bit register of the region.
    uint64_t Read64(size_t offset) const;

    uint64_t Interlocks() const { return m_interlocks.load(); }

    // Whether the ADC peak of a sample decides a cause when it is at most
    // most: false when no ADC threshold is set or none is below most, so a
    // bound on the peak stands in for the peak.
    bool AdcPeakMatters(uint32_t most) const;

    // The FPGA's unit of an ADC threshold: ((count >> 4)^2 >> 8) & 0xFFFF.
    static uint64_t Threshold(uint32_t count);

private:
    static int64_t Signed25(uint64_t word);
    static bool Outside(int32_t v, uint64_t minWord, uint64_t maxWord);
    // Whether the sample lies outside the post-mortem window or over its
    // overflow threshold.
    bool PmOutside(const BeamSample& sample) const;
    void Write64(size_t offset, uint64_t value);

    Raise m_raise;
    std::array<std::atomic<uint32_t>, c_size / 4> m_words;
    std::mutex m_mutex; // one evaluation at a time: the edges and the latch
    uint64_t m_causes = 0;
    bool m_pmOutside = false;
    BeamSample m_lastSample; // the sample evaluated last, once m_sampled
    bool m_sampled = false;
    std::atomic<uint64_t> m_interlocks{0};
    std::atomic<uint64_t> m_postmortems{0};
};

} // namespace sim
