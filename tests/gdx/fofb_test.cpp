// Fast orbit feedback block: dimensions per userblock, the tables' round trip
// through the FPGA's data ports, switch, axis and ids, mask, range reports,
// the trigger reprogramming, the copy back at shutdown, buffer swaps,
// uploads racing each other and the state relay, and the gains in use read
// while they are written.
#include "gdx_support.h"

#include "gdx/fofb.h"
#include "gdx/fofb_state_machine.h"
#include "platform/qapp/configuration_store.h"
#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/capture.h"
#include "sim/gdx_fofb.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

namespace {

constexpr size_t c_fofb = 0xF28000;

struct Feedback {
    explicit Feedback(unsigned userblock)
        : f(userblock),
          fofb(*f.Board().RegisterObject<FOFB>(c_fofb, "fofb", static_cast<eGDXUserblockType_e>(userblock))),
          tree(f.Tree(fofb)), model(f.Model<sim::FofbModel>(c_fofb))
    {
    }
    uint32_t Word(size_t offset) { return model.Word(offset); }

    gdxtest::GdxFixture f;
    FOFB& fofb;
    mci::ClientAccess tree;
    sim::FofbModel& model;
};

std::vector<long long> Iota(size_t n, long long first, long long step)
{
    std::vector<long long> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = first + step * static_cast<long long>(i);
    }
    return v;
}

TEST(FofbBlock, DimensionsAndStartFollowTheUserblock)
{
    struct Case {
        unsigned userblock;
        size_t n;
        bool actual;
    };
    for (const Case& c : {Case{2, 128, false}, Case{4, 88, true}}) {
        SCOPED_TRACE(c.userblock);
        Feedback fb(c.userblock);
        EXPECT_EQ(c.n, fb.fofb.GetEigenmodes());
        EXPECT_EQ(c.n * 256, fb.tree.GetSize("su"));
        EXPECT_EQ(c.n * c.n, fb.tree.GetSize("v"));
        EXPECT_EQ(static_cast<long long>(c.n), fb.tree.GetInteger("v/col_dim"));
        EXPECT_EQ(256, fb.tree.GetInteger("su/col_dim"));
        EXPECT_EQ(c.n, fb.tree.GetSize("magnet_id"));
        for (const char* path : {"golden_orbit/actual", "pi/kp/actual", "pi/ki/actual"}) {
            EXPECT_EQ(c.actual, fb.tree.Exists(path)) << path;
        }
        // Software control, switch off, FA clock duration, ids 0 to n-1, a
        // zero orbit loaded, and the reset pulsed.
        EXPECT_EQ(1u, fb.Word(FOFB::c_sw_control));
        EXPECT_EQ(0u, fb.Word(FOFB::c_switch));
        EXPECT_EQ(8000, fb.tree.GetInteger("fa_clk_duration"));
        EXPECT_EQ(c.n - 1, fb.Word(FOFB::c_magnet_id + 8 * (c.n - 1)));
        EXPECT_EQ(256u, fb.model.PortWrites());
        EXPECT_EQ(2u, fb.model.PortResets());
        EXPECT_EQ(0u, fb.Word(FOFB::c_control));
        EXPECT_EQ("off", fb.tree.GetText("switch"));
    }
}

