// The software PLL feature on a simulated timing board: its converter (steps,
// time-outs, unlock requests), its nodes and hooks, and the whole loop with
// its "pll" stream and DAC output locking the simulated oscillator.
#include "app/phase_locked_loop.h"
#include "app/pll_output.h"

#include "mci/factory.h"
#include "platform/bmc/board.h"
#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qboard/mc_pll.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/tim_trigger_generation.h"
#include "platform/qsig/event_filter.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/capture.h"
#include "qsig/synthetic_stream.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

// The application side of the PLL, recording every call (from any thread).
class FakeHooks : public PllHooks {
public:
    unsigned GetDefAdcFreq() const override { return 117440043u; }
    double GetDefRfFreq() const override { return 499654000.0; }
    double GetDefIfFreq() const override { return 29360010.75; }
    double GetDefNCOFreq() const override { return 0.0; }
    unsigned GetDefTbtDecimation() const override { return tbt; }
    unsigned GetDefFaDecimation() const override { return 5000u; }
    unsigned GetDefHarmonicNumber() const override { return 416u; }
    bool SetNCOFreq(unsigned value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nco.push_back(value);
        return true;
    }
    void SetSyncStateMachines(SyncStateMachine::State_e state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.push_back(state == SyncStateMachine::NoSync ? "sync:NoSync" : "sync:other");
    }
    void SetPllStatusLocked(bool locked) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.push_back(locked ? "status:1" : "status:0");
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return calls;
    }
    std::vector<unsigned> Nco()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return nco;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.clear();
        nco.clear();
    }

    unsigned tbt = 220u;

private:
    std::mutex m_mutex;
    std::vector<std::string> calls;
    std::vector<unsigned> nco;
};

class TestApp : public qapp::ZemtraApplication {
public:
    TestApp() : qapp::ZemtraApplication("pll_test", false, false) {}
};

// A timing board over the default simulated chassis, with the PLL as its child.
struct Rig {
    std::unique_ptr<sim::Chassis> chassis = sim::Chassis::Default();
    bmc::Board desc{bmc::eBoardTim, "tim", bmc::Uri("localhost", "1"), chassis->Timing()};
    std::shared_ptr<TestApp> app = std::make_shared<TestApp>();
    qboard::TimBoard* tim = nullptr;
    FakeHooks hooks;
    PhaseLockedLoop* pll = nullptr;
    mci::TreeNodePtr node = mci::factory::Create<qreg::RegNode>("pll", 0);

    explicit Rig(bool withNodes = true)
    {
        tim = qapp::Create<qboard::TimBoard>(*app, &desc, qboard::TimBoard::c_evtDesc,
                                             qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr, false);
        pll = qapp::Create<PhaseLockedLoop>(*tim, std::string("pll"), static_cast<PllHooks*>(&hooks));
        if (withNodes) {
            pll->OnRegistryAdd(node);
        }
    }
    ~Rig() { chassis->Stop(); }

    uint64_t Spacing() const { return static_cast<uint64_t>(pll->GetLaw().Period()); }

    PllStruct Step(uint64_t ts, qsig::SuccessCode_e code = qsig::eSuccess)
    {
        qsig::Array<qsig::EventTraits> in(qsig::EventTraits(), 1);
        in[0].id = 16;
        in[0].lmt = ts;
        return Convert(in, code);
    }
    PllStruct Timeout()
    {
        qsig::Array<qsig::EventTraits> in(qsig::EventTraits(), 0);
        return Convert(in, qsig::eTimeout);
    }
    // The atom the converter leaves for the stream (a default one, with
    // published false, when it leaves none).
    PllStruct Convert(const qsig::Array<qsig::EventTraits>& in, qsig::SuccessCode_e code)
    {
        qsig::Array<PllTraits> out(PllTraits(), 1);
        EXPECT_EQ((*pll)(in, code, out), qsig::eSuccess);
        published = out.GetLength() == 1;
        return published ? out[0] : PllStruct();
    }
    bool published = false;
    // Seeds and locks with errors 0 and 1 (the first fine step locks).
    void Lock(uint64_t t0 = 1000000)
    {
        Step(t0);
        Step(t0 + Spacing() - 1);
    }
    bool NodeLocked()
    {
        bool v = false;
        EXPECT_TRUE(mci::Node(node->GetChild("locked"), mci::c_noRelPath).GetValue(v, 0));
        return v;
    }
};

