// House keeping: the adjustment step on every pattern, the simulated
// oversampling that settles after a trigger (or never), and the node tree.
#include "raf_support.h"

#include "platform/qstd/capture.h"
#include "raf/house_keeping.h"

#include <gtest/gtest.h>

namespace {

using raftest::RafFixture;

constexpr size_t c_trigger_word = RafBoard::c_house_keeping_offset + HouseKeeping::c_oversampling_trigger;

TEST(HouseKeeping, AdjustmentStepOnEachPattern)
{
    struct Case {
        uint32_t pattern;
        uint32_t expectedBefore;
        bool settled;
        uint32_t word;          // low bits of the word afterwards
        uint32_t expectedAfter; // expected pattern afterwards
        const char* trace;
    };
    const Case cases[] = {
        {0, 0, false, 0x101, 3, "Pattern: 0 To fast"},
        {15, 7, false, 0x101, 3, "Pattern: 15 To fast"},
        {1, 0, false, 0x001, 7, "Pattern: 1 To slow"},
        {5, 3, false, 0x0AA, 3, nullptr},
        {3, 3, true, 0x0AA, 0, nullptr},
        {6, 0, true, 0x0AA, 0, nullptr},
    };
    RafFixture f;
    HouseKeeping& hk = *f.Build().GetHouseKeeping();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        volatile tOverSmpl word = (c.pattern << 24) | 0x0AA;
        std::atomic<uint32_t> expected{c.expectedBefore};
        qstd::CaptureScope capture(true, true, 1);
        EXPECT_EQ(c.settled, hk.AdjustSignalOversampling(word, expected));
        EXPECT_EQ(c.word, word & 0xFFFFFFu);
        EXPECT_EQ(c.expectedAfter, expected.load());
        EXPECT_TRUE(capture.Traced("AdjustSignalOversampling: pattern: " + std::to_string(c.pattern)));
        if (c.trace) {
            EXPECT_TRUE(capture.Traced(c.trace));
        }
    }
    // A type without a word touches nothing.
    const uint32_t before = fpga::Read32(f.Fpga(c_trigger_word), 0);
    EXPECT_TRUE(hk.AdjustSignalOversampling(static_cast<SignalType_e>(3)));
    EXPECT_EQ(before, fpga::Read32(f.Fpga(c_trigger_word), 0));
}

TEST(HouseKeeping, SimulatedPatternSettlesAfterTheNextTriggerOrNever)
{
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck);
        RafFixture f;
        f.Desc().registers.push_back({static_cast<uint32_t>(c_trigger_word), 0, 32}); // pattern 0: too fast
        f.Desc().faults.oversamplingStuck = stuck;
        RafBoard& board = f.Build();
        EXPECT_FALSE(board.AdjustSignalOversampling(eSignalTrigger));
        EXPECT_EQ(0x101u, fpga::Read32(f.Fpga(c_trigger_word), 0) & 0xFFFFFFu);
        EXPECT_FALSE(board.AdjustSignalOversampling(eSignalTrigger));
        for (int i = 0; i < 3; ++i) {
            f.Sim().DeliverTrigger(std::chrono::steady_clock::now());
        }
        EXPECT_EQ(!stuck, board.AdjustSignalOversampling(eSignalTrigger));
        EXPECT_EQ(stuck ? 3u : 0u, board.GetHouseKeeping()->GetExpectedPattern(eSignalTrigger));
    }
}

TEST(HouseKeeping, ConstructionChecksTheClockAndSetsTheControls)
{
    RafFixture f;
    f.Build();
    volatile FPGAMem_t* hk = f.Fpga(RafBoard::c_house_keeping_offset);
    EXPECT_EQ(27u, fpga::Read64(hk, 0x00));
    EXPECT_EQ(0u, fpga::Read64(hk, 0x08));
    EXPECT_EQ(0u, fpga::Read64(hk, 0x88));
}

TEST(HouseKeeping, NodeTree)
{
    RafFixture f;
    mci::ClientAccess hk = f.Tree("house_keeping");
    EXPECT_EQ(64u, f.Board().GetHouseKeeping()->GetRegistryFlags());
    EXPECT_EQ((std::vector<std::string>{"signal_adjustment"}), hk.List(""));
    EXPECT_EQ(64u, hk.GetFlags("signal_adjustment"));
    EXPECT_EQ((std::vector<std::string>{"MC", "Trigger", "PM"}), hk.List("signal_adjustment"));
    for (const char* signal : {"MC", "Trigger", "PM"}) {
        const std::string base = std::string("signal_adjustment/") + signal;
        EXPECT_EQ(0u, hk.GetFlags(base));
        EXPECT_EQ((std::vector<std::string>{"counts", "mode", "reset", "pattern"}), hk.List(base));
        EXPECT_EQ(6u, hk.GetFlags(base + "/counts"));
        EXPECT_EQ(6u, hk.GetFlags(base + "/mode"));
        EXPECT_EQ(6u, hk.GetFlags(base + "/reset"));
        EXPECT_EQ(2u, hk.GetFlags(base + "/pattern"));
        EXPECT_EQ((std::vector<std::string>{"speed_up", "slow_down"}), hk.GetDomainValues(base + "/mode"));
        EXPECT_EQ(6, hk.GetInteger(base + "/pattern"));
    }
    hk.SetText("signal_adjustment/PM/mode", "slow_down");
    hk.SetInteger("signal_adjustment/PM/counts", 63);
    EXPECT_EQ(0x0600013Fu, fpga::Read32(f.Fpga(RafBoard::c_house_keeping_offset + 0xA0), 0));
    EXPECT_ANY_THROW(hk.SetInteger("signal_adjustment/PM/counts", 64));
}

} // namespace
