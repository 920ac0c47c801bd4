// The simulated GDX board's FA history, made where a reader reads it: the
// cost of reading one second of FA atoms of four RAF boards next to a memcpy
// of the same bytes (measured in the same run), and the share of one core
// that the simulation needs to keep up with the FA rate.

#include "platform/fpga/fpga_access.h"
#include "sim/chassis.h"
#include "sim/gdx_models.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One second of the board's clock per iteration, read at once: what a reader
// reading once a second costs.
void BM_FaCatchUpOneSecond(benchmark::State& state)
{
    sim::Chassis chassis(sim::Scenario::Default());
    sim::Board& gdx = *chassis.Find("gdx");
    sim::GdxModels& models = *gdx.Gdx();
    fpga::Write32(gdx.Memory(), sim::GdxModels::c_filterBlock, 0xF);
    fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, sim::GdxModels::c_historyArmed);
    const double adc = gdx.Clock().Frequency();
    uint64_t lmt = gdx.Clock().Now();
    gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, lmt, 0});
    const auto track = models.FaTrack();
    const size_t bytesPerSecond =
        static_cast<size_t>(adc / static_cast<double>(models.FaPeriod())) * sim::GdxModels::c_faAtomBytes;
    std::vector<char> src(bytesPerSecond, 1);
    std::vector<char> dst(bytesPerSecond, 0);
    double made = 0.0;
    double copied = 0.0;
    uint64_t atoms = 0;
    for (auto _ : state) {
        const uint64_t before = track->Snapshot().written;
        lmt += static_cast<uint64_t>(adc);
        gdx.Clock().Set(lmt, Clock::now());
        const auto t0 = Clock::now();
        const uint64_t after = track->Snapshot().written;
        const size_t bytes = std::min<size_t>(bytesPerSecond, (after - before) * sim::GdxModels::c_faAtomBytes);
        models.FaMemory()->Read(dst.data(), bytes, (before % track->Atoms()) * sim::GdxModels::c_faAtomBytes);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        std::memcpy(dst.data(), src.data(), bytesPerSecond);
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        made += std::chrono::duration<double>(t1 - t0).count();
        copied += std::chrono::duration<double>(t2 - t1).count();
        atoms += after - before;
    }
    state.counters["atoms"] = static_cast<double>(atoms) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerSecond));
    state.counters["ratio_to_memcpy"] = copied > 0.0 ? made / copied : 0.0;
    // Seconds of one core per second of FA data.
    state.counters["core_share"] = made / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FaCatchUpOneSecond)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
