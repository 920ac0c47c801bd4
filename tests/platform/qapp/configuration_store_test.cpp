// The configuration file on its own: values parsed whole or refused, lines
// of absent nodes kept, damaged files and files that are no regular file
// kept aside, a file that is a symbolic link followed or refused, stores
// that follow changes, and failed stores reported.

#include "test_app.h"

#include "platform/mci/client_access.h"
#include "platform/qapp/configuration_store.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qreg/expression.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

using namespace qapptest;
using namespace std::chrono_literals;

namespace {

using ConfigurationStore = qapp::ConfigurationStore;

// Refuses unsigned values above a limit.
class AtMost : public qreg::Terminal {
public:
    explicit AtMost(unsigned limit) : qreg::Terminal("<"), m_limit(limit) {}
    using qreg::Terminal::OnEvaluate;
    bool OnEvaluate(const unsigned& value) const override { return value <= m_limit; }

private:
    unsigned m_limit;
};

std::string Read(const std::string& file)
{
    std::ifstream in(file);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Files in the folder whose name starts with prefix.
std::vector<std::string> FilesStartingWith(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::string(e->d_name).rfind(prefix, 0) == 0) {
                names.push_back(dir + "/" + e->d_name);
            }
        }
        ::closedir(d);
    }
    return names;
}

// The ids of the process's threads.
std::set<std::string> Threads()
{
    std::set<std::string> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                ids.insert(e->d_name);
            }
        }
        ::closedir(d);
    }
    return ids;
}

// How often the thread went to sleep: its voluntary context switches.
long Sleeps(const std::string& thread)
{
    std::ifstream in("/proc/self/task/" + thread + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::stol(line.substr(key.size()));
        }
    }
    return -1;
}

// True once the file holds the line.
bool WaitForLine(const std::string& file, const std::string& line)
{
    return zvtest::WaitFor([&] { return Read(file).find(line) != std::string::npos; });
}

// root: count (uint), gain (double), on (bool), name (string); all
// persistent and writable; locked (uint, at most 100): persistent, set by
// its owner only.
class ConfigurationStoreTest : public ::testing::Test {
protected:
    ConfigurationStoreTest() : root(qapp::MakeBranchNode("root", 0)), file(dir.Path() + "/app.conf"), store(root, file)
    {
        root->Add(BoundNode("count", 14, count));
        root->Add(BoundNode("gain", 14, gain));
        root->Add(BoundNode("on", 14, on));
        root->Add(BoundNode("name", 14, name));
        lockedNode = root->Add(BoundNode("locked", 10, locked));
        lockedNode->AsRegNode()->SetValidator(std::make_shared<AtMost>(100));
    }

    ConfigurationStore::Result Load(const std::string& text)
    {
        std::ofstream(file) << text;
        return store.Load();
    }

    TempDir dir;
    unsigned count = 1;
    double gain = 0.5;
    bool on = false;
    std::string name = "x";
    unsigned locked = 7;
    mci::TreeNodePtr root;
    mci::TreeNodePtr lockedNode;
    std::string file;
    qapp::ConfigurationStore store;
};