// Before any step has computed a DAC code, an unlock publishes no atom: the
// output would otherwise drive the oscillator to a code of 0, its rail.
TEST(PhaseLockedLoop, UnlockBeforeAnyComputedCodePublishesNothing)
{
    qstd::CaptureScope capture;
    Rig rig;
    rig.Timeout();
    EXPECT_TRUE(capture.Traced("PLL: Timeout..."));
    EXPECT_TRUE(capture.Traced("PLL: Unlocked..."));
    EXPECT_FALSE(rig.published);
    // Not locked before: no hook is told.
    EXPECT_TRUE(rig.hooks.Calls().empty());
    ASSERT_TRUE(rig.pll->SetVcxoOffset(10)); // the next step is an unlock
    rig.Step(1000);
    EXPECT_FALSE(rig.published);

    // The first step computes a code; from then on an unlock holds it.
    const PllStruct first = rig.Step(2000);
    ASSERT_TRUE(rig.published);
    EXPECT_EQ(first.Dac, 22535.0);
    const PllStruct out = rig.Timeout();
    ASSERT_TRUE(rig.published);
    EXPECT_EQ(out.Dac, 22535.0);
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_EQ(out.IsCoarse, 1.0);
}

TEST(PhaseLockedLoop, EmptyInputIsATimeoutWhateverTheCode)
{
    qstd::CaptureScope capture;
    Rig rig;
    rig.Lock();
    ASSERT_TRUE(rig.pll->IsLocked());
    qsig::Array<qsig::EventTraits> empty(qsig::EventTraits(), 0);
    PllStruct out;
    EXPECT_NO_THROW(out = rig.Convert(empty, qsig::eIncompleteData));
    EXPECT_TRUE(capture.Traced("PLL: Timeout..."));
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_FALSE(rig.pll->IsLocked());
    EXPECT_NO_THROW(rig.Convert(empty, qsig::eSuccess));
}

TEST(PhaseLockedLoop, LockingSetsTheNodeAndTellsTheApplicationOnce)
{
    qstd::CaptureScope capture;
    Rig rig;
    EXPECT_FALSE(rig.NodeLocked());
    rig.hooks.Clear();
    rig.Step(5000);
    EXPECT_FALSE(rig.pll->IsLocked());
    const PllStruct out = rig.Step(5000 + rig.Spacing() - 1);
    EXPECT_EQ(out.Lock, 1.0);
    EXPECT_EQ(out.ClkGood, 1.0);
    EXPECT_TRUE(rig.pll->IsLocked());
    EXPECT_TRUE(rig.NodeLocked());
    EXPECT_TRUE(capture.Traced("PLL: Locked..."));
    EXPECT_EQ(rig.hooks.Calls(), (std::vector<std::string>{"status:1"}));
    bool clkGood = false;
    EXPECT_TRUE(mci::Node(rig.node->GetChild("clk_good"), mci::c_noRelPath).GetValue(clkGood, 0));
    EXPECT_TRUE(clkGood);

    // Further fine steps do not lock again.
    rig.Step(5000 + 2 * rig.Spacing() - 1);
    EXPECT_EQ(rig.hooks.Calls().size(), 1u);
}

TEST(PhaseLockedLoop, UnlockWhileLockedDropsTheBoardsThenTheStatus)
{
    Rig rig;
    rig.Lock();
    rig.hooks.Clear();
    const int32_t dac = rig.pll->GetLaw().m_dac;
    const PllStruct out = rig.Timeout();
    EXPECT_EQ(out.Dac, static_cast<double>(dac));
    EXPECT_FALSE(rig.NodeLocked());
    EXPECT_EQ(rig.hooks.Calls(), (std::vector<std::string>{"sync:NoSync", "status:0"}));
    // A second unlock while unlocked calls no hook.
    rig.Timeout();
    EXPECT_EQ(rig.hooks.Calls().size(), 2u);
}

