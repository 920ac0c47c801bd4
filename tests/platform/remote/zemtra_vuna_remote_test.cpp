// End to end: the "zemtra-vuna" server on the default simulated chassis,
// served on a loopback port and driven with zemtra-tool, then stopped with
// SIGTERM.

#include "remote_test_support.h"
#include "zemtra_vuna_server.h"

#include "sim/raf_models.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The comma-separated integers of a line of zemtra-tool's read.
std::vector<long> Fields(const std::string& line)
{
    std::vector<long> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        fields.push_back(std::stol(field));
    }
    return fields;
}

// A chassis of the timing board and one RAF board, "raf3": beam is its
// <beam> element (none: the default beam), raf3 more elements of the RAF
// board. The board's clock information is the default chassis' (the
// restart at the start-up's synchronisation needs its decimations).
std::string OneRafChassis(const std::string& beam, const std::string& raf3)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<chassis>
)" + beam + R"(
  <board type="62" name="tim" slot="1">
    <timing adc_frequency="117440043" trigger_rate="10"/>
  </board>
  <board type="175" name="raf3" slot="3">
    <register offset="0x100" value="117440043"/>
    <register offset="0x108" value="220"/>
    <register offset="0x110" value="2"/>
    <register offset="0x114" value="28"/>
    <register offset="0x118" value="1000"/>
    <register offset="0x120" value="40"/>
    <register offset="0x128" value="936"/>
    <register offset="0x300098" value="0x06000000"/>
)" + raf3 + R"(
  </board>
</chassis>
)";
}

TEST_F(ZemtraVunaRemote, OperatorSessionOnTheDefaultChassis)
{
    // The root shows the application's own nodes and the boards.
    for (const char* name : {"synchronize_lmt ", "custom ", "clock_info ", "tim ", "raf3 ", "gdx "}) {
        bool found = false;
        for (const auto& line : Lines(root.out)) {
            found = found || line.rfind(name, 0) == 0;
        }
        EXPECT_TRUE(found) << name << " missing in\n" << root.out;
    }

    const ToolResult adc = Tool({"get", "raf3.clock_info.adc_frequency"});
    ASSERT_EQ(0, adc.exitCode) << adc.err;
    EXPECT_GT(std::stod(adc.out), 0.0);

    EXPECT_EQ(0, Tool({"set", "custom", "fa_clk"}).exitCode);
    EXPECT_EQ("fa_clk\n", Tool({"get", "custom"}).out);

    ToolResult refused = Tool({"set", "raf3.clock_info.adc_frequency", "1"});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ("qreg: Node is not writable: adc_frequency\n", refused.err);
    refused = Tool({"set", "tim.pll.vcxo_offset", "30000"});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ("Value 30000 is refused by validator [-500, 500]\n", refused.err);
    // The PLL gains have no validator, but no node takes a NaN or an infinity.
    for (const char* value : {"nan", "-inf"}) {
        refused = Tool({"set", "tim.pll.pi_fine.Kp", value});
        EXPECT_EQ(1, refused.exitCode) << value;
        EXPECT_EQ(0u, refused.err.rfind("Value ", 0)) << refused.err;
    }
    EXPECT_EQ("4\n", Tool({"get", "tim.pll.pi_fine.Kp"}).out);

    // The PLL is locked once serving starts: detune it, then watch it lock again.
    auto watch = std::async(std::launch::async, [&] {
        return Tool({"watch", "tim.pll.locked", "--count", "2", "--timeout", "20"});
    });
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(0, Tool({"set", "tim.pll.vcxo_offset", "500"}).exitCode);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (Tool({"get", "tim.pll.locked"}).out != "false\n" && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(0, Tool({"set", "tim.pll.vcxo_offset", "0"}).exitCode);
    const ToolResult watched = watch.get();
    EXPECT_EQ(0, watched.exitCode) << watched.err;
    EXPECT_EQ("false\ntrue\n", watched.out);

    const ToolResult pll = Tool({"read", "tim.pll", "--count", "10"});
    ASSERT_EQ(0, pll.exitCode) << pll.err;
    const auto lines = Lines(pll.out);
    ASSERT_EQ(11u, lines.size()) << pll.out;
    EXPECT_EQ("Err,Dac,Lock,ClkGood,Freq,P,I,IsCoarse", lines[0]);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(7, std::count(lines[i].begin(), lines[i].end(), ',')) << lines[i];
    }

    // The simulated beam lies on axis: a RAF board's SA positions are 0 but
    // for the switch marker in Va's lowest bit (1 count: 2.5 nm).
    const ToolResult sa = Tool({"read", "raf3.signals.sa", "--count", "5"});
    ASSERT_EQ(0, sa.exitCode) << sa.err;
    const auto saLines = Lines(sa.out);
    ASSERT_EQ(6u, saLines.size()) << sa.out;
    EXPECT_EQ("Va,Vb,Vc,Vd,Sum,Q,X,Y,LMT_l,LMT_h,r1,r2,r3,r4,r5,status", saLines[0]);
    for (size_t i = 1; i < saLines.size(); ++i) {
        const std::vector<long> fields = Fields(saLines[i]);
        ASSERT_EQ(16u, fields.size()) << saLines[i];
        EXPECT_NEAR(1000000, fields[4], 1) << saLines[i];
        EXPECT_LE(std::labs(fields[6]), 3) << saLines[i];
        EXPECT_LE(std::labs(fields[7]), 3) << saLines[i];
    }

    // The GDX board's FA history, read ahead in mode 13: the four RAF boards'
    // samples of the same beam in slots 3 to 6.
    const ToolResult fa = Tool({"read", "gdx.signals.fa", "--count", "10"});
    ASSERT_EQ(0, fa.exitCode) << fa.err;
    const auto faLines = Lines(fa.out);
    ASSERT_EQ(11u, faLines.size()) << fa.out;
    EXPECT_EQ(0u, faLines[0].rfind("Va3,Vb3,Vc3,Vd3,Sum3,Q3,X3,Y3,LMT_l3,LMT_h3,r1_3,", 0)) << faLines[0];
    for (size_t i = 1; i < faLines.size(); ++i) {
        const std::vector<long> fields = Fields(faLines[i]);
        ASSERT_EQ(64u, fields.size()) << faLines[i];
        for (size_t slot = 0; slot < 4; ++slot) {
            EXPECT_EQ(1000000, fields[16 * slot + 1]) << faLines[i];
            EXPECT_NEAR(1000000, fields[16 * slot + 4], 1) << faLines[i];
            EXPECT_LE(std::labs(fields[16 * slot + 6]), 3) << faLines[i];
        }
    }

    EXPECT_EQ(0, Terminate());
}

