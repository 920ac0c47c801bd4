#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/random_access_zemtra.h"
#include "platform/qsig/segmented_buffer_controller.h"
#include "platform/qsig/simple_position_controller.h"
#include "qsig/data_on_demand_source.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <limits>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace qsig;
using namespace std::chrono_literals;

namespace {

// A region of `atoms` 8-byte atoms written by a simulated acquisition.
struct History {
    explicit History(size_t atoms)
        : memory(std::make_shared<sim::HistoryMemory>(atoms * 8)),
          track(std::make_shared<sim::HistoryMemory::Track>(memory, 0, atoms, 8))
    {
    }
    // Appends n atoms whose value is their index since the restart.
    void Append(size_t n, uint64_t step)
    {
        const auto st = track->Snapshot();
        std::vector<uint64_t> v(n);
        for (size_t i = 0; i < n; ++i) {
            v[i] = st.written + i;
        }
        const uint64_t first = st.written == 0 ? st.firstLmt : st.newestLmt + step;
        track->Append(v.data(), n, first, step);
    }
    // True once a read on another thread has looked at the track and waits
    // for atoms still to come, however late the scheduler ran it.
    bool ReaderWaits() const
    {
        return zvtest::WaitFor([this] { return track->ArmedWaiters() > 0; });
    }
    std::shared_ptr<sim::HistoryMemory> memory;
    std::shared_ptr<sim::HistoryMemory::Track> track;
};

struct Request {
    SuccessCode_e rc = eRefused;
    LMT lmt = 0;
    size_t position = 0;
    SignalMeta meta;
};

Request Ask(DodPositionController& c, AccessMode_e mode, uint64_t time, int64_t offset, size_t count)
{
    Request r;
    r.rc = c.GetPosition(mode, time, offset, count, r.lmt, r.position, r.meta);
    return r;
}

class CircularController : public ::testing::Test {
protected:
    CircularController() : history(100), controller(100, 1000000, 2)
    {
        controller.SetDecimation(10);
        // Waits outlast any scheduling delay; the tests of the time-out set their own.
        controller.SetTimeout(5s);
        controller.SetHistory(history.track);
        history.track->Restart(5000);
    }
    History history;
    CircularBufferController controller;
};

TEST_F(CircularController, NowReadsTheLatestAtoms)
{
    history.Append(250, 10); // atoms 0..249, LMT 5000..7490; slots hold 150..249
    auto r = Ask(controller, eAccessNow, 0, -20, 20);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(230u % 100, r.position);
    EXPECT_EQ(5000u + 230 * 10, r.lmt);
    EXPECT_EQ(int64_t(5000 + 2300), r.meta[eMetaLmt]);
    EXPECT_EQ(230, r.meta[eMetaSequence]);
    EXPECT_EQ(30, r.meta[eMetaPosition]);
    // Mode 14 with time 0 is "now" too.
    EXPECT_EQ(30u, Ask(controller, eAccessClone, 0, -20, 20).position);
}

TEST_F(CircularController, NowWithoutDataAsksToTryAgain)
{
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessNow, 0, -1, 1).rc);
}

TEST_F(CircularController, NowAheadWaitsForTheData)
{
    history.Append(10, 10);
    auto result = std::async(std::launch::async, [&] { return Ask(controller, eAccessNow, 0, 0, 5); });
    ASSERT_TRUE(history.ReaderWaits());
    history.Append(5, 10);
    auto r = result.get();
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(10u, r.position);
    EXPECT_EQ(5100u, r.lmt);
}

TEST_F(CircularController, DataNotComingTimesOutAndFarFutureIsRefusedAtOnce)
{
    history.Append(10, 10);
    controller.SetTimeout(30ms);
    // 5 atoms ahead at 1 MHz and decimation 10 are due in 50 µs: wait, time out.
    EXPECT_EQ(eTimeout, Ask(controller, eAccessNow, 0, 0, 5).rc);
    // An LMT ten seconds ahead is not due within the time-out: refused
    // without waiting any part of it.
    controller.SetTimeout(5s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessAtTime, 5000 + 10000000, 0, 1).rc);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(CircularController, AtTimeMapsLmtToPosition)
{
    history.Append(250, 10);
    auto r = Ask(controller, eAccessAtTime, 5000 + 180 * 10, 0, 10);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(80u, r.position);
    // The offset moves the start by whole atoms.
    EXPECT_EQ(78u, Ask(controller, eAccessAtTime, 5000 + 180 * 10, -2, 10).position);
    // An LMT between two atoms belongs to the earlier one.
    EXPECT_EQ(80u, Ask(controller, eAccessAtTime, 5000 + 180 * 10 + 7, 0, 1).position);
    // Overwritten (older than the newest 100 atoms) and before the restart.
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessAtTime, 5000 + 149 * 10, 0, 1).rc);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessAtTime, 4990, 0, 1).rc);
    EXPECT_EQ(eSuccess, Ask(controller, eAccessAtTime, 5000 + 150 * 10, 0, 1).rc);
}

TEST_F(CircularController, DefaultModeCountsAtomsFromTheRestart)
{
    history.Append(30, 10);
    auto r = Ask(controller, eAccessDefault, 12, 3, 5);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(15u, r.position);
    EXPECT_EQ(5150u, r.lmt);
}

TEST_F(CircularController, StreamingCloneReadsConsecutiveBlocks)
{
    history.Append(10, 10);
    auto clone = controller.Clone();
    clone->Start();
    auto first = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 4); });
    ASSERT_TRUE(history.ReaderWaits());
    history.Append(8, 10);
    auto a = first.get();
    ASSERT_EQ(eSuccess, a.rc);
    EXPECT_EQ(10u, a.position);
    auto b = Ask(*clone, eAccessStreaming, 0, 0, 4);
    ASSERT_EQ(eSuccess, b.rc);
    EXPECT_EQ(14u, b.position);
    EXPECT_EQ(a.lmt + 40, b.lmt);
    // The main controller keeps no streaming state of the clone.
    history.Append(4, 10);
    auto c = Ask(controller, eAccessStreaming, 0, -4, 4);
    EXPECT_EQ(eSuccess, c.rc);
    EXPECT_EQ(18u, c.position);
}

// A reset to the LMT at which the acquisition restarts: the reader goes on
// with the restart's first atom, which may come up to one atom later (on its
// source's grid); a restart a whole atom later is not the one announced. The
// history begun before the reset is not read, even where it holds the reset's
// LMT (restart 0: its acquisition still runs after the clock was set, or the
// clock was set back into its LMTs).
TEST_F(CircularController, StreamingAfterResetGoesOnAtTheRestartsFirstAtom)
{
    struct Case {
        uint64_t restart;
        SuccessCode_e rc;
    };
    for (const Case& c : {Case{9000, eSuccess}, Case{9009, eSuccess}, Case{9010, eTimeout}, Case{0, eTimeout}}) {
        SCOPED_TRACE(c.restart);
        history.track->Restart(c.restart != 0 ? 5000 : 8600);
        history.Append(50, 10);
        auto clone = controller.Clone();
        clone->Start();
        clone->Reset(9000);
        if (c.restart != 0) {
            history.track->Restart(c.restart);
        }
        history.Append(6, 10);
        if (c.rc == eTimeout) {
            dynamic_cast<DodHistoryController&>(*clone).SetTimeout(50ms);
        }
        auto r = Ask(*clone, eAccessStreaming, 0, 0, 3);
        ASSERT_EQ(c.rc, r.rc);
        EXPECT_EQ(9000u, clone->GetResetLmt());
        if (c.rc == eSuccess) {
            EXPECT_EQ(0u, r.position);
            EXPECT_EQ(c.restart, r.lmt);
            EXPECT_EQ(c.restart + 30, Ask(*clone, eAccessStreaming, 0, 0, 3).lmt);
        }
    }
}

TEST_F(CircularController, StreamingBehindByAWholeRegionReportsTheGap)
{
    history.Append(10, 10);
    auto clone = controller.Clone();
    ASSERT_EQ(eSuccess, Ask(*clone, eAccessStreaming, 0, -2, 2).rc);
    history.Append(300, 10);
    EXPECT_EQ(eIncompleteData, Ask(*clone, eAccessStreaming, 0, 0, 2).rc);
    // Atoms 10 to 309 passed over, told once.
    EXPECT_EQ(300u, clone->TakePassedOver());
    EXPECT_EQ(0u, clone->TakePassedOver());
    history.Append(2, 10);
    EXPECT_EQ(eSuccess, Ask(*clone, eAccessStreaming, 0, 0, 2).rc);
}