TEST(PhaseLockedLoop, VcxoOffsetChangeRetunesAtOnceAndUnlocksAtTheNextStep)
{
    qstd::CaptureScope capture;
    Rig rig;
    rig.pll->OnPostConfig();
    rig.Lock();
    rig.hooks.Clear();

    EXPECT_TRUE(rig.pll->SetVcxoOffset(0)); // unchanged: nothing happens
    EXPECT_TRUE(rig.hooks.Nco().empty());

    EXPECT_TRUE(rig.pll->SetVcxoOffset(-500));
    ASSERT_EQ(rig.hooks.Nco().size(), 1u);
    const unsigned uncompensated = rig.hooks.Nco()[0];
    // The compensated increment is larger: the offset is negative.
    EXPECT_TRUE(rig.pll->SetCompensateOffset(false));
    ASSERT_EQ(rig.hooks.Nco().size(), 2u);
    EXPECT_GT(uncompensated, rig.hooks.Nco()[1]);
    EXPECT_EQ(rig.hooks.Nco()[1], static_cast<unsigned>(29360010.75 * 4294967296.0 / 117440043.0));

    capture.Sink().Clear();
    const PllStruct out = rig.Step(123456789);
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_FALSE(capture.Traced("PLL: Timeout..."));
    EXPECT_TRUE(capture.Traced("PLL: Unlocked..."));
    EXPECT_EQ(rig.pll->GetLaw().Period(), 220u * rig.pll->GetLaw().m_dPll - 500u);

    // Out of its range the node refuses the value.
    EXPECT_FALSE(rig.pll->SetVcxoOffset(501));
    int offset = 0;
    rig.pll->GetVcxoOffset(offset);
    EXPECT_EQ(offset, -500);
}

TEST(PhaseLockedLoop, PostConfigTakesTheClockDataAndArmsTrigger3)
{
    Rig rig;
    rig.pll->OnPostConfig();
    unsigned dpll = 0;
    rig.pll->GetDpll(dpll);
    EXPECT_EQ(dpll, 53381u);
    EXPECT_EQ(rig.tim->GetMcPll()->GetMcPrescaler(), 53381u);
    EXPECT_DOUBLE_EQ(rig.pll->GetLaw().m_fEvent, 117440043.0 / (53381.0 * 220.0));
    EXPECT_EQ(rig.hooks.Calls().back(), "status:0");
    unsigned source = 99;
    ASSERT_TRUE(rig.tim->GetTriggerGeneration()->GetTriggerSource(3, source));
    EXPECT_EQ(source, 1u);
    rig.pll->OnShutdown();
    ASSERT_TRUE(rig.tim->GetTriggerGeneration()->GetTriggerSource(3, source));
    EXPECT_EQ(source, 0u);
}

TEST(PhaseLockedLoop, DecimationIsRaisedToTheMinimumAndBoundedAbove)
{
    qstd::CaptureScope capture;
    Rig rig;
    EXPECT_TRUE(rig.pll->SetDpll(999));
    EXPECT_TRUE(capture.Traced("Dpll 999 is increased to minimal allowed value."));
    unsigned dpll = 0;
    rig.pll->GetDpll(dpll);
    EXPECT_EQ(dpll, 1000u);
    EXPECT_EQ(rig.tim->GetMcPll()->GetMcPrescaler(), 1000u);
    EXPECT_DOUBLE_EQ(rig.pll->GetLaw().m_fEvent, 117440043.0 / (1000.0 * 220.0));

    EXPECT_FALSE(rig.pll->SetDpll(PhaseLockedLoop::c_max_dpll + 1)); // refused by the validator
    EXPECT_FALSE(rig.pll->SetDpll(20000000u));
    rig.pll->GetDpll(dpll);
    EXPECT_EQ(dpll, 1000u);
    EXPECT_TRUE(rig.pll->SetDpll(PhaseLockedLoop::c_max_dpll));
    EXPECT_EQ(rig.tim->GetMcPll()->GetMcPrescaler(), PhaseLockedLoop::c_max_dpll);
    EXPECT_DOUBLE_EQ(rig.pll->GetLaw().m_fEvent, 117440043.0 / (double(PhaseLockedLoop::c_max_dpll) * 220.0));
}

// A configuration load before OnPostConfig retunes nothing (the increment
// would be 0); OnPostConfig retunes once with the real increment.
TEST(PhaseLockedLoop, NcoIsRetunedOnlyOnceTheClockDataAreKnown)
{
    Rig rig;
    rig.hooks.Clear();
    EXPECT_TRUE(rig.pll->SetCompensateOffset(true));
    EXPECT_TRUE(rig.pll->SetVcxoOffset(20));
    EXPECT_TRUE(rig.hooks.Nco().empty());
    rig.pll->OnPostConfig();
    ASSERT_EQ(rig.hooks.Nco().size(), 1u);
    EXPECT_NE(rig.hooks.Nco()[0], 0u);
    EXPECT_TRUE(rig.pll->SetCompensateOffset(false));
    ASSERT_EQ(rig.hooks.Nco().size(), 2u);
    EXPECT_EQ(rig.hooks.Nco()[1], static_cast<unsigned>(29360010.75 * 4294967296.0 / 117440043.0));
}

