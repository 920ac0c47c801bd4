// The GDX board's small blocks on a simulated board: userblock type, house
// keeping of the SFP cages, SFP control with its PLL lock wait, grouping and
// FA filter.
#include "gdx/gdx_fa_filter.h"
#include "gdx/gdx_feature.h"
#include "gdx/gdx_house_keeping.h"
#include "gdx/gdx_sfp_control.h"
#include "gdx/zemtra_grouping.h"

#include "platform/bmc/board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "sim/board.h"
#include "tests/common/simulated_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

// A block model that a test scripts: reads answer from a function (nothing
// when it declines), writes are recorded and kept in memory.
class ScriptedBlock : public fpga::RegisterModel {
public:
    std::function<bool(size_t offset, uint32_t& value)> read;
    std::vector<std::pair<size_t, uint32_t>> writes;
    bool Read32(size_t offset, uint32_t& value) override { return read && read(offset, value); }
    bool Write32(size_t offset, uint32_t value) override
    {
        writes.emplace_back(offset, value);
        return false;
    }
};

// A plain board over a simulated board: a GDX board with its models, or bare
// memory (type 0) where a test plugs its own model.
class GdxBlocks : public ::testing::Test {
protected:
    GdxBlocks() : m_app("gdx-blocks-test", false, false) {}

    void Build(std::vector<sim::RegisterInit> registers = {}, unsigned type = sim::c_typeGdx)
    {
        sim::BoardDesc d;
        d.type = type;
        d.name = "gdx";
        d.slot = "7";
        d.registers = sim::DefaultRegisters(sim::c_typeGdx);
        d.registers.insert(d.registers.end(), registers.begin(), registers.end());
        m_gdx = std::make_unique<zvtest::SimulatedBoard>(m_app, d, 117440043.0, bmc::eBoardGdx);
    }

    ScriptedBlock& Script(size_t offset, size_t size) { return m_gdx->Plug<ScriptedBlock>(offset, size); }

    template <typename T> T& Make(int offset, const char* name)
    {
        return *m_gdx->Board().RegisterObject<T>(offset, name);
    }

    // The object's nodes under a root of their own, as a client sees them.
    mci::ClientAccess Tree(qapp::ZemtraObject& object)
    {
        mci::TreeNodePtr root = qapp::MakeBranchNode("root", 0);
        mci::TreeNodePtr node = qapp::MakeBranchNode(object.GetName(), 0);
        root->Add(node);
        object.OnRegistryAdd(node);
        return mci::ClientAccess(root);
    }

    uint32_t Word(size_t offset) { return fpga::Read32(m_gdx->Sim().Memory(), offset); }
    void SetWord(size_t offset, uint32_t value) { fpga::Write32(m_gdx->Sim().Memory(), offset, value); }

    qapp::ZemtraApplication m_app;
    std::unique_ptr<zvtest::SimulatedBoard> m_gdx;
};

// Suite of the tests that write one block from two threads.
using GdxBlocksConcurrency = GdxBlocks;

constexpr int c_hk = 0x300000;
constexpr int c_sfp = 0xF10000;
constexpr int c_grouping = 0xF08000;
constexpr int c_filter = 0xF00000;

// --- userblock type -------------------------------------------------------

TEST_F(GdxBlocks, UserblockIsTheLowByteOfTheFeatureWord)
{
    struct Case {
        uint32_t word;
        unsigned type;
        const char* name; // null: no name in the table
    };
    for (const Case& c :
         {Case{0x103, 3, "gamma"}, Case{0x4, 4, "delta"}, Case{0x0, 0, "alpha"}, Case{0x5, 5, nullptr}}) {
        SCOPED_TRACE(c.word);
        Build({{0xF80000, c.word, 32}});
        GdxFeature& f = Make<GdxFeature>(0xF80000, "feature");
        EXPECT_EQ(c.type, static_cast<unsigned>(f.GetUserblock()));
        mci::ClientAccess client = Tree(f);
        EXPECT_EQ(2u, client.GetFlags("feature/userblock"));
        if (c.name) {
            EXPECT_EQ(c.name, client.GetText("feature/userblock"));
        } else {
            EXPECT_THROW(client.GetText("feature/userblock"), qstd::Exception);
        }
    }
}

// --- house keeping --------------------------------------------------------

