// Boards without the run loop: block mapping and aliasing, object creation
// over blocks, the mapping failure, the local-timing protocol step by step,
// the timing board's devices.

#include "test_app.h"

#include "platform/qapp/create.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/signal_sources.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/history_buffer.h"
#include "platform/qfeature/local_timing.h"
#include "platform/qfeature/tsm.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/signal_source.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace qapptest;

namespace {

TEST(BoardMapping, OverlappingBlocksAliasAndBlocksOutsideTheSpaceFail)
{
    Bench bench(Scenario({3}));
    auto* board = bench.MakeBoard(1);
    volatile FPGAMem_t* whole = board->MapRegisters(0x880000, 0x9400);
    volatile FPGAMem_t* word = board->MapRegisters(0x880090, 4);
    volatile FPGAMem_t* small = board->MapRegisters(0x880000, 4);
    ASSERT_NE(whole, nullptr);
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(small, whole);
    fpga::Write32(word, 0, 0x12345678u);
    EXPECT_EQ(fpga::Read32(whole, 0x90), 0x12345678u);
    fpga::Write32(whole, 0x90, 0xCAFEu);
    EXPECT_EQ(fpga::Read32(word, 0), 0xCAFEu);
    // Outside the 16 MiB space, negative or empty.
    EXPECT_EQ(board->MapRegisters(0x1000000, 4), nullptr);
    EXPECT_EQ(board->MapRegisters(0xFFFFFC, 8), nullptr);
    EXPECT_EQ(board->MapRegisters(-4, 4), nullptr);
    EXPECT_EQ(board->MapRegisters(0x100, 0), nullptr);
    EXPECT_NE(board->MapRegisters(0xFFFFFC, 4), nullptr);
    EXPECT_EQ(board->Uri().GetId(), "3");
    EXPECT_EQ(board->GetType(), bmc::eBoardRaf);
}

TEST(BoardMapping, RegisterObjectMapsAdoptsOrRefuses)
{
    const std::string broken =
        "  <board type=\"175\" name=\"raf4\" slot=\"4\"><fault name=\"unmappable\" offset=\"0x900000\"/></board>\n";
    Bench bench(Scenario({3}, broken));
    auto* good = bench.MakeBoard(1);
    auto* bad = bench.MakeBoard(2);

    RecordingFpgaObject* a = good->RegisterObject<RecordingFpgaObject>(0x900000, "tbt");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Block(), good->MapRegisters(0x900000, 4));
    EXPECT_EQ(&a->GetParentBoard(), good);
    EXPECT_EQ(good->GetChildren().size(), 1u);

    try {
        bad->RegisterObject<RecordingFpgaObject>(0x900000, "tbt");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "Failure while mapping to FPGA memory registers");
    }
    EXPECT_TRUE(bad->GetChildren().empty());
    // Other blocks of the faulty board still map.
    EXPECT_NE(bad->RegisterObject<RecordingFpgaObject>(0x900020, "other"), nullptr);
}

TEST(BoardMapping, BoardWithoutChassisMapsNothing)
{
    TestApplication app;
    bmc::Board desc(bmc::eBoardRaf, "raf9", bmc::Uri("localhost", "9"));
    qapp::ZemtraBoard board(app, &desc);
    EXPECT_EQ(board.MapRegisters(0x100, 4), nullptr);
    EXPECT_THROW(board.RegisterObject<RecordingFpgaObject>(0x100, "x"), qstd::Exception);
    EXPECT_EQ(desc.CreateDeviceName(bmc::eAccessEvents, 0), "/dev/zemtra/raf9/event0");
    EXPECT_EQ(desc.CreateDeviceName(bmc::eAccessRandom, 1), "/dev/zemtra/raf9/ram1");
}

TEST(BoardDescription, DeviceNamesAreTheSimulatedBoardsAndTypesPrint)
{
    Bench bench(Scenario({3}));
    const bmc::Board* raf = bench.Desc(1);
    EXPECT_EQ(raf->CreateDeviceName(bmc::eAccessEvents, 0), raf->SimBoard()->DeviceName(2, 0));
    EXPECT_EQ(raf->CreateDeviceName(bmc::eAccessRandom, 0), raf->SimBoard()->DeviceName(0, 0));
    EXPECT_EQ(bmc::ToString(bmc::eBoardRaf), "RAF (175)");
    EXPECT_EQ(bmc::ToString(bmc::eBoardEvrx), "EVRX (235)");
    EXPECT_EQ(bmc::ToString(static_cast<bmc::BoardType_e>(7)), "unknown (7)");
    EXPECT_EQ(raf->GetUri().ToString(), "zemtra://localhost/3");
}

