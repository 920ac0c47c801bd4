#pragma once
// Feedback interlock ("interlock" under "fofb", userblock 4): a 256-entry
// interlock mask loaded through a data port, and the interlock flag of the
// feedback FPGA, which software latches until a client resets it.

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class FofbInterlock : public qapp::ZemtraFpgaObject {
public:
    static constexpr std::size_t c_blockSize = 0x10;
    static constexpr std::size_t c_mask_size = 256;
    // Register block: 0x00 written 1 before every mask load, bit 30 of its
    // read the FPGA's interlock flag; 0x08 the mask data port.
    static constexpr std::size_t c_control = 0x00;
    static constexpr std::size_t c_mask_port = 0x08;
    static constexpr uint32_t c_flag = 1u << 30;

    // parent: the feedback block. Loads a mask of all ones.
    FofbInterlock(qapp::ZemtraFpgaObject& parent, volatile FPGAMem_t* base, const std::string& name);
    ~FofbInterlock() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;

    // Latches the FPGA's flag; true once latched until ResetStatus.
    bool GetStatus(bool& status);
    bool ResetStatus();
    size_t GetMask(uint32_t* values, size_t pos, size_t count) const;
    bool SetMask(const uint32_t* values, size_t pos, size_t count);
    // Loads the whole mask, entry 0 first, as one uninterrupted sequence.
    void ApplyMask();

private:
    // Expects the mutex held.
    void LoadMask();

    volatile FPGAMem_t* m_base;
    std::atomic<bool> m_latched{false};
    mutable std::mutex m_mutex;
    std::array<uint32_t, c_mask_size> m_mask;
};