// A synchronisation announced (the controller disabled) ends the time line
// of the buffer that a reader ahead waits for: it takes, once, the atoms of
// that buffer acquired by then as a shorter buffer, rather than lose them
// with a buffer that the time line never completes; then it waits for the
// reset and goes on with the restarted time line in whole buffers.
TEST_F(CircularController, StreamingTakesItsAtomsWhenASynchronisationEndsTheTimeLine)
{
    history.Append(10, 10); // LMT 5000 to 5090
    auto clone = controller.Clone();
    clone->Start();
    ASSERT_EQ(eSuccess, Ask(*clone, eAccessStreaming, 0, -2, 2).rc); // goes on at LMT 5100
    history.Append(3, 10);                                           // 3 atoms of the next buffer of 8
    auto cut = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 8); });
    ASSERT_TRUE(history.ReaderWaits());
    clone->SetEnable(false);
    const Request r = cut.get();
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(5100u, r.lmt);
    EXPECT_EQ(3u, clone->GetMaxReadSizeFrom(r.position));
    EXPECT_EQ(std::numeric_limits<size_t>::max(), clone->GetMaxReadSizeFrom(r.position)); // once
    auto next = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 8); });
    history.Append(2, 10);
    EXPECT_EQ(std::future_status::timeout, next.wait_for(20ms));
    history.track->Restart(9000);
    clone->Reset(9000);
    history.Append(8, 10);
    clone->SetEnable(true);
    const Request n = next.get();
    ASSERT_EQ(eSuccess, n.rc);
    EXPECT_EQ(9000u, n.lmt);
    EXPECT_EQ(std::numeric_limits<size_t>::max(), clone->GetMaxReadSizeFrom(n.position));
}

TEST_F(CircularController, DisabledRefusesOutsideStreamingAndStreamingWaitsForEnable)
{
    history.Append(10, 10);
    controller.SetEnable(false);
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessNow, 0, -1, 1).rc);
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessAtTime, 5000, 0, 1).rc);
    auto clone = controller.Clone();
    EXPECT_FALSE(clone->IsEnabled()); // the clone copies the enable state
    history.Append(10, 10);
    auto r = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, -1, 1); });
    EXPECT_EQ(std::future_status::timeout, r.wait_for(20ms));
    clone->SetEnable(true);
    EXPECT_EQ(eSuccess, r.get().rc);
}

TEST_F(CircularController, NoHistoryStoppedAndUnsupported)
{
    CircularBufferController bare(100, 1000000, 2);
    EXPECT_EQ(eTryAgain, Ask(bare, eAccessNow, 0, -1, 1).rc);
    history.Append(10, 10);
    EXPECT_EQ(eBadRequest, Ask(controller, static_cast<AccessMode_e>(15), 0, 0, 1).rc);
    controller.Stop();
    EXPECT_EQ(eCancelled, Ask(controller, eAccessNow, 0, -1, 1).rc);
    EXPECT_EQ(100u, controller.GetMaxReadSize(-5, eAccessNow));
    EXPECT_TRUE(controller.IsPositionValid(99));
    EXPECT_FALSE(controller.IsPositionValid(100));
}

TEST(DodPositionControllerClone, CloneIsAnIndependentCopy)
{
    CircularBufferController main(64, 1000, 2);
    main.SetDecimation(7);
    main.SetTimeout(3s);
    main.SetSupportedModes({eAccessNow, eAccessStreaming});
    main.Start();
    main.SetEventClient(42);
    PosControllerPtr clone = main.Clone();
    ASSERT_TRUE(clone);
    EXPECT_NE(&main, clone.get());
    auto* typed = dynamic_cast<CircularBufferController*>(clone.get());
    ASSERT_NE(nullptr, typed);
    EXPECT_EQ(7u, typed->GetDecimation());
    EXPECT_EQ(std::chrono::steady_clock::duration(3s), typed->GetTimeout());
    EXPECT_EQ(64u, typed->GetSize());
    EXPECT_TRUE(typed->HasEventClient());
    EXPECT_TRUE(clone->IsModeSupported(eAccessStreaming));
    EXPECT_FALSE(clone->IsModeSupported(eAccessAtTime));
    EXPECT_FALSE(clone->IsStarted());
    clone->SetEnable(false);
    clone->Stop();
    EXPECT_TRUE(main.IsEnabled());
    EXPECT_FALSE(main.IsStopped());
}

TEST(DodPositionControllerConcurrency, StopReleasesAWaitingStreamingRead)
{
    History history(16);
    CircularBufferController controller(16, 1000, 2);
    controller.SetHistory(history.track);
    controller.SetTimeout(10s);
    auto clone = controller.Clone();
    clone->Start();
    auto r = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 4); });
    EXPECT_EQ(std::future_status::timeout, r.wait_for(20ms));
    const auto start = std::chrono::steady_clock::now();
    clone->Stop();
    EXPECT_EQ(eCancelled, r.get().rc);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A cancel ends its own reader's wait at once, and every later one, while
// another reader of the same controller goes on waiting and is served.
TEST(DodPositionControllerConcurrency, WaitCancelEndsOnlyItsOwnReadersWaits)
{
    History history(16);
    CircularBufferController controller(16, 1000, 2);
    controller.SetHistory(history.track);
    controller.SetTimeout(10s);
    history.track->Restart(5000);
    history.Append(4, 1);
    WaitCancel cancel;
    auto cancellable = [&] {
        WaitCancel::Scope scope(cancel, controller);
        return Ask(controller, eAccessNow, 0, 0, 4).rc;
    };
    auto first = std::async(std::launch::async, cancellable);
    auto other = std::async(std::launch::async, [&] { return Ask(controller, eAccessNow, 0, 0, 4).rc; });
    ASSERT_TRUE(zvtest::WaitFor([&] { return history.track->ArmedWaiters() >= 2; }));
    const auto start = std::chrono::steady_clock::now();
    cancel.Cancel();
    EXPECT_EQ(eCancelled, first.get());
    EXPECT_EQ(eCancelled, cancellable());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(std::future_status::timeout, other.wait_for(0s));
    history.Append(4, 1);
    EXPECT_EQ(eSuccess, other.get());
}