// The rows of a long read through the tool that are contiguous: all of
// them when it exited 0; when it fell behind the server, which then drops
// atoms, and said so (exit 1), those before the first loss it told.
size_t ContiguousRows(const ToolResult& r, const std::string& path)
{
    if (r.exitCode == 0) {
        return SIZE_MAX;
    }
    EXPECT_EQ(1, r.exitCode) << r.err;
    const std::string after = " of " + path + " after atom ";
    const size_t at = r.err.find(after);
    EXPECT_EQ(0u, r.err.rfind("Lost ", 0)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(": the tool fell behind the server")) << r.err;
    EXPECT_NE(std::string::npos, at) << r.err;
    return at == std::string::npos ? 0 : std::stoul(r.err.substr(at + after.size()));
}

// Long reads through the tool: every atom comes, contiguous, with memory
// flat, or the tool says where it lost atoms that the server dropped while
// it fell behind (a busy machine). TDP atoms carry the switch marker in runs
// of 40 turns every 160 (the default chassis' switching), so a lost or
// repeated atom shows as a run of another length; FA atoms carry their LMT,
// one FA step apart.
TEST_F(ZemtraVunaRemote, LongReadsThroughTheToolAreContiguous)
{
    auto tdp = std::async(std::launch::async, [&] {
        return Tool({"read", "raf4.signals.tdp_synthetic", "--count", "1000000"});
    });
    auto fa = std::async(std::launch::async, [&] { return Tool({"read", "gdx.signals.fa", "--count", "100000"}); });

    const ToolResult t = tdp.get();
    const size_t tdpWhole = ContiguousRows(t, "raf4.signals.tdp_synthetic");
    std::istringstream tdpLines(t.out);
    std::string line;
    std::getline(tdpLines, line);
    EXPECT_EQ("Va,Vb,Vc,Vd,Sum,Q,X,Y", line);
    size_t rows = 0;
    size_t run = 0;
    bool marked = false;
    std::vector<std::pair<bool, size_t>> runs;
    while (std::getline(tdpLines, line)) {
        const bool m = (std::stol(line.substr(0, line.find(','))) & 1) != 0;
        if (rows > 0 && m != marked && rows < tdpWhole) {
            runs.emplace_back(marked, run);
            run = 0;
        }
        marked = m;
        ++run;
        ++rows;
    }
    EXPECT_EQ(1000000u, rows);
    if (tdpWhole == SIZE_MAX) {
        ASSERT_GT(runs.size(), 2u);
    }
    size_t wrong = 0;
    for (size_t i = 1; i < runs.size(); ++i) { // the first run may be cut
        wrong += runs[i].second != (runs[i].first ? 40u : 120u);
    }
    EXPECT_EQ(0u, wrong);

    const ToolResult f = fa.get();
    const size_t faWhole = ContiguousRows(f, "gdx.signals.fa");
    std::istringstream faLines(f.out);
    std::getline(faLines, line);
    EXPECT_EQ(0u, line.rfind("Va3,Vb3,Vc3,Vd3,Sum3,Q3,X3,Y3,LMT_l3,LMT_h3,", 0)) << line;
    rows = 0;
    wrong = 0;
    uint64_t previous = 0;
    uint64_t step = 0;
    while (std::getline(faLines, line)) {
        // LMT_l3 and LMT_h3, printed unsigned.
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 9; ++i) {
            std::getline(fields, field, ',');
        }
        const uint64_t low = std::stoull(field);
        std::getline(fields, field, ',');
        const uint64_t lmt = low | (std::stoull(field) << 32);
        wrong += low > 0xFFFFFFFFu || (rows > 1 && rows < faWhole && lmt - previous != step);
        step = rows == 1 ? lmt - previous : step;
        previous = lmt;
        ++rows;
    }
    EXPECT_EQ(100000u, rows);
    EXPECT_EQ(0u, wrong);
    if (faWhole >= 2) {
        EXPECT_EQ(220u * 2 * 28, step); // TBT x FIR x CIC decimation
    }
    EXPECT_EQ(0, Terminate());
}

