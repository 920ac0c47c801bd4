#include "sim/board.h"

#include "platform/fpga/fpga_access.h"
#include "sim/raf_front_end.h"
#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <dirent.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;

sim::BoardDesc Desc(unsigned type, const std::string& name = "b")
{
    sim::BoardDesc d;
    d.type = type;
    d.name = name;
    d.slot = "3";
    d.registers = sim::DefaultRegisters(type);
    return d;
}

TEST(SimBoard, OverlappingBlocksAliasOneMemory)
{
    sim::Board raf(Desc(sim::c_typeRaf), 117440043.0);
    // House keeping and the precision temperatures share 0x300000; the
    // post-mortem block lies inside the interlock region.
    volatile FPGAMem_t* hk = raf.MapRegion(0x300000, 0xC0);
    volatile FPGAMem_t* temp = raf.MapRegion(0x300000, 0x4);
    volatile FPGAMem_t* interlock = raf.MapRegion(0x700000, 0x240);
    volatile FPGAMem_t* pm = raf.MapRegion(0x700300, 0x38);
    ASSERT_TRUE(hk && temp && interlock && pm);
    EXPECT_EQ(hk, temp);
    fpga::Write32(temp, 0, 0xCAFE);
    EXPECT_EQ(fpga::Read32(hk, 0), 0xCAFEu);
    fpga::Write64(pm, 8, 0x1122334455667788ull);
    EXPECT_EQ(fpga::Read64(interlock, 0x308), 0x1122334455667788ull);
    EXPECT_EQ(fpga::Read32(raf.Memory(), 0x70030C), 0x11223344u);
}

TEST(SimBoard, MappingFailsOutsideTheSpaceAndForUnmappableBlocks)
{
    sim::BoardDesc d = Desc(sim::c_typeGdx);
    d.faults.unmappable = {0xF28000};
    sim::Board gdx(d, 117440043.0);
    // The feature block ends exactly at its 8 bytes; the space ends at 16 MiB.
    EXPECT_NE(gdx.MapRegion(0xF80000, 8), nullptr);
    EXPECT_NE(gdx.MapRegion(sim::Board::c_memorySize - 4, 4), nullptr);
    EXPECT_EQ(gdx.MapRegion(sim::Board::c_memorySize - 4, 8), nullptr);
    EXPECT_EQ(gdx.MapRegion(sim::Board::c_memorySize + 4, 0), nullptr);
    EXPECT_EQ(gdx.MapRegion(8, SIZE_MAX), nullptr);
    // The named block cannot be mapped; its neighbours can.
    EXPECT_EQ(gdx.MapRegion(0xF28000, 0x8010), nullptr);
    EXPECT_NE(gdx.MapRegion(0xF20000, 0x2000), nullptr);
    EXPECT_NE(gdx.MapRegion(0xF38000, 0x40), nullptr);
}

TEST(SimBoard, InitialRegistersAndGdxFaultSwitches)
{
    sim::Board raf(Desc(sim::c_typeRaf), 117440043.0);
    volatile FPGAMem_t* clock = raf.MapRegion(0x100, 0x30);
    EXPECT_EQ(fpga::Read32(clock, 0x00), 117440043u);
    EXPECT_EQ(fpga::Read32(clock, 0x08), 220u);
    EXPECT_EQ(fpga::Read32(clock, 0x28), 936u);

    // Userblock 4, SFP PLLs locked, history memory fitted; the fault
    // switches clear the lock bits and the memory information.
    for (bool faulty : {false, true}) {
        sim::BoardDesc d = Desc(sim::c_typeGdx);
        d.faults.sfpPllUnlocked = faulty;
        d.faults.noHistoryMemory = faulty;
        sim::Board gdx(d, 117440043.0);
        EXPECT_EQ(fpga::Read32(gdx.MapRegion(0xF80000, 8), 0) & 0xFF, 4u);
        volatile FPGAMem_t* sfp = gdx.MapRegion(0xF10000, 0x18);
        EXPECT_EQ(fpga::Read32(sfp, 0x08) & 0xC, faulty ? 0u : 0xCu);
        EXPECT_EQ(fpga::Read32(sfp, 0x10) & 0xC, faulty ? 0u : 0xCu);
        volatile FPGAMem_t* hb = gdx.MapRegion(0x400000, 0xC0);
        EXPECT_EQ(fpga::Read64(hb, 0x78), faulty ? 0u : 0x27EAu);
        EXPECT_EQ(fpga::Read64(hb, 0x80) != 0, !faulty);
        EXPECT_EQ(fpga::Read64(hb, 0x88) != 0, !faulty);
    }
}

