// GDX board assembly and operations: its base objects, the userblock's
// register tree, the memory check, the bounded FA chain restart, and the
// shutdown of its event stream.
#include "app_support.h"
#include "board_fixture.h"

#include "app/gdx_board.h"
#include "app/local_timing_raf.h"
#include "gdx/fofb.h"
#include "gdx/fofb_state_machine.h"
#include "gdx/gbe.h"
#include "gdx/gdx_fa_filter.h"
#include "gdx/gdx_history_buffer.h"
#include "gdx/gdx_house_keeping.h"
#include "gdx/zemtra_grouping.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_i2c_device.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "sim/gdx_fofb.h"
#include "sim/gdx_gbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

namespace apptest {
template <> GdxBoard* BoardFixture<GdxBoard>::MakeBoard()
{
    return new GdxBoard(*m_app, m_bmc.get(), m_app.get());
}
} // namespace apptest

namespace {

using Fixture = apptest::BoardFixture<GdxBoard>;

std::vector<std::string> ChildNames(const qapp::ZemtraObject& o)
{
    std::vector<std::string> names;
    for (qapp::ZemtraObject* c : o.GetChildren()) {
        names.push_back(c->GetName());
    }
    return names;
}

void SetUserblock(Fixture& f, unsigned type)
{
    f.Desc().registers.push_back({0xF80000, type, 32});
}

TEST(GdxBoardAssembly, CreatesTheObjectsOfItsUserblock)
{
    const std::vector<std::string> base = {"feature",        "gdx_history_buf", "i2c_controller",
                                           "spi_controller", "LvdsRx",          "house_keeping"};
    const std::vector<std::string> blocks = {"filter", "grouping", "sfp_control"};
    const std::vector<std::vector<std::string>> feedback = {
        {}, {}, {"fofb", "gbe"}, {"gbe_orbit"}, {"fofb", "gbe_orbit", "gbe_magnet", "ser_output"}};
    for (unsigned type : {0u, 1u, 2u, 3u, 4u, 5u, 0x104u}) {
        SCOPED_TRACE(type);
        Fixture f(sim::c_typeGdx, "gdx", "7");
        SetUserblock(f, type);
        GdxBoard& b = f.Build();
        const unsigned ub = type & 0xFF;
        const bool fofb = ub >= 2 && ub <= 4;
        std::vector<std::string> expected = base;
        if (fofb) {
            expected.insert(expected.end(), blocks.begin(), blocks.end());
            expected.insert(expected.end(), feedback[ub].begin(), feedback[ub].end());
        }
        expected.insert(expected.end(), {"events", "local_timing"});
        EXPECT_EQ(expected, ChildNames(b));
        EXPECT_EQ(ub, static_cast<unsigned>(b.GetUserblock()));
        EXPECT_EQ(fofb, b.GetFaFilter() != nullptr);
        EXPECT_EQ(fofb, b.GetGrouping() != nullptr);
        EXPECT_EQ(fofb, b.GetSfpControl() != nullptr);
        EXPECT_EQ(fofb, b.GetOrbitGbe() != nullptr);
        EXPECT_EQ(ub == 2 || ub == 4, b.GetFofb() != nullptr);
        EXPECT_EQ(ub == 4, b.GetMagnetGbe() != nullptr);
        if (fofb) {
            EXPECT_EQ(64u, b.GetFaFilter()->GetRegistryFlags());
            EXPECT_EQ(0u, b.GetGrouping()->GetRegistryFlags());
        }
        if (ub == 4) {
            // The state relay and the feedback interlock belong to the feedback block.
            EXPECT_EQ((std::vector<std::string>{"state", "interlock"}), ChildNames(*b.GetFofb()));
            EXPECT_EQ(static_cast<qapp::ZemtraObject*>(b.GetFofbState()), b.GetFofb()->GetChildren()[0]);
        }
    }

    Fixture f(sim::c_typeGdx, "gdx", "7");
    GdxBoard& b = f.Build();
    EXPECT_EQ(64u, b.GetFeature()->GetRegistryFlags());
    EXPECT_EQ(64u, b.GetHouseKeeping()->GetRegistryFlags());
    qapp::ZemtraObject* i2c = b.GetChildren()[2];
    EXPECT_EQ((std::vector<std::string>{"SI57x", "SI5338", "SFP_EEPROM", "SFP_PHY", "SPD_EEPROM"}), ChildNames(*i2c));
    EXPECT_EQ(64u, i2c->GetRegistryFlags());
    EXPECT_EQ(64u, b.GetChildren()[3]->GetRegistryFlags());
    auto* si57x = dynamic_cast<qapp::SI57x*>(i2c->GetChildren()[0]);
    ASSERT_NE(nullptr, si57x);
    EXPECT_EQ(125000000u, si57x->GetDevice().GetVcxoFreq());
    EXPECT_EQ(bmc::eDeviceOn, si57x->GetDevice().GetDeviceState());
    EXPECT_EQ(2u, si57x->GetRegistryFlags());
    EXPECT_EQ(2u, i2c->GetChildren()[1]->GetRegistryFlags());

    EXPECT_TRUE(b.GetHistoryBuffer()->IsMemoryPresent());
    EXPECT_EQ(b.GetEventStream(), b.GetLocalTiming()->GetEventStream());
    EXPECT_EQ(static_cast<qfeature::HistoryBuffer*>(b.GetHistoryBuffer()), b.GetLocalTiming()->GetHistoryBuffer());
    // The house keeping switched the SFP transmitters on.
    EXPECT_EQ(0x1FE4u, fpga::Read32(f.Sim().Memory(), 0x300068));
}

TEST(GdxBoardAssembly, HouseKeepingRefusesAMissingAdcClock)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    f.Desc().faults.noAdcClock = true;
    try {
        GdxBoard board(f.App(), f.Description(), &f.App());
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("ADC clock is not detected", e.what());
    }
}