TEST_F(ConfigurationStoreTest, ValuesAreParsedWholeInTheirNodesType)
{
    qstd::CaptureScope capture;
    struct Case {
        const char* line;
        bool applied;
    };
    for (const Case& c : std::vector<Case>{{"count\t0\t3.5\n", false},
                                           {"count\t0\t3x\n", false},
                                           {"count\t0\t-1\n", false},
                                           {"count\t0\t 3\n", false},
                                           {"count\t0\t\n", false},
                                           {"count\t0\t4294967296\n", false},
                                           {"gain\t0\t1.5e\n", false},
                                           {"gain\t0\tnan\n", false},
                                           {"gain\t0\tinf\n", false},
                                           {"gain\t0\t-inf\n", false},
                                           {"gain\t0\t1e999\n", false},
                                           {"on\t0\tyes\n", false},
                                           {"count\t1\t3\n", false},
                                           {"count\t0\n", false},
                                           {"count\t0\t7", false}, // cut short: no newline
                                           {"count\t0\t4294967295\n", true},
                                           {"gain\t0\t-2.25\n", true},
                                           {"on\t0\ttrue\n", true},
                                           {"name\t0\twith\ttab\n", true}}) {
        count = 1;
        gain = 0.5;
        on = false;
        name = "x";
        const auto result = store.Apply(c.line, "text");
        EXPECT_EQ(c.applied ? 1u : 0u, result.applied) << c.line;
        EXPECT_EQ(c.applied ? 0u : 1u, result.skipped) << c.line;
        if (!c.applied) {
            EXPECT_EQ(1u, count) << c.line;
            EXPECT_EQ(0.5, gain) << c.line;
        }
    }
    EXPECT_EQ("with\ttab", name);
    EXPECT_TRUE(capture.Logged("Configuration line skipped: text:1: truncated line."));
}

TEST_F(ConfigurationStoreTest, LinesOfAbsentNodesAreKeptAcrossStores)
{
    qstd::CaptureScope capture;
    const auto result = Load("count\t0\t9\nraf5/att\t0\t12\nraf5/att\t1\t13\n");
    EXPECT_EQ(1u, result.applied);
    EXPECT_EQ(2u, result.kept);
    EXPECT_EQ(0u, result.skipped);
    count = 10;
    ASSERT_TRUE(store.Save());
    ASSERT_TRUE(store.Save());
    const std::string stored = Read(file);
    EXPECT_NE(std::string::npos, stored.find("count\t0\t10\n")) << stored;
    EXPECT_NE(std::string::npos, stored.find("raf5/att\t0\t12\nraf5/att\t1\t13\n")) << stored;
    EXPECT_EQ(stored.find("raf5/att\t0"), stored.rfind("raf5/att\t0")) << "written once: " << stored;
    // A file with nothing wrong in it is simply replaced.
    EXPECT_TRUE(FilesStartingWith(dir.Path(), "app.conf.damaged").empty());
    // The file's control characters stay out of the log.
    store.Apply("raf6/x\t0\t1\x1b[2J\r\n", "text");
    EXPECT_TRUE(capture.Logged("Configuration line kept: text:1: no node raf6/x in this run."));
    EXPECT_FALSE(capture.LoggedSubstring("\x1b"));
}

// A node name with a control character, a NUL too, is no absent node's: the
// line is skipped, counted and not written back, and the file is set aside.
TEST_F(ConfigurationStoreTest, NodeNamesWithControlCharactersAreMalformed)
{
    qstd::CaptureScope capture;
    const std::string text = std::string("raf5/a\0b\t0\t1\n", 13) +
                             "raf6/\x1b[2J\r\t0\t1\nraf5/\x7f\t0\t1\nco\x01unt\t0\t3\n\tunt\t0\t3\nraf5/x\t0\t2\n";
    const auto result = Load(text);
    EXPECT_EQ(5u, result.skipped);
    EXPECT_EQ(1u, result.kept);
    EXPECT_TRUE(capture.Logged("Configuration line skipped: " + file + ":1: malformed line."));
    EXPECT_FALSE(capture.LoggedSubstring("\x1b"));
    ASSERT_TRUE(store.Save());
    const std::string stored = Read(file);
    EXPECT_EQ(1u, std::count(stored.begin(), stored.end(), '/')) << stored;
    EXPECT_NE(std::string::npos, stored.find("raf5/x\t0\t2\n")) << stored;
    const auto copies = FilesStartingWith(dir.Path(), "app.conf.damaged-");
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ(text, Read(copies[0]));
}

