#include "sim/raf_interlock_model.h"

namespace sim {

RafInterlockModel::RafInterlockModel(volatile FPGAMem_t* region, Raise raise) : m_raise(std::move(raise))
{
    for (size_t i = 0; i < m_words.size(); ++i) {
        m_words[i].store(fpga::MemoryRead32(region, 4 * i));
    }
}

bool RafInterlockModel::Read32(size_t offset, uint32_t& value)
{
    if (offset % 4 != 0 || offset >= c_size) {
        return false;
    }
    value = m_words[offset / 4].load();
    return true;
}

bool RafInterlockModel::Write32(size_t offset, uint32_t value)
{
    if (offset % 4 != 0 || offset >= c_size) {
        return false;
    }
    m_words[offset / 4].store(value);
    if (offset >= c_pmBlock) {
        // The FPGA looks at every sample: a beam inside the post-mortem
        // window as it is now written is seen inside at once, so that the
        // next sample outside is a new edge however soon the window changes
        // again (the model sees samples only now and then).
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sampled && !PmOutside(m_lastSample)) {
            m_pmOutside = false;
        }
    }
    return true;
}

uint64_t RafInterlockModel::Read64(size_t offset) const
{
    return static_cast<uint64_t>(m_words[offset / 4].load()) |
           (static_cast<uint64_t>(m_words[offset / 4 + 1].load()) << 32);
}

void RafInterlockModel::Write64(size_t offset, uint64_t value)
{
    m_words[offset / 4].store(static_cast<uint32_t>(value));
    m_words[offset / 4 + 1].store(static_cast<uint32_t>(value >> 32));
}

bool RafInterlockModel::AdcPeakMatters(uint32_t most) const
{
    // Every comparison grows with the peak but the underflow's.
    const uint64_t overflow = Read64(c_overflowThreshold);
    const uint64_t level = (Read64(c_control) & c_tbtModeBit) != 0 ? most : Threshold(most);
    const uint64_t pmOverflow = Read64(c_pmOverflowThreshold);
    return Read64(c_underflowThreshold) != 0 || (overflow != 0 && level > overflow) ||
           (pmOverflow != 0 && Threshold(most) > pmOverflow);
}

uint64_t RafInterlockModel::Threshold(uint32_t count)
{
    const uint64_t x = static_cast<uint64_t>(count) >> 4;
    return ((x * x) >> 8) & 0xFFFF;
}

int64_t RafInterlockModel::Signed25(uint64_t word)
{
    const uint64_t field = word & 0x1FFFFFF;
    return (field & 0x1000000) != 0 ? static_cast<int64_t>(field) - 0x2000000 : static_cast<int64_t>(field);
}

bool RafInterlockModel::Outside(int32_t v, uint64_t minWord, uint64_t maxWord)
{
    return v < Signed25(minWord) || v > Signed25(maxWord);
}

bool RafInterlockModel::PmOutside(const BeamSample& sample) const
{
    const uint64_t pmOverflow = Read64(c_pmOverflowThreshold);
    return Outside(sample.x, Read64(c_pmXMin), Read64(c_pmXMax)) ||
           Outside(sample.y, Read64(c_pmYMin), Read64(c_pmYMax)) ||
           (pmOverflow != 0 && Threshold(sample.adcPeak) > pmOverflow);
}

uint64_t RafInterlockModel::Evaluate(const BeamSample& sample, uint64_t lmt)
{
    const uint64_t control = Read64(c_control);
    uint64_t causes = 0;
    if (Outside(sample.x, Read64(c_xMin), Read64(c_xMax))) {
        causes |= c_causeX;
    }
    if (Outside(sample.y, Read64(c_yMin), Read64(c_yMax))) {
        causes |= c_causeY;
    }
    const uint64_t overflow = Read64(c_overflowThreshold);
    const uint64_t level = (control & c_tbtModeBit) != 0 ? sample.adcPeak : Threshold(sample.adcPeak);
    if (overflow != 0 && level > overflow) {
        causes |= c_causeOverflow | c_causeOverflowFiltered;
    }
    const uint64_t underflow = Read64(c_underflowThreshold);
    if (underflow != 0 && Threshold(sample.adcPeak) < underflow) {
        causes |= c_causeUnderflow;
    }

    const uint64_t source = Read64(c_pmSource) & 0x3;
    bool interlock = false;
    bool postmortem = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Under the lock, so that a window written meanwhile (Write32) is
        // either seen here or sees this sample.
        const bool pmOutside = PmOutside(sample);
        m_lastSample = sample;
        m_sampled = true;
        Write64(c_statusCurrent, causes);
        interlock = (control & c_enableBit) != 0 && causes != 0 && m_causes == 0;
        m_causes = causes;
        if (interlock && (Read64(c_control) & c_latchBit) != 0) {
            Write64(c_statusLatched, causes);
            m_words[c_control / 4].fetch_and(~static_cast<uint32_t>(c_latchBit));
        }
        postmortem = (source == c_pmInterlock && interlock) || (source == c_pmLimits && pmOutside && !m_pmOutside);
        m_pmOutside = pmOutside;
    }
    if (interlock) {
        m_raise(c_eventInterlock, m_interlocks.fetch_add(1) + 1, lmt);
    }
    if (postmortem) {
        m_raise(c_eventPostMortem, m_postmortems.fetch_add(1) + 1, lmt);
    }
    return causes;
}

bool RafInterlockModel::ExternalPostMortem(uint64_t lmt)
{
    if ((Read64(c_pmSource) & 0x3) != c_pmExternal) {
        return false;
    }
    m_raise(c_eventPostMortem, m_postmortems.fetch_add(1) + 1, lmt);
    return true;
}

} // namespace sim
