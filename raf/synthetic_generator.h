#pragma once
// Synthetic signal generator of the RAF board ("synth_generator"): one table
// of 1024 sine samples at the board's IF frequency in two amplitudes packed
// side by side, and the switch of the generator together with the
// continuous mode of the board's "synth_tsm" timing state machine. It lets
// the signal path be exercised without an RF input.
//
// Block (0x3028 bytes):
//   0x0000 generator control (64-bit): 15 on, 0 off
//   0x2000 + 4 i, i = 0 to 1023: table entry i (32-bit): bits 31-16 sample
//          of amplitude 2, bits 15-0 sample of amplitude 1, two's complement
//   0x3000 TBT decimation (64-bit)   0x3008 0 (64-bit)
//   0x3018 table state (64-bit): 0 while it is written, 1 when complete

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace qfeature {
class Tsm;
}

class SyntheticGenerator : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x3028;
    static constexpr size_t c_control = 0x0000;
    static constexpr size_t c_table = 0x2000;
    static constexpr size_t c_tbt_decimation = 0x3000;
    static constexpr size_t c_reserved = 0x3008;
    static constexpr size_t c_table_state = 0x3018;
    static constexpr unsigned c_table_entries = 1024;
    static constexpr uint64_t c_on = 15;
    static constexpr unsigned c_start_amplitude = 32768;
    static constexpr unsigned c_max_amplitude = 32767;

    SyntheticGenerator(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, qfeature::Tsm* tsm);
    ~SyntheticGenerator() override;

    bool SetEnabled(const bool& enabled);
    bool GetEnabled(bool& enabled) const;
    bool SetAmp1(const unsigned& amplitude);
    bool SetAmp2(const unsigned& amplitude);
    bool GetAmp1(unsigned& amplitude) const;
    bool GetAmp2(unsigned& amplitude) const;
    // Computes and writes the whole table.
    void UpdateMill();

    // Entry i of the table for the two amplitudes at phase step w (radians
    // per entry): each sample rounded half away from zero and held to the
    // 16-bit range.
    static uint32_t TableEntry(unsigned i, double w, unsigned amp1, unsigned amp2);

    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    volatile FPGAMem_t* m_reg;
    // Serialises the table computations and guards the members below.
    mutable std::mutex m_mutex;
    bool m_enabled = false;
    unsigned m_amp1 = c_start_amplitude;
    unsigned m_amp2 = c_start_amplitude;
    qfeature::Tsm* m_tsm;
};
