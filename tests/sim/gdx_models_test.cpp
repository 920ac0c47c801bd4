// The simulated GDX board: SFP lock after a reset, grouping latency, and the
// FA history that its FA chain records from the RAF boards' samples.
#include "sim/chassis.h"
#include "sim/gdx_models.h"

#include "platform/fpga/fpga_access.h"
#include "tests/common/resident_memory.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr size_t c_sfp = sim::GdxModels::c_sfpControlBlock;
constexpr size_t c_grouping = sim::GdxModels::c_groupingBlock;
constexpr size_t c_filter = sim::GdxModels::c_filterBlock;
// FA period of the default RAF boards: 220 x 2 x 28 ADC periods.
constexpr uint64_t c_period = 12320;

sim::BoardDesc GdxDesc()
{
    sim::BoardDesc d;
    d.type = sim::c_typeGdx;
    d.name = "gdx";
    d.slot = "7";
    d.registers = sim::DefaultRegisters(sim::c_typeGdx);
    return d;
}

TEST(SimGdxModels, GroupingPllsLockAMomentAfterTheirReset)
{
    for (bool faulty : {false, true}) {
        SCOPED_TRACE(faulty);
        sim::BoardDesc d = GdxDesc();
        d.faults.sfpPllUnlocked = faulty;
        d.registers.push_back({c_sfp + 0x08, 0x33, 32}); // other status bits pass
        sim::Board gdx(d, 117440043.0);
        volatile FPGAMem_t* mem = gdx.Memory();
        EXPECT_EQ(faulty ? 0x33u : 0x3Fu, fpga::Read32(mem, c_sfp + 0x08));
        fpga::Write32(mem, c_sfp, 0xD); // grouping and magnet reset held
        EXPECT_EQ(0u, fpga::Read32(mem, c_sfp + 0x10) & 0xC);
        const auto released = std::chrono::steady_clock::now();
        fpga::Write32(mem, c_sfp, 0x1); // grouping released
        const uint32_t status = fpga::Read32(mem, c_sfp + 0x10);
        // Still unlocked, unless the thread lost the lock delay in between.
        if (std::chrono::steady_clock::now() - released < sim::GdxModels::c_sfpLockDelay) {
            EXPECT_EQ(0u, status & 0xC);
        }
        std::this_thread::sleep_for(sim::GdxModels::c_sfpLockDelay + 2ms);
        EXPECT_EQ(faulty ? 0u : 0xCu, fpga::Read32(mem, c_sfp + 0x10) & 0xC);
        EXPECT_EQ(0x1u, fpga::Read32(mem, c_sfp));
    }
}

TEST(SimGdxModels, GroupingReportsItsLatencyWhileItRuns)
{
    sim::Board gdx(GdxDesc(), 117440043.0);
    volatile FPGAMem_t* mem = gdx.Memory();
    fpga::Write32(mem, c_grouping + 0x08, 10);
    EXPECT_EQ(0u, fpga::Read32(mem, c_grouping + 0x18));
    fpga::Write32(mem, c_grouping, 1);
    EXPECT_EQ(sim::GdxModels::c_groupingLatencyBase + 10, fpga::Read32(mem, c_grouping + 0x18));
    fpga::Write32(mem, c_grouping + 0x18, 77); // read only
    EXPECT_EQ(sim::GdxModels::c_groupingLatencyBase + 10, fpga::Read32(mem, c_grouping + 0x18));
    EXPECT_EQ(1u, fpga::Read32(mem, c_grouping + 0x20)); // feedback state "off"
}

// A producer that marks each sample with its slot and LMT.
class Marker : public sim::FaProducer {
public:
    sim::FaSample FaAt(unsigned slot, uint64_t lmt) const override
    {
        sim::FaSample s{};
        s[0] = static_cast<int32_t>(slot);
        s[8] = static_cast<int32_t>(lmt);
        return s;
    }
};

// The default chassis, not running: its GDX board, armed and filtered.
class GdxFaHistory : public ::testing::Test {
protected:
    GdxFaHistory() : chassis(sim::Scenario::Default()), gdx(*chassis.Find("gdx")), models(*gdx.Gdx())
    {
        // The constant beam, whatever beam the chassis simulates.
        chassis.SetFaProducer(std::make_shared<sim::ConstantFaProducer>());
    }

    void Start(uint32_t selector, uint64_t lmt, bool armed = true)
    {
        fpga::Write32(gdx.Memory(), c_filter, selector);
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, armed ? 4 : 2);
        gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, lmt, 0});
    }

    std::vector<sim::FaSample> Atom(uint64_t index)
    {
        std::vector<sim::FaSample> atom(4);
        models.FaMemory()->Read(atom.data(), sim::GdxModels::c_faAtomBytes,
                                static_cast<size_t>(index % (sim::GdxModels::c_historyBytes / 256)) * 256);
        return atom;
    }

    sim::Chassis chassis;
    sim::Board& gdx;
    sim::GdxModels& models;
};

