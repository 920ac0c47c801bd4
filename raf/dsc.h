#pragma once
// Digital signal conditioning of a RAF board ("conditioning" at 0x880000):
// the front-end attenuator, the switching of the four RF inputs (a fixed
// switch position, or a four-entry pattern that the inputs cycle through),
// and per pattern position and channel a gain and phase compensation turned
// into the two taps of a per-channel FIR filter.
//
// The block holds two banks of attenuator, switch and coefficient words. In
// the running application every change fills the bank that the FPGA does
// not use and then switches the FPGA to it, so the signal path never sees a
// half-written set; before that, attenuator and switch changes fill both
// banks directly.
//
// Block (64-bit words at byte offsets; b the bank, c the channel):
//   0x00                          bank control: written with the bank to use;
//                                 bit 8 reads the bank in use
//   0x10 + 8b                     attenuator word: (att * 2) & 63 in each of
//                                 bytes 0-3
//   0x1000 + 0x400b + 8i, i<128   switch words: 16 four-bit positions each
//   0x8000 / 0x8800 + 0x100(4b+c) two tables written once (0x40000000)
//   0x9000 + 0x80(4b+c) + 8s      taps of switch position s: fir0 in bits
//                                 0-31, fir1 in bits 32-63 (signed)
//
// One mutex guards the cached settings and every bank write. It is the
// innermost lock of the object: notifications, stream dispatch and the
// wake-up of the gain controller happen after it is released, and values
// that need other objects (the NCO word) are fetched before it is taken.

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"
#include "platform/qsig/signal_traits.h"
#include "qsig/stream.h"
#include "raf/compensation_entry.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class RafBoard;
namespace qreg {
class SignalNode;
}

// One atom of a channel-coefficient stream: the channel's gains and phases
// at the four pattern positions.
struct ChannelCoeffSignalStruct {
    double gain[c_dscPatternSize];
    double phase[c_dscPatternSize];
};

using ChannelCoeffTraits = qsig::SignalTraits<double, ChannelCoeffSignalStruct, 1>;
using ChannelCoeffStream = qsig::Stream<ChannelCoeffTraits>;