TEST(FofbBlock, TablesRoundTripThroughTheFpga)
{
    Feedback fb(4);
    const size_t n = 88;

    // One SU element reloads the whole matrix after one port reset.
    const uint64_t writes = fb.model.PortWrites();
    const uint64_t resets = fb.model.PortResets();
    fb.tree.SetIntegers("su", {-131072, 131071}, 5 * 256 + 254);
    EXPECT_EQ(writes + n * 256, fb.model.PortWrites());
    EXPECT_EQ(resets + 1, fb.model.PortResets());
    EXPECT_EQ(static_cast<uint32_t>(-131072), fb.model.SuRow(5)[254]);
    EXPECT_EQ(131071u, fb.model.SuRow(5)[255]);
    EXPECT_EQ((std::vector<long long>{0, -131072, 131071}), fb.tree.GetIntegers("su", 5 * 256 + 253, 3));

    const std::vector<long long> row = Iota(n, -40, 1);
    fb.tree.SetIntegers("v", row, 3 * n);
    const std::vector<uint32_t> v = fb.model.VRow(3);
    for (size_t e = 0; e < n; ++e) {
        ASSERT_EQ(static_cast<uint32_t>(row[e]), v[e]) << e;
    }
    EXPECT_EQ(row, fb.tree.GetIntegers("v", 3 * n, n));

    // The orbit reads back as 21-bit values, sign-extended.
    const std::vector<long long> orbit = {-1048576, 1048575, -1, 5};
    fb.tree.SetIntegers("golden_orbit", orbit, 0);
    EXPECT_EQ(0xFFF00000u, fb.model.GoldenOrbit()[0]);
    EXPECT_EQ(orbit, fb.tree.GetIntegers("golden_orbit/actual", 0, 4));
    EXPECT_EQ(orbit, fb.tree.GetIntegers("golden_orbit", 0, 4));

    fb.tree.SetInteger("pi/kp", 262143, 10);
    fb.tree.SetInteger("pi/ki", 7, 87);
    EXPECT_EQ(262143u, fb.Word(FOFB::c_p_gain + 8 * 10));
    EXPECT_EQ(7u, fb.Word(FOFB::c_i_gain + 8 * 87));
    EXPECT_EQ(262143, fb.tree.GetInteger("pi/kp/actual", 10));
    EXPECT_EQ(7, fb.tree.GetInteger("pi/ki/actual", 87));

    // Ids keep bits 6..0; the axis is bit 7 of every entry.
    fb.tree.SetInteger("magnet_id", 0x55, 5);
    fb.tree.SetText("axis", "y");
    EXPECT_EQ(0xD5u, fb.Word(FOFB::c_magnet_id + 8 * 5));
    EXPECT_EQ(0x86u, fb.Word(FOFB::c_magnet_id + 8 * 6));
    EXPECT_EQ("y", fb.tree.GetText("axis"));
    EXPECT_EQ(0x55, fb.tree.GetInteger("magnet_id", 5));
}

TEST(FofbBlock, MagnetMaskWordsAndFirstMagnet)
{
    Feedback fb(4);
    fb.tree.SetInteger("dim/magnets", 1, 70);
    EXPECT_EQ(0u, fb.Word(FOFB::c_mask_low));
    EXPECT_EQ(0u, fb.Word(FOFB::c_mask_low + 4));
    EXPECT_EQ(1u << 6, fb.Word(FOFB::c_mask_high));
    EXPECT_EQ(0u, fb.Word(FOFB::c_mask_high + 4));
    EXPECT_EQ(70u, fb.Word(FOFB::c_first_magnet));

    fb.tree.SetIntegers("dim/magnets", {1, 1}, 33);
    EXPECT_EQ(0x6u, fb.Word(FOFB::c_mask_low + 4));
    EXPECT_EQ(33u, fb.Word(FOFB::c_first_magnet));
    EXPECT_EQ((std::vector<long long>{1, 1, 0}), fb.tree.GetIntegers("dim/magnets", 33, 3));

    fb.tree.SetIntegers("dim/magnets", std::vector<long long>(88, 0), 0);
    EXPECT_EQ(0u, fb.Word(FOFB::c_mask_high));
    EXPECT_EQ(0u, fb.Word(FOFB::c_first_magnet));
    EXPECT_THROW(fb.tree.SetInteger("dim/magnets", 2, 0), std::exception);
}

TEST(FofbBlock, SwitchHardwareControlKeepsTheSoftwareSwitch)
{
    Feedback fb(2);
    fb.tree.SetText("switch", "on");
    EXPECT_EQ(1u, fb.Word(FOFB::c_switch));
    fb.tree.SetText("switch", "hw");
    EXPECT_EQ(0u, fb.Word(FOFB::c_sw_control));
    EXPECT_EQ(1u, fb.Word(FOFB::c_switch));
    EXPECT_EQ("hw", fb.tree.GetText("switch"));
    fb.tree.SetText("switch", "off");
    EXPECT_EQ("off", fb.tree.GetText("switch"));
    EXPECT_EQ((std::vector<std::string>{"off", "on", "hw"}), fb.tree.GetDomainValues("switch"));
}

