#pragma once
// Timing state machine of a board: after each trigger it waits an offset and
// then holds an acquisition window of a duration, once or continuously.
//
// Block of 0x18 bytes (32-bit words):
//   0x00 control: bit 0 enabled, bit 1 continuous
//   0x04 status:  bit 0 running
//   0x08 offset   (ADC periods after the trigger)
//   0x0C duration (ADC periods)
//   0x10 period   (ADC periods between windows in continuous mode)
//   0x14 count of windows since the last restart
// Its words are read and written under one mutex (a leaf lock): two clients
// switching the two control bits at once keep each other's bit.

#include "platform/qapp/zemtra_fpga_object.h"

#include <mutex>
#include <string>
#include <vector>

namespace qfeature {

class Tsm : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x18;
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_status = 0x04;
    static constexpr size_t c_offset = 0x08;
    static constexpr size_t c_duration = 0x0C;
    static constexpr size_t c_period = 0x10;
    static constexpr size_t c_count = 0x14;

    // Flags of one of the state machine's nodes, replacing the default 6.
    struct NodeConfiguration {
        std::string name;
        unsigned long long flags;
    };
    using NodeConfigurationList = std::vector<NodeConfiguration>;

    Tsm(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
        const NodeConfigurationList* nodes = nullptr);

    bool GetDuration(unsigned& duration) const;
    bool SetDuration(const unsigned& duration);
    bool GetOffset(unsigned& offset) const;
    bool SetOffset(const unsigned& offset);
    bool GetPeriod(unsigned& period) const;
    bool SetPeriod(const unsigned& period);
    bool GetContinuous(bool& continuous) const;
    bool SetContinuous(const bool& continuous);
    bool GetEnabled(bool& enabled) const;
    bool SetEnabled(const bool& enabled);

    // Nodes "enabled", "continuous", "offset", "duration", "period".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    unsigned long long FlagsOf(const std::string& name) const;
    bool SetControlBit(uint32_t bit, bool on);

    volatile FPGAMem_t* m_block;
    NodeConfigurationList m_nodes;
    mutable std::mutex m_mutex;
};

} // namespace qfeature
