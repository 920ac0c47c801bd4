// The ORB's transport for the gate, with a real ORB on the endpoint
// "giop:gate:N" alone and no gate: the test plays the gate's loop for one
// channel whose client is one end of a socket pair.

#include "platform/remote/gate_channel.h"
#include "platform/remote/orb_transport.h"
#include "platform/remote/remote_outgoing.h"
#include "tests/common/giop_client.h"
#include "tests/common/wait_for.h"

#include "zemtra_remote.hh"

#include <gtest/gtest.h>

#include <omniORB4/callHandle.h>
#include <omniORB4/giopEndpoint.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A callback servant that notes the channel and peer address of the
// connection of each request it serves.
class Probe : public POA_zemtra_REMOTE::ValueCallback {
public:
    CORBA::Boolean _dispatch(omniCallHandle& handle) override
    {
        omni::giopConnection* connection = handle.connection();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_channel = remote::GateChannelOf(connection).get();
            m_peer = connection ? connection->peeraddress() : "";
        }
        return POA_zemtra_REMOTE::ValueCallback::_dispatch(handle);
    }
    void ValueChanged(const char*, const zemtra_REMOTE::StringSeq&, CORBA::ULong) override {}

    const remote::GateChannel* Channel()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_channel;
    }
    std::string Peer()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_peer;
    }

private:
    std::mutex m_mutex;
    const remote::GateChannel* m_channel = nullptr;
    std::string m_peer;
};

// The gate's part for one channel: its client socket (one end of a pair,
// the test's client holds the other) and a loop that services the channel
// when asked to.
class OneChannelGate {
public:
    explicit OneChannelGate(const std::string& peer)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) {
            ADD_FAILURE() << "no socket pair";
        }
        channel = std::make_shared<remote::GateChannel>(m_fds[1], peer,
                                                        [this](const std::shared_ptr<remote::GateChannel>&) { Ask(); });
        m_loop = std::thread([this] { Loop(); });
    }
    ~OneChannelGate()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_asked.notify_all();
        m_loop.join();
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    OneChannelGate(const OneChannelGate&) = delete;
    OneChannelGate& operator=(const OneChannelGate&) = delete;

    int Client() const { return m_fds[0]; }
    bool Put(const std::string& message)
    {
        const auto put = channel->Put(reinterpret_cast<const unsigned char*>(message.data()), message.size());
        if (put == remote::GateChannel::Put_e::eDeferred) {
            Ask(); // (the loop tells when the channel says)
        }
        return put != remote::GateChannel::Put_e::eRefused;
    }
    // As the gate offers a channel.
    bool OfferTo(remote::OrbGatePort& port)
    {
        remote::OrbGatePort::Release release;
        if (!port.Offer(channel, release)) {
            return false;
        }
        channel->SetReleaseHandler(std::move(release));
        return true;
    }

    std::shared_ptr<remote::GateChannel> channel;

private:
    void Ask()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending = true;
        }
        m_asked.notify_all();
    }
    void Loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto again = remote::GateChannel::Clock::time_point::max();
        for (;;) {
            const auto asked = [this] { return m_stop || m_pending; };
            if (again == remote::GateChannel::Clock::time_point::max()) {
                m_asked.wait(lock, asked);
            } else {
                m_asked.wait_until(lock, again, asked);
            }
            if (m_stop) {
                return;
            }
            m_pending = false;
            lock.unlock();
            bool failed = false;
            channel->Flush(failed);
            again = channel->TellIfReady();
            lock.lock();
        }
    }

    int m_fds[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_asked;
    bool m_pending = false;
    bool m_stop = false;
    std::thread m_loop;
};

// The ORB with the port's endpoint as its only one.
class GateOrb {
public:
    // idleSeconds: the ORB closes connections idle that long (0: never).
    GateOrb(const remote::OrbGatePort& port, bool threadPool, int idleSeconds = 0)
    {
        remote::RegisterGateTransport();
        remote::RegisterGateTransport();
        const std::string endpoint = port.EndpointUri();
        const std::string idle = std::to_string(idleSeconds);
        const char* options[][2] = {{"endPoint", endpoint.c_str()},
                                    {"threadPerConnectionPolicy", threadPool ? "0" : "1"},
                                    {"inConScanPeriod", idle.c_str()},
                                    {"scanGranularity", "1"},
                                    {nullptr, nullptr}};
        int argc = 0;
        char* argv[] = {nullptr};
        orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
        CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
        poa = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
    }
    ~GateOrb() { Destroy(); }
    GateOrb(const GateOrb&) = delete;
    GateOrb& operator=(const GateOrb&) = delete;

