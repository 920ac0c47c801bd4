// The TBT/SA/FA restart keeps the FA peers' counter whole on every way out,
// and the restarts of quick synchronisations in a row end with the last.

#include "acquisition/signals.h"
#include "app/app_support.h"
#include "app/fa_sync_controller.h"
#include "app/gdx_board.h"
#include "app/local_timing_raf.h"
#include "app/raf_board.h"
#include "platform/qsig/dod_position_controller.h"
#include "platform/qstd/capture.h"
#include "sim/chassis.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(FaRestartConcurrency, ClosedEventStreamLeavesThePeerCounterWhole)
{
    apptest::RunningApp run(apptest::DataFile("unanswered_raf.xml"));
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    ASSERT_EQ(1u, app.GetRafBoards().size());
    FaSyncController* peers = app.GetFaSyncController();
    ASSERT_NE(nullptr, peers);
    // The start-up restart times out (after the application's own wait) and
    // counts its chain running again.
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 1; }, 20s));

    Signals* signals = app.GetRafBoards()[0]->GetSignals();
    std::string error;
    std::thread restart([&] {
        try {
            signals->TbtSaFaRestart(0);
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    // The restart waits for a start event that never comes; the stream is
    // closed under it.
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 0; }, 20s));
    std::this_thread::sleep_for(200ms);
    signals->GetEventStream()->ShutDown();
    restart.join();

    EXPECT_EQ(0u, error.rfind("Failed to restart TBT SA and FA streams. Event signal closed: ", 0)) << error;
    EXPECT_EQ(1u, peers->GetCounter());
    EXPECT_TRUE(run.Stop());
}

// A restart waits for its start event when a newer synchronisation is
// announced: its chain counts as running again at once (the newer restart's
// meeting counts only the stops for it), once only, and the restart gives
// way without re-anchoring the controllers that the announcement disabled.
TEST(FaRestartConcurrency, AnnouncementOvertakingARestartCountsItsChainRunningAtOnce)
{
    qstd::CaptureScope capture(true, true, 1);
    apptest::RunningApp run(apptest::DataFile("unanswered_raf.xml"));
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    FaSyncController* peers = app.GetFaSyncController();
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 1; }, 5s));
    // No trigger takes the announced LMT: the announcement stays pending.
    run.Chassis().Timing()->SetTrigSourceOff();

    Signals* signals = app.GetRafBoards()[0]->GetSignals();
    std::atomic<bool> done{false};
    bool result = true;
    std::thread restart([&] {
        result = signals->TbtSaFaRestart(0);
        done = true;
    });
    // Stopped, it waits for a start event that never comes (a second at least).
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 0; }, 2s));
    run.Client().SetText("synchronize_lmt", "5");
    const bool waiting = !done.load();
    EXPECT_EQ(1u, peers->GetCounter());
    restart.join();
    EXPECT_TRUE(waiting);
    EXPECT_FALSE(result);
    EXPECT_EQ(1u, peers->GetCounter());
    EXPECT_FALSE(capture.LoggedSubstring("Assertion condition"));
    auto ddc = signals->GetDdcSource()->GetPositionController();
    EXPECT_FALSE(ddc->IsEnabled());
    EXPECT_TRUE(run.Stop());
}

// The LMTs of the first count GDX FA atoms that a reader opened now gets
// within timeout (fewer when they do not come).
std::vector<uint64_t> ReadGdxFa(GdxBoard& gdx, size_t count, std::chrono::milliseconds timeout)
{
    auto reader = gdx.GetFaSource()->CreateClient("test-quick-syncs");
    EXPECT_EQ(qsig::eSuccess, reader.Open(qsig::eAccessStreaming, count, 0));
    std::vector<uint64_t> lmts;
    std::atomic<bool> done{false};
    std::thread reading([&] {
        qsig::Array<GdxFaTraits> atoms(GdxFaTraits(), count);
        qsig::SignalMeta meta;
        while (lmts.size() < count && reader.Read(atoms, meta, 0) == qsig::eSuccess) {
            for (size_t i = 0; i < atoms.GetLength() && lmts.size() < count; ++i) {
                const SaFaAtom& a = atoms[i][0];
                lmts.push_back(static_cast<uint32_t>(a.LMT_l) | uint64_t(static_cast<uint32_t>(a.LMT_h)) << 32);
            }
        }
        done = true;
    });
    zvtest::WaitFor([&] { return done.load(); }, timeout);
    reader.Close();
    reading.join();
    return lmts;
}

// Writes of "synchronize_lmt" quicker than a restart (one takes about 0.8 s):
// each is taken by the boards at a trigger while the restart for an earlier
// one still holds their event readers, so the triggers of several earlier
// LMTs queue before the one that took the last. The last synchronisation
// completes on every board: the GDX FA atoms come, the RAF boards restart on
// the grid of its LMT (their controllers re-anchored at its start), and the
// GDX FA atoms follow it too.
TEST(FaRestartConcurrency, QuickSynchronisationsEndWithTheLast)
{
    struct Case {
        std::vector<uint64_t> lmts;
        std::chrono::milliseconds pause;
    };
    const Case cases[] = {
        {{1, 2, 0}, 150ms},
        {{5, 6, 0}, 400ms},
        {{1, 2, 3, 0}, 0ms},
        {{7, 7}, 150ms},
    };
    constexpr uint64_t c_fa = 12320;       // LMTs between FA atoms
    constexpr uint64_t c_start = 36960000; // the RAF chains' start after the LMT taken
    qstd::CaptureScope capture(true, false);
    apptest::RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    GdxBoard* gdx = app.GetGdxBoard();
    ASSERT_TRUE(gdx && gdx->GetFaSource());
    std::vector<LocalTimingRaf*> timings = {gdx->GetLocalTiming()};
    for (RafBoard* raf : app.GetRafBoards()) {
        timings.push_back(raf->GetLocalTiming());
    }
    mci::ClientAccess client = run.Client();

    for (const Case& c : cases) {
        const uint64_t last = c.lmts.back();
        SCOPED_TRACE(::testing::PrintToString(c.lmts));
        for (size_t i = 0; i < c.lmts.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(c.pause);
            }
            client.SetText("synchronize_lmt", std::to_string(c.lmts[i]));
        }
        EXPECT_EQ(100u, ReadGdxFa(*gdx, 100, 20s).size()) << "GDX FA atoms after the last write";
        // Boards synchronised to another LMT or not at all, and RAF boards
        // whose controllers are not re-anchored at its start.
        const auto behind = [&] {
            std::string names;
            for (LocalTimingRaf* timing : timings) {
                if (timing->IsSyncPending() || timing->GetSynchronizedLMT() != last) {
                    names += " " + timing->GetBoard().GetName();
                }
            }
            for (RafBoard* raf : app.GetRafBoards()) {
                auto ddc = raf->GetSignals()->GetDdcSource()->GetPositionController();
                if (ddc->GetResetLmt() != last + c_start || !ddc->IsEnabled()) {
                    names += " " + raf->GetName() + " restart";
                }
            }
            return names;
        };
        EXPECT_TRUE(zvtest::WaitFor([&] { return behind().empty(); }, 10s)) << behind();
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                const std::vector<uint64_t> lmts = ReadGdxFa(*gdx, 1, 5s);
                return !lmts.empty() && lmts[0] % c_fa == last % c_fa;
            },
            10s));
    }
    EXPECT_FALSE(capture.LoggedSubstring("instead of the announced"));
    EXPECT_FALSE(capture.LoggedSubstring("board failed"));
    EXPECT_TRUE(run.Stop());
}

} // namespace
