// The application on simulated chassis: refused chassis, start-up with the
// LMT synchronisation, its register nodes, the trigger settings, the PLL's
// lock, unlock and relock, and later LMT synchronisations.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/signals.h"
#include "app/fa_sync_controller.h"
#include "app/gdx_board.h"
#include "app/local_timing_raf.h"
#include "app/raf_board.h"
#include "platform/qboard/tim_board.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"
#include "qsig/stream_client.h"
#include "sim/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using apptest::CountLogged;
using apptest::CountLoggedContaining;
using apptest::DataFile;
using apptest::RunningApp;
using zvtest::WaitFor;
using namespace std::chrono_literals;

namespace {

std::vector<qfeature::LocalTimingSync*> AllLocalTimings(VunaApplication& app)
{
    std::vector<qfeature::LocalTimingSync*> timings;
    for (RafBoard* raf : app.GetRafBoards()) {
        timings.push_back(raf->GetLocalTiming());
    }
    if (GdxBoard* gdx = app.GetGdxBoard()) {
        timings.push_back(gdx->GetLocalTiming());
    }
    return timings;
}

struct Refusal {
    const char* scenario;
    std::vector<std::string> messages;
};

TEST(VunaApplicationChassis, RefusesChassisItCannotServe)
{
    const std::vector<Refusal> refusals = {
        {"two_timing_boards.xml", {"Application failure: Vuna application expects exactly one timing board."}},
        {"two_tim_boards.xml", {"Application failure: Vuna application expects exactly one timing board."}},
        {"no_raf_board.xml", {"Application failure: No RAF board present. Vuna application needs at least one."}},
        {"mixed_raf_settings.xml",
         {"RAF board - raf4 application settings does not match with RAF board - raf3 settings.",
          "RAF board - raf5 application settings does not match with RAF board - raf3 settings.",
          "Application failure: Mixed Raf board configuration."}},
        {"adc_mismatch.xml",
         {"RAF board ADC frequency - 100000000 does not match with TIM board ADC frequency - 117440043.",
          "Application failure: RAF board ADC frequency does not match with TIM board."}},
        // The chassis loader refuses it before the application is asked.
        {"no_timing_board.xml",
         {"Application failure: Scenario " + DataFile("no_timing_board.xml") + " has no timing board."}},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.scenario);
        qstd::CaptureScope capture(true, false);
        RunningApp run(DataFile(r.scenario));
        ASSERT_TRUE(WaitFor([&run] { return run.Ended(); }, 10s));
        EXPECT_FALSE(run.Stop());
        for (const std::string& m : r.messages) {
            EXPECT_EQ(1u, CountLogged(capture, m)) << m;
        }
        // Nothing of the PLL was made for a refused chassis.
        EXPECT_EQ(nullptr, run.App().GetPllSignal());
        EXPECT_EQ(nullptr, run.App().GetPllOutput());
    }
}

TEST(VunaApplicationChassis, UntriggeredBoardTimesOutTheStartSynchronisation)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run(DataFile("untriggered_raf.xml"));
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();

    // The board of unknown type made no object.
    EXPECT_EQ(nullptr, app.GetBoard(static_cast<bmc::BoardType_e>(99)));
    EXPECT_EQ(2u, app.GetRafBoards().size());
    EXPECT_EQ(3u, app.GetAllBoards().size());

    EXPECT_EQ(1u, CountLogged(capture, "Not all boards get synchronized in expected timeout  1000 ms."));
    // raf3 took the LMT but its restart waits in vain (about 2 s of polls) for
    // raf5's FA chain.
    EXPECT_TRUE(WaitFor([&capture] { return capture.Traced("raf3 gets synchronized"); }, 20s));
    EXPECT_TRUE(capture.Traced("Timeout waiting for all FA chains stopped."));
    EXPECT_FALSE(capture.Traced("raf5 gets synchronized"));
    EXPECT_EQ(0u, app.GetRafBoards()[0]->GetLocalTiming()->GetSynchronizedLMT());
    EXPECT_TRUE(app.GetRafBoards()[1]->GetLocalTiming()->IsSyncPending());
    // Start-up went on regardless.
    EXPECT_TRUE(app.GetTim()->IsTrigSourceExt());
    EXPECT_EQ(0x5u, app.GetPresentRafs());
    // raf3's unsettled trigger pattern is corrected at the first pass and
    // settled after the trigger that follows; raf5 sees no trigger, so its
    // correction never shows and the loop gives up after its 64 passes.
    EXPECT_EQ(1u, CountLoggedContaining(capture, "on RAF boardraf3 iteration: "));
    EXPECT_EQ(1u, CountLogged(capture, "Could not adjust trigger oversampling on RAF boardraf3 iteration: 0"));
    EXPECT_EQ(64u, CountLoggedContaining(capture, "on RAF boardraf5 iteration: "));
    EXPECT_EQ(1u, CountLogged(capture, "Could not adjust trigger oversampling on RAF boardraf5 iteration: 63"));
    EXPECT_EQ(1u, CountLogged(capture, "Could not adjust trigger oversampling on RAF board(s). "));

    // Trigger 2's debouncer follows the longer ADC duration when twice it
    // exceeds a twentieth of the ADC frequency.
    uint32_t duration = 0;
    ASSERT_TRUE(app.GetMaxAdcDuration(duration));
    EXPECT_EQ(3000000u, duration);
    unsigned debouncer = 0;
    ASSERT_TRUE(app.GetTim()->GetTriggerGeneration()->GetTriggerDebouncer(2, debouncer));
    EXPECT_EQ(6000000u, debouncer);
    EXPECT_TRUE(run.Stop());
}

