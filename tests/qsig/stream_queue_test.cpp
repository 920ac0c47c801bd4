#include "qsig/stream_queue.h"
#include "stream_test_support.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using qsig_test::MakeAtom;
using qsig_test::Traits16;
using Queue = qsig::StreamQueue<Traits16>;
using Pair = qsig::MetaBufferPair<Traits16>;
using Ptr = Pair::MetaBufferPtr;

Ptr MakeBuffer(unsigned atoms, int first = 0)
{
    qsig::Array<Traits16> a(Traits16(), atoms);
    for (unsigned i = 0; i < atoms; ++i) {
        a[i] = MakeAtom(first + int(i));
    }
    return std::make_shared<Pair>(std::move(a), qsig::c_noMeta);
}

// Keeps the first n atoms; nothing when n is negative.
class TrimFilter : public qsig::StreamFilter<Traits16> {
public:
    explicit TrimFilter(int n) : m_n(n) {}
    Ptr Filter(const Ptr& buffer) override
    {
        if (m_n < 0) {
            return nullptr;
        }
        qsig::Array<Traits16> a(Traits16{}, unsigned(m_n));
        for (int i = 0; i < m_n; ++i) {
            a[unsigned(i)] = buffer->data[unsigned(i)];
        }
        return std::make_shared<Pair>(std::move(a), buffer->meta);
    }

private:
    int m_n;
};

TEST(StreamQueue, FullQueueDropsNewBuffersAndCountsTheirAtoms)
{
    Queue q(Traits16(), "c", 2);
    EXPECT_TRUE(q.Push(MakeBuffer(3, 0)));
    EXPECT_TRUE(q.Push(MakeBuffer(4, 10)));
    EXPECT_FALSE(q.Push(MakeBuffer(5)));
    EXPECT_FALSE(q.Push(MakeBuffer(6)));
    const Queue::Counters c = q.GetCounters();
    EXPECT_EQ(18u, c.pushed);
    EXPECT_EQ(11u, c.lost);
    // The queued ones stay, oldest first.
    Ptr b;
    ASSERT_EQ(qsig::eSuccess, q.Pop(b));
    EXPECT_EQ(0, b->data[0].v[0]);
    ASSERT_EQ(qsig::eSuccess, q.Pop(b));
    EXPECT_EQ(10, b->data[0].v[0]);
}

TEST(StreamQueue, EmptyBuffersAndZeroLengthQueues)
{
    Queue q(Traits16(), "c", 2);
    EXPECT_TRUE(q.Push(MakeBuffer(0)));
    EXPECT_EQ(0u, q.GetQueuedCount());
    EXPECT_EQ(0u, q.GetCounters().pushed);

    Queue none(Traits16(), "none", 0);
    EXPECT_FALSE(none.Push(MakeBuffer(1)));
    EXPECT_EQ(1u, none.GetCounters().lost);
}

TEST(StreamQueue, FilterRunsAtPushAndIsAccounted)
{
    Queue drop(Traits16(), "d", 4);
    drop.SetFilter(std::make_shared<TrimFilter>(-1));
    EXPECT_FALSE(drop.Push(MakeBuffer(5)));
    Queue::Counters c = drop.GetCounters();
    EXPECT_EQ(5u, c.intoFilter);
    EXPECT_EQ(5u, c.filterRemoved);
    EXPECT_EQ(0u, c.pushed);
    EXPECT_EQ(0u, drop.GetQueuedCount());

    Queue trim(Traits16(), "t", 4);
    trim.SetFilter(std::make_shared<TrimFilter>(2));
    EXPECT_TRUE(trim.Push(MakeBuffer(5, 40)));
    c = trim.GetCounters();
    EXPECT_EQ(5u, c.intoFilter);
    EXPECT_EQ(3u, c.filterRemoved);
    EXPECT_EQ(2u, c.pushed);
    Ptr b;
    ASSERT_EQ(qsig::eSuccess, trim.Pop(b));
    EXPECT_EQ(2u, b->data.GetLength());
    EXPECT_EQ(41, b->data[1].v[0]);

    Queue zero(Traits16(), "z", 4);
    zero.SetFilter(std::make_shared<TrimFilter>(0));
    EXPECT_FALSE(zero.Push(MakeBuffer(5)));
    EXPECT_EQ(5u, zero.GetCounters().filterRemoved); // an empty result removed every atom

    const qsig::SignalStats rows = trim.GetStatistics();
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("t_filt", rows[0].name);
    EXPECT_EQ(5u, rows[0].first);
    EXPECT_EQ(3u, rows[0].second);
    EXPECT_EQ("t", rows[1].name);
    EXPECT_EQ(64u, rows[1].atomSize);
}

