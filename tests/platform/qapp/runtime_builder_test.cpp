// Register maps built from XML over an FPGA window.

#include "test_app.h"

#include "platform/mci/client_access.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_runtime_builder.h"
#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace qapptest;

namespace {

class RuntimeBuilder : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = qapp::MakeBranchNode("zqt_reg", 0);
        m_window.assign(64, 0);
    }
    void Build(const std::string& xml, unsigned size = 256)
    {
        const std::string file = m_dir.File("map.xml", xml);
        qapp::ZemtraRuntimeBuilder builder(m_root, m_window.data(), size, file, 4);
        builder.BuildRegistry();
    }
    uint32_t Word(size_t offset) const { return m_window[offset / 4]; }

    TempDir m_dir;
    mci::TreeNodePtr m_root;
    std::vector<uint32_t> m_window;
};

TEST_F(RuntimeBuilder, RegistersAndBitFieldsOverTheWindow)
{
    m_window[1] = 0xABCD0000;
    Build(R"(<registers>
               <register name="version" offset="0x4" access="ro"/>
               <branch name="status">
                 <register name="link_up" offset="0x10" bit="3" width="1" type="bool" access="ro"/>
                 <register name="mode" offset="0x10" bit="4" width="4" persistent="true"/>
               </branch>
               <register name="scratch" offset="8"/>
             </registers>)");
    mci::ClientAccess access(m_root);
    EXPECT_EQ(access.List(""), (std::vector<std::string>{"version", "status", "scratch"}));
    EXPECT_EQ(access.GetInteger("version"), 0xABCD0000ll);
    EXPECT_THROW(access.SetInteger("version", 1), qstd::Exception);
    EXPECT_EQ(access.GetFlags("version"), 2u);
    EXPECT_EQ(access.GetFlags("status/mode"), 14u);
    EXPECT_EQ(access.GetFlags("scratch"), 6u);

    m_window[4] = 0xF0000008;
    EXPECT_EQ(access.GetText("status/link_up"), "true");
    access.SetInteger("status/mode", 9);
    EXPECT_EQ(Word(0x10), 0xF0000098u);
    EXPECT_EQ(access.GetInteger("status/mode"), 9);
    // Wider than the field: refused, the word unchanged.
    EXPECT_THROW(access.SetInteger("status/mode", 16), qstd::Exception);
    EXPECT_EQ(Word(0x10), 0xF0000098u);
    access.SetInteger("scratch", 0xFFFFFFFFll);
    EXPECT_EQ(Word(8), 0xFFFFFFFFu);
}

TEST_F(RuntimeBuilder, InvalidMapsAreRefusedAndKeepWhatWasBuilt)
{
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0x100\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0x2\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"-4\"/></registers>"), qstd::Exception);
    // Offsets whose word end wraps 64 bits are outside the window too.
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0xFFFFFFFFFFFFFFFC\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0\" bit=\"30\" width=\"3\"/></registers>"),
                 qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0\" type=\"bool\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0\" access=\"wo\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><counter name=\"a\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a/b\" offset=\"0\"/></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<registers><register name=\"a\" offset=\"0\"></registers>"), qstd::Exception);
    EXPECT_THROW(Build("<map/>"), qstd::Exception);
    EXPECT_TRUE(m_root->GetChildren().empty());

    try {
        Build("<registers><register name=\"a\" offset=\"0\"/><register name=\"a\" offset=\"4\"/></registers>");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("duplicate name"), std::string::npos) << e.what();
    }
    // The first "a" stays.
    ASSERT_EQ(m_root->GetChildren().size(), 1u);
    EXPECT_EQ(m_root->GetChildren()[0]->GetName(), "a");
}

TEST_F(RuntimeBuilder, MissingFileOrWindowIsRefused)
{
    qapp::ZemtraRuntimeBuilder noFile(m_root, m_window.data(), 256, m_dir.Path() + "/none.xml", 4);
    EXPECT_THROW(noFile.BuildRegistry(), qstd::Exception);
    const std::string file = m_dir.File("map.xml", "<registers/>");
    qapp::ZemtraRuntimeBuilder noWindow(m_root, nullptr, 256, file, 4);
    EXPECT_THROW(noWindow.BuildRegistry(), qstd::Exception);
}

TEST_F(RuntimeBuilder, InstrumentPathsResolveUnderTheRoot)
{
    const std::string former = qapp::InstrumentRoot();
    ::mkdir((m_dir.Path() + "/var").c_str(), 0755);
    ::mkdir((m_dir.Path() + "/var/cfg").c_str(), 0755);
    m_dir.File("var/cfg/map.xml", "<registers><register name=\"r\" offset=\"0\"/></registers>");
    qapp::SetInstrumentRoot(m_dir.Path());
    qapp::ZemtraRuntimeBuilder builder(m_root, m_window.data(), 256, "/var/cfg/map.xml", 4);
    EXPECT_NO_THROW(builder.BuildRegistry());
    // A map outside the root, by ".." or by a link, is not read.
    const TempDir outside;
    const std::string target = outside.File("map.xml", "<registers><register name=\"s\" offset=\"0\"/></registers>");
    ASSERT_EQ(0, ::symlink(target.c_str(), (m_dir.Path() + "/var/cfg/link.xml").c_str()));
    for (const std::string& path : {std::string("/var/cfg/link.xml"), "/../../../../../.." + target}) {
        qapp::ZemtraRuntimeBuilder escaping(m_root, m_window.data(), 256, path, 4);
        EXPECT_THROW(escaping.BuildRegistry(), qstd::Exception) << path;
    }
    qapp::SetInstrumentRoot(former);
    EXPECT_EQ(builder.NodesBuilt(), 1u);
    EXPECT_FALSE(m_root->GetChild("s"));
}

using RuntimeBuilderConcurrency = RuntimeBuilder;

// Two clients set different fields of one word again and again, each reading
// its field back, while a third reads the word: no client's write is undone
// by the other's, and the bits nobody writes stay. Under TSan a read or
// read-modify-write of the word that another overlaps is reported.
TEST_F(RuntimeBuilderConcurrency, FieldsOfOneWordSetAtOnceKeepEachOther)
{
    m_window[2] = 0x80000000u;
    Build(R"(<registers>
               <register name="low" offset="8" bit="0" width="8"/>
               <register name="high" offset="8" bit="8" width="8"/>
               <register name="word" offset="8" access="ro"/>
             </registers>)");
    constexpr int c_rounds = 3000;
    std::atomic<int> lost{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (const char* field : {"low", "high"}) {
        writers.emplace_back([this, field, &lost] {
            mci::ClientAccess access(m_root);
            for (int i = 1; i <= c_rounds; ++i) {
                access.SetInteger(field, i % 256);
                lost += access.GetInteger(field) == i % 256 ? 0 : 1;
            }
        });
    }
    std::thread reader([this, &done] {
        mci::ClientAccess access(m_root);
        while (!done.load()) {
            access.GetInteger("word");
        }
    });
    for (std::thread& t : writers) {
        t.join();
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(0, lost.load());
    EXPECT_EQ(0x80000000u | (c_rounds % 256) << 8 | c_rounds % 256, Word(8));
}

} // namespace
