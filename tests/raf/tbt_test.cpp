// TBT DSP and its debug-RAM window signal: node tree and defaults, spike
// removal, ADC mask, clients of one register word, the debug RAM captures
// (bounded, without wrap), and the window signal before and after the DSP's
// shutdown.
#include "raf_support.h"

#include "platform/qreg/signal_node.h"
#include "platform/qstd/capture.h"
#include "raf/synthetic_generator.h"
#include "raf/tbt.h"
#include "raf/tbt_window_signal.h"
#include "sim/raf_models.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <thread>

namespace {

using raftest::RafFixture;
using raftest::Refusal;
using Clock = std::chrono::steady_clock;

constexpr size_t c_tbt = RafBoard::c_tbt_offset;

uint64_t Frames(RafFixture& f, uint64_t* start = nullptr)
{
    uint64_t captures = 0;
    uint64_t first = 0;
    EXPECT_TRUE(sim::DebugRamFrames(f.Sim(), captures, first));
    if (start) {
        *start = first;
    }
    return captures;
}

// True when atoms are debug RAM atoms from position on of the RF frame that
// starts at n0 (default clock words).
bool FrameMatches(const uint64_t* atoms, size_t n, size_t position, uint64_t n0)
{
    for (size_t k = 0; k < n; ++k) {
        if (atoms[k] != sim::RfFrameAtom(n0, static_cast<unsigned>(position + k), 220, 936)) {
            return false;
        }
    }
    return true;
}

TEST(TurnByTurnDsp, NodeTreeAndDefaults)
{
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    EXPECT_EQ((std::vector<std::string>{"data_type", "phase_offset", "nco_frequency", "dbg_frequency", "dbg_enable",
                                        "spike_removal", "adc_mask", "tbt_window"}),
              tbt.List(""));
    EXPECT_EQ((std::vector<std::string>{"mode", "averaging_stop", "averaging_window", "start", "window"}),
              tbt.List("spike_removal"));
    EXPECT_EQ((std::vector<std::string>{"hw_enable", "sw_enable"}), tbt.List("spike_removal/mode"));
    const std::vector<std::tuple<std::string, unsigned long long, std::string>> nodes = {
        {"data_type", 14, ""},
        {"phase_offset", 14, "[0, 220]"},
        {"nco_frequency", 66, ""},
        {"dbg_frequency", 70, ""},
        {"dbg_enable", 78, ""},
        {"spike_removal", 0, ""},
        {"spike_removal/mode", 0, ""},
        {"spike_removal/mode/hw_enable", 14, ""},
        {"spike_removal/mode/sw_enable", 14, ""},
        {"spike_removal/averaging_stop", 14, "[-16, 15]"},
        {"spike_removal/averaging_window", 14, "{0,1,2,4,8,16}"},
        {"spike_removal/start", 14, "[-16, 15]"},
        {"spike_removal/window", 14, "[0, 127]"},
        {"adc_mask", 14 | 0x200, "[0, 1]"},
        {"tbt_window", 2, ""},
    };
    for (const auto& n : nodes) {
        EXPECT_EQ(std::get<1>(n), tbt.GetFlags(std::get<0>(n))) << std::get<0>(n);
        if (std::get<0>(n) != "tbt_window") {
            EXPECT_EQ(std::get<2>(n), tbt.GetValidator(std::get<0>(n))) << std::get<0>(n);
        }
    }
    EXPECT_EQ(220u, tbt.GetSize("adc_mask"));
    EXPECT_EQ((std::vector<std::string>{"DDC", "TDP", "Disabled"}), tbt.GetDomainValues("data_type"));

    // Defaults: DDC, both NCOs at the board's NCO value, debug off, delay 0.
    const auto nco = static_cast<long long>(static_cast<uint32_t>(f.Board().GetNcoFrequency()));
    EXPECT_EQ("DDC", tbt.GetText("data_type"));
    EXPECT_EQ(nco, tbt.GetInteger("nco_frequency"));
    EXPECT_EQ(nco, tbt.GetInteger("dbg_frequency"));
    EXPECT_EQ("false", tbt.GetText("dbg_enable"));
    EXPECT_EQ(0, tbt.GetInteger("phase_offset"));
    EXPECT_EQ("false", tbt.GetText("spike_removal/mode/sw_enable"));

    tbt.SetText("data_type", "TDP");
    EXPECT_EQ(1u, fpga::Read64(f.Fpga(c_tbt), 0x00));
    fpga::Write64(f.Fpga(c_tbt), 0x00, 3);
    EXPECT_ANY_THROW(tbt.GetText("data_type"));

    // The PLL's NCO setting goes through the node: subscribers hear of it.
    auto subscription = tbt.Subscribe("nco_frequency");
    EXPECT_TRUE(f.Board().SetNCOFreq(77u));
    EXPECT_EQ(77u, fpga::Read32(f.Fpga(c_tbt), 0x80));
    EXPECT_EQ(1u, subscription->Count());
}

TEST(TurnByTurnDsp, SpikeRemovalParameters)
{
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    TurnByTurnDSP& dsp = *f.Board().GetTbtDsp();
    volatile FPGAMem_t* reg = f.Fpga(c_tbt);

    EXPECT_EQ("Value 3 is refused by validator {0,1,2,4,8,16}", Refusal(tbt, "spike_removal/averaging_window", 3));
    EXPECT_EQ("taken", Refusal(tbt, "spike_removal/averaging_window", 8));
    EXPECT_EQ(8u, fpga::Read64(reg, 0x110));
    {
        qstd::CaptureScope capture(true, true, 1);
        EXPECT_TRUE(dsp._SetSpikeAveragingWindow(31));
        EXPECT_FALSE(dsp._SetSpikeAveragingWindow(32));
        EXPECT_TRUE(capture.Traced("Invalid Spike Averaging Window value.32"));
        EXPECT_FALSE(dsp._SetSpikeWindow(128));
        EXPECT_TRUE(capture.Traced("Invalid Spike Window value.128"));
        EXPECT_FALSE(dsp._SetSpikeStart(16));
        EXPECT_TRUE(capture.Traced("Invalid Spike Start value.16"));
        EXPECT_FALSE(dsp._SetSpikeAveragingStop(-17));
        EXPECT_TRUE(capture.Traced("Invalid Spike Averaging Stop value.-17"));
    }
    for (const char* node : {"spike_removal/averaging_stop", "spike_removal/start"}) {
        SCOPED_TRACE(node);
        EXPECT_EQ("taken", Refusal(tbt, node, -16));
        EXPECT_EQ("taken", Refusal(tbt, node, 15));
        EXPECT_NE("taken", Refusal(tbt, node, -17));
        EXPECT_NE("taken", Refusal(tbt, node, 16));
        // The low half keeps its upper bits, the high half is cleared.
        const size_t offset = std::string(node) == "spike_removal/start" ? 0x118 : 0x108;
        fpga::Write64(reg, offset, 0xFFFFFFFF00001200ull);
        tbt.SetInteger(node, -1);
        EXPECT_EQ(0x121Fu, fpga::Read64(reg, offset));
        EXPECT_EQ(-1, tbt.GetInteger(node));
    }
    EXPECT_EQ("taken", Refusal(tbt, "spike_removal/window", 127));
    EXPECT_NE("taken", Refusal(tbt, "spike_removal/window", 128));

    // A parameter write switches an enabled hardware spike removal off for a
    // moment; a disabled one stays off.
    raftest::WriteRecorder recorder(reg + 0x100, 8);
    tbt.SetInteger("spike_removal/window", 5);
    EXPECT_TRUE(recorder.Writes().empty());
    fpga::Write64(reg, 0x100, 0x10);
    tbt.SetText("spike_removal/mode/hw_enable", "true");
    const size_t before = recorder.Writes().size();
    tbt.SetInteger("spike_removal/window", 6);
    const auto writes = recorder.Writes();
    ASSERT_EQ(before + 4, writes.size());
    EXPECT_EQ(std::make_pair(size_t{0}, 0x10u), writes[before]);
    EXPECT_EQ(std::make_pair(size_t{0}, 0x11u), writes[before + 2]);
}

TEST(TurnByTurnDsp, AdcMaskTouchesOnlyTheWordsOfItsBits)
{
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    volatile FPGAMem_t* reg = f.Fpga(c_tbt);
    fpga::Write64(reg, 0x408, 0x00001234ABCD0B20ull);
    TurnByTurnDSP& dsp = *f.Board().GetTbtDsp();
    raftest::WriteRecorder recorder(reg + 0x400, 8 * TurnByTurnDSP::c_adc_mask_words);
    // Only a value of exactly 1 sets a bit (the node's validator admits 0
    // and 1 only).
    const unsigned example[8] = {1, 0, 1, 1, 0, 0, 1, 2};
    EXPECT_TRUE(dsp._SetAdcMask(example, 20, 8));
    EXPECT_EQ(0xABCD04D0ull, fpga::Read64(reg, 0x408));
    const std::vector<std::pair<size_t, uint32_t>> expected = {{0x08, 0xABCD04D0u}, {0x0C, 0}};
    EXPECT_EQ(expected, recorder.Writes());
    EXPECT_EQ((std::vector<long long>{1, 0, 1, 1, 0, 0, 1, 0}), tbt.GetIntegers("adc_mask", 20, 8));
    EXPECT_EQ("Value 2 is refused by validator [0, 1]", Refusal(tbt, "adc_mask", 2));
    tbt.SetIntegers("adc_mask", {1, 1}, 31);
    EXPECT_EQ(0xABCD84D0u, fpga::Read64(reg, 0x408));
    EXPECT_EQ(1u, fpga::Read64(reg, 0x410));

    unsigned values[4] = {1, 1, 1, 1};
    EXPECT_FALSE(dsp._SetAdcMask(values, 2046, 4));
    EXPECT_EQ(2u, dsp._GetAdcMask(values, 2046, 4));

    // A word index past the 128 mask words is reported and touches nothing
    // beyond the block.
    raftest::WriteRecorder beyond(reg + TurnByTurnDSP::c_blockSize, 8);
    qstd::CaptureScope capture(true, true, 1);
    unsigned short mask = 0x1234;
    for (unsigned index : {128u, 0x20000000u}) {
        dsp.SetAdcMask(index, 0xFFFF);
        dsp.GetAdcMask(index, mask);
    }
    EXPECT_TRUE(beyond.Writes().empty());
    EXPECT_EQ(0x1234u, mask);
    EXPECT_TRUE(capture.Logged("Assertion condition: index < c_adc_mask_words"));
}

// Two clients of one register word, each writing its own field and reading
// it back at once while the other writes: neither loses a value to the
// other's write, neither to the ADC mask's read-modify-write of the word nor
// to the switch-off and on of the spike removal around a parameter write.
TEST(TurnByTurnDspConcurrency, ClientsOfOneWordKeepTheirValues)
{
    struct Client {
        const char* path;
        size_t position;
        const char* values[2];
        bool readBack;
    };
    const std::array<Client, 2> cases[] = {
        {{{"adc_mask", 0, {"1", "0"}, true}, {"adc_mask", 1, {"1", "0"}, true}}},
        {{{"spike_removal/mode/hw_enable", 0, {"false", "true"}, true},
          {"spike_removal/window", 0, {"5", "6"}, false}}},
    };
    constexpr unsigned c_rounds = 1000;
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0].path);
        std::atomic<unsigned> lost{0};
        std::atomic<unsigned> finished{0};
        // The value is read back right after the write and before the next;
        // each client goes on until both have made their rounds.
        const auto run = [&tbt, &lost, &finished](const Client& client) {
            for (unsigned i = 0; i < c_rounds || finished.load() < 2; ++i) {
                if (i + 1 == c_rounds) {
                    ++finished;
                }
                const std::string value = client.values[i % 2];
                const bool kept = i == 0 || !client.readBack ||
                                  tbt.GetText(client.path, client.position) == client.values[(i + 1) % 2];
                tbt.SetText(client.path, value, client.position);
                if (!kept || (client.readBack && tbt.GetText(client.path, client.position) != value)) {
                    ++lost;
                }
            }
        };
        std::thread other(run, c[1]);
        run(c[0]);
        other.join();
        EXPECT_EQ(0u, lost.load());
    }
}