// The holes in the FA rows of a read through the tool, {after how many rows,
// how many atoms}, by their LMTs (LMT_l, LMT_h: columns 9 and 10), one FA
// step apart; and the losses that the tool told of path.
std::vector<std::pair<uint64_t, uint64_t>> FaHoles(const std::string& rows, uint64_t step)
{
    std::vector<std::pair<uint64_t, uint64_t>> holes;
    const std::vector<std::string> lines = Lines(rows);
    uint64_t previous = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<long> fields = Fields(lines[i]);
        const uint64_t lmt = static_cast<uint64_t>(static_cast<uint32_t>(fields.at(8))) |
                             (static_cast<uint64_t>(static_cast<uint32_t>(fields.at(9))) << 32);
        if (i > 1 && lmt != previous + step) {
            holes.emplace_back(i - 1, (lmt - previous) / step - 1);
        }
        previous = lmt;
    }
    return holes;
}
std::vector<std::pair<uint64_t, uint64_t>> LossesTold(const std::string& err, const std::string& path)
{
    std::vector<std::pair<uint64_t, uint64_t>> losses;
    for (const std::string& line : Lines(err)) {
        unsigned long long count = 0;
        unsigned long long after = 0;
        char name[256] = {};
        if (std::sscanf(line.c_str(), "Lost %llu atoms of %255s after atom %llu: ", &count, name, &after) == 3 &&
            name == path) {
            losses.emplace_back(after, count);
        }
    }
    return losses;
}

// A server stopped for seconds (SIGSTOP, as a frozen host) keeps only the
// newest second of the atoms its devices acquired meanwhile: a read of FA
// through it reads on to its count, tells the hole exactly as the rows'
// LMTs show it, and exits 1.
TEST_F(ZemtraVunaRemote, AReadThroughAStoppedServerTellsTheAtomsItsDevicesDropped)
{
    ToolProcess tool({"--server", "127.0.0.1:" + std::to_string(port), "read", "raf3.signals.fa", "--count", "40000",
                      "--timeout", "60"});
    const bool reading = zvtest::WaitFor([&] { return Lines(tool.Out()).size() > 1000; }, 30s);
    ::kill(pid, SIGSTOP);
    std::this_thread::sleep_for(4s); // the stop, longer than the second kept
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(reading);
    const ToolResult r = tool.Wait();
    EXPECT_EQ(1, r.exitCode) << r.err;
    EXPECT_EQ(40001u, Lines(r.out).size());
    const std::vector<std::pair<uint64_t, uint64_t>> holes = FaHoles(r.out, 220u * 2 * 28);
    EXPECT_FALSE(holes.empty());
    EXPECT_EQ(holes, LossesTold(r.err, "raf3.signals.fa")) << r.err;
    EXPECT_EQ(0, Terminate());
}

// A post-mortem captured by the limits and read through the tool: the whole
// capture in mode 11 (the window that ends at the event) is the capture read
// by index in mode 10, each in two chunks.
TEST_F(ZemtraVunaRemote, PostMortemIsReadThroughTheToolInEveryOneShotMode)
{
    ASSERT_NO_FATAL_FAILURE(ArmPostMortem());
    ASSERT_NO_FATAL_FAILURE(CapturePostMortem());
    const ToolResult byIndex = Tool({"read", "raf3.postmortem.signals.ddc_raw", "--mode", "10", "--count", "65536"});
    ASSERT_EQ(0, byIndex.exitCode) << byIndex.err;
    EXPECT_EQ(65537u, Lines(byIndex.out).size());
    const ToolResult window = Tool({"read", "raf3.postmortem.signals.ddc_raw", "--mode", "11", "--count", "65536"});
    ASSERT_EQ(0, window.exitCode) << window.err;
    EXPECT_TRUE(byIndex.out == window.out);
    // A read past the capture gets the atoms up to its end, and says so.
    const ToolResult past =
        Tool({"read", "raf3.postmortem.signals.ddc_raw", "--mode", "10", "--count", "3", "--time", "65535"});
    EXPECT_EQ(1, past.exitCode);
    EXPECT_EQ(2u, Lines(past.out).size());
    EXPECT_EQ("No more atoms after 1 of 3 atoms of raf3.postmortem.signals.ddc_raw: it ends at atom 65535\n", past.err);
    EXPECT_EQ(0, Terminate());
}

