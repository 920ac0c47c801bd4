#pragma once
// The analogue front end of a simulated RAF board and the FPGA's signal
// conditioning banks behind it.
//
// Input power P (dBm) reaches the ADCs through the attenuator (att dB, the
// attenuator word of the bank in use) and, for each channel, through the
// switch position that the switching selects, which adds a gain and phase
// error of its own. The signal conditioning then filters every channel with
// the two taps of the bank in use for that switch position, whose response
// at the signal's angular frequency theta per ADC sample is
// H = (fir0 + fir1 e^(-j theta)) / round(65536 sin theta): the taps of a
// unit gain and phase compensation (fir0 = round(65536 sin theta), fir1 = 0)
// pass the signal unchanged, the unit pair (65536, 0) amplifies it by about
// 1 / sin theta.
// The phase of the DDC data, as atan2(I, Q) reads it, counts the RF phase
// with the opposite sign, so per switch position s and channel c the data
// carry
//   10^((P - att - c_nominalLevel) / 20) * error(s, c) * conj(H(s, c))
// with the phase error in the data's own sense. The default input power
// keeps the level at 1 with the attenuator that the server starts with, the
// one of the table's 0 dBm row (20 dB); until the conditioning block is
// first written, the banks read as that attenuator and a unit compensation,
// so that a chassis without a server sees the beam as it is.
//
// The level of the DSC second-maximum detectors (SecondMax) is
// c_secondMaxAt0dB * 10^((P - att) / 20), saturated at 16 bits; the
// attenuator table that the instrument's configuration provides for this
// front end (AttenuatorTable) keeps P - att at c_nominalLevel from -20 to
// 11 dBm, where the detectors read 10000.
//
// The bank model: writes to the bank control switch the bank in use (read
// back in bit 8); every write to the conditioning block is shadowed, so that
// simulation threads read the banks without touching the server's memory,
// and a write into the bank in use is counted.
//
// The switch marker goes with the switch position that the DSC
// configuration's mark word names (conf block 0x20, bits 0-3, shadowed the
// same way): it is set in the turns of the first pattern step whose switch
// position is the marked one, and in none when no step has it.

#include "platform/fpga/fpga_access.h"

#include <array>
#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

class Board;

class RafFrontEnd {
public:
    // The conditioning block.
    static constexpr size_t c_dscOffset = 0x880000;
    static constexpr size_t c_dscLength = 0x9400;
    static constexpr unsigned c_switchPositions = 16;
    static constexpr unsigned c_channels = 4;
    // The DSC configuration's switch mark word.
    static constexpr size_t c_markOffset = 0x800020;
    // Level of the ADC signal below the input power at the table's operating
    // point, in dB, and the detector reading of 0 dB above the attenuation.
    static constexpr double c_nominalLevel = -20.0;
    static constexpr double c_secondMaxAt0dB = 100000.0;
    static constexpr double c_startAttenuation = -c_nominalLevel;
    static constexpr double c_defaultInputPower = c_startAttenuation + c_nominalLevel;

    // Plugs the bank model into the board's FPGA space.
    explicit RafFrontEnd(Board& board);
    ~RafFrontEnd();
    RafFrontEnd(const RafFrontEnd&) = delete;
    RafFrontEnd& operator=(const RafFrontEnd&) = delete;

    void SetInputPower(double dBm)
    {
        m_power.store(dBm);
        m_changes.fetch_add(1);
    }
    double InputPower() const { return m_power.load(); }
    // Error of switch position s on channel c (gain factor, phase in radians).
    void SetChannelError(unsigned s, unsigned c, double gain, double phase);
    std::complex<double> ChannelError(unsigned s, unsigned c) const;
    // Angular frequency of the RF signal per ADC sample (the IF).
    void SetSignalAngle(double theta)
    {
        m_theta.store(theta);
        m_changes.fetch_add(1);
    }
    // Grows after every change of what the factors, the switch positions
    // and the marker depend on: equal counts, equal answers.
    uint64_t Changes() const { return m_changes.load(); }

    // The bank in use and what it holds.
    unsigned ActiveBank() const { return static_cast<unsigned>(m_active.load()); }
    double Attenuation() const; // dB
    // Switch position k (0-15) of the bank's first switch word.
    unsigned SwitchPosition(unsigned k) const;
    // The marked switch position, and the pattern step (0-3) that carries
    // the marker, -1 for none.
    unsigned MarkPosition() const { return m_mark.load(); }
    int MarkedStep() const;
    int32_t Fir0(unsigned s, unsigned c) const;
    int32_t Fir1(unsigned s, unsigned c) const;

    // Level of the second-maximum detectors at the current input power and
    // attenuation.
    uint32_t SecondMax() const;
    // The complex factor of channel c at switch position s at the ADC (input
    // level and the position's error), and in the DDC data (the taps too).
    std::complex<double> InputFactor(unsigned s, unsigned c) const;
    std::complex<double> ChannelFactor(unsigned s, unsigned c) const;

    // Bank switches, and writes into the bank in use, since the last reset.
    uint64_t BankSwitches() const { return m_switches.load(); }
    uint64_t WritesToActiveBank() const { return m_activeWrites.load(); }
    void ResetCounters();
    // Called with the new bank on the writing thread after each bank switch
    // (tests observe what the server has done by then); empty to remove.
    void SetBankSwitchHook(std::function<void(unsigned bank)> hook);

    // The attenuator table for this front end ("power att hysteresis" lines
    // from -100 to 30 dBm).
    static std::string AttenuatorTable();

private:
    class BankModel;
    class MarkModel;
    friend class BankModel;
    friend class MarkModel;

    void OnWrite(size_t offset, uint32_t value);
    uint32_t Shadow(size_t offset) const;

    std::atomic<double> m_power{c_defaultInputPower};
    std::atomic<double> m_theta;
    std::array<std::atomic<double>, c_switchPositions * c_channels> m_gainError;
    std::array<std::atomic<double>, c_switchPositions * c_channels> m_phaseError;
    std::atomic<bool> m_programmed{false};
    std::atomic<unsigned> m_mark{0};
    std::atomic<int> m_active{0};
    std::atomic<uint64_t> m_switches{0};
    std::atomic<uint64_t> m_activeWrites{0};
    std::atomic<uint64_t> m_changes{0};
    std::mutex m_hookMutex;
    std::function<void(unsigned)> m_bankSwitchHook;
    // 32-bit shadows of the conditioning block's words.
    std::unique_ptr<std::atomic<uint32_t>[]> m_shadow;
};

} // namespace sim
