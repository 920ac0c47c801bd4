#include "platform/qstd/synchronizer.h"
#include "platform/qstd/util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(SynchronizerConcurrency, WaitReturnsAsSoonAsTheCountIsBackAtZero)
{
    qstd::Synchronizer sync(0, 10, 5000);
    sync.Reset(2);
    std::thread t([&sync] {
        std::this_thread::sleep_for(milliseconds(20));
        sync.Decrement();
        sync.Decrement();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(sync.Wait());
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    t.join();
}

TEST(SynchronizerConcurrency, WaitGivesFalseAfterTheTimeout)
{
    qstd::Synchronizer sync(1, 5, 60);
    const auto start = Clock::now();
    EXPECT_FALSE(sync.Wait());
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(60));
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_EQ(sync.Timeout(), 60u);
}

TEST(Synchronizer, CountingEdges)
{
    qstd::Synchronizer sync(0, 1, 10);
    EXPECT_TRUE(sync.Wait());
    sync.Decrement();
    EXPECT_EQ(sync.Count(), 0u);
    sync.Increment();
    sync.Increment();
    EXPECT_EQ(sync.Count(), 2u);
    EXPECT_FALSE(sync.Wait());
    sync.Reset(0);
    EXPECT_TRUE(sync.Wait());
}

TEST(Helpers, TrimEqualAndTypeNames)
{
    EXPECT_EQ(qstd::TrimString("  0x10 \t\r\n"), "0x10");
    EXPECT_EQ(qstd::TrimString(" \t "), "");
    EXPECT_EQ(qstd::TrimString(""), "");
    EXPECT_TRUE(qstd::Equal(0.1 + 0.2, 0.3));
    EXPECT_FALSE(qstd::Equal(1.0, 1.0001));
    EXPECT_EQ(qstd::CppName(typeid(std::string)).find("std::"), 0u);
    EXPECT_EQ(qstd::CppName(typeid(int)), "int");
}

} // namespace