// A chassis of one RAF board whose beam is noisy: no two turns are alike.
class ZemtraVunaRemoteNoisyBeam : public ZemtraVunaRemote {
protected:
    std::string Scenario() const override
    {
        return OneRafChassis(R"(  <beam x="0" y="0" intensity="4000000" noise="5000" kx="10000000" ky="10000000"
        phase="0" pattern="0 9 6 15" switching="true"/>)",
                             "");
    }

    // The rows of a read, without the header.
    static std::vector<std::string> Rows(const std::string& out)
    {
        std::vector<std::string> rows = Lines(out);
        if (!rows.empty()) {
            rows.erase(rows.begin());
        }
        return rows;
    }
};

// A post-mortem capture read through the tool as a user reads it: ahead, in
// access mode 13, more than a chunk of the capture to come; then once, in
// every mode, up to the capture's ends, which the tool names.
TEST_F(ZemtraVunaRemoteNoisyBeam, PostMortemCaptureIsReadAsAUserReadsIt)
{
    const std::string pm = "raf3.postmortem.signals.ddc_synthetic";
    ASSERT_NO_FATAL_FAILURE(ArmPostMortem());
    auto ahead = std::async(std::launch::async, [&] { return Tool({"read", pm, "--count", "40000"}); });
    std::this_thread::sleep_for(1s); // the read waits for the capture on the server
    ASSERT_NO_FATAL_FAILURE(CapturePostMortem());
    const ToolResult whole = Tool({"read", pm, "--mode", "10", "--count", "65536"});
    ASSERT_EQ(0, whole.exitCode) << whole.err;
    const std::vector<std::string> all = Rows(whole.out);
    ASSERT_EQ(65536u, all.size());
    ASSERT_NE(all[65534], all[65535]);

    // The 40000 atoms that end at the event, its atom the capture's last.
    const ToolResult read = ahead.get();
    EXPECT_EQ(0, read.exitCode) << read.err;
    EXPECT_TRUE(Rows(read.out) == std::vector<std::string>(all.end() - 40000, all.end()));

    const unsigned long long turn = 220;
    const unsigned long long event = std::stoull(Tool({"get", "raf3.postmortem.timestamp"}).out) * turn;
    const std::string ended = "No more atoms after ";
    const std::string of = " atoms of " + pm;
    // What a refusal says of the capture, up to its LMTs.
    const std::string holds = "the capture holds 65536 atoms, LMT ";
    struct Case {
        std::vector<std::string> args;
        size_t first; // number of the first atom printed
        size_t rows;
        std::string err;
        bool errStarts = false; // err is the start of the message
    };
    const std::vector<Case> cases = {
        {{"--mode", "10", "--time", "5", "--offset", "3", "--count", "2"}, 8, 2, ""},
        {{"--mode", "10", "--time", "65000", "--count", "1000"},
         65000,
         536,
         ended + "536 of 1000" + of + ": it ends at atom 65535"},
        // The event's timestamp, in turns, times the turn is an LMT nearest to
        // its atom, or half a turn after it, which rounds up (to the next atom
        // but after the last): one LMT count earlier is always nearest.
        {{"--mode", "12", "--time", std::to_string(event - 1 - 159 * turn), "--count", "160"}, 65376, 160, ""},
        {{"--mode", "12", "--time", std::to_string(event), "--count", "3"},
         65535,
         1,
         ended + "1 of 3" + of + ": it ends at atom 65535"},
        // A whole chunk up to the end: the next one, refused, is past it.
        {{"--mode", "10", "--time", "32768", "--count", "40000"},
         32768,
         32768,
         ended + "32768 of 40000" + of + ": it ends at atom 65535"},
        {{"--mode", "12", "--time", std::to_string(event - 1 - 32767 * turn), "--count", "40000"},
         32768,
         32768,
         ended + "32768 of 40000" + of + ": it ends at atom 65535"},
        // A read that starts past the end is refused, in words.
        {{"--mode", "11", "--offset", "100"},
         0,
         0,
         "qsig: Can't read signal " + pm +
             " in access mode 11: -7 (try again), the 10 atoms up to atom 65635 start past the capture's end: " + holds,
         true},
        {{"--mode", "11", "--count", "40000", "--offset", "50000"},
         0,
         0,
         "qsig: Can't read signal " + pm +
             " in access mode 11: -7 (try again), atom 115535 lies past the capture's end: " + holds,
         true},
        // The atoms of a window that runs past the end, more than a chunk.
        {{"--mode", "11", "--count", "40000", "--offset", "100"},
         25636,
         39900,
         ended + "39900 of 40000" + of + ": it ends at atom 65535"},
        {{"--mode", "10", "--time", "5", "--offset", "-6"},
         0,
         0,
         "qsig: Can't read signal " + pm + " in access mode 10: -1 (bad request), atom -1 is no atom number: " + holds,
         true},
        {{"--mode", "11", "--count", "70000", "--offset", "-1000"},
         0,
         64536,
         "Only 64536 of 70000" + of + " end there: it starts at atom 0"},
        // The same for windows of less than a chunk.
        {{"--mode", "11", "--count", "100", "--offset", "-65500"},
         0,
         36,
         "Only 36 of 100" + of + " end there: it starts at atom 0"},
        {{"--mode", "11", "--count", "1000", "--offset", "100"},
         64636,
         900,
         ended + "900 of 1000" + of + ": it ends at atom 65535"},
        {{"--count", "2", "--timeout", "0.2"},
         0,
         0,
         "Timed out after 0 of 2" + of +
             ": access mode 13 (the default) waits for new atoms, a post-mortem signal for its next capture; --mode "
             "10 or 11 reads what it holds, a capture already taken"},
        {{"--count", "70000"},
         0,
         0,
         "qsig: Can't open signal " + pm +
             ": -1 (bad request), a read ahead gets the window of a capture, which holds at most 65536 atoms "
             "(\"capacity\"): ask for at most that many, fewer by a negative offset (a positive one ends the "
             "window past the capture)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"read", pm};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = Tool(args);
        SCOPED_TRACE(args[2] + " " + args[3] + " " + (args.size() > 4 ? args[4] + " " + args[5] : ""));
        EXPECT_EQ(c.err.empty() ? 0 : 1, r.exitCode);
        EXPECT_EQ(c.err.empty() ? "" : c.err + (c.errStarts ? "" : "\n"),
                  c.errStarts ? r.err.substr(0, c.err.size()) : r.err);
        EXPECT_TRUE(Rows(r.out) == std::vector<std::string>(all.begin() + static_cast<long>(c.first),
                                                            all.begin() + static_cast<long>(c.first + c.rows)));
    }
    EXPECT_EQ(0, Terminate());
}

// One-shot reads whose callers gave up, at their time-out or at Ctrl-C,
// leave the server's places of such reads to other clients at once: eight
// reads of FA atoms 40 s ahead, then, within 2 s, a read of another client.
// The server runs with omniORB's trace of the calls it dispatches, so that
// the test interrupts the tools once the server has each of their reads.
TEST_F(ZemtraVunaRemote, ReadsGivenUpByTheirCallersFreeTheServersReadPlaces)
{
    ASSERT_EQ(0, Terminate());
    ::setenv("ORBtraceInvocations", "1", 1);
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = Start(); // false: its port was taken meanwhile
    }
    ::unsetenv("ORBtraceInvocations");
    ASSERT_TRUE(started && root.exitCode == 0) << root.err << ReadLog();
    const auto dispatchedReads = [&] {
        const std::string log = ReadLog();
        const std::string call = "Dispatching remote call 'ReadSignalCoded'";
        size_t n = 0;
        for (size_t at = log.find(call); at != std::string::npos; at = log.find(call, at + 1)) {
            ++n;
        }
        return n;
    };
    // The FA history holds atoms once the start-up has restarted it.
    ToolResult now;
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            now = Tool({"read", "gdx.signals.fa", "--mode", "11", "--count", "1"});
            return now.exitCode == 0 || now.err.find("-7 (try again)") == std::string::npos;
        },
        20s));
    ASSERT_EQ(0, now.exitCode) << now.err;
    const std::vector<long> atom = Fields(Lines(now.out).at(1));
    ASSERT_GE(atom.size(), 10u);
    const uint64_t lmt = static_cast<uint64_t>(static_cast<uint32_t>(atom[8])) | (static_cast<uint64_t>(atom[9]) << 32);
    const std::string ahead = std::to_string(lmt + 40ull * 117440043);
    const std::vector<std::string> read = {
        "--server", "127.0.0.1:" + std::to_string(port), "read", "gdx.signals.fa", "--mode", "12", "--time", ahead};
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "interrupted" : "timed out");
        const size_t dispatched = dispatchedReads();
        std::vector<std::unique_ptr<ToolProcess>> tools;
        for (int i = 0; i < 8; ++i) {
            std::vector<std::string> args = read;
            args.insert(args.end(), {"--timeout", interrupted ? "0" : "0.3"});
            tools.push_back(std::make_unique<ToolProcess>(args));
        }
        if (interrupted) {
            // Each tool has its Ctrl-C handling, and the server its read.
            for (const auto& tool : tools) {
                ASSERT_TRUE(zvtest::WaitFor([&] { return ProcessHandles(tool->Pid(), SIGINT); }, 30s));
            }
            ASSERT_TRUE(zvtest::WaitFor([&] { return dispatchedReads() >= dispatched + 8; }, 30s)) << ReadLog();
            for (const auto& tool : tools) {
                ::kill(tool->Pid(), SIGINT);
            }
        }
        for (const auto& tool : tools) {
            const ToolResult r = tool->Wait();
            EXPECT_EQ(interrupted ? 130 : 1, r.exitCode) << r.err;
        }
        ToolResult other;
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                return (other = Tool({"read", "gdx.signals.fa", "--mode", "11", "--count", "3"})).exitCode == 0;
            },
            20s))
            << other.err;
        EXPECT_EQ(4u, Lines(other.out).size());
    }
    EXPECT_EQ(0, Terminate());
}

