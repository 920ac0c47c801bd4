// Signal conditioning and gain control on the running default chassis: the
// compensation learnt from the simulated front end's errors, and the banks
// under concurrent client writes, gain control and compensations.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/signal_controller.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "raf/dsc.h"
#include "sim/board.h"
#include "sim/raf_front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <thread>

using apptest::RunningApp;
using namespace std::chrono_literals;

namespace {

// The default chassis running, with its first RAF board: the board, its
// simulated front end and conditioning block, and the path of its
// "conditioning" nodes.
class SignalConditioningConcurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(run.WaitRunning());
        client = run.Client();
        board = run.App().GetRafBoards().at(0);
        sim::Board* simBoard = run.Chassis().Find(board->GetName());
        frontEnd = simBoard->FrontEnd();
        block = simBoard->Memory() + RafBoard::c_conditioning_offset;
        base = board->GetName() + "/conditioning/";
    }
    void TearDown() override { EXPECT_TRUE(run.Stop()); }

    RunningApp run;
    mci::ClientAccess client{mci::TreeNodePtr()};
    RafBoard* board = nullptr;
    sim::RafFrontEnd* frontEnd = nullptr;
    volatile FPGAMem_t* block = nullptr;
    std::string base;
};

// Suite of the checks of the started chassis alone.
using SignalConditioningStart = SignalConditioningConcurrency;

// The gain controller's power level 0 dBm goes out with the attenuator of its
// table's 0 dBm row (20 dB in the simulated front end's table), on every board.
TEST_F(SignalConditioningStart, AttenuatorIsTheTablesZeroDbmRow)
{
    for (RafBoard* raf : run.App().GetRafBoards()) {
        const std::string path = raf->GetName() + "/conditioning/";
        SCOPED_TRACE(path);
        EXPECT_EQ(0, client.GetInteger(path + "tuning/agc/power_level"));
        EXPECT_EQ(20, client.GetInteger(path + "tuning/agc/zero_dbm_att"));
        EXPECT_EQ(20, client.GetInteger(path + "att"));
        EXPECT_EQ(20.0, run.Chassis().Find(raf->GetName())->FrontEnd()->Attenuation());
    }
}

// Largest relative spread of a channel's amplitude over the pattern's switch
// positions, and largest phase distance of any channel and position from
// channel A at the first position, in the data that the front end delivers.
struct Spread {
    double amplitude = 0.0;
    double phase = 0.0;
};

Spread Measure(const sim::RafFrontEnd& frontEnd, const unsigned (&pattern)[4])
{
    Spread spread;
    const double reference = std::arg(frontEnd.ChannelFactor(pattern[0], 0));
    for (unsigned c = 0; c < 4; ++c) {
        double low = 1e300;
        double high = 0.0;
        for (unsigned s : pattern) {
            const std::complex<double> f = frontEnd.ChannelFactor(s, c);
            low = std::min(low, std::abs(f));
            high = std::max(high, std::abs(f));
            spread.phase = std::max(spread.phase, std::fabs(std::remainder(std::arg(f) - reference, 2 * M_PI)));
        }
        spread.amplitude = std::max(spread.amplitude, high / low - 1.0);
    }
    return spread;
}

TEST_F(SignalConditioningConcurrency, CompensationLearnsTheFrontEndsErrors)
{
    const unsigned pattern[4] = {0, 9, 6, 15};
    // Errors of up to 8 % and 0.1 rad at the pattern's switch positions.
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            frontEnd->SetChannelError(pattern[k], c, 1.0 + 0.04 * ((3 * k + c) % 5 - 2.0),
                                      0.05 * ((k + 2 * c) % 5 - 2.0));
        }
    }
    const Spread before = Measure(*frontEnd, pattern);
    EXPECT_GT(before.amplitude, 0.1);
    EXPECT_GT(before.phase, 0.1);

    // The marker on switch position 6: the captured positions start at
    // pattern slot 2. Switching on, a compensation at every step.
    client.SetInteger(board->GetName() + "/conf/switch_mark_position", 6);
    client.SetInteger(base + "tuning/dsc/frequency", 1);
    client.SetInteger(base + "tuning/period", 20);
    client.SetText(base + "switching", "true");

    // Tolerance: 0.2 % of amplitude and 5 mrad of phase between the switch
    // positions (the taps are rounded to whole counts).
    const double amplitudeTolerance = 0.002;
    const double phaseTolerance = 0.005;
    Spread after;
    EXPECT_TRUE(zvtest::WaitFor(
        [&] {
            after = Measure(*frontEnd, pattern);
            return after.amplitude < amplitudeTolerance && after.phase < phaseTolerance;
        },
        30s))
        << "amplitude spread " << after.amplitude << ", phase spread " << after.phase;

    // The row of the power level holds the learnt coefficients, published on
    // the channel nodes, and the last capture passed the quality check.
    const tCompensationEntry row = board->GetSignalController()->GetRow(0);
    EXPECT_NE(1.0, row.gain[1][2]);
    EXPECT_NEAR(row.gain[1][2], client.GetDouble(base + "coefficients/channel_2/gain/pattern_1"), 1e-12);
    EXPECT_LT(client.GetDouble(base + "tuning/dsc/quality/tolerance_curr"), 2.0);
}

