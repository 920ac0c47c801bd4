#include "platform/qsig/zemtra_event_stream.h"
#include "sim/event_device.h"
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
using qsig::EventStruct;
using qsig::ZemtraEventStream;

using Client = ZemtraEventStream::Client;

std::unique_ptr<Client> MakeConsumer(ZemtraEventStream& stream, const std::string& name,
                                     std::initializer_list<uint64_t> ids)
{
    auto client = std::make_unique<Client>(&stream, name, 2 * (qsig::c_maxEventId + 1));
    client->GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(ids));
    return client;
}

TEST(ZemtraEventStream, EventStructLayoutIsFourWords)
{
    EventStruct e = EventStruct::Request(0x554, 0x1122334455667788ull);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&e);
    EXPECT_EQ(32u, sizeof(e));
    EXPECT_EQ(0u, bytes[0] | bytes[1] | bytes[2] | bytes[3]);
    EXPECT_EQ(0x54u, bytes[4]);
    EXPECT_EQ(0x05u, bytes[5]);
    EXPECT_EQ(0x88u, bytes[16]);
    EXPECT_EQ(0x11u, bytes[23]);
    EXPECT_EQ(4u, qsig::EventTraits::c_length);
}

TEST(ZemtraEventStreamConcurrency, EachEventReachesOnlyConsumersWhoseFilterHoldsItsId)
{
    ZemtraEventStream stream("event", "ev-filter-test", true, "raf3");
    sim::EventDevice* device = sim::EventDevice::Find("ev-filter-test");
    ASSERT_NE(nullptr, device);

    auto pm = MakeConsumer(stream, "pm", {1});
    auto relay = MakeConsumer(stream, "relay", {0, 3});
    auto restart = MakeConsumer(stream, "restart", {34});
    ASSERT_EQ(qsig::eSuccess, pm->Open());
    ASSERT_EQ(qsig::eSuccess, relay->Open());
    ASSERT_EQ(qsig::eSuccess, restart->Open());
    EXPECT_EQ(qsig::eRunning, stream.GetState());

    const std::vector<uint64_t> ids{3, 1, 2, 0, 34, 16, 1, 3};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        device->Feed(ids[i], i, 1000 + i, ids[i] == 0 ? 4 : 0);
    }

    auto readIds = [](Client& c, std::size_t n) {
        std::vector<uint64_t> got;
        for (std::size_t i = 0; i < n; ++i) {
            EventStruct e;
            EXPECT_EQ(qsig::eSuccess, c.Read(e));
            got.push_back(e.id);
            if (e.id == 0) {
                EXPECT_EQ(4u, e.code);
            }
        }
        return got;
    };
    EXPECT_EQ((std::vector<uint64_t>{1, 1}), readIds(*pm, 2));
    EXPECT_EQ((std::vector<uint64_t>{3, 0, 3}), readIds(*relay, 3));
    EXPECT_EQ((std::vector<uint64_t>{34}), readIds(*restart, 1));

    // Nothing else was queued: the statistics count what the filters removed.
    const qsig::SignalStats rows = pm->GetStatistics();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("ev-filter-test", rows[0].name);
    EXPECT_EQ("pm_filt", rows[1].name);
    EXPECT_EQ(8u, rows[1].first);
    EXPECT_EQ(6u, rows[1].second);
    EXPECT_EQ("pm", rows[2].name);
    EXPECT_EQ(2u, rows[2].first);
    EXPECT_EQ(0u, rows[2].second);
    EXPECT_EQ(32u, rows[2].atomSize);

    pm.reset();
    relay.reset();
    restart.reset();
    EXPECT_EQ(qsig::eIdle, stream.GetState());
    EXPECT_FALSE(stream.HasDispatcherThread());
    EXPECT_FALSE(device->IsOpen());
}

TEST(ZemtraEventStream, MachineTimeAndRequestsGoThroughTheBoardDevice)
{
    sim::MachineClock clock;
    clock.Set(5000000000ull, std::chrono::steady_clock::now());
    sim::EventDevice device("ev-board-clock", clock);
    ZemtraEventStream stream("event", "ev-board-clock", true, "gdx");
    Client client(&stream, "gdx-fa_init_event_client", 128);

    const uint64_t before = clock.Now();
    const uint64_t now = client.GetCurrentMachineTime().Value();
    EXPECT_GE(now, before);
    EXPECT_LE(now, clock.Now());

    std::vector<sim::EventRecord> requests;
    device.SetRequestHandler([&](const sim::EventRecord& r) { requests.push_back(r); });
    stream.WriteEvent(EventStruct::Request(2));
    stream.WriteEvent(EventStruct::Request(1, now + 100));
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(uint64_t(2) << 32, requests[0][0]);
    EXPECT_EQ(uint64_t(1) << 32, requests[1][0]);
    EXPECT_EQ(now + 100, requests[1][2]);
}

TEST(ZemtraEventStream, ClientOfADeletedStreamAnswersWithoutTouchingIt)
{
    auto stream = std::make_unique<ZemtraEventStream>("event", "ev-deleted", true, "raf4");
    Client client(stream.get(), "late", 8);
    ASSERT_EQ(qsig::eSuccess, client.Open());
    stream.reset();
    EventStruct e;
    EXPECT_EQ(qsig::eCancelled, client.Read(e));
    const qsig::SignalStats rows = client.GetStatistics();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("late", rows[0].name);
    EXPECT_EQ(0u, client.GetCurrentMachineTime().Value());
    client.Close();
    EXPECT_EQ(qsig::eCancelled, client.Open());
}

// Consumers asking the board's time all the time: the shutdown still gets in
// within a bounded time.
TEST(ZemtraEventStreamConcurrency, ShutDownIsNotStarvedByClientsAskingTheTime)
{
    for (int round = 0; round < 5; ++round) {
        ZemtraEventStream stream("event", "ev-time-churn", true, "raf5");
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<Client>(&stream, "c" + std::to_string(i), 8));
        }
        std::atomic<bool> stop{false};
        std::atomic<unsigned> asked{0};
        std::vector<std::thread> askers;
        for (auto& client : clients) {
            askers.emplace_back([&, c = client.get()] {
                while (!stop) {
                    c->GetCurrentMachineTime();
                    ++asked;
                }
            });
        }
        EXPECT_TRUE(zvtest::WaitFor([&] { return asked.load() >= 8000; }));
        auto shutDown = std::async(std::launch::async, [&] { stream.ShutDown(); });
        const bool inTime = shutDown.wait_for(2s) == std::future_status::ready;
        stop = true;
        for (std::thread& t : askers) {
            t.join();
        }
        shutDown.wait();
        ASSERT_TRUE(inTime) << "round " << round;
        EXPECT_EQ(0u, clients[0]->GetCurrentMachineTime().Value());
    }
}

} // namespace
