// Timing through the framework on a running chassis: trigger events reach
// every board's events feature, an announced LMT is taken at the next trigger
// with the hooks in order, the oscillator's event spacing follows the DAC
// code, start records are answered at their start LMT.

#include "test_app.h"

#include "mci/factory.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/local_timing.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/event_filter.h"
#include "platform/qsig/signal_source.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/capture.h"
#include "sim/board.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace qapptest;

namespace {

std::vector<TestBoard*> TestBoards(TestApplication& app)
{
    std::vector<qapp::ZemtraBoard*> boards;
    app.GetBoards(boards, bmc::eBoardRaf);
    std::vector<TestBoard*> out;
    for (auto* b : boards) {
        out.push_back(dynamic_cast<TestBoard*>(b));
    }
    return out;
}

qboard::TimBoard* Tim(TestApplication& app)
{
    return dynamic_cast<qboard::TimBoard*>(app.GetBoard(bmc::eBoardTim));
}

// An exported source that serves unless the last synchronisation hook it got
// was an announcement's.
class ServingSource : public qsig::SignalSource {
public:
    ServingSource() : qsig::SignalSource("serving", "test") {}
    std::size_t AtomSize() const override { return 1; }
    std::size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(char); }
    const std::type_info& BaseType() const override { return typeid(char); }
    std::size_t Length() const override { return 1; }
    std::vector<std::string> GetComponentNames() const override { return {"c"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessDataOnDemand; }
    void OnAnnouncedTimestampChange() override { m_serving.store(false); }
    void OnAdjustedTimestamp(long long, unsigned long long) override { m_serving.store(true); }
    bool Serving() const { return m_serving.load(); }

private:
    std::atomic<bool> m_serving{true};
};

class LocalTimingSyncConcurrency : public ::testing::Test {
protected:
    void SetUp() override { Hooks().Clear(); }
    TempDir m_dir;
};

TEST_F(LocalTimingSyncConcurrency, TriggerEventReachesEveryBoard)
{
    TestApplication app;
    std::vector<unsigned long long> before, after;
    bool allSeen = false;
    app.whileRunning = [&](TestApplication& a) {
        auto boards = TestBoards(a);
        for (auto* b : boards) {
            before.push_back(b->Triggers());
        }
        Tim(a)->CreateTrigEvent();
        allSeen = zvtest::WaitFor([&] {
            for (size_t i = 0; i < boards.size(); ++i) {
                if (boards[i]->Triggers() < before[i] + 1) {
                    return false;
                }
            }
            return true;
        });
        // The source is off: no trigger comes on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        for (auto* b : boards) {
            after.push_back(b->Triggers());
        }
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3, 4, 5})));
    EXPECT_TRUE(allSeen);
    ASSERT_EQ(after.size(), 3u);
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i], before[i] + 1) << "board " << i;
    }
}

TEST_F(LocalTimingSyncConcurrency, AnnouncedLmtIsTakenAtTheNextTriggerWithHooksInOrder)
{
    TestApplication app;
    unsigned announcedAtReturn = 0;
    unsigned syncedBeforeTrigger = 99;
    bool synced = false;
    unsigned long long takenLmt = 0, clockAfter = 0, syncedLmt = 0;
    bool pendingAfter = true;
    app.whileRunning = [&](TestApplication& a) {
        auto boards = TestBoards(a);
        for (auto* b : boards) {
            EXPECT_TRUE(b->Timing()->AnnounceSync(5000000));
        }
        announcedAtReturn = a.Announced();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        syncedBeforeTrigger = a.Synchronized();
        Tim(a)->CreateTrigEvent();
        synced = zvtest::WaitFor([&] { return a.Synchronized() == boards.size(); });
        takenLmt = boards[0]->LastTriggerLmt();
        clockAfter = boards[0]->Timing()->GetCurrentLmt();
        syncedLmt = boards[1]->Timing()->GetSynchronizedLMT();
        pendingAfter = boards[0]->Timing()->IsSyncPending();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3, 4})));
    EXPECT_EQ(announcedAtReturn, 2u);
    EXPECT_EQ(syncedBeforeTrigger, 0u);
    EXPECT_TRUE(synced);
    EXPECT_EQ(takenLmt, 5000000u);
    EXPECT_EQ(syncedLmt, 5000000u);
    EXPECT_GE(clockAfter, 5000000u);
    EXPECT_FALSE(pendingAfter);
    for (const std::string b : {"raf3", "raf4"}) {
        const int announce = Hooks().IndexOf(b + ":OnAnnounceSync@4");
        const int appAnnounced = Hooks().IndexOf("app:OnSyncAnnounced " + b + "@4");
        const int adjusted = Hooks().IndexOf(b + ":OnAdjustedTimestamp@4");
        const int appSynced = Hooks().IndexOf("app:OnSynchronized " + b + "@4");
        ASSERT_GE(announce, 0) << b;
        EXPECT_LT(announce, appAnnounced) << b;
        EXPECT_LT(appAnnounced, adjusted) << b;
        EXPECT_LT(adjusted, appSynced) << b;
        EXPECT_GE(Hooks().IndexOf(b + ":adjusted to 5000000@4"), 0) << b;
    }
}