TEST_F(SignalConditioningConcurrency, GainControlFollowsTheInputPower)
{
    client.SetInteger(base + "tuning/period", 10);
    // With switching on, every tuning step counts on "expire_counter".
    client.SetText(base + "switching", "true");
    auto steps = client.Subscribe(base + "tuning/dsc/frequency/expire_counter");
    frontEnd->SetInputPower(0.0);
    client.SetText(base + "tuning/agc/enabled", "true");
    const auto attIs = [&](long long att) {
        return zvtest::WaitFor([&] { return client.GetInteger(base + "att") == att; }, 10s);
    };
    // The level measured at the attenuator of the start (20 dB) is 0 dBm,
    // the level the controller starts at: nothing moves. A step of 5 dB:
    // the attenuator follows; 0.8 dB more stays within the hysteresis, 1.3 dB
    // more leaves it.
    frontEnd->SetInputPower(5.0);
    EXPECT_TRUE(attIs(25));
    frontEnd->SetInputPower(5.8);
    ASSERT_TRUE(steps->WaitFor(steps->Count() + 3, 5s));
    EXPECT_EQ(25, client.GetInteger(base + "att"));
    frontEnd->SetInputPower(6.3);
    EXPECT_TRUE(attIs(26));
    EXPECT_EQ(6, client.GetInteger(base + "tuning/agc/power_level"));
    // The interlock's conversion of a level goes through the same table.
    unsigned att = 0;
    board->ConvertPowerLevel(-30, att);
    EXPECT_EQ(0u, att);
}

TEST_F(SignalConditioningConcurrency, ClientWritesAndTuningNeverSwitchToAHalfWrittenBank)
{
    // Tuning steps back to back, each applying its row ("type" changes are
    // pending until a step applies them).
    client.SetInteger(base + "tuning/period", 0);
    client.SetText(base + "tuning/agc/enabled", "true");
    frontEnd->ResetCounters();

    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    writers.emplace_back([&] {
        for (unsigned i = 0; !stop; ++i) {
            client.SetInteger(base + "att", i % 32);
        }
    });
    writers.emplace_back([&] {
        for (unsigned i = 0; !stop; ++i) {
            client.SetInteger(base + "sw", i % 16);
            client.SetText(base + "switching", i % 2 ? "true" : "false");
        }
    });
    writers.emplace_back([&] {
        for (unsigned i = 0; !stop; ++i) {
            client.SetText(base + "tuning/dsc/coefficients/type", i % 2 ? "unity" : "adjusted");
            std::this_thread::sleep_for(1ms);
        }
    });
    writers.emplace_back([&] {
        // The input power wanders, so that the gain control moves the
        // attenuator too.
        for (unsigned i = 0; !stop; ++i) {
            frontEnd->SetInputPower(-10.0 + (i % 20));
            std::this_thread::sleep_for(1ms);
        }
    });
    writers.emplace_back([&] {
        // Compensations as the tuning step hands them over.
        tCompensationEntry entry = UnitCompensation();
        for (unsigned i = 0; !stop; ++i) {
            entry.gain[i % 4][i % 3] = 1.0 + (i % 7) / 10.0;
            board->SetCompensation(entry, 0.0);
        }
    });
    // Half a second, and at least a hundred bank switches on a slow machine.
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 30s &&
           (std::chrono::steady_clock::now() - start < 500ms || frontEnd->BankSwitches() <= 100)) {
        std::this_thread::sleep_for(10ms);
    }
    stop = true;
    for (std::thread& t : writers) {
        t.join();
    }
    client.SetText(base + "tuning/agc/enabled", "false");
    client.SetInteger(base + "tuning/period", 100);
    // No tuning step runs while the checks below hold the controller's lock.
    GainControllerLock::Lock_t idle = board->LockSignalController();

    EXPECT_GT(frontEnd->BankSwitches(), 100u);
    EXPECT_EQ(0u, frontEnd->WritesToActiveBank());

    // The bank in use holds the cached settings.
    const unsigned bank = frontEnd->ActiveBank();
    const uint64_t att = static_cast<uint64_t>(client.GetInteger(base + "att")) * 2;
    EXPECT_EQ(att * 0x01010101u, fpga::Read64(block, DigSigCond::AttWord(bank)));
    const bool switching = client.GetText(base + "switching") == "true";
    const unsigned sw = static_cast<unsigned>(client.GetInteger(base + "sw"));
    EXPECT_EQ(switching ? 0xF690F690F690F690ull : 0x1111111111111111ull * sw,
              fpga::Read64(block, DigSigCond::SwWord(bank, 127)));
    board->UnlockSignalController(idle);
}

} // namespace