TEST_F(GdxFaHistory, RecordsOneAtomPerFaPeriodWhereAReaderLooks)
{
    ASSERT_TRUE(models.FaTrack());
    EXPECT_EQ(c_period, models.FaPeriod());
    EXPECT_EQ(models.FaMemory(), sim::HistoryMemory::Find(gdx.DeviceName(0, 0)));
    const uint64_t start = gdx.Clock().Now();
    Start(0b0101, start);
    ASSERT_TRUE(models.FaRecording());
    std::this_thread::sleep_for(5ms);
    const uint64_t before = gdx.Clock().Now();
    const sim::HistoryMemory::State state = models.FaTrack()->Snapshot();
    const uint64_t after = gdx.Clock().Now();
    EXPECT_EQ(start, state.firstLmt);
    EXPECT_GE(state.written, (before - start) / c_period + 1);
    EXPECT_LE(state.newestLmt, after);
    EXPECT_EQ(start + (state.written - 1) * c_period, state.newestLmt);

    // Slots 3 and 5 carry the constant beam, slots 4 and 6 are filtered out.
    const std::vector<sim::FaSample> first = Atom(0);
    const sim::FaSample expected = sim::ConstantFaProducer().FaAt(3, start);
    EXPECT_EQ(expected, first[0]);
    EXPECT_EQ(253000, first[0][0]);
    EXPECT_EQ(4 * 253000, first[0][4]);
    EXPECT_EQ(sim::FaSample{}, first[1]);
    EXPECT_EQ(255000, first[2][0]);
    EXPECT_EQ(sim::FaSample{}, first[3]);
    EXPECT_EQ(static_cast<int32_t>(static_cast<uint32_t>(start + c_period)), Atom(1)[0][8]);

    // A stop ends the recording: later looks add nothing, and what was
    // acquired before it is held though nobody looked meanwhile.
    std::this_thread::sleep_for(3ms);
    const uint64_t beforeStop = gdx.Clock().Now();
    gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStop) << 32, 0, 0, 0});
    const uint64_t written = models.FaTrack()->Snapshot().written;
    EXPECT_GE(written, (beforeStop - start) / c_period + 1);
    std::this_thread::sleep_for(3ms);
    EXPECT_EQ(written, models.FaTrack()->Snapshot().written);
}

TEST_F(GdxFaHistory, StartsOnlyWhenArmedAndAtItsLmt)
{
    Start(0xF, 1000, false);
    EXPECT_FALSE(models.FaRecording());
    // A start ahead of the clock records nothing until the clock gets there.
    Start(0xF, gdx.Clock().Now() + 117440043);
    EXPECT_TRUE(models.FaRecording());
    EXPECT_EQ(0u, models.FaTrack()->Snapshot().written);
}

TEST_F(GdxFaHistory, AReaderFarBehindGetsTheNewestRegionAndAPluggedProducer)
{
    chassis.SetFaProducer(std::make_shared<Marker>());
    const uint64_t start = gdx.Clock().Now();
    Start(0b1000, start);
    // Ten seconds pass in one step: more than the region holds.
    gdx.Clock().Set(start + 10 * 117440043ull, std::chrono::steady_clock::now());
    const sim::HistoryMemory::State state = models.FaTrack()->Snapshot();
    const size_t atoms = sim::GdxModels::c_historyBytes / 256;
    ASSERT_GT(state.written, atoms);
    EXPECT_EQ(start + (state.written - 1) * c_period, state.newestLmt);
    // The newest atom and one from the far end of the region are both made
    // (not the very oldest: the clock goes on while the test reads, and
    // newer atoms take its place).
    for (uint64_t index : {state.written - 1, state.written - atoms * 3 / 4}) {
        const std::vector<sim::FaSample> atom = Atom(index);
        EXPECT_EQ(6, atom[3][0]);
        EXPECT_EQ(static_cast<int32_t>(start + index * c_period), atom[3][8]);
        EXPECT_EQ(sim::FaSample{}, atom[0]);
    }
}

