// Subscriptions and signal forwarding of the remote export: values reach
// the client's callback in order, streams and read-ahead on-demand clients
// forward to the client's receiver in calls of at most one chunk, on-demand
// signals are read once, and closed or vanished clients end cleanly without
// affecting the server or other clients.

#include "remote_test_support.h"

#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_outgoing.h"
#include "platform/remote/remote_signal_session.h"
#include "qsig/zemtra_stream.h"
#include "sim/stream_device.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <thread>
#include <utility>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

class RemoteSignalTest : public ::testing::Test {
protected:
    Server server;
    zemtra_REMOTE::Registry_ptr reg() { return server.registry.in(); }

    // Waits until the export's bookkeeping reaches the counts.
    bool WaitCounts(size_t sessions, size_t subscriptions)
    {
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < end) {
            if (server.exporter.GetSignalSessionCount() == sessions &&
                server.exporter.GetSubscriptionCount() == subscriptions) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
};

TEST_F(RemoteSignalTest, SubscriptionDeliversEveryChangeInOrderUntilUnsubscribed)
{
    auto* cb = new Callback();
    CORBA::Object_var obj = server.Activate(cb);
    zemtra_REMOTE::ValueCallback_var ref = zemtra_REMOTE::ValueCallback::_narrow(obj);

    const CORBA::ULongLong locked = reg()->Subscribe("tim.pll.locked", ref);
    const CORBA::ULongLong custom = reg()->Subscribe("custom", ref);
    const CORBA::ULongLong arr = reg()->Subscribe("arr", ref);
    EXPECT_NE(locked, custom);
    EXPECT_EQ(3u, server.exporter.GetSubscriptionCount());

    // The system's own write of a read-only node reaches remote subscribers.
    ASSERT_TRUE(server.tree.locked->SetValue(true, 0));
    // Remote writes too; an enum is delivered by name.
    zemtra_REMOTE::StringSeq v;
    v.length(1);
    v[0] = "fa_clk";
    reg()->SetText("custom", 0, v);
    v[0] = "5";
    reg()->SetText("arr", 2, v);
    ASSERT_TRUE(server.tree.locked->SetValue(false, 0));

    ASSERT_TRUE(cb->WaitFor(4, 5s));
    auto lines = cb->Lines();
    // Per node the order is kept; across nodes each comes from its own thread.
    std::vector<std::string> lockedLines;
    for (const auto& l : lines) {
        if (l.rfind("tim.pll.locked", 0) == 0) {
            lockedLines.push_back(l);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"tim.pll.locked@0: true", "tim.pll.locked@0: false"}), lockedLines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "custom@0: fa_clk"), lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "arr@2: 5"), lines.end());

    reg()->Unsubscribe(locked);
    EXPECT_EQ("mci: No such subscription: " + std::to_string(locked),
              RemoteMessage([&] { reg()->Unsubscribe(locked); }));
    ASSERT_TRUE(server.tree.locked->SetValue(true, 0));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(4u, cb->Lines().size());
    reg()->Unsubscribe(custom);
    reg()->Unsubscribe(arr);
    EXPECT_TRUE(WaitCounts(0, 0));
    cb->_remove_ref();
}

TEST_F(RemoteSignalTest, EnumEmittedUnderTheOwnersLockIsDeliveredByName)
{
    auto* cb = new Callback();
    CORBA::Object_var obj = server.Activate(cb);
    reg()->Subscribe("clock_info.mode", zemtra_REMOTE::ValueCallback::_narrow(obj));
    {
        // The owner changes its node while holding the lock its getter takes:
        // the emission must not read the node on this thread.
        std::lock_guard<std::mutex> lock(server.tree.owner.modeMutex);
        ASSERT_TRUE(mci::Node(server.tree.modeNode, mci::c_noRelPath).SetValue(eFaClk, 0));
    }
    ASSERT_TRUE(cb->WaitFor(1, 5s));
    EXPECT_EQ((std::vector<std::string>{"clock_info.mode@0: fa_clk"}), cb->Lines());
    cb->_remove_ref();
}

