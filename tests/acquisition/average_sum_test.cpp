// FA sum averaging: the progress sequences, the published mean, the count
// that does not reset a running average, and the two threads fed from a
// passive FA stream and the board's event stream.
#include "raf_fixture.h"

#include "acquisition/average_sum.h"
#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "platform/mci/client_access.h"
#include "platform/qstd/any.h"

#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using zvtest::WaitFor;

// n FA atoms whose Sum is sum; the last one carries lmt.
AverageSum::FaBuffer FaBuffer(unsigned n, int32_t sum, uint64_t lmt)
{
    AverageSum::FaBuffer buffer(SaFaTraits(1024), n);
    for (unsigned i = 0; i < n; ++i) {
        SaFaAtom atom{};
        atom.Sum = sum;
        buffer[i] = atom;
    }
    buffer[n - 1].LMT_l = static_cast<int32_t>(static_cast<uint32_t>(lmt));
    buffer[n - 1].LMT_h = static_cast<int32_t>(static_cast<uint32_t>(lmt >> 32));
    return buffer;
}

class Averaging : public ::testing::Test {
protected:
    Averaging()
        : board(fixture.Build()), avg(*board.GetAverageSum()), node(qapp::MakeBranchNode("average_sum", 0)),
          client(node)
    {
        avg.OnRegistryAdd(node);
    }

    std::vector<unsigned> Progress(const mci::ClientAccess::Subscription& s) const
    {
        std::vector<unsigned> values;
        for (const mci::NotificationData& d : s.Values()) {
            values.push_back(qstd::any_cast<unsigned>(d.value));
        }
        return values;
    }

    // Outlives the board, as the board's own streams outlive its features.
    qsig::Stream<SaFaTraits> fa{"fa", "test", 1024, qsig::ePassive};
    apptest::BoardFixture<RafBoard> fixture{sim::c_typeRaf, "raf3", "3"};
    RafBoard& board;
    AverageSum& avg;
    mci::TreeNodePtr node;
    mci::ClientAccess client;
};

TEST_F(Averaging, ProgressFollowsTheTriggerCount)
{
    struct Case {
        unsigned count;
        unsigned triggers;
        std::vector<unsigned> progress;
    };
    for (const Case& c :
         {Case{4, 5, {0, 25, 50, 75, 100, 25}}, Case{3, 3, {0, 33, 66, 100}}, Case{1, 3, {0, 100, 100, 100}}}) {
        SCOPED_TRACE(c.count);
        client.SetInteger("trigger_count", 0);
        auto progress = client.Subscribe("progress");
        client.SetInteger("trigger_count", c.count);
        for (unsigned i = 0; i < c.triggers; ++i) {
            avg.OnTrigger();
        }
        EXPECT_EQ(c.progress, Progress(*progress));
    }
}

TEST_F(Averaging, PublishesTheMeanOfTheBuffersTakenBeforeTheCompletingTrigger)
{
    client.SetInteger("trigger_count", 2);
    avg.AddFaBuffer(FaBuffer(1024, 1000, 7));
    avg.OnTrigger();
    // The same count again does not restart the running average.
    client.SetInteger("trigger_count", 2);
    avg.AddFaBuffer(FaBuffer(1024, 1000, 0x100000005ull));
    auto used = client.Subscribe("used_atoms");
    avg.OnTrigger();
    EXPECT_EQ(1000, client.GetInteger("sum"));
    EXPECT_EQ(2048, client.GetInteger("used_atoms"));
    EXPECT_EQ(0x100000005ll, client.GetInteger("timestamp"));
    EXPECT_EQ(100, client.GetInteger("progress"));
    EXPECT_EQ(1u, used->Count());

    // Nothing taken: progress completes, nothing is published.
    avg.OnTrigger();
    avg.OnTrigger();
    EXPECT_EQ(1u, used->Count());
    // Off: buffers are dropped; a new count clears progress and used atoms.
    client.SetInteger("trigger_count", 0);
    avg.AddFaBuffer(FaBuffer(1024, 5, 9));
    EXPECT_EQ(0, client.GetInteger("used_atoms"));
    EXPECT_EQ(0, client.GetInteger("progress"));
    client.SetInteger("trigger_count", 1);
    avg.OnTrigger();
    EXPECT_EQ(1000, client.GetInteger("sum"));
}

