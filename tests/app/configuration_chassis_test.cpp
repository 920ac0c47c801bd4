// The configuration of a running chassis across a restart: a FIR file path
// that the FA block refuses never becomes the value of "fir" and is never
// stored, so refused writes of huge paths cost no stored value; a stored path
// whose file is missing at start stays stored until the file is there; a
// configuration file that is a symbolic link is followed or refuses the
// start. Register words that clients set while others read them and the store saves
// them.
#include "app_support.h"

#include "platform/qstd/sink.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using apptest::RunningApp;

const char* const c_defaultFir = "/var/opt/zemtra/cfg/fircoef_sr.conf";

std::string Fir(const std::string& board)
{
    return board + "/signal_processing/filter_coefs/fir";
}

std::string Read(const std::string& file)
{
    std::ifstream in(file);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The target named by a symbolic link ("" when it is none).
std::string ReadLink(const std::string& link)
{
    char text[4096] = {};
    return ::readlink(link.c_str(), text, sizeof(text) - 1) > 0 ? std::string(text) : std::string();
}

// Names in the folder that start with prefix.
size_t CountStartingWith(const std::string& dir, const std::string& prefix)
{
    size_t count = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            count += std::string(e->d_name).rfind(prefix, 0) == 0 ? 1 : 0;
        }
        ::closedir(d);
    }
    return count;
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

// A stored FIR path whose file is missing at start (on a mount not made yet)
// is no damage: the board keeps its filter, one WARNING names the node and
// the file, and the stored line stays across stores until the file is there
// at a start; a client's set of another path replaces it.
TEST(ConfigurationChassis, StoredFirPathWhoseFileIsMissingStaysStored)
{
    apptest::TempDir dir;
    const std::string root = dir.Path() + "/root";
    const std::string cfg = root + "/var/opt/zemtra/cfg";
    const std::string conf = cfg + "/zemtra-vuna.conf";
    const std::string later = "/var/opt/zemtra/mnt/fir.conf";
    const auto line = [&later](const std::string& board) { return Fir(board) + "\t0\t" + later + "\n"; };
    ASSERT_EQ(0, std::system(("mkdir -p '" + cfg + "'").c_str()));
    std::ofstream(conf) << line("raf3") << line("raf4");
    {
        qstd::CaptureScope capture;
        RunningApp run(std::string(), root);
        ASSERT_TRUE(run.WaitRunning());
        mci::ClientAccess client = run.Client();
        EXPECT_EQ(c_defaultFir, client.GetText(Fir("raf3")));
        // The configuration's (a busy machine may add one for boards late to
        // synchronise).
        std::vector<qstd::Record> alarms;
        for (const qstd::Record& r : capture.Sink().Records()) {
            if (r.kind == qstd::Record::Kind::Log && r.level <= qstd::LogWarningLevel &&
                r.text.find("Configuration") == 0) {
                alarms.push_back(r);
            }
        }
        ASSERT_EQ(2u, alarms.size());
        for (size_t i = 0; i < alarms.size(); ++i) {
            EXPECT_EQ(qstd::LogWarningLevel, alarms[i].level);
            EXPECT_NE(std::string::npos, alarms[i].text.find(Fir(i == 0 ? "raf3" : "raf4"))) << alarms[i].text;
            EXPECT_NE(std::string::npos, alarms[i].text.find(later)) << alarms[i].text;
        }
        // A store while running, then the final one.
        client.SetText("tim/pll/vcxo_offset", "18");
        ASSERT_TRUE(zvtest::WaitFor([&] { return Read(conf).find("vcxo_offset\t0\t18\n") != std::string::npos; }));
        EXPECT_NE(std::string::npos, Read(conf).find(line("raf3")));
        client.SetText(Fir("raf4"), c_defaultFir);
        ASSERT_TRUE(run.Stop());
    }
    const std::string stored = Read(conf);
    EXPECT_NE(std::string::npos, stored.find(line("raf3"))) << stored;
    EXPECT_EQ(std::string::npos, stored.find(line("raf4"))) << stored;
    EXPECT_EQ(std::string::npos, stored.find(later, stored.find(later) + 1)) << "one line names it: " << stored;
    EXPECT_EQ(0u, CountStartingWith(cfg, "zemtra-vuna.conf.damaged"));
    // The file is there at the next start.
    ASSERT_EQ(0, std::system(("mkdir -p '" + root + "/var/opt/zemtra/mnt' && cp '" + cfg + "/fircoef_sr.conf' '" +
                              root + later + "'")
                                 .c_str()));
    qstd::CaptureScope capture;
    RunningApp again(std::string(), root);
    ASSERT_TRUE(again.WaitRunning());
    EXPECT_EQ(later, again.Client().GetText(Fir("raf3")));
    EXPECT_EQ(c_defaultFir, again.Client().GetText(Fir("raf4")));
    EXPECT_EQ(1u, apptest::CountLogged(capture, "Successfully applied FIR filter coefficients - " + later + "."));
}

