#include "platform/qsig/zemtra_event_stream.h"
#include "qsig/synthetic_stream.h"
#include "sim/event_device.h"
#include "stream_test_support.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using qsig::EventTraits;
using qsig_test::Atom8d;
using qsig_test::Traits8d;
using Synthetic = qsig::SyntheticStream<EventTraits, Traits8d>;
using OutClient = qsig::StreamClient<Traits8d>;

// Converter of the tests: one output atom per call, carrying the take's code,
// the number of source events and the LMT of the first.
struct Recorder {
    std::atomic<int> calls{0};
    qsig::SuccessCode_e operator()(const qsig::Array<EventTraits>& src, qsig::SuccessCode_e code,
                                   qsig::Array<Traits8d>& dst)
    {
        ++calls;
        Atom8d& out = dst[0];
        out.v[0] = code;
        out.v[1] = src.GetLength();
        out.v[2] = src.GetLength() > 0 ? double(src[0].lmt) : -1.0;
        out.v[3] = src.GetLength() > 0 ? double(src[0].id) : -1.0;
        return qsig::eSuccess;
    }
};

struct PllSetup {
    explicit PllSetup(const std::string& device)
        : events("event", device, true, "tim"), synthetic("pll", &events, std::ref(recorder), qsig::eActive, "tim")
    {
        synthetic.GetSourceClient().GetQueue().SetFilter(
            std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{16}));
        synthetic.GetSourceClient().GetQueue().SetTimeout(500);
    }
    Recorder recorder;
    qsig::ZemtraEventStream events;
    Synthetic synthetic;
};

TEST(SyntheticStreamConcurrency, EachEventOrTimeOutBecomesOneAtom)
{
    PllSetup pll("ev-synthetic-pll");
    sim::EventDevice* device = sim::EventDevice::Find("ev-synthetic-pll");
    ASSERT_NE(nullptr, device);
    EXPECT_EQ("syn_qsig_test::Atom8d", pll.synthetic.GetSourceClient().GetName());

    OutClient out(&pll.synthetic, "pll_output", 64);
    EXPECT_EQ(0u, pll.events.GetQueueCount());
    ASSERT_EQ(qsig::eSuccess, out.Open());
    EXPECT_EQ(1u, pll.events.GetQueueCount()); // the source client, held while we have clients

    device->Feed(16, 1, 1000);
    device->Feed(2, 1, 1500); // filtered out at the source queue
    device->Feed(16, 2, 2000);
    Atom8d a{};
    ASSERT_EQ(qsig::eSuccess, out.Read(a));
    EXPECT_EQ(0.0, a.v[0]);
    EXPECT_EQ(1.0, a.v[1]);
    EXPECT_EQ(1000.0, a.v[2]);
    ASSERT_EQ(qsig::eSuccess, out.Read(a));
    EXPECT_EQ(2000.0, a.v[2]);
    EXPECT_EQ(16.0, a.v[3]);

    // No event: one atom per source time-out, with an empty source.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(qsig::eSuccess, out.Read(a));
    ASSERT_EQ(qsig::eSuccess, out.Read(a));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(double(qsig::eTimeout), a.v[0]);
    EXPECT_EQ(0.0, a.v[1]);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 1500ms);
    EXPECT_EQ(4, pll.recorder.calls.load());

    // The filter row comes first in the statistics of the synthetic stream.
    const qsig::SignalStats rows = pll.synthetic.GetStatistics();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("ev-synthetic-pll", rows[0].name);
    EXPECT_EQ("syn_qsig_test::Atom8d_filt", rows[1].name);
    EXPECT_EQ(3u, rows[1].first);
    EXPECT_EQ(1u, rows[1].second);
    EXPECT_EQ(32u, rows[2].atomSize);

    out.Close();
    EXPECT_EQ(0u, pll.events.GetQueueCount());
    EXPECT_EQ(qsig::eIdle, pll.events.GetState());
    EXPECT_EQ(qsig::eIdle, pll.synthetic.GetState());
}

