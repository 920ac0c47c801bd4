// The gain controller on its board: the tables at construction and their
// fallbacks, the register tree, store and load of the compensation table,
// the power level conversion and its manual setting, the capture geometry.
#include "app/board_fixture.h"

#include "acquisition/signal_controller.h"
#include "app/raf_board.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/capture.h"
#include "raf/dsc.h"
#include "raf/dsc_conf.h"
#include "sim/raf_front_end.h"

#include <boost/any.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace {

using Fixture = apptest::BoardFixture<RafBoard>;

// A compensation table whose row of level p has gains 1 + (p + 100) / 1000.
std::unique_ptr<CompTable> Table(double offset = 0.0)
{
    std::unique_ptr<CompTable> t(new CompTable);
    InitCompTable(*t);
    for (unsigned row = 0; row < c_powerLevels; ++row) {
        for (unsigned k = 0; k < 16; ++k) {
            (*t)[row].gain[k / 4][k % 4] = 1.0 + row / 1000.0 + offset;
        }
    }
    return t;
}

struct ControllerRig {
    Fixture f{sim::c_typeRaf, "raf3", "3"};
    RafBoard* board = nullptr;
    SignalController* sc = nullptr;
    mci::TreeNodePtr node = qapp::MakeBranchNode("conditioning", 0);

    // prepare runs on the instrument's directories before the board is made.
    explicit ControllerRig(const std::function<void(Fixture&)>& prepare = nullptr)
    {
        if (prepare) {
            f.Description();
            prepare(f);
        }
        board = &f.Build();
        sc = board->GetSignalController();
        board->GetSignalConditioning()->OnRegistryAdd(node);
        sc->OnRegistryAdd(node);
    }
    mci::ClientAccess Client() const { return mci::ClientAccess(node); }
    std::string RamFile() const { return f.Root().TmpDir() + "lastgood3.dat"; }
    std::string FlashFile() const { return f.Root().ConfDir() + "lastgood3.dat"; }
};

