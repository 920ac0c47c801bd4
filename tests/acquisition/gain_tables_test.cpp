// The gain controller's table files: the attenuator table's lines, limits,
// runs and end rows, and the compensation table's block, its checks and its
// replacement by rename.
#include "acquisition/gain_tables.h"

#include "platform/qstd/capture.h"
#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const c_name = "gain3.conf";

struct AttCase {
    const char* what;
    std::string text;
    bool ok;
    std::string trace; // the level-1 trace of a refused or cut-short file
};

std::string Rows(int from, int to, int att = 10, const char* hysteresis = "0.5")
{
    std::ostringstream os;
    for (int p = from; p <= to; ++p) {
        os << p << " " << att << " " << hysteresis << "\n";
    }
    return os.str();
}

tAttLevel Row(const AttTable& t, int dBm)
{
    return t[static_cast<size_t>(dBm + 100)];
}

TEST(AttenuatorTable, LinesAreTakenOrRefusedWithTheirMessages)
{
    const std::vector<AttCase> cases = {
        {"single 0 dBm row", "0 31 0.5\n", true, ""},
        {"comments and blanks count", "# c\n\n   \n0 1 2.0\n", false,
         "gain3.conf: hysteresis in line 4 outside limits, aborting file read..."},
        {"two fields", "0 31\n", false, "gain3.conf: error in line 1, aborting file read..."},
        {"attenuator 32", "0 32 0.5\n", false,
         "gain3.conf: attenuator value in line 1 outside limits, aborting file read..."},
        {"negative attenuator", "0 -1 0.5\n", false,
         "gain3.conf: attenuator value in line 1 outside limits, aborting file read..."},
        {"31 dBm", "31 1 0.5\n", false, "gain3.conf: power level in line 1 outside limits, aborting file read..."},
        {"overflowing power", "99999999999999999999 1 0.5\n", false,
         "gain3.conf: power level in line 1 outside limits, aborting file read..."},
        {"overflowing attenuator", "0 4294967297 0.5\n", false,
         "gain3.conf: attenuator value in line 1 outside limits, aborting file read..."},
        {"hysteresis 1.5", "0 1 1.5\n", false,
         "gain3.conf: hysteresis in line 1 outside limits, aborting file read..."},
        {"hysteresis -0.1", "0 1 -0.1\n", false,
         "gain3.conf: hysteresis in line 1 outside limits, aborting file read..."},
        {"hysteresis nan", "0 1 nan\n", false,
         "gain3.conf: hysteresis in line 1 outside limits, aborting file read..."},
        {"hysteresis inf", "0 1 inf\n", false,
         "gain3.conf: hysteresis in line 1 outside limits, aborting file read..."},
        {"no 0 dBm", Rows(1, 30), false, "gain3.conf: missing entry for power level 0 dBm..."},
        {"empty file", "", false, "gain3.conf: missing entry for power level 0 dBm..."},
        {"gap", "-10 1 0.5\n-8 1 0.5\n0 1 0.5\n", false, "gain3.conf: missing entry for power level -9 dBm..."},
        {"bad line cuts the run", "0 20 0.5\n1 19 0.5\n2 99 0.5\n", true,
         "gain3.conf: attenuator value in line 3 outside limits, aborting file read..."},
        {"bad first line", "x 1 0.5\n0 1 0.5\n", false, "gain3.conf: missing entry for power level 0 dBm..."},
        {"trailing text and CR", "0 7 0.25 dB\r\n", true, ""},
        {"NUL ends the line", std::string("0 7\0 0.25\n", 10), false,
         "gain3.conf: error in line 1, aborting file read..."},
    };
    for (const AttCase& c : cases) {
        SCOPED_TRACE(c.what);
        AttTable table;
        for (tAttLevel& r : table) {
            r = {3, 0.125};
        }
        const AttTable before = table;
        qstd::CaptureScope capture(false, true, 1);
        EXPECT_EQ(c.ok, ParseAttTable(c.text, c_name, table));
        if (!c.trace.empty()) {
            EXPECT_TRUE(capture.Traced(c.trace));
        } else {
            EXPECT_TRUE(capture.Sink().Records().empty());
        }
        if (!c.ok) {
            EXPECT_EQ(0, std::memcmp(&before, &table, sizeof table));
        }
    }
}

