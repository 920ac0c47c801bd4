// The configuration step: persistent nodes stored at a clean shutdown and
// restored through the client write path at the next start; bad lines are
// logged and skipped.

#include "test_app.h"

#include "platform/mci/client_access.h"
#include "platform/qapp/create.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qapptest;

namespace {

// An array of two persistent values that records the configuration hooks.
class ArrayNode : public qreg::RegNode {
public:
    ArrayNode() : qreg::RegNode("pair", 14 | mci::enums::eArray) {}
    int OnGetValueType(const mci::Path&) const override { return qreg::eTypeUInt; }
    size_t OnGetSize(const mci::Path&) const override { return 2; }
    size_t OnGet(unsigned* buffer, size_t position, size_t count) const override
    {
        for (size_t i = 0; i < count; ++i) {
            buffer[i] = m_values[position + i];
        }
        return count;
    }
    bool OnSet(const unsigned* values, size_t position, size_t count) override
    {
        for (size_t i = 0; i < count; ++i) {
            m_values[position + i] = values[i];
            Hooks().Add("pair", "set " + std::to_string(position + i), 3);
        }
        return true;
    }
    void OnPreConfigLoad() override { Hooks().Add("pair", "pre", 3); }
    void OnPostConfigLoad() override { Hooks().Add("pair", "post", 3); }
    unsigned m_values[2] = {0, 0};
};

// Publishes "setting" (persistent, writable, refuses values above 100),
// "scratch" (writable, not persistent) and "fixed" (persistent, set by its
// owner only: clients may not write it).
class SettingFeature : public qapp::ZemtraFeature {
public:
    using qapp::ZemtraFeature::ZemtraFeature;
    void OnRegistryAdd(mci::TreeNodePtr& node) override
    {
        node->Add(qapp::MakeFncNode<unsigned>(
            "setting", 14,
            [this](unsigned& v) {
                v = m_setting;
                return true;
            },
            [this](const unsigned& v) {
                Hooks().Add("setting", "set " + std::to_string(v), GetApplicationState());
                if (v > 100) {
                    return false;
                }
                m_setting = v;
                return true;
            }));
        node->Add(BoundNode("scratch", 6, m_scratch));
        node->Add(BoundNode("fixed", 10, m_fixed));
        auto pair = std::make_shared<ArrayNode>();
        pair->SetNodeStructure(new mci::LocalNodeStructure(pair.get()));
        pair->Init();
        node->Add(pair);
    }
    unsigned m_setting = 5;
    unsigned m_scratch = 0;
    unsigned m_fixed = 3;
};

class Configuration : public ::testing::Test {
protected:
    void SetUp() override { Hooks().Clear(); }

