// Threads of the framework: the wait object and the event reader.

#include "test_app.h"

#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_wait_object.h"
#include "platform/qfeature/events.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "sim/event_device.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(WaitObjectConcurrency, NotificationWakesTheWaiterWithTrue)
{
    qapptest::TestApplication app;
    std::condition_variable cv;
    std::mutex mutex;
    auto* wait = qapp::Create<qapp::ZemtraWaitObject>(app, "postmortem_wait", cv, mutex);
    bool stop = false;
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = wait->WaitForData(&stop) ? 1 : 0; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(result.load(), -1);
    // Notify until the waiter has returned (it may not be waiting yet).
    while (result.load() == -1) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            cv.notify_all();
        }
        std::this_thread::sleep_for(1ms);
    }
    waiter.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(WaitObjectConcurrency, StopFlagEndsTheWaitWithFalse)
{
    qapptest::TestApplication app;
    std::condition_variable cv;
    std::mutex mutex;
    auto* wait = qapp::Create<qapp::ZemtraWaitObject>(app, "postmortem_wait", cv, mutex);
    bool stop = false;
    std::atomic<int> result{-1};
    const auto begin = std::chrono::steady_clock::now();
    std::thread waiter([&] { result = wait->WaitForData(&stop) ? 1 : 0; });
    std::this_thread::sleep_for(30ms);
    __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    // Already stopped: returns at once.
    EXPECT_FALSE(wait->WaitForData(&stop));
}

TEST(WaitObjectConcurrency, ReadyConditionIsNeverMissedNorTakenFromASpuriousWakeUp)
{
    qapptest::TestApplication app;
    std::condition_variable cv;
    std::mutex mutex;
    auto* wait = qapp::Create<qapp::ZemtraWaitObject>(app, "postmortem_wait", cv, mutex);
    bool stop = false;
    int generation = 0; // guarded by mutex
    // A change made before the wait began is seen at once.
    {
        std::lock_guard<std::mutex> lock(mutex);
        generation = 1;
    }
    EXPECT_TRUE(wait->WaitForData(&stop, [&] { return generation == 1; }));

    std::atomic<int> result{-1};
    std::thread waiter([&] { result = wait->WaitForData(&stop, [&] { return generation == 2; }) ? 1 : 0; });
    // Notifications without the change leave the waiter waiting.
    for (int i = 0; i < 5; ++i) {
        wait->Notify();
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(result.load(), -1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        generation = 2;
        cv.notify_all();
    }
    waiter.join();
    EXPECT_EQ(result.load(), 1);

    __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
    EXPECT_FALSE(wait->WaitForData(&stop, [&] { return generation == 3; }));
}

class EventsConcurrency : public ::testing::Test {
protected:
    EventsConcurrency() : m_stream("events-test.event", "/dev/test/events-test/event0", true, "board") {}
    sim::EventDevice* Device() { return sim::EventDevice::Find("/dev/test/events-test/event0"); }

    qapptest::TestApplication m_app;
    qsig::ZemtraEventStream m_stream;
};

TEST_F(EventsConcurrency, HandlerGetsTheTableEventsWithTheirParameters)
{
    std::mutex mutex;
    std::vector<std::string> seen;
    const std::vector<qfeature::Events::Description> table = {{0, "sync"}, {2, "trigger"}, {3, "interlock"}};
    auto* events = qapp::Create<qfeature::Events>(
        m_app, "events", &m_stream, table, [&](unsigned long long id, unsigned long long a, unsigned long long b) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(std::to_string(id) + "/" + std::to_string(a) + "/" + std::to_string(b));
        });
    EXPECT_EQ(events->NameOf(3), "interlock");
    EXPECT_EQ(events->NameOf(16), "");
    events->OnPreInit();
    ASSERT_TRUE(events->IsRunning());
    ASSERT_NE(Device(), nullptr);
    Device()->Feed(2, 1, 1000);
    Device()->Feed(16, 2, 2000); // not in the table
    Device()->Feed(3, 3, 3000, 7);
    Device()->Feed(0, 4, 4000);
    zvtest::WaitFor([&] { return events->Handled() >= 3; });
    events->OnShutdown();
    EXPECT_FALSE(events->IsRunning());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"2/1000/1", "3/3000/3", "0/4000/4"}));
}

TEST_F(EventsConcurrency, StopWhileEventsFlowAndAFailingHandler)
{
    qstd::CaptureScope capture;
    std::atomic<int> calls{0};
    const std::vector<qfeature::Events::Description> table = {{2, "trigger"}};
    auto* events = qapp::Create<qfeature::Events>(m_app, "events", &m_stream, table,
                                                  [&](unsigned long long, unsigned long long, unsigned long long) {
                                                      if (calls.fetch_add(1) == 0) {
                                                          throw qstd::Exception("handler failed", true);
                                                      }
                                                  });
    events->Start();
    events->Start(); // a second start changes nothing
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        uint64_t n = 0;
        while (feeding.load()) {
            ++n;
            Device()->Feed(2, n, n * 10);
            std::this_thread::sleep_for(200us);
        }
    });
    zvtest::WaitFor([&] { return calls.load() >= 20; });
    events->Stop();
    const int atStop = calls.load();
    std::this_thread::sleep_for(20ms);
    feeding = false;
    feeder.join();
    EXPECT_GE(atStop, 20);
    EXPECT_EQ(calls.load(), atStop);
    EXPECT_TRUE(capture.Logged("Event handler of test-app failed: handler failed"));
    // Restartable after a stop.
    events->Start();
    EXPECT_TRUE(events->IsRunning());
}

TEST(Events, WithoutStreamNothingRuns)
{
    qapptest::TestApplication app;
    auto* events =
        qapp::Create<qfeature::Events>(app, "events", nullptr, std::vector<qfeature::Events::Description>{}, nullptr);
    events->Start();
    EXPECT_FALSE(events->IsRunning());
    events->Stop();
}

} // namespace
