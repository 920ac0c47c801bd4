#include "sim/event_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(EventDevice, DeliversFedRecordsInOrderWhileOpen)
{
    sim::EventDevice device;
    device.Feed(1, 0, 10); // closed: discarded
    device.Open();
    device.Feed(2, 1, 20, 5);
    device.Feed(3, 2, 30);
    sim::EventRecord r{};
    ASSERT_EQ(sim::EventDevice::c_readOk, device.Read(r, 10ms));
    EXPECT_EQ((sim::EventRecord{2, 1, 20, 5}), r);
    ASSERT_EQ(sim::EventDevice::c_readOk, device.Read(r, 10ms));
    EXPECT_EQ(3u, r[0]);
    EXPECT_EQ(sim::EventDevice::c_readTimeout, device.Read(r, 20ms));
    EXPECT_EQ(1u, device.Discarded());
    EXPECT_EQ(2u, device.Fed());
    EXPECT_EQ(2u, device.Delivered());
}

TEST(EventDevice, OverflowIsDroppedAndCounted)
{
    sim::EventDevice device;
    device.Open();
    for (std::size_t i = 0; i < sim::EventDevice::c_capacity + 3; ++i) {
        device.Feed(i, 0, 0);
    }
    EXPECT_EQ(sim::EventDevice::c_capacity, device.Pending());
    EXPECT_EQ(3u, device.Dropped());
}

TEST(EventDevice, RegistersByNameAndCarriesTheBoardClock)
{
    sim::MachineClock clock;
    clock.Set(1000000, std::chrono::steady_clock::now());
    {
        sim::EventDevice device("ev-test-board", clock);
        EXPECT_EQ(&device, sim::EventDevice::Find("ev-test-board"));
        EXPECT_GE(device.Now(), 1000000u);
    }
    EXPECT_EQ(nullptr, sim::EventDevice::Find("ev-test-board"));
}

TEST(EventDevice, RequestsGoToTheInstalledHandler)
{
    sim::EventDevice device;
    sim::EventRecord seen{};
    int calls = 0;
    device.WriteRequest(sim::EventRecord{1, 0, 0, 0}); // no handler yet: counted only
    device.SetRequestHandler([&](const sim::EventRecord& r) {
        seen = r;
        ++calls;
    });
    device.WriteRequest(sim::EventRecord{uint64_t(2) << 32, 0, 77, 0});
    EXPECT_EQ(1, calls);
    EXPECT_EQ(uint64_t(2) << 32, seen[0]);
    EXPECT_EQ(77u, seen[2]);
    EXPECT_EQ(2u, device.Requests());
    device.WriteControl(2);
    EXPECT_EQ(2u, device.LastControl());
}

TEST(EventDeviceConcurrency, CloseWakesABlockedRead)
{
    sim::EventDevice device;
    device.Open();
    sim::EventDevice::ReadResult_e result = sim::EventDevice::c_readOk;
    std::thread reader([&] {
        sim::EventRecord r{};
        result = device.Read(r); // waits without limit
    });
    std::this_thread::sleep_for(20ms);
    device.Close();
    reader.join();
    EXPECT_EQ(sim::EventDevice::c_readClosed, result);
}

TEST(EventDeviceConcurrency, FeedWakesABlockedRead)
{
    sim::EventDevice device;
    device.Open();
    sim::EventRecord r{};
    std::thread reader([&] { EXPECT_EQ(sim::EventDevice::c_readOk, device.Read(r, 2000ms)); });
    std::this_thread::sleep_for(10ms);
    device.Feed(16, 1, 99);
    reader.join();
    EXPECT_EQ(16u, r[0]);
    EXPECT_EQ(99u, r[2]);
}

} // namespace