    void Shutdown()
    {
        if (!m_shutDown) {
            m_shutDown = true;
            orb->shutdown(true);
        }
    }
    void Destroy()
    {
        if (!CORBA::is_nil(orb)) {
            Shutdown();
            orb->destroy();
            orb = CORBA::ORB::_nil();
        }
    }

    CORBA::ORB_var orb;
    PortableServer::POA_var poa;

private:
    bool m_shutDown = false;
};

std::string ValueChangedRequest(const std::string& objectKey)
{
    return zvtest::GiopRequest(objectKey, "ValueChanged", [](zvtest::Cdr& c) {
        c.String("path");
        c.ULong(0); // no values
        c.ULong(0); // position
    });
}

struct OrbCase {
    const char* host;
    bool threadPool;
    const char* published; // the reference's address as the ORB names it
    bool gateCloses;       // else the ORB shuts down with the channel open
};

void PrintTo(const OrbCase& c, std::ostream* os)
{
    *os << c.host << (c.threadPool ? " pool " : " per connection ") << c.published;
}

class OrbTransport : public testing::TestWithParam<OrbCase> {};

// A request offered through the port is served and answered on the
// client's socket; its upcall finds the channel and the client's address;
// references name the gate's TCP address; the gate's close, or the ORB's
// shutdown, shuts the channel down, and once the gate released it the ORB
// lets the connection, and with it the channel, go.
TEST_P(OrbTransport, ServesAChannelAndNamesTheGateAddress)
{
    const OrbCase& c = GetParam();
    remote::OrbGatePort port(c.host, 20777);
    EXPECT_EQ(c.published, port.TcpAddress());
    GateOrb orb(port, c.threadPool);
    Probe probe;
    PortableServer::ObjectId_var id = orb.poa->activate_object(&probe);
    CORBA::Object_var obj = orb.poa->id_to_reference(id);
    const remote::RemoteObject object = remote::RemoteObjectOf(obj);
    EXPECT_EQ(c.published, object.orbAddress);
    EXPECT_TRUE(object.inProcess);

    auto gate = std::make_unique<OneChannelGate>("127.0.0.2:40001");
    ASSERT_TRUE(gate->OfferTo(port));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(gate->Put(ValueChangedRequest(object.target.objectKey)));
        EXPECT_TRUE(zvtest::IsAnswer(zvtest::Receive(gate->Client(), 20000ms))) << "request " << i;
    }
    EXPECT_EQ(gate->channel.get(), probe.Channel());
    EXPECT_EQ("giop:tcp:127.0.0.2:40001", probe.Peer());
    EXPECT_EQ(nullptr, remote::GateChannelOf(nullptr));

    orb.poa->deactivate_object(id);
    if (c.gateCloses) {
        gate->channel->Close();
    } else {
        orb.Shutdown();
    }
    EXPECT_TRUE(zvtest::WaitFor([&] { return gate->channel->ShutDown(); }));
    gate->channel->Release();
    gate->channel->Release();
    orb.Destroy();
    // The connection, deleted, holds the channel no more.
    EXPECT_TRUE(zvtest::WaitFor([&] { return gate->channel.use_count() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Cases, OrbTransport,
                         testing::Values(OrbCase{"127.0.0.1", true, "giop:tcp:127.0.0.1:20777", true},
                                         OrbCase{"::1", false, "giop:tcp:[::1]:20777", true},
                                         OrbCase{"[::1]", true, "giop:tcp:[::1]:20777", false},
                                         OrbCase{"localhost", false, "giop:tcp:localhost:20777", false}),
                         [](const testing::TestParamInfo<OrbCase>& info) {
                             return std::string(info.param.threadPool ? "Pool" : "PerConnection") +
                                    (info.param.gateCloses ? "GateCloses" : "OrbShutsDown") +
                                    std::to_string(info.index);
                         });

// A connection the ORB closes while it watches it (idle too long) reads as
// ready: the ORB lets it go at once, not when it is destroyed.
TEST(OrbTransportIdle, AChannelTheOrbClosesIsLetGo)
{
    remote::OrbGatePort port("127.0.0.1", 20779);
    OneChannelGate gate("127.0.0.2:40002");
    GateOrb orb(port, true, 1);
    ASSERT_TRUE(gate.OfferTo(port));
    EXPECT_TRUE(zvtest::IsCloseConnection(zvtest::Receive(gate.Client(), 20000ms)));
    EXPECT_TRUE(zvtest::WaitFor([&] { return gate.channel->ShutDown(); }));
    EXPECT_TRUE(zvtest::WaitFor([&] { return gate.channel.use_count() == 1; }));
}

// A client that sends several requests before it reads the replies: the
// ORB reads them in one go and hands the rest on to other threads while
// the one that answered first looks for the next request; every one is
// answered, and at once.
TEST(OrbTransportPipelining, RequestsSentTogetherAreAllAnswered)
{
    remote::OrbGatePort port("127.0.0.1", 20780);
    OneChannelGate gate("127.0.0.2:40003"); // (outlives the ORB, which may still send on it)
    GateOrb orb(port, true);
    Probe probe;
    PortableServer::ObjectId_var id = orb.poa->activate_object(&probe);
    CORBA::Object_var obj = orb.poa->id_to_reference(id);
    const std::string request = ValueChangedRequest(remote::RemoteObjectOf(obj).target.objectKey);
    ASSERT_TRUE(gate.OfferTo(port));
    constexpr int c_together = 5;
    std::string together;
    for (int i = 0; i < c_together; ++i) {
        together += request;
    }
    // Served at once, round after round: none waits for a thread's peek to
    // run out (about 30 ms a round when they did).
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        EXPECT_TRUE(gate.Put(together));
        std::string received;
        int replies = 0;
        for (auto end = std::chrono::steady_clock::now() + 5s;
             replies < c_together && std::chrono::steady_clock::now() < end;) {
            received += zvtest::Receive(gate.Client(), 100ms);
            for (size_t size = zvtest::MessageSize(received); size > 0 && received.size() >= size;
                 size = zvtest::MessageSize(received)) {
                EXPECT_TRUE(zvtest::IsAnswer(received.substr(0, size)));
                received.erase(0, size);
                ++replies;
            }
        }
        EXPECT_EQ(c_together, replies) << "round " << round;
    }
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              1500);
    orb.poa->deactivate_object(id);
    gate.channel->Close();
    EXPECT_TRUE(zvtest::WaitFor([&] { return gate.channel->ShutDown(); }));
    gate.channel->Release();
}