// CPU time and voluntary context switches of the calling thread.
struct ThreadUse {
    std::chrono::nanoseconds cpu;
    long sleeps;
};
ThreadUse ThreadUsage()
{
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return {std::chrono::seconds(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                std::chrono::microseconds(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec),
            ru.ru_nvcsw};
}

// A streaming read that waits sleeps: a second without data costs it a few
// wake-ups, not one per millisecond as a poll would (counted, since the CPU
// time of a few wake-ups under a sanitizer on a busy machine varies widely),
// and the append that completes its atoms wakes it at once, far sooner than
// it would look at the track by itself.
TEST(DodPositionControllerConcurrency, StreamingWaitSleepsUntilTheWriterSignals)
{
    History history(64);
    CircularBufferController controller(64, 1000000, 2);
    controller.SetHistory(history.track);
    controller.SetTimeout(10s);
    history.track->Restart(0);
    history.Append(1, 1);
    auto clone = controller.Clone();
    clone->Start();
    ThreadUse used{};
    auto r = std::async(std::launch::async, [&] {
        const ThreadUse before = ThreadUsage();
        auto request = Ask(*clone, eAccessStreaming, 0, 0, 4); // from the atom after the newest on
        const ThreadUse after = ThreadUsage();
        used = {after.cpu - before.cpu, after.sleeps - before.sleeps};
        return request;
    });
    EXPECT_EQ(std::future_status::timeout, r.wait_for(1s));
    ASSERT_TRUE(history.ReaderWaits());
    history.Append(3, 1);
    EXPECT_EQ(std::future_status::timeout, r.wait_for(50ms)); // one atom short
    const auto appended = std::chrono::steady_clock::now();
    history.Append(1, 1);
    const auto request = r.get();
    EXPECT_LT(std::chrono::steady_clock::now() - appended, 500ms);
    EXPECT_EQ(eSuccess, request.rc);
    EXPECT_EQ(1u, request.lmt);
    EXPECT_LT(used.sleeps, 50);
    EXPECT_LT(used.cpu, 200ms);
}

// A lazily written track makes its atoms only when looked at: a streaming read
// of 100 ms of data (1 MHz LMT, decimation 10) looks again when they are due,
// a few times in all, not every few hundred microseconds.
TEST(DodPositionControllerConcurrency, StreamingWaitOnALazyTrackLooksWhenTheDataAreDue)
{
    History history(20000);
    CircularBufferController controller(20000, 1000000, 2);
    controller.SetDecimation(10);
    controller.SetTimeout(10s);
    controller.SetHistory(history.track);
    const auto t0 = std::chrono::steady_clock::now();
    history.track->Restart(0);
    uint64_t made = 0; // guarded by the track: one writer call at a time
    std::atomic<int> looks{0};
    history.track->SetLazyWriter([&] {
        ++looks;
        const auto lmt = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
        const uint64_t due = static_cast<uint64_t>(lmt.count()) / 10 + 1;
        if (due > made) {
            history.track->AppendMade(due - made, made * 10, 10, [](uint64_t, void*) {});
            made = due;
        }
    });
    auto clone = controller.Clone();
    clone->Start();
    ASSERT_EQ(eSuccess, Ask(*clone, eAccessStreaming, 0, 0, 1).rc);
    looks = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto r = Ask(*clone, eAccessStreaming, 0, 0, 10000);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    history.track->SetLazyWriter(nullptr);
    EXPECT_EQ(eSuccess, r.rc);
    EXPECT_GE(elapsed, 80ms);
    EXPECT_LT(elapsed, 600ms);
    EXPECT_LT(looks.load(), 20);
}

// A streaming read whose start lies out of reach (an offset further back than
// the restart wraps it ahead by centuries) on a track that changes at every
// look: the wait for it looks at most at the coarse interval, not every
// hundred microseconds, and ends with the time-out.
TEST(DodPositionControllerConcurrency, StreamingWaitForAnUnreachableStartStaysCoarse)
{
    History history(1000);
    CircularBufferController controller(1000, 1000000, 2);
    controller.SetDecimation(10);
    controller.SetTimeout(300ms);
    controller.SetHistory(history.track);
    history.track->Restart(0);
    uint64_t made = 0; // guarded by the track: one writer call at a time
    std::atomic<int> looks{0};
    history.track->SetLazyWriter([&] {
        ++looks;
        history.track->AppendMade(1, made * 10, 10, [](uint64_t, void*) {});
        ++made;
    });
    auto clone = controller.Clone();
    clone->Start();
    const auto r = Ask(*clone, eAccessStreaming, 0, -1000, 1);
    history.track->SetLazyWriter(nullptr);
    EXPECT_EQ(eTimeout, r.rc);
    EXPECT_LT(looks.load(), 20);
}

TEST(DodPositionControllerConcurrency, StreamingFollowsAConcurrentWriter)
{
    History history(1024);
    CircularBufferController controller(1024, 1000000, 2);
    controller.SetHistory(history.track);
    history.track->Restart(0);
    history.Append(1, 1);
    auto clone = controller.Clone();
    clone->Start();
    std::atomic<bool> done{false};
    // LMT the reader asks for next. Once known, the writer stays at most half
    // the memory ahead of it; before that it writes one atom a millisecond, so
    // a reader that the scheduler holds back for up to half a second after
    // its first answer is never overrun (that would be a loss, which is not
    // what this looks at).
    std::atomic<uint64_t> next{std::numeric_limits<uint64_t>::max()};
    std::thread writer([&] {
        while (!done) {
            const uint64_t n = next.load();
            if (n == std::numeric_limits<uint64_t>::max()) {
                history.Append(1, 1);
                std::this_thread::sleep_for(1ms);
            } else if (history.track->Snapshot().newestLmt < n + 512) {
                history.Append(1, 1);
            } else {
                std::this_thread::sleep_for(100us);
            }
        }
    });
    // Every read starts where the previous one ended, however the writer runs.
    auto first = Ask(*clone, eAccessStreaming, 0, 0, 4);
    EXPECT_EQ(eSuccess, first.rc);
    uint64_t expected = first.lmt + 4;
    next = expected;
    int consecutive = 0;
    for (int i = 0; i < 40; ++i) {
        auto r = Ask(*clone, eAccessStreaming, 0, 0, 4);
        if (r.rc != eSuccess || r.lmt != expected) {
            break;
        }
        expected += 4;
        next = expected;
        ++consecutive;
    }
    done = true;
    writer.join();
    EXPECT_EQ(40, consecutive);
}

class SegmentedController : public ::testing::Test {
protected:
    // 4 sections of 10 atoms.
    SegmentedController() : history(40), controller(40, 4, 2)
    {
        controller.SetHistory(history.track);
        // Waits outlast any scheduling delay; the tests of the time-out set their own.
        controller.SetTimeout(5s);
        history.track->Restart(100);
    }
    History history;
    SegmentedBufferController controller;
};

TEST_F(SegmentedController, SectionsAndReadSizes)
{
    EXPECT_EQ(4u, controller.GetSections());
    EXPECT_EQ(10u, controller.GetSectionSize());
    EXPECT_EQ(10u, controller.GetMaxReadSize(0, eAccessNow));
    EXPECT_EQ(10u, controller.GetMaxReadSize(-3, eAccessNow));
    EXPECT_EQ(7u, controller.GetMaxReadSize(3, eAccessNow));
    EXPECT_EQ(0u, controller.GetMaxReadSize(10, eAccessNow));
    SegmentedBufferController none(40, 0, 2); // no sections: one section
    EXPECT_EQ(40u, none.GetSectionSize());
}

TEST_F(SegmentedController, NowReadsTheNewestCompleteSection)
{
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessNow, 0, 0, 10).rc);
    history.Append(25, 1); // sections 0 and 1 complete, 2 half written
    auto r = Ask(controller, eAccessNow, 0, 3, 5);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(13u, r.position);
    EXPECT_EQ(100u + 13, r.lmt);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessNow, 0, 10, 1).rc);
    EXPECT_EQ(13u, Ask(controller, eAccessClone, 0, 3, 5).position);      // 14 without a time: "now"
    EXPECT_EQ(2u, Ask(controller, eAccessClone, 100 + 2, 0, 5).position); // 14 with a time: at that LMT
    // Mode 10 counts sections back from the newest.
    EXPECT_EQ(0u, Ask(controller, eAccessDefault, 1, 0, 5).position);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessDefault, 2, 0, 5).rc);
}

TEST_F(SegmentedController, AtTimeFindsTheSectionOfTheLmtAndWrapsSlots)
{
    history.Append(60, 1); // sections 0..5; slots hold 2, 3, 4, 5 (as 2->0, 3->1, 4->2, 5->3)
    auto r = Ask(controller, eAccessAtTime, 100 + 47, 0, 3);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(0u * 10 + 7 + 0, r.position % 10);
    EXPECT_EQ(4u % 4 * 10 + 7, r.position);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessAtTime, 100 + 15, 0, 3).rc); // section 1: overwritten
    EXPECT_EQ(eTryAgain, Ask(controller, eAccessAtTime, 100 + 60, 0, 3).rc);   // not written yet
}

// Each section keeps the LMTs at which its atoms were acquired, one trigger
// after another with gaps between them: an LMT that a read's metadata gave
// finds the same atom after later sections came, the metadata of older
// sections give their own LMTs, and an LMT between sections is refused.
TEST_F(SegmentedController, SectionsKeepTheLmtsOfTheirTriggers)
{
    // Section k is acquired from LMT 1000 × (k + 1) on.
    const auto trigger = [&](uint64_t k) {
        std::vector<uint64_t> atoms(10);
        history.track->Append(atoms.data(), atoms.size(), 1000 * (k + 1), 1);
    };
    trigger(0);
    trigger(1);
    const Request newest = Ask(controller, eAccessNow, 0, 4, 1);
    ASSERT_EQ(eSuccess, newest.rc);
    EXPECT_EQ(14u, newest.position);
    EXPECT_EQ(2004u, newest.lmt);
    trigger(2);
    trigger(3);
    const struct {
        AccessMode_e mode;
        uint64_t time;
        int64_t offset;
        SuccessCode_e rc;
        size_t position;
        LMT lmt;
    } cases[] = {
        {eAccessAtTime, 2004, 0, eSuccess, 14, 2004}, // the atom of that read, two sections later
        {eAccessAtTime, 2000, 4, eSuccess, 14, 2004},
        {eAccessDefault, 2, 4, eSuccess, 14, 2004},
        {eAccessAtTime, 1000, 0, eSuccess, 0, 1000},
        {eAccessClone, 4009, 0, eSuccess, 39, 4009},
        {eAccessNow, 0, 9, eSuccess, 39, 4009},
        {eAccessAtTime, 2010, 0, eBadRequest, 0, 0}, // between sections 1 and 2
        {eAccessAtTime, 999, 0, eBadRequest, 0, 0},
        {eAccessAtTime, 4010, 0, eTryAgain, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", time " << c.time << ", offset " << c.offset);
        const Request r = Ask(controller, c.mode, c.time, c.offset, 1);
        EXPECT_EQ(c.rc, r.rc);
        if (c.rc == eSuccess && r.rc == eSuccess) {
            EXPECT_EQ(c.position, r.position);
            EXPECT_EQ(c.lmt, r.lmt);
            EXPECT_EQ(static_cast<int64_t>(c.lmt), r.meta.at(eMetaLmt));
        }
    }
}