TEST_F(RemoteSignalTest, SubscribeRefusesUnknownPathAndNilCallback)
{
    auto* cb = new Callback();
    CORBA::Object_var obj = server.Activate(cb);
    zemtra_REMOTE::ValueCallback_var ref = zemtra_REMOTE::ValueCallback::_narrow(obj);
    EXPECT_EQ("mci: No such node: tim.nothing", RemoteMessage([&] { reg()->Subscribe("tim.nothing", ref); }));
    EXPECT_EQ("mci: No callback object given for custom",
              RemoteMessage([&] { reg()->Subscribe("custom", zemtra_REMOTE::ValueCallback::_nil()); }));
    EXPECT_EQ(0u, server.exporter.GetSubscriptionCount());
    cb->_remove_ref();
}

TEST_F(RemoteSignalTest, VanishedCallbackEndsItsSubscriptionAlone)
{
    auto* gone = new Callback();
    auto* stays = new Callback();
    CORBA::Object_var goneObj = server.Activate(gone);
    CORBA::Object_var staysObj = server.Activate(stays);
    reg()->Subscribe("tim.pll.locked", zemtra_REMOTE::ValueCallback::_narrow(goneObj));
    reg()->Subscribe("tim.pll.locked", zemtra_REMOTE::ValueCallback::_narrow(staysObj));
    server.Deactivate(gone);

    // The emitter is not disturbed; the other subscriber still gets values.
    EXPECT_TRUE(server.tree.locked->SetValue(true, 0));
    ASSERT_TRUE(stays->WaitFor(1, 5s));
    EXPECT_TRUE(WaitCounts(0, 1));
    EXPECT_TRUE(server.tree.locked->SetValue(false, 0));
    ASSERT_TRUE(stays->WaitFor(2, 5s));
    EXPECT_EQ(0u, gone->Lines().size());
    gone->_remove_ref();
    stays->_remove_ref();
}

TEST_F(RemoteSignalTest, StreamForwardsEveryPushedAtomToTheReceiver)
{
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    q_NET::SignalReceiver_var ref = q_NET::SignalReceiver::_narrow(obj);
    const CORBA::ULongLong id = reg()->OpenSignal("signals.pll", ref, 0, 0, 0);
    EXPECT_EQ(1u, server.tree.pll->GetQueueCount());
    for (int i = 0; i < 10; ++i) {
        server.tree.PushPll(i, 100 + i);
    }
    ASSERT_TRUE(rx->WaitForValues(20, 5s));
    std::vector<double> expected;
    for (int i = 0; i < 10; ++i) {
        expected.push_back(i);
        expected.push_back(100 + i);
    }
    EXPECT_EQ(expected, rx->Values());

    reg()->CloseSignal(id);
    EXPECT_EQ(0u, server.tree.pll->GetQueueCount());
    server.tree.PushPll(1, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(20u, rx->Values().size());
    // A closed client cannot be closed again.
    EXPECT_EQ("qsig: No such signal client: " + std::to_string(id), RemoteMessage([&] { reg()->CloseSignal(id); }));
    EXPECT_EQ(0u, server.exporter.GetSignalSessionCount());
    rx->_remove_ref();
}

TEST_F(RemoteSignalTest, BufferLargerThanAChunkReachesTheReceiverInPiecesOfWholeAtoms)
{
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    const CORBA::ULongLong id = reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(obj), 0, 0, 0);
    // 80000 atoms of two doubles: 1.28 MB in one buffer, pieces of 65536 atoms.
    std::vector<double> values(160000);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<double>(i);
    }
    server.tree.pll->Dispatch(values.data(), static_cast<unsigned>(values.size()), qsig::c_noMeta);
    ASSERT_TRUE(rx->WaitForValues(values.size(), 5s));
    EXPECT_EQ(values, rx->Values());
    EXPECT_EQ(2u, rx->Buffers());
    // Each piece numbers its first atom among those the stream offered.
    server.tree.PushPll(1, 2);
    ASSERT_TRUE(rx->WaitForValues(values.size() + 2, 5s));
    EXPECT_EQ((std::vector<long long>{0, 65536, 80000}), rx->Numbers());
    reg()->CloseSignal(id);
    rx->_remove_ref();
}

