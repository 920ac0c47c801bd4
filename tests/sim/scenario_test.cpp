#include "sim/scenario.h"

#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

std::string RepoPath(const std::string& relative)
{
    std::string here = __FILE__; // <repo>/tests/sim/scenario_test.cpp
    for (int i = 0; i < 3; ++i) {
        here = here.substr(0, here.find_last_of('/'));
    }
    return here + "/" + relative;
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

TEST(Scenario, ShippedDefaultFileEqualsBuiltInDefault)
{
    const sim::Scenario file = sim::Scenario::LoadFile(RepoPath("sim/scenarios/default.xml"));
    const sim::Scenario builtIn = sim::Scenario::Default();
    ASSERT_EQ(file.boards.size(), builtIn.boards.size());
    for (size_t i = 0; i < file.boards.size(); ++i) {
        EXPECT_TRUE(file.boards[i] == builtIn.boards[i]) << "board " << builtIn.boards[i].name;
    }
    EXPECT_TRUE(file == builtIn);
}

TEST(Scenario, DefaultChassisHasTheExpectedBoardsAndConsistentClocks)
{
    const sim::Scenario s = sim::Scenario::Default();
    ASSERT_EQ(s.boards.size(), 6u);
    EXPECT_EQ(s.boards[0].type, 62u);
    EXPECT_EQ(s.boards[0].name, "tim");
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(s.boards[i].type, 175u);
        EXPECT_EQ(s.boards[i].name, "raf" + std::to_string(i + 2));
        EXPECT_EQ(s.boards[i].slot, std::to_string(i + 2));
    }
    EXPECT_EQ(s.boards[5].type, 125u);
    EXPECT_EQ(s.boards[5].name, "gdx");

    // The RAF clock information agrees with the timing board and gives an RF
    // of about 499.65 MHz.
    uint64_t adc = 0, tbt = 0, harmonic = 0;
    for (const auto& r : s.boards[1].registers) {
        adc = r.offset == 0x100 ? r.value : adc;
        tbt = r.offset == 0x108 ? r.value : tbt;
        harmonic = r.offset == 0x128 ? r.value : harmonic;
    }
    EXPECT_EQ(adc, s.boards[0].timing.adcFrequency);
    EXPECT_EQ(adc, 117440043u);
    ASSERT_EQ(tbt, 220u);
    EXPECT_EQ(harmonic, 936u);
    EXPECT_NEAR(static_cast<double>(harmonic) * adc / tbt, 499.65e6, 0.01e6);
    // One PLL event every prescaler turns comes about ten times a second.
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
          <fault name="mc_pll_unlocked"/>
          <fault name="no_trigger_generation"/>
        </board>
        <board type="175" name="r" slot=" 4 ">
          <register offset="0x100" value="4294967295"/>
          <register offset="0x400080" value="0x123456789ABCDEF0" width="64"/>
          <fault name="unmappable" offset="0x900000"/>
          <fault name="no_triggers"/>
          <fault name="unanswered_starts"/>
          <fault name="oversampling_stuck"/>
          <fault name="no_adc_clock"/>
          <option name="colour" value="blue"/>
        </board>
        <board type="125" name="g" slot="7">
          <fault name="sfp_pll_unlocked"/>
          <fault name="no_history_memory"/>
        </board>
      </chassis>)");
    ASSERT_EQ(s.boards.size(), 3u);
    const auto& t = s.boards[0];
    EXPECT_EQ(t.timing.adcFrequency, 1000000u);
    EXPECT_DOUBLE_EQ(t.timing.triggerRate, 2.5);
    EXPECT_EQ(t.timing.oscillator.samplesPerTurn, 10u);
    EXPECT_EQ(t.timing.oscillator.prescaler, 256u);
    EXPECT_EQ(t.timing.oscillator.nominalDac, 30000u);
    EXPECT_DOUBLE_EQ(t.timing.oscillator.gain, -0.5);
    EXPECT_DOUBLE_EQ(t.timing.oscillator.offset, 12.5);
    EXPECT_EQ(t.timing.oscillator.jitter, 3u);
    EXPECT_TRUE(t.timing.oscillator.silent);
    EXPECT_TRUE(t.faults.noMcPll);
    EXPECT_TRUE(t.faults.mcPllUnlocked);
    EXPECT_TRUE(t.faults.noTriggerGeneration);

    const auto& r = s.boards[1];
    EXPECT_EQ(r.slot, "4");
    ASSERT_EQ(r.registers.size(), 2u);
    EXPECT_EQ(r.registers[0].value, 0xFFFFFFFFu);
    EXPECT_EQ(r.registers[0].width, 32u);
    EXPECT_EQ(r.registers[1].offset, 0x400080u);
    EXPECT_EQ(r.registers[1].value, 0x123456789ABCDEF0ull);
    EXPECT_EQ(r.registers[1].width, 64u);
    EXPECT_EQ(r.faults.unmappable, std::vector<uint32_t>{0x900000});
    EXPECT_TRUE(r.faults.noTriggers && r.faults.unansweredStarts && r.faults.oversamplingStuck &&
                r.faults.noAdcClock);
    EXPECT_FALSE(r.faults.sfpPllUnlocked || r.faults.noHistoryMemory || r.faults.noMcPll);
    EXPECT_EQ(r.options.at("colour"), "blue");

    EXPECT_TRUE(s.boards[2].faults.sfpPllUnlocked && s.boards[2].faults.noHistoryMemory);
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
        {OneBoard(raf, R"(<fault name="no_mc_pll"/>)"),
         "board \"r\": <fault name=\"no_mc_pll\"> belongs to a timing board (type 62 or 235)"},
        {OneBoard(raf, R"(<oscillator prescaler="10"/>)"),
         "board \"r\": <oscillator> belongs to a timing board (type 62 or 235)"},
        {OneBoard(tim, R"(<oscillator prescaler="0"/>)"),
         "board \"t\": samples per turn and prescaler must not be 0"},
        {OneBoard(tim, R"(<oscillator nominal_dac="65536"/>)"), "board \"t\": nominal DAC code must fit in 16 bits"},
        {OneBoard(tim, R"(<oscillator silent="maybe"/>)"),
         "board \"t\": bad silent flag \"maybe\" (true or false)"},
        {OneBoard(tim, R"(<oscillator gain="fast"/>)"), "board \"t\": bad oscillator gain \"fast\""},
        {OneBoard(tim, R"(<timing trigger_rate="0"/>)"), "board \"t\": trigger rate must be positive"},
        {OneBoard(tim, R"(<timing adc_frequency="0"/>)"), "board \"t\": ADC frequency must not be 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseError(c.first), "test.xml: " + c.second) << c.first;
    }
    // The last word of the space is a register like any other.
    EXPECT_NO_THROW(sim::Scenario::Parse(OneBoard(raf, R"(<register offset="0xFFFFFC" value="1"/>)")));
}

TEST(Scenario, MissingFileIsReportedWithItsPath)
{
    try {
        sim::Scenario::LoadFile("/nonexistent/chassis.xml");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot open chassis scenario file /nonexistent/chassis.xml");
    }
}

} // namespace
