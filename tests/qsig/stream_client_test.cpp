#include "qsig/stream.h"
#include "qsig/stream_client.h"
#include "signal_receiver_support.h"
#include "stream_test_support.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using qsig_test::Atom16;
using qsig_test::MakeAtom;
using qsig_test::ReceiverFixture;
using qsig_test::Traits16;
using Stream = qsig::Stream<Traits16>;
using Client = qsig::StreamClient<Traits16>;
using Buffer = qsig::Array<Traits16>;

Buffer MakeRun(unsigned atoms, int first)
{
    Buffer a(Traits16(), atoms);
    for (unsigned i = 0; i < atoms; ++i) {
        a[i] = MakeAtom(first + int(i) * 16);
    }
    return a;
}

TEST(StreamClient, ReadOfARunSpansShortBuffersAndDropsTheRest)
{
    Stream fa("fa", "raf3", 1024, qsig::ePassive);
    Client c(&fa, "avg", 64);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    for (int b = 0; b < 3; ++b) {
        fa.Dispatch(MakeRun(1000, b * 1000 * 16), qsig::c_noMeta);
    }
    Buffer out(Traits16(), 2048);
    ASSERT_EQ(qsig::eSuccess, c.Read(out));
    ASSERT_EQ(2048u, out.GetLength());
    for (unsigned i = 0; i < 2048; ++i) {
        ASSERT_EQ(int(i) * 16, out[i].v[0]) << i;
    }
    EXPECT_EQ(0u, c.GetQueue().GetQueuedCount()); // the other 952 atoms were dropped
    EXPECT_EQ(1024u, out.GetTraits().GroupSize());
}

TEST(StreamClient, ReadChecksOpenStatusAndSizeInThatOrder)
{
    qstd::CaptureScope capture;
    Stream fa("fa", "raf3", 1024, qsig::ePassive);
    Client c(&fa, "c", 8);
    Buffer out(Traits16(), 1024);
    EXPECT_EQ(qsig::eNotOpen, c.Read(out));
    ASSERT_EQ(qsig::eSuccess, c.Open());

    Buffer odd(Traits16(), 1000);
    EXPECT_EQ(qsig::eBadRequest, c.Read(odd));
    EXPECT_TRUE(capture.Traced("stream: Read size must be a multiple of group: 1024"));
    Atom16 one{};
    EXPECT_EQ(qsig::eBadRequest, c.Read(one));
    EXPECT_TRUE(capture.Traced("stream: Can't use this function for group size: 1024"));

    Buffer none(Traits16(), 0);
    EXPECT_EQ(qsig::eSuccess, c.Read(none));
    EXPECT_EQ(0u, none.GetLength());
    EXPECT_TRUE(none.IsOwned());

    fa.Cancel(qsig::eSuccess);
    EXPECT_EQ(qsig::eCancelled, c.Read(odd)); // status before size
}

TEST(StreamClient, SingleAtomReadReportsBuffersOfAnotherLength)
{
    qstd::CaptureScope capture;
    Stream s("pll", "tim", 1, qsig::ePassive);
    Client c(&s, "out", 64);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    s.Dispatch(MakeRun(2, 32), qsig::c_noMeta);
    Atom16 a{};
    ASSERT_EQ(qsig::eSuccess, c.Read(a));
    EXPECT_EQ(32, a.v[0]);
    EXPECT_TRUE(capture.LoggedSubstring("Assertion condition: b->data.GetLength() == 1"));
}

TEST(StreamClient, ClientWithoutAStreamCannotBeUsed)
{
    Client orphan(nullptr, "orphan", 8);
    EXPECT_EQ(qsig::eCancelled, orphan.Open());
    EXPECT_FALSE(orphan.IsOpen());
    EXPECT_THROW(orphan.GetTraits(), qstd::Exception);
    EXPECT_THROW(orphan.ForwardTo(nullptr), qstd::Exception);
    ASSERT_EQ(1u, orphan.GetStatistics().size()); // the queue's row only
    orphan.Close();
}

TEST(StreamClient, StatisticsListStreamRowsThenQueueRows)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client c(&s, "remote", 2);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    for (int i = 0; i < 3; ++i) {
        s.Dispatch(MakeRun(1, i), qsig::c_noMeta);
    }
    const qsig::SignalStats rows = c.GetStatistics();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("remote", rows[0].name);
    EXPECT_EQ(3u, rows[0].first);
    EXPECT_EQ(1u, rows[0].second);
    EXPECT_EQ(64u, rows[0].atomSize);
}

