#include "sim/chassis.h"

#include "platform/fpga/fpga_access.h"
#include "sim/event_device.h"
#include "sim/history_memory.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A chassis whose oscillator ticks every 1.87 ms (1000 turns of 220 periods)
// and whose external trigger runs at 200 Hz.
sim::Scenario FastScenario()
{
    sim::Scenario s = sim::Scenario::Default();
    s.boards[0].timing.oscillator.prescaler = 1000;
    s.boards[0].timing.triggerRate = 200.0;
    return s;
}

// Reads id-16 events of the timing board until n have arrived.
std::vector<uint64_t> Stamps(sim::Board& tim, size_t n)
{
    std::vector<uint64_t> stamps;
    sim::EventRecord r{};
    while (stamps.size() < n && tim.Events().Read(r, 1000ms) == sim::EventDevice::c_readOk) {
        if (r[0] == 16) {
            stamps.push_back(r[2]);
        }
    }
    return stamps;
}

TEST(ChassisConcurrency, OscillatorThreadEmitsEventsWhoseSpacingFollowsTheDac)
{
    sim::Chassis c(FastScenario());
    sim::TimingBoard& tim = *c.Timing();
    tim.Events().Open();
    const Clock::time_point started = Clock::now();
    c.Start();
    std::vector<uint64_t> s = Stamps(tim, 6);
    ASSERT_EQ(s.size(), 6u);
    const uint64_t first = s.front();
    for (size_t i = 1; i < s.size(); ++i) {
        EXPECT_EQ(s[i] - s[i - 1], 220000u);
    }
    // 1000 codes up: 1000 Hz less, about 1.87 periods fewer per event. The
    // DAC is written from this thread while the oscillator thread runs.
    tim.SetDac(tim.Dac() + 1000);
    // Events queued before, and one under way, may carry the old spacing.
    Stamps(tim, tim.Events().Pending() + 1);
    s = Stamps(tim, 11);
    ASSERT_EQ(s.size(), 11u);
    EXPECT_NEAR(static_cast<double>(s.back() - s.front()) / 10.0, 220000.0 - 220000.0 * 1000 / 117440043, 0.2);

    // The events come in real time: about 1.87 ms apart. A thread held up
    // may catch up a backlog in a burst, but never runs ahead of its
    // schedule: the n-th event after the first cannot be read before n
    // periods have passed since the start. The DAC change only lengthens the
    // period, and stamps 220000 apart count events from below.
    const Clock::time_point t0 = Clock::now();
    s = Stamps(tim, 20);
    ASSERT_EQ(s.size(), 20u);
    const auto now = Clock::now();
    const double periods = static_cast<double>((s.back() - first) / 220000u);
    const double sinceStart = std::chrono::duration<double, std::milli>(now - started).count();
    EXPECT_GE(sinceStart, periods * 220000.0 / 117440043.0 * 1000.0);
    EXPECT_GT(periods, 30.0);
    const double ms = std::chrono::duration<double, std::milli>(now - t0).count();
    EXPECT_LT(ms, 20 * 1.87 * 10);

    // A silent oscillator sends nothing until it speaks again.
    tim.SetOscillatorSilent(true);
    std::this_thread::sleep_for(5ms);
    sim::EventRecord r{};
    while (tim.Events().Read(r, 1ms) == sim::EventDevice::c_readOk) {
    }
    EXPECT_EQ(tim.Events().Read(r, 30ms), sim::EventDevice::c_readTimeout);
    tim.SetOscillatorSilent(false);
    EXPECT_EQ(Stamps(tim, 1).size(), 1u);
    c.Stop();
}

TEST(ChassisConcurrency, ExternalTriggersComeOnlyWhileTheSourceIsExternal)
{
    sim::Chassis c(FastScenario());
    c.Start();
    std::this_thread::sleep_for(30ms);
    for (sim::Board* b : c.Boards()) {
        EXPECT_EQ(b->TriggerCount(), 0u) << b->Name();
    }
    c.Timing()->SetTrigSourceExt();
    zvtest::WaitFor([&] { return c.Find("gdx")->TriggerCount() >= 5; });
    c.Timing()->SetTrigSourceOff();
    std::this_thread::sleep_for(20ms); // a trigger under way may still land
    const uint64_t gdx = c.Find("gdx")->TriggerCount();
    EXPECT_GE(gdx, 5u);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(c.Find("gdx")->TriggerCount(), gdx);
    c.Stop(); // no broadcast is under way after the join
    for (sim::Board* b : c.Boards()) {
        // Every board saw the same triggers.
        EXPECT_EQ(b->TriggerCount(), gdx) << b->Name();
    }
}

