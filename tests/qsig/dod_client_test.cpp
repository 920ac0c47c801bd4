#include "platform/qsig/clonable.h"
#include "platform/qstd/capture.h"
#include "qsig/data_on_demand_local_source_base.h"
#include "qsig/dod_client.h"
#include "tests/common/wait_for.h"

#include "q_net.hh"

#include <gtest/gtest.h>

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>
#include <utility>
#include <vector>

using namespace qsig;
using namespace std::chrono_literals;

namespace {

using AdcTraits = SignalTraits<short, std::array<short, 4>, 1>;
struct IqAtom {
    int v[8];
};
using IqTraits = SignalTraits<int, IqAtom, 1>;

// Shared by a controller and its clones: scripted answers of mode 13 (each
// waits until the test feeds one), scripted codes of the other modes, and
// counters.
struct Feed {
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<std::pair<SuccessCode_e, size_t>> streaming;
    std::deque<SuccessCode_e> codes;
    std::atomic<int> calls{0};
    size_t maxRead = 1000000;
    bool tryAgainForever = false;

    void Push(SuccessCode_e rc, size_t position)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            streaming.emplace_back(rc, position);
        }
        cond.notify_all();
    }
    size_t Pending()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return streaming.size();
    }
};

class FeedController : public virtual DodPositionController, public Clonable<FeedController> {
public:
    explicit FeedController(std::shared_ptr<Feed> feed) : m_feed(std::move(feed))
    {
        SetSupportedModes({eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone});
    }
    FeedController(const FeedController& other)
        : DodPositionController(other), Clonable<FeedController>(other), m_feed(other.m_feed)
    {
    }
    void Stop() override
    {
        DodPositionController::Stop();
        std::lock_guard<std::mutex> lock(m_feed->mutex);
        m_feed->cond.notify_all();
    }
    size_t GetMaxReadSize(int64_t, AccessMode_e) const override { return m_feed->maxRead; }
    SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t, LMT& lmt, size_t& position,
                              SignalMeta& meta) override
    {
        ++m_feed->calls;
        std::unique_lock<std::mutex> lock(m_feed->mutex);
        if (mode != eAccessStreaming) {
            if (!m_feed->codes.empty()) {
                const SuccessCode_e rc = m_feed->codes.front();
                m_feed->codes.pop_front();
                if (rc != eSuccess) {
                    return rc;
                }
            }
            position = static_cast<size_t>(time + offset);
            lmt = time;
            meta[eMetaLmt] = static_cast<int64_t>(time);
            return eSuccess;
        }
        if (m_feed->tryAgainForever) {
            return eTryAgain;
        }
        m_feed->cond.wait(lock, [&] { return IsStopped() || !m_feed->streaming.empty(); });
        if (IsStopped()) {
            return eCancelled;
        }
        const auto answer = m_feed->streaming.front();
        m_feed->streaming.pop_front();
        m_feed->cond.notify_all();
        position = answer.second;
        meta[eMetaPosition] = static_cast<int64_t>(answer.second);
        return answer.first;
    }

private:
    std::shared_ptr<Feed> m_feed;
};

// A source whose atom i of a read at position p holds p + i in every value;
// its code and failures are set by the test.
template <typename T> class ScriptSource : public DataOnDemandLocalSourceBase<T> {
public:
    ScriptSource() : DataOnDemandLocalSourceBase<T>("script", T(), "test") {}
    SuccessCode_e Read(Array<T>& buffer, size_t position, PosControllerPtr) override
    {
        ++reads;
        if (throwOnRead) {
            throw std::runtime_error("boom");
        }
        unsigned n = buffer.GetLength();
        if (deliverAtMost < n) {
            n = deliverAtMost;
        }
        buffer.Resize(n);
        for (unsigned i = 0; i < n; ++i) {
            for (unsigned k = 0; k < T::c_length; ++k) {
                buffer.GetData()[i * T::c_length + k] = static_cast<typename T::Base>(position + i);
            }
        }
        return code;
    }
    DodClient<T> CreateClient(const std::string& name)
    {
        auto self = std::static_pointer_cast<ScriptSource>(this->GetSharedSelf());
        return DodClient<T>(std::shared_ptr<DodControllerInterface<T>>(self), name, this->m_traits);
    }
    std::atomic<int> reads{0};
    std::atomic<bool> throwOnRead{false};
    std::atomic<unsigned> deliverAtMost{~0u};
    std::atomic<SuccessCode_e> code{eSuccess};
};