TEST(TurnByTurnDsp, DebugRamReadsAFreshCaptureWithoutWrap)
{
    RafFixture f;
    TurnByTurnDSP& dsp = *f.Build().GetTbtDsp();
    std::vector<uint64_t> buffer(2048, 0);

    // Nothing asked for, or nothing left: no capture, nothing touched.
    const uint64_t capture = fpga::Read64(f.Fpga(c_tbt), 0x10);
    for (const auto& c : std::vector<std::pair<size_t, size_t>>{{0, 0}, {10, 2048}, {1, SIZE_MAX}}) {
        EXPECT_EQ(0u, dsp.ReadDebugRamData(buffer.data(), c.first, c.second));
    }
    EXPECT_EQ(0u, Frames(f));
    EXPECT_EQ(capture, fpga::Read64(f.Fpga(c_tbt), 0x10));

    // The words before the offset are read and dropped; the count is cut at
    // the end of the RAM, also when it would wrap a sum.
    uint64_t n0 = 0;
    EXPECT_EQ(48u, dsp.ReadDebugRamData(buffer.data(), 100, 2000));
    EXPECT_EQ(1u, Frames(f, &n0));
    EXPECT_TRUE(FrameMatches(buffer.data(), 48, 2000, n0));
    EXPECT_EQ(0u, buffer[48]);
    EXPECT_EQ(1u, dsp.ReadDebugRamData(buffer.data(), SIZE_MAX, 2047));
    uint64_t n1 = 0;
    EXPECT_EQ(2u, Frames(f, &n1));
    EXPECT_GT(n1, n0);
    EXPECT_TRUE(FrameMatches(buffer.data(), 1, 2047, n1));
    EXPECT_EQ(2048u, dsp.ReadDebugRamData(buffer.data(), 2048, 0));
    EXPECT_TRUE(FrameMatches(buffer.data(), 2048, 0, (Frames(f, &n1), n1)));
}

