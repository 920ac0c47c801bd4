// RAF interlock: register defaults and thresholds in the units of the
// detection mode, the refused limits, the enable across the start-up states,
// the event reader's latched and cumulative status with their notifications,
// and the control register and status shared between threads.
#include "raf_support.h"

#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "raf/raf_interlock.h"
#include "sim/raf_interlock_model.h"

#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using zvtest::WaitFor;

using State = qapp::ZemtraApplication::State_e;
using Model = sim::RafInterlockModel;

// A RAF board with the interlock's tree built and seen as a client sees it.
class Interlock : public ::testing::Test {
protected:
    Interlock()
        : client(fixture.Tree("interlock")), board(fixture.Board()), il(*board.GetInterlock()),
          model(*fixture.Sim().Interlock())
    {
    }

    uint64_t Reg(size_t offset) const { return model.Read64(offset); }

    std::string WriteError(const std::string& path, long long value) { return raftest::Refusal(client, path, value); }

    // Starts the event reader in the running state and waits until it
    // listens (its client queue is on the stream and latching is armed).
    void StartReader()
    {
        fixture.SetState(State::eStateRunning);
        il.OnPostInit();
        il.OnPostConfig();
        ASSERT_TRUE(WaitFor([&] {
            return board.GetSignals()->GetEventStream()->GetQueueCount() == 1 &&
                   (Reg(Model::c_control) & Model::c_latchBit) != 0;
        }));
    }

    // One interlock raised by the beam at lmt, with the given causes, after
    // the reader has re-armed latching; waits until the reader took it.
    void Raise(const sim::BeamSample& out, uint64_t lmt)
    {
        ASSERT_TRUE(WaitFor([&] { return (Reg(Model::c_control) & Model::c_latchBit) != 0; }));
        model.Evaluate(sim::BeamSample{}, lmt - 1); // back inside: the next cause is a new interlock
        const uint64_t seen = model.Interlocks();
        model.Evaluate(out, lmt);
        ASSERT_EQ(seen + 1, model.Interlocks());
        ASSERT_TRUE(WaitFor([&] { return il.GetLastTimestamp() == lmt; }));
    }

    raftest::RafFixture fixture;
    mci::ClientAccess client;
    RafBoard& board;
    RafInterlock& il;
    Model& model;
};

const sim::BeamSample c_outsideX{2000000, 0, 0};
const sim::BeamSample c_overflow{0, 0, 32000};

TEST_F(Interlock, ConstructorAndPostInitWriteTheDefaults)
{
    EXPECT_EQ(0u, Reg(RafInterlock::c_control));
    EXPECT_EQ(255u, Reg(RafInterlock::c_filter_position));
    EXPECT_EQ(static_cast<uint64_t>(-1000000LL), Reg(RafInterlock::c_x_min));
    EXPECT_EQ(1000000u, Reg(RafInterlock::c_x_max));
    EXPECT_EQ(static_cast<uint64_t>(-1000000LL), Reg(RafInterlock::c_y_min));
    EXPECT_EQ(5u, Reg(RafInterlock::c_overflow_duration));
    EXPECT_EQ(5u, Reg(RafInterlock::c_underflow_duration));
    EXPECT_EQ(-1000000, client.GetInteger("limits/position/min/x"));

    // Before OnPostInit the gain-dependent threshold reads its default.
    EXPECT_EQ(-32, client.GetInteger("gain_dependent/threshold"));
    il.OnPostInit();
    EXPECT_EQ(13732u, Reg(RafInterlock::c_overflow_threshold));
    EXPECT_EQ(0u, Reg(RafInterlock::c_underflow_threshold));
    EXPECT_EQ(30000, client.GetInteger("limits/overflow/threshold"));

    // The power level becomes twice its attenuator of the gain controller's table.
    auto att = [&](int dBm) {
        unsigned int value = 0;
        board.ConvertPowerLevel(dBm, value);
        return value;
    };
    EXPECT_EQ(2ull * att(-32), Reg(RafInterlock::c_gain_threshold));
    client.SetInteger("gain_dependent/threshold", -10);
    EXPECT_EQ(2ull * att(-10), Reg(RafInterlock::c_gain_threshold));
    EXPECT_EQ(att(-10) & 0x1F, static_cast<unsigned>(client.GetInteger("gain_dependent/threshold_dB")));
    // A level outside the table raises before anything changes.
    EXPECT_THROW(il.SetGainDependentThreshold(31), qstd::Exception);
    EXPECT_EQ(-10, client.GetInteger("gain_dependent/threshold"));
    EXPECT_EQ(2ull * att(-10), Reg(RafInterlock::c_gain_threshold));
}