TEST(AttenuatorTable, LevelsOutsideTheRunTakeTheEndRows)
{
    AttTable table;
    ASSERT_TRUE(ParseAttTable("0 31 0.5\n", c_name, table));
    for (int p : {-100, 0, 30}) {
        EXPECT_EQ(31u, Row(table, p).att);
        EXPECT_EQ(0.5, Row(table, p).hysteresis);
    }

    std::string text = Rows(-10, 5, 4);
    text += "-3 9 0.75\n"; // a later line replaces an earlier one
    ASSERT_TRUE(ParseAttTable(text, c_name, table));
    EXPECT_EQ(4u, Row(table, -100).att);
    EXPECT_EQ(4u, Row(table, 30).att);
    EXPECT_EQ(9u, Row(table, -3).att);
    EXPECT_EQ(0.75, Row(table, -3).hysteresis);

    ASSERT_TRUE(ParseAttTable("0 20 0.5\n1 19 0.5\n2 99 0.5\n", c_name, table));
    EXPECT_EQ(20u, Row(table, -50).att);
    EXPECT_EQ(19u, Row(table, 1).att);
    EXPECT_EQ(19u, Row(table, 30).att);
}

TEST(AttenuatorTable, FileThatCannotBeOpenedOrIsNoRegularFile)
{
    const zvtest::TempDir temp;
    const std::string& dir = temp.Path();
    const std::string fifo = dir + "/gain3.conf";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    for (const std::string& path : {std::string("/nonexistent/gain3.conf"), fifo, dir}) {
        AttTable table;
        qstd::CaptureScope capture(false, true, 1);
        EXPECT_FALSE(ReadAttTableFile(path, table));
        EXPECT_TRUE(capture.Traced("Error opening gain scheme file " + path + ".")) << path;
    }
    // A link under the name may lead to a table of its own folder, not out of it.
    ASSERT_EQ(0, ::mkdir((dir + "/cfg").c_str(), 0755));
    temp.File("outside.conf", "0 12 0.5\n");
    temp.File("cfg/table.conf", "0 12 0.5\n");
    ASSERT_EQ(0, ::symlink("table.conf", (dir + "/cfg/gain3.conf").c_str()));
    ASSERT_EQ(0, ::symlink("../outside.conf", (dir + "/cfg/gain4.conf").c_str()));
    AttTable table;
    EXPECT_TRUE(ReadAttTableFile(dir + "/cfg/gain3.conf", table));
    EXPECT_FALSE(ReadAttTableFile(dir + "/cfg/gain4.conf", table));
}

class CompensationFile : public ::testing::Test {
protected:
    CompensationFile() : m_dir(m_temp.Path()), path(m_dir + "/lastgood3.dat") {}
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        DIR* d = opendir(m_dir.c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        if (d) {
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // A distinct table: gains 1 + row / 1000 + k / 100000, phases -k / 100.
    static std::unique_ptr<CompTable> Sample()
    {
        std::unique_ptr<CompTable> t(new CompTable);
        for (unsigned row = 0; row < c_powerLevels; ++row) {
            for (unsigned k = 0; k < 16; ++k) {
                (*t)[row].gain[k / 4][k % 4] = 1.0 + row / 1000.0 + k / 100000.0;
                (*t)[row].phase[k / 4][k % 4] = -static_cast<double>(k) / 100.0;
            }
        }
        return t;
    }
    void WriteBytes(const std::vector<unsigned char>& bytes)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const zvtest::TempDir m_temp;
    const std::string m_dir;
    std::string path;
};

TEST_F(CompensationFile, StoredTableIsReadBackExactly)
{
    auto sample = Sample();
    ASSERT_TRUE(WriteCompTableFile(path, *sample));
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(33536, static_cast<long>(in.tellg()));
    EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));

    std::unique_ptr<CompTable> table(new CompTable);
    InitCompTable(*table);
    ASSERT_TRUE(ReadCompTableFile(path, *table));
    EXPECT_EQ(0, std::memcmp(sample.get(), table.get(), sizeof(CompTable)));

    // The file form is the little-endian doubles of the rows in order.
    std::vector<unsigned char> bytes(c_compTableBytes);
    EncodeCompTable(*sample, bytes.data());
    const double firstGain = (*sample)[0].gain[0][0];
    uint64_t bits;
    std::memcpy(&bits, &firstGain, sizeof bits);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(bits >> (8 * i)), bytes[i]);
    }
}

