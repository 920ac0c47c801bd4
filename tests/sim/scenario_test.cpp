#include "sim/scenario.h"

#include "platform/qstd/exception.h"
#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>

namespace {

std::string RepoPath(const std::string& relative)
{
    return std::string(ZV_SOURCE_DIR) + "/" + relative;
}

// Parses xml and returns the message of the exception it must raise.
std::string ParseError(const std::string& xml)
{
    try {
        sim::Scenario::Parse(xml, "test.xml");
    } catch (const qstd::Exception& e) {
        return e.what();
    }
    return "<no exception>";
}

std::string OneBoard(const std::string& attrs, const std::string& body = "")
{
    return "<chassis><board " + attrs + ">" + body + "</board></chassis>";
}

TEST(Scenario, ShippedDefaultFileEqualsBuiltInDefaultWithConsistentClocks)
{
    const sim::Scenario s = sim::Scenario::Default();
    const sim::Scenario file = sim::Scenario::LoadFile(RepoPath("sim/scenarios/default.xml"));
    ASSERT_EQ(file.boards.size(), s.boards.size());
    for (size_t i = 0; i < s.boards.size(); ++i) {
        EXPECT_TRUE(file.boards[i] == s.boards[i]) << "board " << s.boards[i].name;
    }
    // The RAF clock information agrees with the timing board and gives an RF
    // of about 499.65 MHz; PLL events come about ten times a second.
    uint64_t adc = 0, tbt = 0, harmonic = 0;
    for (const auto& r : s.boards[1].registers) {
        adc = r.offset == 0x100 ? r.value : adc;
        tbt = r.offset == 0x108 ? r.value : tbt;
        harmonic = r.offset == 0x128 ? r.value : harmonic;
    }
    EXPECT_EQ(adc, s.boards[0].timing.adcFrequency);
    ASSERT_EQ(tbt, 220u);
    EXPECT_NEAR(static_cast<double>(harmonic) * adc / tbt, 499.65e6, 0.01e6);
    const auto& osc = s.boards[0].timing.oscillator;
    EXPECT_NEAR(static_cast<double>(adc) / (osc.prescaler * osc.samplesPerTurn), 10.0, 0.01);
}

TEST(Scenario, ParsesRegistersFaultsOptionsAndTimingModel)
{
    const sim::Scenario s = sim::Scenario::Parse(R"(
      <chassis>
        <board type="62" name="t" slot="2">
          <timing adc_frequency="1000000" trigger_rate="2.5"/>
          <oscillator samples_per_turn="10" prescaler="0x100" nominal_dac="30000"
                      gain="-0.5" offset="12.5" jitter="3" silent="true"/>
          <fault name="no_mc_pll"/>
          <fault name="no_trigger_generation"/>
        </board>
        <board type="175" name="r" slot=" 4 ">
          <register offset="0x100" value="4294967295"/>
          <register offset="0x400080" value="0x123456789ABCDEF0" width="64"/>
          <fault name="unmappable" offset="0x900000"/>
          <fault name="unanswered_starts"/>
          <fault name="debug_ram_stuck"/>
          <fault name="temperature_failed" sensor="pt3"/>
          <fault name="temperature_failed" sensor="ts1"/>
          <option name="colour" value="blue"/>
        </board>
      </chassis>)");
    ASSERT_EQ(s.boards.size(), 2u);
    const auto& t = s.boards[0];
    EXPECT_EQ(t.timing.adcFrequency, 1000000u);
    EXPECT_DOUBLE_EQ(t.timing.triggerRate, 2.5);
    sim::OscillatorOptions o{10, 256, 30000, -0.5, 12.5, 3, true};
    EXPECT_TRUE(t.timing.oscillator == o);
    EXPECT_TRUE(t.faults.noMcPll && t.faults.noTriggerGeneration && !t.faults.mcPllUnlocked);

    const auto& r = s.boards[1];
    EXPECT_EQ(r.slot, "4");
    ASSERT_EQ(r.registers.size(), 2u);
    EXPECT_TRUE((r.registers[0] == sim::RegisterInit{0x100, 0xFFFFFFFFu, 32}));
    EXPECT_TRUE((r.registers[1] == sim::RegisterInit{0x400080, 0x123456789ABCDEF0ull, 64}));
    EXPECT_EQ(r.faults.unmappable, std::vector<uint32_t>{0x900000});
    EXPECT_TRUE(r.faults.unansweredStarts && !r.faults.noTriggers);
    EXPECT_TRUE(r.faults.debugRamStuck);
    EXPECT_EQ((std::vector<std::string>{"pt3", "ts1"}), r.faults.failedSensors);
    EXPECT_EQ(r.options.at("colour"), "blue");
}

TEST(Scenario, BadDocumentsGiveMessagesNamingFileBoardAndCause)
{
    const std::string raf = R"(type="175" name="r" slot="3")";
    const std::string tim = R"(type="235" name="t" slot="1")";
    const std::pair<std::string, std::string> cases[] = {
        {"<chassis><board", "XML error at byte 14: Error parsing start element tag"},
        {"<boards/>", "the root element must be <chassis>, not <boards>"},
        {"<chassis/>", "the chassis holds no board"},
        {"<chassis><rack/></chassis>", "unknown element <rack> in <chassis>"},
        {OneBoard(R"(type="175" slot="3")"), "board 1: <board> lacks the attribute \"name\""},
        {OneBoard(R"(type="RAF" name="r" slot="3")"), "board \"r\": bad board type \"RAF\""},
        {OneBoard(raf + R"( colour="red")"), "board 1: unknown attribute \"colour\" of <board>"},
        {"<chassis><board type='175' name='a' slot='3'/><board type='175' name='a' slot='4'/></chassis>",
         "two boards named \"a\""},
        // Registers: inside the space, word aligned, value within the width.
        {OneBoard(raf, R"(<register offset="0x1000000" value="1"/>)"),
         "board \"r\": register offset 0x1000000 is not a word inside the FPGA space"},
        {OneBoard(raf, R"(<register offset="0xFFFFFC" value="1" width="64"/>)"),
         "board \"r\": register offset 0xFFFFFC is not a word inside the FPGA space"},
        // Offsets at the top of 32 bits must not wrap past the bound.
        {OneBoard(raf, R"(<register offset="0xFFFFFFFC" value="1"/>)"),
         "board \"r\": register offset 0xFFFFFFFC is not a word inside the FPGA space"},
        {OneBoard(raf, R"(<register offset="0xFFFFFFFC" value="1" width="64"/>)"),
         "board \"r\": register offset 0xFFFFFFFC is not a word inside the FPGA space"},
        {OneBoard(raf, R"(<register offset="0x102" value="1"/>)"),
         "board \"r\": register offset 0x102 is not a word inside the FPGA space"},
        {OneBoard(raf, R"(<register offset="0x100" value="0x100000000"/>)"),
         "board \"r\": register value \"0x100000000\" does not fit in 32 bits"},
        {OneBoard(raf, R"(<register offset="0x100" value="-1"/>)"), "board \"r\": bad register value \"-1\""},
        {OneBoard(raf, R"(<register offset="0x100" value="12abc"/>)"), "board \"r\": bad register value \"12abc\""},
        {OneBoard(raf, R"(<register offset="0x100" value="1" width="16"/>)"),
         "board \"r\": register width must be 32 or 64"},
        // Faults and timing-board elements.
        {OneBoard(raf, R"(<fault name="gremlins"/>)"), "board \"r\": unknown fault \"gremlins\""},
        {OneBoard(raf, R"(<fault name="unmappable"/>)"), "board \"r\": <fault> lacks the attribute \"offset\""},
        {OneBoard(raf, R"(<fault name="no_triggers" offset="0x10"/>)"),
         "board \"r\": fault \"no_triggers\" takes no offset"},
        {OneBoard(raf, R"(<fault name="temperature_failed" sensor="pt5"/>)"),
         "board \"r\": bad temperature sensor \"pt5\" (ts1 to ts4, pt1 to pt4)"},
        {OneBoard(raf, R"(<fault name="temperature_failed"/>)"), "board \"r\": <fault> lacks the attribute \"sensor\""},
        {OneBoard(raf, R"(<fault name="debug_ram_stuck" sensor="ts1"/>)"),
         "board \"r\": fault \"debug_ram_stuck\" takes no sensor"},
        {OneBoard(raf, R"(<fault name="no_mc_pll"/>)"),
         "board \"r\": <fault name=\"no_mc_pll\"> belongs to a timing board (type 62 or 235)"},
        {OneBoard(raf, R"(<oscillator prescaler="10"/>)"),
         "board \"r\": <oscillator> belongs to a timing board (type 62 or 235)"},
        {OneBoard(tim, R"(<oscillator prescaler="0"/>)"), "board \"t\": samples per turn and prescaler must not be 0"},
        {OneBoard(tim, R"(<oscillator nominal_dac="65536"/>)"), "board \"t\": nominal DAC code must fit in 16 bits"},
        {OneBoard(tim, R"(<oscillator silent="maybe"/>)"), "board \"t\": bad silent flag \"maybe\" (true or false)"},
        {OneBoard(tim, R"(<oscillator gain="fast"/>)"), "board \"t\": bad oscillator gain \"fast\""},
        {OneBoard(tim, R"(<timing trigger_rate="0"/>)"), "board \"t\": trigger rate must be positive"},
        {OneBoard(tim, R"(<timing adc_frequency="0"/>)"), "board \"t\": ADC frequency must not be 0"},
        // What sizes memory or paces a loop of the simulation is bounded.
        {OneBoard(raf, R"(<register offset="0x110" value="4294967295"/>)"),
         "board \"r\": FIR decimation 4294967295 (register 0x110) is above 1024"},
        {OneBoard(raf, R"(<register offset="0x10C" value="0x0000040100000000" width="64"/>)"),
         "board \"r\": FIR decimation 1025 (register 0x110) is above 1024"},
        {OneBoard(raf, R"(<register offset="0x108" value="65537"/>)"),
         "board \"r\": TBT decimation 65537 (register 0x108) is above 65536"},
        {OneBoard(raf,
                  R"(<register offset="0x118" value="0x10000" width="64"/><register offset="0x118" value="1000000"/>)"),
         "board \"r\": SA decimation 1000000 (register 0x118) is above 65536"},
        {OneBoard(raf, R"(<register offset="0x120" value="0x7FFFFFFF"/>)"),
         "board \"r\": switching decimation 2147483647 (register 0x120) is above 65536"},
        {OneBoard(tim, R"(<timing trigger_rate="2000"/>)"),
         "board \"t\": trigger rate 2000 a second is not within 0.001 to 1000"},
        {OneBoard(tim, R"(<timing trigger_rate="1e-300"/>)"),
         "board \"t\": trigger rate 1e-300 a second is not within 0.001 to 1000"},
        {OneBoard(tim, R"(<oscillator samples_per_turn="1" prescaler="1"/>)"),
         "board \"t\": oscillator events (ADC frequency / (samples per turn x prescaler)) come 1.1744e+08 times "
         "a second, not within 0.001 to 1000"},
        {OneBoard(tim, R"(<oscillator samples_per_turn="4294967295" prescaler="4294967295"/>)"),
         "board \"t\": oscillator events (ADC frequency / (samples per turn x prescaler)) come 6.36644e-12 times "
         "a second, not within 0.001 to 1000"},
        {OneBoard(tim, R"(<oscillator gain="1000"/>)"),
         "board \"t\": oscillator gain and offset move the frequency by more than half the ADC frequency"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseError(c.first), "test.xml: " + c.second) << c.first;
    }
    // The last word of the space is a register like any other.
    EXPECT_NO_THROW(sim::Scenario::Parse(OneBoard(raf, R"(<register offset="0xFFFFFC" value="1"/>)")));
    // Bounds hold, and count: 32 boards, the 33rd is refused.
    EXPECT_NO_THROW(sim::Scenario::Parse(OneBoard(raf, R"(<register offset="0x110" value="1024"/>)")));
    EXPECT_NO_THROW(sim::Scenario::Parse(OneBoard(tim, R"(<timing trigger_rate="1000"/>)")));
    std::string boards;
    for (int i = 0; i < 33; ++i) {
        boards += "<board type='175' name='r" + std::to_string(i) + "' slot='3'/>";
        if (i == 31) {
            EXPECT_NO_THROW(sim::Scenario::Parse("<chassis>" + boards + "</chassis>"));
        }
    }
    EXPECT_EQ("test.xml: the chassis holds more than 32 boards", ParseError("<chassis>" + boards + "</chassis>"));
}

// Files that are not a chassis to run on are refused with the reason, at
// once: no wait on a FIFO, no read of a device or of a huge file.
TEST(Scenario, FilesThatAreNoChassisAreRefusedWithTheirReason)
{
    zvtest::TempDir dir;
    const std::string fifo = dir.Path() + "/fifo.xml";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string big = dir.File("big.xml", "<chassis>" + std::string(1u << 20, ' ') + "</chassis>");
    const std::string noTiming = dir.File("raf.xml", "<chassis><board type='175' name='raf3' slot='3'/></chassis>");
    const std::pair<std::string, std::string> cases[] = {
        {fifo, "Chassis scenario file " + fifo + " is not a regular file"},
        {dir.Path(), "Chassis scenario file " + dir.Path() + " is not a regular file"},
        {"/dev/zero", "Chassis scenario file /dev/zero is not a regular file"},
        {big, "Chassis scenario file " + big + " is larger than 1048576 bytes"},
        {noTiming, "Scenario " + noTiming + " has no timing board."},
    };
    for (const auto& c : cases) {
        try {
            sim::Scenario::LoadFile(c.first);
            ADD_FAILURE() << c.first << ": no exception";
        } catch (const qstd::Exception& e) {
            EXPECT_EQ(c.second, e.what());
        }
    }
}

TEST(Scenario, MissingFileIsReportedWithItsPathAndReason)
{
    try {
        sim::Scenario::LoadFile("/nonexistent/chassis.xml");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot open chassis scenario file /nonexistent/chassis.xml: No such file or directory");
    }
}

} // namespace