TEST_F(SegmentedController, SectionBeingOverwrittenIsNotServed)
{
    // Sections 0..3 complete; section 4 has begun in the slot of section 0.
    history.Append(45, 1);
    auto valueAt = [&](size_t position) {
        uint64_t v = 0;
        history.memory->Read(&v, sizeof v, position * 8);
        return v;
    };
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessAtTime, 100 + 2, 0, 1).rc);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessDefault, 3, 0, 10).rc);
    auto r = Ask(controller, eAccessAtTime, 100 + 12, 0, 1);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(12u, valueAt(r.position));
    r = Ask(controller, eAccessDefault, 2, 0, 10);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(10u, valueAt(r.position));
    // Section 4 complete: section 0 is gone, the four others are whole.
    history.Append(5, 1);
    EXPECT_EQ(eBadRequest, Ask(controller, eAccessAtTime, 100 + 2, 0, 1).rc);
    r = Ask(controller, eAccessDefault, 3, 0, 10);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(10u, valueAt(r.position));
    r = Ask(controller, eAccessAtTime, 100 + 42, 0, 1);
    ASSERT_EQ(eSuccess, r.rc);
    EXPECT_EQ(42u, valueAt(r.position));
}

TEST_F(SegmentedController, StreamingSkipsTheSectionBeingOverwritten)
{
    // The held-back reader waits for the writer however late it is scheduled.
    controller.SetTimeout(10s);
    history.Append(10, 1);
    auto clone = controller.Clone();
    clone->Start();
    auto first = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 10); });
    EXPECT_EQ(std::future_status::timeout, first.wait_for(10ms));
    ASSERT_TRUE(history.ReaderWaits());
    history.Append(10, 1);
    ASSERT_EQ(eSuccess, first.get().rc); // section 1; section 2 is next
    // Sections up to 5 complete, section 6 half written over section 2.
    history.Append(45, 1);
    EXPECT_EQ(eIncompleteData, Ask(*clone, eAccessStreaming, 0, 0, 10).rc);
    history.Append(5, 1);
    auto r = Ask(*clone, eAccessStreaming, 0, 0, 10);
    ASSERT_EQ(eSuccess, r.rc);
    uint64_t v = 0;
    history.memory->Read(&v, sizeof v, r.position * 8);
    EXPECT_EQ(60u, v);
}

TEST_F(SegmentedController, StreamingHandsOutEverySectionOnce)
{
    // The held-back reader waits for the writer however late it is scheduled.
    controller.SetTimeout(10s);
    history.Append(10, 1);
    auto clone = controller.Clone();
    clone->Start();
    auto first = std::async(std::launch::async, [&] { return Ask(*clone, eAccessStreaming, 0, 0, 10); });
    EXPECT_EQ(std::future_status::timeout, first.wait_for(10ms));
    ASSERT_TRUE(history.ReaderWaits());
    history.Append(20, 1);
    auto a = first.get();
    ASSERT_EQ(eSuccess, a.rc);
    EXPECT_EQ(10u, a.position);
    auto b = Ask(*clone, eAccessStreaming, 0, 0, 10);
    ASSERT_EQ(eSuccess, b.rc);
    EXPECT_EQ(20u, b.position);
    controller.SetTimeout(20ms);
    auto slow = controller.Clone();
    EXPECT_EQ(eTimeout, Ask(*slow, eAccessStreaming, 0, 0, 10).rc);
}

// A read stays inside the section that it starts in, in every access mode:
// one whose count runs past the end of its section, from an offset or from
// an LMT near it, gets the atoms up to that end, never those of the next
// slot (another section). Read through a client of a source over the
// history, in chunks of 3 atoms; each atom holds its index since the restart.
TEST(SegmentedReads, EndWithTheSectionTheyStartIn)
{
    using AdcTraits = SignalTraits<short, std::array<short, 4>, 1>;
    struct Case {
        AccessMode_e mode;
        uint64_t time;
        int64_t offset;
        size_t count;
        SuccessCode_e rc;
        uint64_t first; // the first atom read
        size_t atoms;   // atoms read
    };
    // Sections 0..5 written at LMT 100..159: slots 0..3 hold sections 4, 5, 2
    // and 3, so the newest (5, in slot 1) is followed by section 2's atoms.
    // Mode 13 reads section 6, written once the reader waits for it.
    const Case cases[] = {
        {eAccessNow, 0, 0, 10, eSuccess, 50, 10},
        {eAccessNow, 0, 7, 10, eSuccess, 57, 3},
        {eAccessNow, 0, 9, 100, eSuccess, 59, 1},
        {eAccessNow, 0, 10, 1, eBadRequest, 0, 0},
        {eAccessDefault, 1, 8, 5, eSuccess, 48, 2},
        {eAccessDefault, 2, 9, 10, eSuccess, 39, 1}, // slot 3: at the region's end
        {eAccessAtTime, 100 + 57, 0, 10, eSuccess, 57, 3},
        {eAccessAtTime, 100 + 47, 0, 10, eSuccess, 47, 3}, // section 5 follows in the next slot
        {eAccessAtTime, 100 + 52, 5, 10, eSuccess, 57, 3},
        {eAccessAtTime, 100 + 50, 9, 4, eSuccess, 59, 1},
        {eAccessAtTime, 100 + 59, 0, 10, eSuccess, 59, 1},
        {eAccessAtTime, 100 + 55, 5, 1, eBadRequest, 0, 0},
        {eAccessClone, 100 + 58, 0, 10, eSuccess, 58, 2},
        {eAccessClone, 100 + 38, -3, 10, eSuccess, 38, 2}, // a negative offset counts as 0
        {eAccessClone, 0, 6, 10, eSuccess, 56, 4},
        {eAccessStreaming, 0, 6, 10, eSuccess, 66, 4},
        {eAccessStreaming, 0, 9, 5, eSuccess, 69, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", time " << c.time << ", offset " << c.offset
                                        << ", count " << c.count);
        History history(40);
        auto controller = std::make_shared<SegmentedBufferController>(40, 4, 2);
        controller->SetHistory(history.track);
        controller->SetTimeout(10s);
        history.track->Restart(100);
        history.Append(60, 1);
        auto source = std::make_shared<DataOnDemandSource<AdcTraits>>(
            "adc", std::make_shared<RandomAccessZemtra>(history.memory, ""), 0, 40 * 8, 3, ePriorityHigh, AdcTraits(),
            "");
        source->SetPositionController(controller);
        auto client = source->CreateClient("c");
        ASSERT_EQ(eSuccess, client.Open(c.mode, static_cast<unsigned>(c.count), c.offset));
        if (c.mode == eAccessStreaming) {
            ASSERT_TRUE(history.ReaderWaits());
            history.Append(10, 1);
        }
        Array<AdcTraits> buffer(AdcTraits(), static_cast<unsigned>(c.count));
        SignalMeta meta;
        ASSERT_EQ(c.rc, client.Read(buffer, meta, c.time));
        if (c.rc != eSuccess) {
            continue;
        }
        EXPECT_EQ(c.atoms, buffer.GetLength());
        for (size_t i = 0; i < buffer.GetLength(); ++i) {
            uint64_t value = 0;
            std::memcpy(&value, &buffer[static_cast<unsigned>(i)], sizeof value);
            EXPECT_EQ(c.first + i, value) << "atom " << i;
        }
    }
}

