// Generated history tracks, and the simulated beam as the RAF boards
// acquire it: history atoms, SA/FA atoms on the stream devices, restarts and
// the scenario's beam.
#include "sim/beam.h"
#include "sim/raf_front_end.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qsig/segmented_buffer_controller.h"
#include "platform/qstd/exception.h"
#include "sim/chassis.h"
#include "sim/stream_device.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Atoms of 8 bytes holding their own LMT, on a clock set by the test.
class LmtGenerator : public sim::HistoryMemory::Generator {
public:
    uint64_t Now() const override { return now.load(); }
    void Fill(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const override
    {
        auto* out = static_cast<uint64_t*>(atoms);
        for (size_t i = 0; i < count; ++i) {
            out[i] = firstLmt + i * step;
        }
    }
    std::atomic<uint64_t> now{0};
};

class GeneratedTrack : public ::testing::Test {
protected:
    GeneratedTrack()
    {
        track = sim::HistoryMemory::GetTrack(memory, 1024, 8, 8);
        sim::HistoryMemory::SetGenerator(track, generator);
    }

    // LMTs held by the region's eight slots.
    std::vector<uint64_t> Slots() const
    {
        std::vector<uint64_t> v(8);
        memory->Read(v.data(), 64, 1024);
        return v;
    }

    std::shared_ptr<sim::HistoryMemory> memory = std::make_shared<sim::HistoryMemory>(4096);
    std::shared_ptr<LmtGenerator> generator = std::make_shared<LmtGenerator>();
    std::shared_ptr<sim::HistoryMemory::Track> track;
};

TEST_F(GeneratedTrack, ARunFollowsTheClockAndSlotsHoldTheirNewestAtoms)
{
    track->Run(100, 10);
    generator->now = 95;
    EXPECT_EQ(0u, track->Snapshot().written);
    EXPECT_EQ((std::vector<uint64_t>(8, 0)), Slots()); // nothing acquired yet
    generator->now = 125;
    auto st = track->Snapshot();
    EXPECT_EQ(3u, st.written);
    EXPECT_EQ(120u, st.newestLmt);
    EXPECT_EQ((std::vector<uint64_t>{100, 110, 120, 0, 0, 0, 0, 0}), Slots());
    generator->now = 205; // atoms 0..10, slots hold 3..10
    EXPECT_EQ((std::vector<uint64_t>{180, 190, 200, 130, 140, 150, 160, 170}), Slots());
    // A read that starts before the region and inside an atom.
    char bytes[20] = {};
    memory->Read(bytes, sizeof bytes, 1020);
    uint64_t second = 0;
    std::memcpy(&second, bytes + 4, 8);
    EXPECT_EQ(180u, second);
    EXPECT_EQ(0, bytes[0]);

    // A clock set back stalls the run; a halted run stays where it was.
    generator->now = 50;
    EXPECT_EQ(11u, track->Snapshot().written);
    generator->now = 230;
    track->Halt();
    generator->now = 900;
    EXPECT_EQ(14u, track->Snapshot().written);
    EXPECT_EQ(230u, track->Snapshot().newestLmt);
}

TEST_F(GeneratedTrack, BlocksAndWithdrawnGenerator)
{
    track->AppendGenerated(3, 1000, 1);
    track->AppendGenerated(3, 2000, 1);
    track->AppendGenerated(4, 3000, 1); // indices 6..9 overwrite slots 6, 7, 0, 1
    EXPECT_EQ((std::vector<uint64_t>{3002, 3003, 1002, 2000, 2001, 2002, 3000, 3001}), Slots());
    const auto st = track->Snapshot();
    EXPECT_EQ(10u, st.written);
    EXPECT_EQ(3003u, st.newestLmt);
    EXPECT_EQ(1000u, st.firstLmt);
    const uint64_t generation = st.generation;
    EXPECT_EQ(generation, track->WaitForChange(generation, std::chrono::steady_clock::now() + 5ms).generation);

    sim::HistoryMemory::SetGenerator(track, nullptr);
    EXPECT_FALSE(track->IsGenerated());
    EXPECT_EQ((std::vector<uint64_t>(8, 0)), Slots());
}

// A chassis that is not started: its RAF boards' acquisitions, driven by hand.
class BeamFixture : public ::testing::Test {
protected:
    BeamFixture() : chassis(Scenario()), beam(chassis.GetBeam())
    {
        raf = beam.Find(*chassis.Find("raf3"));
        // The FA block's coefficients as the server writes them.
        volatile FPGAMem_t* block = chassis.Find("raf3")->Memory() + sim::FaBlockModel::c_block;
        fpga::Write32(block, sim::FaBlockModel::c_kx, 10000000);
        fpga::Write32(block, sim::FaBlockModel::c_ky, 10000000);
        fpga::Write32(block, sim::FaBlockModel::c_ks, 0x4000000);
    }