// True when atoms are those of an RF frame of the default chassis' RAF
// boards at debug-RAM positions first on (the frame's start is known only
// modulo the TBT decimation).
bool IsRfFrame(const std::vector<uint64_t>& atoms, unsigned first)
{
    for (uint64_t n0 = 0; n0 < 220; ++n0) {
        bool matched = true;
        for (size_t k = 0; k < atoms.size() && matched; ++k) {
            matched = atoms[k] == sim::RfFrameAtom(n0, static_cast<unsigned>(first + k), 220, 936);
        }
        if (matched) {
            return true;
        }
    }
    return false;
}

// The RAF signal path seen from a client: the debug-RAM window, the
// sections of the ADC history and the precision temperatures.
TEST_F(ZemtraVunaRemote, RafSignalPathOnTheDefaultChassis)
{
    // 100 atoms from debug-RAM position 2000: each capture gives only the 48
    // atoms from 2000 to the end of the RAM, so the client's 100 atoms are
    // two whole captures and the first 4 atoms of a third.
    const ToolResult window = Tool({"read", "raf3.tbt.tbt_window", "--count", "100", "--offset", "2000"});
    ASSERT_EQ(0, window.exitCode) << window.err;
    const auto lines = Lines(window.out);
    ASSERT_EQ(101u, lines.size()) << window.out;
    EXPECT_EQ("ChannelA,ChannelB,ChannelC,ChannelD", lines[0]);
    for (size_t frame = 0; frame < 3; ++frame) {
        std::vector<uint64_t> atoms;
        for (size_t row = 1 + 48 * frame; row < std::min<size_t>(lines.size(), 1 + 48 * (frame + 1)); ++row) {
            uint64_t atom = 0;
            const std::vector<long> fields = Fields(lines[row]);
            for (size_t c = 0; c < 4 && c < fields.size(); ++c) {
                atom |= static_cast<uint64_t>(static_cast<uint16_t>(fields[c])) << (16 * c);
            }
            atoms.push_back(atom);
        }
        EXPECT_EQ(frame < 2 ? 48u : 4u, atoms.size());
        EXPECT_TRUE(IsRfFrame(atoms, 2000)) << "frame " << frame;
    }

    // A refused read says what its code means for it.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"read", "raf3.tbt.tbt_window", "--mode", "10", "--time", "5000", "--count", "1"},
         "qsig: Can't read signal raf3.tbt.tbt_window in access mode 10: -1 (bad request), atom 5000 lies past the "
         "buffer's end: the buffer holds 2048 atoms, 0 to 2047\n"},
        {{"read", "raf3.signals.ddc_raw", "--mode", "12", "--time", "1000000000000000000", "--count", "1"},
         "qsig: Can't read signal raf3.signals.ddc_raw in access mode 12: -7 (try again), the atom at LMT "
         "1000000000000000000 is not recorded yet and not due within the time-out ("},
    };
    for (const auto& r : refused) {
        const ToolResult read = Tool(r.first);
        EXPECT_EQ(1, read.exitCode);
        EXPECT_EQ(r.second, read.err.substr(0, r.second.size()));
    }

    // The ADC history is kept in sections of 8192 atoms (the default
    // chassis' acquisition duration), one per trigger. A read ends with the
    // section it starts in: from an offset near its end (read on by LMT
    // after the first chunk's moment), or from an LMT near its end, which
    // names the same atom while later sections come.
    const std::string adc = "raf3.signals.adc";
    ASSERT_TRUE(zvtest::WaitFor([&] { return Tool({"read", adc, "--mode", "11", "--count", "1"}).exitCode == 0; }));
    const ToolResult fromOffset = Tool({"read", adc, "--mode", "11", "--count", "200000", "--offset", "8000"});
    EXPECT_EQ(1, fromOffset.exitCode);
    EXPECT_EQ(1u + 192, Lines(fromOffset.out).size());
    EXPECT_EQ("No more atoms after 192 of 200000 atoms of " + adc + ": the section holds 8192 atoms\n", fromOffset.err);
    // The newest atom, the last of its section, as a read ahead of it says:
    // "... the history holds LMT A to B (atoms ...".
    const auto newest = [&] {
        const std::string err = Tool({"read", adc, "--mode", "12", "--time", "1000000000000000000"}).err;
        const size_t to = err.find(" to ", err.find("the history holds LMT "));
        return to == std::string::npos ? 0ull : std::stoull(err.substr(to + 4));
    };
    const unsigned long long last = newest();
    ASSERT_GT(last, 2u);
    const std::string from = std::to_string(last - 2);
    const ToolResult nearEnd = Tool({"read", adc, "--mode", "12", "--time", from, "--count", "10"});
    EXPECT_EQ(1, nearEnd.exitCode);
    EXPECT_EQ(1u + 3, Lines(nearEnd.out).size());
    EXPECT_EQ("No more atoms after 3 of 10 atoms of " + adc + ": the section holds 3 atoms from LMT " + from + " on\n",
              nearEnd.err);
    ASSERT_TRUE(zvtest::WaitFor([&] { return newest() > last; }));
    const ToolResult later = Tool({"read", adc, "--mode", "12", "--time", from, "--count", "10"});
    EXPECT_EQ(nearEnd.out, later.out) << later.err;

    const ToolResult pt3 = Tool({"get", "raf3.hp_temp.pt3"});
    ASSERT_EQ(0, pt3.exitCode) << pt3.err;
    EXPECT_NEAR(sim::c_ptTemperature[2], std::stod(pt3.out), 1e-3);
    const ToolResult ts1 = Tool({"get", "raf6.hp_temp.ts1"});
    ASSERT_EQ(0, ts1.exitCode) << ts1.err;
    EXPECT_NEAR(sim::c_tsTemperature[0], std::stod(ts1.out), 1e-3);

    EXPECT_EQ(0, Terminate());
}

