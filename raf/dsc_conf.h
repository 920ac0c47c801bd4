#pragma once
// Timing of the RAF board's digital signal conditioning ("conf"): the two
// second-maximum detectors and their restart mode, the analogue-to-DSP
// delay, the division of the TBT clock that drives the switching of the
// input channels, the switch mark and the delay of the mark sent to the
// history buffer, and the SIF prescaler.
//
// Block (88 bytes, 64-bit registers; every write rewrites a whole register):
//   0x00 bits 0-15 second maximum A (read), bit 32 restart mode A
//   0x08 bits 0-15 second maximum B (read), bit 32 restart mode B
//   0x10 bits 0-11 analogue-to-DSP delay
//   0x18 bits 0-7  second-maximum disable length
//   0x20 bits 0-3  switch mark position, bits 32-47 switch-to-history delay
//   0x30 bits 0-15 TBT division count, bit 31 switching source,
//        bits 32-41 switching delay, bit 63 division switch disabled
//   0x40 bits 0-7  SIF prescaler
//
// The object keeps the switch-to-history delay offset: the mark delay minus
// the TBT DSP's ADC delay, so that a new ADC delay moves the mark with it.

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <atomic>
#include <cstdint>
#include <string>

enum SecMaxRestart_e : int { eSecMaxOnTrigger = 0, eSecMaxOnRead = 1 };
enum TbtSigSel_e : int { eTbtSigInternal = 0, eTbtSigExternal = 1 };

class DSCConfig : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x58;

    static constexpr size_t c_second_max_a = 0x00;
    static constexpr size_t c_second_max_b = 0x08;
    static constexpr size_t c_analog_to_dsp = 0x10;
    static constexpr size_t c_disable_length = 0x18;
    static constexpr size_t c_switch_mark = 0x20;
    static constexpr size_t c_tbt_div = 0x30;
    static constexpr size_t c_sif_prescaler = 0x40;

    static constexpr uint32_t c_default_offset = 440;
    // The switch-to-history delay field, bits 32-47 of register 0x20.
    static constexpr unsigned c_mark_delay_shift = 32;
    static constexpr unsigned c_mark_delay_bits = 16;
    static constexpr uint32_t c_mark_delay_limit = 0x10000;
    static constexpr unsigned c_tbt_div_count_bits = 16;

    // Writes the defaults: 0x00, 0x08 restart "OnRead"; 0x10 := 25;
    // 0x18 := 50; 0x40 := 16; 0x20 := mark delay 440; 0x30 := 0.
    DSCConfig(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~DSCConfig() override;

    bool Get2ndMaxA(unsigned int& value) const;
    bool Get2ndMaxRestartA(SecMaxRestart_e& value) const;
    bool _Get2ndMaxRestartB(SecMaxRestart_e& value) const;
    bool _Set2ndMaxRestartB(const SecMaxRestart_e& value);
    bool GetSwitch2HistoryDelay(unsigned int& value) const;
    // Writes a mark delay below 65536; the offset stays.
    bool SetSwitch2HistoryDelay(const unsigned int& value);
    // The same, then offset := value - ADC delay.
    bool _SetSwitch2HistoryDelay(const unsigned int& value);
    bool GetTbtSignalSelect(TbtSigSel_e& value) const;
    bool _SetTbtSignalSelect(const TbtSigSel_e& value);
    bool GetTbtDivSwitchDisabled(bool& value) const;
    bool _SetTbtDivSwitchDisabled(const bool& value);

    // Through the nodes (after OnRegistryAdd).
    bool GetAnalog2DSPDelay(unsigned int& value) const;
    bool GetTbtDivExecutionDelay(unsigned int& value) const;
    bool GetTbtDivCount(unsigned int& value) const;
    bool GetSIFPrescaler(unsigned int& value) const;
    // Only in application states 3 and 4; false otherwise.
    bool GetSwitchMarkPosition(unsigned int& value) const;
    bool SetSwitchMarkPosition(const unsigned int& value);

    uint32_t GetSwHisDelayOffset() const { return m_sw_his_delay_offset.load(); }

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPostInit() override;
    void OnPostConfig() override;
    virtual void SetDefault();

private:
    uint32_t GetTbtDecimation() const;
    uint32_t GetADCDelay() const;
    uint32_t MarkDelay() const;
    bool InRunningStates() const;

    // Written on the framework's start-up thread and by client writes of the
    // mark delay; read by the TBT DSP under the gain controller's lock.
    std::atomic<uint32_t> m_sw_his_delay_offset{c_default_offset};
    volatile FPGAMem_t* m_reg;
    mci::Node m_second_max;
    mci::Node m_analog_to_dsp_delay;
    mci::Node m_switch_to_history_delay;
    mci::Node m_switch_mark_position;
    mci::Node m_switching_delay;
    mci::Node m_tbt_div_count;
    mci::Node m_sif_prescaler;
};