TEST_F(CompensationFile, ShortOrInvalidFilesAreRefusedWhole)
{
    auto sample = Sample();
    std::vector<unsigned char> bytes(c_compTableBytes);
    EncodeCompTable(*sample, bytes.data());

    struct Case {
        const char* what;
        size_t offset; // of the double to spoil, or the cut length
        double value;
        bool cut;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c :
         {Case{"33535 bytes", c_compTableBytes - 1, 0, true}, Case{"empty", 0, 0, true},
          Case{"NaN gain", 8 * 5, nan, false}, Case{"zero gain", 256 * 130, 0.0, false},
          Case{"negative gain", 256 * 7 + 8 * 15, -1.0, false}, Case{"infinite phase", 256 * 3 + 128, inf, false}}) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> spoilt = bytes;
        if (c.cut) {
            spoilt.resize(c.offset);
        } else {
            uint64_t b;
            std::memcpy(&b, &c.value, sizeof b);
            for (unsigned i = 0; i < 8; ++i) {
                spoilt[c.offset + i] = static_cast<unsigned char>(b >> (8 * i));
            }
        }
        WriteBytes(spoilt);
        std::unique_ptr<CompTable> table(new CompTable);
        InitCompTable(*table);
        const CompTable before = *table;
        EXPECT_FALSE(ReadCompTableFile(path, *table));
        EXPECT_EQ(0, std::memcmp(&before, table.get(), sizeof(CompTable)));
    }

    // Extra bytes after the block are not read.
    bytes.push_back(0xFF);
    WriteBytes(bytes);
    std::unique_ptr<CompTable> table(new CompTable);
    EXPECT_TRUE(ReadCompTableFile(path, *table));
    EXPECT_FALSE(ReadCompTableFile(m_dir + "/missing.dat", *table));
}

TEST_F(CompensationFile, ReplacementIsWholeOrNothing)
{
    auto first = Sample();
    auto second = Sample();
    (*second)[42].gain[2][1] = 1.875;
    std::vector<unsigned char> firstBytes(c_compTableBytes);
    EncodeCompTable(*first, firstBytes.data());
    ASSERT_TRUE(WriteCompTableFile(path, *first));

    // A reader of the old file keeps all of it: the new table is a new file.
    std::ifstream reader(path, std::ios::binary);
    ASSERT_TRUE(WriteCompTableFile(path, *second));
    std::vector<unsigned char> seen(c_compTableBytes + 1);
    reader.read(reinterpret_cast<char*>(seen.data()), static_cast<std::streamsize>(seen.size()));
    ASSERT_EQ(static_cast<std::streamsize>(c_compTableBytes), reader.gcount());
    seen.resize(c_compTableBytes);
    EXPECT_EQ(firstBytes, seen);
    std::unique_ptr<CompTable> table(new CompTable);
    ASSERT_TRUE(ReadCompTableFile(path, *table));
    EXPECT_EQ(1.875, (*table)[42].gain[2][1]);

    // A write cut short (here by the file size limit) leaves the file as it
    // was, and no temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
    rlimit small = limit;
    small.rlim_cur = 1000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const bool written = WriteCompTableFile(path, *first);
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_FALSE(written);
    ASSERT_TRUE(ReadCompTableFile(path, *table));
    EXPECT_EQ(1.875, (*table)[42].gain[2][1]);
    EXPECT_EQ(std::vector<std::string>{"lastgood3.dat"}, Entries());
}

TEST_F(CompensationFile, NamesThatOthersMayHoldAreNeitherFollowedNorWaitedOn)
{
    // A link planted under a predictable temporary name is not written
    // through.
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, symlink(victim.c_str(), (path + ".tmp").c_str()));
    ASSERT_TRUE(WriteCompTableFile(path, *Sample()));
    std::ifstream in(victim);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ("keep", text);

    // A FIFO under the name is refused at once, a link out of the folder
    // is not followed.
    std::remove(path.c_str());
    ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
    std::unique_ptr<CompTable> table(new CompTable);
    EXPECT_FALSE(ReadCompTableFile(path, *table));
    const zvtest::TempDir other;
    ASSERT_TRUE(WriteCompTableFile(other.Path() + "/lastgood3.dat", *Sample()));
    std::remove(path.c_str());
    ASSERT_EQ(0, symlink((other.Path() + "/lastgood3.dat").c_str(), path.c_str()));
    EXPECT_FALSE(ReadCompTableFile(path, *table));
}

} // namespace
