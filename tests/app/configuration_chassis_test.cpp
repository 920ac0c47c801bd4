// The configuration of a running chassis across a restart: a FIR file path
// that the FA block refuses never becomes the value of "fir" and is never
// stored, so refused writes of huge paths cost no stored value.
#include "app_support.h"

#include <gtest/gtest.h>

namespace {

using apptest::RunningApp;

const char* const c_defaultFir = "/var/opt/zemtra/cfg/fircoef_sr.conf";

std::string Fir(const std::string& board)
{
    return board + "/signal_processing/filter_coefs/fir";
}

TEST(ConfigurationChassis, RefusedFirPathsAreNeitherKeptNorStored)
{
    apptest::TempDir dir;
    const std::string root = dir.Path() + "/root";
    // Longer than any path (some megabytes, as a client may send them).
    const std::string huge = "/" + std::string(7900000, 'p');
    {
        RunningApp run(std::string(), root);
        ASSERT_TRUE(run.WaitRunning());
        mci::ClientAccess client = run.Client();
        client.SetText("tim/pll/vcxo_offset", "18");
        for (const char* board : {"raf3", "raf4", "raf5"}) {
            EXPECT_ANY_THROW(client.SetText(Fir(board), huge));
        }
        EXPECT_ANY_THROW(client.SetText(Fir("raf6"), "/nonexistent"));
        for (const char* board : {"raf3", "raf4", "raf5", "raf6"}) {
            EXPECT_EQ(c_defaultFir, client.GetText(Fir(board))) << board;
        }
        ASSERT_TRUE(run.Stop());
    }
    qstd::CaptureScope capture;
    RunningApp again(std::string(), root);
    ASSERT_TRUE(again.WaitRunning());
    EXPECT_EQ("18", again.Client().GetText("tim/pll/vcxo_offset"));
    EXPECT_EQ(c_defaultFir, again.Client().GetText(Fir("raf6")));
    EXPECT_EQ(0u, apptest::CountLoggedContaining(capture, "Configuration line skipped"));
}

} // namespace