// Every buffer the queue keeps is handed out with the number of its first
// atom among the atoms offered to the queue (after its filter), dropped ones
// included: a number past the atoms before is a hole, exactly where the
// atoms were dropped, whenever the reader takes its buffers. Atoms that the
// input lost before a buffer count as offered and lost there, unless they
// precede the queue's first atom or the queue filters (what its filter would
// have kept of them is not known).
TEST(StreamQueue, KeptBuffersCarryTheNumberOfTheirFirstAtomAmongThoseOffered)
{
    // "oN": a buffer of N atoms offered and kept, "xN" dropped, "L+oN" after
    // L atoms the input lost; "pK": the next buffer taken, numbered K.
    const struct {
        const char* what;
        unsigned capacity;
        bool filtered; // the first atom of each buffer kept
        const char* script;
        std::uint32_t pushed, lost;
    } cases[] = {
        {"nothing dropped", 3, false, "o2 o2 p0 o2 p2 p4", 6, 0},
        {"dropped before the first take", 2, false, "o1 o1 x1 x1 p0 p1 o1 p4", 5, 2},
        {"dropped while the reader stalled", 3, false, "o2 p0 o2 o2 o2 x2 x2 p2 p4 p6 o2 p12", 14, 4},
        {"taken in after a drop, before the next take", 2, false, "o1 o1 p0 o1 x1 p1 o1 p2 p4", 5, 1},
        {"lost by the input", 4, false, "o2 5+o2 p0 p7", 9, 5},
        {"lost by the input before the first atom", 4, false, "5+o2 o1 p0 p2", 3, 0},
        {"lost by the input, then dropped as full", 1, false, "o1 3+x1 p0 o1 p5", 6, 4},
        {"lost by the input of a filtered queue", 4, true, "o2 5+o2 p0 p1", 2, 0},
        // The counts wrap at 32 bits, the numbers do not.
        {"past 32 bits", 2, false, "o1 4294967296+o1 p0 p4294967297", 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Queue q(Traits16(), "c", c.capacity);
        if (c.filtered) {
            q.SetFilter(std::make_shared<TrimFilter>(1));
        }
        std::istringstream script(c.script);
        for (std::string step; script >> step;) {
            const size_t plus = step.find('+');
            const std::uint64_t lost = plus == std::string::npos ? 0 : std::stoull(step.substr(0, plus));
            const char op = step[plus == std::string::npos ? 0 : plus + 1];
            const std::uint64_t n = std::stoull(step.substr(plus == std::string::npos ? 1 : plus + 2));
            if (op == 'p') {
                Ptr b;
                std::uint64_t first = ~0ull;
                ASSERT_EQ(qsig::eSuccess, q.Pop(b, first)) << step;
                EXPECT_EQ(n, first) << step;
            } else {
                bool queued = false;
                q.Offer(MakeBuffer(static_cast<unsigned>(n)), queued, lost);
                EXPECT_EQ(op == 'o', queued) << step;
            }
        }
        EXPECT_EQ(c.pushed, q.GetCounters().pushed);
        EXPECT_EQ(c.lost, q.GetCounters().lost);
        // A reset numbers from 0 again.
        q.Reset();
        q.Push(MakeBuffer(1));
        Ptr b;
        std::uint64_t first = ~0ull;
        bool ended = true;
        ASSERT_EQ(qsig::eSuccess, q.PopUnlessEnded(b, ended, first));
        EXPECT_EQ(0u, first);
        EXPECT_FALSE(ended);
    }
}

TEST(StreamQueue, CancellationIsReportedBeforeQueuedBuffersAndClosesTheQueue)
{
    Queue q(Traits16(), "c", 4);
    q.Push(MakeBuffer(1));
    q.Push(MakeBuffer(1));
    q.Cancel(qsig::eNotOpen);
    EXPECT_EQ(qsig::eNotOpen, q.GetStatus());
    Ptr b;
    EXPECT_EQ(qsig::eNotOpen, q.Pop(b));
    EXPECT_FALSE(b);
    EXPECT_EQ(qsig::eNotOpen, q.GetStatus());
    try {
        q.Pop(b);
        ADD_FAILURE() << "pop of a closed queue must throw";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Stream queue c is closed.", e.what());
    }
    // Reset makes it carry data again.
    q.Reset();
    EXPECT_EQ(qsig::eSuccess, q.GetStatus());
    EXPECT_EQ(0u, q.GetQueuedCount());
    EXPECT_FALSE(q.IsClosed());
}

TEST(StreamQueue, TerminatedQueueCannotBeReset)
{
    for (qsig::SuccessCode_e code : {qsig::eSuccess, qsig::eCancelled}) {
        Queue q(Traits16(), "c", 4);
        q.Cancel(code);
        EXPECT_EQ(qsig::eCancelled, q.GetStatus());
        try {
            q.Reset();
            ADD_FAILURE() << "reset of a terminated queue must throw";
        } catch (const qstd::Exception& e) {
            EXPECT_STREQ("qsig: Can't connect to terminated stream.", e.what());
        }
        EXPECT_EQ(qsig::eCancelled, q.GetStatus());
    }
}

TEST(StreamQueue, OneTimeCodesAreReportedOnceThenBuffersFlowAgain)
{
    Queue q(Traits16(), "c", 4);
    q.Push(MakeBuffer(1, 5));
    q.Cancel(qsig::eIncompleteData);
    Ptr b;
    EXPECT_EQ(qsig::eIncompleteData, q.Pop(b));
    EXPECT_EQ(qsig::eSuccess, q.GetStatus());
    ASSERT_EQ(qsig::eSuccess, q.Pop(b));
    EXPECT_EQ(5, b->data[0].v[0]);
    q.Cancel(qsig::eTimeout);
    EXPECT_EQ(qsig::eTimeout, q.Pop(b));
    EXPECT_FALSE(q.IsClosed());
    // A reader that must not be thrown at learns whether the code is final.
    bool ended = true;
    q.Cancel(qsig::eTimeout);
    EXPECT_EQ(qsig::eTimeout, q.PopUnlessEnded(b, ended));
    EXPECT_FALSE(ended);
    q.Cancel(qsig::eNotOpen);
    for (int i = 0; i < 2; ++i) { // the second time on the closed queue
        EXPECT_EQ(qsig::eNotOpen, q.PopUnlessEnded(b, ended));
        EXPECT_TRUE(ended);
    }
}

TEST(StreamQueue, CancellationByTheStreamIsFinalEvenForATimeOutCode)
{
    Queue q(Traits16(), "c", 4);
    q.Terminate(qsig::eTimeout);
    Ptr b;
    EXPECT_EQ(qsig::eTimeout, q.Pop(b));
    EXPECT_TRUE(q.IsClosed());
    EXPECT_EQ(qsig::eTimeout, q.GetStatus());
    // A later one-time code does not revive it.
    q.Cancel(qsig::eIncompleteData);
    EXPECT_EQ(qsig::eTimeout, q.GetStatus());
    // A new registration does.
    q.Reset();
    q.Push(MakeBuffer(1));
    EXPECT_EQ(qsig::eSuccess, q.Pop(b));
}

TEST(StreamQueue, AssignmentTakesSettingsButNoBuffers)
{
    Queue src(Traits16(), "dod", 64);
    src.SetTimeout(250);
    auto filter = std::make_shared<TrimFilter>(1);
    src.SetFilter(filter);
    src.Push(MakeBuffer(2));
    src.Push(MakeBuffer(2));
    Queue dst(Traits16(), "unusable DOD client", 1);
    dst.Push(MakeBuffer(1));
    dst = src;
    EXPECT_EQ("dod_copy", dst.GetName());
    EXPECT_EQ(0u, dst.GetQueuedCount());
    EXPECT_EQ(64u, dst.GetCapacity());
    EXPECT_EQ(250u, dst.GetTimeout());
    EXPECT_TRUE(dst.HasFilter());
    EXPECT_EQ(qsig::eSuccess, dst.GetStatus());
    EXPECT_EQ(2u, src.GetQueuedCount());
    const Queue& self = dst;
    dst = self; // self-assignment keeps it
    EXPECT_EQ("dod_copy", dst.GetName());
}

TEST(BufferQueue, ContainerLevelMisuseThrows)
{
    qsig::BufferQueue<Traits16> c(1);
    Ptr b;
    EXPECT_THROW(c.Pop(b), qstd::Exception);
    c.Push(MakeBuffer(1));
    EXPECT_TRUE(c.IsFull());
    EXPECT_THROW(c.Push(MakeBuffer(1)), qstd::Exception);
}

TEST(StreamQueueConcurrency, WaitingReaderWakesOnPush)
{
    Queue q(Traits16(), "c", 4);
    Ptr got;
    qsig::SuccessCode_e rc = qsig::eDerivedError;
    std::thread reader([&] { rc = q.Pop(got); });
    std::this_thread::sleep_for(20ms);
    q.Push(MakeBuffer(1, 3));
    reader.join();
    EXPECT_EQ(qsig::eSuccess, rc);
    ASSERT_TRUE(got);
    EXPECT_EQ(3, got->data[0].v[0]);
}

// Offer queues without waking the sleeping reader and says that it sleeps;
// the wake, made later through the queue's signal, hands the buffer over.
TEST(StreamQueueConcurrency, OfferLeavesTheReaderAsleepUntilItIsWoken)
{
    Queue q(Traits16(), "c", 4);
    auto popped = std::async(std::launch::async, [&] {
        Ptr b;
        return q.Pop(b) == qsig::eSuccess && b ? b->data[0].v[0] : -1;
    });
    auto asleep = [&] {
        std::lock_guard<std::mutex> lock(q.GetSignal()->mutex);
        return q.GetSignal()->waiting;
    };
    zvtest::WaitFor(asleep);
    bool queued = false;
    EXPECT_TRUE(q.Offer(MakeBuffer(1, 5), queued));
    EXPECT_TRUE(queued);
    EXPECT_EQ(std::future_status::timeout, popped.wait_for(50ms));
    auto tree = std::make_shared<qsig::ReaderWakes>(1);
    tree->Add(q.GetSignal());
    qsig::ReaderWakes::Wake(tree, 0);
    EXPECT_EQ(5, popped.get());
}

// A fan-out's sleeping readers are woken as a tree (0 wakes 1 and 2, 1 wakes
// 3 and 4). A reader that no longer sleeps, or is already being woken, when
// its turn comes is skipped, and its waker wakes its part itself.
TEST(ReaderWakes, ReadersThatNoLongerSleepAreSkippedAndTheirPartWokenByTheirWaker)
{
    std::vector<std::shared_ptr<qsig::ReaderSignal>> r(5);
    auto tree = std::make_shared<qsig::ReaderWakes>(r.size());
    for (auto& s : r) {
        s = std::make_shared<qsig::ReaderSignal>();
        s->waiting = true;
        tree->Add(s);
    }
    r[0]->waiting = false; // woke meanwhile
    r[2]->woken = true;    // an earlier fan-out's wake is on its way
    qsig::ReaderWakes::Wake(tree, 0);
    EXPECT_FALSE(r[0]->woken);
    ASSERT_TRUE(r[1]->woken);
    EXPECT_EQ(tree, r[1]->tree);
    EXPECT_EQ(1u, r[1]->index);
    EXPECT_FALSE(r[2]->tree);
    EXPECT_FALSE(r[3]->woken);
    EXPECT_FALSE(r[4]->woken);
    for (size_t i : {size_t(1), size_t(3), size_t(4)}) {
        // Each woken reader runs: it passes its part on and sleeps no more.
        std::unique_lock<std::mutex> lock(r[i]->mutex);
        EXPECT_TRUE(qsig::ReaderWakes::PassOn(*r[i], lock)) << i;
        EXPECT_FALSE(r[i]->woken || r[i]->waiting || r[i]->tree) << i;
        EXPECT_FALSE(qsig::ReaderWakes::PassOn(*r[i], lock)) << i;
    }
}

TEST(StreamQueueConcurrency, CancelWakesAWaitingReader)
{
    Queue q(Traits16(), "c", 4);
    qsig::SuccessCode_e rc = qsig::eSuccess;
    std::thread reader([&] {
        Ptr b;
        rc = q.Pop(b);
    });
    std::this_thread::sleep_for(20ms);
    q.Cancel(qsig::eSuccess);
    reader.join();
    EXPECT_EQ(qsig::eCancelled, rc);
    EXPECT_TRUE(q.IsClosed());
}

TEST(StreamQueueConcurrency, TimeOutIsMeasuredOnceFromThePopsStart)
{
    Queue q(Traits16(), "c", 4);
    q.SetTimeout(300);
    Ptr b;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qsig::eTimeout, q.Pop(b));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 600ms);
    EXPECT_EQ(qsig::eSuccess, q.GetStatus());
    // The next pop waits again, and a buffer that arrives in time is handed out.
    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        q.Push(MakeBuffer(1, 8));
    });
    EXPECT_EQ(qsig::eSuccess, q.Pop(b));
    producer.join();
    ASSERT_TRUE(b);
    EXPECT_EQ(8, b->data[0].v[0]);
}

TEST(StreamQueueConcurrency, ProducerNeverWaitsForAStalledReader)
{
    Queue q(Traits16(), "stalled", 8);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        q.Push(MakeBuffer(1));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(8u, q.GetQueuedCount());
    EXPECT_EQ(10000u - 8u, q.GetCounters().lost);
}

} // namespace