TEST(SimBoard, MissingAdcClockReadsSetAfterTheClearingWrite)
{
    // RAF house keeping: 64-bit status at 0x88; GDX: 32-bit status at 0x58.
    for (unsigned type : {unsigned(sim::c_typeRaf), unsigned(sim::c_typeGdx)}) {
        const size_t status = type == sim::c_typeRaf ? 0x88 : 0x58;
        for (bool missing : {false, true}) {
            sim::BoardDesc d = Desc(type);
            d.faults.noAdcClock = missing;
            sim::Board b(d, 117440043.0);
            volatile FPGAMem_t* hk = b.MapRegion(0x300000, 0x80);
            fpga::Write32(hk, status, 0);
            EXPECT_EQ(fpga::Read32(hk, status) & 3, missing ? 3u : 0u) << type;
            // The neighbouring word stays plain memory.
            fpga::Write32(hk, status + 4, 0x55);
            EXPECT_EQ(fpga::Read32(hk, status + 4), 0x55u);
        }
    }
}

uint32_t Pattern(volatile FPGAMem_t* hk, size_t word)
{
    return (fpga::Read32(hk, word) >> 24) & 0xF;
}

TEST(SimBoard, OversamplingShiftSettlesAtTheNextTrigger)
{
    sim::BoardDesc d = Desc(sim::c_typeRaf);
    d.registers.push_back({0x300098, 0x0F000000, 32}); // trigger pattern 15: too fast
    sim::Board raf(d, 117440043.0);
    volatile FPGAMem_t* hk = raf.MapRegion(0x300000, 0xC0);
    EXPECT_EQ(Pattern(hk, 0x98), 15u);
    EXPECT_EQ(Pattern(hk, 0x90), 6u);

    // Slow down by one count: the pattern shows 3 only after a trigger, and
    // the written control bits read back while the pattern bits are the FPGA's.
    fpga::Write32(hk, 0x98, 0x101);
    EXPECT_EQ(Pattern(hk, 0x98), 15u);
    EXPECT_EQ(fpga::Read32(hk, 0x98) & 0xFFFF, 0x101u);
    ASSERT_TRUE(raf.DeliverTrigger(Clock::now()));
    EXPECT_EQ(Pattern(hk, 0x98), 3u);
    EXPECT_EQ(Pattern(hk, 0x90), 6u);

    // Speeding up gives 7; a write without counts (a reset) shifts nothing.
    fpga::Write32(hk, 0x98, 0x1);
    raf.DeliverTrigger(Clock::now());
    EXPECT_EQ(Pattern(hk, 0x98), 7u);
    fpga::Write32(hk, 0x98, 0x10000);
    raf.DeliverTrigger(Clock::now());
    EXPECT_EQ(Pattern(hk, 0x98), 7u);
    // The unused word between two oversampling words is plain memory.
    fpga::Write32(hk, 0x9C, 0x0F000000);
    EXPECT_EQ(fpga::Read32(hk, 0x9C), 0x0F000000u);

    // A stuck board shows pattern 0 whatever is shifted.
    d.faults.oversamplingStuck = true;
    sim::Board stuck(d, 117440043.0);
    hk = stuck.MapRegion(0x300000, 0xC0);
    fpga::Write32(hk, 0x98, 0x101);
    stuck.DeliverTrigger(Clock::now());
    EXPECT_EQ(Pattern(hk, 0x98), 0u);
}

