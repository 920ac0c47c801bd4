// The PLL output: each atom of the "pll" stream becomes one write of its DAC
// code to channel A; enabling and disabling start and join its thread.
#include "app/pll_output.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

struct Root : qapp::ZemtraObject {
    Root() : qapp::ZemtraObject(nullptr, "tim") {}
};

struct Fixture {
    Root root;
    std::mutex mutex;
    std::vector<unsigned> written;
    qapp::DAC8552 dac{root, "dac", [this](unsigned code) {
                          std::lock_guard<std::mutex> lock(mutex);
                          written.push_back(code);
                      }};
    std::unique_ptr<qsig::Stream<PllTraits>> stream{new qsig::Stream<PllTraits>("pll", "tim", 1, qsig::ePassive)};

    void Push(double dac)
    {
        qsig::Array<PllTraits> buffer(PllTraits(), 1);
        buffer[0].Dac = dac;
        stream->Dispatch(std::move(buffer), qsig::c_noMeta);
    }
    std::vector<unsigned> Written()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    bool WaitForWrites(std::size_t n)
    {
        return zvtest::WaitFor([this, n] { return Written().size() >= n; });
    }
};

TEST(PllOutputConcurrency, EachAtomWritesItsTruncatedCodeToChannelA)
{
    Fixture f;
    PllOutput output(*f.stream, f.dac);
    EXPECT_EQ(f.stream->GetQueueCount(), 0u);
    EXPECT_TRUE(output.SetEnabled(true));
    EXPECT_EQ(f.stream->GetQueueCount(), 1u);

    f.Push(22535.0);
    f.Push(std::nan("")); // no code computed yet: nothing is written
    f.Push(8191.9);
    ASSERT_TRUE(f.WaitForWrites(2));
    EXPECT_EQ(f.Written(), (std::vector<unsigned>{22535u, 8191u}));
    EXPECT_EQ(f.dac.GetValueA(), 8191u);

    EXPECT_TRUE(output.SetEnabled(false));
    EXPECT_EQ(f.stream->GetQueueCount(), 0u);
    // Disabled: nothing reads the stream any more.
    f.Push(30000.0);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(f.Written().size(), 2u);
}

TEST(PllOutputConcurrency, EnablingTwiceStartsOneClientAndDisablingTwiceIsHarmless)
{
    qstd::CaptureScope capture;
    Fixture f;
    PllOutput output(*f.stream, f.dac);
    EXPECT_TRUE(output.SetEnabled(false)); // disabled already: nothing happens
    EXPECT_FALSE(capture.Traced("PllOutput:: m_event_thread.join"));
    output.SetEnabled(true);
    output.SetEnabled(true);
    EXPECT_EQ(f.stream->GetQueueCount(), 1u);
    EXPECT_TRUE(output.IsEnabled());
    output.SetEnabled(false);
    EXPECT_TRUE(capture.Traced("PllOutput:: m_event_thread.join"));
    EXPECT_FALSE(output.IsEnabled());
    output.SetEnabled(false);

    // And it can be enabled again.
    output.SetEnabled(true);
    f.Push(12345.0);
    ASSERT_TRUE(f.WaitForWrites(1));
    EXPECT_EQ(f.Written().back(), 12345u);
    output.SetEnabled(false);
}

TEST(PllOutputConcurrency, DisablingRightAfterEnablingNeverHangs)
{
    Fixture f;
    PllOutput output(*f.stream, f.dac);
    for (int i = 0; i < 200; ++i) {
        output.SetEnabled(true);
        output.SetEnabled(false);
    }
    EXPECT_EQ(f.stream->GetQueueCount(), 0u);
}

TEST(PllOutputConcurrency, DeletingTheStreamEndsTheThreadAndTheDestructorJoinsIt)
{
    qstd::CaptureScope capture;
    Fixture f;
    std::unique_ptr<PllOutput> output(new PllOutput(*f.stream, f.dac));
    output->SetEnabled(true);
    f.Push(1000.0);
    ASSERT_TRUE(f.WaitForWrites(1));
    // The application's shutdown order: the stream first, then the output.
    f.stream.reset();
    output.reset();
    EXPECT_TRUE(capture.TracedSubstring("pll_stream_client: can't read: "));
    EXPECT_TRUE(capture.Traced("PllOutput:: m_event_thread.join"));
}

TEST(PllOutputConcurrency, DeletingAnEnabledOutputWhileTheStreamLivesNeitherHangsNorLeavesItsClient)
{
    Fixture f;
    {
        PllOutput output(*f.stream, f.dac);
        output.SetEnabled(true);
        f.Push(4242.0);
        ASSERT_TRUE(f.WaitForWrites(1));
    }
    EXPECT_EQ(f.stream->GetQueueCount(), 0u);
    // The stream still serves new clients.
    PllOutput again(*f.stream, f.dac);
    again.SetEnabled(true);
    f.Push(4343.0);
    ASSERT_TRUE(f.WaitForWrites(2));
    again.SetEnabled(false);
}

} // namespace