TEST(GdxBoardAssembly, RefusesBlocksThatCannotBeMapped)
{
    for (uint32_t offset : {0xF80000u, 0x400000u, 0xB00000u, 0x300000u, 0x202000u, 0xF08000u, 0xF10000u, 0xF28000u,
                            0xF20000u, 0xF18000u, 0xF38000u, 0xF40000u}) {
        SCOPED_TRACE(offset);
        Fixture f(sim::c_typeGdx, "gdx", "7");
        f.Desc().faults.unmappable = {offset};
        try {
            GdxBoard board(f.App(), f.Description(), &f.App());
            ADD_FAILURE() << "no exception";
        } catch (const qstd::Exception& e) {
            EXPECT_STREQ("Failure while mapping to FPGA memory registers", e.what());
        }
    }
}

TEST(GdxBoardRegistry, DependsOnTheUserblock)
{
    struct Case {
        unsigned type;
        const char* log;
        bool xml;
        bool groupSize;
    };
    for (const Case& c : {Case{4, "Detected FOFB-SUV ZQT userblock.", false, true},
                          Case{3, "Detected FOFB-SUV ZQT userblock.", false, true},
                          Case{2, "Detected FOFB-SUV ZQT userblock.", false, true},
                          Case{0, "Detected GDX-BASE ZQT userblock.", true, false},
                          Case{1, "Detected GDX-SFPTEST ZQT userblock.", true, false},
                          Case{9, "Warning: Unknown GDX ZQT userblock: 9", false, false}}) {
        SCOPED_TRACE(c.type);
        Fixture f(sim::c_typeGdx, "gdx", "7");
        SetUserblock(f, c.type);
        GdxBoard& b = f.Build();
        b.SetUserBlockConfig("/nonexistent/gdx_user_block.xml");
        qstd::CaptureScope capture(true, true, 2);
        mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
        b.OnRegistryAdd(node);
        EXPECT_TRUE(capture.Logged(c.log));
        EXPECT_EQ(c.xml, static_cast<bool>(node->GetChild("zqt_reg")));
        EXPECT_EQ(c.groupSize, static_cast<bool>(node->GetChild("group_size")));
        EXPECT_EQ(c.xml || c.groupSize ? 1u : 0u, node->GetChildren().size());
        EXPECT_EQ(c.xml, capture.Traced("ZQT registry not loaded."));
        EXPECT_EQ(node, b.GetBoardNode());
    }
}