// Exposes the client's queue to terminate it.
template <typename T> struct ExposedClient : DodClient<T> {
    using DodClient<T>::DodClient;
    void TerminateQueue() { this->m_queue.Cancel(eCancelled); }
};

template <typename T> class ClientFixture : public ::testing::Test {
protected:
    ClientFixture()
        : feed(std::make_shared<Feed>()), source(std::make_shared<ScriptSource<T>>()),
          main(std::make_shared<FeedController>(feed))
    {
        source->SetPositionController(main);
    }
    // Waits until the dispatching thread has taken every scripted answer.
    void Drain()
    {
        zvtest::WaitFor([this] { return feed->Pending() == 0; });
    }
    std::shared_ptr<Feed> feed;
    std::shared_ptr<ScriptSource<T>> source;
    std::shared_ptr<FeedController> main;
};

using DodClientOpen = ClientFixture<AdcTraits>;
using DodClientRead = ClientFixture<AdcTraits>;
using DodClientStreaming = ClientFixture<IqTraits>;
using DodClientConcurrency = ClientFixture<IqTraits>;

// --------------------------------------------------------------------- open

TEST_F(DodClientOpen, SameModeAgainSucceedsAndKeepsTheFirstSettings)
{
    auto client = source->CreateClient("c");
    EXPECT_EQ(eAccessDataOnDemand, client.SignalAccessType());
    EXPECT_FALSE(client.IsOpen());
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 100, 5));
    EXPECT_EQ(eSuccess, client.Open(eAccessAtTime, 300, 9));
    EXPECT_EQ(100u, client.GetSize());
    EXPECT_EQ(eBadRequest, client.Open(eAccessNow, 100, 0));
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(eAccessAtTime, client.GetMode());
    Array<AdcTraits> out(AdcTraits(), 3);
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(out, meta, 20));
    EXPECT_EQ(25, out[0][0]); // offset 5 of the first open still in force
    EXPECT_EQ(main, client.GetController());
    EXPECT_EQ(1u, source->GetControllerCopyCount()); // main shared, nothing listed
}

TEST_F(DodClientOpen, SizeIsClampedToTheControllersMaximum)
{
    feed->maxRead = 600;
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessNow, 1000, 0));
    EXPECT_EQ(600u, client.GetSize());
    client.Close();
    ASSERT_EQ(eSuccess, client.Open(eAccessNow, 0, 0));
    EXPECT_EQ(0u, client.GetSize());
    Array<AdcTraits> out(AdcTraits(), 1000);
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    EXPECT_EQ(600u, out.GetLength()); // the caller's size, clamped per read
}

TEST_F(DodClientOpen, NoControllerForTheModeFailsWithoutListingAClone)
{
    auto client = source->CreateClient("c");
    EXPECT_EQ(eBadRequest, client.Open(eAccessDefault, 10, 0));
    EXPECT_FALSE(client.IsOpen());
    main->SetSupportedModes({eAccessNow});
    EXPECT_EQ(eBadRequest, client.Open(eAccessClone, 10, 0));
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    DodClient<AdcTraits> placeholder;
    EXPECT_EQ(eNotOpen, placeholder.Open(eAccessNow, 10, 0));
    EXPECT_EQ("unusable DOD client", placeholder.GetName());
}

TEST_F(DodClientOpen, CloneModesListAClientCopyUntilClose)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessClone, 10, 0));
    EXPECT_EQ(2u, source->GetControllerCopyCount());
    EXPECT_NE(main, client.GetController());
    EXPECT_TRUE(client.GetController()->IsStarted());
    client.Close();
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    EXPECT_FALSE(client.GetController());
    client.Close(); // a second close does nothing
    EXPECT_FALSE(client.IsOpen());
}

TEST_F(DodClientOpen, GoneSourceIsNoticedByTheNextRead)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessClone, 10, 0));
    PosControllerPtr clone = client.GetController();
    source.reset();
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(eSuccess, client.Open(eAccessClone, 10, 0)); // own mode: the source is not looked at
    EXPECT_EQ(eBadRequest, client.Open(eAccessNow, 10, 0));
    qstd::CaptureScope capture;
    Array<AdcTraits> out(AdcTraits(), 3);
    SignalMeta meta;
    EXPECT_EQ(eNotOpen, client.Read(out, meta, 0));
    EXPECT_TRUE(capture.Traced("DodClient::Read -> Signal source is not available"));
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(eNotOpen, client.Open(eAccessNow, 10, 0));
    EXPECT_EQ(1, clone.use_count()); // nobody else holds the clone
}

