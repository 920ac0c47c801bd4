#include "platform/qfeature/tsm.h"

#include "platform/qapp/fnc_node.h"

namespace qfeature {

Tsm::Tsm(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
         const NodeConfigurationList* nodes)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    if (nodes) {
        m_nodes = *nodes;
    }
}

bool Tsm::GetDuration(unsigned& duration) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    duration = fpga::Read32(m_block, c_duration);
    return true;
}

bool Tsm::SetDuration(const unsigned& duration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_block, c_duration, duration);
    return true;
}

bool Tsm::GetOffset(unsigned& offset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    offset = fpga::Read32(m_block, c_offset);
    return true;
}

bool Tsm::SetOffset(const unsigned& offset)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_block, c_offset, offset);
    return true;
}

bool Tsm::GetPeriod(unsigned& period) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    period = fpga::Read32(m_block, c_period);
    return true;
}

bool Tsm::SetPeriod(const unsigned& period)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_block, c_period, period);
    return true;
}

bool Tsm::GetContinuous(bool& continuous) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    continuous = (fpga::Read32(m_block, c_control) & 2u) != 0;
    return true;
}

bool Tsm::SetContinuous(const bool& continuous)
{
    return SetControlBit(2u, continuous);
}

bool Tsm::GetEnabled(bool& enabled) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    enabled = (fpga::Read32(m_block, c_control) & 1u) != 0;
    return true;
}

bool Tsm::SetEnabled(const bool& enabled)
{
    return SetControlBit(1u, enabled);
}

bool Tsm::SetControlBit(uint32_t bit, bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t control = fpga::Read32(m_block, c_control);
    fpga::Write32(m_block, c_control, on ? (control | bit) : (control & ~bit));
    return true;
}

unsigned long long Tsm::FlagsOf(const std::string& name) const
{
    for (const auto& n : m_nodes) {
        if (n.name == name) {
            return n.flags;
        }
    }
    return mci::enums::eValue | mci::enums::eWritable;
}

void Tsm::OnRegistryAdd(mci::TreeNodePtr& node)
{
    using qapp::MakeFncNode;
    node->Add(MakeFncNode<bool>(
        "enabled", FlagsOf("enabled"), [this](bool& v) { return GetEnabled(v); },
        [this](const bool& v) { return SetEnabled(v); }));
    node->Add(MakeFncNode<bool>(
        "continuous", FlagsOf("continuous"), [this](bool& v) { return GetContinuous(v); },
        [this](const bool& v) { return SetContinuous(v); }));
    node->Add(MakeFncNode<unsigned>(
        "offset", FlagsOf("offset"), [this](unsigned& v) { return GetOffset(v); },
        [this](const unsigned& v) { return SetOffset(v); }));
    node->Add(MakeFncNode<unsigned>(
        "duration", FlagsOf("duration"), [this](unsigned& v) { return GetDuration(v); },
        [this](const unsigned& v) { return SetDuration(v); }));
    node->Add(MakeFncNode<unsigned>(
        "period", FlagsOf("period"), [this](unsigned& v) { return GetPeriod(v); },
        [this](const unsigned& v) { return SetPeriod(v); }));
}

} // namespace qfeature