TEST(GdxBoardRegistry, BuildsTheXmlRegisterMap)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    const apptest::InstrumentTempDir files;
    const std::string file = files.File(
        "gdx_user_block.xml", "<registers><register name=\"version\" offset=\"0x0\" access=\"ro\"/></registers>\n");
    SetUserblock(f, 0);
    f.Desc().registers.push_back({0xF00000, 0x1234, 32});
    GdxBoard& b = f.Build();
    b.SetUserBlockConfig(file);
    qstd::CaptureScope capture(true, true, 2);
    mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
    b.OnRegistryAdd(node);
    EXPECT_TRUE(capture.Traced("ZQT registry loaded successfully."));
    mci::ClientAccess client(node);
    EXPECT_EQ(0x1234, client.GetInteger("zqt_reg/version"));
}

TEST(GdxBoardRegistry, UnmappableWindowTakesTheNotLoadedPath)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    SetUserblock(f, 1);
    f.Desc().faults.unmappable = {0xF00000};
    GdxBoard& b = f.Build();
    qstd::CaptureScope capture(true, true, 2);
    mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
    EXPECT_NO_THROW(b.OnRegistryAdd(node));
    EXPECT_TRUE(capture.Traced("ZQT registry not loaded."));
    ASSERT_TRUE(node->GetChild("zqt_reg"));
    EXPECT_TRUE(node->GetChild("zqt_reg")->GetChildren().empty());
}

TEST(GdxBoardOperations, PostInitRefusesAMemoryThatDoesNotMatchTheSpd)
{
    {
        Fixture f(sim::c_typeGdx, "gdx", "7");
        EXPECT_NO_THROW(f.Build().OnPostInit());
    }
    Fixture f(sim::c_typeGdx, "gdx", "7");
    f.Desc().options["spd"] = "4096,2,1,3,14,10";
    GdxBoard& b = f.Build();
    qstd::CaptureScope capture(true, false);
    try {
        b.OnPostInit();
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Memory ctrl. & ram SPD eeprom par. mismatch!", e.what());
    }
    EXPECT_TRUE(capture.Logged("Memory controller & ram spd eeprom par. mismatch!"));
}