// A value that its node refuses while holding it (a file path whose file is
// missing) loses nothing and is no damage; a refused value that the node
// does not hold is.
TEST_F(ConfigurationStoreTest, RefusedValueThatTheNodeHoldsIsNoDamage)
{
    root->Add(qapp::MakeFncNode<std::string>(
        "fir", 14,
        [](std::string& v) {
            v = "/cfg/fir.conf";
            return true;
        },
        [](const std::string&) { return false; }));
    qstd::CaptureScope capture;
    for (const bool held : {true, false}) {
        SCOPED_TRACE(held);
        for (const std::string& copy : FilesStartingWith(dir.Path(), "app.conf.damaged-")) {
            ::unlink(copy.c_str());
        }
        ConfigurationStore other(root, file);
        std::ofstream(file) << "fir\t0\t" << (held ? "/cfg/fir.conf" : "/other.conf") << "\n";
        const auto result = other.Load();
        EXPECT_EQ(held ? 1u : 0u, result.held);
        EXPECT_EQ(held ? 0u : 1u, result.skipped);
        ASSERT_TRUE(other.Save());
        EXPECT_EQ(held, other.DamagedCopy().empty());
        EXPECT_NE(std::string::npos, Read(file).find("fir\t0\t/cfg/fir.conf\n"));
    }
    EXPECT_TRUE(capture.Logged("Configuration value not applied: " + file +
                               ":1: qreg: Can't set value: setter function failed: fir (the node holds it still)."));
}