// A local timing that records its own hooks.
class RecordingTiming : public qfeature::LocalTimingSync {
public:
    using qfeature::LocalTimingSync::LocalTimingSync;
    std::vector<std::string> calls;

protected:
    void OnAnnounced() override { calls.push_back("announced"); }
    void OnStartAdjustment() override { calls.push_back("start"); }
    void OnStopAdjustment(bool ok) override { calls.push_back(ok ? "stop ok" : "stop failed"); }
};

class ThrowingBoard : public qapp::ZemtraBoard {
public:
    using qapp::ZemtraBoard::ZemtraBoard;
    bool fail = false;
    bool failAnnounce = false;
    void OnAnnounceSync() override
    {
        if (failAnnounce) {
            throw qstd::Exception("announcement refused", true);
        }
    }
    void OnAdjustedTimestamp(long long, unsigned long long) override
    {
        if (fail) {
            throw qstd::Exception("restart failed", true);
        }
    }
};

TEST(LocalTimingSync, ProtocolStepByStep)
{
    qstd::CaptureScope capture;
    Bench bench(Scenario({3}));
    auto* board = bench.MakeBoard<ThrowingBoard>(1);
    auto* timing = qapp::Create<RecordingTiming>(*board, "local_timing", nullptr, nullptr);
    sim::Board* simBoard = bench.Desc(1)->SimBoard();

    // Not pending: a trigger changes nothing.
    timing->Synchronize(2, 0, simBoard->TriggerCount());
    EXPECT_TRUE(timing->calls.empty());
    EXPECT_EQ(timing->GetSynchronizedLMT(), qfeature::LocalTimingSync::c_unsynchronizedLMT);

    ASSERT_TRUE(timing->AnnounceSync(100000));
    EXPECT_EQ(bench.app.Announced(), 1u);
    EXPECT_TRUE(simBoard->LmtPending());
    // A trigger seen before the clock took the LMT, and other event ids, are ignored.
    timing->Synchronize(2, 42, simBoard->TriggerCount());
    timing->Synchronize(3, 100000, simBoard->TriggerCount() + 1);
    EXPECT_TRUE(timing->IsSyncPending());

    ASSERT_TRUE(simBoard->DeliverTrigger(std::chrono::steady_clock::now()));
    EXPECT_FALSE(simBoard->LmtPending());
    timing->Synchronize(2, 100000, simBoard->TriggerCount());
    EXPECT_EQ(timing->calls, (std::vector<std::string>{"announced", "start", "stop ok"}));
    EXPECT_EQ(bench.app.Synchronized(), 1u);
    EXPECT_EQ(timing->GetSynchronizedLMT(), 100000u);
    EXPECT_GE(timing->GetCurrentLmt(), 100000u);

    // A trigger that carries another LMT than the announced one fails the adjustment.
    timing->calls.clear();
    ASSERT_TRUE(timing->AnnounceSync(200000));
    ASSERT_TRUE(simBoard->DeliverTrigger(std::chrono::steady_clock::now()));
    timing->Synchronize(2, 123, simBoard->TriggerCount());
    EXPECT_EQ(timing->calls, (std::vector<std::string>{"announced", "stop failed"}));
    EXPECT_EQ(bench.app.Synchronized(), 1u);
    EXPECT_TRUE(capture.LoggedSubstring("carries LMT 123 instead of the announced 200000"));

    // A failing board hook fails the adjustment too.
    timing->calls.clear();
    board->fail = true;
    ASSERT_TRUE(timing->AnnounceSync(300000));
    ASSERT_TRUE(simBoard->DeliverTrigger(std::chrono::steady_clock::now()));
    timing->Synchronize(2, 300000, simBoard->TriggerCount());
    EXPECT_EQ(timing->calls, (std::vector<std::string>{"announced", "start", "stop failed"}));
    EXPECT_TRUE(capture.Logged("Timestamp adjustment of raf3 failed: restart failed"));
    EXPECT_EQ(bench.app.Synchronized(), 1u);
    EXPECT_EQ(bench.app.Announced(), 3u);

    // A board that refuses the announcement: it passes out, nothing stays pending.
    timing->calls.clear();
    board->failAnnounce = true;
    EXPECT_THROW(timing->AnnounceSync(400000), qstd::Exception);
    EXPECT_FALSE(timing->IsSyncPending());
    EXPECT_FALSE(simBoard->LmtPending());
    ASSERT_TRUE(simBoard->DeliverTrigger(std::chrono::steady_clock::now()));
    timing->Synchronize(2, 400000, simBoard->TriggerCount());
    EXPECT_TRUE(timing->calls.empty());
    EXPECT_EQ(bench.app.Announced(), 3u);
    EXPECT_EQ(bench.app.Synchronized(), 1u);
}