TEST_F(LocalTimingSyncConcurrency, ReannouncementIsCountedOnceAndTheLastLmtIsTaken)
{
    TestApplication app;
    unsigned announced = 0;
    bool synced = false;
    unsigned long long taken = 0;
    app.whileRunning = [&](TestApplication& a) {
        auto* b = TestBoards(a)[0];
        b->Timing()->AnnounceSync(1000);
        b->Timing()->AnnounceSync(7000000);
        announced = a.Announced();
        Tim(a)->CreateTrigEvent();
        synced = zvtest::WaitFor([&] { return a.Synchronized() == 1; });
        taken = b->Timing()->GetSynchronizedLMT();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(announced, 1u);
    EXPECT_TRUE(synced);
    EXPECT_EQ(taken, 7000000u);
    EXPECT_EQ(Hooks().Of("OnAnnounceSync").size(), 2u);
}

// The trigger takes the announced LMT, and the event thread completes the
// synchronisation, before the announcing thread has run its hooks (held up
// in the board's hook here, as by a busy machine or a second client's
// announcement at once): the sources still get their OnAdjustedTimestamp
// after their OnAnnouncedTimestampChange, and serve again.
TEST_F(LocalTimingSyncConcurrency, SourcesServeAfterASynchronisationThatOvertookItsAnnouncement)
{
    ServingSource source; // outlives the application's tree
    TestApplication app;
    bool takenInHook = false;
    bool synced = false;
    bool serving = false;
    app.whileRunning = [&](TestApplication& a) {
        auto* b = TestBoards(a)[0];
        b->GetTreeNode()->Add(mci::factory::Create<qreg::SignalNode>("serving", &source));
        SetHookAction([&](const std::string& who, const std::string& hook) {
            if (who == b->GetName() && hook == "OnAnnounceSync") {
                Tim(a)->CreateTrigEvent();
                takenInHook = zvtest::WaitFor([&] { return !b->Timing()->IsSyncPending(); });
            }
        });
        EXPECT_TRUE(b->Timing()->AnnounceSync(5000000));
        SetHookAction(nullptr);
        synced = zvtest::WaitFor([&] { return a.Synchronized() == 1; });
        serving = source.Serving();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_TRUE(takenInHook);
    EXPECT_TRUE(synced);
    EXPECT_TRUE(serving);
}

TEST_F(LocalTimingSyncConcurrency, LmtOutsideTheRangeIsNotAccepted)
{
    qstd::CaptureScope capture;
    TestApplication app;
    bool accepted = true;
    bool pending = true;
    app.whileRunning = [&](TestApplication& a) {
        auto* t = TestBoards(a)[0]->Timing();
        accepted = t->AnnounceSync(qfeature::LocalTimingSync::c_max_syncLMT + 1);
        pending = t->IsSyncPending();
        EXPECT_TRUE(t->AnnounceSync(qfeature::LocalTimingSync::c_max_syncLMT));
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(pending);
    EXPECT_EQ(app.Announced(), 1u);
    EXPECT_TRUE(capture.LoggedSubstring("is out of range; not accepted."));
}

TEST_F(LocalTimingSyncConcurrency, BoardThatNeverSeesTriggersStaysPending)
{
    TestApplication app;
    bool otherSynced = false;
    bool stuckPending = false;
    app.whileRunning = [&](TestApplication& a) {
        auto boards = TestBoards(a);
        for (auto* b : boards) {
            b->Timing()->AnnounceSync(0);
        }
        Tim(a)->CreateTrigEvent();
        otherSynced = zvtest::WaitFor([&] { return a.Synchronized() == 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stuckPending = boards[1]->Timing()->IsSyncPending();
        a.RequestStop();
    };
    const std::string deaf = "  <board type=\"175\" name=\"raf4\" slot=\"4\"><fault name=\"no_triggers\"/></board>\n";
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3}, deaf)));
    EXPECT_TRUE(otherSynced);
    EXPECT_TRUE(stuckPending);
    EXPECT_EQ(app.Announced(), 2u);
    EXPECT_EQ(app.Synchronized(), 1u);
}

TEST_F(LocalTimingSyncConcurrency, OscillatorEventSpacingFollowsTheDacCode)
{
    TestApplication app;
    double spacingHigh = 0, spacingLow = 0, expectedHigh = 0, expectedLow = 0;
    app.whileRunning = [&](TestApplication& a) {
        qboard::TimBoard* tim = Tim(a);
        sim::TimingBoard* simTim = tim->SimTiming();
        qsig::ZemtraEventStream::Client client(tim->GetEventStream(), "pll-test", 64);
        client.GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{16}));
        ASSERT_EQ(client.Open(), qsig::eSuccess);
        auto measure = [&](unsigned code, double& spacing, double& expected) {
            ASSERT_TRUE(tim->GetDac().SetValueA(code));
            expected = simTim->EventSpacing();
            // The first event after the change may have been produced before it.
            qsig::EventStruct e1, e2, e3;
            ASSERT_EQ(client.Read(e1), qsig::eSuccess);
            ASSERT_EQ(client.Read(e2), qsig::eSuccess);
            ASSERT_EQ(client.Read(e3), qsig::eSuccess);
            spacing = static_cast<double>(e3.lmt - e2.lmt);
        };
        measure(22535 + 20000, spacingHigh, expectedHigh);
        measure(22535 - 20000, spacingLow, expectedLow);
        client.Close();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_NEAR(spacingHigh, expectedHigh, 2.0);
    EXPECT_NEAR(spacingLow, expectedLow, 2.0);
    EXPECT_NE(expectedHigh, expectedLow);
}