TEST(StreamClient, ForwardsOneToFourQueuedBuffersPerCall)
{
    ReceiverFixture receiver;
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client c(&s, "remote", 64);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    for (int i = 0; i < 7; ++i) {
        s.Dispatch(MakeRun(1, i * 100), qsig::SignalMeta{{qsig::eMetaSequence, i}});
    }
    EXPECT_EQ(qsig::eSuccess, c.ForwardTo(receiver.Reference()));
    auto got = receiver.Servant().Take();
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ("remote", got[0].client);
    EXPECT_EQ("ReceiveLong", got[0].method); // 32-bit signed atoms
    ASSERT_EQ(16u, got[0].values.size());
    EXPECT_EQ(0, got[0].values[0]);
    EXPECT_EQ(315, got[3].values[15]);
    // The buffer's metadata, and the number of its first atom among those
    // offered to the queue.
    ASSERT_EQ(2u, got[3].meta.size());
    EXPECT_EQ(long(qsig::eMetaSequence), got[3].meta[0].first);
    EXPECT_EQ(3, got[3].meta[0].second);
    EXPECT_EQ(long(qsig::eMetaOfferedAtom), got[3].meta[1].first);
    EXPECT_EQ(3, got[3].meta[1].second);

    EXPECT_EQ(qsig::eSuccess, c.ForwardTo(receiver.Reference()));
    got = receiver.Servant().Take();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(600, got[2].values[0]);
}

TEST(StreamClient, ForwardingOfAClosedOrCancelledClientAnswersItsCodeAndSendsNothing)
{
    ReceiverFixture receiver;
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client closed(&s, "closed", 8);
    EXPECT_EQ(qsig::eNotOpen, closed.ForwardTo(receiver.Reference()));
    EXPECT_TRUE(receiver.Servant().Take().empty());

    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    s.Dispatch(MakeRun(1, 1), qsig::c_noMeta);
    s.Cancel(qsig::eSuccess);
    // The cancellation's code every time: the closed queue is never popped again.
    EXPECT_EQ(qsig::eCancelled, c.ForwardTo(receiver.Reference()));
    EXPECT_EQ(qsig::eCancelled, c.ForwardTo(receiver.Reference()));
    EXPECT_TRUE(receiver.Servant().Take().empty());
}

TEST(StreamClient, ForwardingToANullReceiverIsRefusedQuietly)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    s.Dispatch(MakeRun(1, 1), qsig::c_noMeta);
    EXPECT_EQ(qsig::eSuccess, c.ForwardTo(nullptr));
    EXPECT_EQ(0u, c.GetQueue().GetQueuedCount());
}

TEST(StreamClientConcurrency, ForwardingWaitsForOneBufferOnAnEmptyQueue)
{
    ReceiverFixture receiver;
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client c(&s, "remote", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    // Both buffers come once the forwarding waits on the empty queue.
    std::thread producer([&] {
        zvtest::WaitFor([&] {
            std::lock_guard<std::mutex> lock(c.GetQueue().GetSignal()->mutex);
            return c.GetQueue().GetSignal()->waiting;
        });
        s.Dispatch(MakeRun(1, 7), qsig::c_noMeta);
        s.Dispatch(MakeRun(1, 8), qsig::c_noMeta);
    });
    EXPECT_EQ(qsig::eSuccess, c.ForwardTo(receiver.Reference()));
    producer.join();
    const auto got = receiver.Servant().Take();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(7, got[0].values[0]);
}

TEST(StreamClientConcurrency, StatisticsOfADeletedStreamAreNotRead)
{
    auto s = std::make_unique<Stream>("sa", "raf3", 1, qsig::eActive);
    Client c(s.get(), "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    std::atomic<bool> done{false};
    std::thread stats([&] {
        while (!done) {
            const qsig::SignalStats rows = c.GetStatistics();
            EXPECT_FALSE(rows.empty());
        }
    });
    std::this_thread::sleep_for(10ms);
    s.reset();
    std::this_thread::sleep_for(10ms);
    done = true;
    stats.join();
    EXPECT_EQ(1u, c.GetStatistics().size());
    EXPECT_EQ(qsig::eCancelled, c.GetQueue().GetStatus());
}

} // namespace