TEST(TurnByTurnDsp, DebugRamPlaysTheSyntheticTableWhileTheGeneratorIsOn)
{
    RafFixture f;
    RafBoard& board = f.Build();
    SyntheticGenerator& synth = *board.GetSyntheticGenerator();
    synth.SetAmp1(1000);
    synth.SetAmp2(2000);
    synth.SetEnabled(true);
    std::vector<uint64_t> atoms(64, 0);
    ASSERT_EQ(64u, board.GetTbtDsp()->ReadDebugRamData(atoms.data(), 64, 10));
    uint64_t n0 = 0;
    Frames(f, &n0);
    for (unsigned k = 0; k < 64; ++k) {
        const uint32_t entry = fpga::Read32(f.Fpga(RafBoard::c_synth_generator_offset),
                                            SyntheticGenerator::c_table + 4 * ((n0 + 10 + k) % 1024));
        const uint64_t a1 = entry & 0xFFFF;
        const uint64_t a2 = entry >> 16;
        EXPECT_EQ(a1 | (a1 << 16) | (a2 << 32) | (a2 << 48), atoms[k]) << k;
    }
    synth.SetEnabled(false);
    ASSERT_EQ(64u, board.GetTbtDsp()->ReadDebugRamData(atoms.data(), 64, 10));
    Frames(f, &n0);
    EXPECT_TRUE(FrameMatches(atoms.data(), 64, 10, n0));
}