// An atom once recorded never changes: a filter or producer change acts on
// the atoms acquired after it, also after the clock was set back (a
// synchronisation) while the chain records.
TEST_F(GdxFaHistory, ChangesActOnlyOnTheAtomsAcquiredAfterThem)
{
    struct Case {
        const char* what;
        bool setBack;
        std::function<void()> change;
        // True when the atom shows the change.
        std::function<bool(const std::vector<sim::FaSample>&)> changed;
    };
    auto filter = [&] { fpga::Write32(gdx.Memory(), c_filter, 0b1101); };
    auto slot4Off = [](const std::vector<sim::FaSample>& a) { return a[1] == sim::FaSample{}; };
    auto producer = [&] { chassis.SetFaProducer(std::make_shared<Marker>()); };
    auto marked = [](const std::vector<sim::FaSample>& a) { return a[0][0] == 3; };
    const Case cases[] = {{"filter", false, filter, slot4Off},
                          {"producer", false, producer, marked},
                          {"filter after a set-back", true, filter, slot4Off},
                          {"producer after a set-back", true, producer, marked}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        chassis.SetFaProducer(std::make_shared<sim::ConstantFaProducer>());
        const uint64_t start = gdx.Clock().Now();
        Start(0xF, start);
        gdx.Clock().Set(start + 19 * c_period + 100, std::chrono::steady_clock::now());
        std::vector<std::vector<sim::FaSample>> before;
        for (uint64_t i = 0; i < 20; ++i) {
            before.push_back(Atom(i));
            ASSERT_FALSE(c.changed(before.back())) << i;
        }
        if (c.setBack) {
            gdx.Clock().Set(1000, std::chrono::steady_clock::now());
        }
        c.change();
        // Far on: the newest atom was acquired well after the change.
        gdx.Clock().Set(start + 10000 * c_period, std::chrono::steady_clock::now());
        const uint64_t written = models.FaTrack()->Snapshot().written;
        ASSERT_GT(written, 9000u);
        EXPECT_TRUE(c.changed(Atom(written - 1)));
        for (uint64_t i = 0; i < 20; ++i) {
            EXPECT_TRUE(before[i] == Atom(i)) << i;
        }
    }
}

// While nothing records (a stopped chain, a history never armed, a board
// without history memory) filter changes cost no memory: the settings kept
// are those of the atoms held and those of the last second, which act on the
// atoms the streamers make now.
TEST(SimGdxModels, FilterChangesWhileNothingRecordsCostNoMemory)
{
    enum How { stopped, unarmed, noMemory };
    const unsigned changes = zvtest::c_freedMemoryGoesBack ? 400000 : 20000;
    for (How how : {stopped, unarmed, noMemory}) {
        SCOPED_TRACE(how);
        sim::Scenario scenario = sim::Scenario::Default();
        for (sim::BoardDesc& b : scenario.boards) {
            b.faults.noHistoryMemory = how == noMemory && b.type == sim::c_typeGdx;
        }
        sim::Chassis chassis(scenario);
        chassis.SetFaProducer(std::make_shared<sim::ConstantFaProducer>());
        sim::Board& gdx = *chassis.Find("gdx");
        const sim::GdxModels& models = *gdx.Gdx();
        fpga::Write32(gdx.Memory(), c_filter, 0xF);
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, how == stopped ? 4 : 2);
        const uint64_t start = gdx.Clock().Now();
        gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, start, 0});
        std::vector<sim::FaSample> first(4);
        if (how == stopped) {
            gdx.Clock().Set(start + 100 * c_period, std::chrono::steady_clock::now());
            gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStop) << 32, 0, 0, 0});
            ASSERT_GT(models.FaTrack()->Snapshot().written, 100u);
            models.FaMemory()->Read(first.data(), sim::GdxModels::c_faAtomBytes, 0);
            ASSERT_NE(sim::FaSample{}, first[1]);
        }
        const long before = zvtest::AllocatedKb();
        for (unsigned i = 0; i < changes; ++i) {
            if (i % 1000 == 0) { // two seconds on
                gdx.Clock().Set(gdx.Clock().Now() + 2 * 117440043ull, std::chrono::steady_clock::now());
            }
            fpga::Write32(gdx.Memory(), c_filter, i % 2 == 0 ? 0xF : 0b1101);
        }
        if (zvtest::c_freedMemoryGoesBack) {
            EXPECT_LT(zvtest::AllocatedKb() - before, 1024);
        }
        // The last change acts on the atoms after it; an atom held before the
        // changes stays.
        std::vector<sim::FaSample> now(4);
        models.FaAtomAt(models.FaPeriodAt(gdx.Clock().Now()) + c_period, now.data());
        EXPECT_NE(sim::FaSample{}, now[0]);
        EXPECT_EQ(sim::FaSample{}, now[1]);
        if (how == stopped) {
            std::vector<sim::FaSample> again(4);
            models.FaMemory()->Read(again.data(), sim::GdxModels::c_faAtomBytes, 0);
            EXPECT_TRUE(first == again);
        }
    }
}

