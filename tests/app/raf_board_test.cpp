// RAF board assembly and operations: the objects in the board's order, the
// mapping failures, the event table, the synchronisation calls and the
// bounded TBT/SA/FA restart, and the helpers of the board and its signals.
#include "board_fixture.h"

#include "acquisition/fast_acquisition.h"
#include "acquisition/history_buffer.h"
#include "acquisition/signals.h"
#include "app/local_timing_raf.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qfeature/events.h"
#include "platform/qfeature/tsm.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "raf/lvds_btc.h"
#include "raf/raf_id.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard()
{
    return new RafBoard(*m_app, m_bmc.get());
}
} // namespace apptest

namespace {

using Fixture = apptest::BoardFixture<RafBoard>;

std::vector<std::string> ChildNames(const qapp::ZemtraObject& o)
{
    std::vector<std::string> names;
    for (qapp::ZemtraObject* c : o.GetChildren()) {
        names.push_back(c->GetName());
    }
    return names;
}

std::string ConstructionError(Fixture& f)
{
    try {
        RafBoard board(f.App(), f.Description());
        return "no error; children: " + std::to_string(board.GetChildren().size());
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(RafBoardAssembly, CreatesItsObjectsInTheBoardsOrder)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    EXPECT_EQ((std::vector<std::string>{"conditioning",
                                        "clock_info",
                                        "conf",
                                        "conditioning",
                                        "tbt",
                                        "house_keeping",
                                        "tsm",
                                        "synth_tsm",
                                        "hb",
                                        "interlock",
                                        "postmortem",
                                        "synth_generator",
                                        "signal_processing",
                                        "LvdsBusTrafCop",
                                        "LvdsTx",
                                        "hp_temp",
                                        "signals",
                                        "events",
                                        "local_timing",
                                        "average_sum",
                                        "beam"}),
              ChildNames(b));
    EXPECT_EQ(64u, b.GetHouseKeeping()->GetRegistryFlags());
    EXPECT_EQ(64u, b.GetTsm()->GetRegistryFlags());
    EXPECT_EQ(64u, b.GetSynthTsm()->GetRegistryFlags());
    EXPECT_EQ(64u, b.GetHistoryBuffer()->GetRegistryFlags());
    EXPECT_EQ(0u, b.GetClockInfo()->GetRegistryFlags());

    // Clock information through the board.
    EXPECT_DOUBLE_EQ(117440043.0, b.GetADCFrequency());
    EXPECT_EQ(220u, b.GetTbtDecimation());
    EXPECT_EQ(2u, b.GetFIRDecimation());
    EXPECT_EQ(40u, b.GetSwitchDecimation());
    EXPECT_DOUBLE_EQ(b.GetClockInfo()->GetIFFrequency(), b.GetIFFrequency());
    EXPECT_EQ("3", b.GetId());

    // The local timing and the events feature read the stream of "signals".
    EXPECT_EQ(b.GetSignals()->GetEventStream(), b.GetLocalTiming()->GetEventStream());
    auto* events = dynamic_cast<qfeature::Events*>(b.GetChildren()[17]);
    ASSERT_NE(nullptr, events);
    EXPECT_EQ("trigger", events->NameOf(2));
    EXPECT_EQ("sync", events->NameOf(0));
    EXPECT_EQ("interlock", events->NameOf(3));
    EXPECT_EQ(3u, events->GetTable().size());
    EXPECT_EQ(static_cast<qfeature::HistoryBuffer*>(b.GetHistoryBuffer()), b.GetLocalTiming()->GetHistoryBuffer());
}

TEST(RafBoardAssembly, RefusesBlocksThatCannotBeMapped)
{
    for (uint32_t offset : {0x100u, 0x800000u, 0x900000u, 0x300000u, 0x500020u, 0x400000u, 0xC00000u, 0xA00000u,
                            0xD00000u, 0x600000u, 0x202000u}) {
        SCOPED_TRACE(offset);
        Fixture f(sim::c_typeRaf, "raf3", "3");
        f.Desc().faults.unmappable = {offset};
        EXPECT_EQ("Failure while mapping to FPGA memory registers", ConstructionError(f));
    }
}

TEST(RafBoardAssembly, PassesTheClockInformationsRefusal)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    f.Desc().registers.push_back({0x108, 0, 32});
    EXPECT_EQ("Invalid FPGA value for TBT decimation", ConstructionError(f));
}

TEST(RafBoardOperations, TriggerCompletesAnnouncedSynchronisationAndRestartIsBounded)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    LocalTimingRaf* lt = b.GetLocalTiming();