TEST_F(DodClientOpen, TerminatedQueueRefusesOpenAndReturnsTheClone)
{
    ExposedClient<AdcTraits> client(source, "c", AdcTraits());
    client.TerminateQueue();
    try {
        client.Open(eAccessClone, 10, 0);
        FAIL() << "open on a terminated queue succeeded";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qsig: Can't connect to terminated stream.", e.what());
    }
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    EXPECT_FALSE(client.GetController());
}

// --------------------------------------------------------------------- read

TEST_F(DodClientRead, ClosedClientReadsNothing)
{
    auto client = source->CreateClient("c");
    Array<AdcTraits> out(AdcTraits(), 4);
    SignalMeta meta{{eMetaLmt, 9}};
    EXPECT_EQ(eNotOpen, client.Read(out, meta, 0));
    EXPECT_EQ(4u, out.GetLength());
    EXPECT_EQ(9, meta[eMetaLmt]);
    EXPECT_EQ(0, source->reads.load());
}

// A cancelled client answers -5 without asking its controller, which goes on
// serving the source's other clients.
TEST_F(DodClientRead, CancelledClientReadsNothingAndStaysOpen)
{
    auto client = source->CreateClient("c");
    auto other = source->CreateClient("d");
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 0, 0));
    ASSERT_EQ(eSuccess, other.Open(eAccessAtTime, 0, 0));
    client.Cancel();
    Array<AdcTraits> out(AdcTraits(), 4);
    SignalMeta meta;
    EXPECT_EQ(eCancelled, client.Read(out, meta, 50));
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(0, source->reads.load());
    EXPECT_FALSE(main->IsStopped());
    EXPECT_EQ(eSuccess, other.Read(out, meta, 50));
}

TEST_F(DodClientRead, ControllerAndSourceCodesReachTheReader)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 0, 0));
    feed->codes = {eTryAgain};
    Array<AdcTraits> out(AdcTraits(), 10);
    SignalMeta meta;
    EXPECT_EQ(eTryAgain, client.Read(out, meta, 50));
    EXPECT_EQ(10u, out.GetLength());
    EXPECT_EQ(0, source->reads.load());
    ASSERT_EQ(eSuccess, client.Read(out, meta, 50));
    EXPECT_EQ(50, out[0][3]);
    EXPECT_EQ(59, out[9][0]);
    EXPECT_EQ(50, meta[eMetaLmt]);
    source->code = eIncompleteData;
    source->deliverAtMost = 4;
    EXPECT_EQ(eIncompleteData, client.Read(out, meta, 0));
    EXPECT_EQ(4u, out.GetLength());
}

TEST_F(DodClientRead, SourceExceptionBecomesRefused)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessNow, 0, 0));
    source->throwOnRead = true;
    qstd::CaptureScope capture;
    Array<AdcTraits> out(AdcTraits(), 7);
    SignalMeta meta;
    EXPECT_EQ(eRefused, client.Read(out, meta, 0));
    EXPECT_TRUE(capture.Traced("dod: Reading from input buffer failed: boom"));
    EXPECT_EQ(7u, out.GetLength());
}

TEST_F(DodClientRead, TypedReadCountsBaseValues)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 0, 0));
    std::vector<short> values(10, -1);
    unsigned count = 10;
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(values.data(), count, 3, meta));
    EXPECT_EQ(8u, count);
    EXPECT_EQ(3, values[0]);
    EXPECT_EQ(4, values[7]);
    EXPECT_EQ(-1, values[8]);
    count = 3;
    ASSERT_EQ(eSuccess, client.Read(values.data(), count, 3, meta));
    EXPECT_EQ(0u, count);
    // Typed reads of other base types are not served by this client.
    std::vector<int> ints(8);
    unsigned intCount = 8;
    EXPECT_EQ(eDerivedError, static_cast<SignalClientBase&>(client).Read(ints.data(), intCount, 0, meta));
}

// ---------------------------------------------------------------- streaming

