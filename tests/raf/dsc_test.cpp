// Signal conditioning: attenuator and switch words in both banks before the
// application runs and in the idle bank while it runs, the refusals, the
// bank flip, the taps and the undefined cases, the coefficient nodes and
// streams, and the shutdown of the streams.
#include "app/board_fixture.h"

#include "acquisition/signal_controller.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "qsig/stream_client.h"
#include "raf/dsc.h"
#include "sim/raf_front_end.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>

namespace {

constexpr double c_pi = 3.14159265358979323846;

struct DscRig {
    apptest::BoardFixture<RafBoard> f{sim::c_typeRaf, "raf3", "3"};
    RafBoard& board = f.Build();
    DigSigCond& dsc = *board.GetSignalConditioning();
    volatile FPGAMem_t* block = f.Sim().Memory() + RafBoard::c_conditioning_offset;
    sim::RafFrontEnd& frontEnd = *f.Sim().FrontEnd();
    mci::TreeNodePtr node = qapp::MakeBranchNode("conditioning", 0);

    DscRig() { dsc.OnRegistryAdd(node); }
    uint64_t Word(size_t offset) const { return fpga::Read64(block, offset); }
    mci::ClientAccess Client() const { return mci::ClientAccess(node); }
};

TEST(DigSigCondBanks, ConstructionFillsBothBanks)
{
    DscRig rig;
    for (unsigned bank = 0; bank < 2; ++bank) {
        EXPECT_EQ(0x3E3E3E3Eu, rig.Word(DigSigCond::AttWord(bank)));
        EXPECT_EQ(0u, rig.Word(DigSigCond::SwWord(bank, 0)));
        EXPECT_EQ(0u, rig.Word(DigSigCond::SwWord(bank, 127)));
        for (unsigned c = 0; c < 4; ++c) {
            EXPECT_EQ(0x10000u, rig.Word(DigSigCond::CoefPair(bank, c, 0)));
            EXPECT_EQ(0x10000u, rig.Word(DigSigCond::CoefPair(bank, c, 15)));
            EXPECT_EQ(0x40000000u, rig.Word(DigSigCond::c_table_a + 0x100 * (4 * bank + c) + 8 * 31));
            EXPECT_EQ(0x40000000u, rig.Word(DigSigCond::c_table_b + 0x100 * (4 * bank + c)));
        }
    }
    EXPECT_EQ(0u, rig.frontEnd.BankSwitches());
    unsigned pattern[4];
    rig.dsc.GetSwPattern(pattern);
    EXPECT_EQ((std::vector<unsigned>{0, 9, 6, 15}), std::vector<unsigned>(pattern, pattern + 4));
    EXPECT_EQ(31, rig.Client().GetInteger("att"));
}

TEST(DigSigCondBanks, AttenuatorAndSwitchWordsBeforeRunning)
{
    DscRig rig;
    mci::ClientAccess client = rig.Client();
    {
        qstd::CaptureScope capture(false, true, 4);
        EXPECT_TRUE(rig.dsc._SetAtt(31));
        EXPECT_TRUE(capture.Sink().Records().empty());
        EXPECT_FALSE(rig.dsc._SetAtt(32));
        EXPECT_TRUE(capture.Traced("Invalid ATT value 32."));
    }
    client.SetInteger("att", 0);
    EXPECT_EQ(0u, rig.Word(DigSigCond::AttWord(0)));
    EXPECT_EQ(0u, rig.Word(DigSigCond::AttWord(1)));

    client.SetText("switching", "true");
    for (unsigned bank = 0; bank < 2; ++bank) {
        EXPECT_EQ(0xF690F690F690F690ull, rig.Word(DigSigCond::SwWord(bank, 0)));
        EXPECT_EQ(0xF690F690F690F690ull, rig.Word(DigSigCond::SwWord(bank, 127)));
    }
    client.SetText("switching", "false");
    client.SetInteger("sw", 5);
    EXPECT_EQ(0x5555555555555555ull, rig.Word(DigSigCond::SwWord(1, 64)));
    {
        qstd::CaptureScope capture(false, true, 1);
        EXPECT_THROW(client.SetInteger("sw", 16), std::exception);
        EXPECT_TRUE(capture.Traced("Invalid SW value."));
        EXPECT_FALSE(rig.dsc._SetSwPatternPos(16, 1));
        EXPECT_TRUE(capture.Traced("16is invalid switch position value "));
        EXPECT_FALSE(rig.dsc._SetSwPatternPos(3, 4));
        EXPECT_TRUE(capture.Traced("Internal error: switch pattern position id is out of range."));
    }
    EXPECT_EQ(5, client.GetInteger("sw"));
    // Pattern changes only reach the cache before running.
    client.SetInteger("sw_pattern_1", 3);
    EXPECT_EQ(3, client.GetInteger("sw_pattern_1"));
    EXPECT_EQ(0x5555555555555555ull, rig.Word(DigSigCond::SwWord(0, 0)));
    EXPECT_EQ(0u, rig.frontEnd.BankSwitches());
}

TEST(DigSigCondBanks, EachWriteFillsTheIdleBankAndSwitchesToIt)
{
    DscRig rig;
    // Construction filled both banks directly.
    rig.frontEnd.ResetCounters();
    // The registers are flushed once, after the bank control is written.
    uint64_t flushesAtSwitch = 0;
    rig.frontEnd.SetBankSwitchHook([&](unsigned) { flushesAtSwitch = rig.board.Flushes(); });
    const uint64_t flushesBefore = rig.board.Flushes();
    rig.dsc.SetCompensation(UnitCompensation(), 0.0);
    rig.frontEnd.SetBankSwitchHook(nullptr);
    EXPECT_EQ(flushesBefore, flushesAtSwitch);
    EXPECT_EQ(flushesBefore + 1, rig.board.Flushes());
    EXPECT_EQ(1u, rig.frontEnd.ActiveBank());
    EXPECT_EQ(0x100u, fpga::Read32(rig.block, 0) & 0x100u);
    EXPECT_EQ(1u, rig.Word(0) & 0xFF);
    rig.dsc.SetCompensation(UnitCompensation(), 0.0);
    EXPECT_EQ(0u, rig.frontEnd.ActiveBank());
    EXPECT_EQ(0u, rig.Word(0));
    EXPECT_EQ(2u, rig.frontEnd.BankSwitches());
    EXPECT_EQ(0u, rig.frontEnd.WritesToActiveBank());

    // Unit compensation twice in a row writes once.
    rig.dsc.SetUnitCompensation();
    rig.dsc.SetUnitCompensation();
    EXPECT_EQ(3u, rig.frontEnd.BankSwitches());
}

TEST(DigSigCondBanks, WhileRunningEachChangeFillsTheIdleBankAndWakesTheGainController)
{
    DscRig rig;
    rig.f.App().SetState(qapp::ZemtraApplication::eStateRunning);
    mci::ClientAccess client = rig.Client();
    mci::TreeNodePtr controllerNode = qapp::MakeBranchNode("conditioning", 0);
    rig.board.GetSignalController()->OnRegistryAdd(controllerNode);
    mci::ClientAccess controller(controllerNode);
    controller.SetInteger("tuning/dsc/frequency", 9);
    rig.frontEnd.ResetCounters();

    client.SetInteger("att", 5);
    EXPECT_EQ(1u, rig.frontEnd.BankSwitches());
    EXPECT_EQ(0x0A0A0A0Au, rig.Word(DigSigCond::AttWord(1)));
    EXPECT_EQ(0x3E3E3E3Eu, rig.Word(DigSigCond::AttWord(0)));
    EXPECT_EQ(9, controller.GetInteger("tuning/dsc/frequency/expire_counter"));
    client.SetInteger("att", 5); // unchanged: nothing written
    client.SetInteger("sw", 7);
    EXPECT_EQ(2u, rig.frontEnd.BankSwitches());
    EXPECT_EQ(0x7777777777777777ull, rig.Word(DigSigCond::SwWord(0, 3)));
    EXPECT_EQ(0x0A0A0A0Au, rig.Word(DigSigCond::AttWord(0)));
    client.SetInteger("sw_pattern_2", 7);
    EXPECT_EQ(2u, rig.frontEnd.BankSwitches());
    EXPECT_EQ(0u, rig.frontEnd.WritesToActiveBank());
    rig.f.App().SetState(qapp::ZemtraApplication::eStateCreated);
}

TEST(DigSigCondTaps, TapsGiveTheGainAndPhaseAtTheirFrequency)
{
    int32_t fir0 = 0;
    int32_t fir1 = 0;
    // At a quarter turn per sample: cos and sin of the phase.
    ASSERT_TRUE(DigSigCond::ComputeTaps(1.0, c_pi / 6, c_pi / 2, 65536.0, fir0, fir1));
    EXPECT_EQ(56756, fir0);
    EXPECT_EQ(32768, fir1);
    ASSERT_TRUE(DigSigCond::ComputeTaps(1.0, 0.0, 1.6, 65536.0, fir0, fir1));
    EXPECT_EQ(65536, fir0);
    EXPECT_EQ(0, fir1);

    for (double theta : {0.3, 1.0, 1.6, 2.5}) {
        const double g = 1.25;
        const double phi = -0.4;
        ASSERT_TRUE(DigSigCond::ComputeTaps(g, phi, theta, 65000.0, fir0, fir1));
        const std::complex<double> h = static_cast<double>(fir0) + static_cast<double>(fir1) * std::polar(1.0, -theta);
        EXPECT_NEAR(g * 65000.0, std::abs(h), 2.0) << theta;
        EXPECT_NEAR(-phi, std::arg(h), 1e-4) << theta;
    }
}

TEST(DigSigCondTaps, UndefinedTapsAreTheUnitPairAndLargeOnesAreClamped)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double g, phi, theta;
    };
    for (const Case& c : {Case{1.0, 0.1, 0.0}, Case{1.0, 0.1, c_pi}, Case{1.0, 0.1, 2 * c_pi}, Case{nan, 0.0, 1.0},
                          Case{1.0, nan, 1.0}, Case{1.0, 0.1, nan}}) {
        int32_t fir0 = 7;
        int32_t fir1 = 7;
        EXPECT_FALSE(DigSigCond::ComputeTaps(c.g, c.phi, c.theta, 65536.0, fir0, fir1)) << c.g << " " << c.theta;
        EXPECT_EQ(0x10000, fir0);
        EXPECT_EQ(0, fir1);
    }
    int32_t fir0 = 0;
    int32_t fir1 = 0;
    ASSERT_TRUE(DigSigCond::ComputeTaps(1e12, 0.5, 1.0, 65536.0, fir0, fir1));
    EXPECT_EQ(std::numeric_limits<int32_t>::max(), fir0);
    ASSERT_TRUE(DigSigCond::ComputeTaps(1e12, -0.5, 1.0, 65536.0, fir0, fir1));
    EXPECT_EQ(std::numeric_limits<int32_t>::min(), fir1);

    // 2 pi (f_NCO - delta) / f_ADC, the NCO word being turns per sample in 2^-32.
    EXPECT_NEAR(c_pi / 2, DigSigCond::TapAngle(0x40000000u, 1000.0, 200.0, 0.0), 1e-12);
    EXPECT_NEAR(c_pi / 2 - 2 * c_pi * 0.01, DigSigCond::TapAngle(0x40000000u, 1000.0, 200.0, 10.0), 1e-12);
}

