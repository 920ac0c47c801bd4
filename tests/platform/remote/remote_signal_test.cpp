// Subscriptions and signal forwarding of the remote export: values reach
// the client's callback in order, streams and read-ahead on-demand clients
// forward to the client's receiver in calls of at most one chunk, on-demand
// signals are read once, and closed or vanished clients end cleanly without
// affecting the server or other clients.

#include "remote_test_support.h"

#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_signal_session.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

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

// The atoms that a stream offered a reader are numbered from the reader's
// side of its queue (the buffers taken, the queue's counts of the atoms
// offered and dropped): what the queue dropped while it was full lies after
// every atom it had taken in then, however many buffers later the reader
// looks. The counts are 32 bits and wrap.
TEST(RemoteOfferedAtoms, NumbersTheAtomsWithThoseTheQueueDroppedWhereItDroppedThem)
{
    struct Take {
        std::uint32_t offered; // the queue's counts when the buffer is taken
        std::uint32_t dropped;
        std::uint64_t atoms;
        std::uint64_t first; // its number
    };
    constexpr std::uint64_t a = (1ull << 32) - 4; // atoms of a first buffer that wraps the counts
    const struct {
        const char* what;
        std::vector<Take> takes;
    } cases[] = {
        {"nothing dropped", {{2, 0, 2, 0}, {4, 0, 2, 2}, {6, 0, 2, 4}}},
        // A queue of two buffers of an atom: the third and fourth dropped.
        {"dropped before the first take", {{4, 2, 1, 0}, {4, 2, 1, 1}, {5, 2, 1, 4}}},
        // A queue of three buffers of two atoms, its reader stalled after the
        // first: three more taken in, two dropped, seen as it goes on.
        {"dropped while the reader stalled",
         {{2, 0, 2, 0}, {12, 4, 2, 2}, {12, 4, 2, 4}, {12, 4, 2, 6}, {14, 4, 2, 12}}},
        // Then one taken in, one more dropped behind it.
        {"twice", {{2, 0, 2, 0}, {12, 4, 2, 2}, {16, 6, 2, 4}, {16, 6, 2, 6}, {16, 6, 2, 12}, {18, 6, 2, 16}}},
        {"wrapped counts",
         {{static_cast<std::uint32_t>(a), 0, a, 0},
          {6, 4, 2, a},
          {6, 4, 2, a + 2},
          {6, 4, 2, a + 4},
          {8, 4, 2, a + 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remote::OfferedAtoms numbers;
        for (const Take& t : c.takes) {
            EXPECT_EQ(t.first, numbers.Next(t.offered, t.dropped, t.atoms));
        }
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
