#include "qsig/stream.h"
#include "qsig/stream_client.h"
#include "stream_test_support.h"

#include "platform/qstd/capture.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using qsig_test::Atom16;
using qsig_test::MakeAtom;
using qsig_test::ScriptedStream;
using qsig_test::Traits16;
using Stream = qsig::Stream<Traits16>;
using Client = qsig::StreamClient<Traits16>;
using Queue = qsig::StreamQueue<Traits16>;
using Ptr = qsig::MetaBufferPair<Traits16>::MetaBufferPtr;

qsig::Array<Traits16> OneAtom(int first)
{
    qsig::Array<Traits16> a(Traits16(), 1);
    a[0] = MakeAtom(first);
    return a;
}

TEST(Stream, DescribesItsAtomsAndMakesRemoteClients)
{
    Traits16::names = {"Va",    "Vb",    "Vc", "Vd", "Sum", "Q",  "X",  "Y",
                       "LMT_l", "LMT_h", "r1", "r2", "r3",  "r4", "r5", "status"};
    Stream s("sa", "raf3", 1, qsig::eActive);
    EXPECT_EQ(16u, s.Length());
    EXPECT_EQ(64u, s.AtomSize());
    EXPECT_EQ(qsig::eAccessStream, s.AccessType());
    EXPECT_EQ(0, s.SourceType());
    const std::vector<std::string> names = s.GetComponentNames();
    ASSERT_EQ(16u, names.size());
    EXPECT_EQ("Va", names.front());
    EXPECT_EQ("status", names.back());
    std::unique_ptr<qsig::SignalClientBase> remote(s.NewSignalClient("remote", 0));
    auto* client = dynamic_cast<Client*>(remote.get());
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(64u, client->GetQueue().GetCapacity());
    EXPECT_EQ("remote", client->GetName());
    EXPECT_EQ(qsig::eAccessStream, client->SignalAccessType());
}

TEST(Stream, PassiveStreamRunsWithoutThreadAndStopsOnTheRemovingThread)
{
    ScriptedStream<Traits16> s("coeff", 1, qsig::ePassive);
    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    EXPECT_EQ(qsig::eRunning, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    EXPECT_EQ(1, s.Opens());
    s.Dispatch(OneAtom(4), qsig::c_noMeta);
    Atom16 a{};
    ASSERT_EQ(qsig::eSuccess, c.Read(a));
    EXPECT_EQ(4, a.v[0]);
    c.Close();
    EXPECT_EQ(qsig::eIdle, s.GetState());
    EXPECT_EQ(1, s.Closes());
}

TEST(Stream, FanOutQueuesOneSharedBufferAndEmptiesTheCallersArray)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client a(&s, "a", 4), b(&s, "b", 4), c(&s, "c", 4);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    ASSERT_EQ(qsig::eSuccess, b.Open());
    ASSERT_EQ(qsig::eSuccess, c.Open());
    qsig::Array<Traits16> buffer = OneAtom(11);
    s.Dispatch(std::move(buffer), qsig::SignalMeta{{qsig::eMetaSequence, 3}});
    EXPECT_EQ(0u, buffer.GetLength());
    EXPECT_EQ(nullptr, buffer.GetData());
    Ptr pa, pb, pc;
    ASSERT_EQ(qsig::eSuccess, a.GetQueue().Pop(pa));
    ASSERT_EQ(qsig::eSuccess, b.GetQueue().Pop(pb));
    ASSERT_EQ(qsig::eSuccess, c.GetQueue().Pop(pc));
    EXPECT_EQ(pa.get(), pb.get());
    EXPECT_EQ(pa.get(), pc.get());
    EXPECT_EQ(3, pa->meta.at(qsig::eMetaSequence));
    EXPECT_EQ(11, pa->data[0].v[0]);
}

