// Synthetic signal generator: the table for given amplitudes and its write
// order, the start amplitudes held to 16 bits, the enable switch with the
// state machine, a board without an ADC frequency, concurrent writes, and
// client writes beside the debug RAM's captures that play the table back.
#include "raf_support.h"

#include "platform/qfeature/tsm.h"
#include "platform/qstd/capture.h"
#include "raf/synthetic_generator.h"
#include "raf/tbt.h"
#include "raf/tbt_window_signal.h"
#include "sim/raf_models.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

namespace {

using raftest::RafFixture;

constexpr size_t c_synth = RafBoard::c_synth_generator_offset;

// The table entries as the generator must compute them.
std::vector<uint32_t> ExpectedTable(RafBoard& board, long a1, long a2)
{
    const double w = std::trunc(board.GetIFFrequency()) * 6.283185307179586 / board.GetADCFrequency();
    std::vector<uint32_t> table;
    for (unsigned i = 0; i < SyntheticGenerator::c_table_entries; ++i) {
        const double s = std::sin(i * w);
        const auto v1 = static_cast<uint32_t>(std::lround(a1 * s));
        const auto v2 = static_cast<uint32_t>(std::lround(a2 * s));
        table.push_back((v2 << 16) + (v1 & 0xFFFF));
    }
    return table;
}

std::vector<uint32_t> Table(RafFixture& f)
{
    std::vector<uint32_t> table;
    for (unsigned i = 0; i < SyntheticGenerator::c_table_entries; ++i) {
        table.push_back(fpga::Read32(f.Fpga(c_synth), SyntheticGenerator::c_table + 4 * i));
    }
    return table;
}

TEST(SyntheticGenerator, TableForTheAmplitudesAndItsWriteOrder)
{
    RafFixture f;
    mci::ClientAccess synth = f.Tree("synth_generator");
    EXPECT_EQ((std::vector<std::string>{"enabled", "amp1", "amp2"}), synth.List(""));
    for (const char* node : {"enabled", "amp1", "amp2"}) {
        EXPECT_EQ(70u, synth.GetFlags(node)) << node;
    }
    EXPECT_EQ("[0, 32767]", synth.GetValidator("amp1"));
    EXPECT_EQ(32768, synth.GetInteger("amp1"));
    EXPECT_EQ("Value 32768 is refused by validator [0, 32767]", raftest::Refusal(synth, "amp2", 32768));

    raftest::WriteRecorder recorder(f.Fpga(c_synth + SyntheticGenerator::c_table), 0x1028);
    synth.SetInteger("amp1", 1000);
    synth.SetInteger("amp2", 2000);
    EXPECT_EQ(ExpectedTable(f.Board(), 1000, 2000), Table(f));
    EXPECT_EQ(0u, Table(f)[0]);
    // Each amplitude rewrites the table: state 0, the entries, state 1, the
    // TBT decimation and the reserved word.
    const auto writes = recorder.Writes();
    ASSERT_EQ(2u * (2 + 1024 + 6), writes.size());
    EXPECT_EQ(std::make_pair(size_t{0x1018}, 0u), writes[0]);
    EXPECT_EQ(std::make_pair(size_t{0x0}, ExpectedTable(f.Board(), 1000, 32768)[0]), writes[2]);
    EXPECT_EQ(std::make_pair(size_t{0x1018}, 1u), writes[1026]);
    EXPECT_EQ(std::make_pair(size_t{0x1000}, 220u), writes[1028]);
    EXPECT_EQ(std::make_pair(size_t{0x1008}, 0u), writes[1030]);

    synth.SetInteger("amp1", 0);
    for (uint32_t entry : Table(f)) {
        EXPECT_EQ(0u, entry & 0xFFFF);
    }
}

TEST(SyntheticGenerator, SamplesAreHeldToSixteenBits)
{
    // sin = 1.0 at entry 1 for a quarter turn per entry: +32767, not -32768.
    EXPECT_EQ(0x7FFF7FFFu, SyntheticGenerator::TableEntry(1, 1.5707963267948966, 32768, 32768));
    EXPECT_EQ(0x80018001u, SyntheticGenerator::TableEntry(3, 1.5707963267948966, 32767, 32767));
    EXPECT_EQ(0x000003E8u, SyntheticGenerator::TableEntry(1, 1.5707963267948966, 1000, 0));
    // The start amplitudes never give a table with a wrapped sample.
    RafFixture f;
    f.Build();
    for (uint32_t entry : Table(f)) {
        EXPECT_NE(0x8000u, entry & 0xFFFF);
    }
}

TEST(SyntheticGenerator, EnableSwitchesTheStateMachineAndKeepsTheTable)
{
    RafFixture f;
    mci::ClientAccess synth = f.Tree("synth_generator");
    qfeature::Tsm& tsm = *f.Board().GetSynthTsm();
    bool continuous = true;
    ASSERT_TRUE(tsm.GetContinuous(continuous));
    EXPECT_FALSE(continuous);
    EXPECT_EQ(0u, fpga::Read64(f.Fpga(c_synth), 0));
    const std::vector<uint32_t> table = Table(f);
    synth.SetText("enabled", "true");
    EXPECT_EQ(15u, fpga::Read64(f.Fpga(c_synth), 0));
    ASSERT_TRUE(tsm.GetContinuous(continuous));
    EXPECT_TRUE(continuous);
    synth.SetText("enabled", "false");
    EXPECT_EQ(0u, fpga::Read64(f.Fpga(c_synth), 0));
    ASSERT_TRUE(tsm.GetContinuous(continuous));
    EXPECT_FALSE(continuous);
    EXPECT_EQ(table, Table(f));
}

TEST(SyntheticGenerator, BoardWithoutAdcFrequencyGetsNoTable)
{
    RafFixture f;
    f.Desc().registers.push_back({0x100, 0, 32});
    qstd::CaptureScope capture(true, true, 1);
    f.Build();
    EXPECT_TRUE(capture.Traced("Synthetic signal generator table not written: ADC frequency is 0."));
    EXPECT_EQ(0u, fpga::Read64(f.Fpga(c_synth), SyntheticGenerator::c_table_state));
    EXPECT_EQ(std::vector<uint32_t>(SyntheticGenerator::c_table_entries, 0), Table(f));
}

TEST(SyntheticGeneratorConcurrency, TableFollowsTheLastAmplitudes)
{
    RafFixture f;
    SyntheticGenerator& synth = *f.Build().GetSyntheticGenerator();
    std::thread other([&] {
        for (unsigned a = 0; a < 20; ++a) {
            synth.SetAmp2(3000 + a);
        }
    });
    for (unsigned a = 0; a < 20; ++a) {
        synth.SetAmp1(100 + a);
    }
    other.join();
    EXPECT_EQ(ExpectedTable(f.Board(), 119, 3019), Table(f));
}

// A client switches the generator and changes amplitude 1 while another
// reads the debug RAM window, whose captures read the generator's control
// word and table from the board's memory: every read gets its atoms, and
// after the writes a capture plays back the table of the last amplitude.
TEST(SyntheticGeneratorConcurrency, ClientWritesBesideDebugRamWindowReads)
{
    RafFixture f;
    mci::ClientAccess synth = f.Tree("synth_generator");
    std::shared_ptr<TbtWindowSignal> window = f.Board().GetTbtDsp()->GetWindowSignal();
    ASSERT_TRUE(window);
    constexpr size_t c_atoms = 64;
    constexpr unsigned c_rounds = 100;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> reads{0};
    std::atomic<unsigned> wrong{0};
    std::thread reader([&] {
        qsig::Array<AdcAtomTraits> buffer(AdcAtomTraits(), c_atoms);
        while (!stop.load()) {
            buffer.Resize(c_atoms);
            if (window->Read(buffer, 0, nullptr) != qsig::eSuccess || buffer.GetLength() != c_atoms) {
                ++wrong;
            }
            ++reads;
        }
    });
    // Writes until both sides have gone on beside each other for a while;
    // a generous deadline for a busy machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    unsigned writes = 0;
    while ((writes < c_rounds || reads.load() < c_rounds) && std::chrono::steady_clock::now() < deadline) {
        synth.SetText("enabled", writes % 2 == 0 ? "true" : "false");
        synth.SetInteger("amp1", 1000 + writes % 7);
        ++writes;
    }
    stop.store(true);
    reader.join();
    EXPECT_GE(reads.load(), c_rounds);
    EXPECT_EQ(0u, wrong.load());

    synth.SetText("enabled", "true");
    synth.SetInteger("amp1", 1234);
    synth.SetInteger("amp2", 2000);
    std::vector<uint64_t> atoms(c_atoms, 0);
    ASSERT_EQ(c_atoms, f.Board().GetTbtDsp()->ReadDebugRamData(atoms.data(), c_atoms, 0));
    uint64_t captures = 0;
    uint64_t n0 = 0;
    ASSERT_TRUE(sim::DebugRamFrames(f.Sim(), captures, n0));
    const std::vector<uint32_t> table = ExpectedTable(f.Board(), 1234, 2000);
    for (size_t k = 0; k < c_atoms; ++k) {
        const uint64_t a1 = table[(n0 + k) % table.size()] & 0xFFFF;
        const uint64_t a2 = table[(n0 + k) % table.size()] >> 16;
        EXPECT_EQ(a1 | (a1 << 16) | (a2 << 32) | (a2 << 48), atoms[k]) << k;
    }
}

} // namespace