using AdcAtoms = SignalTraits<short, std::array<short, 4>, 1>;

// A region of 8-byte atoms that an acquisition writes in sections, one block
// per trigger, each atom holding the LMT at which it was acquired (made as
// it is read, as the simulated ADC history makes its atoms).
struct Triggered {
    class Lmts : public sim::HistoryMemory::Generator {
    public:
        uint64_t Now() const override { return 0; }
        void Fill(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const override
        {
            auto* out = static_cast<uint64_t*>(atoms);
            for (size_t i = 0; i < count; ++i) {
                out[i] = firstLmt + i * step;
            }
            std::function<void()> made;
            {
                std::lock_guard<std::mutex> lock(mutex);
                made.swap(whileMade);
            }
            if (made) {
                made();
            }
        }
        // Runs once, on the reader's thread, after the next atoms are made:
        // an acquisition that goes on while a read copies.
        void WhileMade(std::function<void()> f)
        {
            std::lock_guard<std::mutex> lock(mutex);
            whileMade = std::move(f);
        }
        mutable std::mutex mutex;
        mutable std::function<void()> whileMade;
        uint64_t Settled() const override { return settled.load(); }
        std::atomic<uint64_t> settled{0}; // what the acquisition has passed
    };
    // A controller made with 4 sections of size / 4 atoms, and its source.
    explicit Triggered(size_t size)
        : memory(std::make_shared<sim::HistoryMemory>(size * 8, false)),
          track(sim::HistoryMemory::GetTrack(memory, 0, size, 8)),
          controller(std::make_shared<SegmentedBufferController>(size, 4, 2)),
          source(std::make_shared<DataOnDemandSource<AdcAtoms>>("adc", std::make_shared<RandomAccessZemtra>(memory, ""),
                                                                0, size * 8, 3, ePriorityHigh, AdcAtoms(), ""))
    {
        sim::HistoryMemory::SetGenerator(track, lmts);
        controller->SetTimeout(10s);
        source->SetPositionController(controller);
    }
    // The section of n atoms of a trigger, acquired from lmt on.
    void Trigger(uint64_t lmt, size_t n) { track->AppendGenerated(n, lmt, 1); }
    // True once a reader ahead waits for the next section (it begins with
    // the next one written after its first look).
    bool ReaderWaits() const
    {
        return zvtest::WaitFor([this] { return track->ArmedWaiters() > 0; });
    }

    std::shared_ptr<sim::HistoryMemory> memory;
    std::shared_ptr<sim::HistoryMemory::Track> track;
    std::shared_ptr<Lmts> lmts = std::make_shared<Lmts>();
    std::shared_ptr<SegmentedBufferController> controller;
    std::shared_ptr<DataOnDemandSource<AdcAtoms>> source;
};

// One read of a client: its code, the LMT and section that its metadata
// give, and its atoms (each the LMT it was acquired at).
struct Got {
    SuccessCode_e rc = eRefused;
    int64_t lmt = -1;
    int64_t section = -1;
    std::vector<uint64_t> atoms;
};

Got ReadFrom(DodClient<AdcAtoms>& client, size_t count, uint64_t time)
{
    Array<AdcAtoms> buffer(AdcAtoms(), static_cast<unsigned>(count));
    SignalMeta meta;
    Got got;
    got.rc = client.Read(buffer, meta, time);
    got.lmt = meta[eMetaLmt];
    got.section = meta[eMetaSequence];
    for (unsigned i = 0; got.rc == eSuccess && i < buffer.GetLength(); ++i) {
        uint64_t lmt = 0;
        std::memcpy(&lmt, &buffer[i], sizeof lmt);
        got.atoms.push_back(lmt);
    }
    return got;
}

// A read of count atoms from LMT lmt on, each at the LMT that the read's
// metadata give: none belongs to another trigger's section.
void ExpectSection(const Got& got, uint64_t lmt, size_t count)
{
    ASSERT_EQ(eSuccess, got.rc);
    EXPECT_EQ(static_cast<int64_t>(lmt), got.lmt);
    EXPECT_EQ(count, got.atoms.size());
    for (size_t i = 0; i < got.atoms.size(); ++i) {
        ASSERT_EQ(static_cast<uint64_t>(got.lmt) + i, got.atoms[i]) << "atom " << i;
    }
}

// The acquisition's duration changes at run time: each trigger's section has
// the duration of its own trigger (halved, doubled, one that does not divide
// the region and wraps at its end), and a read in every mode stays inside the
// section that it starts in, every atom at the LMT that its metadata give.
TEST(SegmentedReads, FollowTheDurationOfEachTrigger)
{
    struct Case {
        AccessMode_e mode;
        uint64_t time;
        int64_t offset;
        size_t count;
        SuccessCode_e rc;
        uint64_t lmt; // of the first atom read
        size_t atoms; // atoms read
        int64_t section;
    };
    // Region of 64 atoms, made as 4 sections of 16. Trigger k (0..6) takes
    // a section from LMT 1000 (k + 1) on, of 16, 16, 8, 8, 32, 5 and 12
    // atoms: at atoms 0, 16, 32, 40, 48, 80 and 85. The region holds atoms 33
    // to 96: section 2 has lost its first atom, section 4 wraps at the end.
    const Case cases[] = {
        {eAccessNow, 0, 0, 100, eSuccess, 7000, 12, 6},       {eAccessNow, 0, 5, 4, eSuccess, 7005, 4, 6},
        {eAccessNow, 0, 12, 1, eBadRequest, 0, 0, 0}, // past the newest section's end
        {eAccessDefault, 1, 0, 100, eSuccess, 6000, 5, 5},    {eAccessDefault, 2, 0, 100, eSuccess, 5000, 32, 4},
        {eAccessDefault, 2, 20, 100, eSuccess, 5020, 12, 4},  {eAccessDefault, 3, 6, 100, eSuccess, 4006, 2, 3},
        {eAccessDefault, 4, 0, 1, eBadRequest, 0, 0, 0}, // no longer whole
        {eAccessAtTime, 5010, 0, 100, eSuccess, 5010, 22, 4}, {eAccessAtTime, 5030, 0, 100, eSuccess, 5030, 2, 4},
        {eAccessAtTime, 4003, 2, 100, eSuccess, 4005, 3, 3},  {eAccessAtTime, 6004, 0, 10, eSuccess, 6004, 1, 5},
        {eAccessAtTime, 6005, 0, 1, eBadRequest, 0, 0, 0}, // between two sections
        {eAccessAtTime, 3005, 0, 1, eBadRequest, 0, 0, 0}, // in section 2
        {eAccessAtTime, 7012, 0, 1, eTryAgain, 0, 0, 0},      {eAccessClone, 7011, 0, 5, eSuccess, 7011, 1, 6},
        {eAccessClone, 0, 10, 5, eSuccess, 7010, 2, 6},
    };
    Triggered history(64);
    const size_t sizes[] = {16, 16, 8, 8, 32, 5, 12};
    for (size_t k = 0; k < 7; ++k) {
        history.Trigger(1000 * (k + 1), sizes[k]);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", time " << c.time << ", offset " << c.offset
                                        << ", count " << c.count);
        auto client = history.source->CreateClient("c");
        ASSERT_EQ(eSuccess, client.Open(c.mode, static_cast<unsigned>(c.count), c.offset));
        const Got got = ReadFrom(client, c.count, c.time);
        if (c.rc != eSuccess) {
            EXPECT_EQ(c.rc, got.rc);
            continue;
        }
        ExpectSection(got, c.lmt, c.atoms);
        EXPECT_EQ(c.section, got.section);
    }
}

// An acquisition offset that grew by more than the time between two triggers
// puts the next sections before those already held (and before the atom of
// the restart): every LMT that a section holds is still read from it, and
// the LMTs that none holds are refused.
TEST(SegmentedReads, FindTheSectionOfAnLmtWhenSectionsComeOutOfLmtOrder)
{
    const struct {
        uint64_t lmt;
        SuccessCode_e rc;
        size_t atoms;
        int64_t section;
    } cases[] = {
        {1003, eSuccess, 5, 0},    {2003, eSuccess, 5, 1},    {505, eSuccess, 3, 2},
        {1500, eSuccess, 8, 3},    {1010, eBadRequest, 0, 0}, // between sections 0 and 3
        {2010, eBadRequest, 0, 0},                            // after every section, passed
        {400, eBadRequest, 0, 0},                             // before every section
        {3000, eTryAgain, 0, 0},                              // not passed yet
    };
    Triggered history(64);
    history.lmts->settled = 2500;
    for (const uint64_t lmt : {1000, 2000, 500, 1500}) {
        history.Trigger(lmt, 8);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "LMT " << c.lmt);
        auto client = history.source->CreateClient("c");
        ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 16, 0));
        const Got got = ReadFrom(client, 16, c.lmt);
        if (c.rc != eSuccess) {
            EXPECT_EQ(c.rc, got.rc);
            continue;
        }
        ExpectSection(got, c.lmt, c.atoms);
        EXPECT_EQ(c.section, got.section);
    }
}