TEST_F(DodClientStreaming, ReadsTheQueuedBuffersInOrderWithTheirMetadata)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 500, 0));
    EXPECT_EQ(2u, source->GetControllerCopyCount());
    feed->Push(eSuccess, 100);
    feed->Push(eSuccess, 600);
    Array<IqTraits> out(IqTraits(), 1000);
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(out, meta, 12345));
    ASSERT_EQ(500u, out.GetLength());
    EXPECT_EQ(500u, out.GetCapacity()); // took the queued storage over, no copy into the old one
    EXPECT_EQ(100, out[0].v[0]);
    EXPECT_EQ(599, out[499].v[7]);
    EXPECT_EQ(100, meta[eMetaPosition]);
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    EXPECT_EQ(600, out[0].v[0]);
    client.Close();
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    EXPECT_FALSE(client.IsDispatching());
}

TEST_F(DodClientStreaming, IncompleteDataIsReportedOnceThenDataFlowsOn)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    feed->Push(eSuccess, 1);
    feed->Push(eIncompleteData, 0);
    feed->Push(eSuccess, 2);
    Drain();
    Array<IqTraits> out(IqTraits(), 4);
    SignalMeta meta;
    EXPECT_EQ(eIncompleteData, client.Read(out, meta, 0));
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    EXPECT_EQ(1, out[0].v[0]);
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    EXPECT_EQ(2, out[0].v[0]);
}

TEST_F(DodClientStreaming, QueueHoldsAtMost64BuffersAndCountsTheRestAsLost)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 5, 0));
    for (int i = 0; i < 70; ++i) {
        feed->Push(eSuccess, static_cast<size_t>(i));
    }
    Drain();
    // Every read's buffer reaches the queue, kept or counted as lost.
    zvtest::WaitFor([&] { return client.GetQueuedCount() + client.GetQueueCounters().lost / 5 >= 70; });
    EXPECT_EQ(64u, client.GetQueuedCount());
    EXPECT_EQ(6u * 5, client.GetQueueCounters().lost);
    Array<IqTraits> out(IqTraits(), 5);
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    EXPECT_EQ(0, out[0].v[0]); // the oldest kept, the newest dropped
}

TEST_F(DodClientStreaming, ThreadEndingByItselfReportsItsRealCodeEveryTime)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    feed->Push(eBadRequest, 0);
    Drain();
    zvtest::WaitFor([&] { return !client.IsDispatching(); });
    EXPECT_FALSE(client.IsDispatching());
    Array<IqTraits> out(IqTraits(), 4);
    SignalMeta meta;
    EXPECT_EQ(eBadRequest, client.Read(out, meta, 0));
    EXPECT_EQ(eBadRequest, client.Read(out, meta, 0)); // not a throw on the closed queue
    EXPECT_EQ(eBadRequest, client.ForwardTo(nullptr)); // nor a success that a forwarder loops on
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    EXPECT_FALSE(client.IsDispatching());
    client.Close();
    EXPECT_EQ(1u, source->GetControllerCopyCount());
}

TEST_F(DodClientStreaming, SourceExceptionEndsTheThreadWithRefused)
{
    auto client = source->CreateClient("c");
    qstd::CaptureScope capture;
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    source->throwOnRead = true;
    feed->Push(eSuccess, 0);
    Array<IqTraits> out(IqTraits(), 4);
    SignalMeta meta;
    EXPECT_EQ(eRefused, client.Read(out, meta, 0));
    EXPECT_TRUE(capture.Traced("dod client: Dispatching thread error: boom"));
}

TEST_F(DodClientStreaming, TryAgainBacksOffAndTracesOnce)
{
    feed->tryAgainForever = true;
    qstd::CaptureScope capture;
    auto client = source->CreateClient("c");
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    zvtest::WaitFor([&] { return feed->calls.load() > 2; });
    // A window of at least 200 ms to count the calls in.
    std::this_thread::sleep_until(opened + 200ms);
    client.Close();
    // A busy loop asks hundreds of thousands of times in 200 ms.
    EXPECT_LT(feed->calls.load(), 100);
    EXPECT_GT(feed->calls.load(), 2);
    const auto texts = capture.Sink().Texts(qstd::Record::Kind::Trace);
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), "Get position again."));
}