// Records the first value and the number (zemtra_REMOTE::MetaOfferedAtom,
// -1 without) of each buffer of doubles that reaches it; arrived, when set,
// runs with the first value before the call is answered (on the forwarding
// thread of the session that calls it).
class NumberingReceiver : public POA_q_NET::SignalReceiver {
public:
    std::function<void(double first)> arrived;

    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq& meta) override
    {
        long long number = -1;
        for (CORBA::ULong i = 0; i < meta.length(); ++i) {
            if (meta[i].id == zemtra_REMOTE::MetaOfferedAtom) {
                number = meta[i].value;
            }
        }
        const double first = v.length() > 0 ? v[0] : -1;
        if (arrived) {
            arrived(first);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_got.emplace_back(first, number);
        m_changed.notify_all();
        return 0;
    }
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq&, const q_NET::MetaSeq&) override { return -1; }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq&, const q_NET::MetaSeq&) override { return -1; }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq&, const q_NET::MetaSeq&) override { return -1; }

    // {first value, number} of the buffers, once count came (within 10 s).
    std::vector<std::pair<double, long long>> Got(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, 10s, [&] { return m_got.size() >= count; });
        return m_got;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<double, long long>> m_got;
};

// A session of the server's own: client forwarded to receiver through a
// relay in the root POA, for PLL atoms (two values each).
std::unique_ptr<remote::RemoteSignalSession> ForwardingSession(Server& server, qsig::SignalClientBase* client,
                                                               NumberingReceiver& receiver)
{
    CORBA::Object_var obj = server.Activate(&receiver);
    q_NET::SignalReceiver_var target = q_NET::SignalReceiver::_narrow(obj);
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var rootObj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(rootObj);
    auto session =
        std::make_unique<remote::RemoteSignalSession>(1, "test.pll", std::unique_ptr<qsig::SignalClientBase>(client),
                                                      target.in(), root.in(), remote::RemoteObjectOf(target.in()), 2);
    session->Start();
    return session;
}

// A passive PLL stream whose statistics, when read, run a step of the test.
class SteppedPllStream : public PllStream {
public:
    SteppedPllStream() : PllStream("pll", "tim") {}
    qsig::SignalStats GetStatistics() const override
    {
        if (step) {
            step();
        }
        return PllStream::GetStatistics();
    }
    std::function<void()> step;
};

// The number of a buffer's first atom is the queue's own, given with the
// buffer: a buffer that the queue takes in between a drop and the reader's
// next look at anything (the queue's counts, the stream's statistics) is
// numbered where it lies, after the hole. A queue of two buffers of an
// atom: 0 and 1 queued; as 0 arrives, 2 is taken in and 3 dropped; 4 comes
// once 1 was taken, at the first of the reader's look at the stream or 1's
// arrival.
TEST(RemoteSignalNumbersConcurrency, ABufferTakenInAfterADropIsNumberedAfterTheHole)
{
    Server server;
    SteppedPllStream stream;
    auto* client = new qsig::StreamClient<PllTraits>(&stream, "remote_1", 2);
    ASSERT_EQ(qsig::eSuccess, client->Open());
    auto push = [&](double value) {
        const double values[2] = {value, 0};
        stream.Dispatch(values, 2, qsig::c_noMeta);
    };
    push(0);
    push(1);
    std::atomic<bool> dropped{false};
    std::atomic<bool> fourth{false};
    auto pushFourth = [&] {
        if (dropped.load() && !fourth.exchange(true)) {
            push(4);
        }
    };
    stream.step = pushFourth;
    NumberingReceiver receiver;
    receiver.arrived = [&](double first) {
        if (first == 0) {
            push(2);
            push(3);
            dropped = true;
        } else if (first == 1) {
            pushFourth();
        }
    };
    auto session = ForwardingSession(server, client, receiver);
    const std::vector<std::pair<double, long long>> expected = {{0, 0}, {1, 1}, {2, 2}, {4, 4}};
    EXPECT_EQ(expected, receiver.Got(expected.size()));
    session->Close();
    server.Deactivate(&receiver);
}

