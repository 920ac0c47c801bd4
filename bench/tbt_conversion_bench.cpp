// The derived TBT conversions over 1,000,000 atoms against a plain loop of
// the same arithmetic in the same run: TDP positions with software spike
// removal, DDC amplitudes and positions with spike removal, DDC phases.
// After the runs the ratio of each conversion to its plain loop is printed
// (CPU time; target: within 1.5).

#include "acquisition/position_arithmetic.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr unsigned c_atoms = 1000000;
// Switching: a marked run of 40 turns in every 160; spike windows of 2 turns
// at each switch, averaged over the 4 turns before them.
constexpr unsigned c_step = 40;
constexpr int c_average_stop = -1;
constexpr int64_t c_average_window = 4;
constexpr int64_t c_window = 2;
constexpr int64_t c_k = 10000000;

struct Data {
    Data()
    {
        mci::NotificationData d;
        auto set = [&](auto value, void (PositionArithmetic::*f)(const mci::NotificationData&)) {
            d.value = value;
            (pa.*f)(d);
        };
        set(static_cast<unsigned>(c_k), &PositionArithmetic::SetKx);
        set(static_cast<unsigned>(c_k), &PositionArithmetic::SetKy);
        set(true, &PositionArithmetic::SetSpikeRemoval);
        set(c_average_stop, &PositionArithmetic::SetAverageStop);
        set(static_cast<unsigned>(c_average_window), &PositionArithmetic::SetAverageWindow);
        set(0, &PositionArithmetic::SetSpikeStart);
        set(static_cast<unsigned>(c_window), &PositionArithmetic::SetSpikeWindow);
        for (unsigned i = 0; i < c_atoms; ++i) {
            const int marker = (i / c_step) % 4 == 0 ? 1 : 0;
            const int a = 1000000 + static_cast<int>(i % 97) * 10;
            TdpAtom& t = tdp[i];
            t = TdpAtom{{(a & ~1) | marker, 990000, 1010000, 1005000}};
            DdcAtom& q = ddc[i];
            q = DdcAtom{{{(607000 & ~1) | marker, 1000}, {600000, -2000}, {610000, 500}, {605000, 0}}};
        }
    }
    PositionArithmetic pa;
    qsig::Array<TdpTraits> tdp{TdpTraits(), c_atoms};
    qsig::Array<DdcTraits> ddc{DdcTraits(), c_atoms};
    qsig::Array<TbtAmplTraits> ampl{TbtAmplTraits(), c_atoms};
    qsig::Array<TbtPhaseTraits> phase{TbtPhaseTraits(), c_atoms};
};

Data& Shared()
{
    static Data data;
    return data;
}

// The plain loop: positions of one atom with 64-bit products and divisions.
inline void PlainPositions(TbtAmplAtom& t)
{
    const int64_t s = int64_t(t.Va) + t.Vb + t.Vc + t.Vd;
    if (s == 0) {
        t.Sum = t.Q = t.X = t.Y = 0;
        return;
    }
    t.X = static_cast<int32_t>(c_k * ((int64_t(t.Va) + t.Vd) - (int64_t(t.Vb) + t.Vc)) / s);
    t.Y = static_cast<int32_t>(c_k * ((int64_t(t.Va) + t.Vb) - (int64_t(t.Vc) + t.Vd)) / s);
    t.Q = static_cast<int32_t>(c_k * ((int64_t(t.Va) + t.Vc) - (int64_t(t.Vb) + t.Vd)) / s);
    t.Sum = static_cast<int32_t>(s / 4);
}

// The plain spike pass for the block's known switching: a window at every
// switch, the mean of the atoms before it.
void PlainSpikes(TbtAmplAtom* a, int64_t n)
{
    for (int64_t s = c_step; s < n; s += c_step) {
        int64_t sum[4] = {0, 0, 0, 0};
        const int64_t b = s + c_average_stop;
        for (int64_t i = b - c_average_window + 1; i <= b; ++i) {
            sum[0] += a[i].Va;
            sum[1] += a[i].Vb;
            sum[2] += a[i].Vc;
            sum[3] += a[i].Vd;
        }
        TbtAmplAtom& t = a[s];
        t.Va = static_cast<int32_t>(((sum[0] / c_average_window) & ~1) | (t.Va & 1));
        t.Vb = static_cast<int32_t>(sum[1] / c_average_window);
        t.Vc = static_cast<int32_t>(sum[2] / c_average_window);
        t.Vd = static_cast<int32_t>(sum[3] / c_average_window);
        PlainPositions(t);
        for (int64_t j = s + 1; j < std::min(s + c_window, n); ++j) {
            const int32_t own = a[j].Va & 1;
            a[j] = t;
            a[j].Va = (t.Va & ~1) | own;
        }
    }
}