// A node whose value names a file: it takes a path to a regular file, and a
// path to nothing is a missing file.
class PathNode : public qapp::FncNode<std::string> {
public:
    explicit PathNode(std::string& value)
        : qapp::FncNode<std::string>(
              "path", 14,
              [&value](std::string& v) {
                  v = value;
                  return true;
              },
              [&value](const std::string& v) {
                  struct stat st {};
                  if (::stat(v.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                      return false;
                  }
                  value = v;
                  return true;
              })
    {
    }
    bool NamesMissingFile(const std::string& text) const override { return ::access(text.c_str(), F_OK) != 0; }
};

// A stored value that names a file missing now (on a mount not made yet) is
// no damage: it is not applied, one warning names the node and the file, and
// every store writes it in the node's place until the node is written; a
// load that finds the file applies it.
TEST_F(ConfigurationStoreTest, StoredValueNamingAMissingFileStaysUntilTheNodeIsWritten)
{
    std::string value = "/cfg/fir.conf";
    auto node = std::make_shared<PathNode>(value);
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    ASSERT_TRUE(node->Init());
    root->Add(node);
    const std::string later = dir.Path() + "/mnt/fir.conf";
    const std::string good = dir.File("good.conf", "1\n");
    const std::string line = "path\t0\t" + later + "\n";
    mci::ClientAccess access(root);
    {
        qstd::CaptureScope capture;
        const auto result = Load(line);
        EXPECT_EQ(1u, result.missing);
        EXPECT_EQ(0u, result.skipped);
        EXPECT_EQ("/cfg/fir.conf", access.GetText("path"));
        const auto records = capture.Sink().Records();
        ASSERT_EQ(1, std::count_if(records.begin(), records.end(), [&](const qstd::Record& r) {
                      return r.kind == qstd::Record::Kind::Log && r.text.find(later) != std::string::npos;
                  }));
        EXPECT_TRUE(capture.Logged("Configuration value kept: " + file + ":1: path names the missing file " + later +
                                   "; the node keeps its value, and the stored one stays until a start finds "
                                   "the file or a client sets the node."));
    }
    // Neither a store nor a refused set replaces it.
    ASSERT_TRUE(store.Save());
    EXPECT_ANY_THROW(access.SetText("path", dir.Path()));
    ASSERT_TRUE(store.Save());
    EXPECT_NE(std::string::npos, Read(file).find(line)) << Read(file);
    EXPECT_EQ(std::string::npos, Read(file).find("/cfg/fir.conf")) << Read(file);
    EXPECT_TRUE(FilesStartingWith(dir.Path(), "app.conf.damaged").empty());
    // A later line of the element is applied over it.
    store.Apply(line + "path\t0\t" + good + "\n", "text");
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(std::string::npos, Read(file).find(later)) << Read(file);
    // A client's set replaces it.
    store.Apply(line, "text");
    access.SetText("path", good);
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(std::string::npos, Read(file).find(later)) << Read(file);
    // Once the file is there, a load applies it.
    ASSERT_EQ(0, ::mkdir((dir.Path() + "/mnt").c_str(), 0755));
    dir.File("mnt/fir.conf", "2\n");
    const auto result = Load(line);
    EXPECT_EQ(1u, result.applied);
    EXPECT_EQ(0u, result.missing);
    EXPECT_EQ(later, access.GetText("path"));
}

TEST_F(ConfigurationStoreTest, DamagedFileIsKeptAsideBeforeTheFirstStore)
{
    qstd::CaptureScope capture;
    const std::string damaged = "count\t0\t5\n\x01\x02garbage\nnot a line\n";
    const auto result = Load(damaged);
    EXPECT_EQ(1u, result.applied);
    EXPECT_EQ(2u, result.skipped);
    ASSERT_TRUE(store.Save());
    const auto copies = FilesStartingWith(dir.Path(), "app.conf.damaged-");
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ(copies[0], store.DamagedCopy());
    EXPECT_EQ(damaged, Read(copies[0]));
    EXPECT_TRUE(capture.Logged("Configuration file " + file + " held lines that could not be applied: kept aside as " +
                               copies[0] + "."));
    EXPECT_NE(std::string::npos, Read(file).find("count\t0\t5\n"));
    // Only the damaged file is kept, not every later one.
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(1u, FilesStartingWith(dir.Path(), "app.conf.damaged-").size());
}

// Three huge values make a file far larger than any the store writes: each
// costs its own line only.
TEST_F(ConfigurationStoreTest, HugeLinesCostOnlyThemselves)
{
    qstd::CaptureScope capture;
    const std::string huge(8u << 20, 'p');
    const auto result =
        Load("name\t0\t/" + huge + "\ncount\t0\t18\nname\t0\t/" + huge + "\nraf5/x\t0\t/" + huge + "\ngain\t0\t2.5\n");
    EXPECT_EQ(2u, result.applied);
    EXPECT_EQ(3u, result.skipped);
    EXPECT_EQ(18u, count);
    EXPECT_EQ(2.5, gain);
    EXPECT_EQ("x", name);
    EXPECT_TRUE(capture.Logged("Configuration line skipped: " + file + ":3: line longer than 65536 bytes."));
    EXPECT_FALSE(capture.LoggedSubstring("ppp"));
}

// Very many lines skipped or kept cost the log a bounded number of messages.
TEST_F(ConfigurationStoreTest, VeryManyLinesSkippedOrKeptAreCountedNotEachLogged)
{
    qstd::CaptureScope capture;
    std::string text;
    for (int i = 0; i < 150; ++i) {
        text += "bad\nraf5/x\t" + std::to_string(i) + "\t1\n";
    }
    const auto result = store.Apply(text, "text");
    EXPECT_EQ(150u, result.skipped);
    EXPECT_EQ(150u, result.kept);
    const auto texts = capture.Sink().Texts(qstd::Record::Kind::Log);
    EXPECT_EQ(static_cast<std::ptrdiff_t>(ConfigurationStore::c_maxLineMessages),
              std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.rfind("Configuration line ", 0) == 0; }));
    EXPECT_TRUE(capture.Logged("Configuration file text: 200 further lines skipped or kept without a message."));
}

