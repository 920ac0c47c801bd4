#pragma once
// Turn-by-turn DSP of the RAF board ("tbt"): the data the TBT path delivers,
// the ADC delay ("phase_offset"), the NCO and debug NCO phase increments,
// the hardware removal of switching spikes with its four timing parameters,
// the mask of one bit per ADC sample position of a turn, and the debug RAM
// of 2048 ADC atoms served as the signal "tbt_window".
//
// Block (2048 bytes, 64-bit registers; every write rewrites a whole register):
//   0x00 bits 0-1 TBT data switch         0x08 bits 0-10 ADC delay
//   0x10 bit 0 debug RAM capture (cleared by the FPGA when complete)
//   0x18 debug RAM data port: each 64-bit read gives the next atom; bit 0 of
//        the low half is set before a read-out
//   0x80 bits 0-31 NCO phase increment    0x88 bits 0-31 debug NCO
//   0x90 bit 0 debug NCO enable           0x100 bit 0 hardware spike removal
//   0x108 bits 0-4 averaging stop (signed) 0x110 bits 0-4 averaging window
//   0x118 bits 0-4 spike start (signed)   0x120 bits 0-6 spike window
//   0x400 + 8 i, i = 0 to 127: bits 0-15 ADC mask word i (sample positions
//        16 i to 16 i + 15)

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class TbtWindowSignal;
namespace qreg {
class SignalNode;
}

enum TBTDataSwitch_e : int { eTbtDDC = 0, eTbtTDP = 1, eTbtDisabled = 2 };

class TurnByTurnDSP : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x800;

    static constexpr size_t c_data_switch = 0x00;
    static constexpr size_t c_adc_delay = 0x08;
    static constexpr size_t c_capture = 0x10;
    static constexpr size_t c_data_port = 0x18;
    static constexpr size_t c_nco = 0x80;
    static constexpr size_t c_dbg_nco = 0x88;
    static constexpr size_t c_dbg_enable = 0x90;
    static constexpr size_t c_spike_enable = 0x100;
    static constexpr size_t c_averaging_stop = 0x108;
    static constexpr size_t c_averaging_window = 0x110;
    static constexpr size_t c_spike_start = 0x118;
    static constexpr size_t c_spike_window = 0x120;
    static constexpr size_t c_adc_mask = 0x400;
    static constexpr unsigned c_adc_mask_words = 128;
    static constexpr unsigned c_adc_mask_bits = 16;

    static constexpr uint32_t c_debug_ram_size = 2048;
    static constexpr uint32_t c_adc_delay_max = 2047;
    static constexpr std::chrono::milliseconds c_capture_poll{2};
    // A capture that the FPGA has not completed by then is given up.
    static constexpr std::chrono::milliseconds c_capture_timeout{1000};
    static constexpr std::chrono::milliseconds c_settle{1};

    TurnByTurnDSP(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~TurnByTurnDSP() override;

    bool _GetDataSwitch(TBTDataSwitch_e& value) const;
    bool _SetDataSwitch(const TBTDataSwitch_e& value);
    bool _GetADCDelay(unsigned int& value) const;
    bool _SetADCDelay(const unsigned int& delay);
    bool _GetNCOFreq(unsigned int& value) const;
    bool _SetNCOFreq(const unsigned int& value);
    bool _GetDbgFreq(unsigned int& value) const;
    bool _SetDbgFreq(const unsigned int& value);
    bool _GetDbgEnable(bool& value) const;
    bool _SetDbgEnable(const bool& value);
    bool _GetSpikeRemovalEnable(bool& value) const;
    bool _SetSpikeRemovalEnable(const bool& value);
    bool _GetSpikeAveragingStop(int& value) const;
    bool _SetSpikeAveragingStop(const int& value);
    bool _GetSpikeAveragingWindow(unsigned int& value) const;
    bool _SetSpikeAveragingWindow(const unsigned int& value);
    bool _GetSpikeStart(int& value) const;
    bool _SetSpikeStart(const int& value);
    bool _GetSpikeWindow(unsigned int& value) const;
    bool _SetSpikeWindow(const unsigned int& value);
    // One value (0 or 1) per mask bit from position on; the count written.
    unsigned int _GetAdcMask(unsigned int* values, unsigned int position, unsigned int count) const;
    // Mask bit position + k := (values[k] == 1); false past the last bit.
    bool _SetAdcMask(const unsigned int* values, unsigned int position, unsigned int count);
    // Mask word index (0 to 127); an index past the words is reported and
    // nothing is read or written.
    void GetAdcMask(const unsigned int& index, unsigned short& mask) const;
    void SetAdcMask(const unsigned int& index, const unsigned short& mask);

    unsigned int GetMaxDbgDataAtoms() const { return c_debug_ram_size; }
    unsigned int GetMaxDbgDataAtomsSize() const { return c_debug_ram_size * 8; }
    // Captures the debug RAM and copies atoms offset to offset + count - 1
    // (cut at the end of the RAM) to buffer; the count copied. 0 without
    // touching the FPGA for no atoms or an offset past the RAM, and 0 when
    // the capture does not complete in time.
    size_t ReadDebugRamData(uint64_t* buffer, size_t count, size_t offset);
    // Switches an enabled hardware spike removal off and on again.
    void ResetSpikeRemoval();
    // Sets "nco_frequency" as a client would (its setter writes the FPGA
    // and subscribers are told); before the node exists, the register.
    bool SetNCOFreq(const uint32_t& value);

    uint32_t GetTbtDecimation() const;
    uint32_t GetNcoFrequency() const;

    mci::Node NodeSpikeWindow() const;
    mci::Node NodeSpikeStart() const;
    mci::Node NodeAveragingWindow() const;
    mci::Node NodeAveragingStop() const;
    mci::Node NodeSwSpikeRemovalEnable() const { return m_sw_spike_removal; }

    const std::shared_ptr<TbtWindowSignal>& GetWindowSignal() const { return m_window; }

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Releases the window signal; it reads nothing afterwards.
    void OnShutdown() override;
    virtual void SetDefault();

private:
    static bool IsAdcMaskWord(unsigned int index);
    bool SetSpikeField(size_t offset, unsigned width, uint64_t value);
    bool SetSignedSpikeField(size_t offset, int value);
    void ReleaseWindow();

    mci::Node m_sw_spike_removal;
    mci::TreeNodePtr m_averaging_stop;
    mci::TreeNodePtr m_averaging_window;
    mci::TreeNodePtr m_spike_start;
    mci::TreeNodePtr m_spike_window;
    mci::Node m_nco;
    const uint32_t m_debug_ram_size = c_debug_ram_size;
    std::shared_ptr<TbtWindowSignal> m_window;
    std::shared_ptr<qreg::SignalNode> m_window_node;
    std::mutex m_debug_ram_mutex;
    // Guards the hardware spike removal's enable across a reset.
    mutable std::mutex m_spike_mutex;
    volatile FPGAMem_t* m_reg;
};
