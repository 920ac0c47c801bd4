// The FA block: defaults, identifier, register tree, FIR loads and the PLL
// status word.
#include "raf_fixture.h"

#include "acquisition/fast_acquisition.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

using acqtest::RafFixture;

std::string Coefficients(unsigned count, unsigned first)
{
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        text += std::to_string(first + i) + "\n";
    }
    return text;
}

std::vector<uint32_t> Values(unsigned count, unsigned first)
{
    std::vector<uint32_t> v;
    for (unsigned i = 0; i < count; ++i) {
        v.push_back(first + i);
    }
    return v;
}

class FaBlock : public ::testing::Test {
protected:
    FaBlock() : f(sim::c_typeRaf, "raf4", "4")
    {
        board = &f.Build();
        fa = board->GetFastAcquisition();
        node = qapp::MakeBranchNode("signal_processing", 0);
        fa->OnRegistryAdd(node);
    }

    uint32_t Word(size_t offset) { return fpga::Read32(f.Sim().Memory() + RafBoard::c_fa_offset, offset); }
    const sim::FaBlockModel& Model() { return *f.Sim().FaBlock(); }
    mci::ClientAccess Client() { return mci::ClientAccess(node); }

    RafFixture f;
    RafBoard* board = nullptr;
    FastAcquisition* fa = nullptr;
    mci::TreeNodePtr node;
    acqtest::Files files;
};

TEST_F(FaBlock, DefaultsIdentifierAndTree)
{
    EXPECT_EQ(10000000u, Word(FastAcquisition::c_kx));
    EXPECT_EQ(10000000u, Word(FastAcquisition::c_ky));
    EXPECT_EQ(0x4000000u, Word(FastAcquisition::c_ks));
    EXPECT_EQ(0x1DA12u, Word(0xA8));
    EXPECT_EQ(0x1B424u, Word(0xC8));
    EXPECT_EQ(1u, Word(FastAcquisition::c_unique_id)); // slot 4

    std::vector<std::string> names;
    for (const auto& child : node->GetChildren()) {
        names.push_back(child->GetName());
    }
    EXPECT_EQ((std::vector<std::string>{"filter_coefs", "pll_status", "id", "position"}), names);
    mci::ClientAccess client = Client();
    EXPECT_EQ(70u, client.GetFlags("filter_coefs"));
    EXPECT_EQ(14u, client.GetFlags("filter_coefs/fir"));
    EXPECT_EQ(78u, client.GetFlags("position/calc_mode"));
    EXPECT_EQ("/var/opt/zemtra/cfg/fircoef_sr.conf", client.GetText("filter_coefs/fir"));
    EXPECT_EQ("131071", client.GetText("filter_coefs/notch_0/numerator_0"));
    EXPECT_EQ("10000000", client.GetText("position/Kx"));

    // The validators of the coefficients and offsets.
    EXPECT_ANY_THROW(client.SetText("position/Kx", "0"));
    EXPECT_ANY_THROW(client.SetText("position/Ky", "536870912"));
    client.SetText("position/off_s", "-536870912");
    EXPECT_EQ(static_cast<uint32_t>(-536870912), Word(FastAcquisition::c_off_s));
    EXPECT_ANY_THROW(client.SetText("id", "256"));
    // A notch coefficient keeps to its 18 bits.
    EXPECT_ANY_THROW(client.SetText("filter_coefs/notch_1/denominator_1", "262144"));

    // The handles the signals subscribe to.
    EXPECT_EQ("Kx", board->NodeKx().GetTreeNode()->GetName());
    EXPECT_EQ("off_q", board->NodeOfsQ().GetTreeNode()->GetName());
    EXPECT_FALSE(board->NodeSpikeWindow()); // no TBT DSP yet
}

TEST(FaBlockSlots, IdentifierFromTheSlot)
{
    const struct {
        const char* slot;
        const char* error;
        uint32_t id;
    } cases[] = {
        {"3", nullptr, 0},
        {"6", nullptr, 3},
        {"7", "Cannot determine unique ID, based on slot number 7", 0},
        {"2", "Cannot determine unique ID, based on slot number 2", 0},
        {"x", "Error converting bmc::board slot string to integer.", 0},
    };
    for (const auto& c : cases) {
        RafFixture f(sim::c_typeRaf, "raf", c.slot);
        if (c.error == nullptr) {
            f.Build();
            EXPECT_EQ(c.id, fpga::Read32(f.Sim().Memory() + RafBoard::c_fa_offset, FastAcquisition::c_unique_id))
                << c.slot;
            continue;
        }
        try {
            RafBoard board(f.App(), f.Description());
            ADD_FAILURE() << "no exception for slot " << c.slot;
        } catch (const qstd::Exception& e) {
            EXPECT_STREQ(c.error, e.what());
        }
    }
}