// The same damage at every start keeps one copy; different damage keeps the
// latest copies only.
TEST_F(ConfigurationStoreTest, DamagedCopiesAreFewAndNotRepeated)
{
    qstd::CaptureScope capture;
    auto damage = [&](const std::string& text) {
        ConfigurationStore other(root, file);
        std::ofstream(file) << text;
        other.Load();
        EXPECT_TRUE(other.Save());
        return FilesStartingWith(dir.Path(), "app.conf.damaged-");
    };
    EXPECT_EQ(1u, damage("bad 1\n").size());
    EXPECT_EQ(1u, damage("bad 1\n").size());
    for (int i = 2; i <= 5; ++i) {
        damage("bad " + std::to_string(i) + "\n");
    }
    std::vector<std::string> kept;
    for (const std::string& copy : FilesStartingWith(dir.Path(), "app.conf.damaged-")) {
        kept.push_back(Read(copy));
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ((std::vector<std::string>{"bad 3\n", "bad 4\n", "bad 5\n"}), kept);
}

TEST_F(ConfigurationStoreTest, WhatIsNoRegularFileIsRefusedWithoutBlocking)
{
    for (const bool fifo : {false, true}) {
        ::unlink(file.c_str());
        ::rmdir(file.c_str());
        ASSERT_EQ(0, fifo ? ::mkfifo(file.c_str(), 0644) : ::mkdir(file.c_str(), 0755));
        ConfigurationStore other(root, file);
        qstd::CaptureScope capture;
        auto loading = std::async(std::launch::async, [&] { return other.Load(); });
        ASSERT_EQ(std::future_status::ready, loading.wait_for(5s)) << "a FIFO blocks the start";
        EXPECT_EQ(0u, loading.get().applied);
        EXPECT_TRUE(capture.Logged("Configuration file " + file + " not loaded: not a regular file."));
        // The first store moves it aside and writes a regular file.
        ASSERT_TRUE(other.Save());
        struct stat st {};
        ASSERT_EQ(0, ::stat(file.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        const std::string copy = other.DamagedCopy();
        ASSERT_EQ(0, ::stat(copy.c_str(), &st));
        EXPECT_EQ(fifo, S_ISFIFO(st.st_mode));
        ::unlink(copy.c_str());
        ::rmdir(copy.c_str());
    }
}

// A configuration file that is a symbolic link to a regular file, in a
// folder of the user's choice, named absolutely or relatively: the values
// are loaded from the target and stored into it, the link stays as it was,
// and a damaged target is kept aside beside it.
TEST_F(ConfigurationStoreTest, LinkToAFileIsLoadedAndStoredThroughTheLink)
{
    const std::string elsewhere = dir.Path() + "/elsewhere";
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0755));
    const std::string target = elsewhere + "/kept.conf";
    for (const std::string& link : {target, std::string("elsewhere/kept.conf")}) {
        SCOPED_TRACE(link);
        for (const std::string& copy : FilesStartingWith(elsewhere, "kept.conf.damaged-")) {
            ::unlink(copy.c_str());
        }
        std::ofstream(target) << "count\t0\t5\nnot a line\n";
        ::unlink(file.c_str());
        ASSERT_EQ(0, ::symlink(link.c_str(), file.c_str()));
        ConfigurationStore other(root, file);
        qstd::CaptureScope capture;
        const auto result = other.Load();
        EXPECT_EQ(1u, result.applied);
        EXPECT_EQ(1u, result.skipped);
        EXPECT_EQ(5u, count);
        count = 6;
        ASSERT_TRUE(other.Save());
        char text[256] = {};
        ASSERT_LT(0, ::readlink(file.c_str(), text, sizeof(text) - 1));
        EXPECT_EQ(link, text);
        EXPECT_NE(std::string::npos, Read(target).find("count\t0\t6\n"));
        const auto copies = FilesStartingWith(elsewhere, "kept.conf.damaged-");
        ASSERT_EQ(1u, copies.size());
        EXPECT_EQ("count\t0\t5\nnot a line\n", Read(copies[0]));
        EXPECT_EQ(1u, FilesStartingWith(dir.Path(), "app.conf").size()) << "only the link";
        EXPECT_EQ(2u, FilesStartingWith(elsewhere, "kept.conf").size()) << "the target and its copy";
        EXPECT_FALSE(capture.LoggedSubstring("not loaded"));
    }
}

// A link that leads to nothing, to no regular file or round in a loop: the
// load is refused with one message that names the link (a FIFO is not
// opened), and no store replaces the link or writes through it.
TEST_F(ConfigurationStoreTest, LinkToNothingOrToNoRegularFileIsRefused)
{
    const std::string missing = dir.Path() + "/missing.conf";
    const std::string folder = dir.Path() + "/folder";
    const std::string fifo = dir.Path() + "/fifo";
    const std::string loop = dir.Path() + "/loop";
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, ::symlink(loop.c_str(), loop.c_str()));
    struct Case {
        std::string target;
        std::string why;
    };
    for (const Case& c : {Case{missing, "which does not exist"}, Case{folder, "which is not a regular file"},
                          Case{fifo, "which is not a regular file"},
                          Case{loop, "which cannot be reached: Too many levels of symbolic links"}}) {
        SCOPED_TRACE(c.target);
        ::unlink(file.c_str());
        ASSERT_EQ(0, ::symlink(c.target.c_str(), file.c_str()));
        ConfigurationStore other(root, file);
        qstd::CaptureScope capture;
        auto loading = std::async(std::launch::async, [&] { other.Load(); });
        ASSERT_EQ(std::future_status::ready, loading.wait_for(5s)) << "a FIFO blocks the start";
        const std::string refusal = "Configuration file " + file + " is a symbolic link to " + c.target + ", " + c.why;
        try {
            loading.get();
            ADD_FAILURE() << "loaded";
        } catch (const qstd::Exception& e) {
            EXPECT_EQ(0u, std::string(e.what()).rfind(refusal, 0)) << e.what();
            EXPECT_EQ(std::string::npos, std::string(e.what()).find('\n')) << e.what();
        }
        EXPECT_FALSE(other.Save());
        EXPECT_TRUE(capture.LoggedSubstring(refusal));
        char text[256] = {};
        ASSERT_LT(0, ::readlink(file.c_str(), text, sizeof(text) - 1));
        EXPECT_EQ(c.target, text);
        EXPECT_EQ(1u, FilesStartingWith(dir.Path(), "app.conf").size()) << "the link only";
        struct stat st {};
        EXPECT_NE(0, ::stat(missing.c_str(), &st)) << "nothing written through the link";
    }
}