// The mean is signed and truncated toward zero; the unsigned node holds a
// negative mean as its two's complement.
TEST_F(Averaging, NegativeSumsGiveTheSignedMean)
{
    struct Case {
        int32_t first;
        int32_t second;
        int64_t mean;
    };
    for (const Case& c : {Case{-1000000, -1000000, -1000000}, Case{-7, 2, -2}, Case{INT32_MIN, INT32_MIN, INT32_MIN},
                          Case{INT32_MAX, INT32_MAX, INT32_MAX}}) {
        SCOPED_TRACE(c.mean);
        client.SetInteger("trigger_count", 0);
        client.SetInteger("trigger_count", 1);
        avg.AddFaBuffer(FaBuffer(1024, c.first, 1));
        avg.AddFaBuffer(FaBuffer(1024, c.second, 2));
        avg.OnTrigger();
        EXPECT_EQ(c.mean, static_cast<int64_t>(avg.GetSum()));
    }
}

// At the limits of its 64 bits the sum stays at the limit it reached and
// counts the addition; it never wraps to the other sign.
TEST(AverageSumAccumulator, SaturatesAtItsLimitsAndCountsTheOverflows)
{
    constexpr int64_t max = INT64_MAX;
    constexpr int64_t min = INT64_MIN;
    struct Case {
        int64_t start;
        std::vector<int64_t> values;
        int64_t sum;
        uint64_t overflows;
    };
    for (const Case& c : {Case{max - 1, {1}, max, 0}, Case{max - 1, {INT32_MAX, INT32_MAX}, max, 2},
                          Case{max, {INT32_MIN}, max + INT32_MIN, 0}, Case{min + 1, {-1}, min, 0},
                          Case{min, {INT32_MIN, 5}, min + 5, 1}, Case{0, {INT32_MIN, INT32_MAX}, -1, 0}}) {
        SCOPED_TRACE(c.start);
        AverageSum::Accumulator a;
        a.sum = c.start;
        for (int64_t v : c.values) {
            a.Add(v);
        }
        EXPECT_EQ(c.sum, a.sum);
        EXPECT_EQ(c.overflows, a.overflows);
    }
}

TEST(AverageSumProgress, IsComputedInSixtyFourBits)
{
    EXPECT_EQ(33u, AverageSum::Progress(1, 3));
    EXPECT_EQ(85u, AverageSum::Progress(42949673u, 50000000u));
    EXPECT_EQ(99u, AverageSum::Progress(4294967294u, 4294967295u));
}

using AveragingConcurrency = Averaging;

TEST_F(AveragingConcurrency, ThreadsTakeFaDataAndTriggers)
{
    qsig::ZemtraEventStream* events = board.GetSignals()->GetEventStream();
    avg.Start(&fa, events);
    ASSERT_EQ(1u, fa.GetQueueCount());
    ASSERT_TRUE(WaitFor([&] { return events->GetQueueCount() == 1; }));

    std::thread setter([&] {
        for (unsigned i = 0; i < 200; ++i) {
            client.SetInteger("trigger_count", 3 + i % 2);
        }
        client.SetInteger("trigger_count", 1);
    });
    for (uint64_t i = 0; i < 200; ++i) {
        fa.Dispatch(FaBuffer(1024, 40, i), qsig::c_noMeta);
        fixture.Sim().Feed(2, i + 1, i);
    }
    setter.join();

    // One trigger at a time publishes what came since the one before. A
    // buffer dispatched while the queue is still full is dropped, so the last
    // buffer is offered with every trigger until one average ends with it.
    uint64_t n = 1000;
    ASSERT_TRUE(WaitFor([&] {
        fa.Dispatch(FaBuffer(1024, 40, 5000), qsig::c_noMeta);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++n;
        fixture.Sim().Feed(2, n, n);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return avg.GetTimestamp() == 5000;
    }));
    EXPECT_EQ(40u, avg.GetSum());
    EXPECT_EQ(0u, avg.GetUsedAtoms() % 1024);
}

} // namespace
