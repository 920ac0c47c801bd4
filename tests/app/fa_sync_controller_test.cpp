// Counter and waits of the FA synchronisation controller.
#include "app/fa_sync_controller.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Root : qapp::ZemtraObject {
    Root() : qapp::ZemtraObject(nullptr, "app") {}
};

TEST(FaSyncController, StartsWithEveryChainRunningAndTracesTheBoardCount)
{
    qstd::CaptureScope capture;
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 2);
    EXPECT_TRUE(capture.Traced("FaSyncController: 2 RAFs."));
    EXPECT_EQ(fa.GetCounter(), 2u);
    EXPECT_EQ(fa.GetName(), "fa_sync_controller");

    // A wait whose count is already met returns without one check period:
    // the quickest of a few waits, so that a descheduled thread does not count.
    Clock::duration quickest = Clock::duration::max();
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        EXPECT_TRUE(fa.WaitForAllRunning());
        quickest = std::min(quickest, Clock::now() - start);
    }
    EXPECT_LT(quickest, milliseconds(5));
    EXPECT_TRUE(capture.Traced("FaSyncController: Waiting for all running..."));
    EXPECT_TRUE(capture.Traced("FaSyncController: All running."));

    fa.SetFaStopped();
    fa.SetFaStopped();
    EXPECT_TRUE(fa.WaitForAllStopped());
    EXPECT_TRUE(capture.Traced("FaSyncController: All stopped."));
}

TEST(FaSyncController, CounterNeverWrapsAtEitherEnd)
{
    qstd::CaptureScope capture;
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 1);
    fa.SetFaRunning(); // already at the board count
    EXPECT_TRUE(capture.Logged("Assertion condition: m_counter < m_size"));
    EXPECT_EQ(fa.GetCounter(), 1u);

    fa.SetFaStopped();
    EXPECT_EQ(fa.GetCounter(), 0u);
    fa.SetFaStopped(); // at 0: reported, still 0
    EXPECT_TRUE(capture.Logged("Assertion condition: m_counter !=0"));
    EXPECT_EQ(fa.GetCounter(), 0u);
    EXPECT_TRUE(fa.WaitForAllStopped());

    fa.SetFaRunning();
    EXPECT_EQ(fa.GetCounter(), 1u);
    EXPECT_TRUE(fa.WaitForAllRunning());
}

TEST(FaSyncController, WaitGivesUpAfterItsChecks)
{
    qstd::CaptureScope capture;
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 2);
    // The checks' pauses, slept beside the wait on a thread of its own on the
    // same core: a reference that a busy machine stretches as much as it
    // does the wait (on another core the load can differ).
    cpu_set_t cores;
    ASSERT_EQ(0, pthread_getaffinity_np(pthread_self(), sizeof(cores), &cores));
    cpu_set_t core;
    CPU_ZERO(&core);
    CPU_SET(sched_getcpu(), &core);
    ASSERT_EQ(0, pthread_setaffinity_np(pthread_self(), sizeof(core), &core));
    Clock::duration reference{};
    std::thread pauses([&reference] {
        const auto start = Clock::now();
        for (unsigned check = 0; check < FaSyncController::c_wait_checks; ++check) {
            std::this_thread::sleep_for(FaSyncController::c_wait_period);
        }
        reference = Clock::now() - start;
    });
    const auto start = Clock::now();
    EXPECT_FALSE(fa.WaitForAllStopped());
    const auto waited = Clock::now() - start;
    pauses.join();
    EXPECT_EQ(0, pthread_setaffinity_np(pthread_self(), sizeof(cores), &cores));
    EXPECT_GE(waited, milliseconds(1990));
    EXPECT_LT(waited, reference * 3 / 2) << "the wait took " << std::chrono::duration_cast<milliseconds>(waited).count()
                                         << " ms, the checks' pauses "
                                         << std::chrono::duration_cast<milliseconds>(reference).count() << " ms";
    EXPECT_TRUE(capture.Traced("Timeout waiting for all FA chains stopped."));
    EXPECT_FALSE(capture.Traced("FaSyncController: All stopped."));
    EXPECT_EQ(fa.GetCounter(), 2u);
}