TEST(VunaApplicationChassis, EventReceiverTimingBoardServesAlone)
{
    qstd::CaptureScope capture(true, true, 2);
    RunningApp run(DataFile("evrx_timing_board.xml"));
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    auto* evrx = dynamic_cast<qboard::EvrxBoard*>(app.GetTim());
    ASSERT_NE(nullptr, evrx);
    EXPECT_EQ(1u, evrx->GetBackplaneT0Switch());
    EXPECT_TRUE(capture.TracedSubstring("Creating board for type "));
    EXPECT_TRUE(capture.Traced("Board instance created."));
    // The timing board's node configuration: trigger 1's "source" carries 14.
    mci::ClientAccess client = run.Client();
    EXPECT_EQ(14u, client.GetFlags("evrx/trigger_generation/trigger1/source"));
    EXPECT_EQ(6u, client.GetFlags("evrx/trigger_generation/trigger2/source"));
    EXPECT_EQ(nullptr, app.GetGdxBoard());
    EXPECT_EQ(0x2u, app.GetPresentRafs());
    EXPECT_EQ(1u, app.GetFaSyncController()->GetSize());
    // The restart that completes the synchronisation starts its chain about
    // 0.3 s ahead; on a loaded machine it may end after start-up's 1 s wait.
    EXPECT_TRUE(WaitFor([&capture] { return capture.Traced("raf4 gets synchronized"); }, 20s));
    // Oversampling that never settles: one warning per pass, then the last.
    EXPECT_EQ(64u,
              CountLoggedContaining(capture, "Could not adjust trigger oversampling on RAF boardraf4 iteration: "));
    EXPECT_EQ(1u, CountLogged(capture, "Could not adjust trigger oversampling on RAF board(s). "));

    // Shutdown twice: the second deletes nothing and switches the trigger
    // source off again; the framework's own shutdown follows.
    ASSERT_TRUE(evrx->IsTrigSourceExt());
    app.OnShutdown();
    EXPECT_EQ(nullptr, app.GetPllSignal());
    EXPECT_EQ(nullptr, app.GetPllOutput());
    EXPECT_FALSE(evrx->IsTrigSourceExt());
    evrx->SetTrigSourceExt();
    app.OnShutdown();
    EXPECT_FALSE(evrx->IsTrigSourceExt());
    EXPECT_TRUE(run.Stop());
}

TEST(VunaApplicationChassis, RafSlotOutsideTheSerializerIsRefused)
{
    // The FA block of a RAF board derives the board's identifier from its
    // slot (3 to 6); a board in slot 7 cannot be built.
    qstd::CaptureScope capture(true, false);
    RunningApp run(DataFile("raf_slot_outside.xml"));
    EXPECT_FALSE(run.WaitRunning());
    EXPECT_FALSE(run.Stop());
    EXPECT_TRUE(capture.Logged("Application failure: Cannot determine unique ID, based on slot number 7"));
}