TEST_F(Interlock, DetectionModeSwitchesTheThresholdUnitAndKeepsTheOtherBits)
{
    il.OnPostInit();
    il.ApplyInterlockState(true);
    client.SetText("gain_dependent/enabled", "true");
    il.EnableInterlockStatusLatching();
    const uint64_t low = RafInterlock::c_enable_bit | RafInterlock::c_gain_enable_bit | RafInterlock::c_latch_bit;
    ASSERT_EQ(low, Reg(RafInterlock::c_control));

    // The mode node is not writable by clients (flags 10).
    il.SetOverflowDetectionMode(eOverflowTbt);
    EXPECT_EQ(30000u, Reg(RafInterlock::c_overflow_threshold));
    EXPECT_EQ(low | RafInterlock::c_mode_bit, Reg(RafInterlock::c_control));
    EXPECT_EQ("tbt", client.GetText("limits/overflow/mode"));
    il.SetOverflowDetectionMode(eOverflowAdc);
    EXPECT_EQ(13732u, Reg(RafInterlock::c_overflow_threshold));
    EXPECT_EQ(low, Reg(RafInterlock::c_control));

    // The underflow threshold is always converted.
    client.SetInteger("limits/underflow/threshold", 4096);
    EXPECT_EQ(256u, Reg(RafInterlock::c_underflow_threshold));
    EXPECT_EQ(4096, client.GetInteger("limits/underflow/threshold"));
}

TEST_F(Interlock, ValidatorsAdmitTheirBoundsAndRefuseBeyond)
{
    struct Case {
        std::string path;
        std::vector<long long> admitted;
        std::vector<long long> refused;
    };
    const long long tbt = board.GetTbtDecimation();
    for (const Case& c :
         {Case{"limits/overflow/threshold", {0, 32766}, {32767}},
          Case{"limits/underflow/threshold", {0, 32766}, {32767}},
          Case{"limits/position/min/x", {-16777088, 16776960}, {-16777089, 16776961}},
          Case{"limits/position/max/y", {-16777088, 16776960}, {-16777089, 16776961}},
          Case{"filter/overflow", {0, 6}, {7}}, Case{"filter/underflow", {0, 6}, {7}},
          Case{"filter/position", {0, 255}, {256}}, Case{"limits/overflow/duration", {0, 4095}, {4096}},
          Case{"limits/underflow/duration", {0, tbt}, {tbt + 1}}, Case{"gain_dependent/threshold", {}, {-81, 1}}}) {
        for (long long v : c.admitted) {
            EXPECT_EQ("taken", WriteError(c.path, v)) << c.path << " " << v;
            EXPECT_EQ(v, client.GetInteger(c.path)) << c.path;
        }
        for (long long v : c.refused) {
            EXPECT_NE("taken", WriteError(c.path, v)) << c.path << " " << v;
        }
    }
    // The position limits are 25-bit two's complement fields.
    client.SetInteger("limits/position/min/x", -16777088);
    EXPECT_EQ(0x1000080u, Reg(RafInterlock::c_x_min) & 0x1FFFFFF);
    EXPECT_EQ("Value -81 is refused by validator [-80, 0]", WriteError("gain_dependent/threshold", -81));
}