TEST(SimBoard, AnnouncedLmtIsTakenAtTheNextTriggerOnly)
{
    sim::Board raf(Desc(sim::c_typeRaf), 1e6); // 1 MHz: one period per microsecond
    uint64_t synced = 0;
    int calls = 0;
    raf.SetSyncCallback([&](uint64_t lmt) {
        synced = lmt;
        ++calls;
    });
    raf.Events().Open();
    const auto t = Clock::now();
    ASSERT_TRUE(raf.DeliverTrigger(t - std::chrono::milliseconds(1)));
    EXPECT_EQ(raf.TriggerThatTookLmt(), 0u);
    raf.SetLmtAtNextTrigger(5000);
    raf.SetLmtAtNextTrigger(1000000); // the later announcement wins
    EXPECT_TRUE(raf.LmtPending());
    ASSERT_TRUE(raf.DeliverTrigger(t));
    EXPECT_FALSE(raf.LmtPending());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(synced, 1000000u);
    EXPECT_EQ(raf.Clock().At(t), 1000000u);
    EXPECT_EQ(raf.Clock().At(t + std::chrono::milliseconds(2)), 1002000u);
    EXPECT_EQ(raf.TriggerCount(), 2u);
    // The board latches the count that the event of the taking trigger carries.
    EXPECT_EQ(raf.TriggerThatTookLmt(), 2u);
    sim::EventRecord r{};
    ASSERT_EQ(raf.Events().Read(r, std::chrono::milliseconds(1)), sim::EventDevice::c_readOk);
    ASSERT_EQ(raf.Events().Read(r, std::chrono::milliseconds(1)), sim::EventDevice::c_readOk);
    EXPECT_EQ(r, (sim::EventRecord{sim::c_eventTrigger, 2, 1000000, 0}));

    // A trigger without announcement leaves the clock running on.
    raf.DeliverTrigger(t + std::chrono::milliseconds(1));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(raf.Clock().At(t + std::chrono::milliseconds(3)), 1003000u);
    EXPECT_EQ(raf.TriggerThatTookLmt(), 2u);

    // A cancelled announcement is not applied, and no trigger took it.
    raf.SetLmtAtNextTrigger(7);
    EXPECT_EQ(raf.TriggerThatTookLmt(), 0u);
    raf.CancelPendingLmt();
    raf.DeliverTrigger(t + std::chrono::milliseconds(4));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(raf.Clock().At(t + std::chrono::milliseconds(4)), 1004000u);
    EXPECT_EQ(raf.TriggerThatTookLmt(), 0u);

    // A board that never sees triggers keeps its announcement pending.
    sim::BoardDesc d = Desc(sim::c_typeRaf);
    d.faults.noTriggers = true;
    sim::Board deaf(d, 1e6);
    deaf.SetSyncCallback([&](uint64_t) { ++calls; });
    deaf.SetLmtAtNextTrigger(0);
    EXPECT_FALSE(deaf.DeliverTrigger(t));
    EXPECT_TRUE(deaf.LmtPending());
    EXPECT_EQ(deaf.TriggerCount(), 0u);
    EXPECT_EQ(calls, 1);
}

sim::EventRecord Request(uint32_t code, uint64_t lmt)
{
    return sim::EventRecord{static_cast<uint64_t>(code) << 32, 0, lmt, 0};
}