    static sim::Scenario Scenario()
    {
        sim::Scenario s = sim::Scenario::Default();
        s.beam.x = 100000;
        s.beam.y = -50000;
        return s;
    }

    // Amplitude of a channel with the position in the scenario (no noise).
    static double Amplitude(int channel)
    {
        const double x = 0.01;
        const double y = -0.005;
        const double sign[4][2] = {{1, 1}, {-1, 1}, {-1, -1}, {1, -1}};
        return 1e6 * (1 + sign[channel][0] * x + sign[channel][1] * y);
    }

    sim::Chassis chassis;
    sim::Beam& beam;
    sim::RafAcquisition* raf = nullptr;
};

TEST_F(BeamFixture, TurnsCarryThePositionAndTheSwitchMarker)
{
    ASSERT_NE(nullptr, raf);
    EXPECT_EQ(nullptr, beam.Find(*chassis.Find("gdx")));
    EXPECT_EQ(220u, raf->TbtStep());
    EXPECT_EQ(220u * 56u, raf->FaStep());
    EXPECT_EQ(220u * 56u * 1000u, raf->SaStep());

    // 320 turns: two cycles of the pattern, 40 turns per step; the marker is
    // set in the first step of each cycle.
    std::vector<int32_t> tdp(4 * 320);
    raf->MakeTdp(tdp.data(), 320, 0, 220);
    std::vector<int32_t> ddc(8 * 320);
    raf->MakeDdc(ddc.data(), 320, 0, 220);
    for (int t = 0; t < 320; ++t) {
        const int marker = (t / 40) % 4 == 0 ? 1 : 0;
        ASSERT_EQ(marker, tdp[4 * t] & 1) << t;
        ASSERT_EQ(marker, ddc[8 * t] & 1) << t;
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(Amplitude(c), tdp[4 * t + c], 1.0) << t;
            // I = A/g sin(phase), Q = A/g cos(phase), phase 0.
            EXPECT_NEAR(Amplitude(c) / 1.64676025805716, ddc[8 * t + 2 * c + 1], 1.0) << t;
            EXPECT_NEAR(0.0, ddc[8 * t + 2 * c], 1.0) << t;
        }
    }

    // The FA block's positions: X and Y of the beam, Sum = S / 4.
    sim::FaRecord fa{};
    ASSERT_TRUE(beam.FaAtomAt(3, 0x123456789ull * 12320, fa));
    EXPECT_NEAR(100000, fa.x, 5);
    EXPECT_NEAR(-50000, fa.y, 5);
    EXPECT_NEAR(1000000, fa.sum, 2);
    EXPECT_EQ(static_cast<int32_t>(static_cast<uint32_t>(0x123456789ull * 12320)), fa.lmtLow);
    EXPECT_EQ(static_cast<int32_t>((0x123456789ull * 12320) >> 32), fa.lmtHigh);
    EXPECT_FALSE(beam.FaAtomAt(7, 0, fa));
    EXPECT_EQ(12320u, beam.FaStep(4));

    // The intensity scales every channel.
    beam.SetIntensity(2e6);
    raf->MakeTdp(tdp.data(), 1, 0, 220);
    EXPECT_NEAR(Amplitude(2) / 2, tdp[2], 1.0);
    beam.SetIntensity(4e6);

    // Noise: bounded by its uniform half-width, the same atom made twice.
    beam.SetNoise(100);
    std::vector<int32_t> noisy(4 * 1000);
    raf->MakeTdp(noisy.data(), 1000, 0, 220);
    std::vector<int32_t> again(4 * 1000);
    raf->MakeTdp(again.data(), 1000, 0, 220);
    EXPECT_EQ(noisy, again);
    double spread = 0;
    for (int t = 0; t < 1000; ++t) {
        const double e = noisy[4 * t + 1] - Amplitude(1);
        EXPECT_LE(std::fabs(e), 100 * std::sqrt(3.0) + 1) << t;
        spread += e * e;
    }
    EXPECT_NEAR(100.0, std::sqrt(spread / 1000), 15.0);
}

TEST_F(BeamFixture, FrontEndGainsAndSwitchingOff)
{
    sim::FrontEndOptions fe;
    fe.gain[1][0] = 1.5; // channel A in the pattern's second step
    fe.phase[2][3] = 0.5;
    ASSERT_TRUE(beam.SetFrontEnd("raf3", fe));
    EXPECT_FALSE(beam.SetFrontEnd("gdx", fe));
    std::vector<int32_t> tdp(4 * 160);
    raf->MakeTdp(tdp.data(), 160, 0, 220);
    EXPECT_NEAR(Amplitude(0), tdp[4 * 0], 1.0);
    EXPECT_NEAR(1.5 * Amplitude(0), tdp[4 * 40], 1.0);
    std::vector<int32_t> ddc(8 * 160);
    raf->MakeDdc(ddc.data(), 160, 0, 220);
    EXPECT_NEAR(0.5, std::atan2(ddc[8 * 80 + 6], ddc[8 * 80 + 7]), 1e-5);

    // FA atoms average the steps: channel A gains 1.5 in a quarter of the turns.
    sim::FaRecord fa = raf->MakeFa(0, 160);
    EXPECT_NEAR(1.125 * Amplitude(0), fa.va, 2.0);

    sim::BeamOptions off = beam.Options();
    off.switching = false;
    beam.SetOptions(off);
    raf->MakeTdp(tdp.data(), 160, 0, 220);
    for (int t = 0; t < 160; ++t) {
        ASSERT_EQ(0, tdp[4 * t] & 1);
        ASSERT_NEAR(Amplitude(0), tdp[4 * t], 1.0);
    }
}