// Atoms that the stream's device dropped (a feed that did not fit in what
// it keeps) are numbered as offered and lost where they lie, between the
// atoms fed before and after them.
TEST(RemoteSignalNumbersConcurrency, AtomsTheDeviceDroppedAreNumberedWhereTheyLie)
{
    Server server;
    const std::string path = "/dev/zemtra/remote_numbers";
    auto device = sim::StreamDevice::Create(path, 4 * sizeof(PllAtom));
    qsig::ZemtraStream<PllTraits> stream("fa", "raf3", path, 1, qsig::eActive);
    auto* client = new qsig::StreamClient<PllTraits>(&stream, "remote_1", 64);
    ASSERT_EQ(qsig::eSuccess, client->Open());
    auto feed = [&](double first, unsigned atoms) {
        std::vector<PllAtom> fed;
        for (unsigned i = 0; i < atoms; ++i) {
            fed.push_back({first + i, 0});
        }
        device->Feed(fed.data(), fed.size() * sizeof(PllAtom));
    };
    NumberingReceiver receiver;
    auto session = ForwardingSession(server, client, receiver);
    // Read an atom at a time (groups of one).
    feed(0, 2);
    EXPECT_EQ(2u, receiver.Got(2).size());
    feed(2, 5); // more than the device keeps: dropped
    feed(7, 2);
    const std::vector<std::pair<double, long long>> expected = {{0, 0}, {1, 1}, {7, 7}, {8, 8}};
    EXPECT_EQ(expected, receiver.Got(expected.size()));
    EXPECT_EQ(5u * sizeof(PllAtom), device->BytesDropped());
    session->Close();
    server.Deactivate(&receiver);
    sim::StreamDevice::Remove(path);
}

// Forwards a buffer of atoms 0 to 79999 (two doubles each, the first the
// atom's number: two pieces), then atom 80000, then nothing until closed,
// as a client of the access type given.
class TwoBuffersClient : public qsig::SignalClientBase {
public:
    explicit TwoBuffersClient(qsig::SignalAccessType_e type) : m_type(type), m_values(2 * 80001)
    {
        for (size_t i = 0; i < m_values.size(); i += 2) {
            m_values[i] = static_cast<double>(i / 2);
        }
    }
    qsig::SignalAccessType_e SignalAccessType() const override { return m_type; }
    std::string GetName() const override { return "remote_1"; }
    bool IsOpen() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_closed;
    }
    void Close() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    qsig::SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver* receiver) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_forwarded < 2) {
            const unsigned first = m_forwarded++ == 0 ? 0 : 80000;
            lock.unlock();
            qsig::SignalMeta meta;
            meta[qsig::eMetaOfferedAtom] = first;
            return DoDispatch(receiver, m_values.data() + 2 * first, first == 0 ? 2 * 80000 : 2, meta);
        }
        m_changed.wait(lock, [this] { return m_closed; });
        return qsig::eSuccess;
    }

private:
    const qsig::SignalAccessType_e m_type;
    std::vector<double> m_values;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_forwarded = 0;
    bool m_closed = false;
};

