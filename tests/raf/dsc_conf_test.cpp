// DSC timing configuration: constructor defaults and their order, the node
// tree, the switch-to-history delay and its offset, the switching derived
// from the clocks, the switch mark and the simulated second-maximum detectors.
#include "raf_support.h"

#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "raf/dsc_conf.h"
#include "raf/tbt.h"
#include "sim/raf_front_end.h"

#include <gtest/gtest.h>

namespace {

using raftest::RafFixture;
using raftest::Refusal;
using State = qapp::ZemtraApplication::State_e;

constexpr size_t c_conf = RafBoard::c_conf_offset;

TEST(DscConfig, ConstructorWritesTheDefaultsInOrder)
{
    RafFixture f;
    RafBoard& board = f.Build();
    // A second object over a spare block, so that every write is seen.
    constexpr size_t spare = 0xE00000;
    raftest::WriteRecorder recorder(f.Fpga(spare), DSCConfig::c_blockSize);
    DSCConfig dsc(board, f.Fpga(spare), "conf");
    const std::vector<std::pair<size_t, uint32_t>> expected = {
        {0x00, 0}, {0x04, 1},  {0x08, 0}, {0x0C, 1}, {0x10, 25},  {0x14, 0}, {0x18, 50},
        {0x1C, 0}, {0x40, 16}, {0x44, 0}, {0x20, 0}, {0x24, 440}, {0x30, 0}, {0x34, 0},
    };
    EXPECT_EQ(expected, recorder.Writes());
    EXPECT_EQ(440u, dsc.GetSwHisDelayOffset());
}

TEST(DscConfig, NodeTree)
{
    RafFixture f;
    mci::ClientAccess conf = f.Tree("conf");
    const std::vector<std::pair<std::string, unsigned long long>> nodes = {
        {"second_max_reset", 14},        {"second_max", 2},
        {"analog_to_dsp_delay", 78},     {"second_max_disable_length", 78},
        {"switch_to_history_delay", 78}, {"switch_mark_position", 78},
        {"tbt_div_switch_disabled", 78}, {"switching_delay", 14},
        {"switching_source", 14},        {"tbt_div_count", 78},
        {"sif_prescaler", 78},
    };
    std::vector<std::string> names;
    for (const auto& n : nodes) {
        names.push_back(n.first);
        EXPECT_EQ(n.second, conf.GetFlags(n.first)) << n.first;
        EXPECT_EQ(n.first == "switching_delay" ? "[0, 220]" : "", conf.GetValidator(n.first)) << n.first;
    }
    EXPECT_EQ(names, conf.List(""));
    EXPECT_EQ((std::vector<std::string>{"OnTrigger", "OnRead"}), conf.GetDomainValues("second_max_reset"));
    EXPECT_EQ((std::vector<std::string>{"Internal", "External"}), conf.GetDomainValues("switching_source"));
    EXPECT_EQ("OnRead", conf.GetText("second_max_reset"));
    EXPECT_EQ(25, conf.GetInteger("analog_to_dsp_delay"));
    EXPECT_EQ(50, conf.GetInteger("second_max_disable_length"));
    EXPECT_EQ(16, conf.GetInteger("sif_prescaler"));
    EXPECT_EQ(440, conf.GetInteger("switch_to_history_delay"));
}

TEST(DscConfig, FieldWritesAreBoundedAndKeepTheirNeighbours)
{
    RafFixture f;
    mci::ClientAccess conf = f.Tree("conf");
    EXPECT_EQ("Too large value.4096 for node analog_to_dsp_delay", Refusal(conf, "analog_to_dsp_delay", 4096));
    EXPECT_EQ(25u, fpga::Read64(f.Fpga(c_conf), 0x10));
    EXPECT_EQ("taken", Refusal(conf, "analog_to_dsp_delay", 4095));
    EXPECT_EQ(4095u, fpga::Read64(f.Fpga(c_conf), 0x10));

    EXPECT_EQ("taken", Refusal(conf, "switching_delay", 0));
    EXPECT_EQ("taken", Refusal(conf, "switching_delay", 220));
    EXPECT_EQ("Value 221 is refused by validator [0, 220]", Refusal(conf, "switching_delay", 221));
    conf.SetText("switching_source", "External");
    conf.SetText("tbt_div_switch_disabled", "true");
    conf.SetInteger("tbt_div_count", 7);
    EXPECT_EQ((1ull << 63) | (220ull << 32) | (1ull << 31) | 7u, fpga::Read64(f.Fpga(c_conf), 0x30));

    // Restart mode B: the names and nothing else.
    conf.SetText("second_max_reset", "OnTrigger");
    EXPECT_EQ(0u, fpga::Read32(f.Fpga(c_conf), 0x0C));
    conf.SetText("second_max_reset", "OnRead");
    EXPECT_EQ(1u, fpga::Read32(f.Fpga(c_conf), 0x0C));
    qstd::CaptureScope capture(true, true, 1);
    EXPECT_FALSE(f.Board().GetDscConfig()->_Set2ndMaxRestartB(static_cast<SecMaxRestart_e>(2)));
    EXPECT_TRUE(capture.Traced("Invalid 2nd Max Restart type.2"));
    EXPECT_EQ(1u, fpga::Read32(f.Fpga(c_conf), 0x0C));
}

TEST(DscConfig, SwitchToHistoryDelayAndItsOffset)
{
    RafFixture f;
    mci::ClientAccess conf = f.Tree("conf");
    mci::ClientAccess tbt = f.Tree("tbt");
    DSCConfig& dsc = *f.Board().GetDscConfig();
    volatile FPGAMem_t* reg = f.Fpga(c_conf);

    EXPECT_EQ("taken", Refusal(conf, "switch_to_history_delay", 65535));
    {
        qstd::CaptureScope capture(true, true, 1);
        EXPECT_EQ("qreg: Can't set value: setter function failed: switch_to_history_delay",
                  Refusal(conf, "switch_to_history_delay", 65536));
        EXPECT_TRUE(capture.Traced("Invalid History Buffer Mark Control Delay value.65536"));
    }
    EXPECT_EQ(65535u << 0, fpga::Read32(reg, 0x24));
    EXPECT_EQ(65535u, dsc.GetSwHisDelayOffset());

    // Mark delay 1000 with ADC delay 10: offset 990; an ADC delay of 20 while
    // running moves the mark to 1010 and keeps the offset.
    tbt.SetInteger("phase_offset", 10);
    conf.SetInteger("switch_to_history_delay", 1000);
    EXPECT_EQ(990u, dsc.GetSwHisDelayOffset());
    f.SetState(State::eStateRunning);
    tbt.SetInteger("phase_offset", 20);
    EXPECT_EQ(1010, conf.GetInteger("switch_to_history_delay"));
    EXPECT_EQ(990u, dsc.GetSwHisDelayOffset());
    EXPECT_EQ(20, tbt.GetInteger("phase_offset"));

    // A mark delay below the ADC delay wraps the offset; the sum wraps back.
    tbt.SetInteger("phase_offset", 10);
    EXPECT_EQ(1000, conf.GetInteger("switch_to_history_delay"));
    conf.SetInteger("switch_to_history_delay", 5);
    EXPECT_EQ(4294967291u, dsc.GetSwHisDelayOffset());
    tbt.SetInteger("phase_offset", 10);
    EXPECT_EQ(5, conf.GetInteger("switch_to_history_delay"));
    // A delay whose mark would not fit leaves both as they are.
    EXPECT_EQ("qreg: Can't set value: setter function failed: phase_offset", Refusal(tbt, "phase_offset", 0));
    EXPECT_EQ(10, tbt.GetInteger("phase_offset"));
    EXPECT_EQ(5, conf.GetInteger("switch_to_history_delay"));

    // Outside the running state the ADC delay moves alone.
    f.SetState(State::eStateConfig);
    tbt.SetInteger("phase_offset", 0);
    EXPECT_EQ(5, conf.GetInteger("switch_to_history_delay"));
    dsc.OnPostConfig();
    EXPECT_EQ(5u, dsc.GetSwHisDelayOffset());
}

TEST(DscConfig, PostInitDerivesTheSwitchingFromTheClocks)
{
    struct Case {
        uint32_t sw;
        uint32_t tbt;
        uint64_t div;  // register 0x30 afterwards
        uint64_t mark; // register 0x20 afterwards
        bool traced;
    };
    const Case cases[] = {
        {4, 100, 3, 200ull << 32, false},
        {40, 220, 39, 440ull << 32, false},
        // Values wider than their fields are cut to the field and traced.
        {0x10005, 100, 0x0004, 200ull << 32, true},
        {4, 40000, 3, (80000ull & 0xFFFF) << 32, true},
        // A switching decimation of 0 leaves the switching as it was.
        {0, 100, 0x1234, 200ull << 32, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sw);
        RafFixture f;
        f.Desc().registers.push_back({0x108, c.tbt, 32});
        f.Desc().registers.push_back({0x120, c.sw, 32});
        RafBoard& board = f.Build();
        fpga::Write64(f.Fpga(c_conf), 0x30, 0x1234);
        qstd::CaptureScope capture(true, true, 1);
        board.GetDscConfig()->OnPostInit();
        EXPECT_EQ(c.div, fpga::Read64(f.Fpga(c_conf), 0x30));
        EXPECT_EQ(c.mark, fpga::Read64(f.Fpga(c_conf), 0x20));
        EXPECT_EQ(c.mark >> 32, board.GetDscConfig()->GetSwHisDelayOffset());
        EXPECT_EQ(c.traced, !capture.Sink().Records().empty());
    }
}

TEST(DscConfig, SwitchMarkOnlyWhileConfiguringAndRunning)
{
    RafFixture f;
    mci::ClientAccess conf = f.Tree("conf");
    RafBoard& board = f.Board();
    unsigned pattern[4] = {2, 5, 9, 12};
    unsigned mark = 99;
    EXPECT_FALSE(board.GetSwitchMarkPosition(mark));
    EXPECT_FALSE(board.SetSwitchMarkPosition(3));
    EXPECT_EQ(99u, mark);
    for (State state : {State::eStateConfig, State::eStateRunning}) {
        f.SetState(state);
        ASSERT_TRUE(board.SetSwitchMarkPosition(9));
        EXPECT_TRUE(board.UpdateMarkerPosition(pattern));
        EXPECT_TRUE(board.GetSwitchMarkPosition(mark));
        EXPECT_EQ(9u, mark);
        qstd::CaptureScope capture(true, true, 2);
        ASSERT_TRUE(board.SetSwitchMarkPosition(3));
        EXPECT_TRUE(board.UpdateMarkerPosition(pattern));
        EXPECT_TRUE(capture.Traced("Marker is automatically set to switch position 2."));
        EXPECT_EQ(2, conf.GetInteger("switch_mark_position"));
        // The node's own check still applies.
        EXPECT_FALSE(board.SetSwitchMarkPosition(16));
    }
}

TEST(DscConfig, SecondMaximumRestartsOnReadOrOnTrigger)
{
    RafFixture f;
    mci::ClientAccess conf = f.Tree("conf");
    RafBoard& board = f.Board();
    unsigned a1 = 0;
    unsigned a2 = 0;
    // Detector A restarts after each read ("OnRead" since construction).
    ASSERT_TRUE(board.Get2ndMax(a1));
    ASSERT_TRUE(board.Get2ndMax(a2));
    EXPECT_NE(a1, a2);
    // The level follows the simulated front end.
    EXPECT_NEAR(f.Sim().FrontEnd()->SecondMax(), a1, 64.0);
    // Detector B on "OnTrigger" holds its value until the next trigger.
    conf.SetText("second_max_reset", "OnTrigger");
    const long long b1 = conf.GetInteger("second_max");
    EXPECT_EQ(b1, conf.GetInteger("second_max"));
    f.Sim().DeliverTrigger(std::chrono::steady_clock::now());
    EXPECT_NE(b1, conf.GetInteger("second_max"));
    EXPECT_EQ(2u, conf.GetFlags("second_max"));
}

} // namespace