// FA and SA atoms made in a batch, and those fed to a stream reader, are the
// atoms made one by one: noise, switch steps, front end and FA offsets alike.
TEST_F(BeamFixture, BatchesAndStreamsMakeTheAtomsOfOneByOne)
{
    sim::FrontEndOptions fe;
    fe.gain[1][2] = 1.2;
    fe.phase[3][0] = 0.3;
    ASSERT_TRUE(beam.SetFrontEnd("raf3", fe));
    volatile FPGAMem_t* block = chassis.Find("raf3")->Memory() + sim::FaBlockModel::c_block;
    fpga::Write32(block, sim::FaBlockModel::c_offX, static_cast<uint32_t>(-1234));
    fpga::Write32(block, sim::FaBlockModel::c_offS, 77);
    auto same = [](const sim::FaRecord& a, const sim::FaRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; };

    // Odd first LMTs and steps that cut the 40-turn switch steps anywhere,
    // with and without noise, switching on and off.
    for (const double noise : {0.0, 250.0}) {
        for (const bool switching : {true, false}) {
            for (const uint64_t turns : {uint64_t{56}, uint64_t{56000}, uint64_t{7}}) {
                SCOPED_TRACE(std::to_string(noise) + (switching ? " switching, " : " fixed, ") + std::to_string(turns));
                sim::BeamOptions options = beam.Options();
                options.noise = noise;
                options.switching = switching;
                beam.SetOptions(options);
                std::vector<sim::FaRecord> batch(300);
                raf->MakeFa(batch.data(), batch.size(), 12345, 220 * turns + 13, turns);
                for (size_t k = 0; k < batch.size(); ++k) {
                    ASSERT_TRUE(same(raf->MakeFa(12345 + k * (220 * turns + 13), turns), batch[k])) << k;
                }
            }
        }
    }

    beam.SetNoise(0);
    auto fa = sim::StreamDevice::Find(chassis.Find("raf3")->DeviceName(1, 0));
    fa->Open();
    raf->Feed(); // the stream starts with the atoms due from now on
    const sim::MachineClock& clock = chassis.Find("raf3")->Clock();
    const uint64_t opened = clock.Now();
    ASSERT_TRUE(zvtest::WaitFor([&] { return clock.Now() > opened + 150 * raf->FaStep(); }));
    raf->Feed();
    std::vector<sim::FaRecord> atoms(4096);
    size_t got = 0;
    ASSERT_EQ(sim::StreamDevice::c_readOk, fa->Read(atoms.data(), atoms.size() * 64, 64, got, 100ms));
    ASSERT_GE(got / 64, 100u);
    for (size_t i = 0; i < got / 64; ++i) {
        const uint64_t lmt = static_cast<uint32_t>(atoms[i].lmtLow) |
                             (static_cast<uint64_t>(static_cast<uint32_t>(atoms[i].lmtHigh)) << 32);
        ASSERT_TRUE(same(raf->MakeFa(lmt, 56), atoms[i])) << i;
    }
    fa->Close();
}

// A reader of 1024-atom groups (the server's "fa") is fed whole groups, one
// after the other without a gap.
TEST_F(BeamFixture, ReadersOfGroupsAreFedWholeGroups)
{
    auto fa = sim::StreamDevice::Find(chassis.Find("raf3")->DeviceName(1, 0));
    fa->Open(1024 * sizeof(sim::FaRecord));
    std::vector<sim::FaRecord> atoms(4096);
    uint64_t next = 0;
    for (int group = 0; group < 3; ++group) {
        ASSERT_TRUE(zvtest::WaitFor([&] {
            raf->Feed();
            return fa->BytesPending() > 0;
        }));
        size_t got = 0;
        ASSERT_EQ(sim::StreamDevice::c_readOk, fa->Read(atoms.data(), atoms.size() * 64, 64, got, 100ms));
        ASSERT_EQ(0u, got % (1024 * 64)) << got;
        for (size_t i = 0; i < got / 64; ++i) {
            const uint64_t lmt = static_cast<uint32_t>(atoms[i].lmtLow);
            ASSERT_TRUE(next == 0 || lmt == next) << i;
            next = lmt + 12320;
        }
    }
    fa->Close();
}