TEST(ChassisConcurrency, TriggersRequestsAndAnnouncementsFromManyThreads)
{
    sim::Scenario s = FastScenario();
    sim::Chassis c(s);
    for (sim::Board* b : c.Boards()) {
        b->Events().Open();
    }
    std::atomic<int> synced{0};
    for (sim::Board* b : c.Boards()) {
        b->SetSyncCallback([&](uint64_t) { synced.fetch_add(1); });
    }
    c.Start();
    c.Timing()->SetTrigSourceExt();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    // Readers drain every device so that nothing overflows.
    // Trigger events of one board come numbered 1, 2, 3, ... in reading order.
    std::atomic<uint64_t> answers{0};
    std::atomic<int> misordered{0};
    for (sim::Board* b : c.Boards()) {
        threads.emplace_back([&, b] {
            sim::EventRecord r{};
            uint64_t lastTrigger = 0;
            while (!stop.load()) {
                if (b->Events().Read(r, 5ms) != sim::EventDevice::c_readOk) {
                    continue;
                }
                if (r[0] == 34 || r[0] == 32) {
                    answers.fetch_add(1);
                } else if (r[0] == 2) {
                    misordered.fetch_add(r[1] == lastTrigger + 1 ? 0 : 1);
                    lastTrigger = r[1];
                }
            }
        });
    }
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                c.Timing()->CreateTrigEvent();
                c.Find("raf3")->SetLmtAtNextTrigger(static_cast<uint64_t>(i));
                c.Timing()->SetDac(22000u + static_cast<uint32_t>(i));
                sim::Board& raf = *c.Find("raf5");
                raf.Events().WriteRequest(
                    sim::EventRecord{uint64_t(sim::c_requestRafStart) << 32, 0, raf.Clock().Now(), 0});
                std::this_thread::sleep_for(100us);
            }
        });
    }
    for (size_t i = c.Boards().size(); i < threads.size(); ++i) {
        threads[i].join();
    }
    zvtest::WaitFor([&] { return answers.load() >= 150; });
    stop = true;
    for (size_t i = 0; i < c.Boards().size(); ++i) {
        threads[i].join();
    }
    c.Stop();
    EXPECT_EQ(answers.load(), 150u);
    EXPECT_EQ(misordered.load(), 0);
    EXPECT_GE(c.Find("gdx")->TriggerCount(), 150u);
    EXPECT_GE(synced.load(), 1);
}

TEST(ChassisConcurrency, StartStopAndDestructionJoinEveryThread)
{
    for (int i = 0; i < 5; ++i) {
        sim::Chassis c(FastScenario());
        c.Start();
        c.Start(); // no second set of threads
        EXPECT_TRUE(c.Running());
        c.Timing()->SetTrigSourceExt();
        std::this_thread::sleep_for(3ms);
        c.Stop();
        EXPECT_FALSE(c.Running());
        c.Stop();
        c.Start(); // restartable
        // the destructor stops it
    }
}

// Readers that hold a board's history memory go on reading while the chassis
// is destroyed: the atoms being made when a board goes are finished first,
// and later reads find nothing made any more.
TEST(ChassisConcurrency, HistoryReadersOutliveTheChassis)
{
    constexpr size_t c_chunk = 256 << 10;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        auto chassis = std::make_unique<sim::Chassis>(sim::Scenario::Default());
        sim::Board& gdx = *chassis->Find("gdx");
        sim::Board& raf = *chassis->Find("raf3");
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_filterBlock, 0xF);
        fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, sim::GdxModels::c_historyArmed);
        const uint64_t start = gdx.Clock().Now();
        gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, start, 0});
        // Ten seconds on: both histories hold a whole region of atoms.
        gdx.Clock().Set(start + 10 * 117440043ull, Clock::now());
        raf.Clock().Set(raf.Clock().Now() + 10 * 117440043ull, Clock::now());
        // The GDX board's FA atoms (from the beam) and the RAF board's DDC atoms.
        struct Reader {
            std::shared_ptr<sim::HistoryMemory> memory;
            size_t at;
            std::atomic<int> reads{0};
            std::atomic<bool> zeros{false}; // the last read found only zeros
        };
        Reader readers[] = {{sim::HistoryMemory::Find(gdx.DeviceName(0, 0)), 0},
                            {sim::HistoryMemory::Find(raf.DeviceName(0, 0)), sim::Beam::c_historyBytes / 2}};
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (Reader& r : readers) {
            ASSERT_TRUE(r.memory);
            threads.emplace_back([&r, &stop] {
                std::vector<char> chunk(c_chunk);
                while (!stop.load()) {
                    r.memory->Read(chunk.data(), chunk.size(), r.at);
                    r.zeros = std::all_of(chunk.begin(), chunk.end(), [](char c) { return c == 0; });
                    r.reads.fetch_add(1);
                }
            });
        }
        for (Reader& r : readers) {
            EXPECT_TRUE(zvtest::WaitFor([&] { return r.reads.load() > 0; }));
            EXPECT_FALSE(r.zeros.load());
        }
        chassis.reset();
        // Two more reads each: the second one starts after the chassis went.
        for (Reader& r : readers) {
            const int seen = r.reads.load();
            EXPECT_TRUE(zvtest::WaitFor([&] { return r.reads.load() >= seen + 2; }));
        }
        stop = true;
        for (std::thread& t : threads) {
            t.join();
        }
        for (Reader& r : readers) {
            EXPECT_TRUE(r.zeros.load());
        }
    }
}

} // namespace