// The first row (after the header) of rows read from sections of section
// atoms each, from the first atom of a section on, that is not the row 55
// before it in its section; rows.size() when none. The simulated ADC
// repeats every 55 atoms of consecutive LMTs: a row that breaks the cycle
// lies at another LMT than the rows before it in its section say.
size_t FirstBreak(const std::vector<std::string>& rows, size_t section)
{
    for (size_t i = 1 + 55; i < rows.size(); ++i) {
        if ((i - 1) % section >= 55 && rows[i] != rows[i - 55]) {
            return i;
        }
    }
    return rows.size();
}

// An ADC history whose sections are longer than a chunk of a read (131072
// atoms): a read of a section (mode 10) gets it whole, and ends with it; a
// reader ahead (mode 13) gets every section whole and in order; and one
// whose offset a later, shorter section does not reach is told so.
TEST_F(ZemtraVunaRemote, AdcSectionsLongerThanAChunkAreReadWhole)
{
    const std::string adc = "raf3.signals.adc";
    ASSERT_EQ(0, Tool({"set", "raf3.tsm.duration", "200000"}).exitCode);
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            return Tool({"read", adc, "--mode", "11", "--count", "1", "--offset", "199999"}).exitCode == 0;
        },
        30s));
    const ToolResult section = Tool({"read", adc, "--mode", "10", "--count", "200000"});
    EXPECT_EQ(0, section.exitCode) << section.err;
    const std::vector<std::string> sectionRows = Lines(section.out);
    EXPECT_EQ(200001u, sectionRows.size());
    EXPECT_EQ(sectionRows.size(), FirstBreak(sectionRows, 200000));
    const ToolResult past = Tool({"read", adc, "--mode", "10", "--count", "300000"});
    EXPECT_EQ(1, past.exitCode);
    EXPECT_EQ("No more atoms after 200000 of 300000 atoms of " + adc + ": the section holds 200000 atoms\n", past.err);

    const ToolResult ahead = Tool({"read", adc, "--count", "400000"});
    EXPECT_EQ(0, ahead.exitCode) << ahead.err;
    const std::vector<std::string> aheadRows = Lines(ahead.out);
    EXPECT_EQ(400001u, aheadRows.size());
    EXPECT_EQ(aheadRows.size(), FirstBreak(aheadRows, 200000));

    ToolProcess shorter({"--server", "127.0.0.1:" + std::to_string(port), "read", adc, "--offset", "150000", "--count",
                         "100000000", "--timeout", "60"});
    ASSERT_TRUE(zvtest::WaitFor([&] { return Lines(shorter.Out()).size() > 1000; }, 30s));
    ASSERT_EQ(0, Tool({"set", "raf3.tsm.duration", "100000"}).exitCode);
    const ToolResult ended = shorter.Wait();
    EXPECT_EQ(1, ended.exitCode);
    const std::vector<std::string> said = Lines(ended.err);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(0u, said.back().rfind("No more atoms after ", 0)) << ended.err;
    const std::string why =
        " of 100000000 atoms of " + adc + ": the next section holds 100000 atoms, fewer than the offset 150000";
    EXPECT_EQ(why, said.back().substr(std::min(said.back().size(), said.back().find(" of ")))) << ended.err;
    EXPECT_EQ(0, Terminate());
}

