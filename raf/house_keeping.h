#pragma once
// House keeping of the RAF board ("house_keeping"): checks at construction
// that the ADC clock is present, sets two control registers, and adjusts
// the oversampling of three slow external signals: the machine clock "MC",
// the trigger "Trigger" and the post-mortem signal "PM". The FPGA reports
// the last four samples of each as a 4-bit pattern and shifts the sampling
// point faster or slower by a number of counts when told to.
//
// Block (192 bytes):
//   0x00 control (64-bit), 27 at construction
//   0x08 control (64-bit), 0 at construction
//   0x88 ADC clock status (64-bit): bits 0-1 non-zero when the clock is missing
//   0x90, 0x98, 0xA0 oversampling words of MC, Trigger and PM (32-bit):
//        bits 0-5 counts, bit 8 mode (0 speed up, 1 slow down), bit 16 reset,
//        bits 24-27 pattern (read only)

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <atomic>
#include <cstdint>
#include <string>

enum OversamplingShiftMode_e : int { eSpeedUp = 0, eSlowDown = 1 };

// The oversampled signals; no name table.
enum SignalType_e : int { eSignalMC = 0, eSignalTrigger = 1, eSignalPM = 2 };

// One oversampling word, as the FPGA holds it.
using tOverSmpl = uint32_t;

class HouseKeeping : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0xC0;

    static constexpr size_t c_control0 = 0x00;
    static constexpr size_t c_control1 = 0x08;
    static constexpr size_t c_adc_clock_status = 0x88;
    static constexpr size_t c_oversampling_mc = 0x90;
    static constexpr size_t c_oversampling_trigger = 0x98;
    static constexpr size_t c_oversampling_pm = 0xA0;

    static constexpr uint32_t c_pattern_shift = 24;
    static constexpr uint32_t c_pattern_mask = 0xF;
    // Correction words: one count slower, one count faster.
    static constexpr tOverSmpl c_slow_down = 0x101;
    static constexpr tOverSmpl c_speed_up = 0x1;
    // Patterns that show the signal settled after a correction.
    static constexpr uint32_t c_settled_after_slow_down = 3;
    static constexpr uint32_t c_settled_after_speed_up = 7;

    // Throws "ADC clock is not detected" when the clock is missing.
    HouseKeeping(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~HouseKeeping() override;

    // One adjustment step of that signal's word; true when it has settled.
    // A type without a word returns true and touches nothing.
    bool AdjustSignalOversampling(SignalType_e type);
    // The step itself over one word and its expected pattern (0: none).
    bool AdjustSignalOversampling(volatile tOverSmpl& word, std::atomic<uint32_t>& expected);

    // The four field nodes of a word under parent.
    void DefineOversamplingRegistry(mci::TreeNodePtr& parent, volatile tOverSmpl& word);

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    virtual void SetDefault() {}

    uint32_t GetExpectedPattern(SignalType_e type) const;

private:
    volatile tOverSmpl& Word(size_t offset);

    volatile FPGAMem_t* m_reg;
    std::atomic<uint32_t> m_expected_mc{0};
    std::atomic<uint32_t> m_expected_trigger{0};
    std::atomic<uint32_t> m_expected_pm{0};
};