TEST_F(GdxBlocks, HouseKeepingChecksTheAdcClockAndSwitchesTheCagesOn)
{
    for (uint32_t status : {0x2u, 0x1u}) {
        Build({{c_hk + 0x58, status, 32}});
        try {
            Make<GdxHouseKeeping>(c_hk, "house_keeping");
            ADD_FAILURE() << "no exception for status " << status;
        } catch (const qstd::Exception& e) {
            EXPECT_STREQ("ADC clock is not detected", e.what());
        }
    }
    // Only bits 0-1 count; word 0x60 is cleared first.
    Build({{c_hk + 0x58, 0xFFFFFFFC, 32}, {c_hk + 0x60, 0x55, 32}, {c_hk + 0x68, 0xFFFFFFFF, 32}});
    GdxHouseKeeping& hk = Make<GdxHouseKeeping>(c_hk, "house_keeping");
    EXPECT_EQ(0u, Word(c_hk + 0x60));
    EXPECT_EQ(0x1FE4u, Word(c_hk + 0x68));
    mci::ClientAccess client = Tree(hk);
    EXPECT_EQ((Texts{"true", "true", "true", "true"}), client.GetTexts("house_keeping/sfp/enable", 0, 4));
    EXPECT_EQ((std::vector<long long>{0, 0, 3, 3}), client.GetIntegers("house_keeping/sfp/rate", 0, 4));
    EXPECT_EQ(0x206u, client.GetFlags("house_keeping/sfp/enable"));
    EXPECT_EQ(0x202u, client.GetFlags("house_keeping/sfp/present"));
    EXPECT_EQ("[0, 3]", client.GetValidator("house_keeping/sfp/rate"));

    // One cage's field changes; the others, the enables and bit 12 stay.
    client.SetInteger("house_keeping/sfp/rate", 1, 2);
    EXPECT_EQ(0x1F64u, Word(c_hk + 0x68));
    EXPECT_THROW(client.SetInteger("house_keeping/sfp/rate", 4, 1), qstd::Exception);
    EXPECT_EQ(0x1F64u, Word(c_hk + 0x68));
    client.SetText("house_keeping/sfp/enable", "false", 1);
    EXPECT_EQ(0x1F44u, Word(c_hk + 0x68));

    hk.OnShutdown();
    EXPECT_EQ(0u, Word(c_hk + 0x68));
}

TEST_F(GdxBlocks, HouseKeepingStatusPerCage)
{
    struct Case {
        uint32_t status;
        Texts present, txFault, signal;
    };
    const Texts t4 = {"true", "true", "true", "true"};
    const Texts f4 = {"false", "false", "false", "false"};
    for (const Case& c : {Case{0x004, {"false", "true", "true", "true"}, f4, t4},
                          Case{0x00A, t4, {"true", "false", "false", "false"}, {"true", "false", "true", "true"}},
                          Case{0x924, {"false", "false", "false", "false"}, f4, t4}}) {
        SCOPED_TRACE(c.status);
        Build({{c_hk + 0x70, c.status, 32}});
        GdxHouseKeeping& hk = Make<GdxHouseKeeping>(c_hk, "house_keeping");
        mci::ClientAccess client = Tree(hk);
        EXPECT_EQ(c.present, client.GetTexts("house_keeping/sfp/present", 0, 4));
        EXPECT_EQ(c.txFault, client.GetTexts("house_keeping/sfp/tx_fault", 0, 4));
        EXPECT_EQ(c.signal, client.GetTexts("house_keeping/sfp/signal", 0, 4));
        EXPECT_EQ(c.present[0] == "true", hk.IsSfpPresent(0));
        EXPECT_EQ(c.present[3] == "true", hk.IsSfpPresent(3));
    }
}

TEST_F(GdxBlocks, HouseKeepingRangesPastTheCagesAreReportedAndCut)
{
    Build();
    GdxHouseKeeping& hk = Make<GdxHouseKeeping>(c_hk, "house_keeping");
    qstd::CaptureScope capture(true, false);
    bool flags[8] = {};
    uint32_t rates[8] = {};
    EXPECT_EQ(1u, hk.GetSfpTx(flags, 3, 2));
    EXPECT_EQ(1u, capture.Sink().Records().size());
    EXPECT_TRUE(capture.Logged("Assertion condition: end <= c_sfp_max"));
    EXPECT_EQ(0u, hk.GetSfpRate(rates, 4, 1));
    EXPECT_EQ(3u, hk.GetSfpPresent(flags, 1, SIZE_MAX)); // no wrap of start + count
    EXPECT_EQ(3u, capture.Sink().Records().size());

    // Setters write nothing of a range that does not fit, nor a rate above 3.
    const bool off[4] = {};
    const uint32_t bad[4] = {1, 5, 1, 1};
    EXPECT_FALSE(hk.SetSfpTx(off, 2, 3));
    EXPECT_FALSE(hk.SetSfpRate(bad, 0, 4));
    EXPECT_EQ(0x1FE4u, Word(c_hk + 0x68));
    EXPECT_THROW(hk.IsSfpPresent(4), qstd::Exception);
}