TEST(DigSigCondTaps, CompensationTapsAtThePatternPositions)
{
    DscRig rig;
    rig.dsc.OnPostInit();
    unsigned nco = 0;
    ASSERT_TRUE(rig.board.GetNCOFreq(nco));
    const double theta = DigSigCond::TapAngle(nco, rig.board.GetADCFrequency(), rig.board.GetIFFrequency(), 0.0);
    const double k = rig.dsc.GetScaleK();
    EXPECT_NEAR(65536.0 * std::sin(2 * c_pi * rig.board.GetIFFrequency() / rig.board.GetADCFrequency()), k, 1e-9);

    // Pattern {0, 9, 6, 15}: channel 2 gains 1.0, 1.5, 1.0, 1.5 and phase
    // -0.25 at pattern position 1 (switch position 9).
    tCompensationEntry entry = UnitCompensation();
    entry.gain[1][2] = 1.5;
    entry.gain[3][2] = 1.5;
    entry.phase[1][2] = -0.25;
    rig.dsc.SetCompensation(entry, 0.0);
    const unsigned bank = rig.frontEnd.ActiveBank();
    int32_t fir0 = 0;
    int32_t fir1 = 0;
    ASSERT_TRUE(DigSigCond::ComputeTaps(1.5, -0.25, theta, k, fir0, fir1));
    const uint64_t pair = rig.Word(DigSigCond::CoefPair(bank, 2, 9));
    EXPECT_EQ(fir0, static_cast<int32_t>(pair));
    EXPECT_EQ(fir1, static_cast<int32_t>(pair >> 32));
    // A unit entry at a pattern position: fir0 = K, fir1 = 0.
    EXPECT_EQ(static_cast<uint64_t>(std::lround(k)), rig.Word(DigSigCond::CoefPair(bank, 1, 0)));
    // Positions outside the pattern keep the unit pair.
    for (unsigned s : {1u, 3u, 8u, 14u}) {
        EXPECT_EQ(0x10000u, rig.Word(DigSigCond::CoefPair(bank, 2, s))) << s;
    }

    // The taps give gain 1.5 and phase 0.25 at the signal's frequency; the
    // DDC data count that phase as -0.25. The unit pair passes 65536 / K.
    rig.frontEnd.SetInputPower(rig.frontEnd.Attenuation() + sim::RafFrontEnd::c_nominalLevel);
    const std::complex<double> h = rig.frontEnd.ChannelFactor(9, 2);
    EXPECT_NEAR(1.5, std::abs(h), 1e-4);
    EXPECT_NEAR(-0.25, std::arg(h), 1e-4);
    EXPECT_NEAR(1.0, std::abs(rig.frontEnd.ChannelFactor(6, 2)), 1e-4);
    EXPECT_NEAR(65536.0 / k, std::abs(rig.frontEnd.ChannelFactor(3, 2)), 1e-4);
}