// A reader fed before that falls more than a second behind (the feeding
// held up, as a stopped server is) loses the older atoms: the device counts
// them as dropped and tells them with the read of the atoms after them,
// exactly as many as the LMTs skip. A new reader loses nothing before its
// first atom.
TEST_F(BeamFixture, AtomsPassedOverForAReaderThatFellBehindAreDroppedByTheDevice)
{
    auto fa = sim::StreamDevice::Find(chassis.Find("raf3")->DeviceName(1, 0));
    fa->Open();
    const sim::MachineClock& clock = chassis.Find("raf3")->Clock();
    uint64_t due = clock.Now() + 150 * raf->FaStep();
    raf->Feed();
    ASSERT_TRUE(zvtest::WaitFor([&] { return clock.Now() > due; }));
    raf->Feed();
    due = clock.Now() + static_cast<uint64_t>(clock.Frequency() * 1.5);
    ASSERT_TRUE(zvtest::WaitFor([&] { return clock.Now() > due; }, 10s));
    raf->Feed();
    EXPECT_GT(fa->BytesDropped(), 0u);
    auto lmt = [](const sim::FaRecord& atom) {
        return static_cast<uint32_t>(atom.lmtLow) | (static_cast<uint64_t>(static_cast<uint32_t>(atom.lmtHigh)) << 32);
    };
    std::vector<sim::FaRecord> atoms(1 << 16);
    uint64_t told = 0;
    uint64_t last = 0;
    for (int read = 0; fa->BytesPending() > 0; ++read) {
        size_t got = 0;
        uint64_t before = 0;
        ASSERT_EQ(sim::StreamDevice::c_readOk, fa->Read(atoms.data(), atoms.size() * 64, 64, got, before, 100ms));
        ASSERT_GT(got, 0u);
        if (read == 0) {
            EXPECT_EQ(0u, before);
        } else {
            EXPECT_EQ(last + (before / 64 + 1) * raf->FaStep(), lmt(atoms[0])) << read;
        }
        told += before;
        last = lmt(atoms[got / 64 - 1]);
    }
    EXPECT_EQ(fa->BytesDropped(), told);
    fa->Close();
}

// The feeding thread wakes when the readers' next groups are due, not in
// between: one feed a group, also for a reader that came later.
TEST_F(BeamFixture, TheFeedingThreadWakesForTheReadersGroups)
{
    constexpr size_t group = 1024 * sizeof(sim::FaRecord);
    auto fa3 = sim::StreamDevice::Find(chassis.Find("raf3")->DeviceName(1, 0));
    auto fa4 = sim::StreamDevice::Find(chassis.Find("raf4")->DeviceName(1, 0));
    // The boards' clocks synchronised, as the server keeps them.
    const auto now = std::chrono::steady_clock::now();
    chassis.Find("raf3")->Clock().Set(0, now);
    chassis.Find("raf4")->Clock().Set(0, now);
    fa3->Open(group);
    beam.Start();
    ASSERT_TRUE(zvtest::WaitFor([&] { return fa3->BytesFed() >= group; }));
    // Half a group later, a look at raf4 while nobody reads it: its reader
    // comes between raf3's groups.
    const sim::MachineClock& clock = chassis.Find("raf4")->Clock();
    const uint64_t half = clock.Now() + 512 * raf->FaStep();
    ASSERT_TRUE(zvtest::WaitFor([&] { return clock.Now() > half; }));
    beam.Find(*chassis.Find("raf4"))->Feed();
    fa4->Open(group);
    ASSERT_TRUE(zvtest::WaitFor([&] { return fa4->BytesFed() >= group; }));
    const uint64_t fed = fa3->BytesFed();
    const uint64_t first = beam.Feeds();
    ASSERT_TRUE(zvtest::WaitFor([&] { return fa3->BytesFed() >= fed + 5 * group; }));
    // Five groups later (about 540 ms); a feed every 50 ms made eleven,
    // one for each reader's groups nine.
    EXPECT_LE(beam.Feeds() - first, 6u);
    beam.Stop();
    fa3->Close();
    fa4->Close();
}

// The atoms follow every change of the analogue front end at once.
TEST_F(BeamFixture, AtomsFollowTheAnalogueFrontEnd)
{
    sim::RafFrontEnd& analogue = *chassis.Find("raf3")->FrontEnd();
    std::vector<int32_t> tdp(4 * 160);
    auto make = [&] { raf->MakeTdp(tdp.data(), 160, 0, 220); };
    make();
    ASSERT_NEAR(Amplitude(1), tdp[1], 1.0);
    ASSERT_EQ(1, tdp[0] & 1);

    analogue.SetInputPower(analogue.InputPower() + 20 * std::log10(2.0));
    make();
    EXPECT_NEAR(2 * Amplitude(1), tdp[1], 2.0);
    // Position 0 (the pattern's first step) loses half on channel B.
    analogue.SetChannelError(0, 1, 0.5, 0.0);
    make();
    EXPECT_NEAR(Amplitude(1), tdp[1], 2.0);
    // The marker goes with switch position 9, which no step of the
    // unwritten switch words selects.
    fpga::Write32(chassis.Find("raf3")->Memory(), sim::RafFrontEnd::c_markOffset, 9);
    make();
    for (int t = 0; t < 160; ++t) {
        ASSERT_EQ(0, tdp[4 * t] & 1) << t;
    }
}