TEST(SyntheticStreamConcurrency, ReopeningRegistersTheSourceClientAgain)
{
    PllSetup pll("ev-synthetic-reopen");
    sim::EventDevice* device = sim::EventDevice::Find("ev-synthetic-reopen");
    OutClient out(&pll.synthetic, "pll_output", 64);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(qsig::eSuccess, out.Open());
        EXPECT_EQ(1u, pll.events.GetQueueCount());
        device->Feed(16, 0, 100 + round);
        Atom8d a{};
        ASSERT_EQ(qsig::eSuccess, out.Read(a));
        EXPECT_EQ(double(100 + round), a.v[2]);
        out.Close();
        EXPECT_EQ(0u, pll.events.GetQueueCount());
    }
}

TEST(SyntheticStreamConcurrency, SourceShutdownEndsTheSyntheticDispatcher)
{
    qstd::CaptureScope capture;
    PllSetup pll("ev-synthetic-shutdown");
    pll.synthetic.GetSourceClient().GetQueue().SetTimeout(0);
    OutClient out(&pll.synthetic, "pll_output", 64);
    ASSERT_EQ(qsig::eSuccess, out.Open());
    pll.events.ShutDown();
    Atom8d a{};
    EXPECT_EQ(qsig::eCancelled, out.Read(a));
    EXPECT_TRUE(capture.Traced("SyntheticStream read error: -5 (cancelled)"));
    ASSERT_TRUE(zvtest::WaitFor([&] { return pll.synthetic.GetState() == qsig::eIdle; }));
    EXPECT_EQ(0, pll.recorder.calls.load());

    // The source cannot be opened any more: the new client's queue does not stay.
    OutClient late(&pll.synthetic, "late", 64);
    try {
        late.Open();
        ADD_FAILURE() << "opening over a shut-down source must throw";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qsig: Synthetic stream. Can't open source stream.", e.what());
    }
    EXPECT_EQ(0u, pll.synthetic.GetQueueCount());
    EXPECT_FALSE(late.IsOpen());
}

// A source that cancels its clients for good: the converter does not run as
// on a time-out, and the clients get the source's code (an incomplete-data
// code, which would not end the dispatcher, as a removed source queue).
TEST(SyntheticStreamConcurrency, FinalSourceCancellationReachesClientsWithItsCode)
{
    const struct {
        qsig::SuccessCode_e source;
        qsig::SuccessCode_e clients;
    } cases[] = {{qsig::eTimeout, qsig::eTimeout},
                 {qsig::eIncompleteData, qsig::eNotOpen},
                 {qsig::eBadRequest, qsig::eBadRequest}};
    for (const auto& c : cases) {
        PllSetup pll("ev-synthetic-final" + std::to_string(int(c.source)));
        OutClient out(&pll.synthetic, "pll_output", 64);
        ASSERT_EQ(qsig::eSuccess, out.Open());
        pll.events.Cancel(c.source);
        Atom8d a{};
        EXPECT_EQ(c.clients, out.Read(a)) << c.source;
        EXPECT_EQ(0, pll.recorder.calls.load()) << c.source;
    }
}

TEST(SyntheticStreamConcurrency, ConverterErrorCodeEndsTheDispatcherAndReachesClients)
{
    sim::EventDevice device("ev-synthetic-error");
    qsig::ZemtraEventStream events("event", "ev-synthetic-error", true, "tim");
    Synthetic synthetic(
        "pll", &events,
        [](const qsig::Array<EventTraits>&, qsig::SuccessCode_e, qsig::Array<Traits8d>&) {
            return qsig::eDerivedError;
        },
        qsig::eActive, "tim");
    OutClient out(&synthetic, "pll_output", 64);
    ASSERT_EQ(qsig::eSuccess, out.Open());
    device.Feed(16, 0, 1);
    Atom8d a{};
    EXPECT_EQ(qsig::eDerivedError, out.Read(a));
    // The synthetic stream let go of its source client, so the event stream
    // stops; the synthetic stream itself goes idle once its input is closed.
    zvtest::WaitFor([&] { return events.GetState() == qsig::eIdle && synthetic.GetState() == qsig::eIdle; });
    EXPECT_EQ(qsig::eIdle, events.GetState());
    EXPECT_EQ(0u, events.GetQueueCount());
    EXPECT_EQ(qsig::eIdle, synthetic.GetState());
}

} // namespace