TEST(FofbBlock, ValidatorsAndRangesBeyondTheTables)
{
    Feedback fb(4);
    for (const auto& refused : std::vector<std::pair<const char*, long long>>{{"golden_orbit", 1048576},
                                                                              {"su", -131073},
                                                                              {"v", 131072},
                                                                              {"pi/kp", 262144},
                                                                              {"magnet_id", 128},
                                                                              {"dim/eigenmodes", 89},
                                                                              {"dim/bpms", 257}}) {
        EXPECT_THROW(fb.tree.SetInteger(refused.first, refused.second, 0), std::exception) << refused.first;
    }

    qstd::CaptureScope capture(true, true, 1);
    const std::vector<uint32_t> gains(20, 9);
    EXPECT_TRUE(fb.fofb.SetPgain(gains.data(), 80, gains.size()));
    EXPECT_TRUE(capture.Logged("Assertion condition: end <= m_fofb_eigenmodes"));
    EXPECT_EQ(9u, fb.Word(FOFB::c_p_gain + 8 * 87));
    EXPECT_EQ(0u, fb.Word(FOFB::c_p_gain + 8 * 79));

    std::vector<int32_t> out(5, 1);
    EXPECT_EQ(2u, fb.fofb.GetSuMatrix(out.data(), 88 * 256 - 2, out.size()));
    EXPECT_TRUE(capture.Logged("Assertion condition: end <= m_SuMatrix.size()"));
    std::vector<uint32_t> flags(4);
    EXPECT_EQ(0u, fb.fofb.GetSaturation(flags.data(), 5, 1));
    EXPECT_TRUE(capture.Logged("Assertion condition: end <= c_saturation_length"));
}

TEST(FofbBlock, SaturationAndResets)
{
    Feedback fb(4);
    gdxtest::GdxFixture& f = fb.f;
    volatile FPGAMem_t* block = f.Block(c_fofb, FOFB::c_blockSize);
    fpga::Write32(block, FOFB::c_saturation, 0x5);
    EXPECT_EQ((std::vector<long long>{1, 0, 1, 0}), fb.tree.GetIntegers("saturation", 0, 4));
    fb.tree.Execute("saturation/reset");
    EXPECT_EQ(0u, fb.Word(FOFB::c_saturation));

    fb.tree.Execute("pi/reset");
    fb.fofb.AnnounceResetMagnetCounter();
    EXPECT_EQ(1u, fb.Word(FOFB::c_reset_magnet_counter));
    const uint64_t resets = fb.model.PortResets();
    fb.fofb.Reset();
    EXPECT_EQ(resets + 1, fb.model.PortResets());
    EXPECT_EQ(0u, fb.Word(FOFB::c_control));
}

// Records the calls the feedback block makes on trigger 0.
struct FakeTrigger {
    bool readable = true;
    unsigned code = 0;
    std::vector<std::string> calls;
    bool GetTriggerCode(unsigned trigger, unsigned& value)
    {
        calls.push_back("get " + std::to_string(trigger));
        if (readable) {
            value = code;
        }
        return readable;
    }
    bool SetTriggerCode(unsigned trigger, const unsigned& value)
    {
        calls.push_back("code " + std::to_string(trigger) + "=" + std::to_string(value));
        return true;
    }
    bool SetTriggerSource(unsigned trigger, const unsigned& source)
    {
        calls.push_back("source " + std::to_string(trigger) + "=" + std::to_string(source));
        return true;
    }
};

TEST(FofbBlock, TriggerZeroCarriesCodeFourFromTheBackplane)
{
    struct Case {
        bool readable;
        unsigned code;
        std::vector<std::string> calls;
    };
    for (const Case& c :
         {Case{true, 4, {"get 0", "source 0=3"}}, Case{true, 7, {"get 0", "code 0=4", "source 0=3", "code 0=7"}},
          // An unreadable code is not compared nor restored.
          Case{false, 4, {"get 0", "code 0=4", "source 0=3"}}}) {
        FakeTrigger trigger;
        trigger.readable = c.readable;
        trigger.code = c.code;
        FOFB::ProgramTrigger(trigger);
        EXPECT_EQ(c.calls, trigger.calls);
    }
}