// A receiver whose first call times out (it did not take the piece in
// time) gets that piece again once it answers, and the rest of its buffer,
// from a signal read ahead on demand: its next buffer may be long in coming
// (a post-mortem capture's comes with the next capture). A stream drops the
// rest of that buffer; its next buffer tells the hole.
TEST(RemoteSignalNumbersConcurrency, APieceWhoseCallTimedOutGoesAgainReadAheadButNotInAStream)
{
    Server server;
    const struct {
        qsig::SignalAccessType_e type;
        std::vector<std::pair<double, long long>> got;
    } cases[] = {
        {qsig::eAccessDataOnDemand, {{0, 0}, {65536, 65536}, {80000, 80000}}},
        {qsig::eAccessStream, {{80000, 80000}}},
    };
    for (const auto& c : cases) {
        NumberingReceiver receiver;
        std::atomic<bool> timedOut{false};
        receiver.arrived = [&](double) {
            if (!timedOut.exchange(true)) {
                throw CORBA::TIMEOUT();
            }
        };
        auto session = ForwardingSession(server, new TwoBuffersClient(c.type), receiver);
        EXPECT_EQ(c.got, receiver.Got(c.got.size())) << c.type;
        session->Close();
        server.Deactivate(&receiver);
    }
}

// A buffer of more than a chunk goes on in pieces of whole atoms, each
// numbered by its own first atom; a relay that does not know the atoms'
// size sends its pieces without the number. A buffer of one piece goes on
// as it came.
TEST(RemoteSignalNumbersConcurrency, EachPieceNumbersItsOwnFirstAtomOrNoneDoes)
{
    Server server;
    const struct {
        size_t atomValues;
        size_t values;
        std::vector<long long> numbers;
    } cases[] = {
        {2, 160000, {5, 5 + 65536}},
        {0, 160000, {-1, -1}},
        {0, 4, {5}},
    };
    for (const auto& c : cases) {
        NumberingReceiver receiver;
        CORBA::Object_var obj = server.Activate(&receiver);
        remote::RemoteReceiverRelay relay(q_NET::SignalReceiver::_narrow(obj), c.atomValues);
        CORBA::Object_var relayObj = server.Activate(&relay);
        q_NET::SignalReceiver_var local = q_NET::SignalReceiver::_narrow(relayObj);
        std::vector<double> values(c.values, 1.0);
        const q_NET::DoubleSeq seq(static_cast<CORBA::ULong>(values.size()), values.data(), false);
        q_NET::MetaSeq meta;
        meta.length(2);
        meta[0].id = qsig::eMetaLmt;
        meta[0].value = 77;
        meta[1].id = zemtra_REMOTE::MetaOfferedAtom;
        meta[1].value = 5;
        EXPECT_EQ(0, local->ReceiveDouble("remote_1", seq, meta));
        std::vector<long long> numbers;
        for (const auto& got : receiver.Got(c.numbers.size())) {
            numbers.push_back(got.second);
        }
        EXPECT_EQ(c.numbers, numbers) << c.atomValues << ", " << c.values;
        server.Deactivate(&relay);
        server.Deactivate(&receiver);
    }
}

TEST_F(RemoteSignalTest, ReadSignalReadsOnceAndClosesItsClient)
{
    // Three atoms from atom 60 + 2: wraps after two.
    zemtra_REMOTE::SignalData_var data = reg()->ReadSignal("signals.adc", 10, 3, 2, 60, 0);
    EXPECT_EQ(3u, data->atoms);
    std::vector<short> values(data->short_values.get_buffer(),
                              data->short_values.get_buffer() + data->short_values.length());
    EXPECT_EQ((std::vector<short>{248, 249, 250, 251, 252, 253, 254, 255, 0, 1, 2, 3}), values);
    EXPECT_EQ(0u, data->long_values.length() + data->double_values.length() + data->ulonglong_values.length());
    ASSERT_EQ(1u, data->meta.length());
    EXPECT_EQ(0, data->meta[0].id);
    EXPECT_EQ(62, data->meta[0].value);
    // As much as one chunk (8 bytes per atom) in one call.
    data = reg()->ReadSignal("signals.adc", 12, 131072, 0, 1, 0);
    EXPECT_EQ(131072u, data->atoms);
    EXPECT_EQ(131072u * 4, data->short_values.length());
    EXPECT_EQ(2, server.tree.adc->m_reads.load());
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
}