// Without an ORB: the port's endpoint is found by its name while the port
// lives; a shut-down port refuses, and what waited in it is shut down.
TEST(OrbGatePort, NamesItsEndpointAndShutsDownWhatWaits)
{
    remote::RegisterGateTransport();
    std::string uri;
    {
        remote::OrbGatePort port("localhost", 20778);
        remote::OrbGatePort other("localhost", 20778);
        uri = port.EndpointUri();
        EXPECT_EQ(0u, uri.rfind("giop:gate:", 0));
        EXPECT_NE(uri, other.EndpointUri());
        omni::giopEndpoint* endpoint = omni::giopEndpoint::str2Endpoint(uri.c_str());
        ASSERT_NE(nullptr, endpoint);
        EXPECT_STREQ("giop:gate", endpoint->type());
        EXPECT_STREQ("giop:tcp:localhost:20778", endpoint->address());
        delete endpoint;
        EXPECT_EQ(nullptr, omni::giopEndpoint::str2Endpoint("giop:gate:x1"));

        OneChannelGate first("127.0.0.2:1");
        OneChannelGate second("127.0.0.2:2");
        ASSERT_TRUE(first.OfferTo(port));
        ASSERT_TRUE(second.OfferTo(port));
        first.channel->Release();
        port.Shutdown();
        EXPECT_TRUE(first.channel->ShutDown());
        EXPECT_TRUE(second.channel->ShutDown());
        OneChannelGate late("127.0.0.2:3");
        EXPECT_FALSE(late.OfferTo(port));
        EXPECT_FALSE(late.channel->ShutDown());
        second.channel->Release();
    }
    EXPECT_EQ(nullptr, omni::giopEndpoint::str2Endpoint(uri.c_str()));
}

} // namespace