TEST(FofbBlock, ShutdownCopiesBackWhatTheFpgaUsesOnUserblockFour)
{
    for (unsigned userblock : {2u, 4u}) {
        SCOPED_TRACE(userblock);
        Feedback fb(userblock);
        volatile FPGAMem_t* block = fb.f.Block(c_fofb, FOFB::c_blockSize);
        fpga::Write32(block, FOFB::c_p_gain + 8 * 3, 33);
        fpga::Write32(block, FOFB::c_i_gain + 8 * 4, 44);
        fpga::Write32(block, FOFB::c_control, FOFB::c_port_reset);
        fpga::Write32(block, FOFB::c_control, 0);
        fpga::Write32(block, FOFB::c_golden_port, 0x1FFFFF);
        fb.fofb.OnShutdown();
        const bool copied = userblock == 4;
        EXPECT_EQ(copied ? 33 : 0, fb.tree.GetInteger("pi/kp", 3));
        EXPECT_EQ(copied ? 44 : 0, fb.tree.GetInteger("pi/ki", 4));
        EXPECT_EQ(copied ? -1 : 0, fb.tree.GetInteger("golden_orbit", 0));
    }
}

TEST(FofbBlock, BufferSwapRepublishesActualValuesAndReloadsTheOrbit)
{
    for (unsigned userblock : {2u, 4u}) {
        SCOPED_TRACE(userblock);
        Feedback fb(userblock);
        std::vector<std::unique_ptr<mci::ClientAccess::Subscription>> subscriptions;
        if (userblock == 4) {
            for (const char* path : {"pi/kp/actual", "pi/ki/actual", "golden_orbit/actual"}) {
                subscriptions.push_back(fb.tree.Subscribe(path));
            }
        }
        const uint64_t writes = fb.model.PortWrites();
        fb.fofb.OnDoubleBufferEvent();
        EXPECT_EQ(writes + 256, fb.model.PortWrites());
        for (const auto& s : subscriptions) {
            EXPECT_EQ(1u, s->Count());
        }
    }
}

// A stored configuration holds every element of every table; loading it
// uploads each table once, not once per element (22528 uploads of the SU
// matrix would hold the start-up for minutes), and a refused element skips
// only its own line.
TEST(FofbBlock, StoredTablesLoadWithOneUploadEach)
{
    Feedback fb(4);
    mci::TreeNodePtr root = qapp::MakeBranchNode("root", 0);
    mci::TreeNodePtr node = qapp::MakeBranchNode("fofb", 0);
    root->Add(node);
    fb.fofb.OnRegistryAdd(node);
    std::ostringstream text;
    auto lines = [&](const char* path, size_t n, long long (*value)(size_t)) {
        for (size_t i = 0; i < n; ++i) {
            text << path << '\t' << i << '\t' << value(i) << '\n';
        }
    };
    lines("fofb/su", 88 * 256, [](size_t i) { return static_cast<long long>(i % 1000) - 500; });
    lines("fofb/v", 88 * 88, [](size_t i) { return static_cast<long long>(i % 77); });
    lines("fofb/golden_orbit", 256, [](size_t i) { return static_cast<long long>(i) * 3; });
    lines("fofb/pi/kp", 88, [](size_t i) { return i == 5 ? 262144ll : static_cast<long long>(i) + 1; });

    qstd::CaptureScope quiet(false, false);
    const uint64_t resets = fb.model.PortResets();
    qapp::ConfigurationStore store(root, "/nonexistent/fofb.conf");
    const qapp::ConfigurationStore::Result result = store.Apply(text.str(), "text");
    EXPECT_EQ(88u * 256 + 88 * 88 + 256 + 87, result.applied);
    EXPECT_EQ(1u, result.skipped);
    EXPECT_EQ(resets + 3, fb.model.PortResets());
    EXPECT_EQ(27u, fb.model.SuRow(87)[255]);                      // element 22527
    EXPECT_EQ(static_cast<uint32_t>(-500), fb.model.SuRow(0)[0]); // element 0
    EXPECT_EQ(43u, fb.model.VRow(87)[87]);                        // element 7743
    EXPECT_EQ(765u, fb.model.GoldenOrbit()[255]);
    EXPECT_EQ(0u, fb.Word(FOFB::c_p_gain + 8 * 5));
    EXPECT_EQ(7u, fb.Word(FOFB::c_p_gain + 8 * 6));
}