// Sections of exactly a chunk (131072 atoms) end as every other section does,
// also where a read goes on by LMT (modes 11, 12 and 14): the chunk after
// the section starts past its end. Modes 12 and 14 read from a trigger's
// LMT, as its event gives it.
TEST_F(ZemtraVunaRemote, AdcSectionsOfAWholeChunkEndAsOthersDo)
{
    const std::string adc = "raf3.signals.adc";
    ASSERT_EQ(0, Tool({"set", "raf3.tsm.duration", "131072"}).exitCode);
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            return Tool({"read", adc, "--mode", "11", "--count", "1", "--offset", "131071"}).exitCode == 0;
        },
        30s));
    const std::vector<std::string> event = Lines(Tool({"read", "raf3.signals.event", "--count", "1"}).out);
    ASSERT_EQ(2u, event.size());
    const std::string lmt = std::to_string(Fields(event[1]).at(2));
    const std::string ends =
        "No more atoms after 131072 of 181072 atoms of " + adc + ": the section holds 131072 atoms";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--mode", "11"}, ends + "\n"},
        {{"--mode", "14"}, ends + "\n"},
        {{"--mode", "12", "--time", lmt}, ends + " from LMT " + lmt + " on\n"},
        {{"--mode", "14", "--time", lmt}, ends + " from LMT " + lmt + " on\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = {"read", adc, "--count", "181072"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolResult r;
        // The trigger's section may still be written at first.
        ASSERT_TRUE(
            zvtest::WaitFor([&] { return (r = Tool(args)).err.find("-7 (try again)") == std::string::npos; }, 30s));
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(131073u, Lines(r.out).size());
    }
    EXPECT_EQ(0, Terminate());
}