TEST(DigSigCondTaps, WithoutTheFrequenciesEveryPairIsUnit)
{
    // Before OnPostInit the ADC frequency is unknown.
    DscRig rig;
    tCompensationEntry entry = UnitCompensation();
    entry.gain[1][2] = 1.5;
    entry.phase[1][2] = 0.5;
    rig.dsc.SetCompensation(entry, 0.0);
    for (unsigned s = 0; s < 16; ++s) {
        EXPECT_EQ(0x10000u, rig.Word(DigSigCond::CoefPair(1, 2, s))) << s;
    }
}

TEST(DigSigCondNodes, CoefficientTreeNodesAndStreams)
{
    DscRig rig;
    mci::ClientAccess client = rig.Client();
    EXPECT_EQ((std::vector<std::string>{"switching", "att", "sw", "sw_pattern_0", "sw_pattern_1", "sw_pattern_2",
                                        "sw_pattern_3", "coefficients"}),
              client.List(""));
    EXPECT_EQ((std::vector<std::string>{"stream", "gain", "phase", "if_delta"}), client.List("coefficients/channel_0"));
    EXPECT_EQ((std::vector<std::string>{"stream", "gain", "phase"}), client.List("coefficients/channel_1"));
    EXPECT_EQ(78u, client.GetFlags("sw"));
    EXPECT_EQ(66u, client.GetFlags("coefficients/channel_2/stream"));
    EXPECT_EQ(2u, client.GetFlags("coefficients/channel_2/gain/pattern_3"));

    auto stream = rig.dsc.GetStream(2);
    ASSERT_TRUE(stream);
    EXPECT_EQ("raf3.channel_dsc_coefficient_2", stream->GetName());
    qsig::StreamClient<ChannelCoeffTraits> reader(stream.get(), "coeff", 64);
    ASSERT_EQ(qsig::eSuccess, reader.Open());
    reader.GetQueue().SetTimeout(1);
    auto gainSubscription = client.Subscribe("coefficients/channel_2/gain");

    // What a client holds when the FPGA switches to the new bank.
    int atomsBeforeSwitch = -1;
    double gainAtSwitch = 0.0;
    rig.frontEnd.SetBankSwitchHook([&](unsigned) {
        ChannelCoeffSignalStruct atom{};
        atomsBeforeSwitch = reader.Read(atom) == qsig::eSuccess ? 1 : 0;
        gainAtSwitch = atom.gain[3];
    });
    tCompensationEntry entry = UnitCompensation();
    entry.gain[0][2] = 1.0;
    entry.gain[1][2] = 1.5;
    entry.gain[2][2] = 1.0;
    entry.gain[3][2] = 1.5;
    entry.phase[3][2] = -0.25;
    rig.dsc.SetCompensation(entry, 12.5);
    rig.frontEnd.SetBankSwitchHook(nullptr);

    EXPECT_EQ(1, atomsBeforeSwitch);
    EXPECT_DOUBLE_EQ(1.5, gainAtSwitch);
    EXPECT_DOUBLE_EQ(1.25, client.GetDouble("coefficients/channel_2/gain"));
    EXPECT_DOUBLE_EQ(1.5, client.GetDouble("coefficients/channel_2/gain/pattern_1"));
    EXPECT_DOUBLE_EQ(-0.0625, client.GetDouble("coefficients/channel_2/phase"));
    EXPECT_DOUBLE_EQ(12.5, client.GetDouble("coefficients/channel_0/if_delta"));
    EXPECT_TRUE(gainSubscription->WaitFor(1, std::chrono::seconds(1)));
    ChannelCoeffSignalStruct more{};
    EXPECT_NE(qsig::eSuccess, reader.Read(more));

    // After the shutdown the nodes still follow, the streams are gone: the
    // reader learns it and the node refuses new clients.
    rig.dsc.OnShutdown();
    EXPECT_FALSE(rig.dsc.GetStream(2));
    rig.dsc.SetUnitCompensation();
    EXPECT_DOUBLE_EQ(1.0, client.GetDouble("coefficients/channel_2/gain"));
    EXPECT_EQ(qsig::eCancelled, reader.Read(more));
    auto node = std::dynamic_pointer_cast<qreg::SignalNode>(client.Find("coefficients/channel_2/stream"));
    ASSERT_TRUE(node);
    EXPECT_FALSE(node->HasSource());
}

} // namespace