TEST_F(Interlock, EnableIsCachedBeforeRunningAndAppliedByPostConfig)
{
    fixture.SetState(State::eStateCreated);
    EXPECT_NE("taken", WriteError("enabled", 1));

    fixture.SetState(State::eStateInit);
    client.SetText("enabled", "true");
    EXPECT_EQ(0u, Reg(RafInterlock::c_control) & RafInterlock::c_enable_bit);
    EXPECT_EQ("false", client.GetText("enabled"));

    qstd::CaptureScope capture(true, true, 2);
    il.OnPostConfig();
    EXPECT_TRUE(capture.Traced("Applying new interlock enabled/disabled state: 1"));
    EXPECT_EQ("true", client.GetText("enabled"));

    fixture.SetState(State::eStateRunning);
    client.SetText("enabled", "false");
    EXPECT_EQ(0u, Reg(RafInterlock::c_control) & RafInterlock::c_enable_bit);
    EXPECT_TRUE(capture.Traced("Applying new interlock enabled/disabled state: 0"));
}

TEST_F(Interlock, EventsAccumulateWithTimestampsLatchedStatusAndNotifications)
{
    StartReader();
    il.ApplyInterlockState(true);
    const std::vector<std::string> cumulative = {"status/il_status/timestamps/first",
                                                 "status/il_status",
                                                 "status/il_status/timestamps/last",
                                                 "status/il_status/x",
                                                 "status/il_status/y",
                                                 "status/il_status/attenuator",
                                                 "status/il_status/adc_overflow_filtered",
                                                 "status/il_status/adc_overflow",
                                                 "status/il_status/adc_underflow"};
    std::vector<std::unique_ptr<mci::ClientAccess::Subscription>> subs;
    for (const std::string& path : cumulative) {
        subs.push_back(client.Subscribe(path));
    }
    auto latched = client.Subscribe("status/latched/timestamp");
    auto counts = [&] {
        std::vector<size_t> n;
        for (auto& s : subs) {
            n.push_back(s->Count());
        }
        return n;
    };
    // The reader emits after it has stored the new state: wait for the
    // notifications themselves.
    auto expectCounts = [&](const std::vector<size_t>& expected) {
        WaitFor([&] { return counts() == expected; });
        EXPECT_EQ(expected, counts());
    };

    Raise(c_outsideX, 100);
    expectCounts(std::vector<size_t>(9, 1));
    EXPECT_EQ(1u, latched->Count());
    EXPECT_EQ(0x1u, il.GetLatchedStatus());
    EXPECT_EQ(100, client.GetInteger("status/latched/timestamp"));
    EXPECT_EQ("true", client.GetText("status/latched/x"));
    EXPECT_EQ("false", client.GetText("status/latched/enabled"));

    // Events of other ids never reach the reader.
    fixture.Sim().Feed(2, 1, 150);

    Raise(c_overflow, 200);
    std::vector<size_t> second(9, 2);
    second[0] = 1; // the first timestamp stays and is not emitted again
    expectCounts(second);
    EXPECT_EQ(0x19, client.GetInteger("status/il_status"));
    EXPECT_EQ(100, client.GetInteger("status/il_status/timestamps/first"));
    EXPECT_EQ(200, client.GetInteger("status/il_status/timestamps/last"));
    EXPECT_EQ("true", client.GetText("status/il_status/adc_overflow"));
    EXPECT_EQ(0x18, client.GetInteger("status/interlock"));
    // The snapshot waits for a client to arm it again.
    EXPECT_EQ(100u, il.GetLatchedTimestamp());
    EXPECT_EQ(1u, latched->Count());

    client.SetText("status/latched/enabled", "true");
    Raise(c_outsideX, 300);
    EXPECT_EQ(300, client.GetInteger("status/latched/timestamp"));
    EXPECT_EQ(0x1, client.GetInteger("status/latched"));
    std::vector<size_t> third = second;
    for (size_t i = 1; i < third.size(); ++i) {
        ++third[i];
    }
    expectCounts(third);

    client.Execute("status/il_status/reset");
    EXPECT_EQ(0, client.GetInteger("status/il_status"));
    EXPECT_EQ(0, client.GetInteger("status/il_status/timestamps/first"));
    EXPECT_EQ(0, client.GetInteger("status/il_status/timestamps/last"));
    const std::vector<size_t> afterReset = counts();
    for (size_t i = 0; i < afterReset.size(); ++i) {
        EXPECT_EQ(third[i] + 1, afterReset[i]) << cumulative[i];
    }
}