TEST_F(RemoteSignalTest, ReadSignalRefusals)
{
    struct Case {
        const char* path;
        int mode;
        unsigned count;
        unsigned long long time;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"signals.none", 10, 1, 0, "mci: No such node: signals.none"},
        {"signals.pll", 10, 1, 0, "qsig: Can't read stream signals.pll once: forward it instead (OpenSignal)"},
        {"signals.adc", 13, 1, 0,
         "qsig: Can't read signal signals.adc in access mode 13: that mode reads ahead, forward it instead "
         "(OpenSignal)"},
        {"signals.adc", 9, 1, 0,
         "qsig: Can't read signal signals.adc in access mode 9: one-shot reads take access mode 10, 11, 12 or 14"},
        {"signals.adc", 10, 0, 0, "qsig: Can't read 0 atoms of signal signals.adc"},
        {"signals.adc", 10, 131073, 0,
         "qsig: Can't read 131073 atoms of signal signals.adc in one call: 1048584 bytes (8 per atom) exceed the "
         "bound of 1048576 bytes per call; read at most 131072 atoms at a time"},
        {"signals.adc", 14, 1, 0, "qsig: Can't open signal signals.adc in access mode 14: -1 (bad request)"},
        {"signals.adc", 12, 1, 0, "qsig: Can't read signal signals.adc in access mode 12: -7 (try again)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message, RemoteMessage([&] { reg()->ReadSignal(c.path, c.mode, c.count, 0, c.time, 0); }));
    }
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
    EXPECT_EQ(0, server.tree.adc->m_reads.load());
}

// Reads waiting for data hold the request no longer than asked and end with
// it, run at most c_maxOneShotReads at a time and end before the export's
// stop returns (the owner may then destroy the source), while other
// requests are served.
TEST_F(RemoteSignalTest, ReadSignalWaitsAreBoundedCountedAndEndWithTheExport)
{
    MemoryDodSource& adc = *server.tree.adc;
    struct Release {
        MemoryDodSource& source;
        ~Release() { source.ReleaseHeld(); } // also when a check fails
    } release{adc};
    const unsigned long long held = MemoryDodSource::c_heldTime;
    const std::string refused = "qsig: Can't read signal signals.adc in access mode 10: ";
    auto read = [&](CORBA::ULong waitMs) {
        return RemoteMessage([&] { reg()->ReadSignal("signals.adc", 10, 1, 0, held, waitMs); });
    };
    EXPECT_EQ(refused + "-3 (timeout), no data within 100 ms", read(100));
    EXPECT_EQ(0, adc.m_held.load()); // the read ended with its request
    std::vector<std::future<std::string>> waiting;
    for (size_t i = 0; i < remote::c_maxOneShotReads; ++i) {
        waiting.push_back(std::async(std::launch::async, [&] { return read(0); }));
    }
    ASSERT_TRUE(zvtest::WaitFor([&] { return adc.m_held.load() == static_cast<int>(remote::c_maxOneShotReads); }));
    EXPECT_EQ(refused + "8 one-shot reads run already, the most this server runs at a time", read(0));
    zemtra_REMOTE::StringSeq_var custom = reg()->GetText("custom", 0, 0);
    EXPECT_STREQ("fofb_switch", custom[0].in());

    const auto stopping = std::chrono::steady_clock::now();
    server.exporter.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, remote::OneShotReads::c_cancelWait);
    EXPECT_EQ(0, adc.m_held.load());
    EXPECT_EQ(0, adc.m_openClients.load());
    for (auto& w : waiting) {
        ASSERT_EQ(std::future_status::ready, w.wait_for(0s));
        EXPECT_EQ(refused + "the server is shutting down", w.get());
    }
    EXPECT_EQ(0, adc.m_reads.load());
}

