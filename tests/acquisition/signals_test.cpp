// The RAF board's data signals on a board without a chassis: nodes, the
// split of the DMA buffer, the ADC source's condition, the subscriptions to
// the FA block, the controllers' switch and the shutdown.
#include "raf_fixture.h"

#include "acquisition/fast_acquisition.h"
#include "acquisition/signals.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "raf/tbt.h"

#include <gtest/gtest.h>

namespace {

using acqtest::RafFixture;

std::vector<std::string> Children(const mci::TreeNodePtr& node)
{
    std::vector<std::string> names;
    for (const auto& child : node->GetChildren()) {
        names.push_back(child->GetName());
    }
    return names;
}

bool AllEnabled(const qsig::DodControllerInterface<DdcTraits>& source, bool enabled)
{
    std::lock_guard<std::mutex> lock(source.m_mutex);
    for (const auto& c : source.m_controller_copies) {
        if (c->IsEnabled() != enabled) {
            return false;
        }
    }
    return !source.m_controller_copies.empty();
}

TEST(Signals, NodesSourcesAndTheirShutdown)
{
    RafFixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    Signals* s = b.GetSignals();
    mci::TreeNodePtr node = qapp::MakeBranchNode("signals", 0);
    s->OnRegistryAdd(node);
    EXPECT_EQ((std::vector<std::string>{"ddc_raw", "ddc_synthetic", "ddc_phase", "tdp_synthetic", "sa", "fa", "event"}),
              Children(node));
    mci::ClientAccess client(node);
    EXPECT_EQ(66u, client.GetFlags("ddc_phase"));
    EXPECT_EQ(2u, client.GetFlags("sa"));

    // With B = 64 MiB: ADC 16 MiB at 0, TDP 16 MiB at 16 MiB, DDC 32 MiB at 32 MiB.
    EXPECT_EQ(64u << 20, s->GetDmaBuffer()->GetByteSize());
    EXPECT_EQ(1048576u, s->GetTdpSource()->GetSize());
    EXPECT_EQ(16u << 20, s->GetTdpSource()->GetOffset());
    EXPECT_EQ(1048576u, s->GetDdcSource()->GetSize());
    EXPECT_EQ(32u << 20, s->GetDdcSource()->GetOffset());
    EXPECT_EQ(1048576u, s->GetDdcAmplSource()->GetSize());
    EXPECT_EQ(1024u, s->GetFaStream()->GroupSize());
    EXPECT_EQ(1u, s->GetSaStream()->GroupSize());
    EXPECT_EQ(std::vector<std::string>({"Ia", "Qa", "Ib", "Qb", "Ic", "Qc", "Id", "Qd"}),
              s->GetDdcSource()->GetComponentNames());
    EXPECT_EQ(16u, s->GetFaStream()->GetComponentNames().size());

    s->OnPostConfig();
    ASSERT_TRUE(s->GetAdcSource());
    EXPECT_EQ(2097152u, s->GetAdcSource()->GetSize());
    EXPECT_EQ("adc", Children(node).back());

    s->OnShutdown();
    for (const auto& child : node->GetChildren()) {
        EXPECT_FALSE(std::dynamic_pointer_cast<qreg::SignalNode>(child)->HasSource()) << child->GetName();
    }
    EXPECT_EQ(qsig::eShutDown, s->GetFaStream()->GetState());
}

TEST(Signals, NoAdcWithoutAnAcquisitionDuration)
{
    RafFixture f(sim::c_typeRaf, "raf3", "3");
    f.Desc().registers.push_back({0x50000C, 0, 32});
    RafBoard& b = f.Build();
    Signals* s = b.GetSignals();
    mci::TreeNodePtr node = qapp::MakeBranchNode("signals", 0);
    s->OnRegistryAdd(node);
    qstd::CaptureScope capture(true, true, 1);
    s->OnPostConfig();
    EXPECT_FALSE(s->GetAdcSource());
    EXPECT_EQ(7u, node->GetChildren().size());
    EXPECT_TRUE(capture.TracedSubstring("No AdcSource"));
    // The controllers are switched without the ADC source; a shutdown skips it.
    s->EnableControllers(false);
    EXPECT_TRUE(AllEnabled(*s->GetDdcSource(), false));
    s->EnableControllers(true);
    EXPECT_TRUE(AllEnabled(*s->GetDdcSource(), true));
    s->OnShutdown();
}

TEST(Signals, ParametersFollowTheFaBlockAndTheTbtDsp)
{
    RafFixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    mci::TreeNodePtr fa = qapp::MakeBranchNode("signal_processing", 0);
    b.GetFastAcquisition()->OnRegistryAdd(fa);
    mci::TreeNodePtr tbt = qapp::MakeBranchNode("tbt", 0);
    b.GetTbtDsp()->OnRegistryAdd(tbt);
    Signals* s = b.GetSignals();

    b.AttachToNotifications();
    EXPECT_EQ(10000000, s->GetCoefficients().kx);
    EXPECT_FALSE(s->GetSpikeSettings().enabled);

    mci::ClientAccess client(fa);
    client.SetText("position/Kx", "1000");
    client.SetText("position/off_x", "-5");
    client.SetText("position/off_q", "7");
    EXPECT_EQ(1000, s->GetCoefficients().kx);
    EXPECT_EQ(-5, s->GetCoefficients().offset_x);
    EXPECT_EQ(7, s->GetCoefficients().offset_q);
    TbtAmplAtom atom{100, 0, 0, 0, 0, 0, 0, 0};
    s->CalculateTbtData(atom);
    EXPECT_EQ(1005, atom.X);

    mci::ClientAccess spikes(tbt);
    spikes.SetText("spike_removal/mode/sw_enable", "true");
    spikes.SetText("spike_removal/averaging_stop", "-3");
    spikes.SetText("spike_removal/averaging_window", "8");
    spikes.SetText("spike_removal/start", "-2");
    spikes.SetText("spike_removal/window", "100");
    const PositionArithmetic::SpikeSettings settings = s->GetSpikeSettings();
    EXPECT_TRUE(settings.enabled);
    EXPECT_EQ(-3, settings.average_stop);
    EXPECT_EQ(8u, settings.average_window);
    EXPECT_EQ(-2, settings.start);
    EXPECT_EQ(100u, settings.window);

    // The announcement switches the controllers off through the board.
    b.OnAnnounceSync();
    EXPECT_TRUE(AllEnabled(*s->GetDdcSource(), false));
}

TEST(Signals, ObjectsWithoutNodesKeepTheirDefaults)
{
    RafFixture f(sim::c_typeRaf, "raf3", "3");
    RafBoard& b = f.Build();
    qstd::CaptureScope capture(true, true, 1);
    b.AttachToNotifications();
    EXPECT_TRUE(capture.Traced("Signals: no nodes of the FA block on board raf3; its parameters keep their defaults."));
    EXPECT_TRUE(
        capture.Traced("Signals: no nodes of the turn-by-turn DSP on board raf3; its parameters keep their defaults."));
    EXPECT_EQ(0, b.GetSignals()->GetCoefficients().kx);
}

} // namespace
