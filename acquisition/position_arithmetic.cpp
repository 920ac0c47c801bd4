#include "acquisition/position_arithmetic.h"

#include "acquisition/algorithm.h"
#include "platform/qstd/exception.h"

#include <boost/any.hpp>

#include <algorithm>
#include <cmath>

namespace {

using Coefficients = PositionArithmetic::Coefficients;
using SpikeSettings = PositionArithmetic::SpikeSettings;

// Low 32 bits of a 64-bit result.
inline int32_t Low32(int64_t v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// k x difference / sum, truncated toward zero. The product is formed modulo
// 2^64 (it fits with the nodes' validators) and the one quotient that would
// overflow (-2^63 / -1) is taken as its wrapped value.
inline int64_t Scaled(int64_t k, int64_t difference, int64_t sum)
{
    const int64_t product = static_cast<int64_t>(static_cast<uint64_t>(k) * static_cast<uint64_t>(difference));
    if (sum == -1) {
        return static_cast<int64_t>(0 - static_cast<uint64_t>(product));
    }
    return product / sum;
}

// Low 32 bits of value - offset, subtracted modulo 2^64.
inline int32_t Less(int64_t value, int64_t offset)
{
    return Low32(static_cast<int64_t>(static_cast<uint64_t>(value) - static_cast<uint64_t>(offset)));
}

inline void Positions(TbtAmplAtom& atom, const Coefficients& c)
{
    const int64_t a = atom.Va;
    const int64_t b = atom.Vb;
    const int64_t cc = atom.Vc;
    const int64_t d = atom.Vd;
    const int64_t s = a + b + cc + d;
    if (s == 0) {
        atom.Sum = atom.Q = atom.X = atom.Y = 0;
        return;
    }
    atom.X = Less(Scaled(c.kx, (a + d) - (b + cc), s), c.offset_x);
    atom.Y = Less(Scaled(c.ky, (a + b) - (cc + d), s), c.offset_y);
    atom.Q = Less(Scaled(c.kx, (a + cc) - (b + d), s), c.offset_q);
    atom.Sum = Low32(s / 4);
}

inline int32_t WithMarker(int32_t value, int32_t markerSource)
{
    return static_cast<int32_t>((static_cast<uint32_t>(value) & ~1u) | (static_cast<uint32_t>(markerSource) & 1u));
}

inline void DdcAmplitudes(const DdcAtom& s, TbtAmplAtom& d)
{
    const double g = PositionArithmetic::c_ddc_gain;
    d.Va = WithMarker(Algorithm::Amplitude(s[0].I, s[0].Q, g), s[0].I);
    d.Vb = Algorithm::Amplitude(s[1].I, s[1].Q, g);
    d.Vc = Algorithm::Amplitude(s[2].I, s[2].Q, g);
    d.Vd = Algorithm::Amplitude(s[3].I, s[3].Q, g);
}

inline void TdpAmplitudes(const TdpAtom& s, TbtAmplAtom& d)
{
    d.Va = s[0];
    d.Vb = s[1];
    d.Vc = s[2];
    d.Vd = s[3];
}

// Replaces the spike windows of one block, one period of P = end - start
// atoms after another.
//
// Faults of the plain recipe that are avoided here: a window of no atom
// inside the block (wholly before it, or a spike window of 0) replaces
// nothing instead of atom 0; the averaging range is clipped to the block and
// the mean taken over the atoms inside it (a range with none leaves the
// window unchanged); an averaging window of 0 replaces nothing; sums of
// signed amplitudes are divided as signed values.
void RemoveSpikes(TbtAmplAtom* atoms, int64_t n, int64_t start, int64_t end, const SpikeSettings& s,
                  const Coefficients& c)
{
    const int64_t period = end - start;
    const int64_t w = s.window;
    const int64_t aw = s.average_window;
    if (period < 1 || aw == 0 || n <= 0) {
        return;
    }
    // The first period whose window lies no later than the marked run's.
    int64_t p = start;
    if (p > period - w) {
        p -= ((p - (period - w)) + period - 1) / period * period;
    }
    for (int64_t first = p + s.start; first < n; first += period) {
        const int64_t last = first + w - 1;
        const int64_t target = std::max<int64_t>(0, first);
        if (last < target) {
            continue;
        }
        const int64_t stop = first + s.average_stop;
        int64_t lo = stop - aw + 1;
        int64_t hi = stop;
        if (lo < 0) {
            lo = std::max<int64_t>(0, last - s.average_stop);
            hi = lo + aw - 1;
        }
        hi = std::min(hi, n - 1);
        if (hi < lo) {
            continue;
        }
        int64_t sum[4] = {0, 0, 0, 0};
        for (int64_t i = lo; i <= hi; ++i) {
            sum[0] += atoms[i].Va;
            sum[1] += atoms[i].Vb;
            sum[2] += atoms[i].Vc;
            sum[3] += atoms[i].Vd;
        }
        const int64_t used = hi - lo + 1;
        TbtAmplAtom& t = atoms[target];
        t.Va = WithMarker(static_cast<int32_t>(sum[0] / used), t.Va);
        t.Vb = static_cast<int32_t>(sum[1] / used);
        t.Vc = static_cast<int32_t>(sum[2] / used);
        t.Vd = static_cast<int32_t>(sum[3] / used);
        Positions(t, c);
        const int64_t windowEnd = std::min(last, n - 1);
        for (int64_t j = target + 1; j <= windowEnd; ++j) {
            const int32_t own = atoms[j].Va;
            atoms[j] = t;
            atoms[j].Va = WithMarker(t.Va, own);
        }
    }
}

// Amplitudes and positions of a block, then the spike pass with the markers
// of the source atoms.
template <typename Src, typename Amplitudes, typename MarkerOf>
void TransformBlock(const PositionArithmetic& self, const Src* source, TbtAmplAtom* destination, unsigned count,
                    Amplitudes amplitudes, MarkerOf marker)
{
    const Coefficients c = self.GetCoefficients();
    for (unsigned i = 0; i < count; ++i) {
        amplitudes(source[i], destination[i]);
        Positions(destination[i], c);
    }
    const SpikeSettings s = self.GetSpikeSettings();
    unsigned start = 0;
    unsigned end = 0;
    if (s.enabled && PositionArithmetic::FindMarkedRun(count, marker, start, end)) {
        RemoveSpikes(destination, count, start, end, s, c);
    }
}

template <typename In, typename Out, typename Transform>
qsig::SuccessCode_e Convert(const qsig::Array<In>& input, qsig::SuccessCode_e code, qsig::Array<Out>& output,
                            Transform transform)
{
    const unsigned n = input.GetLength();
    output.Resize(n);
    if (n == 0) {
        return code;
    }
    transform(input.GetAtom(0), output.GetAtom(0), n);
    return code;
}

template <typename T> T ValueOf(const mci::NotificationData& data)
{
    const T* value = boost::any_cast<T>(&data.value);
    if (value == nullptr) {
        throw qstd::Exception("Invalid value type", true);
    }
    return *value;
}

} // namespace

PositionArithmetic::Coefficients PositionArithmetic::GetCoefficients() const
{
    return Coefficients{m_kx.load(std::memory_order_relaxed), m_ky.load(std::memory_order_relaxed),
                        m_offset_x.load(std::memory_order_relaxed), m_offset_y.load(std::memory_order_relaxed),
                        m_offset_q.load(std::memory_order_relaxed)};
}

PositionArithmetic::SpikeSettings PositionArithmetic::GetSpikeSettings() const
{
    return SpikeSettings{m_spike_removal.load(std::memory_order_relaxed),
                         m_average_stop.load(std::memory_order_relaxed),
                         m_average_window.load(std::memory_order_relaxed),
                         m_spike_start.load(std::memory_order_relaxed), m_spike_window.load(std::memory_order_relaxed)};
}

void PositionArithmetic::CalculateTbtData(TbtAmplAtom& atom) const
{
    Positions(atom, GetCoefficients());
}

void PositionArithmetic::MoveTdpAmp(const TdpAtom& source, TbtAmplAtom& destination) const
{
    TdpAmplitudes(source, destination);
}

void PositionArithmetic::TransformTdpAtom(const TdpAtom& source, TbtAmplAtom& destination) const
{
    TdpAmplitudes(source, destination);
    CalculateTbtData(destination);
}

void PositionArithmetic::TransformTdpSignal(const TdpAtom* source, TbtAmplAtom* destination,
                                            const unsigned& count) const
{
    TransformBlock(*this, source, destination, count, TdpAmplitudes,
                   [source](unsigned i) { return (source[i][0] & 1) != 0; });
}

void PositionArithmetic::CalculateDdcAmp(const DdcAtom& source, TbtAmplAtom& destination) const
{
    DdcAmplitudes(source, destination);
}

void PositionArithmetic::TransformDdcAtom(const DdcAtom& source, TbtAmplAtom& destination) const
{
    DdcAmplitudes(source, destination);
    CalculateTbtData(destination);
}

void PositionArithmetic::TransformDdcAmplSignal(const DdcAtom* source, TbtAmplAtom* destination,
                                                const unsigned& count) const
{
    TransformBlock(*this, source, destination, count, DdcAmplitudes,
                   [source](unsigned i) { return (source[i][0].I & 1) != 0; });
}

void PositionArithmetic::CalculateDdcPhase(const DdcAtom& source, TbtPhaseAtom& destination) const
{
    destination.Aa = Algorithm::Angle(source[0].I, source[0].Q);
    destination.Ab = Algorithm::Angle(source[1].I, source[1].Q);
    destination.Ac = Algorithm::Angle(source[2].I, source[2].Q);
    destination.Ad = Algorithm::Angle(source[3].I, source[3].Q);
}

void PositionArithmetic::TransformDdcPhaseSignal(const DdcAtom* source, TbtPhaseAtom* destination,
                                                 const unsigned& count) const
{
    for (unsigned i = 0; i < count; ++i) {
        CalculateDdcPhase(source[i], destination[i]);
    }
}

void PositionArithmetic::RemoveTbtSpikes(TbtAmplAtom* atoms, const unsigned& count, unsigned start, unsigned end) const
{
    RemoveSpikes(atoms, count, start, end, GetSpikeSettings(), GetCoefficients());
}

qsig::SuccessCode_e PositionArithmetic::ConvertTdpAmplSignal(const TdpArray& input, qsig::SuccessCode_e code,
                                                             AmplArray& output) const
{
    return Convert(input, code, output,
                   [this](const TdpAtom* in, TbtAmplAtom* out, unsigned n) { TransformTdpSignal(in, out, n); });
}

qsig::SuccessCode_e PositionArithmetic::ConvertDdcAmplSynthSignal(const DdcArray& input, qsig::SuccessCode_e code,
                                                                  AmplArray& output) const
{
    return Convert(input, code, output,
                   [this](const DdcAtom* in, TbtAmplAtom* out, unsigned n) { TransformDdcAmplSignal(in, out, n); });
}

qsig::SuccessCode_e PositionArithmetic::ConvertDdcPhaseSynthSignal(const DdcArray& input, qsig::SuccessCode_e code,
                                                                   PhaseArray& output) const
{
    return Convert(input, code, output,
                   [this](const DdcAtom* in, TbtPhaseAtom* out, unsigned n) { TransformDdcPhaseSignal(in, out, n); });
}

void PositionArithmetic::SetOffsetX(const mci::NotificationData& data)
{
    m_offset_x.store(ValueOf<int>(data));
}

void PositionArithmetic::SetOffsetY(const mci::NotificationData& data)
{
    m_offset_y.store(ValueOf<int>(data));
}

void PositionArithmetic::SetOffsetQ(const mci::NotificationData& data)
{
    m_offset_q.store(ValueOf<int>(data));
}

void PositionArithmetic::SetKx(const mci::NotificationData& data)
{
    m_kx.store(ValueOf<unsigned int>(data));
}

void PositionArithmetic::SetKy(const mci::NotificationData& data)
{
    m_ky.store(ValueOf<unsigned int>(data));
}

void PositionArithmetic::SetSpikeRemoval(const mci::NotificationData& data)
{
    m_spike_removal.store(ValueOf<bool>(data));
}

void PositionArithmetic::SetAverageStop(const mci::NotificationData& data)
{
    m_average_stop.store(ValueOf<int>(data));
}

void PositionArithmetic::SetAverageWindow(const mci::NotificationData& data)
{
    m_average_window.store(ValueOf<unsigned int>(data));
}

void PositionArithmetic::SetSpikeStart(const mci::NotificationData& data)
{
    m_spike_start.store(ValueOf<int>(data));
}

void PositionArithmetic::SetSpikeWindow(const mci::NotificationData& data)
{
    m_spike_window.store(ValueOf<unsigned int>(data));
}