// A reader ahead (mode 13) reads each trigger's section whole, whatever its
// duration (also longer than every section held when it opened), as the
// sections come one by one.
TEST(SegmentedReads, AheadReadsEachTriggersSectionWhole)
{
    Triggered history(64);
    history.Trigger(1000, 8);
    auto client = history.source->CreateClient("ahead");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 64, 0));
    ASSERT_TRUE(history.ReaderWaits());
    const size_t sizes[] = {16, 8, 32, 5, 48, 24, 32};
    for (size_t k = 0; k < sizeof sizes / sizeof sizes[0]; ++k) {
        SCOPED_TRACE(testing::Message() << "section of " << sizes[k] << " atoms");
        history.Trigger(1000 * (k + 2), sizes[k]);
        ExpectSection(ReadFrom(client, 64, 0), 1000 * (k + 2), sizes[k]);
    }
    client.Close();
}

// A reader ahead whose buffers are shorter than a section (a remote reader's
// are a chunk at most) gets the rest of the section in the next buffers,
// from its offset on, each at the LMTs its metadata give and numbered as
// the section, before the next section. A later section that ends before
// the offset ends the read, and the reader is told how many atoms it holds.
TEST(SegmentedReads, AheadReadsASectionLongerThanItsBufferInParts)
{
    struct Part {
        uint64_t lmt;
        size_t atoms;
        int64_t section;
    };
    const struct {
        long long offset;
        std::vector<Part> parts;
    } cases[] = {
        {0, {{2000, 10, 1}, {2010, 10, 1}, {2020, 5, 1}, {3000, 10, 2}, {4000, 7, 3}}},
        {3, {{2003, 10, 1}, {2013, 10, 1}, {2023, 2, 1}, {3003, 7, 2}, {4003, 4, 3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset);
        Triggered history(64);
        history.Trigger(1000, 16);
        auto client = history.source->CreateClient("ahead");
        ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 10, c.offset));
        ASSERT_TRUE(history.ReaderWaits());
        history.Trigger(2000, 25);
        history.Trigger(3000, 10);
        history.Trigger(4000, 7);
        for (const Part& part : c.parts) {
            const Got got = ReadFrom(client, 10, 0);
            ExpectSection(got, part.lmt, part.atoms);
            EXPECT_EQ(part.section, got.section);
        }
        history.Trigger(5000, 3);
        if (c.offset == 0) {
            ExpectSection(ReadFrom(client, 10, 0), 5000, 3);
        } else {
            EXPECT_EQ(eBadRequest, ReadFrom(client, 10, 0).rc);
            const std::string words = "section 4 holds 3 atoms, fewer than the offset 3: ";
            EXPECT_EQ(words, client.Explain(eBadRequest).substr(0, words.size()));
        }
        client.Close();
    }
}

// A reader ahead goes on through a synchronisation with the section of the
// synchronising trigger (the first at the new LMT), to an earlier or a later
// LMT, whatever comes first: the reset of the readers to the new LMT, or
// that section with the restart of the history that it begins; also without
// a restart, and with the new time line that the section begins (a section of
// the old one that the reader had not read yet is passed over).
TEST(SegmentedReads, AheadGoesOnWithTheSectionOfTheSynchronisingTrigger)
{
    enum Order_e { eRestartThenReset, eResetThenRestart, eNoRestart, eNewTimeLine };
    const struct {
        Order_e order;
        uint64_t lmt;
    } cases[] = {
        {eRestartThenReset, 0},     {eResetThenRestart, 0},     {eNoRestart, 0},     {eNewTimeLine, 0},
        {eRestartThenReset, 90000}, {eResetThenRestart, 90000}, {eNoRestart, 90000}, {eNewTimeLine, 90000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "order " << c.order << ", LMT " << c.lmt);
        Triggered history(64);
        history.Trigger(50000, 16);
        auto client = history.source->CreateClient("ahead");
        ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 16, 0));
        ASSERT_TRUE(history.ReaderWaits());
        history.Trigger(60000, 16);
        ExpectSection(ReadFrom(client, 16, 0), 60000, 16);
        // The announcement holds the readers; the synchronising trigger
        // takes the new LMT, and the readers are reset to it.
        history.source->OnAnnouncedTimestampChange();
        switch (c.order) {
        case eRestartThenReset:
            history.track->Restart(c.lmt);
            history.Trigger(c.lmt, 16);
            history.source->OnAdjustedTimestamp(0, c.lmt);
            break;
        case eResetThenRestart:
            history.source->OnAdjustedTimestamp(0, c.lmt);
            history.track->Restart(c.lmt);
            history.Trigger(c.lmt, 16);
            break;
        case eNoRestart:
            history.Trigger(c.lmt, 16);
            history.source->OnAdjustedTimestamp(0, c.lmt);
            break;
        case eNewTimeLine:
            history.Trigger(70000, 16);
            history.track->NewTimeLine(c.lmt);
            history.Trigger(c.lmt, 16);
            history.source->OnAdjustedTimestamp(0, c.lmt);
            break;
        }
        history.Trigger(c.lmt + 10000, 16);
        ExpectSection(ReadFrom(client, 16, 0), c.lmt, 16);
        ExpectSection(ReadFrom(client, 16, 0), c.lmt + 10000, 16);
        client.Close();
    }
}

// A trigger that comes while a read copies its section (the first atoms are
// made): a read whose section it writes over, a section as large as the
// region or nearly, is refused with words that say so rather than give the
// new section's atoms under the old one's LMT, in every mode; one of another
// section goes on. Each case fills the region of 64 atoms with sections of
// its size from LMT 1000 on, 1000 apart, then reads.
TEST(SegmentedReads, ASectionOverwrittenWhileItIsReadIsRefused)
{
    const struct {
        AccessMode_e mode;
        uint64_t time;
        size_t size;
        SuccessCode_e rc;
        uint64_t lmt; // of the first atom read
    } cases[] = {
        {eAccessNow, 0, 64, eIncompleteData, 0},       {eAccessDefault, 0, 64, eIncompleteData, 0},
        {eAccessAtTime, 1010, 64, eIncompleteData, 0}, {eAccessClone, 1010, 64, eIncompleteData, 0},
        {eAccessClone, 0, 60, eIncompleteData, 0},     {eAccessDefault, 3, 16, eIncompleteData, 0},
        {eAccessNow, 0, 16, eSuccess, 4000},           {eAccessDefault, 2, 16, eSuccess, 2000},
        {eAccessAtTime, 3003, 16, eSuccess, 3003},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", time " << c.time << ", sections of " << c.size);
        Triggered history(64);
        uint64_t lmt = 1000;
        for (size_t n = 0; n + c.size <= 64; n += c.size, lmt += 1000) {
            history.Trigger(lmt, c.size);
        }
        auto client = history.source->CreateClient("c");
        ASSERT_EQ(eSuccess, client.Open(c.mode, 64, 0));
        history.lmts->WhileMade([&] { history.Trigger(lmt, c.size); });
        const Got got = ReadFrom(client, 64, c.time);
        if (c.rc == eSuccess) {
            ExpectSection(got, c.lmt, c.size - (c.lmt % 1000));
            continue;
        }
        EXPECT_EQ(c.rc, got.rc);
        EXPECT_NE(std::string::npos, client.Explain(got.rc).find("overwritten while it was read"))
            << client.Explain(got.rc);
    }
}

