#include "qsig/zemtra_stream.h"
#include "sim/stream_device.h"
#include "stream_test_support.h"

#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using qsig_test::Atom16;
using qsig_test::MakeAtom;
using qsig_test::Traits16;
using Device = qsig::ZemtraStream<Traits16>;
using Client = qsig::StreamClient<Traits16>;
using Ptr = qsig::MetaBufferPair<Traits16>::MetaBufferPtr;

void FeedAtoms(sim::StreamDevice& device, int first, unsigned n)
{
    std::vector<Atom16> atoms;
    for (unsigned i = 0; i < n; ++i) {
        atoms.push_back(MakeAtom(first + int(i) * 16));
    }
    device.Feed(atoms.data(), atoms.size() * sizeof(Atom16));
}

TEST(ZemtraStreamDevice, CallsAnswerForBadDescriptorsAndSizes)
{
    unsigned count = 7;
    char storage[64];
    EXPECT_EQ(-1, qsig::OpenZemtraStreamDevice("/dev/zemtra/none", 64, 1));
    EXPECT_EQ(qsig::eBadRequest, qsig::ZemtraStreamRead(-1, storage, 64, 64, count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(-1, qsig::CloseZemtraStreamDevice(-1));
    qsig::SignalStats rows;
    EXPECT_EQ(-1, qsig::GetZemtraDeviceStatistics(-1, 64, rows));

    auto device = sim::StreamDevice::Create("/dev/zemtra/calls");
    const int fd = qsig::OpenZemtraStreamDevice("/dev/zemtra/calls", 64, 1);
    ASSERT_NE(-1, fd);
    EXPECT_EQ(qsig::eBadRequest, qsig::ZemtraStreamRead(fd, storage, 0, 64, count));
    EXPECT_EQ(0, qsig::CloseZemtraStreamDevice(fd));
    // A closed descriptor is never handed out again.
    const int fd2 = qsig::OpenZemtraStreamDevice("/dev/zemtra/calls", 64, 1);
    EXPECT_NE(fd, fd2);
    EXPECT_EQ(qsig::eBadRequest, qsig::ZemtraStreamRead(fd, storage, 64, 64, count));
    qsig::CloseZemtraStreamDevice(fd2);
    sim::StreamDevice::Remove("/dev/zemtra/calls");
}

// A read stops at a hole that the device dropped (a feed that did not fit,
// or atoms it was told were lost before a feed) and tells the atoms dropped
// there, right before the atoms it returns.
TEST(ZemtraStreamDevice, AReadStopsAtAHoleAndTellsTheAtomsDroppedThere)
{
    auto device = sim::StreamDevice::Create("/dev/zemtra/holes", 4 * sizeof(Atom16));
    const int fd = qsig::OpenZemtraStreamDevice("/dev/zemtra/holes", sizeof(Atom16), 1);
    FeedAtoms(*device, 0, 2);
    FeedAtoms(*device, 100, 5); // more than the device keeps
    FeedAtoms(*device, 200, 1);
    FeedAtoms(*device, 300, 1);
    std::vector<Atom16> atoms(3);
    auto read = [&](unsigned count, int first, uint64_t dropped) {
        unsigned got = 0;
        uint64_t told = 99;
        ASSERT_EQ(qsig::eSuccess,
                  qsig::ZemtraStreamRead(fd, atoms.data(), atoms.size() * sizeof(Atom16), sizeof(Atom16), got, told));
        EXPECT_EQ(count, got);
        EXPECT_EQ(first, atoms[0].v[0]);
        EXPECT_EQ(dropped, told);
    };
    read(2, 0, 0);
    read(2, 200, 5);
    const Atom16 one = MakeAtom(400);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&one);
    device->Feed(std::vector<uint8_t>(bytes, bytes + sizeof one), 3 * sizeof(Atom16));
    read(1, 400, 3);
    qsig::SignalStats rows;
    ASSERT_EQ(0, qsig::GetZemtraDeviceStatistics(fd, sizeof(Atom16), rows));
    EXPECT_EQ(5u, rows[0].first);
    EXPECT_EQ(8u, rows[0].second);
    qsig::CloseZemtraStreamDevice(fd);
    sim::StreamDevice::Remove("/dev/zemtra/holes");
}

// The atoms that the device dropped count for every reader as offered and
// lost right before the atoms read after them: the numbers of the buffers
// skip them. Not for a reader that filters (which of them its filter would
// have kept is not known), nor for one that came after them.
TEST(ZemtraStreamConcurrency, AtomsTheDeviceDroppedAreLostWhereTheyLieForEveryReader)
{
    struct KeepAll : qsig::StreamFilter<Traits16> {
        Ptr Filter(const Ptr& buffer) override { return buffer; }
    };
    auto device = sim::StreamDevice::Create("/dev/zemtra/drops", 4 * sizeof(Atom16));
    Device fa("fa", "raf3", "/dev/zemtra/drops", 1, qsig::eActive);
    Client plain(&fa, "plain", 64);
    Client filtered(&fa, "filtered", 64);
    Client late(&fa, "late", 64);
    filtered.GetQueue().SetFilter(std::make_shared<KeepAll>());
    for (Client* c : {&plain, &filtered, &late}) {
        c->GetQueue().SetTimeout(10000);
    }
    // The numbers and first values of n buffers of a client.
    auto take = [](Client& c, unsigned n) {
        std::vector<std::pair<uint64_t, int>> got;
        for (unsigned i = 0; i < n; ++i) {
            Ptr b;
            uint64_t first = 0;
            if (c.GetQueue().Pop(b, first) != qsig::eSuccess) {
                break;
            }
            got.emplace_back(first, b->data[0].v[0]);
        }
        return got;
    };
    ASSERT_EQ(qsig::eSuccess, plain.Open());
    ASSERT_EQ(qsig::eSuccess, filtered.Open());
    FeedAtoms(*device, 0, 2); // read an atom at a time
    const std::vector<std::pair<uint64_t, int>> before = {{0, 0}, {1, 16}};
    EXPECT_EQ(before, take(plain, 2));
    FeedAtoms(*device, 100, 5); // dropped
    ASSERT_EQ(qsig::eSuccess, late.Open());
    FeedAtoms(*device, 200, 2);
    EXPECT_EQ((std::vector<std::pair<uint64_t, int>>{{7, 200}, {8, 216}}), take(plain, 2));
    EXPECT_EQ((std::vector<std::pair<uint64_t, int>>{{0, 0}, {1, 16}, {2, 200}, {3, 216}}), take(filtered, 4));
    EXPECT_EQ((std::vector<std::pair<uint64_t, int>>{{0, 200}, {1, 216}}), take(late, 2));
    const struct {
        Client& client;
        uint32_t pushed, lost;
    } counts[] = {{plain, 9, 5}, {filtered, 4, 0}, {late, 2, 0}};
    for (const auto& c : counts) {
        EXPECT_EQ(c.pushed, c.client.GetQueue().GetCounters().pushed) << c.client.GetName();
        EXPECT_EQ(c.lost, c.client.GetQueue().GetCounters().lost) << c.client.GetName();
    }
    EXPECT_EQ(5u, fa.GetStatistics().at(0).second);
    for (Client* c : {&plain, &filtered, &late}) {
        c->Close();
    }
    sim::StreamDevice::Remove("/dev/zemtra/drops");
}

TEST(ZemtraStreamConcurrency, DeviceReadsBecomeBuffersIncludingShortReads)
{
    auto device = sim::StreamDevice::Create("/dev/zemtra/fa");
    Device fa("fa", "raf3", "/dev/zemtra/fa", 1024, qsig::eActive);
    Client c(&fa, "avg", 64);
    c.GetQueue().SetTimeout(2000);
    EXPECT_TRUE(fa.GetStatistics().empty());
    ASSERT_EQ(1u, c.GetStatistics().size()); // the queue's row only while closed

    ASSERT_EQ(qsig::eSuccess, c.Open());
    EXPECT_TRUE(device->IsOpen());
    FeedAtoms(*device, 0, 3);
    Ptr b;
    ASSERT_EQ(qsig::eSuccess, c.GetQueue().Pop(b));
    ASSERT_EQ(3u, b->data.GetLength());
    EXPECT_EQ(32, b->data[2].v[0]);

    FeedAtoms(*device, 1000, 1024);
    qsig::Array<Traits16> run(fa.GetTraits(), 1024);
    ASSERT_EQ(qsig::eSuccess, c.Read(run));
    EXPECT_EQ(1000, run[0].v[0]);
    EXPECT_EQ(1000 + 1023 * 16, run[1023].v[0]);

    const qsig::SignalStats rows = c.GetStatistics();
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("/dev/zemtra/fa", rows[0].name);
    EXPECT_EQ(1027u, rows[0].first);
    EXPECT_EQ("avg", rows[1].name);

    c.Close(); // wakes the blocked device read
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(qsig::eIdle, fa.GetState());
    EXPECT_TRUE(fa.GetStatistics().empty());
    sim::StreamDevice::Remove("/dev/zemtra/fa");
}

TEST(ZemtraStreamConcurrency, MissingDeviceEndsDispatchingWithBadRequest)
{
    qstd::CaptureScope capture;
    Device sa("sa", "raf3", "/dev/zemtra/absent", 1, qsig::eActive);
    Client c(&sa, "c", 64);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    Atom16 a{};
    EXPECT_EQ(qsig::eBadRequest, c.Read(a));
    EXPECT_TRUE(capture.LoggedSubstring("sa: Terminating dispatch thread. Cause: -1"));
}

TEST(ZemtraStreamConcurrency, DeviceClosedBehindTheStreamEndsDispatching)
{
    auto device = sim::StreamDevice::Create("/dev/zemtra/sa");
    Device sa("sa", "raf3", "/dev/zemtra/sa", 1, qsig::eActive);
    Client c(&sa, "c", 64);
    ASSERT_EQ(qsig::eSuccess, c.Open());
    std::this_thread::sleep_for(10ms);
    device->Close();
    Atom16 a{};
    EXPECT_EQ(qsig::eNotOpen, c.Read(a));
    sim::StreamDevice::Remove("/dev/zemtra/sa");
}

TEST(ZemtraStreamConcurrency, RepeatedOpenAndCloseOfTheDevice)
{
    auto device = sim::StreamDevice::Create("/dev/zemtra/cycle");
    Device sa("sa", "raf3", "/dev/zemtra/cycle", 1, qsig::eActive);
    Client c(&sa, "c", 64);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(qsig::eSuccess, c.Open());
        FeedAtoms(*device, i, 1);
        Atom16 a{};
        ASSERT_EQ(qsig::eSuccess, c.Read(a));
        EXPECT_EQ(i, a.v[0]);
        c.Close();
    }
    EXPECT_EQ(20u, device->Opens());
    EXPECT_FALSE(device->IsOpen());
    sim::StreamDevice::Remove("/dev/zemtra/cycle");
}

} // namespace