// Clients rewrite the tables while the state relay handles buffer swaps on
// its own thread and another client reads the orbit in use and resets the PI
// controllers; every table ends as the last complete write left it.
TEST(FofbConcurrency, UploadsAgainstTheStateRelay)
{
    Feedback fb(4);
    volatile uint32_t state = 1;
    auto* relay = qapp::Create<FofbStateMachine>(fb.fofb, std::string("state"), state, &fb.f.Events());
    // Every buffer swap the relay handles republishes the orbit in use.
    auto swaps = fb.tree.Subscribe("golden_orbit/actual");
    relay->OnPostConfig();
    ASSERT_TRUE(zvtest::WaitFor([&] { return fb.f.Sim().Events().IsOpen(); }));

    constexpr int rounds = 20;
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int r = 0; r < rounds; ++r) {
                const long long value = 1000 * w + r;
                fb.tree.SetIntegers("golden_orbit", std::vector<long long>(256, value), 0);
                fb.tree.SetIntegers("su", std::vector<long long>(256, value), 256 * static_cast<size_t>(w));
                fb.tree.SetIntegers("pi/kp", std::vector<long long>(88, value), 0);
                fb.tree.SetInteger("dim/magnets", r % 2, static_cast<size_t>(w));
            }
        });
    }
    threads.emplace_back([&] {
        for (int r = 0; r < rounds; ++r) {
            fb.model.State().SwapBuffers();
            fb.tree.GetIntegers("golden_orbit/actual", 0, 256);
            fb.tree.Execute("pi/reset");
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    fb.model.State().SwapBuffers();
    // The relay raced the uploads: it handled every swap before it stops.
    EXPECT_TRUE(swaps->WaitFor(rounds + 1, std::chrono::seconds(20)));
    relay->Stop();

    // No PI reset brought back a data-port reset that a transfer had released.
    EXPECT_EQ(0u, fb.Word(FOFB::c_control));
    const std::vector<long long> orbit = fb.tree.GetIntegers("golden_orbit", 0, 256);
    EXPECT_EQ(orbit, fb.tree.GetIntegers("golden_orbit/actual", 0, 256));
    EXPECT_EQ(256, std::count(orbit.begin(), orbit.end(), orbit[0]));
    for (size_t j = 0; j < 2; ++j) {
        const std::vector<uint32_t> row = fb.model.SuRow(j);
        const std::vector<long long> copy = fb.tree.GetIntegers("su", 256 * j, 256);
        for (size_t c = 0; c < 256; ++c) {
            ASSERT_EQ(static_cast<uint32_t>(copy[c]), row[c]) << j << "," << c;
        }
    }
}

// The gains in use are read while a client writes whole tables of one value:
// every read gives one table, never part of two.
TEST(FofbConcurrency, GainsInUseAreReadAsOneTable)
{
    Feedback fb(4);
    for (const char* gains : {"pi/kp", "pi/ki"}) {
        SCOPED_TRACE(gains);
        const std::string actual = std::string(gains) + "/actual";
        const size_t n = fb.tree.GetSize(actual);
        std::atomic<bool> done{false};
        std::atomic<unsigned> reads{0};
        // Writes go on until the reader has read often enough meanwhile.
        std::thread writer([&] {
            for (long long r = 0; r < 500 || reads.load() < 100; ++r) {
                fb.tree.SetIntegers(gains, std::vector<long long>(n, r % 1000), 0);
            }
            done.store(true);
        });
        unsigned mixed = 0;
        while (!done.load()) {
            const std::vector<long long> read = fb.tree.GetIntegers(actual, 0, n);
            mixed += std::count(read.begin(), read.end(), read[0]) != static_cast<std::ptrdiff_t>(n) ? 1 : 0;
            ++reads;
        }
        writer.join();
        EXPECT_EQ(0u, mixed);
    }
}

} // namespace