// The board answers the FA start requests from the answered-th on (0: none),
// each with its start event at once.
TEST(GdxBoardOperations, FaRestartAsksForItsStartAgainUntilItComes)
{
    struct Case {
        unsigned answered;
        bool result;
        unsigned requests;
    };
    const std::string failed = "Failed to start GDX-FA signal. No start event within 3000 ms.";
    for (const Case& c : {Case{2, true, 2}, Case{0, false, GdxBoard::c_start_attempts}}) {
        SCOPED_TRACE(c.answered);
        Fixture f(sim::c_typeGdx, "gdx", "7");
        GdxBoard& b = f.Build();
        mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
        b.OnRegistryAdd(node);
        b.CreateSignals();
        // As an announcement whose hooks end after the synchronisation's
        // leaves them.
        b.GetFaSource()->EnableAllControllers(false);
        std::vector<uint64_t> starts;                  // the requested start LMTs
        std::chrono::steady_clock::time_point asked{}; // the first request's time
        std::mutex mutex;
        f.Sim().SetRequestHandler([&](const sim::EventRecord& r) {
            if (r[0] >> 32 != sim::c_requestGdxStart) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (starts.empty()) {
                asked = std::chrono::steady_clock::now();
            }
            starts.push_back(r[2]);
            if (c.answered != 0 && starts.size() >= c.answered) {
                f.Sim().Feed(sim::c_eventGdxStart, starts.size(), r[2]);
            }
        });
        qstd::CaptureScope capture(true, true, 1);
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(c.result, b.GdxFaInit());
        const auto end = std::chrono::steady_clock::now();
        f.Sim().SetRequestHandler(nullptr);
        EXPECT_TRUE(capture.Logged("GDX-FA signal stopped."));
        EXPECT_TRUE(capture.Traced("Resetting GDX FA chain..."));
        const unsigned missed = c.result ? c.requests - 1 : c.requests;
        EXPECT_EQ(missed, apptest::CountLogged(capture, failed));
        ASSERT_EQ(c.requests, starts.size());
        // Each request takes its start from the board's time of that moment.
        for (size_t i = 1; i < starts.size(); ++i) {
            EXPECT_GE(starts[i], starts[i - 1] + 117440043ull * 3);
        }
        EXPECT_EQ(c.result, capture.Logged("GDX-FA signal started at LMT=" + std::to_string(starts.back())));
        // A started chain's reader goes on from its start.
        auto controller = b.GetFaSource()->GetPositionController();
        EXPECT_EQ(c.result, controller->IsEnabled());
        if (c.result) {
            EXPECT_EQ(starts.back(), controller->GetResetLmt());
        }
        // The waits for the start take the time-out each, and only so long
        // from the first request on (what comes before it, the stop, the
        // peers and the chain's reset, a busy machine can stretch).
        EXPECT_GE(end - before, missed * GdxBoard::c_start_timeout);
        EXPECT_LT(end - asked, missed * GdxBoard::c_start_timeout + std::chrono::seconds(2));
        // The history buffer was armed for the start event.
        EXPECT_EQ(4u, fpga::Read64(f.Sim().Memory() + GdxBoard::c_history_offset, tGdxHB::c_control));
    }
}

// An announcement while the FA chain restarts: the restart gives way to the
// announced synchronisation, before the chain's reset or between its
// streamers, and neither waits for a start nor asks for one.
TEST(GdxBoardOperations, FaRestartGivesWayToANewerSynchronisation)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    SetUserblock(f, 4);
    GdxBoard& b = f.Build();
    ASSERT_TRUE(b.GetMagnetGbe());
    auto* orbit = dynamic_cast<sim::GbeModel*>(f.Sim().ModelAt(0xF20000));
    auto* magnet = dynamic_cast<sim::GbeModel*>(f.Sim().ModelAt(0xF18000));
    ASSERT_TRUE(orbit && magnet);
    // Asked before each streamer: this many times no, then yes.
    for (unsigned noes : {0u, 1u, 2u}) {
        SCOPED_TRACE(noes);
        const uint64_t orbitResets = orbit->Resets();
        const uint64_t magnetResets = magnet->Resets();
        unsigned asked = 0;
        EXPECT_EQ(noes == 2, b.ResetFaChain([&] { return asked++ >= noes; }));
        EXPECT_EQ(std::min(noes + 1, 2u), asked);
        EXPECT_EQ(orbitResets + (noes >= 1 ? 2 : 0), orbit->Resets());
        EXPECT_EQ(magnetResets + (noes >= 2 ? 2 : 0), magnet->Resets());
    }

    const uint64_t requests = f.Sim().Events().Requests();
    ASSERT_TRUE(b.AnnounceLMTSync(5));
    qstd::CaptureScope capture(true, true, 1);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(b.GdxFaInit());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_TRUE(capture.Logged("GDX-FA signal stopped."));
    EXPECT_TRUE(capture.Traced("GDX-FA restart gives way to the synchronisation to LMT 5."));
    EXPECT_FALSE(capture.Traced("Resetting GDX FA chain..."));
    EXPECT_EQ(requests + 1, f.Sim().Events().Requests()); // the stop only
}

