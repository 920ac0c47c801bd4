// The application on chassis whose GDX board carries each userblock type:
// the board's objects and nodes, and for the feedback userblocks the SFP
// reset, the group size, the FA filter's mask of the present RAF boards and
// running grouping; the FA data of the filtered RAF boards reach the "fa"
// signal.
#include "app_support.h"
#include "gdx/udp_listener.h"
#include "tests/common/wait_for.h"

#include "app/gdx_board.h"
#include "gdx/gdx_fa_filter.h"
#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using apptest::DataFile;
using apptest::RunningApp;

namespace {

using Texts = std::vector<std::string>;

struct Userblock {
    const char* file;
    unsigned type;
    const char* log;
    // Nodes of the board besides those of its base objects.
    Texts own;
    // The feedback blocks and streamers of the userblock.
    Texts feedback;
};

void PrintTo(const Userblock& u, std::ostream* os)
{
    *os << u.file;
}

const Texts c_base = {"feature", "gdx_history_buf", "i2c_controller", "spi_controller", "LvdsRx", "house_keeping"};
const Texts c_fofb = {"filter", "grouping", "sfp_control"};
const Texts c_timing = {"events", "local_timing"};

Texts Nodes(const Userblock& u)
{
    Texts nodes = c_base;
    if (u.type >= 2 && u.type <= 4) {
        nodes.insert(nodes.end(), c_fofb.begin(), c_fofb.end());
        nodes.insert(nodes.end(), u.feedback.begin(), u.feedback.end());
    }
    nodes.insert(nodes.end(), c_timing.begin(), c_timing.end());
    nodes.insert(nodes.end(), u.own.begin(), u.own.end());
    nodes.push_back("signals");
    return nodes;
}

// Userblock 4 running: the state relay follows the feedback switch, trigger
// 0 of the timing board carries the feedback's code from the backplane, and
// the orbit streamer sends the grouped FA data (the BPMs of the filtered RAF
// boards in slots 4 and 6, whose sum is beamSum) to a loopback listener, as
// many groups as "group_size" says.
void CheckFeedbackRunning(mci::ClientAccess& client, double beamSum)
{
    auto mode = client.Subscribe("gdx/fofb/state/mode");
    client.SetText("gdx/fofb/switch", "on");
    ASSERT_TRUE(mode->WaitFor(1, std::chrono::seconds(5)));
    EXPECT_EQ("on", client.GetText("gdx/fofb/state/mode"));
    EXPECT_EQ("auto", client.GetText("gdx/ser_output/mode"));
    EXPECT_EQ(3, client.GetInteger("tim/trigger_generation/trigger0/source"));
    EXPECT_EQ(0, client.GetInteger("tim/trigger_generation/trigger0/code"));

    gdxtest::UdpListener listener;
    client.SetText("gdx/gbe_orbit/dest/ip", "127.0.0.1");
    client.SetInteger("gdx/gbe_orbit/dest/port", listener.Port());
    client.SetText("gdx/gbe_orbit/enable", "true");
    EXPECT_EQ(16u, listener.ReceiveSized(16).size());
    client.SetInteger("gdx/group_size", 4);
    const std::vector<uint8_t> d = listener.ReceiveSized(64);
    ASSERT_EQ(64u, d.size());
    int32_t sums[4];
    for (size_t k = 0; k < 4; ++k) {
        std::memcpy(&sums[k], &d[16 * k + 8], 4);
    }
    EXPECT_EQ(0, sums[0]);
    EXPECT_NEAR(beamSum, sums[1], 1);
    EXPECT_EQ(0, sums[2]);
    EXPECT_NEAR(beamSum, sums[3], 1);
    client.SetText("gdx/gbe_orbit/enable", "false");
}

class GdxUserblockChassis : public ::testing::TestWithParam<Userblock> {};

TEST_P(GdxUserblockChassis, AssemblesStartsAndServesFa)
{
    const Userblock& u = GetParam();
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run(DataFile(u.file));
    ASSERT_TRUE(run.WaitRunning());
    GdxBoard* gdx = run.App().GetGdxBoard();
    ASSERT_NE(nullptr, gdx);
    mci::ClientAccess client = run.Client();
    EXPECT_EQ(u.type, static_cast<unsigned>(gdx->GetUserblock()));
    EXPECT_TRUE(capture.Logged(u.log));
    EXPECT_EQ(Nodes(u), client.List("gdx"));
    EXPECT_EQ(64u, client.GetFlags("gdx/feature"));
    EXPECT_EQ(64u, client.GetFlags("gdx/house_keeping"));
    EXPECT_EQ((Texts{"true", "true", "true", "true"}), client.GetTexts("gdx/house_keeping/sfp/present", 0, 4));

    const bool fofb = u.type >= 2 && u.type <= 4;
    EXPECT_EQ(fofb, capture.Traced("SFP4 PLLs locked."));
    if (fofb) {
        EXPECT_EQ(64u, client.GetFlags("gdx/filter"));
        EXPECT_EQ(0xAu, gdx->GetFaFilter()->GetLvdsSerializer());
        EXPECT_EQ((Texts{"disable", "enable", "disable", "enable"}),
                  (Texts{client.GetText("gdx/filter/raf3"), client.GetText("gdx/filter/raf4"),
                         client.GetText("gdx/filter/raf5"), client.GetText("gdx/filter/raf6")}));
        EXPECT_EQ(1, client.GetInteger("gdx/group_size"));
        EXPECT_EQ(1, client.GetInteger("gdx/grouping/size"));
        EXPECT_EQ(1600, client.GetInteger("gdx/grouping/timeout"));
        // Grouping runs: the simulated FPGA reports its latency.
        EXPECT_GT(client.GetInteger("gdx/grouping/latency"), 0);
        // The orbit streamer was initialised (link up) and sized for one group.
        const std::string orbit = "gdx/" + u.feedback[u.type == 3 ? 0 : 1];
        EXPECT_EQ("true", client.GetText(orbit + "/eth_core_status/link_status"));
        EXPECT_EQ(16, client.GetInteger(orbit + "/payload"));
    }

    // The latest FA atoms: the simulated beam's samples of the RAF boards of
    // slots 4 and 6 where the filter lets them through (amplitudes and sum
    // S / 4 of the beam on axis, the switch marker in Va's lowest bit), zero
    // elsewhere.
    auto source = gdx->GetFaSource();
    ASSERT_TRUE(source);
    auto reader = source->CreateClient("userblock-test");
    ASSERT_EQ(qsig::eSuccess, reader.Open(qsig::eAccessNow, 4, -4));
    qsig::Array<GdxFaTraits> atoms(GdxFaTraits(), 4);
    qsig::SignalMeta meta;
    // The FA chain restarted at the start synchronisation may still be on its
    // way (its controllers disabled until it runs).
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            atoms.Resize(4);
            return reader.Read(atoms, meta, 0) == qsig::eSuccess;
        },
        std::chrono::seconds(20)));
    ASSERT_EQ(4u, atoms.GetLength());
    for (unsigned i = 0; i < atoms.GetLength(); ++i) {
        const auto& atom = atoms[i];
        const double amplitude = run.Chassis().GetBeam().Options().intensity / 4;
        EXPECT_EQ(0, atom[0].Va);
        EXPECT_NEAR(fofb ? amplitude : 0, atom[1].Va, 1);
        EXPECT_EQ(0, atom[2].Sum);
        EXPECT_NEAR(fofb ? amplitude : 0, atom[3].Sum, 1);
    }
    reader.Close();
    if (u.type == 4) {
        CheckFeedbackRunning(client, run.Chassis().GetBeam().Options().intensity / 4);
    }
    EXPECT_TRUE(run.Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Types, GdxUserblockChassis,
    ::testing::Values(
        Userblock{"gdx_userblock_0.xml", 0, "Detected GDX-BASE ZQT userblock.", {"zqt_reg"}, {}},
        Userblock{"gdx_userblock_1.xml", 1, "Detected GDX-SFPTEST ZQT userblock.", {"zqt_reg"}, {}},
        Userblock{"gdx_userblock_2.xml", 2, "Detected FOFB-SUV ZQT userblock.", {"group_size"}, {"fofb", "gbe"}},
        Userblock{"gdx_userblock_3.xml", 3, "Detected FOFB-SUV ZQT userblock.", {"group_size"}, {"gbe_orbit"}},
        Userblock{"gdx_userblock_4.xml",
                  4,
                  "Detected FOFB-SUV ZQT userblock.",
                  {"group_size"},
                  {"fofb", "gbe_orbit", "gbe_magnet", "ser_output"}},
        Userblock{"gdx_userblock_unknown.xml", 5, "Warning: Unknown GDX ZQT userblock: 5", {}, {}}));

} // namespace