// Reads that time out together, as many as the server runs, end with their
// requests: the next one is served at once, again and again.
TEST(RemoteSignalConcurrency, ReadsThatTimeOutTogetherLeaveTheirPlacesAtOnce)
{
    Server server;
    MemoryDodSource& adc = *server.tree.adc;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::future<std::string>> reads;
        for (size_t i = 0; i < remote::c_maxOneShotReads; ++i) {
            reads.push_back(std::async(std::launch::async, [&] {
                return RemoteMessage(
                    [&] { server.registry->ReadSignal("signals.adc", 10, 1, 0, MemoryDodSource::c_heldTime, 50); });
            }));
        }
        for (auto& r : reads) {
            EXPECT_EQ("qsig: Can't read signal signals.adc in access mode 10: -3 (timeout), no data within 50 ms",
                      r.get());
        }
        EXPECT_EQ(0, adc.m_held.load());
        zemtra_REMOTE::SignalData_var data = server.registry->ReadSignal("signals.adc", 10, 1, 0, 1, 0);
        EXPECT_EQ(1u, data->atoms);
    }
}

// The coded read once and IsServed tell by codes what their words say: a
// read refused by the signal library carries its code (one refused outside
// it 0); an id is told served while its session runs, ended once its signal
// ended it, and unknown to a server that never had it.
TEST_F(RemoteSignalTest, CodedAnswersTellTheirCodes)
{
    const auto refused = [&](const char* path, CORBA::Long mode) {
        try {
            zemtra_REMOTE::SignalData_var data = reg()->ReadSignalCoded(path, mode, 1, 0, 0, 0);
        } catch (const zemtra_REMOTE::ReadRefusal& e) {
            return std::make_pair(std::string(e.message.in()), static_cast<int>(e.end.code));
        }
        return std::make_pair(std::string("read"), 1);
    };
    EXPECT_EQ(std::make_pair(std::string("qsig: Can't read signal signals.adc in access mode 12: -7 (try again)"), -7),
              refused("signals.adc", 12));
    EXPECT_EQ(std::make_pair(std::string("mci: No such node: signals.none"), 0), refused("signals.none", 10));
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    const CORBA::ULongLong id = reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(obj), 0, 0, 0);
    const auto state = [&](CORBA::ULongLong of) {
        CORBA::String_var reason;
        zemtra_REMOTE::ReadEnd end{};
        return reg()->IsServedCoded(of, reason.out(), end);
    };
    EXPECT_EQ(zemtra_REMOTE::IdServed, state(id));
    server.tree.pll->ShutDown();
    EXPECT_TRUE(WaitCounts(0, 0));
    EXPECT_EQ(zemtra_REMOTE::IdEnded, state(id));
    EXPECT_EQ(zemtra_REMOTE::IdUnknown, state(id + 1));
    rx->_remove_ref();
}

TEST_F(RemoteSignalTest, ShutDownStreamEndsTheSessionByItself)
{
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(obj), 0, 0, 0);
    server.tree.PushPll(1, 2);
    ASSERT_TRUE(rx->WaitForValues(2, 5s));
    server.tree.pll->ShutDown();
    EXPECT_TRUE(WaitCounts(0, 0));
    // A new open of the shut-down stream is refused with its code.
    const std::string msg =
        RemoteMessage([&] { reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(obj), 0, 0, 0); });
    EXPECT_EQ(0u, msg.rfind("qsig: Can't open signal signals.pll: -5", 0)) << msg;
    rx->_remove_ref();
}

TEST_F(RemoteSignalTest, OnDemandForwardsInReadAheadModeOnly)
{
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    q_NET::SignalReceiver_var ref = q_NET::SignalReceiver::_narrow(obj);

    const std::string refused = RemoteMessage([&] { reg()->OpenSignal("signals.adc", ref, 12, 4, 0); });
    EXPECT_EQ(0u, refused.rfind("qsig: Can't forward signal signals.adc in access mode 12: -7", 0)) << refused;
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
    EXPECT_EQ("qsig: Can't forward signal signals.adc with a count of 0 atoms",
              RemoteMessage([&] { reg()->OpenSignal("signals.adc", ref, 13, 0, 0); }));
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());

    // Mode 13, three atoms per buffer from atom 62: wraps after two atoms.
    const CORBA::ULongLong id = reg()->OpenSignal("signals.adc", ref, 13, 3, 62);
    ASSERT_TRUE(rx->WaitForValues(12, 5s));
    reg()->CloseSignal(id);
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
    const auto values = rx->Values();
    const std::vector<double> first(values.begin(), values.begin() + 12);
    EXPECT_EQ((std::vector<double>{248, 249, 250, 251, 252, 253, 254, 255, 0, 1, 2, 3}), first);
    EXPECT_EQ(values.size(), rx->Buffers() * 12);
    rx->_remove_ref();
}