// One run of the default chassis for everything that start-up leaves behind.
TEST(VunaApplicationDefault, StartUpHooksNodesAndSynchronisation)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    mci::ClientAccess client = run.Client();

    // LMT synchronisation at start: all five boards announced and
    // synchronised, and none left in the count. The start-up waits 1 s for
    // them, and they restart their signals within 0.8 s of LMT after the
    // trigger; on a busy machine the simulated boards may take longer than
    // the wait, which then ends with its warning while they go on.
    EXPECT_EQ(1u, CountLogged(capture, "Synchronize LMT for all application boards to - 0."));
    const std::vector<std::string> boards = {"raf3", "raf4", "raf5", "raf6", "gdx"};
    for (const std::string& board : boards) {
        EXPECT_TRUE(capture.Traced(board + " is announced for synchronization")) << board;
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            return std::all_of(
                       boards.begin(), boards.end(),
                       [&](const std::string& board) { return capture.Traced(board + " gets synchronized"); }) &&
                   app.GetSynchronizer().Count() == 0;
        },
        20s))
        << app.GetSynchronizer().Count() << " boards not synchronised";
    EXPECT_LE(CountLogged(capture, "Not all boards get synchronized in expected timeout  1000 ms."), 1u);
    EXPECT_EQ(CountLogged(capture, "Not all boards get synchronized in expected timeout  1000 ms."),
              CountLoggedContaining(capture, "Not all boards get synchronized"));
    for (qfeature::LocalTimingSync* lt : AllLocalTimings(app)) {
        EXPECT_EQ(0u, lt->GetSynchronizedLMT()) << lt->GetBoard().GetName();
    }
    // The RAF restarts met in the FA synchronisation controller: the start
    // lies on the 220 x 56 x 1000 grid past 31800000 ADC periods.
    EXPECT_EQ(4u, CountLogged(capture, "TBT, FA, SA signals started at LMT=36960000"));
    EXPECT_EQ(4u, app.GetFaSyncController()->GetSize());
    EXPECT_EQ(4u, app.GetFaSyncController()->GetCounter());
    EXPECT_TRUE(capture.LoggedSubstring("GDX-FA signal started at LMT="));
    EXPECT_TRUE(capture.Traced("Timeout waiting for all FA chains running.") == false);

    // Oversampling: the default chassis' trigger patterns are settled at the
    // first pass.
    EXPECT_EQ(0u, CountLoggedContaining(capture, "Could not adjust trigger oversampling"));
    // Every RAF board's FA block loads the FIR file that the chassis provides.
    EXPECT_EQ(4u, CountLogged(capture, "Successfully applied FIR filter coefficients - "
                                       "/var/opt/zemtra/cfg/fircoef_sr.conf."));

    // Trigger settings of the configuration hooks.
    qfeature::TimTriggerGeneration* triggers = app.GetTim()->GetTriggerGeneration();
    unsigned value = 0;
    ASSERT_TRUE(triggers->GetTriggerSource(1, value));
    EXPECT_EQ(1u, value);
    ASSERT_TRUE(triggers->GetTriggerDebouncer(2, value));
    EXPECT_EQ(117440043u / 20u, value); // the Tsm duration is 0
    ASSERT_TRUE(triggers->GetTriggerDebouncer(3, value));
    EXPECT_EQ(176u, value); // 220 x 4 / 5
    EXPECT_TRUE(app.GetTim()->IsTrigSourceExt());

    // The application's nodes.
    EXPECT_EQ("0", client.GetText("synchronize_lmt"));
    EXPECT_EQ("[0, 4611686018427387903]", client.GetValidator("synchronize_lmt"));
    EXPECT_EQ("fofb_switch", client.GetText("custom"));
    EXPECT_EQ(14u, client.GetFlags("custom"));
    EXPECT_EQ((std::vector<std::string>{"fofb_switch", "fa_clk"}), client.GetDomainValues("custom"));
    client.SetText("custom", "fa_clk");
    ASSERT_TRUE(triggers->GetLemoControl(value));
    EXPECT_EQ(33u, value);
    EXPECT_EQ("fa_clk", client.GetText("custom"));
    client.SetText("custom", "0");
    ASSERT_TRUE(triggers->GetLemoControl(value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ("fofb_switch", client.GetText("custom"));
    EXPECT_ANY_THROW(client.SetText("custom", "2"));

    EXPECT_EQ(64u, client.GetFlags("clock_info"));
    EXPECT_EQ((std::vector<std::string>{"decimation", "harmonic_number", "rf_frequency", "if_frequency",
                                        "tbt_frequency", "nco_frequency", "adc_frequency"}),
              client.List("clock_info"));
    EXPECT_EQ(28, client.GetInteger("clock_info/decimation/fa/cic"));
    EXPECT_EQ(2, client.GetInteger("clock_info/decimation/fa/fir"));
    EXPECT_EQ(56, client.GetInteger("clock_info/decimation/fa"));
    EXPECT_EQ(220, client.GetInteger("clock_info/decimation/tbt"));
    EXPECT_EQ(1000, client.GetInteger("clock_info/decimation/sa"));
    EXPECT_EQ(40, client.GetInteger("clock_info/decimation/sw"));
    EXPECT_EQ(936, client.GetInteger("clock_info/harmonic_number"));
    EXPECT_EQ(117440043, client.GetInteger("clock_info/adc_frequency"));
    EXPECT_DOUBLE_EQ(117440043.0 / 220.0 * 936.0, client.GetDouble("clock_info/rf_frequency"));
    EXPECT_EQ(2u, client.GetFlags("clock_info/rf_frequency"));
    EXPECT_EQ(117440043u, app.GetDefAdcFreq());
    EXPECT_EQ(56u, app.GetDefFaDecimation());

    // The "pll" signal sits under the timing board's node, beside the PLL
    // object's own node of the same name.
    std::vector<std::shared_ptr<qreg::SignalNode>> pllSignals;
    for (const mci::TreeNodePtr& child : app.GetTim()->GetTreeNode()->GetChildren()) {
        if (child->GetName() == "pll") {
            if (auto signal = std::dynamic_pointer_cast<qreg::SignalNode>(child)) {
                pllSignals.push_back(signal);
            }
        }
    }
    ASSERT_EQ(1u, pllSignals.size());
    EXPECT_TRUE(pllSignals[0]->HasSource());
    EXPECT_EQ(2u, pllSignals[0]->GetFlags());
    EXPECT_EQ(1, client.GetSignal("gdx/signals/event").accessType);
    EXPECT_EQ(2, client.GetSignal("gdx/signals/fa").accessType);
    EXPECT_EQ(256u, client.GetSignal("gdx/signals/fa").atomSize);
    EXPECT_EQ(1, client.GetSignal("raf3/signals/event").accessType);
    EXPECT_EQ(0xFu, app.GetPresentRafs());

    // A write outside the LMT bounds is refused and announces nothing.
    EXPECT_ANY_THROW(client.SetText("synchronize_lmt", "4611686018427387904"));
    EXPECT_EQ("0", client.GetText("synchronize_lmt"));
    EXPECT_EQ(1u, CountLoggedContaining(capture, "Synchronize LMT for all application boards to - "));

    // The application's own call bypasses the validator: every board refuses,
    // every refusal is logged and nothing is stored.
    EXPECT_FALSE(app.SetSynchronizeLMT(qfeature::LocalTimingSync::c_max_syncLMT + 1));
    EXPECT_EQ(5u, CountLoggedContaining(capture, "did not accept LMT 4611686018427387904"));
    EXPECT_EQ("0", client.GetText("synchronize_lmt"));

    // Board-wide PLL hooks: the NCO of every board follows the PLL's tuning
    // (a detuning makes the PLL retune it); a board that fails is logged,
    // the others are still served; the FA blocks carry the PLL status.
    EXPECT_TRUE(app.SetNCOFreq(5));
    for (RafBoard* raf : app.GetRafBoards()) {
        EXPECT_EQ(5, client.GetInteger(raf->GetName() + "/tbt/nco_frequency")) << raf->GetName();
    }
    client.SetText("tim/pll/vcxo_offset", "100");
    const long long retuned = client.GetInteger("raf3/tbt/nco_frequency");
    EXPECT_NE(5, retuned);
    for (RafBoard* raf : app.GetRafBoards()) {
        EXPECT_EQ(retuned, client.GetInteger(raf->GetName() + "/tbt/nco_frequency")) << raf->GetName();
    }
    client.SetText("tim/pll/vcxo_offset", "0");
    EXPECT_EQ(0u, CountLoggedContaining(capture, "Could not set NCO frequency"));
    app.SetPllStatusLocked(false);
    app.SetPllStatusLocked(true);
    EXPECT_EQ(0u, CountLoggedContaining(capture, "Could not set PLL status on board"));

    EXPECT_TRUE(run.Stop());
    EXPECT_TRUE(capture.Logged("zemtra-vuna ended."));
}

// The PLL against the simulated oscillator, and a client's synchronisation.
TEST(VunaApplicationConcurrency, PllLocksUnlocksRelocksAndBoardsFollowSynchronisation)
{
    qstd::CaptureScope capture(true, true, 3);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    sim::TimingBoard* osc = run.Chassis().Timing();

    ASSERT_TRUE(WaitFor([&app] { return app.IsPllLocked(); }, 20s));
    mci::ClientAccess client = run.Client();
    EXPECT_EQ("true", client.GetText("tim/pll/locked"));
    {
        // The "pll" stream carries atoms with the lock.
        qsig::StreamClient<PllTraits> client(app.GetPllSignal(), "test-client", 64);
        ASSERT_EQ(qsig::eSuccess, client.Open());
        PllStruct atom;
        bool sawLock = false;
        for (int i = 0; i < 20 && !sawLock; ++i) {
            ASSERT_EQ(qsig::eSuccess, client.Read(atom));
            sawLock = atom.Lock == 1.0;
        }
        EXPECT_TRUE(sawLock);
    }

    // A client's write announces the LMT to every board at once; each takes
    // it at the next external trigger and follows the state machine.
    client.SetText("synchronize_lmt", "1000000");
    EXPECT_TRUE(capture.Logged("Synchronize LMT for all application boards to - 1000000."));
    EXPECT_EQ("1000000", client.GetText("synchronize_lmt"));
    const auto timings = AllLocalTimings(app);
    for (qfeature::LocalTimingSync* lt : timings) {
        EXPECT_EQ(1000000u, lt->GetAnnouncedLMT());
    }
    EXPECT_TRUE(WaitFor(
        [&timings] {
            return std::all_of(timings.begin(), timings.end(),
                               [](qfeature::LocalTimingSync* lt) { return lt->GetSynchronizedLMT() == 1000000u; });
        },
        20s));
    for (RafBoard* raf : app.GetRafBoards()) {
        EXPECT_TRUE(
            WaitFor([raf] { return raf->GetLocalTiming()->GetSyncState() == SyncStateMachine::Synchronized; }, 20s))
            << raf->GetName();
        EXPECT_EQ("Synchronized", client.GetText(raf->GetName() + "/local_timing/sync_state_machine"));
    }

    // The oscillator falls silent: after the time-out the PLL unlocks and
    // every board drops to NoSync.
    osc->SetOscillatorSilent(true);
    EXPECT_TRUE(WaitFor([&app] { return !app.IsPllLocked(); }, 20s));
    EXPECT_TRUE(WaitFor([&capture] { return capture.TracedSubstring("PLL: Timeout..."); }, 20s));
    for (RafBoard* raf : app.GetRafBoards()) {
        EXPECT_TRUE(WaitFor([raf] { return raf->GetLocalTiming()->GetSyncState() == SyncStateMachine::NoSync; }, 20s))
            << raf->GetName();
        EXPECT_EQ("NoSync", client.GetText(raf->GetName() + "/local_timing/sync_state_machine"));
    }
    EXPECT_EQ("false", client.GetText("tim/pll/locked"));

    osc->SetOscillatorSilent(false);
    EXPECT_TRUE(WaitFor([&app] { return app.IsPllLocked(); }, 20s));

    EXPECT_TRUE(run.Stop());
    EXPECT_EQ(nullptr, app.GetPllSignal());
    EXPECT_EQ(nullptr, app.GetPllOutput());
}

// A client writes "custom" while the configuration's store reads it.
TEST(VunaApplicationConcurrency, CustomFunctionIsReadWhileWritten)
{
    // Without a timing board every write logs that it has none.
    qstd::CaptureScope capture(true, false);
    VunaApplication app;
    mci::TreeNodePtr root = qapp::MakeBranchNode("root", 0);
    app.OnRegistryAdd(root);
    mci::ClientAccess client(root);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string f = client.GetText("custom");
            EXPECT_TRUE(f == "fa_clk" || f == "fofb_switch") << f;
        }
    });
    for (int i = 0; i < 500; ++i) {
        client.SetText("custom", i % 2 == 0 ? "fa_clk" : "fofb_switch");
    }
    done = true;
    reader.join();
    EXPECT_EQ("fofb_switch", client.GetText("custom"));
}

TEST(VunaApplicationNames, CustomFunctionTable)
{
    EXPECT_STREQ("fa_clk", qstd::EnumMap<CustomFnc_e>::ToString(fa_clk));
    EXPECT_STREQ("fofb_switch", qstd::EnumMap<CustomFnc_e>::ToString(fofb_switch));
    EXPECT_THROW(qstd::EnumMap<CustomFnc_e>::ToString(static_cast<CustomFnc_e>(2)), qstd::Exception);
}

} // namespace