TEST_F(GdxBlocksConcurrency, HouseKeepingEnableAndRateWritesKeepEachOther)
{
    Build();
    GdxHouseKeeping& hk = Make<GdxHouseKeeping>(c_hk, "house_keeping");
    constexpr int c_rounds = 2000;
    std::thread enable([&hk] {
        for (int i = 0; i < c_rounds; ++i) {
            const bool on = (i % 2) == 1; // ends on
            hk.SetSfpTx(&on, 0, 1);
        }
    });
    std::thread rate([&hk] {
        for (int i = 0; i < c_rounds; ++i) {
            const uint32_t r = static_cast<uint32_t>(i % 4); // ends with 3
            hk.SetSfpRate(&r, 3, 1);
        }
    });
    enable.join();
    rate.join();
    EXPECT_EQ(0x1FE4u, Word(c_hk + 0x68));
}

// --- SFP control ----------------------------------------------------------

TEST_F(GdxBlocks, GroupingResetWaitsForTheModelledLock)
{
    Build();
    GdxSfpControl& sfp = Make<GdxSfpControl>(c_sfp, "sfp_control");
    EXPECT_TRUE(sfp.GetSfp3PllLocked());
    qstd::CaptureScope capture(true, true, 1);
    EXPECT_TRUE(sfp.ResetGroupingSfp());
    EXPECT_TRUE(capture.Traced("Resetting Grouping SFPs (user clk)..."));
    EXPECT_TRUE(capture.Traced("SFP3 PLLs locked."));
    EXPECT_TRUE(capture.Traced("SFP4 PLLs locked."));
    EXPECT_FALSE(capture.LoggedSubstring("not locked"));
    EXPECT_EQ(0u, Word(c_sfp));

    // The magnet reset keeps the grouping reset bits as they are.
    SetWord(c_sfp, 0xC);
    EXPECT_FALSE(sfp.GetSfp4PllLocked());
    EXPECT_TRUE(sfp.ResetMagnetSfp());
    EXPECT_TRUE(capture.Traced("Resetting Magnet AURORA SFP..."));
    EXPECT_EQ(0xCu, Word(c_sfp));
}

TEST_F(GdxBlocks, GroupingResetTriesTwiceAndEvaluatesSfp3First)
{
    Build({}, 0);
    // SFP 3 shows only bit 2 (not locked) until the second reset pulse has
    // begun; SFP 4 is locked.
    ScriptedBlock& block = Script(c_sfp, 0x18);
    block.read = [&block](size_t offset, uint32_t& value) {
        if (offset != 0x08 && offset != 0x10) {
            return false;
        }
        value = offset == 0x10 || block.writes.size() >= 3 ? 0xC : 0x4;
        return true;
    };
    GdxSfpControl& sfp = Make<GdxSfpControl>(c_sfp, "sfp_control");
    EXPECT_FALSE(sfp.GetSfp3PllLocked());
    qstd::CaptureScope capture(true, true, 1);
    const auto before = Clock::now();
    EXPECT_TRUE(sfp.ResetGroupingSfp());
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(450));
    EXPECT_TRUE(capture.Logged("SFP3 PLLs not locked."));
    EXPECT_TRUE(capture.Logged("Resetting Grouping SFPs failed, try once more..."));
    EXPECT_FALSE(capture.Logged("SFP4 PLLs not locked."));
    EXPECT_TRUE(capture.Traced("SFP4 PLLs locked."));
    // Each attempt set both bits, then cleared them.
    EXPECT_EQ((std::vector<std::pair<size_t, uint32_t>>{{0, 0xC}, {0, 0}, {0, 0xC}, {0, 0}}), block.writes);
}