TEST(GdxBoardOperations, ShutdownWithdrawsTheEventStream)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    GdxBoard& b = f.Build();
    mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
    b.OnRegistryAdd(node);
    b.CreateSignals();
    b.CreateSignals(); // once only
    ASSERT_EQ((std::vector<std::string>{"group_size", "signals"}), mci::ClientAccess(node).List(""));
    auto event = std::dynamic_pointer_cast<qreg::SignalNode>(node->GetChild("signals")->GetChild("event"));
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->HasSource());

    b.OnShutdown();
    EXPECT_FALSE(event->HasSource());
    EXPECT_EQ(qsig::eShutDown, b.GetEventStream()->GetState());
    qstd::CaptureScope capture(true, true, 1);
    EXPECT_FALSE(b.GdxFaInit());
    EXPECT_TRUE(capture.TracedSubstring("Can't open: "));
    EXPECT_FALSE(capture.Logged("GDX-FA signal stopped."));
}

TEST(GdxBoardSignals, FaSourceOverTheHistoryMemoryFollowsSynchronisation)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    GdxBoard& b = f.Build();
    ASSERT_TRUE(b.GetFaBuffer());
    mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
    b.OnRegistryAdd(node);
    b.CreateSignals();
    mci::TreeNodePtr signalsNode = node->GetChild("signals");
    ASSERT_TRUE(signalsNode);
    std::vector<std::string> names;
    for (const auto& c : signalsNode->GetChildren()) {
        names.push_back(c->GetName());
    }
    EXPECT_EQ((std::vector<std::string>{"fa", "event"}), names);

    const auto& source = b.GetFaSource();
    ASSERT_TRUE(source);
    EXPECT_EQ(256u, source->AtomSize());
    const std::vector<std::string> components = source->GetComponentNames();
    ASSERT_EQ(64u, components.size());
    EXPECT_EQ("Va3", components[0]);
    EXPECT_EQ("LMT_l3", components[8]);
    EXPECT_EQ("r1_3", components[10]);
    EXPECT_EQ("status3", components[15]);
    EXPECT_EQ("Va4", components[16]);
    EXPECT_EQ("r5_6", components[62]);
    EXPECT_EQ("status6", components[63]);

    // One controller, the main one: disabled by an announcement.
    ASSERT_EQ(1u, source->GetControllerCopyCount());
    auto controller = source->GetPositionController();
    ASSERT_TRUE(controller);
    EXPECT_TRUE(controller->IsEnabled());
    b.OnAnnounceSync();
    EXPECT_FALSE(controller->IsEnabled());
}

TEST(GdxBoardSignals, NoHistoryMemoryNoFaSignal)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    f.Desc().faults.noHistoryMemory = true;
    GdxBoard& b = f.Build();
    EXPECT_FALSE(b.GetFaBuffer());
    mci::TreeNodePtr node = qapp::MakeBranchNode("gdx", 0);
    b.OnRegistryAdd(node);
    qstd::CaptureScope capture(false, true, 1);
    b.CreateSignals();
    EXPECT_TRUE(capture.Traced("History Buffer is not supported"));
    EXPECT_FALSE(b.GetFaSource());
    ASSERT_EQ(1u, node->GetChild("signals")->GetChildren().size());
    EXPECT_TRUE(node->GetChild("signals")->GetChild("event"));
    // An announcement without a source changes nothing and raises nothing.
    EXPECT_NO_THROW(b.OnAnnounceSync());
}