// A read-ahead of no atoms, asked for or left by the controller's maximum,
// would have the thread loop without pause.
TEST_F(DodClientStreaming, SizeZeroIsRefusedWithoutThreadOrClone)
{
    for (const auto& [size, maxRead] : {std::pair<unsigned, size_t>{0, 1000}, {5, 0}}) {
        SCOPED_TRACE(size);
        feed->maxRead = maxRead;
        auto client = source->CreateClient("c");
        EXPECT_EQ(eBadRequest, client.Open(eAccessStreaming, size, 0));
        EXPECT_FALSE(client.IsOpen());
        EXPECT_FALSE(client.IsDispatching());
        EXPECT_EQ(1u, source->GetControllerCopyCount());
    }
    feed->maxRead = 1;
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 5, 0));
    EXPECT_EQ(1u, client.GetSize());
    EXPECT_EQ(2u, source->GetControllerCopyCount());
}

TEST_F(DodClientStreaming, TooSmallCallerMemoryIsRefusedBeforeABufferIsTaken)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 3, 0));
    feed->Push(eSuccess, 40);
    Drain();
    zvtest::WaitFor([&] { return client.GetQueuedCount() > 0; });
    std::vector<int> small(8 * 2);
    unsigned count = static_cast<unsigned>(small.size());
    SignalMeta meta;
    EXPECT_EQ(eBadRequest, client.Read(small.data(), count, 0, meta));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(1u, client.GetQueuedCount());
    std::vector<int> room(8 * 3);
    count = static_cast<unsigned>(room.size());
    ASSERT_EQ(eSuccess, client.Read(room.data(), count, 0, meta));
    EXPECT_EQ(24u, count);
    EXPECT_EQ(42, room[16]);
}

TEST_F(DodClientStreaming, FailedThreadStartLeavesTheClientClosedWithoutItsClone)
{
    pthread_attr_t saved;
    ASSERT_EQ(0, pthread_getattr_default_np(&saved));
    size_t stack = 0;
    pthread_attr_getstacksize(&saved, &stack);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    // No thread can get a stack this large.
    pthread_attr_setstacksize(&huge, size_t(1) << 46);
    ASSERT_EQ(0, pthread_setattr_default_np(&huge));
    auto client = source->CreateClient("c");
    const SuccessCode_e rc = client.Open(eAccessStreaming, 4, 0);
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    EXPECT_EQ(eTryAgain, rc);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    Array<IqTraits> out(IqTraits(), 4);
    SignalMeta meta;
    EXPECT_EQ(eNotOpen, client.Read(out, meta, 0)); // answers at once, no hang
    EXPECT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
}

TEST_F(DodClientStreaming, DestroyingAnOpenClientStopsJoinsAndReturnsTheClone)
{
    PosControllerPtr clone;
    {
        auto client = source->CreateClient("c");
        ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
        clone = client.GetController();
        EXPECT_EQ(2u, source->GetControllerCopyCount());
    }
    EXPECT_TRUE(clone->IsStopped());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
}

TEST_F(DodClientStreaming, AssignmentClosesAndRebindsToTheOtherSource)
{
    auto client = source->CreateClient("first");
    const auto& self = client;
    client = self; // self-assignment changes nothing
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    EXPECT_TRUE(client.IsOpen());
    auto other = std::make_shared<ScriptSource<IqTraits>>();
    other->SetPositionController(std::make_shared<FeedController>(feed));
    auto model = other->CreateClient("second");
    client = model;
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    EXPECT_EQ("second_copy", client.GetName());
    ASSERT_EQ(eSuccess, client.Open(eAccessClone, 4, 0));
    EXPECT_EQ(2u, other->GetControllerCopyCount());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
}

// ------------------------------------------------------------- forwarding

class Receiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq& v, const q_NET::MetaSeq&) override
    {
        return Record(v.length(), v.length() ? v[0] : 0);
    }
    CORBA::Long ReceiveLong(const char* name, const q_NET::LongSeq& v, const q_NET::MetaSeq& m) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastName = name;
        lastMetaCount = m.length();
        counts.push_back(v.length());
        firsts.push_back(v.length() ? v[0] : 0);
        for (CORBA::ULong i = 0; i < m.length(); ++i) {
            if (m[i].id == eMetaOfferedAtom) {
                numbers.push_back(m[i].value);
            }
        }
        return 0;
    }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq&) override
    {
        return Record(v.length(), 0);
    }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq& v, const q_NET::MetaSeq&) override
    {
        return Record(v.length(), 0);
    }
    CORBA::Long Record(unsigned n, long first)
    {
        std::lock_guard<std::mutex> lock(mutex);
        counts.push_back(n);
        firsts.push_back(first);
        return 0;
    }
    std::mutex mutex;
    std::vector<unsigned> counts;
    std::vector<long> firsts;
    std::vector<long long> numbers; // of the first atoms (eMetaOfferedAtom)
    std::string lastName;
    unsigned lastMetaCount = 0;
};