std::string Construction(const std::function<void(Fixture&)>& prepare)
{
    try {
        ControllerRig rig(prepare);
        return "made";
    } catch (const std::exception& e) {
        return e.what();
    }
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

TEST(SignalControllerTables, CompensationTableFallsBackFromRamToFlashToUnit)
{
    struct Case {
        const char* what;
        bool ram;
        bool ramValid;
        bool flash;
        double expect; // gain of row 0 dBm
    };
    for (const Case& c :
         {Case{"RAM copy", true, true, true, 1.1 + 0.1}, Case{"flash copy", false, false, true, 1.1 + 0.2},
          Case{"invalid RAM copy", true, false, true, 1.1 + 0.2}, Case{"no copy", false, false, false, 1.0}}) {
        SCOPED_TRACE(c.what);
        ControllerRig rig([&c](Fixture& f) {
            if (c.ram) {
                auto t = Table(0.1);
                if (!c.ramValid) {
                    (*t)[5].gain[1][1] = -1.0;
                }
                WriteCompTableFile(f.Root().TmpDir() + "lastgood3.dat", *t);
            }
            if (c.flash) {
                WriteCompTableFile(f.Root().ConfDir() + "lastgood3.dat", *Table(0.2));
            }
        });
        EXPECT_NEAR(c.expect, rig.sc->GetRow(0).gain[2][3], 1e-12);
        EXPECT_EQ(rig.RamFile(), rig.Client().GetText("tuning/dsc/coefficients/ram_disc_file"));
        EXPECT_EQ(rig.FlashFile(), rig.Client().GetText("tuning/dsc/coefficients/flash_disc_file"));
    }
}

TEST(SignalControllerTables, BoardIsNotMadeWithoutAGainSchema)
{
    const std::string refused = "Unable to read gain schema.";
    EXPECT_EQ(refused, Construction([](Fixture& f) { std::remove((f.Root().ConfDir() + "gain3.conf").c_str()); }));
    EXPECT_EQ(refused, Construction([](Fixture& f) { WriteText(f.Root().ConfDir() + "gain3.conf", "5 1 0.5\n"); }));
    EXPECT_EQ("made", Construction([](Fixture& f) { WriteText(f.Root().ConfDir() + "gain3.conf", "0 12 0.5\n"); }));
}

TEST(SignalControllerTables, StoreAndLoadTheFlashCopy)
{
    ControllerRig rig;
    mci::ClientAccess client = rig.Client();
    client.SetDoubles("compensation_table/gain", {1.5, 0.5}, 16 * 100);
    client.SetDouble("compensation_table/phase", -0.25, 16 * 100 + 7);
    client.Execute("tuning/dsc/coefficients/store");
    std::ifstream flash(rig.FlashFile(), std::ios::binary | std::ios::ate);
    EXPECT_EQ(33536, static_cast<long>(flash.tellg()));

    client.SetDouble("compensation_table/gain", 1.0, 16 * 100);
    client.Execute("tuning/dsc/coefficients/load");
    EXPECT_EQ(1.5, rig.sc->GetRow(0).gain[0][0]);
    EXPECT_EQ(0.5, rig.sc->GetRow(0).gain[0][1]);
    EXPECT_EQ(-0.25, rig.sc->GetRow(0).phase[1][3]);

    // A spoilt flash copy is refused whole: the running table stays.
    auto spoilt = Table();
    (*spoilt)[130].phase[3][3] = std::nan("");
    std::vector<unsigned char> bytes(c_compTableBytes);
    EncodeCompTable(*spoilt, bytes.data());
    std::ofstream(rig.FlashFile(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 100);
    EXPECT_THROW(client.Execute("tuning/dsc/coefficients/load"), std::exception);
    std::ofstream(rig.FlashFile(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_THROW(client.Execute("tuning/dsc/coefficients/load"), std::exception);
    EXPECT_EQ(1.5, rig.sc->GetRow(0).gain[0][0]);

    // Values that could not drive the taps are refused at the node.
    EXPECT_THROW(client.SetDouble("compensation_table/gain", 0.0, 3), std::exception);
    EXPECT_THROW(client.SetDouble("compensation_table/phase", std::nan(""), 3), std::exception);
    EXPECT_EQ(1.0, client.GetDouble("compensation_table/gain", 3));
}

TEST(SignalControllerTables, TablesSurviveARestart)
{
    ControllerRig rig;
    mci::ClientAccess client = rig.Client();
    client.SetDoubles("compensation_table/gain", std::vector<double>(16, 1.75), 16 * 95);
    client.Execute("tuning/dsc/coefficients/store");
    // A compensation cycle leaves its table in the RAM copy.
    client.SetDoubles("compensation_table/gain", std::vector<double>(16, 1.5), 16 * 95);
    ASSERT_TRUE(rig.sc->WriteCompTable(rig.sc->RamFile()));

    // The server starts again on the same instrument: the RAM copy first,
    // then the flash copy.
    {
        RafBoard restarted(rig.f.App(), rig.f.Description());
        EXPECT_EQ(1.5, restarted.GetSignalController()->GetRow(-5).gain[3][3]);
    }
    std::remove(rig.RamFile().c_str());
    RafBoard restarted(rig.f.App(), rig.f.Description());
    EXPECT_EQ(1.75, restarted.GetSignalController()->GetRow(-5).gain[3][3]);
    EXPECT_EQ(1.0, restarted.GetSignalController()->GetRow(-4).gain[3][3]);
}

TEST(SignalControllerTree, NodesOfBothConditioningObjectsShareTheNode)
{
    ControllerRig rig;
    mci::ClientAccess client = rig.Client();
    EXPECT_EQ((std::vector<std::string>{"switching", "att", "sw", "sw_pattern_0", "sw_pattern_1", "sw_pattern_2",
                                        "sw_pattern_3", "coefficients", "tuning", "att_levels", "compensation_table"}),
              client.List(""));
    EXPECT_EQ((std::vector<std::string>{"frequency", "threshold", "coefficients", "averaging_gain_patterns",
                                        "averaging_phase_patterns", "use_curr_data", "quality"}),
              client.List("tuning/dsc"));
    EXPECT_EQ((std::vector<std::string>{"expire_counter"}), client.List("tuning/dsc/frequency"));
    EXPECT_EQ("[-80, 0]", client.GetValidator("tuning/agc/power_level"));
    EXPECT_EQ("Raw", client.GetText("tuning/dsc/quality/selector"));
    EXPECT_EQ("adjusted", client.GetText("tuning/dsc/coefficients/type"));
    EXPECT_EQ(0x206u, client.GetFlags("compensation_table/gain") & 0x206u);
    EXPECT_EQ(2096u, client.GetSize("compensation_table/phase"));

    // The simulated instrument's table puts 20 dB at 0 dBm.
    EXPECT_EQ(20, client.GetInteger("tuning/agc/zero_dbm_att"));
    EXPECT_EQ(20, client.GetInteger("att_levels", 100));
    EXPECT_EQ(0, client.GetInteger("att_levels", 0));
    EXPECT_EQ(31, client.GetInteger("att_levels", 130));

    client.SetDoubles("compensation_table/gain", std::vector<double>(16, 1.75), 16 * (-5 + 100));
    for (unsigned k = 0; k < 16; ++k) {
        EXPECT_EQ(1.75, rig.sc->GetRow(-5).gain[k / 4][k % 4]);
    }
    EXPECT_EQ(std::vector<double>(16, 1.75), client.GetDoubles("compensation_table/gain", 16 * 95, 16));
}

TEST(SignalControllerPower, ConversionAndManualSetting)
{
    ControllerRig rig;
    uint32_t att = 99;
    rig.sc->ConvertPowerLevel(-100, att);
    EXPECT_EQ(0u, att);
    try {
        rig.sc->ConvertPowerLevel(31, att);
        FAIL() << "31 dBm converted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Power level 31 is not in a range between -100 and 30", e.what());
    }
    unsigned boardAtt = 7;
    EXPECT_THROW(rig.board->ConvertPowerLevel(-101, boardAtt), qstd::Exception);
    rig.board->ConvertPowerLevel(5, boardAtt);
    EXPECT_EQ(25u, boardAtt);

    // With AGC off the level and its row are written and the thread woken.
    mci::ClientAccess client = rig.Client();
    client.SetDoubles("compensation_table/gain", std::vector<double>(16, 1.25), 16 * (-20 + 100));
    client.SetInteger("tuning/dsc/frequency", 7);
    client.SetInteger("tuning/agc/power_level", -20);
    EXPECT_EQ(-20, client.GetInteger("tuning/agc/power_level"));
    EXPECT_EQ(0, client.GetInteger("att"));
    EXPECT_DOUBLE_EQ(1.25, client.GetDouble("coefficients/channel_1/gain"));
    EXPECT_EQ(7, client.GetInteger("tuning/dsc/frequency/expire_counter"));
    EXPECT_THROW(client.SetInteger("tuning/agc/power_level", -81), std::exception);
}

TEST(SignalControllerCapture, GeometryFollowsSamplesAndPatternCounts)
{
    ControllerRig rig;
    mci::ClientAccess client = rig.Client();
    EXPECT_EQ(1440u, rig.sc->GetAllAtoms());
    rig.sc->SetSamplesPerSwitchPosition(12);
    EXPECT_EQ(9u * 48, rig.sc->GetAllAtoms());
    client.SetInteger("tuning/dsc/averaging_gain_patterns", 31);
    EXPECT_EQ(32u * 48, rig.sc->GetAllAtoms());
    {
        qstd::CaptureScope capture(false, true, 1);
        EXPECT_THROW(client.SetInteger("tuning/dsc/averaging_gain_patterns", 32), std::exception);
        EXPECT_TRUE(capture.Traced("Number of switch patterns used for amplitude averaging is limited to 32."));
        EXPECT_THROW(client.SetInteger("tuning/dsc/averaging_phase_patterns", 40), std::exception);
        EXPECT_TRUE(capture.Traced("Number of switch patterns used for phase averaging is limited to 32."));
    }
    client.SetInteger("tuning/dsc/averaging_gain_patterns", 2);
    client.SetInteger("tuning/dsc/averaging_phase_patterns", 0);
    EXPECT_EQ(3u * 48, rig.sc->GetAllAtoms());

    // Capture positions follow the pattern {0, 9, 6, 15} from the marked
    // position's slot; without a readable mark, or with a mark outside the
    // pattern, they are the slots.
    EXPECT_EQ(2u, rig.sc->OrderedSwPosition(2));
    mci::TreeNodePtr conf = qapp::MakeBranchNode("conf", 0);
    rig.board->GetDscConfig()->OnRegistryAdd(conf);
    rig.f.App().SetState(qapp::ZemtraApplication::eStateRunning);
    struct Mark {
        unsigned position;
        std::vector<uint32_t> slots;
    };
    for (const Mark& m : {Mark{6, {2, 3, 0, 1}}, Mark{15, {3, 0, 1, 2}}, Mark{5, {0, 1, 2, 3}}}) {
        ASSERT_TRUE(rig.board->SetSwitchMarkPosition(m.position));
        std::vector<uint32_t> slots;
        for (uint32_t k = 0; k < 4; ++k) {
            slots.push_back(rig.sc->OrderedSwPosition(k));
        }
        EXPECT_EQ(m.slots, slots) << m.position;
    }
    rig.f.App().SetState(qapp::ZemtraApplication::eStateCreated);

    // The thread stops once, whoever asks.
    rig.sc->StopThread();
    rig.sc->StopThread();
    rig.sc->OnShutdown();
}

} // namespace

namespace {

// One tuning step on the test's thread, as the tuning thread runs it.
void Step(SignalController& sc, unsigned times = 1)
{
    for (unsigned i = 0; i < times; ++i) {
        SignalController::LockPtr lock = sc.Lock();
        sc.TuneSignal();
        sc.Unlock(lock);
    }
}

TEST(SignalControllerAgc, InputPowerStepsMoveTheAttenuatorUnderItsHysteresis)
{
    ControllerRig rig;
    sim::RafFrontEnd& frontEnd = *rig.f.Sim().FrontEnd();
    mci::ClientAccess client = rig.Client();
    auto levels = client.Subscribe("tuning/agc/power_level");
    frontEnd.SetInputPower(0.0);
    client.SetText("tuning/agc/enabled", "true");

    // The first step applies the 0 dBm row: 20 dB.
    Step(*rig.sc);
    EXPECT_EQ(20, client.GetInteger("att"));

    struct Case {
        double input;
        int level;
    };
    // Half of a large difference at once, then one dBm a step; within the
    // band of p - 0.5 - h to p + 0.5 + h (h = 0.5) the level stays.
    for (const Case& c : {Case{5.0, 5}, Case{5.8, 5}, Case{6.3, 6}, Case{5.2, 6}, Case{-3.5, -3}, Case{-30.5, -30}}) {
        frontEnd.SetInputPower(c.input);
        Step(*rig.sc, 8);
        EXPECT_EQ(c.level, client.GetInteger("tuning/agc/power_level")) << c.input;
        EXPECT_EQ(std::min(std::max(c.level + 20, 0), 31), client.GetInteger("att")) << c.input;
    }
    ASSERT_TRUE(levels->WaitFor(1, std::chrono::seconds(1)));
    EXPECT_EQ(-30, boost::any_cast<int>(levels->Values().back().value));

    // With AGC on, a client may not set the level in the running application.
    rig.f.App().SetState(qapp::ZemtraApplication::eStateRunning);
    EXPECT_THROW(client.SetInteger("tuning/agc/power_level", -10), std::exception);
    rig.f.App().SetState(qapp::ZemtraApplication::eStateCreated);
}

TEST(SignalControllerAgc, PendingCoefficientsGoOutWhenTheLevelIsClampedAtTheTableBound)
{
    ControllerRig rig;
    sim::RafFrontEnd& frontEnd = *rig.f.Sim().FrontEnd();
    mci::ClientAccess client = rig.Client();
    client.SetDoubles("compensation_table/gain", std::vector<double>(16, 1.2), 16 * 130);
    rig.sc->SetPowerLevel(30);
    // Readings far above the top row: each step the level jumps and is
    // clamped back to 30 dBm, the level already applied.
    client.SetInteger("tuning/agc/zero_dbm_adc", 1000);
    frontEnd.SetInputPower(30.0);
    client.SetText("tuning/agc/enabled", "true");
    Step(*rig.sc); // the pending setting of construction
    EXPECT_EQ(30, client.GetInteger("tuning/agc/power_level"));
    EXPECT_DOUBLE_EQ(1.2, client.GetDouble("coefficients/channel_3/gain"));

    // The unit coefficients asked for meanwhile still go out.
    client.SetText("tuning/dsc/coefficients/type", "unity");
    Step(*rig.sc);
    EXPECT_EQ(30, client.GetInteger("tuning/agc/power_level"));
    EXPECT_DOUBLE_EQ(1.0, client.GetDouble("coefficients/channel_3/gain"));
}

} // namespace