TEST(TurnByTurnDsp, CaptureThatNeverCompletesIsGivenUp)
{
    RafFixture f;
    f.Desc().faults.debugRamStuck = true;
    TurnByTurnDSP& dsp = *f.Build().GetTbtDsp();
    std::vector<uint64_t> buffer(16, 0);
    qstd::CaptureScope capture(true, true, 1);
    const auto t0 = Clock::now();
    EXPECT_EQ(0u, dsp.ReadDebugRamData(buffer.data(), 16, 0));
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, TurnByTurnDSP::c_capture_timeout);
    // Bounded, with room for a loaded machine.
    EXPECT_LT(waited, 3 * TurnByTurnDSP::c_capture_timeout);
    EXPECT_TRUE(capture.Traced("Debug RAM capture not completed within 1000 ms."));
}

TEST(TbtWindowSignal, ServesTheDebugRamFromThePositionOn)
{
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    std::shared_ptr<TbtWindowSignal> window = f.Board().GetTbtDsp()->GetWindowSignal();
    ASSERT_TRUE(window);
    EXPECT_EQ("raf3.tbt_window", window->GetName());
    EXPECT_EQ("raf3", window->GetOwner());
    EXPECT_EQ((std::vector<std::string>{"ChannelA", "ChannelB", "ChannelC", "ChannelD"}), window->GetComponentNames());
    const mci::ClientAccess::SignalInfo info = tbt.GetSignal("tbt_window");
    EXPECT_EQ(2, info.accessType);
    EXPECT_EQ(8u, info.atomSize);

    qsig::Array<AdcAtomTraits> buffer(AdcAtomTraits(), 100);
    buffer.Resize(100);
    EXPECT_EQ(qsig::eSuccess, window->Read(buffer, 2048, nullptr));
    EXPECT_EQ(0u, buffer.GetLength());
    EXPECT_EQ(0u, Frames(f));

    // A client in access mode 11: 100 atoms at offset 2000 give 48.
    qsig::DodClient<AdcAtomTraits> client = window->CreateClient("test");
    ASSERT_EQ(qsig::eSuccess, client.Open(qsig::eAccessNow, 100, 2000));
    qsig::SignalMeta meta{};
    uint64_t n0 = 0;
    uint64_t n1 = 0;
    for (uint64_t* start : {&n0, &n1}) {
        buffer.Resize(100);
        ASSERT_EQ(qsig::eSuccess, client.Read(buffer, meta, 0));
        ASSERT_EQ(48u, buffer.GetLength());
        Frames(f, start);
        EXPECT_TRUE(FrameMatches(reinterpret_cast<const uint64_t*>(buffer.GetData()), 48, 2000, *start));
    }
    // Two reads never share a capture.
    EXPECT_NE(n0, n1);
    client.Close();
}