TEST(SimBoard, StartRequestsAreAnsweredPerBoardTypeAtTheirLmt)
{
    sim::Board raf(Desc(sim::c_typeRaf), 1e6);
    sim::Board gdx(Desc(sim::c_typeGdx), 1e6);
    const uint64_t now = raf.Clock().Now();

    EXPECT_FALSE(raf.OnRequest(Request(sim::c_requestRafStop, 0)).due);
    EXPECT_EQ(raf.StopRequests(), 1u);
    const auto a = raf.OnRequest(Request(sim::c_requestRafStart, now + 250000));
    ASSERT_TRUE(a.due);
    EXPECT_EQ(a.record[0], 34u);
    EXPECT_EQ(a.record[2], now + 250000);
    // Due when the board's clock reads the start LMT, about 250 ms from now.
    EXPECT_NEAR(static_cast<double>(raf.Clock().At(a.when)), static_cast<double>(now + 250000), 1.0);
    EXPECT_EQ(raf.StartRequests(), 1u);

    // Each board type answers only its own request codes.
    EXPECT_FALSE(raf.OnRequest(Request(sim::c_requestGdxStart, now)).due);
    EXPECT_FALSE(gdx.OnRequest(Request(sim::c_requestRafStart, now)).due);
    EXPECT_FALSE(gdx.OnRequest(Request(sim::c_requestGdxStop, 0)).due);
    EXPECT_EQ(gdx.StopRequests(), 1u);
    const auto g = gdx.OnRequest(Request(sim::c_requestGdxStart, 42));
    ASSERT_TRUE(g.due);
    EXPECT_EQ(g.record[0], 32u);
    EXPECT_EQ(g.record[2], 42u);

    // Unanswered starts are counted but never answered.
    sim::BoardDesc d = Desc(sim::c_typeRaf);
    d.faults.unansweredStarts = true;
    sim::Board mute(d, 1e6);
    EXPECT_FALSE(mute.OnRequest(Request(sim::c_requestRafStart, 10)).due);
    EXPECT_EQ(mute.StartRequests(), 1u);
}

// A RAF board's attenuator table goes into the configuration directory
// whole, and only where nothing has its name yet.
TEST(SimBoard, ConfigurationIsInstalledOnlyWhereNothingHasItsName)
{
    sim::Board raf(Desc(sim::c_typeRaf), 117440043.0);
    const auto read = [](const std::string& path) {
        std::ostringstream os;
        os << std::ifstream(path).rdbuf();
        return os.str();
    };
    const auto entries = [](const std::string& dir) {
        std::vector<std::string> names;
        DIR* d = ::opendir(dir.c_str());
        while (dirent* e = d ? ::readdir(d) : nullptr) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        if (d) {
            ::closedir(d);
        }
        return names;
    };

    zvtest::TempDir fresh;
    raf.InstallConfiguration(fresh.Path() + "/");
    EXPECT_EQ(sim::RafFrontEnd::AttenuatorTable(), read(fresh.Path() + "/gain3.conf"));
    auto names = entries(fresh.Path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"fircoef_sr.conf", "gain3.conf"}), names);
    // The FIR file holds 5 coefficients per unit of the board's FIR decimation.
    const uint32_t decimation = fpga::Read32(raf.Memory(), 0x110);
    ASSERT_GT(decimation, 0u);
    const std::string fir = read(fresh.Path() + "/fircoef_sr.conf");
    EXPECT_EQ(5 * decimation, static_cast<uint32_t>(std::count(fir.begin(), fir.end(), '\n')));

    zvtest::TempDir own;
    const std::string mine = own.File("gain3.conf", "0 12 0.5\n");
    raf.InstallConfiguration(own.Path() + "/");
    EXPECT_EQ("0 12 0.5\n", read(mine));

    // A link whose target is missing is not followed.
    zvtest::TempDir linked;
    ASSERT_EQ(0, ::symlink((linked.Path() + "/elsewhere.conf").c_str(), (linked.Path() + "/gain3.conf").c_str()));
    raf.InstallConfiguration(linked.Path() + "/");
    struct stat st;
    EXPECT_NE(0, ::stat((linked.Path() + "/elsewhere.conf").c_str(), &st));
    names = entries(linked.Path());
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "gain3.conf"));
}

} // namespace
