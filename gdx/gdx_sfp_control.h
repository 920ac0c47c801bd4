#pragma once
// SFP control of the GDX board ("sfp_control"): resets the magnet link and
// the two grouping links (SFP 3 and SFP 4, which carry the RAF boards' FA
// data) and reports the lock of their PLLs. The GDX reference and user
// clocks depend on the grouping links: the board refuses to go on when their
// PLLs do not lock. The object has no register nodes; the grouping block
// shows the status words and offers the reset as a command.
//
// Block (24 bytes, 32-bit words):
//   0x00 bit 0 magnet SFP reset, bits 2-3 grouping SFP 3 and 4 reset (pulses)
//   0x08 SFP 3 status: bits 2-3 both set when its PLLs are locked
//   0x10 SFP 4 status, the same
//
// Each read-modify-write of word 0x00 holds the block's mutex: the grouping
// reset (start-up, "reset" command) and the magnet reset (feedback block)
// run on different threads, and an undone clear would hold a link in reset.

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class GdxSfpControl : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x18;
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_status3 = 0x08;
    static constexpr size_t c_status4 = 0x10;
    static constexpr uint32_t c_magnet_reset = 0x1;
    static constexpr uint32_t c_grouping_reset = 0xC;
    static constexpr uint32_t c_plls_locked = 0xC;
    // Lock wait after a grouping reset: polls and their spacing.
    static constexpr unsigned c_lock_polls = 500;
    static constexpr std::chrono::milliseconds c_lock_poll{1};

    // Stores the block; touches no register.
    GdxSfpControl(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    ~GdxSfpControl() override;

    uint32_t GetSfpStatus3() const;
    uint32_t GetSfpStatus4() const;
    bool GetSfp3PllLocked() const;
    bool GetSfp4PllLocked() const;

    // Pulses the magnet link's reset; true.
    bool ResetMagnetSfp();
    // One reset of both grouping links and the wait for their PLLs.
    bool ResetGroupingSfpOnce();
    // Up to two attempts; throws "SFP PLLs not locked. Cannot continue
    // without GDX reference & user clocks." when both fail.
    bool ResetGroupingSfp();

private:
    // Sets or clears bits of word 0x00, keeping the others.
    void ChangeControl(uint32_t bits, bool set);

    volatile FPGAMem_t* m_block;
    std::mutex m_control_mutex; // read-modify-writes of word 0x00
};