TEST(FaSyncController, ARoundAfterTheMarkMeetsTheWait)
{
    qstd::CaptureScope capture;
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 2);
    // Both boards stop (a round of all stopped) and run again (a round of all
    // running); then one stops again for the next synchronisation.
    const uint64_t firstStop = fa.SetFaStopped();
    const uint64_t lastStop = fa.SetFaStopped();
    const uint64_t firstRun = fa.SetFaRunning();
    const uint64_t lastRun = fa.SetFaRunning();
    const uint64_t nextStop = fa.SetFaStopped();
    ASSERT_EQ(1u, fa.GetCounter());
    // A wait that is not met gives up at once.
    const FaSyncController::GiveUp now = [] { return true; };
    struct Case {
        const char* what;
        bool running;
        uint64_t mark;
        bool met;
    };
    for (const Case& c :
         {Case{"a stop before the last", false, firstStop, true}, Case{"the last stop", false, lastStop, true},
          Case{"a run before the last, the counter down again", true, firstRun, true},
          Case{"the last run", true, lastRun, true}, Case{"the next stop", false, nextStop, false},
          Case{"no mark, no run since", true, fa.GetRunningRounds(), false}}) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.met, c.running ? fa.WaitForAllRunning(c.mark, now) : fa.WaitForAllStopped(c.mark, now));
    }
    EXPECT_TRUE(capture.Traced("FaSyncController: Wait for all stopped given up."));
    EXPECT_FALSE(capture.TracedSubstring("Timeout waiting"));
    // A target met at the check is met, whatever the wait's give-up says.
    fa.SetFaStopped();
    EXPECT_TRUE(fa.WaitForAllStopped(fa.GetStoppedRounds(), now));
}

TEST(FaSyncControllerConcurrency, TargetReachedAndLeftBetweenTwoChecksMeetsTheWait)
{
    // The last board runs again and at once stops for the next
    // synchronisation while another waits between two of its checks.
    qstd::CaptureScope capture;
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 2);
    fa.SetFaStopped();
    std::atomic<bool> result{false};
    std::thread waiter([&] { result = fa.WaitForAllRunning(); });
    ASSERT_TRUE(zvtest::WaitFor([&] { return capture.Traced("FaSyncController: Waiting for all running..."); }));
    fa.SetFaRunning();
    fa.SetFaStopped();
    waiter.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(1u, fa.GetCounter());
}

TEST(FaSyncControllerConcurrency, AllBoardsMeetAtStopAndRun)
{
    // Three boards restart at once, each on its own thread: stop, wait for all
    // stopped, re-arm, run, wait for all running. A real re-arm outlasts the
    // other boards' checks of all stopped: here it begins once every board's
    // wait has ended, whenever a busy machine lets the threads run.
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 3);
    std::atomic<int> started{0};
    std::atomic<int> waited{0};
    std::atomic<int> ok{0};
    std::vector<std::thread> boards;
    for (int b = 0; b < 3; ++b) {
        boards.emplace_back([&fa, &started, &waited, &ok, b] {
            ++started;
            EXPECT_TRUE(zvtest::WaitFor([&started] { return started.load() == 3; }));
            std::this_thread::sleep_for(milliseconds(15 * b));
            fa.SetFaStopped();
            const bool stopped = fa.WaitForAllStopped();
            ++waited;
            EXPECT_TRUE(zvtest::WaitFor([&waited] { return waited.load() == 3; }));
            std::this_thread::sleep_for(milliseconds(40 + 10 * b));
            fa.SetFaRunning();
            if (stopped && fa.WaitForAllRunning()) {
                ++ok;
            }
        });
    }
    for (auto& t : boards) {
        t.join();
    }
    EXPECT_EQ(ok.load(), 3);
    EXPECT_EQ(fa.GetCounter(), 3u);
}

TEST(FaSyncControllerConcurrency, WaiterKeepsWaitingWhileAnotherBoardStopsAndRunsAgain)
{
    // One board dips to stopped and back while another waits for all stopped:
    // the waiter succeeds only once every board has stopped.
    Root root;
    FaSyncController fa(root, "fa_sync_controller", 2);
    std::atomic<bool> waiting{true};
    std::atomic<bool> result{false};
    std::thread waiter([&] {
        result = fa.WaitForAllStopped();
        waiting = false;
    });
    fa.SetFaStopped();
    fa.SetFaRunning();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(waiting.load());
    fa.SetFaStopped();
    fa.SetFaStopped();
    waiter.join();
    EXPECT_TRUE(result.load());
}

} // namespace
