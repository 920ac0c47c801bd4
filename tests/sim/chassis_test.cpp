#include "sim/chassis.h"

#include "sim/event_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sim::EventRecord Request(uint32_t code, uint64_t lmt)
{
    return sim::EventRecord{static_cast<uint64_t>(code) << 32, 0, lmt, 0};
}

void OpenAll(sim::Chassis& c)
{
    for (sim::Board* b : c.Boards()) {
        b->Events().Open();
    }
}

TEST(SimChassis, DefaultChassisListsBoardsInDiscoveryOrderWithRegisteredDevices)
{
    const auto c = sim::Chassis::Default();
    const auto& boards = c->Boards();
    ASSERT_EQ(boards.size(), 6u);
    const char* names[] = {"tim", "raf3", "raf4", "raf5", "raf6", "gdx"};
    for (size_t i = 0; i < boards.size(); ++i) {
        EXPECT_EQ(boards[i]->Name(), names[i]);
        EXPECT_EQ(c->Find(names[i]), boards[i]);
        // The platform finds each board's event device by its device name.
        EXPECT_EQ(sim::EventDevice::Find(boards[i]->DeviceName(2, 0)), &boards[i]->Events());
    }
    EXPECT_EQ(c->Find("raf7"), nullptr);
    ASSERT_NE(c->Timing(), nullptr);
    EXPECT_EQ(c->Timing(), boards[0]->AsTiming());
    EXPECT_EQ(c->Timing()->AdcFrequency(), 117440043u);
    // Every board counts in the ADC periods of the timing board's clock.
    EXPECT_DOUBLE_EQ(boards[3]->Clock().Frequency(), 117440043.0);
    EXPECT_FALSE(c->Running());
}

TEST(SimChassis, CreateTrigEventReachesEveryBoardExceptOneThatNeverSeesTriggers)
{
    sim::Scenario s = sim::Scenario::Default();
    s.boards[2].faults.noTriggers = true; // raf4
    sim::Chassis c(s);
    OpenAll(c);
    c.Timing()->CreateTrigEvent();
    c.Timing()->CreateTrigEvent();
    for (sim::Board* b : c.Boards()) {
        sim::EventRecord r{};
        if (b->Name() == "raf4") {
            EXPECT_EQ(b->Events().Read(r, 20ms), sim::EventDevice::c_readTimeout);
            EXPECT_EQ(b->TriggerCount(), 0u);
            continue;
        }
        for (uint64_t n = 1; n <= 2; ++n) {
            ASSERT_EQ(b->Events().Read(r, 100ms), sim::EventDevice::c_readOk) << b->Name();
            EXPECT_EQ(r[0], 2u);
            EXPECT_EQ(r[1], n);
        }
        EXPECT_EQ(b->Events().Pending(), 0u) << "exactly one event per trigger on " << b->Name();
    }
}

TEST(SimChassis, StartRecordsAreAnsweredAtTheStartLmtNotAtOnce)
{
    sim::Chassis c(sim::Scenario::Default());
    c.Start();
    sim::Board& raf = *c.Find("raf3");
    sim::Board& gdx = *c.Find("gdx");
    raf.Events().Open();
    gdx.Events().Open();

    // 60 ms ahead in ADC periods.
    const uint64_t rafStart = raf.Clock().Now() + 117440043ull * 60 / 1000;
    const uint64_t gdxStart = gdx.Clock().Now() + 117440043ull * 30 / 1000;
    raf.Events().WriteRequest(Request(sim::c_requestRafStop, 0));
    raf.Events().WriteRequest(Request(sim::c_requestRafStart, rafStart));
    gdx.Events().WriteRequest(Request(sim::c_requestGdxStop, 0));
    gdx.Events().WriteRequest(Request(sim::c_requestGdxStart, gdxStart));
    EXPECT_EQ(raf.StopRequests(), 1u);
    EXPECT_EQ(gdx.StopRequests(), 1u);

    sim::EventRecord r{};
    // Nothing yet after 15 ms.
    EXPECT_EQ(raf.Events().Read(r, 15ms), sim::EventDevice::c_readTimeout);
    ASSERT_EQ(gdx.Events().Read(r, 1000ms), sim::EventDevice::c_readOk);
    EXPECT_EQ(r[0], 32u);
    EXPECT_EQ(r[2], gdxStart);
    EXPECT_GE(gdx.Clock().Now(), gdxStart);
    ASSERT_EQ(raf.Events().Read(r, 1000ms), sim::EventDevice::c_readOk);
    EXPECT_EQ(r[0], 34u);
    EXPECT_EQ(r[2], rafStart);
    EXPECT_GE(raf.Clock().Now(), rafStart);
    EXPECT_EQ(raf.Events().Pending(), 0u);

    // A start LMT already past is answered at once; a start on a board that
    // never answers is not.
    raf.Events().WriteRequest(Request(sim::c_requestRafStart, 1));
    ASSERT_EQ(raf.Events().Read(r, 200ms), sim::EventDevice::c_readOk);
    EXPECT_EQ(r[0], 34u);
    EXPECT_EQ(r[2], 1u);
}

TEST(SimChassis, UnansweredStartRecordsAndAnswersPendingAtStop)
{
    sim::Scenario s = sim::Scenario::Default();
    s.boards[1].faults.unansweredStarts = true; // raf3
    sim::Chassis c(s);
    c.Start();
    sim::Board& raf3 = *c.Find("raf3");
    sim::Board& raf4 = *c.Find("raf4");
    raf3.Events().Open();
    raf4.Events().Open();
    raf3.Events().WriteRequest(Request(sim::c_requestRafStart, raf3.Clock().Now()));
    sim::EventRecord r{};
    EXPECT_EQ(raf3.Events().Read(r, 100ms), sim::EventDevice::c_readTimeout);
    EXPECT_EQ(raf3.StartRequests(), 1u);

    // An answer due in an hour does not hold up the stop.
    raf4.Events().WriteRequest(Request(sim::c_requestRafStart, raf4.Clock().Now() + 117440043ull * 3600));
    const auto t0 = Clock::now();
    c.Stop();
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_FALSE(c.Running());
}

TEST(SimChassis, LoadsAScenarioFile)
{
    char path[] = "/tmp/zv_sim_chassis_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(path);
        f << R"(<chassis>
                  <board type="62" name="tim" slot="1"/>
                  <board type="175" name="solo" slot="5">
                    <register offset="0x108" value="100"/>
                  </board>
                </chassis>)";
    }
    const auto c = sim::Chassis::FromFile(path);
    std::remove(path);
    ASSERT_EQ(c->Boards().size(), 2u);
    EXPECT_EQ(c->Timing(), c->Boards()[0]);
    EXPECT_EQ(fpga::Read32(c->Boards()[1]->MapRegion(0x100, 0x30), 8), 100u);
    // Without a timing board (a chassis made in code) only the answering
    // thread runs.
    sim::Chassis solo(sim::Scenario::Parse(R"(<chassis><board type="175" name="solo" slot="5"/></chassis>)"));
    EXPECT_EQ(solo.Timing(), nullptr);
    solo.Start();
    solo.Stop();
}

} // namespace