TEST(TbtWindowSignalConcurrency, ReadsAfterTheDspsShutdownGiveNoAtoms)
{
    RafFixture f;
    mci::ClientAccess tbt = f.Tree("tbt");
    std::shared_ptr<TbtWindowSignal> window = f.Board().GetTbtDsp()->GetWindowSignal();
    auto node = std::dynamic_pointer_cast<qreg::SignalNode>(tbt.Find("tbt_window"));
    ASSERT_TRUE(node && node->HasSource());

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        qsig::Array<AdcAtomTraits> buffer(AdcAtomTraits(), 64);
        while (!stop.load()) {
            buffer.Resize(64);
            EXPECT_EQ(qsig::eSuccess, window->Read(buffer, 100, nullptr));
            ++reads;
        }
    });
    while (reads.load() < 2) {
        std::this_thread::yield();
    }
    f.Board().GetTbtDsp()->OnShutdown();
    EXPECT_FALSE(node->HasSource());
    EXPECT_FALSE(f.Board().GetTbtDsp()->GetWindowSignal());
    // From now on no read reaches the DSP, and the DSP may go.
    const uint64_t frames = Frames(f);
    const int after = reads.load();
    while (reads.load() < after + 5) {
        std::this_thread::yield();
    }
    f.DestroyBoard();
    while (reads.load() < after + 10) {
        std::this_thread::yield();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(frames, Frames(f));
    qsig::Array<AdcAtomTraits> buffer(AdcAtomTraits(), 64);
    EXPECT_EQ(qsig::eSuccess, window->Read(buffer, 0, nullptr));
    EXPECT_EQ(0u, buffer.GetLength());
}

} // namespace