// A reader ahead whose section the next trigger writes over while it reads it
// is told so once, then goes on with that trigger's section, whose number
// tells the section lost.
TEST(SegmentedReads, AheadGoesOnAfterASectionOverwrittenWhileItIsRead)
{
    Triggered history(64);
    history.Trigger(1000, 64);
    auto client = history.source->CreateClient("ahead");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 64, 0));
    ASSERT_TRUE(history.ReaderWaits());
    history.Trigger(2000, 64);
    const Got before = ReadFrom(client, 64, 0);
    ExpectSection(before, 2000, 64);
    history.lmts->WhileMade([&] { history.Trigger(4000, 64); });
    history.Trigger(3000, 64);
    EXPECT_EQ(eIncompleteData, ReadFrom(client, 64, 0).rc);
    const Got after = ReadFrom(client, 64, 0);
    ExpectSection(after, 4000, 64);
    EXPECT_EQ(before.section + 2, after.section);
    client.Close();
}

// A reader ahead whose buffers are shorter than its section, whose rest the
// next trigger writes over while a later part is copied, counts that rest
// as lost before it goes on with the next section: the next section's
// number is the one after it, so nothing else tells the hole.
TEST(SegmentedReads, AheadCountsTheRestOfASectionOverwrittenWhileAPartIsRead)
{
    Triggered history(64);
    history.Trigger(1000, 16);
    auto client = history.source->CreateClient("ahead");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 10, 0));
    ASSERT_TRUE(history.ReaderWaits());
    // The first part is made in 4 chunks of at most 3 atoms; the next
    // trigger comes while the second part is made.
    std::function<void(int)> after = [&](int chunks) {
        history.lmts->WhileMade([&, chunks] {
            if (chunks == 0) {
                history.Trigger(3000, 64);
            } else {
                after(chunks - 1);
            }
        });
    };
    after(4);
    history.Trigger(2000, 64);
    // The first part, then the 7 parts of the section at 3000.
    ASSERT_TRUE(zvtest::WaitFor([&] { return client.GetQueuedCount() == 8; }));
    EXPECT_EQ(54u, client.GetQueueCounters().lost); // atoms 10..63 of the section at 2000
    std::vector<int64_t> lmts;
    for (int reads = 0; reads < 10 && lmts.size() < 2; ++reads) {
        const Got got = ReadFrom(client, 10, 0);
        if (got.rc == eSuccess) {
            lmts.push_back(got.lmt);
        }
    }
    EXPECT_EQ((std::vector<int64_t>{2000, 3000}), lmts);
    client.Close();
}

// A reader ahead whose queued buffers the test takes as the forwarding does,
// each with the number of its first atom among the atoms offered to the
// reader, which the forwarding puts on it (eMetaOfferedAtom).
struct NumberedReader : DodClient<AdcAtoms> {
    explicit NumberedReader(Triggered& history) : DodClient<AdcAtoms>(history.source, "ahead", AdcAtoms()) {}
    // The number and the first atom's LMT of the next buffer queued.
    std::pair<uint64_t, uint64_t> Next()
    {
        EXPECT_TRUE(zvtest::WaitFor([this] { return GetQueuedCount() > 0; }));
        MetaBufferPair<AdcAtoms>::MetaBufferPtr item;
        bool ended = false;
        uint64_t number = 0;
        while (!ended && !item && GetQueuedCount() > 0) {
            m_queue.PopUnlessEnded(item, ended, number); // a -2 told once comes first
        }
        uint64_t lmt = 0;
        if (item && item->data.GetLength() > 0) {
            std::memcpy(&lmt, &item->data[0], sizeof lmt);
        }
        return {number, lmt};
    }
};

// A reader ahead that falls behind, the section it reads overwritten while
// it copies it and the next ones before it comes to them, numbers the atoms
// of the section after them past all those it would have read of the
// sections it passed over, exactly: just after its first section, and when
// its queue, full meanwhile, dropped atoms too (a section read in buffers
// of one atom). Each case fills a region with a section of 16 atoms, then
// the reader's first section, its second, overwritten while it is copied by
// sections passed over, and the one after them.
TEST(SegmentedReads, AheadNumbersWhatItPassedOverAmongTheAtomsOffered)
{
    const struct {
        size_t region;
        unsigned bufferAtoms;
        size_t first; // atoms of the first section read
        size_t second;
        size_t passed;     // sections passed over
        size_t passedSize; // and their atoms
    } cases[] = {
        {64, 64, 16, 16, 5, 16}, {128, 1, 70, 10, 3, 50}, // 64 buffers of the first section queued, 6 dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "buffers of " << c.bufferAtoms << " atoms");
        Triggered history(c.region);
        history.Trigger(1000, 16);
        NumberedReader reader(history);
        ASSERT_EQ(eSuccess, reader.Open(eAccessStreaming, c.bufferAtoms, 0));
        ASSERT_TRUE(history.ReaderWaits());
        history.Trigger(2000, c.first);
        ASSERT_TRUE(zvtest::WaitFor([&] { return reader.GetQueueCounters().pushed == c.first; }));
        ASSERT_TRUE(history.ReaderWaits());
        std::atomic<bool> passing{false};
        history.lmts->WhileMade([&] {
            for (size_t k = 0; k < c.passed; ++k) {
                history.Trigger(4000 + 1000 * k, c.passedSize);
            }
            passing = true;
        });
        history.Trigger(3000, c.second);
        ASSERT_TRUE(zvtest::WaitFor([&] { return passing.load(); }));
        ASSERT_TRUE(history.ReaderWaits());
        // The reader takes what was queued of the first section.
        const size_t queued = std::min<size_t>(64, (c.first + c.bufferAtoms - 1) / c.bufferAtoms);
        std::pair<uint64_t, uint64_t> got;
        for (size_t i = 0; i < queued; ++i) {
            got = reader.Next();
        }
        EXPECT_EQ((std::pair<uint64_t, uint64_t>{(queued - 1) * c.bufferAtoms, 2000 + (queued - 1) * c.bufferAtoms}),
                  got);
        history.Trigger(9000, 5);
        got = reader.Next();
        EXPECT_EQ((std::pair<uint64_t, uint64_t>{c.first + c.second + c.passed * c.passedSize, 9000}), got);
        reader.Close();
    }
}

TEST(SimpleController, PositionsFollowOffsetAndTime)
{
    SimplePositionController c(2048);
    EXPECT_EQ(2048u, c.GetMaxReadSize(0, eAccessNow));
    EXPECT_EQ(48u, c.GetMaxReadSize(2000, eAccessNow));
    EXPECT_EQ(0u, c.GetMaxReadSize(2048, eAccessNow));
    for (AccessMode_e m : {eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone}) {
        auto r = Ask(c, m, 77, 2000, 100);
        ASSERT_EQ(eSuccess, r.rc) << m;
        EXPECT_EQ(2000u, r.position) << m;
    }
    EXPECT_EQ(30u, Ask(c, eAccessDefault, 20, 10, 1).position);
    EXPECT_EQ(eBadRequest, Ask(c, eAccessNow, 0, 2048, 1).rc);
    EXPECT_EQ(eBadRequest, Ask(c, eAccessDefault, 2040, 8, 1).rc);
    EXPECT_EQ(0u, Ask(c, eAccessNow, 0, -5, 1).position);
    c.SetEnable(false);
    EXPECT_EQ(eTryAgain, Ask(c, eAccessNow, 0, 0, 1).rc);
    auto clone = c.Clone();
    clone->SetEnable(true);
    clone->Stop();
    EXPECT_EQ(eCancelled, Ask(*clone, eAccessStreaming, 0, 0, 1).rc);
    EXPECT_TRUE(c.IsPositionValid(2047));
    EXPECT_FALSE(c.IsPositionValid(2048));
}