// A board of the given userblock with its register tree, as after
// OnRegistryAdd; the tree node is "gdx" under a root.
struct TreeBoard {
    explicit TreeBoard(unsigned type, std::vector<sim::RegisterInit> registers = {}, bool sfpUnlocked = false)
        : f(sim::c_typeGdx, "gdx", "7")
    {
        SetUserblock(f, type);
        f.Desc().registers.insert(f.Desc().registers.end(), registers.begin(), registers.end());
        f.Desc().faults.sfpPllUnlocked = sfpUnlocked;
        GdxBoard& b = f.Build();
        root = qapp::MakeBranchNode("root", 0);
        // Each object's node is made under its parent's, the board's under
        // the root, as the framework does.
        mci::TreeNodePtr node = b.GetTreeNode();
        root->Add(node);
        b.OnRegistryAdd(node);
        for (qapp::ZemtraObject* child : b.GetChildren()) {
            mci::TreeNodePtr childNode = child->GetTreeNode();
            child->OnRegistryAdd(childNode);
        }
    }
    GdxBoard& Board() { return f.Board(); }
    mci::ClientAccess Client() { return mci::ClientAccess(root); }
    uint32_t Word(size_t offset) { return fpga::Read32(f.Sim().Memory(), offset); }

    Fixture f;
    mci::TreeNodePtr root;
};

TEST(GdxBoardGroupSize, NodeSizesTheGroupsAndKeepsOnlyWhatWasApplied)
{
    TreeBoard t(4);
    GdxBoard& b = t.Board();
    mci::ClientAccess client = t.Client();
    EXPECT_EQ(14u, client.GetFlags("gdx/group_size"));
    EXPECT_EQ("[1, 256]", client.GetValidator("gdx/group_size"));
    EXPECT_EQ(1, client.GetInteger("gdx/group_size"));

    // The stored size reaches the grouping block at OnPostInit.
    b.OnPostInit();
    EXPECT_EQ(1u, t.Word(0xF08008));
    client.SetInteger("gdx/group_size", 256);
    EXPECT_EQ(256u, t.Word(0xF08008));
    EXPECT_EQ(256, client.GetInteger("gdx/group_size"));
    for (long long refused : {0ll, 257ll}) {
        EXPECT_THROW(client.SetInteger("gdx/group_size", refused), qstd::Exception);
    }
    // A size that the grouping block refuses is not kept.
    EXPECT_FALSE(b.SetGroupSize(300));
    EXPECT_EQ(256, client.GetInteger("gdx/group_size"));
    EXPECT_EQ(256u, t.Word(0xF08008));
}

TEST(GdxBoardGroupSize, SizeIsKeptOnlyWhenGroupingAndStreamerTakeIt)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    GdxBoard& b = f.Build();
    EXPECT_FALSE(b.SetGroupSize(5)); // no "size" node yet
    unsigned size = 0;
    EXPECT_TRUE(b.GetGroupSize(size));
    EXPECT_EQ(1u, size);

    Fixture base(sim::c_typeGdx, "gdx", "7");
    SetUserblock(base, 0);
    EXPECT_FALSE(base.Build().SetGroupSize(5)); // no grouping at all

    // The grouping takes the size but the orbit streamer cannot (no
    // "payload" node yet): the size is not kept either.
    Fixture half(sim::c_typeGdx, "gdx", "7");
    GdxBoard& h = half.Build();
    mci::TreeNodePtr grouping = h.GetGrouping()->GetTreeNode();
    h.GetGrouping()->OnRegistryAdd(grouping);
    EXPECT_FALSE(h.SetGroupSize(5));
    EXPECT_EQ(5u, fpga::Read32(half.Sim().Memory(), 0xF08008));
    EXPECT_TRUE(h.GetGroupSize(size));
    EXPECT_EQ(1u, size);
}