class DodClientForwarding : public DodClientStreaming {
protected:
    static CORBA::ORB_ptr Orb()
    {
        static CORBA::ORB_ptr orb = [] {
            int argc = 0;
            CORBA::ORB_ptr o = CORBA::ORB_init(argc, nullptr);
            CORBA::Object_var obj = o->resolve_initial_references("RootPOA");
            PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
            poa->the_POAManager()->activate();
            return o;
        }();
        return orb;
    }
    DodClientForwarding()
    {
        Orb();
        servant = new Receiver;
        ref = servant->_this();
    }
    ~DodClientForwarding() override
    {
        CORBA::Object_var obj = Orb()->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        PortableServer::ObjectId_var id = poa->servant_to_id(servant);
        poa->deactivate_object(id);
        servant->_remove_ref();
    }
    void QueueBuffers(DodClient<IqTraits>& client, int n)
    {
        for (int i = 0; i < n; ++i) {
            feed->Push(eSuccess, static_cast<size_t>(i * 100));
        }
        Drain();
        zvtest::WaitFor([&] { return client.GetQueuedCount() >= static_cast<size_t>(n); });
    }
    Receiver* servant;
    q_NET::SignalReceiver_var ref;
};

TEST_F(DodClientForwarding, OnlyMode13Forwards)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 10, 0));
    EXPECT_EQ(eTryAgain, client.ForwardTo(ref.in()));
    EXPECT_TRUE(servant->counts.empty());
}

TEST_F(DodClientForwarding, SendsOneToFourQueuedBuffers)
{
    auto client = source->CreateClient("fwd");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 10, 0));
    QueueBuffers(client, 10);
    ASSERT_EQ(10u, client.GetQueuedCount());
    EXPECT_EQ(eSuccess, client.ForwardTo(ref.in()));
    EXPECT_EQ(6u, client.GetQueuedCount());
    ASSERT_EQ(4u, servant->counts.size());
    EXPECT_EQ(80u, servant->counts[0]); // 10 atoms of 8 components
    EXPECT_EQ(0, servant->firsts[0]);
    EXPECT_EQ(300, servant->firsts[3]);
    EXPECT_EQ("fwd", servant->lastName);
    EXPECT_EQ(2u, servant->lastMetaCount); // its own and the number of its first atom
    client.Close();
}

// A buffer of more than one message holds (8 MiB: 262144 atoms of 32 bytes,
// as a post-mortem window read whole) goes in parts of whole atoms, each
// numbered by its own first atom; one that cannot be sent ends the forwarding
// with its code.
TEST_F(DodClientForwarding, BufferLargerThanAMessageGoesInNumberedPartsOrEndsTheForwarding)
{
    auto client = source->CreateClient("fwd");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 300000, 0));
    feed->Push(eSuccess, 0);
    EXPECT_EQ(eSuccess, client.ForwardTo(ref.in()));
    {
        std::lock_guard<std::mutex> lock(servant->mutex);
        EXPECT_EQ((std::vector<unsigned>{262144 * 8, (300000 - 262144) * 8}), servant->counts);
        EXPECT_EQ((std::vector<long>{0, 262144}), servant->firsts);
        EXPECT_EQ((std::vector<long long>{0, 262144}), servant->numbers);
    }
    feed->Push(eSuccess, 0);
    EXPECT_EQ(eBadRequest, client.ForwardTo(nullptr));
    client.Close();
}

TEST_F(DodClientForwarding, EmptyQueueWaitsForOneBufferAndCloseEndsTheWaitWithItsCode)
{
    auto client = source->CreateClient("fwd");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 10, 0));
    auto first = std::async(std::launch::async, [&] { return client.ForwardTo(ref.in()); });
    EXPECT_EQ(std::future_status::timeout, first.wait_for(20ms));
    feed->Push(eSuccess, 7);
    EXPECT_EQ(eSuccess, first.get());
    ASSERT_EQ(1u, servant->counts.size());
    EXPECT_EQ(7, servant->firsts[0]);
    auto second = std::async(std::launch::async, [&] { return client.ForwardTo(ref.in()); });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(20ms));
    client.Close();
    EXPECT_EQ(eNotOpen, second.get()); // the cancellation's code, not a success
    EXPECT_EQ(1u, servant->counts.size());
}

