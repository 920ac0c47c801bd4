#include "sim/fa_block_model.h"

#include <cmath>

namespace sim {

bool FaBlockModel::Read32(size_t offset, uint32_t& value)
{
    value = m_words[offset / 4].load(std::memory_order_relaxed);
    return true;
}

bool FaBlockModel::Write32(size_t offset, uint32_t value)
{
    const size_t at = offset + c_first;
    m_words[offset / 4].store(value, std::memory_order_relaxed);
    if (at == c_port) {
        std::lock_guard<std::mutex> lock(m_filterMutex);
        m_filter.push_back(value);
    } else if (at == c_load && value == 1) {
        std::lock_guard<std::mutex> lock(m_filterMutex);
        m_filter.clear();
        ++m_loads;
    }
    return true;
}

uint32_t FaBlockModel::Word(size_t blockOffset) const
{
    return m_words[(blockOffset - c_first) / 4].load(std::memory_order_relaxed);
}

std::vector<uint32_t> FaBlockModel::Filter() const
{
    std::lock_guard<std::mutex> lock(m_filterMutex);
    return m_filter;
}

uint64_t FaBlockModel::Loads() const
{
    std::lock_guard<std::mutex> lock(m_filterMutex);
    return m_loads;
}

FaBlockModel::Position FaBlockModel::GetPosition() const
{
    auto s = [this](size_t offset) { return static_cast<int64_t>(static_cast<int32_t>(Word(offset))); };
    return Position{Word(c_kx), Word(c_ky), Word(c_ks), s(c_offX), s(c_offY), s(c_offQ), s(c_offS)};
}

std::string FaBlockModel::FirCoefficientFile(uint32_t decimation)
{
    const uint64_t taps = 5ull * decimation;
    std::string text;
    for (uint64_t k = 0; k < taps; ++k) {
        const double phase = 2 * M_PI * (static_cast<double>(k) + 1) / (static_cast<double>(taps) + 1);
        text += std::to_string(std::lround(c_firPeak * 0.5 * (1 - std::cos(phase)))) + "\n";
    }
    return text;
}

} // namespace sim