TEST(PhaseLockedLoop, ZeroDecimationsAreReportedUnderTheLoopsNames)
{
    qstd::CaptureScope capture;
    Rig rig;
    rig.hooks.tbt = 0;
    rig.pll->OnPostConfig();
    EXPECT_TRUE(capture.LoggedSubstring("Assertion condition: Dpll != 0"));
    EXPECT_TRUE(capture.LoggedSubstring("Assertion condition: m_dTbt != 0"));
    EXPECT_FALSE(capture.LoggedSubstring("m_law."));
}

TEST(PhaseLockedLoop, NodesCarryTheirDefaultsAndRefuseBadValues)
{
    Rig rig;
    auto read = [&](const std::string& path, double& v) {
        return mci::Node(rig.node->Find(path), mci::c_noRelPath).GetValue(v, 0);
    };
    double v = 0.0;
    ASSERT_TRUE(read("pi_coarse/Kp", v));
    EXPECT_EQ(v, 7.0);
    ASSERT_TRUE(read("pi_coarse/Ki", v));
    EXPECT_EQ(v, 0.5);
    ASSERT_TRUE(read("pi_fine/Kp", v));
    EXPECT_EQ(v, 4.0);
    ASSERT_TRUE(read("pi_fine/Ki", v));
    EXPECT_EQ(v, 0.2);
    EXPECT_TRUE(rig.pll->SetKiFine(0.3));
    ASSERT_TRUE(read("pi_fine/Ki", v));
    EXPECT_EQ(v, 0.3);

    EXPECT_FALSE(rig.pll->SetMode(2));
    EXPECT_TRUE(rig.pll->SetMode(1));
    mci::Node thr(rig.node->GetChild("unlock_thr"), mci::c_noRelPath);
    EXPECT_FALSE(thr.SetValue(0ull, 0));
    EXPECT_FALSE(thr.SetValue(10001ull, 0));
    EXPECT_TRUE(thr.SetValue(10000ull, 0));
    unsigned long long t = 0;
    rig.pll->GetUnlockThr(t);
    EXPECT_EQ(t, 10000u);

    // Children in their order, the branches last.
    std::vector<std::string> names;
    for (const auto& c : rig.node->GetChildren()) {
        names.push_back(c->GetName());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"mode", "locked", "clk_good", "unlock_thr", "vcxo_offset",
                                               "compensate_offset", "decimation", "pi_coarse", "pi_fine"}));
}

TEST(PhaseLockedLoop, HardwareModeFollowsTheMachineClockPll)
{
    qstd::CaptureScope capture;
    Rig rig;
    ASSERT_TRUE(rig.pll->SetMode(1));
    rig.chassis->Timing()->SetMcPllLocked(false);
    PllStruct out = rig.Step(1000);
    ASSERT_TRUE(rig.published);       // the machine-clock PLL is reported ...
    EXPECT_TRUE(std::isnan(out.Dac)); // ... without a code, which the output does not write
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_EQ(out.ClkGood, 1.0);
    rig.chassis->Timing()->SetMcPllLocked(true);
    out = rig.Step(2000);
    EXPECT_TRUE(capture.Traced("PLL: New virgin 2000"));
    EXPECT_EQ(out.Lock, 1.0);
    EXPECT_TRUE(rig.pll->IsLocked());
    // Hardware mode does not tell the application.
    EXPECT_TRUE(rig.hooks.Calls().empty());
    rig.chassis->Timing()->SetMcPllLocked(false);
    out = rig.Step(3000);
    EXPECT_EQ(out.Lock, 0.0);
    EXPECT_FALSE(rig.pll->IsLocked());
    EXPECT_TRUE(rig.hooks.Calls().empty());
}

TEST(PhaseLockedLoop, BoardWithoutMachineClockPllIsRefused)
{
    auto app = std::make_shared<TestApp>();
    auto* tim = qapp::Create<qboard::TimBoard>(*app, nullptr, qboard::TimBoard::c_evtDesc,
                                               qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr, false);
    FakeHooks hooks;
    try {
        PhaseLockedLoop pll(*tim, "pll", &hooks);
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "PLL Cntroller invalid.");
    }
}

TEST(PhaseLockedLoop, AtomComponentNames)
{
    EXPECT_EQ(PllTraits::names.ToVector(),
              (std::vector<std::string>{"Err", "Dac", "Lock", "ClkGood", "Freq", "P", "I", "IsCoarse"}));
}

// --- the whole loop on the running chassis ---------------------------------