// The board's events are read late (a restart runs on their reader) while
// announcements follow each other: the first synchronisation completes and
// its restart runs, more announcements come, each taken at a trigger with
// stale triggers between them. Only the trigger that took the last LMT
// completes, however many announcements back the stale ones lie and whatever
// LMT they carry; when its event is lost, the next trigger completes.
TEST(LocalTimingSync, OnlyTheTriggerThatTookTheLastLmtCompletesAReaderThatLags)
{
    struct Case {
        std::vector<unsigned long long> lmts;
        bool takingEventLost;
    };
    const Case cases[] = {
        {{100000, 500000}, false},
        {{1, 2, 0}, false},
        {{1, 2, 3, 0}, false},
        // The trigger that took an earlier 5 carries the LMT announced last.
        {{5, 5, 5}, false},
        {{1, 2, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lmts) + (c.takingEventLost ? " lost" : ""));
        qstd::CaptureScope capture;
        Bench bench(Scenario({3}));
        auto* board = bench.MakeBoard<ThrowingBoard>(1);
        auto* timing = qapp::Create<RecordingTiming>(*board, "local_timing", nullptr, nullptr);
        sim::Board* simBoard = bench.Desc(1)->SimBoard();
        struct Event {
            unsigned long long lmt;
            unsigned long long count;
        };
        std::vector<Event> queued;
        const auto trigger = [&] {
            const auto t = std::chrono::steady_clock::now();
            ASSERT_TRUE(simBoard->DeliverTrigger(t));
            queued.push_back({simBoard->Clock().At(t), simBoard->TriggerCount()});
        };

        ASSERT_TRUE(timing->AnnounceSync(c.lmts[0]));
        trigger();
        timing->Synchronize(2, queued.back().lmt, queued.back().count);
        ASSERT_EQ(timing->GetSynchronizedLMT(), c.lmts[0]);
        queued.clear();
        for (size_t i = 1; i < c.lmts.size(); ++i) {
            trigger();
            ASSERT_TRUE(timing->AnnounceSync(c.lmts[i]));
            trigger();
        }
        const unsigned long long taking = simBoard->TriggerCount();
        ASSERT_EQ(simBoard->TriggerThatTookLmt(), taking);
        if (c.takingEventLost) {
            queued.pop_back();
        }
        trigger();

        timing->calls.clear();
        for (const Event& e : queued) {
            const bool expected = e.count < taking + (c.takingEventLost ? 1 : 0);
            timing->Synchronize(2, e.lmt, e.count);
            EXPECT_EQ(timing->IsSyncPending(), expected) << "trigger " << e.count;
        }
        EXPECT_EQ(timing->calls, (std::vector<std::string>{"start", "stop ok"}));
        EXPECT_EQ(timing->GetSynchronizedLMT(), c.lmts.back());
        EXPECT_FALSE(capture.LoggedSubstring("instead of the announced"));
        EXPECT_EQ(bench.app.Announced(), 2u);
        EXPECT_EQ(bench.app.Synchronized(), 2u);
    }
}

TEST(LocalTimingSync, AdjustmentReportsTheClockStep)
{
    Bench bench(Scenario({3}));
    struct DeltaBoard : qapp::ZemtraBoard {
        using qapp::ZemtraBoard::ZemtraBoard;
        long long delta = 0;
        void OnAdjustedTimestamp(long long d, unsigned long long) override { delta = d; }
    };
    auto* board = bench.MakeBoard<DeltaBoard>(1);
    auto* timing = qapp::Create<qfeature::LocalTimingSync>(*board, "local_timing", nullptr, nullptr);
    sim::Board* simBoard = bench.Desc(1)->SimBoard();
    const unsigned long long now = simBoard->Clock().Now();
    const unsigned long long target = now + 1000000000ull;
    ASSERT_TRUE(timing->AnnounceSync(target));
    ASSERT_TRUE(simBoard->DeliverTrigger(std::chrono::steady_clock::now()));
    timing->Synchronize(2, target, simBoard->TriggerCount());
    // The clock stepped forward by about 10^9 periods (less the time that passed).
    EXPECT_GT(board->delta, 999000000ll);
    EXPECT_LE(board->delta, 1000000000ll);
}