TEST_F(BeamFixture, ConditioningTapsShapeTheTurnsNotTheAdcSamples)
{
    std::vector<int16_t> adc(4 * 440);
    raf->MakeAdc(adc.data(), 440, 0, 1);
    std::vector<int32_t> tdp(4);
    raf->MakeTdp(tdp.data(), 1, 0, 220);

    // Bank 0, the bank in use: the attenuator of the start (20 dB) and twice
    // the unit pair at every switch position.
    volatile FPGAMem_t* dsc = chassis.Find("raf3")->Memory() + sim::RafFrontEnd::c_dscOffset;
    fpga::Write64(dsc, 0x10, 0x28282828);
    for (unsigned c = 0; c < 4; ++c) {
        for (unsigned s = 0; s < 16; ++s) {
            fpga::Write64(dsc, 0x9000 + 0x80 * c + 8 * s, 0x20000);
        }
    }
    std::vector<int16_t> adcAfter(4 * 440);
    raf->MakeAdc(adcAfter.data(), 440, 0, 1);
    EXPECT_EQ(adc, adcAfter);
    std::vector<int32_t> tdpAfter(4);
    raf->MakeTdp(tdpAfter.data(), 1, 0, 220);
    const double ratio = static_cast<double>(tdpAfter[1]) / tdp[1];
    EXPECT_GE(ratio, 1.99);
    for (unsigned c = 0; c < 4; ++c) {
        EXPECT_NEAR(ratio * tdp[c], tdpAfter[c], 1e-5 * tdpAfter[c]) << c;
    }
}

TEST_F(BeamFixture, StreamsAndHistoryStopAndRestartAtTheRequestedLmt)
{
    sim::Board& board = *chassis.Find("raf3");
    auto fa = sim::StreamDevice::Find(board.DeviceName(1, 0));
    ASSERT_TRUE(fa);
    // Closed: nothing is made.
    std::this_thread::sleep_for(30ms);
    raf->Feed();
    EXPECT_EQ(0u, fa->BytesFed());

    fa->Open();
    std::this_thread::sleep_for(50ms);
    raf->Feed();
    std::vector<sim::FaRecord> atoms(4096);
    size_t got = 0;
    ASSERT_EQ(sim::StreamDevice::c_readOk, fa->Read(atoms.data(), atoms.size() * 64, 64, got, 100ms));
    ASSERT_GE(got / 64, 300u); // about 9.5 atoms per ms
    for (size_t i = 1; i < got / 64; ++i) {
        ASSERT_EQ(static_cast<uint32_t>(atoms[i - 1].lmtLow) + 12320u, static_cast<uint32_t>(atoms[i].lmtLow));
    }
    EXPECT_EQ(0u, static_cast<uint32_t>(atoms[0].lmtLow) % 12320u);

    // Stop: nothing more; start at a later LMT: atoms from there on.
    const sim::EventRecord stop{static_cast<uint64_t>(sim::c_requestRafStop) << 32, 0, 0, 0};
    chassis.GetBeam().OnRequest(board, stop);
    std::this_thread::sleep_for(20ms);
    const uint64_t fed = fa->BytesFed();
    raf->Feed();
    EXPECT_EQ(fed, fa->BytesFed());
    const uint64_t start = board.Clock().Now() + 1174400; // 10 ms ahead
    const sim::EventRecord request{static_cast<uint64_t>(sim::c_requestRafStart) << 32, 0, start, 0};
    chassis.GetBeam().OnRequest(board, request);
    auto tdp = sim::HistoryMemory::GetTrack(raf->Memory(), 16u << 20, 1048576, 16);
    EXPECT_EQ(start, tdp->Snapshot().firstLmt);
    EXPECT_EQ(0u, tdp->Snapshot().written);
    std::this_thread::sleep_for(40ms);
    raf->Feed();
    ASSERT_EQ(sim::StreamDevice::c_readOk, fa->Read(atoms.data(), atoms.size() * 64, 64, got, 100ms));
    EXPECT_EQ(static_cast<uint32_t>(start), static_cast<uint32_t>(atoms[0].lmtLow));
    EXPECT_GT(tdp->Snapshot().written, 10000u);

    // Triggers add ADC sections of the timing state machine's duration.
    auto adc = sim::HistoryMemory::GetTrack(raf->Memory(), 0, 2097152, 8);
    chassis.TriggerAll();
    chassis.TriggerAll();
    EXPECT_EQ(2u * 8192u, adc->Snapshot().written);
    std::vector<int16_t> samples(4 * 8192);
    raf->Memory()->Read(samples.data(), samples.size() * 2, 0);
    int16_t peak = 0;
    for (int16_t v : samples) {
        peak = std::max<int16_t>(peak, v);
    }
    EXPECT_NEAR(8000 * 1.005, peak, 100); // channel A's amplitude in ADC counts
    fa->Close();
}