TEST(GdxBoardOperations, PostConfigResetsTheGroupingSfps)
{
    TreeBoard t(3, {{0xF10008, 0xF3, 32}});
    qstd::CaptureScope capture(true, true, 2);
    t.Board().OnPostConfig();
    EXPECT_TRUE(capture.Traced("Waiting for Si5338 clock to stabilize..."));
    EXPECT_TRUE(capture.Traced("SFP4 PLLs locked."));
    // The grouping block shows bits 0-5 of the SFP status words.
    mci::ClientAccess client = t.Client();
    EXPECT_EQ(63, client.GetInteger("gdx/grouping/sfp/status3"));
    EXPECT_EQ(12, client.GetInteger("gdx/grouping/sfp/status4"));
    EXPECT_EQ(64u, client.GetFlags("gdx/grouping/sfp/reset") & 64u);
    EXPECT_NO_THROW(client.Execute("gdx/grouping/sfp/reset"));
}

TEST(GdxBoardOperations, SfpPllsThatNeverLockEndTheConfigurationInAboutOneSecond)
{
    TreeBoard t(4, {}, true);
    qstd::CaptureScope capture(true, false);
    const auto before = std::chrono::steady_clock::now();
    try {
        t.Board().OnPostConfig();
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("SFP PLLs not locked. Cannot continue without GDX reference & user clocks.", e.what());
    }
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    const auto records = capture.Sink().Records();
    std::vector<std::string> logged;
    for (const qstd::Record& r : records) {
        logged.push_back(r.text);
    }
    EXPECT_EQ((std::vector<std::string>{"SFP3 PLLs not locked.", "Resetting Grouping SFPs failed, try once more...",
                                        "SFP3 PLLs not locked."}),
              logged);
}

TEST(GdxBoardOperations, FaChainResetAndStartFollowTheUserblock)
{
    for (unsigned type : {4u, 0u}) {
        SCOPED_TRACE(type);
        TreeBoard t(type);
        GdxBoard& b = t.Board();
        qstd::CaptureScope capture(true, true, 1);
        b.StartGroupingGbe();
        b.ResetFaChain();
        b.OnPostConfig();
        if (type == 0) {
            EXPECT_FALSE(capture.Traced("Resetting GDX FA chain..."));
            EXPECT_FALSE(capture.TracedSubstring("Resetting Grouping SFPs"));
            EXPECT_EQ(0u, t.Word(0xF08000));
            // A userblock byte that changes after construction finds no
            // blocks to drive.
            fpga::Write32(t.f.Sim().Memory(), 0xF80000, 4);
            EXPECT_NO_THROW(b.OnPostConfig());
            EXPECT_NO_THROW(b.ResetFaChain());
            EXPECT_NO_THROW(b.StartGroupingGbe());
            EXPECT_NO_THROW(b.OnPostInit());
            EXPECT_FALSE(capture.Traced("Resetting GDX FA chain..."));
            continue;
        }
        EXPECT_TRUE(capture.Traced("Resetting GDX FA chain..."));
        EXPECT_TRUE(b.GetGrouping()->IsEnabled());
        EXPECT_EQ(1u, t.Word(0xF08000));
        // The reset writes back the selector last given, not a node's write.
        b.GetFaFilter()->SetLvdsSerializer(0b1001);
        mci::ClientAccess client = t.Client();
        client.SetText("gdx/filter/raf4", "enable");
        b.ResetFaChain();
        EXPECT_EQ("disable", client.GetText("gdx/filter/raf4"));
        EXPECT_EQ("enable", client.GetText("gdx/filter/raf6"));
        EXPECT_EQ(1u, t.Word(0xF08000));
        b.GetGrouping()->OnShutdown();
        EXPECT_EQ(0u, t.Word(0xF08000));
    }
}

