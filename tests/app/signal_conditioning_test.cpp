// Signal conditioning and gain control on the running default chassis: the
// banks under concurrent client writes, gain control and compensations.
#include "app_support.h"

#include "acquisition/signal_controller.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "raf/dsc.h"
#include "sim/board.h"
#include "sim/raf_front_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using apptest::RunningApp;
using namespace std::chrono_literals;

namespace {

struct Raf3 {
    RafBoard* board;
    sim::RafFrontEnd* frontEnd;
    volatile FPGAMem_t* block;
};

Raf3 FirstRaf(RunningApp& run)
{
    RafBoard* board = run.App().GetRafBoards().at(0);
    sim::Board* simBoard = run.Chassis().Find(board->GetName());
    return Raf3{board, simBoard->FrontEnd(), simBoard->Memory() + RafBoard::c_conditioning_offset};
}

TEST(SignalConditioningConcurrency, ClientWritesAndTuningNeverSwitchToAHalfWrittenBank)
{
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    const Raf3 raf = FirstRaf(run);
    mci::ClientAccess client = run.Client();
    const std::string base = raf.board->GetName() + "/conditioning/";
    // Tuning steps back to back, each applying its row ("type" changes are
    // pending until a step applies them).
    client.SetInteger(base + "tuning/period", 0);
    client.SetText(base + "tuning/agc/enabled", "true");
    raf.frontEnd->ResetCounters();

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
            raf.frontEnd->SetInputPower(-10.0 + (i % 20));
            std::this_thread::sleep_for(1ms);
        }
    });
    writers.emplace_back([&] {
        // Compensations as the tuning step hands them over.
        tCompensationEntry entry = UnitCompensation();
        for (unsigned i = 0; !stop; ++i) {
            entry.gain[i % 4][i % 3] = 1.0 + (i % 7) / 10.0;
            raf.board->SetCompensation(entry, 0.0);
        }
    });
    std::this_thread::sleep_for(500ms);
    stop = true;
    for (std::thread& t : writers) {
        t.join();
    }
    client.SetText(base + "tuning/agc/enabled", "false");
    client.SetInteger(base + "tuning/period", 100);
    // No tuning step runs while the checks below hold the controller's lock.
    GainControllerLock::Lock_t idle = raf.board->LockSignalController();

    EXPECT_GT(raf.frontEnd->BankSwitches(), 100u);
    EXPECT_EQ(0u, raf.frontEnd->WritesToActiveBank());

    // The bank in use holds the cached settings.
    const unsigned bank = raf.frontEnd->ActiveBank();
    const uint64_t att = static_cast<uint64_t>(client.GetInteger(base + "att")) * 2;
    EXPECT_EQ(att * 0x01010101u, fpga::Read64(raf.block, DigSigCond::AttWord(bank)));
    const bool switching = client.GetText(base + "switching") == "true";
    const unsigned sw = static_cast<unsigned>(client.GetInteger(base + "sw"));
    EXPECT_EQ(switching ? 0xF690F690F690F690ull : 0x1111111111111111ull * sw,
              fpga::Read64(raf.block, DigSigCond::SwWord(bank, 127)));
    raf.board->UnlockSignalController(idle);
    EXPECT_TRUE(run.Stop());
}

} // namespace