void BM_TdpConversion(benchmark::State& state)
{
    Data& d = Shared();
    for (auto _ : state) {
        d.pa.ConvertTdpAmplSignal(d.tdp, qsig::eSuccess, d.ampl);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_TdpConversion)->Unit(benchmark::kMillisecond);

void BM_TdpPlainLoop(benchmark::State& state)
{
    Data& d = Shared();
    for (auto _ : state) {
        TbtAmplAtom* out = d.ampl.GetAtom(0);
        const TdpAtom* in = d.tdp.GetAtom(0);
        for (unsigned i = 0; i < c_atoms; ++i) {
            out[i] = TbtAmplAtom{in[i][0], in[i][1], in[i][2], in[i][3], 0, 0, 0, 0};
            PlainPositions(out[i]);
        }
        PlainSpikes(out, c_atoms);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_TdpPlainLoop)->Unit(benchmark::kMillisecond);

void BM_DdcAmplConversion(benchmark::State& state)
{
    Data& d = Shared();
    for (auto _ : state) {
        d.pa.ConvertDdcAmplSynthSignal(d.ddc, qsig::eSuccess, d.ampl);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_DdcAmplConversion)->Unit(benchmark::kMillisecond);

void BM_DdcAmplPlainLoop(benchmark::State& state)
{
    Data& d = Shared();
    const double g = PositionArithmetic::c_ddc_gain;
    for (auto _ : state) {
        TbtAmplAtom* out = d.ampl.GetAtom(0);
        const DdcAtom* in = d.ddc.GetAtom(0);
        for (unsigned i = 0; i < c_atoms; ++i) {
            int32_t v[4];
            for (int c = 0; c < 4; ++c) {
                const double x = in[i][c].I;
                const double y = in[i][c].Q;
                v[c] = static_cast<int32_t>(std::sqrt(x * x + y * y) * g + 0.5);
            }
            out[i] = TbtAmplAtom{(v[0] & ~1) | (in[i][0].I & 1), v[1], v[2], v[3], 0, 0, 0, 0};
            PlainPositions(out[i]);
        }
        PlainSpikes(out, c_atoms);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_DdcAmplPlainLoop)->Unit(benchmark::kMillisecond);

void BM_DdcPhaseConversion(benchmark::State& state)
{
    Data& d = Shared();
    for (auto _ : state) {
        d.pa.ConvertDdcPhaseSynthSignal(d.ddc, qsig::eSuccess, d.phase);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_DdcPhaseConversion)->Unit(benchmark::kMillisecond);

void BM_DdcPhasePlainLoop(benchmark::State& state)
{
    Data& d = Shared();
    for (auto _ : state) {
        TbtPhaseAtom* out = d.phase.GetAtom(0);
        const DdcAtom* in = d.ddc.GetAtom(0);
        for (unsigned i = 0; i < c_atoms; ++i) {
            out[i] = TbtPhaseAtom{
                std::atan2(double(in[i][0].I), double(in[i][0].Q)), std::atan2(double(in[i][1].I), double(in[i][1].Q)),
                std::atan2(double(in[i][2].I), double(in[i][2].Q)), std::atan2(double(in[i][3].I), double(in[i][3].Q))};
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_atoms));
}
BENCHMARK(BM_DdcPhasePlainLoop)->Unit(benchmark::kMillisecond);

// Console output, and the ratio of each conversion to its plain loop at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            m_times[r.benchmark_name()] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const
    {
        for (const char* kind : {"Tdp", "DdcAmpl", "DdcPhase"}) {
            const auto conversion = m_times.find(std::string("BM_") + kind + "Conversion");
            const auto plain = m_times.find(std::string("BM_") + kind + "PlainLoop");
            if (conversion != m_times.end() && plain != m_times.end() && plain->second > 0) {
                std::printf("%-9s conversion / plain loop: %.2f\n", kind, conversion->second / plain->second);
            }
        }
    }

private:
    std::map<std::string, double> m_times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    return 0;
}
