#pragma once
// Beam positions from the RAF board's TBT data: the four channel amplitudes
// of TDP atoms, or those computed from the I/Q pairs of DDC atoms, give the
// sum, charge and X/Y positions with the FA block's coefficients Kx, Ky and
// offsets; DDC atoms also give one phase per channel; switching spikes are
// replaced in software with the TBT DSP's spike-removal settings.
//
// Switch marker: bit 0 of channel A (TDP Va, DDC Ia) alternates with the
// input switching; every rewrite of Va keeps the atom's own marker bit.
//
// The parameters are written by notification callbacks while readers'
// threads convert blocks; each is an atomic and every conversion works with
// the values it loaded when it began.

#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qsig/signal_types.h"
#include "qsig/array.h"

#include <atomic>
#include <cstdint>

class PositionArithmetic {
public:
    using DdcArray = qsig::Array<DdcTraits>;
    using TdpArray = qsig::Array<TdpTraits>;
    using AmplArray = qsig::Array<TbtAmplTraits>;
    using PhaseArray = qsig::Array<TbtPhaseTraits>;

    // Gain of the DDC amplitude (the CORDIC gain of the FPGA's DDC).
    static constexpr double c_ddc_gain = 1.64676025805716;

    // Position coefficients, loaded once per conversion.
    struct Coefficients {
        int64_t kx;
        int64_t ky;
        int64_t offset_x;
        int64_t offset_y;
        int64_t offset_q;
    };
    // Software spike-removal settings, loaded once per conversion.
    struct SpikeSettings {
        bool enabled;
        int32_t average_stop;
        uint32_t average_window;
        int32_t start;
        uint32_t window;
    };

    PositionArithmetic() = default;
    PositionArithmetic(const PositionArithmetic&) = delete;
    PositionArithmetic& operator=(const PositionArithmetic&) = delete;

    // Sum, Q, X and Y of the atom from its Va to Vd.
    void CalculateTbtData(TbtAmplAtom& atom) const;
    // Va to Vd only.
    void MoveTdpAmp(const TdpAtom& source, TbtAmplAtom& destination) const;
    void TransformTdpAtom(const TdpAtom& source, TbtAmplAtom& destination) const;
    // TransformTdpAtom for each atom, then the spike pass.
    void TransformTdpSignal(const TdpAtom* source, TbtAmplAtom* destination, const unsigned& count) const;
    // Va to Vd from the I/Q pairs; Va keeps the marker of Ia.
    void CalculateDdcAmp(const DdcAtom& source, TbtAmplAtom& destination) const;
    void TransformDdcAtom(const DdcAtom& source, TbtAmplAtom& destination) const;
    void TransformDdcAmplSignal(const DdcAtom* source, TbtAmplAtom* destination, const unsigned& count) const;
    // Aa to Ad: atan2(I, Q) of each channel.
    void CalculateDdcPhase(const DdcAtom& source, TbtPhaseAtom& destination) const;
    void TransformDdcPhaseSignal(const DdcAtom* source, TbtPhaseAtom* destination, const unsigned& count) const;
    // Replaces the atoms of every spike window, the marked run [start, end)
    // giving the period.
    void RemoveTbtSpikes(TbtAmplAtom* atoms, const unsigned& count, unsigned start, unsigned end) const;

    // Conversions of the derived sources: the output gets as many atoms as
    // the input (growing a wrapped output raises "array: Cannot extend
    // non-owned array."); the code is returned unchanged.
    qsig::SuccessCode_e ConvertTdpAmplSignal(const TdpArray& input, qsig::SuccessCode_e code, AmplArray& output) const;
    qsig::SuccessCode_e ConvertDdcAmplSynthSignal(const DdcArray& input, qsig::SuccessCode_e code,
                                                  AmplArray& output) const;
    qsig::SuccessCode_e ConvertDdcPhaseSynthSignal(const DdcArray& input, qsig::SuccessCode_e code,
                                                   PhaseArray& output) const;

    // Notification callbacks: each stores the notified value, which must be
    // of its type (else "Invalid value type", the parameter unchanged).
    void SetOffsetX(const mci::NotificationData& data);
    void SetOffsetY(const mci::NotificationData& data);
    void SetOffsetQ(const mci::NotificationData& data);
    void SetKx(const mci::NotificationData& data);
    void SetKy(const mci::NotificationData& data);
    void SetSpikeRemoval(const mci::NotificationData& data);
    void SetAverageStop(const mci::NotificationData& data);
    void SetAverageWindow(const mci::NotificationData& data);
    void SetSpikeStart(const mci::NotificationData& data);
    void SetSpikeWindow(const mci::NotificationData& data);

    Coefficients GetCoefficients() const;
    SpikeSettings GetSpikeSettings() const;

    // Marked run of a block: the first complete run of marker ones after
    // three marker changes; false without them.
    template <typename MarkerOf>
    static bool FindMarkedRun(unsigned count, MarkerOf marker, unsigned& start, unsigned& end);

protected:
    // Offsets sign-extended, Kx and Ky zero-extended from their 32-bit nodes.
    std::atomic<int64_t> m_offset_x{0};
    std::atomic<int64_t> m_offset_y{0};
    std::atomic<int64_t> m_offset_q{0};
    std::atomic<int64_t> m_kx{0};
    std::atomic<int64_t> m_ky{0};
    std::atomic<int32_t> m_average_stop{0};
    std::atomic<uint32_t> m_average_window{0};
    std::atomic<int32_t> m_spike_start{0};
    std::atomic<uint32_t> m_spike_window{0};
    std::atomic<bool> m_spike_removal{false};
};

template <typename MarkerOf>
bool PositionArithmetic::FindMarkedRun(unsigned count, MarkerOf marker, unsigned& start, unsigned& end)
{
    if (count < 2) {
        return false;
    }
    // The next index from i on whose marker differs from m, or count.
    auto change = [&](unsigned i, bool m) {
        while (i < count && marker(i) == m) {
            ++i;
        }
        return i;
    };
    const bool m0 = marker(0);
    const unsigned i1 = change(1, m0);
    if (i1 >= count) {
        return false;
    }
    const unsigned j = change(i1 + 1, !m0);
    if (j >= count) {
        return false;
    }
    const unsigned k = change(j + 1, m0);
    if (k >= count) {
        return false;
    }
    start = m0 ? j : i1;
    end = m0 ? k : j;
    return true;
}