TEST_F(GdxBlocks, LockWaitKeepsToHalfASecondWhenPollsRunLate)
{
    Build({}, 0);
    // Every status read costs 4 ms, as polls do on a loaded machine; the
    // PLLs never lock.
    ScriptedBlock& block = Script(c_sfp, 0x18);
    block.read = [](size_t offset, uint32_t& value) {
        if (offset != 0x08 && offset != 0x10) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        value = 0;
        return true;
    };
    GdxSfpControl& sfp = Make<GdxSfpControl>(c_sfp, "sfp_control");
    const auto before = Clock::now();
    EXPECT_FALSE(sfp.ResetGroupingSfpOnce());
    const auto took = Clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(500));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

TEST_F(GdxBlocksConcurrency, MagnetAndGroupingResetsKeepEachOther)
{
    Build();
    GdxSfpControl& sfp = Make<GdxSfpControl>(c_sfp, "sfp_control");
    constexpr int c_rounds = 500;
    std::thread magnet([&sfp] {
        for (int i = 0; i < c_rounds; ++i) {
            sfp.ResetMagnetSfp();
        }
    });
    std::thread grouping([&sfp] {
        for (int i = 0; i < c_rounds / 10; ++i) {
            sfp.ResetGroupingSfpOnce();
        }
    });
    magnet.join();
    grouping.join();
    // No reset is left held.
    EXPECT_EQ(0u, Word(c_sfp));
}

// --- grouping -------------------------------------------------------------

TEST_F(GdxBlocks, GroupingParametersAreWrittenWhileStopped)
{
    Build({}, 0);
    ScriptedBlock& block = Script(c_grouping, 0x28);
    ZemtraGrouping& g = Make<ZemtraGrouping>(c_grouping, "grouping");
    EXPECT_EQ((std::vector<std::pair<size_t, uint32_t>>{{0x00, 0}, {0x10, 1600}}), block.writes);
    EXPECT_FALSE(g.SetGroupSize(10)); // no "size" node yet
    mci::ClientAccess client = Tree(g);
    EXPECT_EQ(14u, client.GetFlags("grouping/timeout"));
    EXPECT_EQ(70u, client.GetFlags("grouping/size"));
    EXPECT_EQ(66u, client.GetFlags("grouping/latency"));
    EXPECT_EQ("<262144", client.GetValidator("grouping/timeout"));
    EXPECT_EQ("[0, 256]", client.GetValidator("grouping/size"));
    EXPECT_EQ((Texts{"timeout", "size", "latency", "sfp"}), client.List("grouping"));
    EXPECT_EQ((Texts{"reset", "status3", "status4"}), client.List("grouping/sfp"));

    block.writes.clear();
    client.SetInteger("grouping/size", 100);
    EXPECT_EQ((std::vector<std::pair<size_t, uint32_t>>{{0x00, 0}, {0x08, 100}}), block.writes);
    g.Enable();
    EXPECT_TRUE(g.IsEnabled());
    block.writes.clear();
    client.SetInteger("grouping/timeout", 2000);
    EXPECT_EQ((std::vector<std::pair<size_t, uint32_t>>{{0x00, 0}, {0x10, 2000}, {0x00, 1}}), block.writes);

    // Edges of the validators; a refused value is not written.
    EXPECT_TRUE(g.SetGroupSize(256));
    EXPECT_FALSE(g.SetGroupSize(257));
    EXPECT_EQ(256, client.GetInteger("grouping/size"));
    client.SetInteger("grouping/timeout", 262143);
    EXPECT_THROW(client.SetInteger("grouping/timeout", 262144), qstd::Exception);
    EXPECT_EQ(262143, client.GetInteger("grouping/timeout"));

    block.writes.clear();
    g.Reset();
    g.OnShutdown();
    EXPECT_EQ((std::vector<std::pair<size_t, uint32_t>>{{0x00, 0}, {0x00, 1}, {0x00, 0}}), block.writes);
    // Without its GDX board the grouping block reaches no SFP control.
    EXPECT_THROW(client.GetInteger("grouping/sfp/status3"), qstd::Exception);
    EXPECT_THROW(client.Execute("grouping/sfp/reset"), qstd::Exception);
}

// A grouping block that counts the parameter words written while it runs.
class GroupingRule : public fpga::RegisterModel {
public:
    bool Read32(size_t, uint32_t&) override { return false; }
    bool Write32(size_t offset, uint32_t value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (offset == ZemtraGrouping::c_control) {
            m_running = value == 1;
        } else if ((offset == ZemtraGrouping::c_size || offset == ZemtraGrouping::c_timeout) && m_running) {
            ++m_violations;
        }
        return false;
    }
    int Violations()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_violations;
    }