// The trigger that takes a synchronised LMT, ahead of the clock or behind it,
// stops the boards' acquisitions (a RAF board's FA stream and TBT history,
// the GDX board's FA history) as a stop request would: none of them makes an
// atom on the new clock before its start request.
TEST_F(BeamFixture, TheTriggerThatTakesANewLmtStopsTheAcquisitions)
{
    sim::Board& board = *chassis.Find("raf3");
    sim::Board& gdx = *chassis.Find("gdx");
    auto fa = sim::StreamDevice::Find(board.DeviceName(1, 0));
    ASSERT_TRUE(fa);
    auto tdp = sim::HistoryMemory::GetTrack(raf->Memory(), 16u << 20, 1048576, 16);
    const auto& gdxFa = gdx.Gdx()->FaTrack();
    fpga::Write32(gdx.Memory(), sim::GdxModels::c_historyControl, sim::GdxModels::c_historyArmed);
    fa->Open();
    for (const bool ahead : {true, false}) {
        SCOPED_TRACE(ahead ? "ahead" : "behind");
        const uint64_t start = board.Clock().Now();
        chassis.GetBeam().OnRequest(board,
                                    sim::EventRecord{static_cast<uint64_t>(sim::c_requestRafStart) << 32, 0, start, 0});
        gdx.OnRequest(sim::EventRecord{static_cast<uint64_t>(sim::c_requestGdxStart) << 32, 0, start, 0});
        std::this_thread::sleep_for(20ms);
        const uint64_t lmt = ahead ? start + 10 * 117440043ull : 1000;
        board.SetLmtAtNextTrigger(lmt);
        gdx.SetLmtAtNextTrigger(lmt);
        chassis.TriggerAll();
        const uint64_t fed = fa->BytesFed();
        std::this_thread::sleep_for(20ms);
        raf->Feed();
        EXPECT_EQ(fed, fa->BytesFed());
        for (const auto& track : {tdp, gdxFa}) {
            const auto state = track->Snapshot();
            EXPECT_GT(state.written, 0u);
            EXPECT_LT(state.newestLmt, ahead ? lmt : start + 117440043ull);
        }
    }
    fa->Close();
}

// The ADC history as the ADC signal's controller reads it: sections of 8192
// atoms, one per trigger.
class AdcSections : public BeamFixture {
protected:
    AdcSections() : board(*chassis.Find("raf3")), track(sim::HistoryMemory::GetTrack(raf->Memory(), 0, 2097152, 8))
    {
        sections.SetHistory(track);
    }
    // A read at LMT lmt (mode 12, or another mode with time): its code, and
    // its atoms equal the beam's at the LMT that its metadata give.
    qsig::SuccessCode_e ReadAt(uint64_t lmt, qsig::SignalMeta& meta, qsig::AccessMode_e mode = qsig::eAccessAtTime)
    {
        qsig::LMT at = 0;
        size_t position = 0;
        const qsig::SuccessCode_e rc = sections.GetPosition(mode, lmt, 0, 16, at, position, meta);
        if (rc == qsig::eSuccess) {
            std::vector<int16_t> atoms(4 * 16);
            std::vector<int16_t> beamAtoms(4 * 16);
            raf->Memory()->Read(atoms.data(), atoms.size() * 2, position * 8);
            raf->MakeAdc(beamAtoms.data(), 16, static_cast<uint64_t>(meta[qsig::eMetaLmt]), 1);
            EXPECT_EQ(beamAtoms, atoms);
        }
        return rc;
    }
    sim::Board& board;
    std::shared_ptr<sim::HistoryMemory::Track> track;
    qsig::SegmentedBufferController sections{2097152, 256, 2};
};

