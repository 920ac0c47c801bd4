// The TBT/SA/FA restart keeps the FA peers' counter whole on every way out.

#include "acquisition/signals.h"
#include "app/app_support.h"
#include "app/fa_sync_controller.h"
#include "app/raf_board.h"
#include "platform/qstd/capture.h"
#include "sim/chassis.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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

} // namespace