// A signal source that records its timestamp hooks.
class HookSource : public qsig::SignalSource {
public:
    explicit HookSource(const std::string& name) : qsig::SignalSource(name, "raf3") {}
    std::size_t AtomSize() const override { return 4; }
    std::size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(int); }
    const std::type_info& BaseType() const override { return typeid(int); }
    std::size_t Length() const override { return 1; }
    std::vector<std::string> GetComponentNames() const override { return {"v"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessStream; }
    void OnAnnouncedTimestampChange() override { calls.push_back("announced"); }
    void OnAdjustedTimestamp(long long, unsigned long long lmt) override
    {
        calls.push_back("adjusted " + std::to_string(lmt));
    }
    std::vector<std::string> calls;
};

mci::TreeNodePtr AddSignal(const mci::TreeNodePtr& parent, const std::string& name, qsig::SignalSource* source)
{
    auto node = std::make_shared<qreg::SignalNode>(name, source);
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    node->Init();
    return parent->Add(node);
}

TEST(LocalTimingSync, ExportedSignalSourcesFollowTheSynchronisation)
{
    Bench bench(Scenario({3}));
    auto* board = bench.MakeBoard(1);
    auto* timing = qapp::Create<qfeature::LocalTimingSync>(*board, "local_timing", nullptr, nullptr);
    HookSource top("event"), deep("adc"), withdrawn("sa");
    AddSignal(board->GetTreeNode(), "event", &top);
    mci::TreeNodePtr signals = board->GetTreeNode()->Add(qapp::MakeBranchNode("signals", 0));
    AddSignal(signals, "adc", &deep);
    auto gone = std::dynamic_pointer_cast<qreg::SignalNode>(AddSignal(signals, "sa", &withdrawn));
    ASSERT_TRUE(gone);
    gone->DetachSource();

    ASSERT_TRUE(timing->AnnounceSync(900));
    ASSERT_TRUE(bench.Desc(1)->SimBoard()->DeliverTrigger(std::chrono::steady_clock::now()));
    timing->Synchronize(2, 900, bench.Desc(1)->SimBoard()->TriggerCount());
    const std::vector<std::string> expected = {"announced", "adjusted 900"};
    EXPECT_EQ(top.calls, expected);
    EXPECT_EQ(deep.calls, expected);
    EXPECT_TRUE(withdrawn.calls.empty());
    EXPECT_EQ(qapp::ForEachSignalSource(board->GetTreeNode(), [](qsig::SignalSource&) {}), 2u);
}

TEST(TimingBoard, DevicesOfTheTimingBoard)
{
    const std::string unlocked =
        "<chassis><board type=\"62\" name=\"tim\" slot=\"1\"><fault name=\"no_mc_pll\"/></board></chassis>";
    Bench bench(Scenario({}));
    auto* tim = bench.MakeBoard<qboard::TimBoard>(0, qboard::TimBoard::c_evtDesc,
                                                  qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr, false);
    EXPECT_EQ(tim->GetIdSpecific()->GetADCFrequency(), 117440043u);
    ASSERT_NE(tim->GetMcPll(), nullptr);
    EXPECT_TRUE(tim->GetMcPll()->SetMcPrescaler(1000));
    EXPECT_EQ(tim->SimTiming()->McPrescaler(), 1000u);
    EXPECT_FALSE(tim->GetMcPll()->SetMcPrescaler(0));
    EXPECT_EQ(tim->SimTiming()->McPrescaler(), 1000u);
    EXPECT_TRUE(tim->GetDac().SetValueA(40000));
    EXPECT_EQ(tim->SimTiming()->Dac(), 40000u);
    EXPECT_FALSE(tim->GetDac().SetValueA(0x10000));
    EXPECT_EQ(tim->SimTiming()->Dac(), 40000u);
    tim->SetTrigSourceExt();
    EXPECT_TRUE(tim->IsTrigSourceExt());
    tim->SetTrigSourceOff();
    EXPECT_FALSE(tim->IsTrigSourceExt());
    ASSERT_NE(tim->GetEventStream(), nullptr);
    EXPECT_EQ(tim->GetEventStream()->GetDeviceName(), bench.Desc(0)->CreateDeviceName(bmc::eAccessEvents, 0));

    Bench noPll(unlocked);
    auto* bare = noPll.MakeBoard<qboard::EvrxBoard>(0, qboard::TimBoard::c_evtDesc,
                                                    qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr);
    EXPECT_EQ(bare->GetMcPll(), nullptr);
    bare->SetBackplaneT0Switch(1);
    EXPECT_EQ(bare->GetBackplaneT0Switch(), 1u);
}