TEST(Stream, TypedEntryPointDispatchesWholeAtomsOnly)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client c(&s, "c", 4);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    int values[20];
    for (int i = 0; i < 20; ++i) {
        values[i] = i;
    }
    qsig::SignalDispatchBase& entry = s;
    entry.Dispatch(values, 20, qsig::c_noMeta);                             // one atom, four values ignored
    entry.Dispatch(values, 15, qsig::c_noMeta);                             // no whole atom: nothing queued
    entry.Dispatch(static_cast<const double*>(nullptr), 8, qsig::c_noMeta); // not this stream's type
    EXPECT_EQ(1u, c.GetQueue().GetQueuedCount());
    Atom16 a{};
    ASSERT_EQ(qsig::eSuccess, c.Read(a));
    EXPECT_EQ(15, a.v[15]);
}

TEST(Stream, FanOutWithoutClientsIsTracedAndDropped)
{
    qstd::CaptureScope capture;
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    s.Dispatch(OneAtom(1), qsig::c_noMeta);
    EXPECT_TRUE(capture.TracedSubstring("coeff: Dispatching "));
    EXPECT_TRUE(capture.TracedSubstring(": #queues: 0, atoms: 1"));
}

TEST(Stream, ShutDownOfPassiveStreamTerminatesEveryClientForGood)
{
    qstd::CaptureScope capture;
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client a(&s, "a", 4), b(&s, "b", 4), c(&s, "c", 4);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    ASSERT_EQ(qsig::eSuccess, b.Open());
    ASSERT_EQ(qsig::eSuccess, c.Open());
    s.ShutDown();
    for (Client* client : {&a, &b, &c}) {
        EXPECT_EQ(qsig::eCancelled, client->GetQueue().GetStatus());
    }
    EXPECT_EQ(0u, s.GetQueueCount());
    EXPECT_EQ(qsig::eShutDown, s.GetState());
    Queue late(Traits16(), "late", 4);
    EXPECT_EQ(qsig::eCancelled, s.AddQueue(late));
    EXPECT_TRUE(capture.Traced("coeff: Shutdown already in progress."));
    a.Close();
    EXPECT_EQ(qsig::eCancelled, a.Open());
    // Its queue can join no other stream either.
    Stream other("other", "dsc", 1, qsig::ePassive);
    EXPECT_THROW(other.AddQueue(a.GetQueue()), qstd::Exception);
    EXPECT_EQ(0u, other.GetQueueCount());
}

TEST(Stream, CancelByNameRemovesEveryQueueOfThatName)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client d1(&s, "dup", 4), d2(&s, "dup", 4), other(&s, "other", 4), d3(&s, "dup", 4);
    for (Client* c : {&d1, &d2, &other, &d3}) {
        ASSERT_EQ(qsig::eSuccess, c->Open());
    }
    s.Cancel(std::string("nobody"));
    EXPECT_EQ(4u, s.GetQueueCount());
    s.Cancel(std::string("dup"));
    EXPECT_EQ(1u, s.GetQueueCount());
    EXPECT_EQ(qsig::eNotOpen, d1.GetQueue().GetStatus());
    EXPECT_EQ(qsig::eNotOpen, d2.GetQueue().GetStatus());
    EXPECT_EQ(qsig::eNotOpen, d3.GetQueue().GetStatus());
    EXPECT_EQ(qsig::eSuccess, other.GetQueue().GetStatus());
    Atom16 a{};
    EXPECT_EQ(qsig::eNotOpen, d2.Read(a));
}

TEST(Stream, CancelOfPassiveStreamKeepsItRunning)
{
    ScriptedStream<Traits16> s("coeff", 1, qsig::ePassive);
    Client a(&s, "a", 4);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    s.Cancel(qsig::eNotOpen);
    EXPECT_EQ(qsig::eNotOpen, a.GetQueue().GetStatus());
    EXPECT_EQ(qsig::eRunning, s.GetState());
    Client b(&s, "b", 4);
    ASSERT_EQ(qsig::eSuccess, b.Open());
    EXPECT_EQ(1, s.Opens()); // not opened again
    s.Cancel(qsig::eSuccess);
    EXPECT_EQ(qsig::eCancelled, b.GetQueue().GetStatus());
}