// The trigger that takes a synchronised LMT begins a new time line of the ADC
// history with its section; the sections before it stay, read by number with
// the LMTs they were recorded with. An LMT finds only a section of the new
// time line, also where an older section carried the same LMTs, and an LMT
// that only an older section carried finds none.
TEST_F(AdcSections, TheTriggerThatTakesANewLmtBeginsATimeLineOfTheHistory)
{
    fpga::Write32(board.Memory(), 0x500008, 0); // no acquisition offset
    chassis.TriggerAll();
    std::this_thread::sleep_for(10ms);
    chassis.TriggerAll();
    std::vector<sim::HistoryMemory::LmtRun> runs;
    track->Snapshot(runs);
    ASSERT_EQ(2u, runs.size());
    const uint64_t first = runs[0].firstLmt;
    const uint64_t second = runs[1].firstLmt;
    board.SetLmtAtNextTrigger(first); // the new section carries the LMTs of the first
    chassis.TriggerAll();
    const struct {
        qsig::AccessMode_e mode;
        uint64_t time;
        int64_t section; // -1: none
        uint64_t lmt;
    } cases[] = {
        {qsig::eAccessDefault, 2, 0, first},        {qsig::eAccessDefault, 1, 1, second},
        {qsig::eAccessDefault, 0, 2, first},        {qsig::eAccessAtTime, first + 100, 2, first + 100},
        {qsig::eAccessAtTime, second + 100, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", time " << c.time);
        qsig::SignalMeta meta;
        const qsig::SuccessCode_e rc = ReadAt(c.time, meta, c.mode);
        if (c.section < 0) {
            EXPECT_NE(qsig::eSuccess, rc);
            continue;
        }
        ASSERT_EQ(qsig::eSuccess, rc);
        EXPECT_EQ(c.section, meta[qsig::eMetaSequence]);
        EXPECT_EQ(static_cast<int64_t>(c.lmt), meta[qsig::eMetaLmt]);
    }
}

// An LMT just past the newest section is refused once the board's clock has
// passed it with no trigger (no section will hold it), at once; one ahead of
// the clock may still come.
TEST_F(AdcSections, AnLmtPastTheNewestSectionThatTheClockPassedIsRefused)
{
    chassis.TriggerAll();
    const uint64_t next = track->Snapshot().newestLmt + 1;
    qsig::SignalMeta meta;
    EXPECT_EQ(qsig::eTryAgain, ReadAt(board.Clock().Now() + 117440043, meta)); // a second ahead
    // The clock well past the LMT, with no trigger on its way.
    ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > next + 11744004; }));
    EXPECT_EQ(qsig::eBadRequest, ReadAt(next, meta));
    EXPECT_NE(std::string::npos,
              sections.Explain(qsig::eAccessAtTime, next, 0, 16, qsig::eBadRequest).find("after the newest section"));
}

// Past the newest section, an LMT that the clock has passed lies in a gap
// that no section will fill: refused at once, as soon as the clock passed it,
// and still so after the next trigger. Not so while a trigger is on its way
// to the board (its delivery lags behind the clock), nor at the LMTs where
// the next section may start once the acquisition offset grew: "try again",
// and that section then holds the LMT.
TEST_F(AdcSections, AnLmtPastTheNewestSectionIsRefusedOnlyWhenNoSectionWillHoldIt)
{
    constexpr size_t c_tsmOffset = 0x500008;
    constexpr size_t c_tsmDuration = 0x50000C;
    constexpr uint32_t c_region = 2097152;
    constexpr uint64_t c_100ms = 11744004;
    constexpr uint32_t c_grown = 20000000; // 170 ms before the trigger
    enum Case_e { eClockPassed, eDeliveryLags, eOffsetGrew };
    const struct {
        Case_e what;
        uint32_t duration; // the whole region: an LMT asked close to a trigger lies in its section
        qsig::SuccessCode_e before;
        qsig::SuccessCode_e after; // once the next trigger has its section
    } cases[] = {
        {eClockPassed, 8192, qsig::eBadRequest, qsig::eBadRequest},
        {eDeliveryLags, c_region, qsig::eTryAgain, qsig::eSuccess},
        {eOffsetGrew, c_region, qsig::eTryAgain, qsig::eSuccess},
    };
    std::atomic<bool> lag{false};
    uint64_t asked = 0;
    qsig::SuccessCode_e during = qsig::eRefused;
    qsig::SignalMeta meta;
    board.AddTriggerHook([&] {
        if (lag.exchange(false)) {
            // The trigger reaches the board 100 ms late, its section after it.
            asked = board.Clock().Now();
            ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > asked + c_100ms; }));
            during = ReadAt(asked, meta);
        }
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << c.what);
        fpga::Write32(board.Memory(), c_tsmDuration, c.duration);
        qsig::SuccessCode_e before = qsig::eRefused;
        qsig::SuccessCode_e after = qsig::eRefused;
        // Again when the machine stalled the test between its ask and the
        // trigger for longer than a section lasts.
        for (int attempt = 0; attempt < 3 && after != c.after; ++attempt) {
            fpga::Write32(board.Memory(), c_tsmOffset, 0);
            chassis.TriggerAll();
            const uint64_t newest = track->Snapshot().newestLmt;
            switch (c.what) {
            case eClockPassed:
                asked = newest + 1;
                ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > asked; }));
                before = ReadAt(asked, meta);
                break;
            case eDeliveryLags:
                ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > newest; }));
                lag = true;
                break;
            case eOffsetGrew:
                ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > newest + c_grown; }));
                fpga::Write32(board.Memory(), c_tsmOffset, c_grown);
                asked = board.Clock().Now() - c_grown + c_region / 2;
                before = ReadAt(asked, meta);
                break;
            }
            chassis.TriggerAll();
            if (c.what == eDeliveryLags) {
                before = during;
            }
            after = ReadAt(asked, meta);
        }
        EXPECT_EQ(c.before, before);
        EXPECT_EQ(c.after, after);
        if (after == qsig::eSuccess) {
            EXPECT_EQ(static_cast<int64_t>(asked), meta[qsig::eMetaLmt]);
        }
    }
}