// A configuration file that is a symbolic link to a file in a folder of the
// user's choice: the server loads and stores the values through it, and the
// link stays. With the link's target gone the start is refused with one
// ERROR line that names the link, and the link stays as it is.
TEST(ConfigurationChassis, LinkedConfigurationFileIsFollowedOrTheStartRefused)
{
    apptest::TempDir dir;
    const std::string root = dir.Path() + "/root";
    const std::string cfg = root + "/var/opt/zemtra/cfg";
    const std::string conf = cfg + "/zemtra-vuna.conf";
    const std::string target = dir.Path() + "/kept/stored.conf";
    ASSERT_EQ(0, std::system(("mkdir -p '" + cfg + "' '" + dir.Path() + "/kept'").c_str()));
    std::ofstream(target) << "tim/pll/vcxo_offset\t0\t18\n";
    ASSERT_EQ(0, ::symlink(target.c_str(), conf.c_str()));
    {
        RunningApp run(std::string(), root);
        ASSERT_TRUE(run.WaitRunning());
        EXPECT_EQ("18", run.Client().GetText("tim/pll/vcxo_offset"));
        run.Client().SetText("tim/pll/vcxo_offset", "19");
        ASSERT_TRUE(run.Stop());
    }
    EXPECT_NE(std::string::npos, Read(target).find("tim/pll/vcxo_offset\t0\t19\n"));
    EXPECT_EQ(target, ReadLink(conf));
    EXPECT_EQ(0u, CountStartingWith(cfg, "zemtra-vuna.conf."));
    EXPECT_EQ(1u, CountStartingWith(dir.Path() + "/kept", "stored.conf"));

    ASSERT_EQ(0, ::unlink(target.c_str()));
    qstd::CaptureScope capture(true, false);
    RunningApp refused(std::string(), root);
    EXPECT_FALSE(refused.WaitRunning());
    EXPECT_FALSE(refused.Stop());
    std::vector<std::string> errors;
    std::string all;
    for (const qstd::Record& r : capture.Sink().Records()) {
        if (r.kind == qstd::Record::Kind::Log && r.level <= qstd::LogErrorLevel) {
            errors.push_back(r.text);
            all += r.text + "\n";
        }
    }
    ASSERT_EQ(1u, errors.size()) << all;
    EXPECT_NE(std::string::npos, errors[0].find(conf + " is a symbolic link to " + target)) << errors[0];
    EXPECT_EQ(target, ReadLink(conf));
    EXPECT_EQ(1u, CountStartingWith(cfg, "zemtra-vuna.conf"));
    EXPECT_EQ(0u, CountStartingWith(dir.Path() + "/kept", "stored.conf"));
}

// A client sets nodes over register words that their owners
// read-modify-write again and again while another reads them and nodes over
// the same words, and the store saves them meanwhile: every read gives a
// value written, and each node keeps the last one. Under TSan a read without
// the lock that the write holds is reported.
TEST(ConfigurationChassisConcurrency, RegisterWordsAreSetAndReadWhileTheStoreSaves)
{
    struct Setting {
        const char* path;
        const char* values[2];
    };
    const Setting settings[] = {
        {"raf3/tbt/dbg_enable", {"true", "false"}},
        {"raf3/tbt/dbg_frequency", {"1000", "2000"}},
        {"raf3/tbt/data_type", {"TDP", "DDC"}},
        {"raf3/tbt/spike_removal/window", {"20", "30"}},
        {"raf3/tbt/adc_mask", {"1", "0"}},
        {"raf3/conf/switching_source", {"External", "Internal"}},
        {"raf3/conf/tbt_div_switch_disabled", {"true", "false"}},
        {"raf3/conf/second_max_reset", {"OnTrigger", "OnRead"}},
        {"raf3/signal_processing/id", {"3", "4"}},
        {"raf3/tsm/offset", {"100", "0"}},
        {"raf3/tsm/duration", {"4096", "8192"}},
        {"raf3/interlock/gain_dependent/enabled", {"true", "false"}},
        {"gdx/fofb/axis", {"y", "x"}},
        {"gdx/house_keeping/sfp/rate", {"1", "3"}},
    };
    // Nodes that read the same words as some above.
    const char* const alsoRead[] = {"raf3/interlock/enabled", "raf3/interlock/limits/overflow/mode",
                                    "raf3/tbt/nco_frequency", "raf3/conf/switch_to_history_delay",
                                    "gdx/house_keeping/sfp/enable"};
    qstd::CaptureScope capture(true, false);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    mci::ClientAccess client = run.Client();
    const auto stores = [&capture] { return apptest::CountLoggedContaining(capture, "Configuration stored to"); };
    for (const Setting& s : settings) {
        client.SetText(s.path, s.values[1]);
    }
    const size_t storedBefore = stores();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            for (const Setting& s : settings) {
                const std::string v = client.GetText(s.path);
                EXPECT_TRUE(v == s.values[0] || v == s.values[1]) << s.path << ": " << v;
            }
            for (const char* path : alsoRead) {
                client.GetText(path);
            }
        }
    });
    // The store saves 500 ms after a change: the sets go on until it has
    // saved twice meanwhile.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    unsigned rounds = 0;
    while ((rounds < 150 || stores() < storedBefore + 2) && std::chrono::steady_clock::now() < deadline) {
        for (const Setting& s : settings) {
            client.SetText(s.path, s.values[rounds % 2]);
        }
        ++rounds;
    }
    done.store(true);
    reader.join();
    EXPECT_GE(stores(), storedBefore + 2);
    for (const Setting& s : settings) {
        EXPECT_EQ(s.values[(rounds - 1) % 2], client.GetText(s.path)) << s.path;
    }
}

} // namespace