    static void WithSettings(TestApplication& app)
    {
        app.makeBoard = [](TestApplication& a, const bmc::Board* b) -> qapp::ZemtraBoard* {
            auto* board = new TestBoard(a, b);
            if (b->GetType() == bmc::eBoardRaf) {
                qapp::Create<SettingFeature>(*board, "cfg");
            }
            return board;
        };
    }
    std::string ConfFile() const { return m_dir.Path() + "/cfg/test-app.conf"; }
    std::string ReadConf() const
    {
        std::ifstream in(ConfFile());
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir m_dir;
};

TEST_F(Configuration, StoredAtShutdownAndRestoredAtTheNextStart)
{
    {
        qstd::CaptureScope capture;
        TestApplication first;
        WithSettings(first);
        first.whileRunning = [](TestApplication& a) {
            mci::ClientAccess access(a.GetTreeNode());
            access.SetText("raf3/cfg/setting", "42");
            access.SetText("raf3/cfg/scratch", "9");
            access.SetText("raf3/cfg/pair", "11", 0);
            access.SetText("raf3/cfg/pair", "12", 1);
            a.RequestStop();
        };
        ASSERT_TRUE(RunOn(first, m_dir, Scenario({3})));
        EXPECT_TRUE(capture.Logged("No configuration file " + ConfFile() + ": first start."));
    }
    const std::string stored = ReadConf();
    EXPECT_NE(stored.find("raf3/cfg/setting\t0\t42\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("raf3/cfg/pair\t0\t11\nraf3/cfg/pair\t1\t12\n"), std::string::npos) << stored;
    EXPECT_EQ(stored.find("scratch"), std::string::npos) << stored;
    EXPECT_NE(stored.find("raf3/cfg/fixed\t0\t3\n"), std::string::npos) << stored;
    struct stat st;
    EXPECT_NE(::stat((ConfFile() + ".tmp").c_str(), &st), 0);

    Hooks().Clear();
    TestApplication second;
    WithSettings(second);
    unsigned long long value = 0;
    second.whileRunning = [&](TestApplication& a) {
        value = mci::ClientAccess(a.GetTreeNode()).GetInteger("raf3/cfg/setting");
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(second, m_dir, Scenario({3})));
    EXPECT_EQ(value, 42u);
    // Applied through the node's setter in the configuration step.
    const int set = Hooks().IndexOf("setting:set 42@3");
    ASSERT_GE(set, 0);
    EXPECT_LT(Hooks().IndexOf("raf3:OnPreConfig@3"), set);
    EXPECT_LT(set, Hooks().IndexOf("raf3:OnPostConfig@3"));
    // Both elements of the array between one pre and one post hook.
    EXPECT_EQ(Hooks().Of("pre").size(), 1u);
    const int pre = Hooks().IndexOf("pair:pre@3");
    ASSERT_GE(pre, 0);
    EXPECT_EQ(Hooks().IndexOf("pair:set 0@3"), pre + 1);
    EXPECT_EQ(Hooks().IndexOf("pair:set 1@3"), pre + 2);
    EXPECT_EQ(Hooks().IndexOf("pair:post@3"), pre + 3);
}

TEST_F(Configuration, BadLinesAreLoggedAndSkipped)
{
    ::mkdir((m_dir.Path() + "/cfg").c_str(), 0755);
    std::ofstream(ConfFile()) << "# stored values\n"
                              << "\n"
                              << "garbage\n"
                              << "raf3/cfg/missing\t0\t1\n"
                              << "raf3/cfg/scratch\t0\t1\n"
                              << "raf3/cfg/setting\tx\t1\n"
                              << "raf3/cfg/setting\t0\t500\n"
                              << "raf3/cfg/setting\t0\tlots\n"
                              << "raf3/cfg/setting\t0\t77\n";
    qstd::CaptureScope capture;
    TestApplication app;
    WithSettings(app);
    unsigned long long value = 0, scratch = 1;
    app.whileRunning = [&](TestApplication& a) {
        mci::ClientAccess access(a.GetTreeNode());
        value = access.GetInteger("raf3/cfg/setting");
        scratch = access.GetInteger("raf3/cfg/scratch");
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(scratch, 0u);
    const std::string file = ConfFile() + ":";
    EXPECT_TRUE(capture.Logged("Configuration line skipped: " + file + "3: malformed line."));
    EXPECT_TRUE(capture.Logged("Configuration line kept: " + file + "4: no node raf3/cfg/missing in this run."));
    EXPECT_TRUE(capture.Logged("Configuration line skipped: " + file + "5: node raf3/cfg/scratch is not persistent."));
    EXPECT_TRUE(capture.Logged("Configuration line skipped: " + file + "6: malformed line."));
    EXPECT_TRUE(capture.LoggedSubstring("Configuration line skipped: " + file + "7: "));
    EXPECT_TRUE(capture.LoggedSubstring("Configuration line skipped: " + file + "8: "));
    EXPECT_TRUE(capture.Logged("Configuration loaded from " + ConfFile() +
                               ": 1 values applied, 5 lines skipped, 1 lines of absent nodes kept."));
}

TEST_F(Configuration, EveryStopSignalEndsCleanlyAndStores)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        TestApplication app;
        WithSettings(app);
        app.whileRunning = [signal](TestApplication& a) {
            mci::ClientAccess(a.GetTreeNode()).SetText("raf3/cfg/setting", std::to_string(signal));
            ::raise(signal);
        };
        ASSERT_TRUE(RunOn(app, m_dir, Scenario({3}))) << signal;
        EXPECT_NE(ReadConf().find("raf3/cfg/setting\t0\t" + std::to_string(signal) + "\n"), std::string::npos)
            << signal;
    }
}

TEST_F(Configuration, UnwritableFolderIsLoggedAtStartAndFailsTheRun)
{
    // A file where the folder should be: even root cannot write there.
    std::ofstream(m_dir.Path() + "/cfg") << "not a folder\n";
    qstd::CaptureScope capture;
    TestApplication app;
    WithSettings(app);
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_TRUE(capture.Logged("Configuration directory " + m_dir.Path() +
                               "/cfg/ is not writable: Not a directory. The configuration cannot be stored."));
    EXPECT_TRUE(capture.Logged("Could not write configuration file " + ConfFile() + ".tmp: Not a directory."));
}

// Run as root, the test acts as an unprivileged user while this lives: no
// folder's mode refuses root a write. The folder given becomes that user's.
class Unprivileged {
public:
    explicit Unprivileged(const std::string& dir) : m_root(::geteuid() == 0)
    {
        m_ok = !m_root || (std::system(("chown -R 65534:65534 '" + dir + "'").c_str()) == 0 && ::setegid(65534) == 0 &&
                           ::seteuid(65534) == 0);
    }
    ~Unprivileged()
    {
        if (m_root && (::seteuid(0) != 0 || ::setegid(0) != 0)) {
            std::abort(); // later tests would run unprivileged
        }
    }
    bool Ok() const { return m_ok; }

private:
    const bool m_root;
    bool m_ok = false;
};

// A configuration file that is a symbolic link: the folder that the start
// checks is the one its values are stored in, beside the link's target, not
// the link's own.
TEST_F(Configuration, LinkedFileIsCheckedWhereItsValuesAreStored)
{
    struct Case {
        const char* what;
        mode_t linkFolder;
        mode_t targetFolder;
    };
    for (const Case& c :
         {Case{"the link's folder read-only", 0555, 0755}, Case{"the target's folder read-only", 0755, 0555}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string kept = dir.Path() + "/kept/";
        const std::string target = kept + "stored.conf";
        ASSERT_EQ(0, ::mkdir((dir.Path() + "/cfg").c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(kept.c_str(), 0755));
        std::ofstream(target) << "raf3/cfg/setting\t0\t42\n";
        ASSERT_EQ(0, ::symlink(target.c_str(), (dir.Path() + "/cfg/test-app.conf").c_str()));
        qstd::CaptureScope capture;
        TestApplication app;
        WithSettings(app);
        app.whileRunning = [](TestApplication& a) {
            mci::ClientAccess(a.GetTreeNode()).SetText("raf3/cfg/setting", "43");
            a.RequestStop();
        };
        bool ran = false;
        {
            Unprivileged unprivileged(dir.Path());
            ASSERT_TRUE(unprivileged.Ok());
            ASSERT_EQ(0, ::chmod((dir.Path() + "/cfg").c_str(), c.linkFolder));
            ASSERT_EQ(0, ::chmod(kept.c_str(), c.targetFolder));
            ran = RunOn(app, dir, Scenario({3}));
        }
        const bool storable = c.targetFolder == 0755;
        EXPECT_EQ(storable, ran);
        EXPECT_EQ(!storable, capture.LoggedSubstring(" is not writable: "));
        EXPECT_EQ(!storable,
                  capture.Logged("Configuration directory " + kept +
                                 " is not writable: Permission denied. The configuration cannot be stored."));
        std::ifstream in(target);
        std::ostringstream stored;
        stored << in.rdbuf();
        EXPECT_NE(std::string::npos, stored.str().find(storable ? "setting\t0\t43\n" : "setting\t0\t42\n"));
    }
}

TEST_F(Configuration, NotPersistingApplicationKeepsNoFile)
{
    struct Volatile : TestApplication {
        Volatile() : qapp::ZemtraApplication("test-app", false, true) {}
    } app;
    WithSettings(app);
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    struct stat st;
    EXPECT_NE(::stat(ConfFile().c_str(), &st), 0);
}

} // namespace
