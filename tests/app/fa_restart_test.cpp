// The TBT/SA/FA restart keeps the FA peers' counter whole on every way out.

#include "acquisition/signals.h"
#include "app/app_support.h"
#include "app/fa_sync_controller.h"
#include "app/raf_board.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

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
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 1; }, 5s));

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
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 0; }, 2s));
    std::this_thread::sleep_for(200ms);
    signals->GetEventStream()->ShutDown();
    restart.join();

    EXPECT_EQ(0u, error.rfind("Failed to restart TBT SA and FA streams. Event signal closed: ", 0)) << error;
    EXPECT_EQ(1u, peers->GetCounter());
    EXPECT_TRUE(run.Stop());
}

} // namespace