TEST_F(LocalTimingSyncConcurrency, StartRecordIsAnsweredAtItsStartLmt)
{
    TestApplication app;
    unsigned long long start = 0, answerLmt = 0, clockAtAnswer = 0, stops = 0;
    qsig::SuccessCode_e rc = qsig::eBadRequest;
    app.whileRunning = [&](TestApplication& a) {
        auto* b = TestBoards(a)[0];
        qsig::ZemtraEventStream::Client client(b->Events(), "restart-test", 128);
        client.GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{34}));
        ASSERT_EQ(client.Open(), qsig::eSuccess);
        b->Events()->WriteEvent(qsig::EventStruct::Request(0xAA8));
        // 50 ms ahead.
        start = b->Timing()->GetCurrentLmt() + 5872002;
        b->Events()->WriteEvent(qsig::EventStruct::Request(0x554, start));
        qsig::EventStruct answer;
        rc = client.Read(answer);
        clockAtAnswer = b->Timing()->GetCurrentLmt();
        answerLmt = answer.lmt;
        stops = b->Board()->SimBoard()->StopRequests();
        client.Close();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(rc, qsig::eSuccess);
    EXPECT_EQ(answerLmt, start);
    EXPECT_GE(clockAtAnswer, start);
    EXPECT_EQ(stops, 1u);
}

TEST_F(LocalTimingSyncConcurrency, EventsCanBeDisabledAndEnabledWithinTheLibrarysIds)
{
    TestApplication app;
    app.whileRunning = [&](TestApplication& a) {
        auto* t = TestBoards(a)[0]->Timing();
        EXPECT_TRUE(t->IsEventEnabled(34));
        EXPECT_TRUE(t->DisableEvent(34));
        EXPECT_FALSE(t->IsEventEnabled(34));
        EXPECT_TRUE(t->IsEventEnabled(2));
        EXPECT_TRUE(t->EnableEvent(34));
        EXPECT_TRUE(t->IsEventEnabled(34));
        EXPECT_FALSE(t->DisableEvent(qsig::c_maxEventId + 1));
        EXPECT_FALSE(t->IsEventEnabled(qsig::c_maxEventId + 1));
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
}

} // namespace