class DigSigCond : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x9400;

    static constexpr size_t c_bank_control = 0x00;
    static constexpr uint32_t c_bank_in_use_bit = 0x100;
    static constexpr size_t c_att_words = 0x10;
    static constexpr size_t c_sw_words = 0x1000;
    static constexpr size_t c_sw_bank_stride = 0x400;
    static constexpr unsigned c_sw_word_count = 128;
    static constexpr size_t c_table_a = 0x8000;
    static constexpr size_t c_table_b = 0x8800;
    static constexpr size_t c_table_stride = 0x100;
    static constexpr unsigned c_table_words = 32;
    static constexpr uint32_t c_table_value = 0x40000000;
    static constexpr size_t c_coef_pairs = 0x9000;
    static constexpr size_t c_coef_stride = 0x80;
    static constexpr unsigned c_switch_positions = 16;
    static constexpr int32_t c_unit_fir0 = 0x10000;
    static constexpr unsigned c_att_max = 31;
    static constexpr unsigned c_att_mask = 63;
    static constexpr unsigned c_sw_max = 15;

    // Byte offsets of a bank's words.
    static constexpr size_t AttWord(unsigned bank) { return c_att_words + 8 * bank; }
    static constexpr size_t SwWord(unsigned bank, unsigned i) { return c_sw_words + c_sw_bank_stride * bank + 8 * i; }
    static constexpr size_t CoefPair(unsigned bank, unsigned channel, unsigned position)
    {
        return c_coef_pairs + c_coef_stride * (4 * bank + channel) + 8 * position;
    }

    // The board must be a RafBoard (std::bad_cast otherwise).
    DigSigCond(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~DigSigCond() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Takes the IF and ADC frequencies and the tap scale from the board.
    void OnPostInit() override;
    // Shuts the coefficient streams down and withdraws them.
    void OnShutdown() override;

    bool GetAtt(unsigned int& value) const;
    bool GetSwitching(bool& value) const;
    bool GetSw(unsigned int& value) const;
    void GetSwPattern(unsigned int (&pattern)[c_dscPatternSize]) const;
    bool GetSwPattern0(unsigned int& value) const;

    // Through the nodes, so that their setters run and subscribers hear.
    bool SetAtt(const unsigned int& value);
    bool SetSw(const unsigned int& value);
    bool SetSwPattern0(const unsigned int& value);
    bool SetSwPattern1(const unsigned int& value);
    bool SetSwPattern2(const unsigned int& value);
    bool SetSwPattern3(const unsigned int& value);

    // Unit taps at every position until a compensation is set again; the
    // second call in a row does nothing.
    bool SetUnitCompensation();
    // Takes the entry and the IF delta, notifies, dispatches the channel
    // streams, then writes the FPGA.
    bool SetCompensation(const tCompensationEntry& entry, double ifDelta);

    // Setters of the nodes.
    bool _SetAtt(const unsigned int& value);
    bool _SetSwitching(const bool& value);
    bool _SetSw(const unsigned int& value);
    bool _SetSwPatternPos(unsigned int value, unsigned int position);
    bool _SetSwPattern0(const unsigned int& value) { return _SetSwPatternPos(value, 0); }
    bool _SetSwPattern1(const unsigned int& value) { return _SetSwPatternPos(value, 1); }
    bool _SetSwPattern2(const unsigned int& value) { return _SetSwPatternPos(value, 2); }
    bool _SetSwPattern3(const unsigned int& value) { return _SetSwPatternPos(value, 3); }
    bool _GetSwPatternPos(unsigned int& value, unsigned int position) const;
    bool _GetSwPattern0(unsigned int& value) const { return _GetSwPatternPos(value, 0); }
    bool _GetSwPattern1(unsigned int& value) const { return _GetSwPatternPos(value, 1); }
    bool _GetSwPattern2(unsigned int& value) const { return _GetSwPatternPos(value, 2); }
    bool _GetSwPattern3(unsigned int& value) const { return _GetSwPatternPos(value, 3); }
    // Mean over the four pattern positions of a channel's gain or phase.
    bool _GetGainCoef(double& value, unsigned int channel) const;
    bool _GetPhaseCoef(double& value, unsigned int channel) const;

    // The object's current compensation and IF delta.
    tCompensationEntry GetCompensation() const;
    double GetIfDelta() const;
    double GetScaleK() const;

    // The angular frequency of the taps: 2 pi (f_NCO - ifDelta) / adcFreq
    // with f_NCO = nco * adcFreq / 2^32.
    static double TapAngle(uint32_t nco, double adcFreq, double ifFreq, double ifDelta);
    // The taps that give gain g and phase -phi at theta, scaled by k:
    // fir0 = round((cos phi - sin phi / tan theta) g k),
    // fir1 = round(sin phi / sin theta g k), clamped to signed 32 bits.
    // False (and the unit pair) when they are undefined: theta not finite or
    // a multiple of pi, or a result that is not a number.
    static bool ComputeTaps(double g, double phi, double theta, double k, int32_t& fir0, int32_t& fir1);

    // The coefficient stream of a channel (null after OnShutdown).
    std::shared_ptr<ChannelCoeffStream> GetStream(unsigned channel) const;

private:
    bool MeanOverPattern(bool gain, unsigned int channel, double& value) const;
    // Caller holds m_mutex.
    void FillAtt(unsigned bank);
    void FillSw(unsigned bank);
    uint64_t SwitchWord() const;
    // Fills the idle bank and switches to it; the NCO word was read before
    // the mutex was taken (ncoValid false: the taps are undefined).
    void WriteFPGA(uint32_t nco, bool ncoValid);
    // Reads the NCO word through the board; false without it.
    bool ReadNco(uint32_t& nco) const;
    bool Running() const;
    // Fills the idle bank in the running application, both banks otherwise.
    void ApplyAttOrSw(bool running, uint32_t nco, bool ncoValid, bool att);

    // Notifies, dispatches the entry on the streams, then writes the FPGA
    // (clearing the unit flag first when asked).
    void PublishAndWrite(const tCompensationEntry& entry, bool clearUnit);
    void EmitNotifications();
    void DispatchStreams(const tCompensationEntry& entry);
    void ReleaseStreams();

    volatile FPGAMem_t* m_reg;
    RafBoard* m_board;

    mutable std::mutex m_mutex;
    uint32_t m_att = 0xFFFFFFFF;
    bool m_switching = false;
    uint32_t m_sw = 0;
    uint32_t m_pattern[c_dscPatternSize] = {0, 0, 0, 0};
    tCompensationEntry m_compensation;
    bool m_unit = false;
    double m_K = 65536.0;
    double m_if_delta = 0.0;
    // Zero until OnPostInit: taps need both frequencies.
    double m_if_freq = 0.0;
    double m_adc_freq = 0.0;

    mci::Node m_switching_node;
    mci::Node m_att_node;
    mci::Node m_sw_node;
    mci::Node m_sw_pattern_nodes[c_dscPatternSize];
    mci::TreeNodePtr m_gain_nodes[c_dscChannels];
    mci::TreeNodePtr m_phase_nodes[c_dscChannels];
    mci::TreeNodePtr m_gain_pattern_nodes[c_dscPatternSize][c_dscChannels];
    mci::TreeNodePtr m_phase_pattern_nodes[c_dscPatternSize][c_dscChannels];
    mci::TreeNodePtr m_if_delta_node;

    // The streams are shared with a dispatch in progress, so that the
    // shutdown can take them away while the gain controller publishes.
    mutable std::mutex m_stream_mutex;
    std::array<std::shared_ptr<ChannelCoeffStream>, c_dscChannels> m_streams;
    std::array<std::shared_ptr<qreg::SignalNode>, c_dscChannels> m_stream_nodes;
};