TEST_F(FaBlock, OnlyAWholeValidFileReachesTheFilter)
{
    // The load word once by the constructor, once by the default file that
    // the chassis provides (5 x the FIR decimation of 2).
    const uint64_t base = Model().Loads();
    EXPECT_EQ(2u, base);
    EXPECT_EQ(10u, Model().Filter().size());

    qstd::CaptureScope capture(true, true, 1);
    const std::string good = files.File("good.conf", "# taps\n\n" + Coefficients(9, 100) + " 0x1F \n");
    EXPECT_TRUE(fa->_SetFIR(good));
    std::vector<uint32_t> applied = Values(9, 100);
    applied.push_back(31);
    EXPECT_EQ(applied, Model().Filter());
    EXPECT_EQ(base + 1, Model().Loads());
    EXPECT_TRUE(capture.Logged("Successfully applied FIR filter coefficients - " + good + "."));
    EXPECT_TRUE(capture.Traced("Reading FIR filter coefficients from file - " + good + "."));

    const std::string few = files.File("few.conf", Coefficients(9, 1));
    const std::string many = files.File("many.conf", Coefficients(11, 1));
    const std::string bad = files.File("bad.conf", Coefficients(5, 1) + "#\nnot a number\n" + Coefficients(4, 1));
    const std::string missing = files.Path() + "/missing.conf";
    // A FIFO would block the load for ever, a device or a huge file never end.
    const std::string fifo = files.Path() + "/fifo.conf";
    ASSERT_EQ(0, ::mkfifo(qapp::InstrumentPath(fifo).c_str(), 0600));
    const std::string huge = files.File("huge.conf", std::string(FastAcquisition::c_max_fir_file_bytes + 1, '1'));
    // Paths that lead out of the instrument root: "..", a relative path, a
    // link to a valid file outside the root; and a path no file can have.
    const zvtest::TempDir outside;
    const std::string target = outside.File("fir.conf", Coefficients(10, 7));
    const std::string escaping = "/../../../../../../.." + target;
    const std::string relative = good.substr(1);
    const std::string linked = files.Path() + "/linked.conf";
    ASSERT_EQ(0, ::symlink(target.c_str(), qapp::InstrumentPath(linked).c_str()));
    const std::string overlong = "/" + std::string(4096, 'a');
    const struct {
        std::string path;
        std::vector<std::string> messages;
    } refused[] = {
        {few,
         {"Number of applied FIR coefficients - 9 from file - " + few +
          " does not match required FPGA FIR decimation - 5*2"}},
        {many,
         {"Number of applied FIR coefficients - 11 from file - " + many +
          " does not match required FPGA FIR decimation - 5*2"}},
        {bad,
         {"Error processing FIR coefficient file - " + bad + ". at line - 7. - Not a number FIR coefficient.",
          "Number of applied FIR coefficients - 5 from file - " + bad +
              " does not match required FPGA FIR decimation - 5*2"}},
        {missing, {"Error opening FIR coefficient file - " + missing + ". Error: 2 - No such file or directory"}},
        {fifo, {"Error opening FIR coefficient file - " + fifo + ". Error: 22 - not a regular file"}},
        {files.Path(), {"Error opening FIR coefficient file - " + files.Path() + ". Error: 22 - not a regular file"}},
        {huge, {"Error opening FIR coefficient file - " + huge + ". Error: 27 - larger than 1048576 bytes"}},
        {escaping,
         {"Error opening FIR coefficient file - " + escaping + ". Error: 13 - leads out of the instrument root"}},
        {relative, {"Error opening FIR coefficient file - " + relative + ". Error: 22 - not an absolute path"}},
        {linked, {"Error opening FIR coefficient file - " + linked + ". Error: 2 - No such file or directory"}},
        {overlong, {"Error opening FIR coefficient file - path of 4097 characters, longer than 4095."}},
        // Control characters cannot forge a log line.
        {"/x\n0 ERROR forged\x1b",
         {"Error opening FIR coefficient file - /x\\x0a0 ERROR forged\\x1b. Error: 2 - No such file or directory"}},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(fa->_SetFIR(r.path)) << r.path;
        for (const std::string& m : r.messages) {
            EXPECT_TRUE(capture.Logged(m)) << m;
        }
        // The previous filter stays, and "fir" keeps its path.
        EXPECT_EQ(applied, Model().Filter()) << r.path;
        EXPECT_EQ(base + 1, Model().Loads()) << r.path;
        EXPECT_EQ(good, Client().GetText("filter_coefs/fir"));
    }
    // No file's text reaches the log.
    EXPECT_FALSE(capture.LoggedSubstring("not a number -"));
    // A client's write of a refused file fails.
    EXPECT_ANY_THROW(Client().SetText("filter_coefs/fir", few));
    // A bad line with the right count before it is still refused.
    const std::string late = files.File("late.conf", Coefficients(10, 1) + "x\n");
    EXPECT_FALSE(fa->_SetFIR(late));
    EXPECT_EQ(applied, Model().Filter());
}

TEST_F(FaBlock, PllStatusBitIsSetAndTheWordEmitted)
{
    std::vector<unsigned> emitted;
    mci::NotificationClient subscriber;
    subscriber.Register(node->Find("pll_status"), mci::Callback([&](const mci::NotificationData& d) {
                            emitted.push_back(boost::any_cast<unsigned>(d.value));
                        }));
    Client().SetText("pll_status", "6");
    emitted.clear();
    EXPECT_TRUE(board->SetPllStatusLocked(true));
    EXPECT_EQ(7u, Word(FastAcquisition::c_pll_status));
    EXPECT_TRUE(fa->SetPllStatusLocked(false));
    EXPECT_EQ(6u, Word(FastAcquisition::c_pll_status));
    EXPECT_EQ((std::vector<unsigned>{7, 6}), emitted);
}

using FaBlockConcurrency = FaBlock;

// Loads from two threads never mix their files.
TEST_F(FaBlockConcurrency, LoadsAreSerialised)
{
    qstd::CaptureScope quiet(false, false);
    const uint64_t base = Model().Loads();
    const std::string a = files.File("a.conf", Coefficients(10, 1000));
    const std::string b = files.File("b.conf", Coefficients(10, 2000));
    auto load = [&](const std::string& path) {
        for (int i = 0; i < 50; ++i) {
            fa->_SetFIR(path);
        }
    };
    std::thread ta(load, a);
    std::thread tb(load, b);
    ta.join();
    tb.join();
    const std::vector<uint32_t> filter = Model().Filter();
    EXPECT_TRUE(filter == Values(10, 1000) || filter == Values(10, 2000));
    EXPECT_EQ(base + 100, Model().Loads());
}

} // namespace