// A board without clock information (every decimation taken as 1, an FA atom
// per ADC period) gets a bounded batch a feed, not a second of atoms.
TEST(BeamScenario, AFeedMakesBoundedBatchesWhateverTheRates)
{
    sim::Chassis chassis(sim::Scenario::Parse(R"(<chassis><board type="175" name="bare" slot="3"/></chassis>)"));
    sim::Board& board = *chassis.Find("bare");
    auto fa = sim::StreamDevice::Find(board.DeviceName(1, 0));
    fa->Open();
    // More than three times the bound comes due.
    const uint64_t opened = board.Clock().Now();
    ASSERT_TRUE(zvtest::WaitFor([&] { return board.Clock().Now() > opened + 200000; }));
    chassis.GetBeam().Find(board)->Feed();
    EXPECT_GT(fa->BytesFed(), 0u);
    EXPECT_LE(fa->BytesFed(), 65536u * sizeof(sim::FaRecord));
    EXPECT_EQ(0u, fa->BytesDropped()); // the reader's first atoms: nothing lost before
    fa->Close();
}

TEST(BeamScenario, BeamAndFrontEndElements)
{
    const sim::Scenario s = sim::Scenario::Parse(R"(<chassis>
        <beam x="-1500.5" y="2000" intensity="1000" noise="3" pattern="1 2 3 4" switching="false"/>
        <board type="175" name="raf3" slot="3">
          <frontend attenuation="6">
            <position index="2" gains="1 1.1 1 0.9" phases="0 0.1 0 0"/>
          </frontend>
        </board>
      </chassis>)");
    EXPECT_DOUBLE_EQ(-1500.5, s.beam.x);
    EXPECT_DOUBLE_EQ(1000, s.beam.intensity);
    EXPECT_EQ((std::array<uint32_t, 4>{{1, 2, 3, 4}}), s.beam.pattern);
    EXPECT_FALSE(s.beam.switching);
    EXPECT_DOUBLE_EQ(1e7, s.beam.kx);
    EXPECT_DOUBLE_EQ(6, s.boards[0].frontEnd.attenuation);
    EXPECT_DOUBLE_EQ(0.9, s.boards[0].frontEnd.gain[2][3]);
    EXPECT_DOUBLE_EQ(0.1, s.boards[0].frontEnd.phase[2][1]);
    EXPECT_DOUBLE_EQ(1.0, s.boards[0].frontEnd.gain[0][3]);

    for (
        const char* bad : {
            R"(<chassis><beam pattern="1 2 3"/><board type="175" name="r" slot="3"/></chassis>)",
            R"(<chassis><beam pattern="1 2 3 16"/><board type="175" name="r" slot="3"/></chassis>)",
            R"(<chassis><beam kx="0"/><board type="175" name="r" slot="3"/></chassis>)",
            R"(<chassis><beam size="1"/><board type="175" name="r" slot="3"/></chassis>)",
            R"(<chassis><board type="125" name="g" slot="7"><frontend/></board></chassis>)",
            R"(<chassis><board type="175" name="r" slot="3"><frontend><position index="4"/></frontend></board></chassis>)",
            R"(<chassis><board type="175" name="r" slot="3"><frontend><position index="0" gains="1 1 1 1 1"/></frontend></board></chassis>)",
        }) {
        EXPECT_THROW(sim::Scenario::Parse(bad), qstd::Exception) << bad;
    }
}

// The feeding thread, readers of history and streams, and changes of the
// beam at once.
TEST(BeamConcurrency, FeedingReadingAndChangingTheBeam)
{
    sim::Chassis chassis(sim::Scenario::Default());
    chassis.Start();
    sim::Board& board = *chassis.Find("raf4");
    sim::RafAcquisition* raf = chassis.GetBeam().Find(board);
    auto sa = sim::StreamDevice::Find(board.DeviceName(1, 1));
    auto fa = sim::StreamDevice::Find(board.DeviceName(1, 0));
    sa->Open();
    fa->Open();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<sim::FaRecord> atoms(1024);
        while (!stop.load()) {
            size_t got = 0;
            fa->Read(atoms.data(), atoms.size() * 64, 64, got, 20ms);
        }
    });
    std::vector<int32_t> ddc(8 * 4096);
    for (int i = 0; i < 20; ++i) {
        chassis.GetBeam().SetPosition(i * 1000.0, -i * 1000.0);
        raf->Memory()->Read(ddc.data(), ddc.size() * 4, 32u << 20);
        std::this_thread::sleep_for(10ms);
    }
    stop.store(true);
    reader.join();
    EXPECT_GT(fa->BytesFed(), 0u);
    chassis.Stop();
}

} // namespace