private:
    std::mutex m_mutex;
    bool m_running = false;
    int m_violations = 0;
};

TEST_F(GdxBlocksConcurrency, GroupingParametersNeverReachTheRunningBlock)
{
    Build({}, 0);
    GroupingRule& rule = m_gdx->Plug<GroupingRule>(c_grouping, 0x28);
    ZemtraGrouping& g = Make<ZemtraGrouping>(c_grouping, "grouping");
    mci::ClientAccess client = Tree(g);
    g.Enable();
    // Three writers from one start, as long as it takes them to overlap.
    std::atomic<int> ready{0};
    const auto writer = [&](const std::function<void(unsigned)>& write) {
        return std::thread([&ready, write] {
            ++ready;
            while (ready.load() < 3) {
                std::this_thread::yield();
            }
            for (unsigned i = 0; i < 20000; ++i) {
                write(i);
            }
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(writer([&](unsigned i) { client.SetInteger("grouping/size", i % 257); }));
    threads.push_back(writer([&](unsigned i) { client.SetInteger("grouping/timeout", 1000 + i); }));
    threads.push_back(writer([&](unsigned) { g.Reset(); }));
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, rule.Violations());
    EXPECT_EQ(1u, Word(c_grouping));
}

// The parameters are read (by the configuration's store, by a node's re-read
// for its subscribers) while clients write them: a read sees a value that
// was written.
TEST_F(GdxBlocksConcurrency, GroupingParametersAreReadWhileWritten)
{
    Build({}, 0);
    m_gdx->Plug<GroupingRule>(c_grouping, 0x28);
    ZemtraGrouping& g = Make<ZemtraGrouping>(c_grouping, "grouping");
    g.Enable();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            unsigned size = 0;
            unsigned timeout = 0;
            g.GetGroupSize(size);
            g.GetTimeout(timeout);
            EXPECT_LE(size, 2u);
            EXPECT_TRUE(timeout == 1600 || timeout == 1000 || timeout == 1001) << timeout;
        }
    });
    for (unsigned i = 0; i < 2000; ++i) {
        g._SetGroupSize(i % 3);
        g.SetTimeout(1000 + i % 2);
    }
    done = true;
    reader.join();
}

// --- FA filter ------------------------------------------------------------

TEST_F(GdxBlocks, FilterSelectsTheRafInputsAndResetRestoresTheSelector)
{
    Build({{c_filter, 0xF, 32}});
    GdxFaFilter& f = Make<GdxFaFilter>(c_filter, "filter");
    EXPECT_EQ(0u, Word(c_filter));
    EXPECT_EQ(0x80D0u, Word(c_filter + 0x08));
    mci::ClientAccess client = Tree(f);
    EXPECT_EQ(6u, client.GetFlags("filter/raf3"));

    f.SetLvdsSerializer(0b0101);
    EXPECT_EQ((Texts{"enable", "disable", "enable", "disable"}),
              (Texts{client.GetText("filter/raf3"), client.GetText("filter/raf4"), client.GetText("filter/raf5"),
                     client.GetText("filter/raf6")}));
    // A node writes the FPGA only; the reset restores the selector given.
    client.SetText("filter/raf4", "enable");
    EXPECT_EQ(0x7u, Word(c_filter));
    EXPECT_EQ(0x5u, f.GetLvdsSerializer());
    SetWord(c_filter + 0x08, 0);
    f.Reset();
    EXPECT_EQ("disable", client.GetText("filter/raf4"));
    EXPECT_EQ(0x80D0u, Word(c_filter + 0x08));

    qstd::CaptureScope capture(true, false);
    f.SetLvdsSerializer(16);
    EXPECT_TRUE(capture.Logged("Assertion condition: a_val <= 0xf"));
    EXPECT_EQ(16u, Word(c_filter));
}

TEST_F(GdxBlocksConcurrency, FilterResetsAndRafNodesShareTheSelectorWord)
{
    Build();
    GdxFaFilter& f = Make<GdxFaFilter>(c_filter, "filter");
    mci::ClientAccess client = Tree(f);
    f.SetLvdsSerializer(0b0011);
    std::thread resets([&f] {
        for (int i = 0; i < 500; ++i) {
            f.Reset();
        }
    });
    for (int i = 0; i < 500; ++i) {
        client.SetText("filter/raf6", (i % 2) == 0 ? "enable" : "disable");
    }
    resets.join();
    f.Reset();
    EXPECT_EQ(0b0011u, Word(c_filter));
}

} // namespace