TEST_F(Interlock, ZeroTimestampClearsTheFirstOne)
{
    il.ApplyCumulativeStatus(0x2, 50);
    il.ApplyCumulativeStatus(0x2, 0);
    EXPECT_EQ(0u, il.GetFirstTimestamp());
    il.ApplyCumulativeStatus(0x2, 70);
    EXPECT_EQ(70u, il.GetFirstTimestamp());
    EXPECT_EQ(70u, il.GetLastTimestamp());
}

using InterlockConcurrency = Interlock;

TEST_F(InterlockConcurrency, ControlRegisterWritersNeverLoseABit)
{
    fixture.SetState(State::eStateRunning);
    constexpr int c_rounds = 2000;
    std::vector<std::thread> writers;
    writers.emplace_back([&] {
        for (int i = 0; i < c_rounds; ++i) {
            il.SetEnabled(i % 2 == 1);
        }
    });
    writers.emplace_back([&] {
        for (int i = 0; i < c_rounds; ++i) {
            client.SetInteger("gain_dependent/enabled", i % 2);
        }
    });
    writers.emplace_back([&] {
        for (int i = 0; i < c_rounds; ++i) {
            il.SetOverflowDetectionMode(i % 2 == 1 ? eOverflowTbt : eOverflowAdc);
        }
    });
    writers.emplace_back([&] {
        for (int i = 0; i < c_rounds; ++i) {
            il.EnableInterlockStatusLatching();
        }
    });
    for (std::thread& t : writers) {
        t.join();
    }
    EXPECT_EQ(RafInterlock::c_enable_bit | RafInterlock::c_gain_enable_bit | RafInterlock::c_latch_bit |
                  RafInterlock::c_mode_bit,
              Reg(RafInterlock::c_control));
    // The threshold follows the mode that was set last.
    EXPECT_EQ(30000u, Reg(RafInterlock::c_overflow_threshold));
}

TEST_F(InterlockConcurrency, ResetAgainstEvents)
{
    StartReader();
    il.ApplyInterlockState(true);
    client.SetText("status/latched/enabled", "true");
    std::atomic<bool> done{false};
    std::thread resetter([&] {
        while (!done.load()) {
            client.Execute("status/il_status/reset");
            client.GetInteger("status/il_status/timestamps/first");
            client.GetText("status/il_status/x");
        }
    });
    for (uint64_t lmt = 10; lmt < 2000; lmt += 10) {
        model.Evaluate(lmt % 20 == 0 ? c_outsideX : sim::BeamSample{}, lmt);
    }
    done.store(true);
    resetter.join();

    // Events are taken in order: once a later one is seen, all are. A reset
    // then stays, and the next event counts alone.
    Raise(c_outsideX, 5000);
    il.ResetCumulativeStatus();
    EXPECT_EQ(0u, il.GetCumulativeStatus());
    EXPECT_EQ(0u, il.GetFirstTimestamp());
    Raise(c_overflow, 6000);
    EXPECT_EQ(6000u, il.GetFirstTimestamp());
    EXPECT_EQ(Model::c_causeOverflow | Model::c_causeOverflowFiltered, il.GetCumulativeStatus());
}

} // namespace