    EXPECT_TRUE(b.AnnounceLMTSync(7));
    EXPECT_EQ(7u, lt->GetAnnouncedLMT());
    EXPECT_TRUE(lt->IsSyncPending());
    const auto trigger = std::chrono::steady_clock::now();
    f.Sim().DeliverTrigger(trigger);

    // Only the trigger synchronises.
    b.EventReceived(0, 7, 0);
    b.EventReceived(3, 7, 0);
    EXPECT_TRUE(lt->IsSyncPending());

    qstd::CaptureScope capture(true, true, 1);
    b.EventReceived(2, 7, f.Sim().TriggerCount());
    const auto waited = std::chrono::steady_clock::now() - trigger;

    EXPECT_FALSE(lt->IsSyncPending());
    EXPECT_EQ(7u, lt->GetSynchronizedLMT());
    EXPECT_TRUE(capture.Traced("RafBoard::OnAdjustedTimestamp "));
    EXPECT_TRUE(capture.Logged("TBT, FA, SA signals stopped."));
    // Nothing answers the start request: the wait ends its margin after the
    // start LMT (36,960,007, about 0.31 s after the trigger that took LMT 7).
    EXPECT_TRUE(capture.LoggedSubstring("Failed to restart TBT SA and FA streams. No start event within "));
    EXPECT_FALSE(capture.LoggedSubstring("TBT, FA, SA signals started"));
    EXPECT_GE(waited, Signals::c_start_margin + std::chrono::milliseconds(300));
    EXPECT_LT(waited, Signals::c_start_margin + std::chrono::seconds(2));
    // The TBT history acquisitions were re-armed before the start request.
    volatile FPGAMem_t* hb = f.Sim().Memory() + RafBoard::c_hb_offset;
    EXPECT_EQ(4u, fpga::Read64(hb, tHB::c_tbt1_control));
    EXPECT_EQ(4u, fpga::Read64(hb, tHB::c_tbt2_control));
}

TEST(RafBoardOperations, RestartWithoutADecimationPeriodStopsNothing)
{
    // A CIC decimation of 0 makes the FA decimation and the period 0.
    Fixture f(sim::c_typeRaf, "raf3", "3");
    f.Desc().registers.push_back({0x114, 0, 32});
    RafBoard& b = f.Build();
    qstd::CaptureScope capture(true, true, 1);
    b.OnAnnounceSync();
    EXPECT_FALSE(b.GetSignals()->TbtSaFaRestart(1000));
    EXPECT_TRUE(capture.Logged("Failed to restart TBT SA and FA streams. No valid start LMT after 1000 for the TBT, "
                               "FA and SA decimations."));
    EXPECT_FALSE(capture.Logged("TBT, FA, SA signals stopped."));
    EXPECT_EQ(0u, f.Sim().Events().Requests()); // no request record written
    // The TDP source, which no timestamp hook reaches, is enabled again.
    EXPECT_TRUE(b.GetSignals()->GetTdpSource()->GetPositionController()->IsEnabled());
}

TEST(RafBoardOperations, PostConfigStartsTheAdcHistory)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    b.OnPostConfig();
    EXPECT_EQ(1u, fpga::Read64(f.Sim().Memory() + RafBoard::c_hb_offset, tHB::c_adc_control));
}

TEST(RafBoardOperations, SignalsWithdrawTheEventStreamAtShutdown)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    Signals* signals = b.GetSignals();
    mci::TreeNodePtr node = qapp::MakeBranchNode("signals", 0);
    signals->OnRegistryAdd(node);
    auto event = std::dynamic_pointer_cast<qreg::SignalNode>(node->GetChild("event"));
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->HasSource());

    signals->OnShutdown();
    EXPECT_FALSE(event->HasSource());
    EXPECT_EQ(qsig::eShutDown, signals->GetEventStream()->GetState());

    // A restart on the shut stream does nothing and reports the failure.
    qstd::CaptureScope capture(true, true, 1);
    EXPECT_FALSE(signals->TbtSaFaRestart(0));
    EXPECT_TRUE(capture.TracedSubstring("Can't open: "));
    EXPECT_FALSE(capture.Logged("TBT, FA, SA signals stopped."));
}