TEST_F(ConfigurationStoreTest, FailedStoreReportsTheReasonAndKeepsTheFormerFile)
{
    Load("count\t0\t5\n");
    ASSERT_TRUE(store.Save());
    const std::string former = Read(file);
    // A folder in the place of the temporary file makes the write fail.
    ASSERT_EQ(0, ::mkdir((file + ".tmp").c_str(), 0755));
    qstd::CaptureScope capture;
    count = 6;
    EXPECT_FALSE(store.Save());
    EXPECT_TRUE(capture.Logged("Could not write configuration file " + file + ".tmp: Is a directory."));
    EXPECT_EQ(former, Read(file));
    ::rmdir((file + ".tmp").c_str());
}

// A stale FIFO or link in the temporary file's place neither blocks the
// store (the final one of a stopping server) nor is written through.
TEST_F(ConfigurationStoreTest, StaleTemporaryFileNeitherBlocksNorRedirectsTheStore)
{
    const std::string temporary = file + ".tmp";
    const std::string victim = dir.Path() + "/victim";
    for (const bool fifo : {true, false}) {
        std::ofstream(victim) << "untouched\n";
        ASSERT_EQ(0, fifo ? ::mkfifo(temporary.c_str(), 0644) : ::symlink(victim.c_str(), temporary.c_str()));
        count = fifo ? 6 : 7;
        auto saving = std::async(std::launch::async, [&] { return store.Save(); });
        int reader = -1;
        if (saving.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "the store waits for a reader of the FIFO";
            reader = ::open(temporary.c_str(), O_RDONLY | O_NONBLOCK); // lets it go on
        }
        EXPECT_TRUE(saving.get()) << fifo;
        if (reader >= 0) {
            ::close(reader);
        }
        EXPECT_NE(std::string::npos, Read(file).find("count\t0\t" + std::to_string(count) + "\n")) << fifo;
        EXPECT_EQ("untouched\n", Read(victim)) << fifo;
        ::unlink(temporary.c_str());
    }
}