using PllSignal = qsig::SyntheticStream<qsig::EventTraits, PllTraits>;

struct RunningLoop : Rig {
    std::unique_ptr<PllSignal> signal;
    std::unique_ptr<PllOutput> output;

    RunningLoop()
    {
        pll->OnPostConfig();
        PhaseLockedLoop* p = pll;
        signal.reset(new PllSignal(
            "pll", tim->GetEventStream(),
            [p](const qsig::Array<qsig::EventTraits>& in, qsig::SuccessCode_e code, qsig::Array<PllTraits>& out) {
                return (*p)(in, code, out);
            },
            qsig::eActive, "tim"));
        auto& queue = signal->GetSourceClient().GetQueue();
        queue.SetTimeout(500);
        queue.SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{16}));
        output.reset(new PllOutput(*signal, tim->GetDac()));
        chassis->Start();
        output->SetEnabled(true);
    }
    ~RunningLoop()
    {
        // The application's order: stream first, then the output.
        signal.reset();
        output.reset();
        chassis->Stop();
    }
    bool WaitLocked(bool locked, milliseconds timeout)
    {
        return zvtest::WaitFor([this, locked] { return pll->IsLocked() == locked; }, timeout);
    }
};

TEST(PhaseLockedLoopConcurrency, LocksTheSimulatedOscillatorUnlocksOnSilenceAndRelocks)
{
    qstd::CaptureScope capture(false, true, qstd::TraceInfo);
    RunningLoop loop;

    // A client of the stream sees the locked atoms.
    qsig::StreamClient<PllTraits> client(loop.signal.get(), "watcher", 64);
    ASSERT_EQ(client.Open(), qsig::eSuccess);

    ASSERT_TRUE(loop.WaitLocked(true, milliseconds(8000)));
    EXPECT_TRUE(loop.NodeLocked());
    bool sawLock = false;
    for (int i = 0; i < 200 && !sawLock; ++i) {
        PllStruct atom;
        ASSERT_EQ(client.Read(atom), qsig::eSuccess);
        sawLock = atom.Lock == 1.0;
    }
    EXPECT_TRUE(sawLock);
    // The DAC follows the loop's code.
    EXPECT_NE(loop.chassis->Timing()->Dac(), 0u);

    // Silence: the loop holds until the 500 ms source time-out, then unlocks.
    const auto silent = std::chrono::steady_clock::now();
    loop.chassis->Timing()->SetOscillatorSilent(true);
    ASSERT_TRUE(loop.WaitLocked(false, milliseconds(3000)));
    EXPECT_GE(std::chrono::steady_clock::now() - silent, milliseconds(350));
    EXPECT_TRUE(capture.Traced("PLL: Timeout..."));

    loop.chassis->Timing()->SetOscillatorSilent(false);
    EXPECT_TRUE(loop.WaitLocked(true, milliseconds(8000)));
    client.Close();
}

TEST(PhaseLockedLoopConcurrency, NodeReadsAndWritesWhileTheLoopRuns)
{
    RunningLoop loop;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            bool locked = false;
            loop.pll->GetLock(locked);
            unsigned long long thr = 0;
            loop.pll->GetUnlockThr(thr);
            double kp = 0;
            loop.pll->GetKpCoarse(kp);
            bool clkGood = false;
            mci::Node(loop.node->GetChild("clk_good"), mci::c_noRelPath).GetValue(clkGood, 0);
            mci::Node(loop.node->GetChild("locked"), mci::c_noRelPath).GetValue(locked, 0);
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(loop.pll->SetKpFine(4.0));
        EXPECT_TRUE(loop.pll->SetKiCoarse(0.5));
        std::this_thread::sleep_for(milliseconds(10));
    }
    loop.pll->OnPostConfig();
    stop = true;
    reader.join();
}

// A controller selected from outside is taken under the loop's mutex; the
// running law leaves a forced coarse controller for the fine one again.
TEST(PhaseLockedLoopConcurrency, ControllerSelectedWhileTheLoopRuns)
{
    RunningLoop loop;
    ASSERT_TRUE(loop.WaitLocked(true, milliseconds(8000)));
    for (int i = 0; i < 20; ++i) {
        loop.pll->SetCtrlType(PllControlLaw::eCoarse);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(zvtest::WaitFor([&] { return loop.pll->GetLaw().m_ctrl == PllControlLaw::eFine; }, milliseconds(8000)));
    EXPECT_THROW(loop.pll->SetCtrlType(2), qstd::Exception);
}

} // namespace