// The memory holds none of the atoms: a reader of the whole region costs the
// process no more memory than its own buffer.
TEST_F(GdxFaHistory, AReaderOfTheWholeRegionMakesTheProcessNoLarger)
{
    chassis.SetFaProducer(std::make_shared<Marker>());
    std::vector<sim::FaSample> chunk((1u << 20) / sizeof(sim::FaSample));
    const size_t chunkBytes = chunk.size() * sizeof(sim::FaSample);
    const long before = zvtest::ResidentKb();
    const uint64_t start = gdx.Clock().Now();
    Start(0b0100, start);
    gdx.Clock().Set(start + 10 * 117440043ull, std::chrono::steady_clock::now());
    // Stopped, so that no atom is recorded while the region is read.
    gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStop) << 32, 0, 0, 0});
    const uint64_t written = models.FaTrack()->Snapshot().written;
    for (size_t at = 0; at < sim::GdxModels::c_historyBytes; at += chunkBytes) {
        models.FaMemory()->Read(chunk.data(), chunkBytes, at);
        // Atom i of the region holds the newest atom index that ends there.
        const uint64_t slot = at / sim::GdxModels::c_faAtomBytes;
        const uint64_t atoms = sim::GdxModels::c_historyBytes / sim::GdxModels::c_faAtomBytes;
        const uint64_t index = written - 1 - (((written - 1) % atoms + atoms - slot) % atoms);
        ASSERT_EQ(static_cast<int32_t>(start + index * c_period), chunk[2][8]) << at;
        ASSERT_EQ(5, chunk[2][0]) << at;
    }
    // A sanitizer's allocator keeps what the reads freed in its quarantine.
    if (zvtest::c_freedMemoryGoesBack) {
        EXPECT_LT(zvtest::ResidentKb() - before, static_cast<long>(sim::GdxModels::c_historyBytes / 4096));
    }
}

// The GDX board records the RAF boards' FA atoms on their own grid, whatever
// LMT its chain starts at: a client joins both by LMT.
TEST(SimGdxModels, RecordsTheRafBoardsAtomsOnTheirFaGrid)
{
    sim::Chassis chassis(sim::Scenario::Default());
    sim::Beam& beam = chassis.GetBeam();
    beam.SetPosition(120000, -70000);
    beam.SetNoise(50);
    sim::Board& gdx = *chassis.Find("gdx");
    const uint64_t now = gdx.Clock().Now();
    // The RAF boards restart off the grid of LMT 0, the GDX chain off theirs.
    const uint64_t rafStart = now - now % c_period + 777;
    for (sim::Board* b : chassis.Boards()) {
        beam.OnRequest(*b, sim::EventRecord{static_cast<uint64_t>(sim::c_requestRafStart) << 32, 0, rafStart, 0});
    }
    fpga::Write32(gdx.Memory(), c_filter, 0xF);
    fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, 4);
    const uint64_t gdxStart = now + 5000;
    gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, gdxStart, 0});

    const auto track = gdx.Gdx()->FaTrack();
    ASSERT_TRUE(zvtest::WaitFor([&] { return track->Snapshot().written >= 50; }));
    const uint64_t first = track->Snapshot().firstLmt;
    EXPECT_GE(first, gdxStart);
    EXPECT_LT(first - gdxStart, c_period);
    EXPECT_EQ(0u, (first - rafStart) % c_period);
    for (uint64_t i = 0; i < 50; ++i) {
        std::vector<sim::FaSample> atom(4);
        gdx.Gdx()->FaMemory()->Read(atom.data(), sim::GdxModels::c_faAtomBytes, static_cast<size_t>(i) * 256);
        for (unsigned k = 0; k < 4; ++k) {
            const sim::FaRecord raf =
                beam.Find(*chassis.Find("raf" + std::to_string(k + 3)))->MakeFa(first + i * c_period, 56);
            ASSERT_EQ(0, std::memcmp(&raf, atom[k].data(), sizeof raf)) << i << " slot " << k + 3;
        }
    }
    // The Ethernet streamers take the atom of the period that holds an LMT.
    EXPECT_EQ(first + 3 * c_period, gdx.Gdx()->FaPeriodAt(first + 3 * c_period + c_period - 1));
    EXPECT_EQ(first, gdx.Gdx()->FaPeriodAt(first));
}

TEST(SimGdxModelsConcurrency, ReadersLookingAtOnceWriteEachAtomOnce)
{
    sim::Chassis chassis(sim::Scenario::Default());
    sim::Board& gdx = *chassis.Find("gdx");
    fpga::Write32(gdx.Memory(), c_filter, 0xF);
    fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, 4);
    const uint64_t start = gdx.Clock().Now();
    gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, start, 0});
    auto track = gdx.Gdx()->FaTrack();
    std::atomic<bool> bad{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const auto s = track->Snapshot();
                if (s.written > 0 && (s.firstLmt < start || s.newestLmt != s.firstLmt + (s.written - 1) * c_period)) {
                    bad = true;
                }
                std::this_thread::sleep_for(100us);
            }
        });
    }
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_FALSE(bad.load());
    EXPECT_GT(track->Snapshot().written, 0u);
}

} // namespace