TEST_F(ConfigurationStoreTest, ChangesAreStoredShortlyAndCoalesced)
{
    qstd::CaptureScope capture;
    store.WatchChanges(100ms);
    mci::ClientAccess access(root);
    for (unsigned v = 20; v < 30; ++v) {
        access.SetText("count", std::to_string(v));
    }
    auto stored = [&] {
        size_t n = 0;
        for (const auto& line : capture.Sink().Texts(qstd::Record::Kind::Log)) {
            n += line.find("Configuration stored to " + file) != std::string::npos ? 1 : 0;
        }
        return n;
    };
    EXPECT_TRUE(WaitForLine(file, "count\t0\t29\n"));
    // The store reports itself once the file is in place.
    zvtest::WaitFor([&] { return stored() >= 1; });
    // A window in which a further store would show.
    std::this_thread::sleep_for(300ms);
    store.StopWatching();
    const size_t stores = stored();
    EXPECT_GE(stores, 1u);
    EXPECT_LE(stores, 2u) << "ten changes in a row make one store";
    // Once watching stopped, nothing is stored any more.
    access.SetText("count", "31");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(std::string::npos, Read(file).find("count\t0\t31\n"));
}

// Changes within the delay join one store and wake its thread once, not
// once each.
TEST_F(ConfigurationStoreTest, ChangesWithinTheDelayWakeTheStoreOnce)
{
    // A sanitizer's runtime starts a thread of its own with the first one.
    std::thread([] {}).join();
    const std::set<std::string> before = Threads();
    store.WatchChanges(10s);
    std::vector<std::string> started;
    for (const std::string& id : Threads()) {
        if (before.count(id) == 0) {
            started.push_back(id);
        }
    }
    ASSERT_EQ(1u, started.size());
    mci::ClientAccess access(root);
    access.SetText("count", "2");
    std::this_thread::sleep_for(50ms);
    const long first = Sleeps(started[0]);
    // Changes a client makes one by one, each while the store thread waits.
    for (unsigned v = 0; v < 100; ++v) {
        access.SetText("count", std::to_string(v));
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(50ms);
    const long wakes = Sleeps(started[0]) - first;
    store.StopWatching();
    ASSERT_GE(first, 0);
    EXPECT_LT(wakes, 5);
}

// A persistent value that clients may not write is stored and loaded back
// through its owner's setter; its validator still refuses a bad stored
// value, and clients still cannot write it.
TEST_F(ConfigurationStoreTest, ValueClientsMayNotWriteIsStoredAndLoaded)
{
    ASSERT_TRUE(store.Save());
    EXPECT_NE(std::string::npos, Read(file).find("locked\t0\t7\n")) << Read(file);
    qstd::CaptureScope capture;
    locked = 1;
    auto result = store.Load();
    EXPECT_EQ(7u, locked);
    EXPECT_EQ(0u, result.skipped);
    result = store.Apply("locked\t0\t101\n", "text");
    EXPECT_EQ(1u, result.skipped);
    EXPECT_EQ(7u, locked);
    EXPECT_TRUE(capture.Logged("Configuration line skipped: text:1: Value 101 is refused by validator <"));

    EXPECT_THROW(mci::ClientAccess(root).SetText("locked", "9"), qstd::Exception);
    EXPECT_EQ(7u, locked);
}

using ConfigurationStoreConcurrency = ConfigurationStoreTest;

// Its owner's changes of such a value are stored as they come.
TEST_F(ConfigurationStoreConcurrency, OwnerChangeOfValueClientsMayNotWriteIsStored)
{
    qstd::CaptureScope capture;
    store.WatchChanges(10ms);
    ASSERT_TRUE(mci::Node(lockedNode, mci::c_noRelPath).SetValue(8u, 0));
    EXPECT_TRUE(WaitForLine(file, "locked\t0\t8\n"));
    store.StopWatching();
}

} // namespace