TEST(Stream, IdleStreamWithoutClientControlRefusesRegistration)
{
    Stream s("ctl", "o", 1, qsig::eActiveNoClientControl);
    Client c(&s, "c", 4);
    EXPECT_EQ(qsig::eRefused, c.Open());
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(0u, s.GetQueueCount());
}

TEST(Stream, FailedInputOpenLeavesNoQueueRegistered)
{
    ScriptedStream<Traits16> s("sa");
    s.failOpen = true;
    Client c(&s, "c", 4);
    EXPECT_THROW(c.Open(), std::runtime_error);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(0u, s.GetQueueCount());
    EXPECT_EQ(qsig::eIdle, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    // Dispatching reaches nobody, and a later open works.
    s.failOpen = false;
    ASSERT_EQ(qsig::eSuccess, c.Open());
    EXPECT_EQ(1u, s.GetQueueCount());
    c.Close();
}

TEST(Stream, RemovingAnUnregisteredQueueChangesNothing)
{
    Stream s("coeff", "dsc", 1, qsig::ePassive);
    Client a(&s, "a", 4);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    Queue stray(Traits16(), "stray", 4);
    s.RemoveQueue(stray);
    EXPECT_EQ(qsig::eSuccess, stray.GetStatus());
    EXPECT_EQ(1u, s.GetQueueCount());
    EXPECT_EQ(qsig::eRunning, s.GetState());
}

// --- active streams ---------------------------------------------------------

TEST(StreamConcurrency, DispatcherThreadLivesOnlyWhileClientsExist)
{
    qstd::CaptureScope capture;
    ScriptedStream<Traits16> s("sa");
    EXPECT_FALSE(s.HasDispatcherThread());
    Client a(&s, "a", 8), b(&s, "b", 8);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    EXPECT_EQ(qsig::eRunning, s.GetState());
    EXPECT_TRUE(s.HasDispatcherThread());
    EXPECT_TRUE(capture.Traced("sa: Starting thread.."));
    EXPECT_TRUE(capture.Traced("sa: Thread started.."));
    ASSERT_EQ(qsig::eSuccess, b.Open());
    ASSERT_EQ(qsig::eSuccess, b.Open()); // twice: registered once
    EXPECT_EQ(2u, s.GetQueueCount());
    EXPECT_EQ(1, s.Opens());

    s.Feed(MakeAtom(1));
    s.Feed(MakeAtom(2));
    for (Client* c : {&a, &b}) {
        Atom16 x{};
        ASSERT_EQ(qsig::eSuccess, c->Read(x));
        EXPECT_EQ(1, x.v[0]);
        ASSERT_EQ(qsig::eSuccess, c->Read(x));
        EXPECT_EQ(2, x.v[0]);
    }
    a.Close();
    EXPECT_EQ(qsig::eRunning, s.GetState());
    EXPECT_TRUE(s.HasDispatcherThread());
    b.Close(); // returns only after the thread has ended
    EXPECT_EQ(qsig::eIdle, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    EXPECT_FALSE(s.InputOpen());
    EXPECT_EQ(1, s.Closes());
}

TEST(StreamConcurrency, CloseWakesAReaderWithNotOpen)
{
    ScriptedStream<Traits16> s("sa");
    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    std::atomic<int> rc{1};
    std::thread reader([&] {
        Atom16 x{};
        rc = c.Read(x);
    });
    std::this_thread::sleep_for(20ms);
    s.Cancel(std::string("c"));
    reader.join();
    EXPECT_EQ(qsig::eNotOpen, rc.load());
    EXPECT_EQ(qsig::eIdle, s.GetState());
}

TEST(StreamConcurrency, InputFailureCancelsClientsForGoodAndTheStreamRestarts)
{
    qstd::CaptureScope capture;
    ScriptedStream<Traits16> s("sa");
    Client c(&s, "c", 8);
    c.GetQueue().SetTimeout(1000); // bounds the test should a read wait again
    ASSERT_EQ(qsig::eSuccess, c.Open());
    s.FailNextRead(qsig::eTimeout);
    Atom16 x{};
    EXPECT_EQ(qsig::eTimeout, c.Read(x));
    // Nobody feeds the queue any more: the code stays and the next read
    // answers at once instead of waiting on a queue nobody feeds.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qsig::eTimeout, c.Read(x));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(qsig::eTimeout, c.GetQueue().GetStatus());
    EXPECT_TRUE(capture.LoggedSubstring("sa: Terminating dispatch thread. Cause: -3"));
    ASSERT_TRUE(zvtest::WaitFor([&] { return s.GetState() == qsig::eIdle; }));
    EXPECT_EQ(0u, s.GetQueueCount());
    EXPECT_EQ(1, s.Closes());

    c.Close();
    ASSERT_EQ(qsig::eSuccess, c.Open());
    EXPECT_TRUE(capture.Traced("sa: join thread."));
    s.Feed(MakeAtom(9));
    ASSERT_EQ(qsig::eSuccess, c.Read(x));
    EXPECT_EQ(9, x.v[0]);
    EXPECT_EQ(2, s.Opens());
}

TEST(StreamConcurrency, ExceptionInTheDispatcherIsAnInputFailure)
{
    qstd::CaptureScope capture;
    ScriptedStream<Traits16> s("sa");
    Client a(&s, "a", 8), b(&s, "b", 8);
    ASSERT_EQ(qsig::eSuccess, a.Open());
    ASSERT_EQ(qsig::eSuccess, b.Open());
    s.ThrowOnNextRead();
    Atom16 x{};
    EXPECT_EQ(Stream::c_dispatchErrorCode, a.Read(x));
    EXPECT_EQ(Stream::c_dispatchErrorCode, b.Read(x));
    // No partly filled buffer reached the clients.
    EXPECT_EQ(0u, a.GetQueue().GetCounters().pushed);
    EXPECT_TRUE(capture.LoggedSubstring("sa: Dispatching thread error: input broke"));
    ASSERT_TRUE(zvtest::WaitFor([&] { return s.GetState() == qsig::eIdle; }));
    EXPECT_EQ(0u, s.GetQueueCount());
    EXPECT_FALSE(s.InputOpen());
}

TEST(StreamConcurrency, NewFirstClientIsNotCancelledByALateCloseOfTheInput)
{
    ScriptedStream<Traits16> s("fa");
    s.closeDelay = 100ms;
    auto first = std::make_unique<Client>(&s, "first", 8);
    ASSERT_EQ(qsig::eSuccess, first->Open());
    std::thread closer([&] { first->Close(); });
    std::this_thread::sleep_for(20ms); // the close is under way, the dispatcher already woke
    Client second(&s, "second", 8);
    second.GetQueue().SetTimeout(2000);
    ASSERT_EQ(qsig::eSuccess, second.Open());
    closer.join();
    EXPECT_TRUE(s.InputOpen());
    EXPECT_EQ(qsig::eRunning, s.GetState());
    s.Feed(MakeAtom(5));
    Atom16 x{};
    ASSERT_EQ(qsig::eSuccess, second.Read(x));
    EXPECT_EQ(5, x.v[0]);
}

TEST(StreamConcurrency, ShutDownOfActiveStreamIsFinal)
{
    ScriptedStream<Traits16> s("sa");
    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    std::atomic<int> rc{1};
    std::thread reader([&] {
        Atom16 x{};
        rc = c.Read(x);
    });
    std::this_thread::sleep_for(20ms);
    s.ShutDown();
    reader.join();
    EXPECT_EQ(qsig::eCancelled, rc.load());
    EXPECT_EQ(qsig::eShutDown, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    EXPECT_FALSE(s.InputOpen());
    Client late(&s, "late", 8);
    EXPECT_EQ(qsig::eCancelled, late.Open()); // answers at once, no wait
    s.ShutDown();
    EXPECT_EQ(qsig::eShutDown, s.GetState());
}

TEST(StreamConcurrency, CancellingAnIdleActiveStreamLeavesItUsable)
{
    ScriptedStream<Traits16> s("sa");
    s.Cancel(qsig::eNotOpen);
    EXPECT_EQ(qsig::eIdle, s.GetState());
    Client c(&s, "c", 8);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    EXPECT_EQ(qsig::eRunning, s.GetState());
    s.Cancel(qsig::eSuccess); // stops the running stream
    EXPECT_EQ(qsig::eIdle, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    EXPECT_EQ(qsig::eCancelled, c.GetQueue().GetStatus());
}

TEST(StreamConcurrency, StartStopChurnFromTwoThreadsNeverHangsNorCancelsWrongly)
{
    ScriptedStream<Traits16> s("churn");
    std::atomic<int> wrong{0};
    auto cycle = [&](const std::string& name) {
        Client c(&s, name, 8);
        for (int i = 0; i < 300; ++i) {
            if (c.Open() != qsig::eSuccess || c.GetQueue().GetStatus() != qsig::eSuccess) {
                ++wrong;
            }
            s.Feed(MakeAtom(i));
            c.Close();
            if (c.GetQueue().GetStatus() != qsig::eNotOpen) {
                ++wrong;
            }
        }
    };
    std::thread t1(cycle, "one");
    std::thread t2(cycle, "two");
    t1.join();
    t2.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(qsig::eIdle, s.GetState());
    EXPECT_FALSE(s.HasDispatcherThread());
    EXPECT_EQ(s.Opens(), s.Closes());
}

// Clients that close and go away while the stream shuts down: each queue is
// taken out exactly once (by the client or by the shutdown) and the stream
// never pushes into the queue of a client that is gone.
TEST(StreamConcurrency, ClientsLeavingDuringShutDownAreRemovedOnceAndNeverUsedAfter)
{
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ScriptedStream<Traits16> s("sa");
        std::atomic<int> wrong{0};
        auto client = [&](const std::string& name) {
            for (;;) {
                Client c(&s, name, 4);
                const qsig::SuccessCode_e rc = c.Open();
                if (rc != qsig::eSuccess) {
                    if (rc != qsig::eCancelled) {
                        ++wrong;
                    }
                    return;
                }
                s.Feed(MakeAtom(cycle));
                c.Close();
                const qsig::SuccessCode_e status = c.GetQueue().GetStatus();
                if (status != qsig::eNotOpen && status != qsig::eCancelled) {
                    ++wrong;
                }
            }
        };
        std::thread one(client, "one");
        std::thread two(client, "two");
        s.Feed(MakeAtom(cycle));
        s.ShutDown();
        one.join();
        two.join();
        ASSERT_EQ(0, wrong.load()) << cycle;
        ASSERT_EQ(0u, s.GetQueueCount()) << cycle;
        ASSERT_FALSE(s.HasDispatcherThread()) << cycle;
    }
}

// Eight threads opening and closing clients all the time: the shutdown still
// gets in within a bounded time, in both kinds of stream.
TEST(StreamConcurrency, ShutDownIsNotStarvedByChurningClients)
{
    for (const qsig::StreamMode_e mode : {qsig::ePassive, qsig::eActive}) {
        for (int round = 0; round < 10; ++round) {
            ScriptedStream<Traits16> s("churn", 1, mode);
            std::atomic<bool> stop{false};
            std::atomic<unsigned> cycles{0};
            std::vector<std::thread> churn;
            for (int i = 0; i < 8; ++i) {
                churn.emplace_back([&, i] {
                    while (!stop) {
                        Client c(&s, "c" + std::to_string(i), 4);
                        c.Open();
                        c.Close();
                        ++cycles;
                    }
                });
            }
            EXPECT_TRUE(zvtest::WaitFor([&] { return cycles.load() >= 800; }));
            auto shutDown = std::async(std::launch::async, [&] { s.ShutDown(); });
            const bool inTime = shutDown.wait_for(2s) == std::future_status::ready;
            stop = true;
            for (std::thread& t : churn) {
                t.join();
            }
            shutDown.wait();
            ASSERT_TRUE(inTime) << "mode " << mode << ", round " << round;
            EXPECT_EQ(0u, s.GetQueueCount());
        }
    }
}

TEST(StreamConcurrency, StalledClientLosesExactlyWhatDoesNotFit)
{
    ScriptedStream<Traits16> s("sa");
    Client stalled(&s, "stalled", 4), reader(&s, "reader", 1024);
    ASSERT_EQ(qsig::eSuccess, stalled.Open());
    ASSERT_EQ(qsig::eSuccess, reader.Open());
    for (int i = 0; i < 1000; ++i) {
        s.Feed(MakeAtom(i));
    }
    qsig::Array<Traits16> run(Traits16(), 1000);
    ASSERT_EQ(qsig::eSuccess, reader.Read(run));
    EXPECT_EQ(999, run[999].v[0]);
    const Queue::Counters c = stalled.GetQueue().GetCounters();
    EXPECT_EQ(1000u, c.pushed);
    EXPECT_EQ(996u, c.lost);
    EXPECT_EQ(4u, stalled.GetQueue().GetQueuedCount());
}

// Keeps the atoms with an even sequence number; of those that are multiples
// of four it queues a marked copy (the shared buffer stays as it was).
class EvenFilter : public qsig::StreamFilter<Traits16> {
public:
    Ptr Filter(const Ptr& buffer) override
    {
        const int seq = buffer->data[0].v[0];
        if (seq % 2 != 0) {
            return nullptr;
        }
        if (seq % 4 != 0) {
            return buffer;
        }
        qsig::Array<Traits16> copy(buffer->data);
        copy[0].v[1] = -1;
        return std::make_shared<qsig::MetaBufferPair<Traits16>>(std::move(copy), buffer->meta);
    }
};

// One producer fans out numbered one-atom buffers while readers read all
// they get, a stalled reader reads nothing, a filtering reader keeps the even
// ones, and readers join and leave. Every reader sees its buffers in order
// and unchanged by another's filter; what a reader misses is exactly what
// its queue counted as lost; the stalled queue keeps what fits.
TEST(StreamConcurrency, FanOutWithReadersJoiningStallingFilteringAndLeaving)
{
    constexpr int c_buffers = 3000;
    Stream s("sa", "raf3", 1, qsig::ePassive);
    Client stalled(&s, "stalled", 8);
    Client filtering(&s, "filtering", c_buffers);
    filtering.GetQueue().SetFilter(std::make_shared<EvenFilter>());
    std::vector<std::unique_ptr<Client>> steady;
    for (int i = 0; i < 3; ++i) {
        steady.push_back(std::make_unique<Client>(&s, "steady" + std::to_string(i), 16));
    }
    ASSERT_EQ(qsig::eSuccess, stalled.Open());
    ASSERT_EQ(qsig::eSuccess, filtering.Open());
    for (auto& c : steady) {
        ASSERT_EQ(qsig::eSuccess, c->Open());
    }

    std::atomic<bool> produced{false};
    std::atomic<int> wrong{0};
    // Reads until the queue ends; counts the atoms, and the ones missed
    // among every step-th buffer.
    auto readAll = [&](Client& c, int step, uint64_t& got, uint64_t& missed) {
        int last = -step;
        Atom16 a{};
        while (c.Read(a) == qsig::eSuccess) {
            const int seq = a.v[0];
            wrong += seq <= last || seq % step != 0 || a.v[1] != (seq % 4 == 0 && step == 2 ? -1 : seq + 1) ? 1 : 0;
            missed += uint64_t((seq - last) / step - 1);
            last = seq;
            ++got;
        }
        missed += uint64_t((c_buffers - step - last) / step);
    };
    std::vector<uint64_t> got(steady.size() + 1, 0), missed(steady.size() + 1, 0);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < steady.size(); ++i) {
        readers.emplace_back([&, i] { readAll(*steady[i], 1, got[i], missed[i]); });
    }
    readers.emplace_back([&] { readAll(filtering, 2, got.back(), missed.back()); });
    // Readers that join, read a few buffers in order, and leave.
    std::atomic<int> sessions{0};
    std::vector<std::thread> joiners;
    for (int j = 0; j < 2; ++j) {
        joiners.emplace_back([&, j] {
            Client c(&s, "joiner" + std::to_string(j), 4);
            c.GetQueue().SetTimeout(20);
            while (!produced) {
                if (c.Open() != qsig::eSuccess) {
                    ++wrong;
                    break;
                }
                int last = -1;
                Atom16 a{};
                for (int k = 0; k < 5 && c.Read(a) == qsig::eSuccess; ++k) {
                    wrong += a.v[0] <= last ? 1 : 0;
                    last = a.v[0];
                }
                c.Close();
                wrong += c.GetQueue().GetStatus() == qsig::eNotOpen ? 0 : 1;
                ++sessions;
            }
        });
    }

    for (int i = 0; i < c_buffers; ++i) {
        s.Dispatch(OneAtom(i), qsig::c_noMeta);
        if (i % 64 == 0) {
            std::this_thread::yield(); // let readers fall asleep and be woken
        }
        if (i == c_buffers / 2) {
            // However slowly the joiners start, some join and leave while
            // buffers flow.
            zvtest::WaitFor([&] { return sessions >= 2; }, 30s);
        }
    }
    produced = true;
    for (auto& t : joiners) {
        t.join();
    }
    // Every reader takes what is queued for it, however it was woken.
    for (auto* c : {steady[0].get(), steady[1].get(), steady[2].get(), &filtering}) {
        zvtest::WaitFor([c] { return c->GetQueue().GetQueuedCount() == 0; }, 30s);
        EXPECT_EQ(0u, c->GetQueue().GetQueuedCount()) << c->GetName();
    }
    s.ShutDown();
    for (auto& t : readers) {
        t.join();
    }

    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(sessions.load(), 0);
    for (size_t i = 0; i < steady.size(); ++i) {
        const Queue::Counters c = steady[i]->GetQueue().GetCounters();
        EXPECT_EQ(uint32_t(c_buffers), c.pushed);
        EXPECT_EQ(uint64_t(c_buffers), got[i] + missed[i]) << i;
        EXPECT_EQ(uint64_t(c.lost), missed[i]) << i;
    }
    const Queue::Counters f = filtering.GetQueue().GetCounters();
    EXPECT_EQ(uint32_t(c_buffers), f.intoFilter);
    EXPECT_EQ(uint32_t(c_buffers / 2), f.filterRemoved);
    EXPECT_EQ(uint32_t(c_buffers / 2), f.pushed);
    EXPECT_EQ(0u, f.lost);
    EXPECT_EQ(uint64_t(c_buffers / 2), got.back());
    EXPECT_EQ(0u, missed.back());
    const Queue::Counters st = stalled.GetQueue().GetCounters();
    EXPECT_EQ(uint32_t(c_buffers), st.pushed);
    EXPECT_EQ(uint32_t(c_buffers - 8), st.lost);
}

} // namespace