TEST_F(RemoteSignalTest, OpenSignalRefusals)
{
    auto* rx = new Receiver();
    CORBA::Object_var obj = server.Activate(rx);
    q_NET::SignalReceiver_var ref = q_NET::SignalReceiver::_narrow(obj);
    EXPECT_EQ("mci: No such node: signals.none",
              RemoteMessage([&] { reg()->OpenSignal("signals.none", ref, 13, 1, 0); }));
    EXPECT_EQ("mci: Not a signal node: custom", RemoteMessage([&] { reg()->OpenSignal("custom", ref, 13, 1, 0); }));
    EXPECT_EQ("qsig: No receiver object given for signals.pll",
              RemoteMessage([&] { reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_nil(), 0, 0, 0); }));
    EXPECT_EQ("qsig: No such signal client: 999999", RemoteMessage([&] { reg()->CloseSignal(999999); }));
    EXPECT_EQ(0u, server.exporter.GetSignalSessionCount());
    rx->_remove_ref();
}

TEST_F(RemoteSignalTest, VanishedReceiverEndsItsSessionAndFreesTheClient)
{
    auto* gone = new Receiver();
    auto* stays = new Receiver();
    CORBA::Object_var goneObj = server.Activate(gone);
    CORBA::Object_var staysObj = server.Activate(stays);
    reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(goneObj), 0, 0, 0);
    const CORBA::ULongLong keep = reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(staysObj), 0, 0, 0);
    reg()->OpenSignal("signals.adc", q_NET::SignalReceiver::_narrow(goneObj), 13, 2, 0);
    EXPECT_EQ(2u, server.tree.pll->GetQueueCount());
    server.Deactivate(gone);

    server.tree.PushPll(3, 4);
    ASSERT_TRUE(stays->WaitForValues(2, 5s));
    EXPECT_TRUE(WaitCounts(1, 0));
    EXPECT_EQ(1u, server.tree.pll->GetQueueCount());
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
    server.tree.PushPll(5, 6);
    ASSERT_TRUE(stays->WaitForValues(4, 5s));
    EXPECT_EQ((std::vector<double>{3, 4, 5, 6}), stays->Values());
    reg()->CloseSignal(keep);
    gone->_remove_ref();
    stays->_remove_ref();
}

TEST_F(RemoteSignalTest, StopEndsOpenSessionsAndSubscriptions)
{
    auto* rx = new Receiver();
    auto* cb = new Callback();
    CORBA::Object_var rxObj = server.Activate(rx);
    CORBA::Object_var cbObj = server.Activate(cb);
    reg()->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(rxObj), 0, 0, 0);
    reg()->OpenSignal("signals.adc", q_NET::SignalReceiver::_narrow(rxObj), 13, 1, 0);
    reg()->Subscribe("custom", zemtra_REMOTE::ValueCallback::_narrow(cbObj));
    server.registry = zemtra_REMOTE::Registry::_nil();
    rx->_remove_ref();
    cb->_remove_ref();
    server.exporter.Stop();
    EXPECT_FALSE(server.exporter.IsRunning());
    EXPECT_EQ(0u, server.tree.pll->GetQueueCount());
    EXPECT_EQ(0, server.tree.adc->m_openClients.load());
    EXPECT_EQ(0u, server.exporter.GetSignalSessionCount());
}

} // namespace