TEST(TimingBoard, TriggerGenerationRefusesTriggersAboveThree)
{
    TestApplication app;
    std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration> nodes = {{1, "source", 14}};
    auto* gen = qapp::Create<qfeature::TimTriggerGeneration>(
        app, "trigger_generation", qfeature::TimTriggerGeneration::c_trigConfigurations, &nodes);
    EXPECT_TRUE(gen->SetTriggerSource(1, 1));
    EXPECT_TRUE(gen->SetTriggerDebouncer(3, 65));
    EXPECT_FALSE(gen->SetTriggerSource(4, 1));
    EXPECT_FALSE(gen->SetTriggerDebouncer(4, 1));
    unsigned v = 0;
    EXPECT_TRUE(gen->GetTriggerSource(1, v));
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(gen->GetTriggerDebouncer(3, v));
    EXPECT_EQ(v, 65u);
    EXPECT_FALSE(gen->GetTriggerCode(4, v));
    EXPECT_TRUE(gen->SetLemoControl(33));
    EXPECT_TRUE(gen->GetLemoControl(v));
    EXPECT_EQ(v, 33u);

    mci::TreeNodePtr node = qapp::MakeBranchNode("trigger_generation", 0);
    gen->OnRegistryAdd(node);
    ASSERT_TRUE(node->Find("trigger1/source"));
    EXPECT_EQ(node->Find("trigger1/source")->GetFlags(), 14u);
    EXPECT_EQ(node->Find("trigger2/source")->GetFlags(), 6u);
}

TEST(Features, TsmRegistersAndHistoryBufferControlWords)
{
    Bench bench(Scenario({3}));
    auto* board = bench.MakeBoard(1);
    auto* tsm = board->RegisterObject<qfeature::Tsm>(0x500000, "tsm");
    volatile FPGAMem_t* block = board->MapRegisters(0x500000, 0x18);
    fpga::Write32(block, 0x0C, 4096);
    unsigned d = 0;
    EXPECT_TRUE(tsm->GetDuration(d));
    EXPECT_EQ(d, 4096u);
    EXPECT_TRUE(tsm->SetEnabled(true));
    EXPECT_TRUE(tsm->SetContinuous(true));
    EXPECT_TRUE(tsm->SetContinuous(false));
    EXPECT_EQ(fpga::Read32(block, 0), 1u);

    volatile FPGAMem_t* hb = board->MapRegisters(0x400000, 0xF8);
    std::vector<qfeature::HistoryBuffer::tControl> controls = {
        {hb + 160, qfeature::HistoryBuffer::eStartImmediately},
        {hb + 192, qfeature::HistoryBuffer::eStartOnEvent},
    };
    auto* history = qapp::Create<qfeature::HistoryBuffer>(*board, "hb", controls);
    EXPECT_FALSE(history->IsEnabled());
    history->AssureEnable();
    EXPECT_TRUE(history->IsEnabled());
    EXPECT_EQ(fpga::Read64(hb, 160), 1u);
    EXPECT_EQ(fpga::Read64(hb, 192), 4u);
    history->Disable();
    EXPECT_FALSE(history->IsEnabled());
    EXPECT_EQ(fpga::Read64(hb, 160), 2u);
    EXPECT_EQ(fpga::Read64(hb, 192), 2u);
}