// Each refusal comes with words on what it means for that read, from the
// read's arguments and the controller's state.
TEST(DodPositionControllerWords, RefusalsAreExplained)
{
    History circular(100);
    CircularBufferController c(100, 1000000, 2);
    c.SetDecimation(10);
    c.SetTimeout(30ms);
    c.SetHistory(circular.track);
    circular.track->Restart(5000);
    CircularBufferController empty(100, 1000000, 2); // nothing recorded since the restart
    empty.SetHistory(History(100).track);
    circular.Append(250, 10); // atoms 0..249, LMT 5000..7490; slots hold 150..249
    const std::string holds =
        "the history holds LMT 6500 to 7490 (atoms 150 to 249 since its last restart at LMT 5000)";
    History sections(40);
    SegmentedBufferController s(40, 4, 2); // 4 sections of 10 atoms
    s.SetHistory(sections.track);
    sections.track->Restart(100);
    sections.Append(45, 1); // sections 0..3 complete, 4 written over section 0
    const std::string inSections = "sections of 10 atoms; the history holds LMT 110 to 144 (atoms 10 to 44 since its "
                                   "last restart at LMT 100), 3 complete sections";
    History late(40); // recorded from LMT 1000 on, long after its restart at 0
    SegmentedBufferController l(40, 4, 2);
    l.SetHistory(late.track);
    late.track->Restart(0);
    const std::vector<uint64_t> atoms(20);
    late.track->Append(atoms.data(), atoms.size(), 1000, 1);
    History gaps(40); // sections acquired from LMT 1000, 2000, 3000 and 4000 on
    SegmentedBufferController g(40, 4, 2);
    g.SetHistory(gaps.track);
    gaps.track->Restart(100);
    for (uint64_t k = 1; k <= 4; ++k) {
        const std::vector<uint64_t> section(10);
        gaps.track->Append(section.data(), section.size(), 1000 * k, 1);
    }
    Triggered varied(64); // sections of 16 and 8 atoms; the acquisition has passed LMT 2499
    varied.Trigger(1000, 16);
    varied.Trigger(2000, 8);
    varied.lmts->settled = 2500;
    const std::string inVaried = "sections of 8 to 16 atoms; the history holds LMT 1000 to 2007 (atoms 0 to 23 since "
                                 "its last restart at LMT 1000), 2 complete sections";
    SimplePositionController simple(2048);
    const std::string buffer = "the buffer holds 2048 atoms, 0 to 2047";
    struct Case {
        DodPositionController& controller;
        AccessMode_e mode;
        uint64_t time;
        int64_t offset;
        size_t count;
        SuccessCode_e code;
        std::string words;
        RefusalKind kind = {}; // a read past the end, and the atoms of its section
    };
    const RefusalKind past{true, 0};
    const std::vector<Case> cases = {
        {c, static_cast<AccessMode_e>(9), 0, 0, 1, eBadRequest,
         "the signal does not serve access mode 9; it serves 10, 11, 12, 13 and 14"},
        {c, eAccessDefault, 10, 0, 1, eBadRequest, "the atom at LMT 5100 was overwritten: " + holds},
        {c, eAccessAtTime, 4000, 0, 3, eBadRequest,
         "the 3 atoms at LMT 4000 to 4020 lie before the history's last restart (LMT 5000)"},
        {c, eAccessClone, 5000 + 10000000, 0, 2, eTryAgain,
         "the 2 atoms at LMT 10005000 to 10005010 are not recorded yet and not due within the time-out (0.03 s): " +
             holds,
         past},
        {c, eAccessNow, 0, 0, 1, eTimeout, "the atom at LMT 7500 did not come within the time-out (0.03 s): " + holds},
        {empty, eAccessNow, 0, -1, 1, eTryAgain, "the history holds nothing since its last restart at LMT 0"},
        {s, eAccessNow, 0, 10, 1, eBadRequest, "the offset 10 lies outside a section of 10 atoms", {true, 10}},
        {s, eAccessDefault, 3, 0, 10, eBadRequest, "section 3 back from the newest is not held: " + inSections},
        {s, eAccessAtTime, 102, 0, 1, eBadRequest, "the section of LMT 102 was overwritten: " + inSections},
        {s, eAccessAtTime, 99, 0, 1, eBadRequest, "LMT 99 lies before the history's last restart (LMT 100)"},
        {s, eAccessAtTime, 142, 0, 1, eTryAgain, "the section of LMT 142 is still being written: " + inSections},
        {s, eAccessAtTime, 145, 0, 1, eTryAgain, "LMT 145 is not recorded yet: " + inSections, past},
        {s,
         eAccessAtTime,
         118,
         5,
         1,
         eBadRequest,
         "the offset 5 from LMT 118 runs past the end of its section: " + inSections,
         {true, 10}},
        {l, eAccessAtTime, 5, 0, 1, eBadRequest,
         "LMT 5 is older than what the history holds: sections of 10 atoms; the history holds LMT 1000 to "
         "1019 (atoms 0 to 19 since its last restart at LMT 0), 2 complete sections"},
        {g, eAccessAtTime, 2010, 0, 1, eBadRequest,
         "LMT 2010 lies between two sections, in a gap of the acquisition: sections of 10 atoms; the history holds "
         "LMT 1000 to 4009 (atoms 0 to 39 since its last restart at LMT 100), 4 complete sections"},
        {*varied.controller,
         eAccessNow,
         0,
         8,
         1,
         eBadRequest,
         "the offset 8 lies outside the newest section, of 8 atoms: " + inVaried,
         {true, 8}},
        {*varied.controller,
         eAccessNow,
         0,
         16,
         1,
         eBadRequest,
         "the offset 16 lies outside the largest section held, of 16 atoms",
         {true, 8}},
        {*varied.controller, eAccessAtTime, 2008, 0, 1, eBadRequest,
         "LMT 2008 lies after the newest section, in a gap of the acquisition that no section will fill: " + inVaried},
        {*varied.controller, eAccessAtTime, 2500, 0, 1, eTryAgain, "LMT 2500 is not recorded yet: " + inVaried, past},
        {simple, eAccessDefault, 2040, 8, 1, eBadRequest, "atom 2048 lies past the buffer's end: " + buffer, past},
        {simple, eAccessNow, 0, 2048, 1, eBadRequest, "the offset 2048 lies past the buffer's end: " + buffer, past},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.code, Ask(k.controller, k.mode, k.time, k.offset, k.count).rc) << k.words;
        RefusalKind kind{true, 1}; // each told anew
        EXPECT_EQ(k.words, k.controller.Explain(k.mode, k.time, k.offset, k.count, k.code, &kind));
        EXPECT_EQ(k.kind.pastTheEnd, kind.pastTheEnd) << k.words;
        EXPECT_EQ(k.kind.sectionAtoms, kind.sectionAtoms) << k.words;
    }
    // A disabled or stopped controller says so; a code that says all gets no words.
    simple.SetEnable(false);
    EXPECT_EQ("the signal is disabled", simple.Explain(eAccessNow, 0, 0, 1, eTryAgain));
    c.Stop();
    EXPECT_EQ("the signal is stopped", c.Explain(eAccessNow, 0, 0, 1, eCancelled));
    EXPECT_EQ("", s.Explain(eAccessNow, 0, 0, 1, eSuccess));
}

TEST(RandomAccessZemtraBuffer, ReadsTheDeviceMemoryWithWrapAround)
{
    auto memory = std::make_shared<sim::HistoryMemory>(32);
    std::vector<char> bytes(32);
    for (int i = 0; i < 32; ++i) {
        bytes[i] = static_cast<char>(i);
    }
    memory->Write(bytes.data(), 32, 0);
    RandomAccessZemtra buffer(memory, "dma");
    EXPECT_TRUE(buffer.IsCircular());
    EXPECT_EQ(32u, buffer.GetByteSize());
    EXPECT_TRUE(buffer.Open());
    EXPECT_FALSE(buffer.Open()); // opened once
    char out[8] = {};
    EXPECT_EQ(8u, buffer.Read(out, 8, 28, ePriorityHigh));
    EXPECT_EQ(28, out[0]);
    EXPECT_EQ(31, out[3]);
    EXPECT_EQ(0, out[4]);
    EXPECT_TRUE(buffer.Close());
}

TEST(RandomAccessZemtraBuffer, DevicesShareTheRegisteredMemoryInEitherArgumentOrder)
{
    auto registered = std::make_shared<sim::HistoryMemory>(128);
    sim::HistoryMemory::Register("/dev/zemtra-test-0", registered);
    RandomAccessZemtra a("/dev/zemtra-test-0", "");
    RandomAccessZemtra b("", "/dev/zemtra-test-0");
    EXPECT_EQ(registered, a.GetMemory());
    EXPECT_EQ(registered, b.GetMemory());
    RandomAccessZemtra c("/dev/zemtra-test-unregistered", "");
    RandomAccessZemtra d("/dev/zemtra-test-unregistered", "");
    EXPECT_EQ(RandomAccessZemtra::c_defaultByteSize, c.GetByteSize());
    EXPECT_EQ(c.GetMemory(), d.GetMemory());
    sim::HistoryMemory::Unregister("/dev/zemtra-test-0");
    sim::HistoryMemory::Unregister("/dev/zemtra-test-unregistered");
}

} // namespace