TEST(RafBoardAssembly, PassesTheHouseKeepingsRefusal)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    f.Desc().faults.noAdcClock = true;
    EXPECT_EQ("ADC clock is not detected", ConstructionError(f));
}

TEST(RafBoardOperations, ForwardersReachTheSignalPathObjects)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    unsigned value = 0;
    EXPECT_TRUE(b.SetNCOFreq(12345u));
    EXPECT_TRUE(b.GetNCOFreq(value));
    EXPECT_EQ(12345u, value);
    EXPECT_EQ(0u, b.GetADCDelay());
    EXPECT_EQ(440u, b.GetSwHisDelayOffset());
    // The default chassis' trigger pattern is settled.
    EXPECT_TRUE(b.AdjustSignalOversampling(eSignalTrigger));
    EXPECT_TRUE(b.Get2ndMax(value));
    // The switch mark is reachable only while configuring and running.
    EXPECT_FALSE(b.GetSwitchMarkPosition(value));
    unsigned pattern[4] = {1, 2, 3, 4};
    EXPECT_FALSE(b.UpdateMarkerPosition(pattern));
    // The FA block sets the PLL status through its nodes, once it has them.
    EXPECT_FALSE(b.SetPllStatusLocked(true));
    mci::TreeNodePtr fa = qapp::MakeBranchNode("signal_processing", 0);
    b.GetFastAcquisition()->OnRegistryAdd(fa);
    EXPECT_TRUE(b.SetPllStatusLocked(true));

    volatile FPGAMem_t* lvds = f.Sim().Memory() + RafBoard::c_lvds_btc_offset;
    fpga::Write32(lvds, 0, 0xF0);
    b.EnableFaBuf();
    EXPECT_EQ(0xF1u, fpga::Read32(lvds, 0));
    b.GetLvdsBusTrafCop()->OnShutdown();
    EXPECT_EQ(0xF0u, fpga::Read32(lvds, 0));
}

TEST(RafBoardConcurrency, GainControllerLockIsHeldUntilGivenBack)
{
    Fixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    auto lock = b.LockSignalController();
    std::atomic<bool> taken{false};
    std::thread other([&] {
        auto second = b.LockSignalController();
        taken = true;
        b.UnlockSignalController(second);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taken.load());
    b.UnlockSignalController(lock);
    EXPECT_EQ(nullptr, lock);
    other.join();
    EXPECT_TRUE(taken.load());
}

TEST(RafBoardHelpers, CountToThreshold)
{
    const std::vector<std::pair<int, uint64_t>> cases = {
        {0, 0},         {15, 0},        {255, 0},       {256, 1},   {4096, 256},
        {32767, 16368}, {32768, 16384}, {65535, 65504}, {65536, 0}, {-256, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, RafBoard::Count2Threshold(c.first)) << c.first;
    }
}

TEST(RafBoardHelpers, RestartLmtLiesOnTheDecimationGrid)
{
    struct Case {
        uint64_t lmt;
        uint64_t period;
        uint64_t start;
    };
    for (const Case& c : std::vector<Case>{{0, 1000, 31801000u},
                                           {5, 31800000, 5u + 63600000u},
                                           {0, 40000000, 40000000u},
                                           {0, 220u * 56u * 1000u, 36960000u},
                                           // The sum is 64-bit: a large LMT does not wrap.
                                           {0x100000000ull, 1000, 0x100000000ull + 31801000u},
                                           // A period beyond 32 bits.
                                           {0, 0x100000000ull, 0x100000000ull}}) {
        uint64_t start = 0;
        EXPECT_TRUE(Signals::RestartLmt(c.lmt, c.period, start)) << c.period;
        EXPECT_EQ(c.start, start) << c.period;
    }
    // A zero period and a start past 64 bits are refused.
    uint64_t start = 0;
    EXPECT_FALSE(Signals::RestartLmt(0, 0, start));
    EXPECT_FALSE(Signals::RestartLmt(~0ull - 10, 1000, start));
    // The decimation product does not wrap in 32 bits; 0 when a decimation is
    // 0 or the product leaves 64 bits.
    EXPECT_EQ(220ull * 56 * 4000000000ull, Signals::DecimationPeriod(220, 56, 4000000000u));
    EXPECT_EQ(0u, Signals::DecimationPeriod(220, 0, 1000));
    EXPECT_EQ(0u, Signals::DecimationPeriod(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
}

} // namespace