// Two clients switch the state machine's two control bits at once, each
// reading its bit back: neither undoes the other's write.
TEST(FeaturesConcurrency, TsmControlBitsSetAtOnceKeepEachOther)
{
    Bench bench(Scenario({3}));
    auto* tsm = bench.MakeBoard(1)->RegisterObject<qfeature::Tsm>(0x500000, "tsm");
    using Setter = bool (qfeature::Tsm::*)(const bool&);
    using Getter = bool (qfeature::Tsm::*)(bool&) const;
    const std::pair<Setter, Getter> bits[] = {{&qfeature::Tsm::SetEnabled, &qfeature::Tsm::GetEnabled},
                                              {&qfeature::Tsm::SetContinuous, &qfeature::Tsm::GetContinuous}};
    std::atomic<int> lost{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> clients;
    for (const auto& bit : bits) {
        clients.emplace_back([tsm, bit, &lost, &ready] {
            // Both start together.
            ++ready;
            while (ready.load() < 2) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 50000; ++i) {
                const bool on = i % 2 == 0;
                bool read = !on;
                (tsm->*bit.first)(on);
                (tsm->*bit.second)(read);
                lost += read == on ? 0 : 1;
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(0, lost.load());
}

TEST(InstrumentPath, AbsolutePathsResolveUnderTheRoot)
{
    const std::string former = qapp::InstrumentRoot();
    qapp::SetInstrumentRoot("/");
    EXPECT_EQ(qapp::InstrumentPath("/var/opt/zemtra/cfg/x.conf"), "/var/opt/zemtra/cfg/x.conf");
    qapp::SetInstrumentRoot("run/root/");
    EXPECT_EQ(qapp::InstrumentPath("/tmp/lastgood3.dat"), "run/root/tmp/lastgood3.dat");
    EXPECT_EQ(qapp::InstrumentPath("relative/file"), "relative/file");
    EXPECT_EQ(qapp::InstrumentPath(""), "");
    qapp::SetInstrumentRoot("");
    EXPECT_EQ(qapp::InstrumentRoot(), "/");
    qapp::SetInstrumentRoot(former);
}

// A path that a client names is read inside the root; what would climb out
// of it, or is no absolute path a file could have, is refused unread. Only
// what is not there is a missing file.
TEST(InstrumentPath, NamedFilesAreReadInsideTheRootOnly)
{
    const std::string former = qapp::InstrumentRoot();
    TempDir dir;
    ::mkdir((dir.Path() + "/root").c_str(), 0755);
    ::mkdir((dir.Path() + "/root/cfg").c_str(), 0755);
    dir.File("root/cfg/f.conf", "inside");
    const std::string outside = dir.File("f.conf", "outside");
    ASSERT_EQ(0, ::symlink("/mnt/f.conf", (dir.Path() + "/root/cfg/link").c_str()));
    const struct {
        std::string root;
        std::string path;
        int error;
        const char* text; // read, or the reason of the refusal
    } cases[] = {
        {dir.Path() + "/root", "/cfg/f.conf", 0, "inside"},
        {dir.Path() + "/root", "/cfg/../cfg/./f.conf", 0, "inside"},
        {dir.Path() + "/root", "/cfg/../../f.conf", EACCES, "leads out of the instrument root"},
        {dir.Path() + "/root", "cfg/f.conf", EINVAL, "not an absolute path"},
        {dir.Path() + "/root", "", EINVAL, "not an absolute path"},
        {dir.Path() + "/root", "/" + std::string(4095, 'x'), ENAMETOOLONG, "longer than 4095 characters"},
        {dir.Path() + "/root", outside, ENOENT, "No such file or directory"},
        // Missing, as on a mount not made yet: the folder, a link's target.
        {dir.Path() + "/root", "/mnt/f.conf", ENOENT, "No such file or directory"},
        {dir.Path() + "/root", "/cfg/link", ENOENT, "No such file or directory"},
        {dir.Path() + "/root", "/cfg", EINVAL, "not a regular file"},
        // The instrument's own root.
        {"/", outside, 0, "outside"},
        {"/", "/.." + outside, EACCES, "leads out of the instrument root"},
    };
    for (const auto& c : cases) {
        qapp::SetInstrumentRoot(c.root);
        std::string text;
        std::string reason;
        EXPECT_EQ(c.error, qapp::ReadInstrumentFile(c.path, 100, text, reason)) << c.path.substr(0, 80);
        EXPECT_EQ(c.text, c.error == 0 ? text : reason) << c.path.substr(0, 80);
        EXPECT_EQ(c.error == ENOENT, qapp::InstrumentFileMissing(c.path)) << c.path.substr(0, 80);
    }
    qapp::SetInstrumentRoot(former);
}

} // namespace
