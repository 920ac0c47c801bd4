// The simulated GDX board's FA history, made where a reader reads it: the
// cost of reading one second of FA atoms of four RAF boards next to a memcpy
// of the same bytes (measured in the same run), and the share of one core
// that the simulation needs to keep up with the FA rate; and the memory that
// the history takes, with the filter settings it keeps, next to a memory
// that stores its atoms.

#include "platform/fpga/fpga_access.h"
#include "sim/chassis.h"
#include "sim/gdx_models.h"
#include "tests/common/resident_memory.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The default chassis, not running, whose GDX board records the FA samples
// of its four RAF boards from start on.
struct Recording {
    Recording() : chassis(sim::Scenario::Default()), gdx(*chassis.Find("gdx")), models(*gdx.Gdx())
    {
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_filterBlock, 0xF);
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, sim::GdxModels::c_historyArmed);
        gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, start, 0});
    }
    sim::Chassis chassis;
    sim::Board& gdx;
    sim::GdxModels& models;
    const uint64_t start = gdx.Clock().Now();
};

// One second of the board's clock per iteration, read at once: what a reader
// reading once a second costs.
void BM_FaCatchUpOneSecond(benchmark::State& state)
{
    Recording recording;
    sim::Board& gdx = recording.gdx;
    sim::GdxModels& models = recording.models;
    const double adc = gdx.Clock().Frequency();
    uint64_t lmt = recording.start;
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

// Resident memory that the FA history adds while it records two regions' worth
// of atoms with a filter change every `range(0)` atoms (none for 0) and a
// reader reads the whole region; the reference is a memory of the same size
// that stores its atoms, measured in the same run.
void BM_FaHistoryMemory(benchmark::State& state)
{
    const uint64_t changeEvery = static_cast<uint64_t>(state.range(0));
    const size_t regionAtoms = sim::GdxModels::c_historyBytes / sim::GdxModels::c_faAtomBytes;
    std::vector<char> chunk(1u << 20);
    double made = 0.0;
    double stored = 0.0;
    uint64_t changes = 0;
    for (auto _ : state) {
        Recording recording;
        sim::Board& gdx = recording.gdx;
        sim::GdxModels& models = recording.models;
        const uint64_t start = recording.start;
        const uint64_t period = models.FaPeriod();
        const long before = zvtest::ResidentKb();
        const uint64_t end = 2 * regionAtoms;
        for (uint64_t atom = changeEvery; changeEvery > 0 && atom < end; atom += changeEvery) {
            gdx.Clock().Set(start + atom * period, Clock::now());
            fpga::Write32(gdx.Memory(), sim::GdxModels::c_filterBlock, (atom / changeEvery) % 2 != 0 ? 0xD : 0xF);
            ++changes;
        }
        gdx.Clock().Set(start + end * period, Clock::now());
        for (size_t at = 0; at < sim::GdxModels::c_historyBytes; at += chunk.size()) {
            models.FaMemory()->Read(chunk.data(), chunk.size(), at);
            benchmark::ClobberMemory();
        }
        made += static_cast<double>(zvtest::ResidentKb() - before);

        const long beforeStored = zvtest::ResidentKb();
        sim::HistoryMemory reference(sim::GdxModels::c_historyBytes);
        for (size_t at = 0; at < sim::GdxModels::c_historyBytes; at += chunk.size()) {
            reference.Write(chunk.data(), chunk.size(), at);
        }
        stored += static_cast<double>(zvtest::ResidentKb() - beforeStored);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["changes"] = static_cast<double>(changes) / n;
    state.counters["history_kb"] = made / n;
    state.counters["stored_kb"] = stored / n;
    state.counters["ratio_to_stored"] = stored > 0.0 ? made / stored : 0.0;
}
BENCHMARK(BM_FaHistoryMemory)->Arg(0)->Arg(64)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
