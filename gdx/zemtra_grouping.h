#pragma once
// FA data grouping of the GDX board ("grouping"): groups the RAF boards' FA
// data into groups of a settable size with a time-out, reports its latency
// and carries the feedback state word that the feedback state relay reads.
// A grouping parameter is written only while grouping is stopped: control 0,
// the value, then control 1 again when grouping is enabled. Client requests
// and the board's start, reset and shutdown come on different threads; the
// control mutex keeps each sequence of control and parameter writes whole,
// and the parameters are read under it too (the configuration's store and a
// node's re-read for its subscribers read them while a client writes).
//
// Block (40 bytes, 32-bit words):
//   0x00 control: 1 grouping runs, 0 stopped
//   0x08 group size (0 to 256)
//   0x10 time-out (below 262144)
//   0x18 latency, read only
//   0x20 feedback state word (not touched here)

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class GdxSfpControl;

class ZemtraGrouping : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x28;
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_size = 0x08;
    static constexpr size_t c_timeout = 0x10;
    static constexpr size_t c_latency = 0x18;
    static constexpr uint32_t c_timeout_init = 1600;
    static constexpr uint32_t c_timeout_limit = 0x40000;
    static constexpr uint32_t c_size_max = 256;
    // Bits of the SFP status words shown by "status3" and "status4".
    static constexpr uint32_t c_sfp_status_bits = 63;

    // Stopped, time-out 1600.
    ZemtraGrouping(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    ~ZemtraGrouping() override;

    // Starts grouping for good.
    void Enable();
    // Control 0, then 1 when enabled.
    void Reset();
    // Sets "size" as a client would (validator, setter, subscribers); false
    // when refused or before the node exists.
    bool SetGroupSize(const unsigned& size);

    bool SetTimeout(const unsigned& timeout);
    bool GetTimeout(unsigned& timeout) const;
    bool _SetGroupSize(const unsigned& size);
    bool GetGroupSize(unsigned& size) const;
    // Bits 0-5 of the board's SFP 3 or SFP 4 status word; false when the
    // board has no SFP control.
    bool GetSfpStatus3(unsigned& status) const;
    bool GetSfpStatus4(unsigned& status) const;
    // The board's grouping SFP reset; its exception passes through.
    bool ResetSfp();

    bool IsEnabled() const { return m_enabled.load(); }

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Stops grouping.
    void OnShutdown() override;

private:
    // Writes a parameter word while grouping is stopped.
    void WriteStopped(size_t offset, uint32_t value);
    GdxSfpControl* SfpControl() const;
    // Bits 0-5 of one of the SFP control's status words.
    bool SfpStatus(uint32_t (GdxSfpControl::*word)() const, unsigned& status) const;

    volatile FPGAMem_t* m_block;
    mutable std::mutex m_control_mutex;
    std::atomic<bool> m_enabled{false};
    mci::Node m_size_node;
};