TEST(GdxBoardFeedback, StreamersFollowTheBoardAndTheFeedbackBlock)
{
    TreeBoard t(4);
    GdxBoard& b = t.Board();
    mci::ClientAccess client = t.Client();
    auto* orbit = dynamic_cast<sim::GbeModel*>(t.f.Sim().ModelAt(0xF20000));
    auto* fofb = dynamic_cast<sim::FofbModel*>(t.f.Sim().ModelAt(0xF28000));
    ASSERT_TRUE(orbit && fofb);

    // The orbit payload follows the group size, at most 253 groups.
    b.OnPostInit();
    for (const auto& c : std::vector<std::pair<long long, long long>>{{256, 4048}, {253, 4048}, {7, 112}, {1, 16}}) {
        client.SetInteger("gdx/group_size", c.first);
        EXPECT_EQ(c.second, client.GetInteger("gdx/gbe_orbit/payload")) << c.first;
    }
    // The magnet payload follows the feedback's magnet mask.
    client.SetIntegers("gdx/fofb/dim/magnets", {1, 1, 1}, 0);
    EXPECT_EQ(20, client.GetInteger("gdx/gbe_magnet/payload"));
    client.SetIntegers("gdx/fofb/dim/magnets", {0, 0, 0}, 0);
    EXPECT_EQ(8, client.GetInteger("gdx/gbe_magnet/payload"));

    // Configuration initialises both streamers; running starts them.
    qstd::CaptureScope capture(false, true, 1);
    b.OnPostConfig();
    EXPECT_TRUE(b.GetOrbitGbe()->GetFpgaReady());
    EXPECT_TRUE(b.GetMagnetGbe()->GetFpgaReady());
    EXPECT_NO_THROW(b.GetOrbitGbe()->CheckSfpStatus()); // the board's SFP PHY
    EXPECT_EQ(0x0202C00Bu + (16u << 12), t.Word(0xF20010));
    EXPECT_EQ(0x0202C00Bu + (8u << 12), t.Word(0xF18010));
    client.SetText("gdx/gbe_magnet/enable", "true");
    b.StartGroupingGbe();
    EXPECT_EQ(0u, t.Word(0xF20010) >> 31);
    EXPECT_EQ(1u, t.Word(0xF18010) >> 31);

    // The FA-chain reset resets and initialises the streamers, then the
    // feedback block; the magnet streamer keeps sending.
    const uint64_t resets = orbit->Resets();
    const uint64_t portResets = fofb->PortResets();
    b.ResetFaChain();
    EXPECT_EQ(resets + 2, orbit->Resets());
    EXPECT_EQ(portResets + 1, fofb->PortResets());
    EXPECT_EQ(1u, t.Word(0xF18010) >> 31);
    EXPECT_FALSE(capture.TracedSubstring("GbE: Link-down"));

    // An announced synchronisation arms the magnet-counter reset; the
    // feedback's "reconnect" resets the magnet link's SFP.
    b.OnAnnounceSync();
    EXPECT_EQ(1u, fofb->Word(0x8008));
    client.Execute("gdx/fofb/reconnect");
    EXPECT_TRUE(capture.Traced("Resetting Magnet AURORA SFP..."));
}

TEST(GdxBoardOperations, OnlyTheTriggerSynchronises)
{
    Fixture f(sim::c_typeGdx, "gdx", "7");
    SetUserblock(f, 0);
    GdxBoard& b = f.Build();
    // The FA chain's restart at the synchronisation starts at once.
    f.Sim().SetRequestHandler([&](const sim::EventRecord& r) {
        if (r[0] >> 32 == sim::c_requestGdxStart) {
            f.Sim().Feed(sim::c_eventGdxStart, 1, r[2]);
        }
    });
    EXPECT_TRUE(b.AnnounceLMTSync(11));
    f.Sim().DeliverTrigger(std::chrono::steady_clock::now());
    b.EventReceived(0, 11, 0);
    b.EventReceived(3, 11, 0);
    EXPECT_TRUE(b.GetLocalTiming()->IsSyncPending());
    b.EventReceived(2, 11, f.Sim().TriggerCount());
    EXPECT_FALSE(b.GetLocalTiming()->IsSyncPending());
    EXPECT_EQ(11u, b.GetLocalTiming()->GetSynchronizedLMT());
}

} // namespace