TEST_F(DodClientStreaming, ForwardingOfAClientThatDidNotOpenAnswersAtOnce)
{
    auto bare = std::make_shared<ScriptSource<IqTraits>>(); // no controller: mode 13 is refused
    ExposedClient<IqTraits> client(bare, "c", IqTraits());
    ASSERT_EQ(eBadRequest, client.Open(eAccessStreaming, 4, 0));
    auto forward = std::async(std::launch::async, [&] { return client.ForwardTo(nullptr); });
    if (forward.wait_for(2s) != std::future_status::ready) {
        client.TerminateQueue(); // lets the hung call end so that the test can fail
    }
    EXPECT_EQ(eNotOpen, forward.get());
}

// ------------------------------------------------------------- concurrency

TEST_F(DodClientConcurrency, CloseWakesAReaderAndReleasesAWaitingThread)
{
    auto client = source->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessStreaming, 4, 0));
    auto reader = std::async(std::launch::async, [&] {
        Array<IqTraits> out(IqTraits(), 4);
        SignalMeta meta;
        return client.Read(out, meta, 0);
    });
    EXPECT_EQ(std::future_status::timeout, reader.wait_for(20ms));
    const auto start = std::chrono::steady_clock::now();
    client.Close();
    EXPECT_EQ(eNotOpen, reader.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(1u, source->GetControllerCopyCount());
}

TEST_F(DodClientConcurrency, OpenAndCloseOnTwoThreadsLeaveNoThreadNorCloneBehind)
{
    for (int cycle = 0; cycle < 1000; ++cycle) {
        auto client = source->CreateClient("c");
        std::atomic<int> ready{0};
        auto together = [&] {
            ++ready;
            while (ready.load() < 2) {
                std::this_thread::yield();
            }
        };
        std::thread opener([&] {
            together();
            client.Open(eAccessStreaming, 4, 0);
        });
        std::thread closer([&] {
            together();
            client.Close();
        });
        opener.join();
        closer.join();
        client.Close();
        ASSERT_FALSE(client.IsDispatching()) << cycle;
        ASSERT_EQ(1u, source->GetControllerCopyCount()) << cycle;
    }
}

TEST_F(DodClientConcurrency, ManyClientsReadOneSourceWhileStreamingAndSynchronising)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            auto client = source->CreateClient("r" + std::to_string(t));
            const AccessMode_e mode = t % 2 ? eAccessClone : eAccessAtTime;
            ASSERT_EQ(eSuccess, client.Open(mode, 16, 0));
            Array<IqTraits> out(IqTraits(), 16);
            SignalMeta meta;
            for (int i = 0; i < 200; ++i) {
                out.Resize(16);
                if (client.Read(out, meta, static_cast<uint64_t>(i)) == eSuccess && out[15].v[0] == i + 15) {
                    ++good;
                }
            }
            client.Close();
        });
    }
    auto streamer = source->CreateClient("s");
    ASSERT_EQ(eSuccess, streamer.Open(eAccessStreaming, 8, 0));
    std::thread feeder([&] {
        for (int i = 0; !stop; ++i) {
            feed->Push(eSuccess, static_cast<size_t>(i));
            std::this_thread::sleep_for(100us);
        }
    });
    std::thread sync([&] {
        for (int i = 0; !stop; ++i) {
            source->OnAnnouncedTimestampChange();
            source->OnAdjustedTimestamp(0, static_cast<unsigned long long>(i));
        }
    });
    int popped = 0;
    Array<IqTraits> out(IqTraits(), 8);
    SignalMeta meta;
    while (popped < 50) {
        if (streamer.Read(out, meta, 0) == eSuccess) {
            ++popped;
        }
    }
    for (auto& r : readers) {
        r.join();
    }
    stop = true;
    feeder.join();
    sync.join();
    streamer.Close();
    EXPECT_EQ(800, good.load());
    EXPECT_EQ(1u, source->GetControllerCopyCount());
}

} // namespace