// A chassis whose RAF board has a failing platinum sensor.
class ZemtraVunaRemoteFailingSensor : public ZemtraVunaRemote {
protected:
    std::string Scenario() const override
    {
        return OneRafChassis("", R"(    <fault name="temperature_failed" sensor="pt3"/>)");
    }
};

TEST_F(ZemtraVunaRemoteFailingSensor, FailingSensorFailsOnlyItsOwnRead)
{
    const ToolResult failed = Tool({"get", "raf3.hp_temp.pt3"});
    EXPECT_EQ(1, failed.exitCode) << failed.out;
    EXPECT_NE(std::string::npos, failed.err.find("pt3")) << failed.err;
    for (const char* other : {"pt2", "pt4", "ts3"}) {
        const ToolResult read = Tool({"get", std::string("raf3.hp_temp.") + other});
        EXPECT_EQ(0, read.exitCode) << other << ": " << read.err;
    }
    EXPECT_NEAR(sim::c_ptTemperature[3], std::stod(Tool({"get", "raf3.hp_temp.pt4"}).out), 1e-3);

    EXPECT_EQ(0, Terminate());
}

// The server started with a soft descriptor limit far below the hard one,
// as a login session may start it.
class ZemtraVunaRemoteLowDescriptorLimit : public ZemtraVunaRemote {
protected:
    static constexpr rlim_t c_softLimit = 128;
    void BeforeExec() const override
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(limit.rlim_max, c_softLimit);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
};

// Connections that are never used, four times that soft limit, leave the
// server descriptors to take a client's.
TEST_F(ZemtraVunaRemoteLowDescriptorLimit, UnusedConnectionsLeaveTheServiceAnswering)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 8 * c_softLimit || limit.rlim_cur < 5 * c_softLimit) {
        GTEST_SKIP() << "the descriptor limits here are too low to show it";
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    std::vector<int> unused;
    for (rlim_t i = 0; i < 4 * c_softLimit; ++i) {
        unused.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(0, ::connect(unused.back(), reinterpret_cast<sockaddr*>(&server), sizeof(server)));
    }
    const auto start = std::chrono::steady_clock::now();
    const ToolResult get = Tool({"get", "custom"});
    EXPECT_EQ(0, get.exitCode) << get.err;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(waited.count(), 3000) << "ms for a get";
    for (const int fd : unused) {
        ::close(fd);
    }
    EXPECT_EQ(0, Terminate());
}

} // namespace
