// The acquisition on a running chassis: every RAF board's SA, FA, TDP and DDC
// signals give the simulated beam's position and follow its changes, and the
// TBT/SA/FA restart at a synchronised LMT, also with a board that never
// confirms its start.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/history_buffer.h"
#include "acquisition/signals.h"
#include "app/fa_sync_controller.h"
#include "app/gdx_board.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qsig/dod_history_controller.h"
#include "platform/qstd/capture.h"
#include "qsig/stream_client.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using apptest::RunningApp;

constexpr double c_intensity = 4e6;
constexpr double c_noise = 200; // counts per channel and turn
constexpr double c_k = 1e7;     // the beam's geometry constant and the FA block's Kx and Ky

// Largest position error of an atom averaged over turns turns: the uniform
// noise of the four channels (half-width sqrt(3) sigma / sqrt(turns) each)
// and 8 counts for rounding, the DDC's I/Q quantisation and the marker bit,
// through X = k D / S; plus 1 nm for the integer division.
double Tolerance(double turns, double position)
{
    const double counts = 4 * std::sqrt(3.0) * c_noise / std::sqrt(turns) + 8;
    return (c_k + std::fabs(position)) * counts / c_intensity + 1;
}

struct Position {
    double x;
    double y;
};

template <typename Atom> void ExpectAt(const Atom& a, Position p, double turns, const std::string& what)
{
    const double tolerance = Tolerance(turns, std::max(std::fabs(p.x), std::fabs(p.y)));
    EXPECT_NEAR(p.x, a.X, tolerance) << what;
    EXPECT_NEAR(p.y, a.Y, tolerance) << what;
}

// Longest time from the second of two synchronisations in a row to the GDX
// FA atoms of a reader, fixed whatever the load or the build: one restart
// takes about 0.8 s here (both streamers' link waits and the start 100 ms
// ahead), with or without the thread sanitizer. Before the restarts gave way
// to each other, the FA peers' waits alone ran out after 2 s each.
constexpr long long c_two_syncs_ms = 2000;

uint64_t LmtOf(const SaFaAtom& a)
{
    return static_cast<uint32_t>(a.LMT_l) | static_cast<uint64_t>(static_cast<uint32_t>(a.LMT_h)) << 32;
}

// The newest count atoms of a derived TBT source.
template <typename Source> qsig::Array<TbtAmplTraits> ReadNow(Source& source, unsigned count)
{
    auto client = source.CreateClient("test-now");
    qsig::Array<TbtAmplTraits> atoms(TbtAmplTraits(), count);
    EXPECT_EQ(qsig::eSuccess, client.Open(qsig::eAccessNow, 0, -static_cast<long long>(count)));
    qsig::SignalMeta meta;
    EXPECT_EQ(qsig::eSuccess, client.Read(atoms, meta, 0));
    client.Close();
    return atoms;
}

void ExpectBoardAt(RafBoard& raf, Position p)
{
    Signals& s = *raf.GetSignals();
    const std::string name = raf.GetName();

    qsig::StreamClient<SaFaTraits> sa(s.GetSaStream(), "test-sa", 64);
    ASSERT_EQ(qsig::eSuccess, sa.Open());
    sa.GetQueue().SetTimeout(2000);
    SaFaAtom atom{};
    ASSERT_EQ(qsig::eSuccess, sa.Read(atom)) << name;
    ExpectAt(atom, p, 56000, name + " sa");
    sa.Close();

    qsig::StreamClient<SaFaTraits> fa(s.GetFaStream(), "test-fa", 64);
    ASSERT_EQ(qsig::eSuccess, fa.Open());
    fa.GetQueue().SetTimeout(2000);
    qsig::Array<SaFaTraits> atoms(SaFaTraits(), 1024);
    ASSERT_EQ(qsig::eSuccess, fa.Read(atoms)) << name;
    for (unsigned i = 0; i < atoms.GetLength(); ++i) {
        ExpectAt(atoms[i], p, 56, name + " fa " + std::to_string(i));
        if (i > 0) {
            ASSERT_EQ(LmtOf(atoms[i - 1]) + 12320u, LmtOf(atoms[i])) << name;
        }
    }
    fa.Close();

    const auto tdp = ReadNow(*s.GetTdpAmplSource(), 2000);
    ASSERT_EQ(2000u, tdp.GetLength()) << name;
    const auto ddc = ReadNow(*s.GetDdcAmplSource(), 2000);
    ASSERT_EQ(2000u, ddc.GetLength()) << name;
    for (unsigned i = 0; i < 2000; i += 97) {
        ExpectAt(tdp[i], p, 1, name + " tdp " + std::to_string(i));
        ExpectAt(ddc[i], p, 1, name + " ddc " + std::to_string(i));
    }
}

TEST(AcquisitionChassisConcurrency, EveryBoardGivesTheBeamAndFollowsItsChanges)
{
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    sim::Beam& beam = run.Chassis().GetBeam();
    beam.SetNoise(c_noise);
    const Position first{150000, -80000};
    beam.SetPosition(first.x, first.y);
    const std::vector<RafBoard*> rafs = run.App().GetRafBoards();
    ASSERT_EQ(4u, rafs.size());
    for (RafBoard* raf : rafs) {
        ExpectBoardAt(*raf, first);
    }

    // A change shows in the SA stream within one SA period.
    RafBoard& raf = *rafs[2];
    qsig::StreamClient<SaFaTraits> sa(raf.GetSignals()->GetSaStream(), "test-follow", 64);
    ASSERT_EQ(qsig::eSuccess, sa.Open());
    sa.GetQueue().SetTimeout(2000);
    SaFaAtom atom{};
    ASSERT_EQ(qsig::eSuccess, sa.Read(atom));
    const Position second{-40000, 25000};
    beam.SetPosition(second.x, second.y);
    // The change is in effect by now (the call may have waited for the beam
    // to be free, or the thread for the processor).
    const uint64_t changed = raf.Board()->SimBoard()->Clock().Now();
    // Atoms of the old position come no later than one SA period after the
    // change; the reads stop at the first atom past it.
    do {
        ASSERT_EQ(qsig::eSuccess, sa.Read(atom));
    } while (std::fabs(atom.X - second.x) > Tolerance(56000, second.x) && LmtOf(atom) <= changed + 12320000u);
    EXPECT_LE(LmtOf(atom), changed + 12320000u);
    ExpectAt(atom, second, 56000, "after the change");
    // The history reads show the new beam at once.
    ExpectAt(ReadNow(*raf.GetSignals()->GetTdpAmplSource(), 10)[9], second, 1, "tdp after the change");

    // DDC reads of the board ("now" and at an LMT), with the switch marker.
    qsig::Array<DdcTraits> ddc;
    EXPECT_EQ(1000, raf.ReadDDC(ddc, -1000));
    ASSERT_EQ(1000u, ddc.GetLength());
    unsigned marked = 0;
    for (unsigned i = 0; i < 1000; ++i) {
        marked += ddc[i][0].I & 1;
    }
    EXPECT_NEAR(250.0, marked, 41.0); // one step of the four is marked
    EXPECT_EQ(500, raf.ReadDDC(ddc, 500));
    qsig::ZemtraMachineTime at(raf.Board()->SimBoard()->Clock().Now() - 1000000);
    ddc.Resize(100);
    EXPECT_EQ(100u, raf.ReadDDC(ddc, at, qsig::ePriorityHigh));
    EXPECT_TRUE(run.Stop());
}

TEST(AcquisitionChassisConcurrency, SynchronisedLmtRestartsEveryBoardWithTheGdxPeer)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    const uint64_t lmt = 2000000000;
    const uint64_t start = lmt + 36960000; // (31800000 / 12320000 + 1) x 12320000
    const std::string started = "TBT, FA, SA signals started at LMT=" + std::to_string(start);
    const std::string gdxStarted = "GDX-FA signal started at LMT=";
    // Start-up's own restarts are over before the synchronisation, however
    // slowly the machine ran them.
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            return apptest::CountLogged(capture, "TBT, FA, SA signals started at LMT=36960000") == 4 &&
                   apptest::CountLoggedContaining(capture, gdxStarted) == 1;
        },
        10s));
    std::vector<uint64_t> stops;
    for (RafBoard* raf : app.GetRafBoards()) {
        stops.push_back(raf->Board()->SimBoard()->StopRequests());
    }

    run.Client().SetText("synchronize_lmt", std::to_string(lmt));
    ASSERT_TRUE(zvtest::WaitFor([&] { return apptest::CountLogged(capture, started) == 4; }, 10s));
    ASSERT_TRUE(zvtest::WaitFor([&] { return apptest::CountLoggedContaining(capture, gdxStarted) == 2; }, 10s));
    EXPECT_EQ(4u, app.GetFaSyncController()->GetCounter());
    size_t i = 0;
    for (RafBoard* raf : app.GetRafBoards()) {
        sim::Board& sb = *raf->Board()->SimBoard();
        EXPECT_EQ(stops[i++] + 1, sb.StopRequests()) << raf->GetName();
        volatile FPGAMem_t* hb = sb.Memory() + RafBoard::c_hb_offset;
        EXPECT_EQ(4u, fpga::Read64(hb, tHB::c_tbt1_control));
        EXPECT_EQ(4u, fpga::Read64(hb, tHB::c_tbt2_control));
        // The controllers are re-anchored once all FA chains run again.
        Signals& s = *raf->GetSignals();
        for (qsig::DodPositionController* c :
             {s.GetDdcSource()->GetPositionController().get(), s.GetTdpSource()->GetPositionController().get()}) {
            EXPECT_TRUE(zvtest::WaitFor([&] { return c->GetResetLmt() == start && c->IsEnabled(); }, 5s))
                << raf->GetName() << " " << c->GetResetLmt();
        }
        // The SA atoms lie on the grid of the start LMT.
        qsig::StreamClient<SaFaTraits> sa(s.GetSaStream(), "test-grid", 64);
        ASSERT_EQ(qsig::eSuccess, sa.Open());
        sa.GetQueue().SetTimeout(2000);
        SaFaAtom atom{};
        ASSERT_EQ(qsig::eSuccess, sa.Read(atom));
        EXPECT_EQ(0u, (LmtOf(atom) - start) % 12320000u) << raf->GetName();
    }
    EXPECT_EQ(8u, apptest::CountLogged(capture, "TBT, FA, SA signals stopped."));
    // Every board's FA peers stopped and ran again together.
    EXPECT_FALSE(capture.TracedSubstring("Timeout waiting for all FA chains"));
    EXPECT_TRUE(run.Stop());
}

// A reader of the GDX board's FA signal that reads ahead goes on through a
// synchronisation, as the RAF boards' readers do: after the atoms of the old
// LMTs come those of the restarted FA chain, from its first atom on (the
// chain starts at an LMT of its own; its atoms lie on the RAF boards' grid).
TEST(AcquisitionChassisConcurrency, GdxFaReaderGoesOnThroughASynchronisation)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    const std::string started = "GDX-FA signal started at LMT=";
    ASSERT_TRUE(zvtest::WaitFor([&] { return apptest::CountLoggedContaining(capture, started) == 1; }, 10s));
    const auto& source = run.App().GetGdxBoard()->GetFaSource();
    ASSERT_TRUE(source);
    // The reader's own controller, as a client reading ahead (mode 13) has.
    qsig::PosControllerPtr reader = source->GetPositionControllerCopy(qsig::eAccessStreaming);
    ASSERT_TRUE(reader);
    std::dynamic_pointer_cast<qsig::DodHistoryController>(reader)->SetTimeout(20s);
    constexpr size_t c_count = 50;
    constexpr uint64_t c_fa = 12320;
    // The next c_count atoms (fewer, as a client reads them, for the last
    // buffer of a time line): the LMT of the first, each atom's own LMT
    // checked, and their number.
    size_t got = 0;
    auto read = [&](uint64_t& lmt) {
        qsig::LMT at = 0;
        size_t position = 0;
        qsig::SignalMeta meta;
        qsig::SuccessCode_e rc = reader->GetPosition(qsig::eAccessStreaming, 0, 0, c_count, at, position, meta);
        got = rc == qsig::eSuccess ? std::min(c_count, reader->GetMaxReadSizeFrom(position)) : 0;
        qsig::Array<GdxFaTraits> atoms(GdxFaTraits(), static_cast<unsigned>(got));
        if (rc == qsig::eSuccess) {
            rc = source->Read(atoms, position, reader);
        }
        lmt = static_cast<uint64_t>(meta[qsig::eMetaLmt]);
        for (size_t i = 0; rc == qsig::eSuccess && i < got; ++i) {
            EXPECT_EQ(lmt + i * c_fa, LmtOf(atoms[static_cast<unsigned>(i)][0])) << i;
        }
        return rc;
    };
    uint64_t before = 0;
    ASSERT_EQ(qsig::eSuccess, read(before));

    run.Client().SetText("synchronize_lmt", "0");
    ASSERT_TRUE(zvtest::WaitFor([&] { return apptest::CountLoggedContaining(capture, started) == 2; }, 10s));
    const std::vector<std::string> logged = capture.Sink().Texts(qstd::Record::Kind::Log);
    uint64_t start = 0;
    for (const std::string& text : logged) {
        if (text.rfind(started, 0) == 0) {
            start = std::stoull(text.substr(started.size()));
        }
    }
    // The atoms of the old LMTs still to come, then the restarted chain's: the
    // first read that does not follow on. (Its LMTs need not be lower: on a
    // busy machine the restart can take longer than the old chain had run.)
    uint64_t lmt = before;
    for (uint64_t last = before, reads = 0; lmt == last; ++reads) {
        ASSERT_LT(reads, 20000u);
        last = lmt + got * c_fa;
        ASSERT_EQ(qsig::eSuccess, read(lmt));
    }
    EXPECT_GE(lmt, start);
    EXPECT_LT(lmt, start + c_fa);
    EXPECT_EQ(c_count, got);
    uint64_t next = 0;
    ASSERT_EQ(qsig::eSuccess, read(next));
    EXPECT_EQ(lmt + c_count * c_fa, next);
    source->ReleasePositionControllerCopy(reader);
    EXPECT_TRUE(run.Stop());
}

// Two synchronisations in a row, the second written once the boards have
// taken the first LMT (as two writes of "synchronize_lmt" with a trigger
// between them do): in alternate rounds as soon as the GDX board's clock has
// taken it (each board's restart for it begun or not yet) and once every
// board has stopped its FA chain for it. The restarts for the first give way
// to those for the second, whose GDX FA atoms reach a reader that opens after
// the second write within 2 s, every round.
TEST(AcquisitionChassisConcurrency, TwoSynchronisationsInARowKeepTheGdxFaFlowing)
{
    qstd::CaptureScope capture(true, false);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    VunaApplication& app = run.App();
    GdxBoard* gdx = app.GetGdxBoard();
    ASSERT_TRUE(gdx && gdx->GetFaSource());
    const std::string started = "GDX-FA signal started at LMT=";
    ASSERT_TRUE(zvtest::WaitFor([&] { return apptest::CountLoggedContaining(capture, started) == 1; }, 10s));
    std::vector<sim::Board*> boards = {gdx->Board()->SimBoard()};
    for (RafBoard* raf : app.GetRafBoards()) {
        boards.push_back(raf->Board()->SimBoard());
    }
    mci::ClientAccess client = run.Client();

    // Milliseconds from the last write of "synchronize_lmt" to the 100th FA
    // atom of a reader that opens after it, or -1 when they do not come.
    const auto synchronise = [&](const std::vector<std::string>& lmts, const std::function<bool()>& taken) {
        constexpr size_t c_atoms = 100;
        for (size_t i = 0; i + 1 < lmts.size(); ++i) {
            client.SetText("synchronize_lmt", lmts[i]);
            EXPECT_TRUE(zvtest::WaitFor(taken, 10s));
        }
        client.SetText("synchronize_lmt", lmts.back());
        const auto asked = std::chrono::steady_clock::now();
        auto reader = gdx->GetFaSource()->CreateClient("test-two-syncs");
        EXPECT_EQ(qsig::eSuccess, reader.Open(qsig::eAccessStreaming, c_atoms, 0));
        std::atomic<size_t> read{0};
        std::atomic<long long> took{-1};
        std::thread reading([&] {
            qsig::Array<GdxFaTraits> atoms(GdxFaTraits(), c_atoms);
            qsig::SignalMeta meta;
            while (read.load() < c_atoms && reader.Read(atoms, meta, 0) == qsig::eSuccess) {
                read += atoms.GetLength();
            }
            if (read.load() >= c_atoms) {
                took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked)
                           .count();
            }
        });
        zvtest::WaitFor([&] { return read.load() >= c_atoms; }, 20s);
        reader.Close();
        reading.join();
        return took.load();
    };

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const size_t starts = apptest::CountLoggedContaining(capture, started);
        std::vector<uint64_t> stops;
        for (sim::Board* b : boards) {
            stops.push_back(b->StopRequests());
        }
        const bool everyStop = round % 2 == 1;
        const long long twice = synchronise({"1", "0"}, [&] {
            if (!everyStop) {
                return !boards[0]->LmtPending();
            }
            for (size_t i = 0; i < boards.size(); ++i) {
                if (boards[i]->StopRequests() == stops[i]) {
                    return false;
                }
            }
            return true;
        });
        ASSERT_GE(twice, 0) << "no FA atoms after two synchronisations";
        EXPECT_LT(twice, c_two_syncs_ms) << "ms";
        // One start, at the second synchronisation.
        EXPECT_EQ(starts + 1, apptest::CountLoggedContaining(capture, started));
    }
    EXPECT_FALSE(capture.LoggedSubstring("Failed to start GDX-FA signal."));
    EXPECT_FALSE(capture.LoggedSubstring("Failed to restart TBT SA and FA streams."));
    EXPECT_FALSE(capture.LoggedSubstring("instead of the announced"));
    EXPECT_TRUE(run.Stop());
}

TEST(AcquisitionChassisConcurrency, ABoardWithoutStartEventFailsAndTheOthersComplete)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run(apptest::DataFile("unanswered_second_raf.xml"));
    ASSERT_TRUE(run.WaitRunning());
    FaSyncController* peers = run.App().GetFaSyncController();
    // raf4's wait ends its margin after the start LMT; it counts its chain
    // running again, so raf3's wait for all running completes.
    const std::string failed = "Failed to restart TBT SA and FA streams. No start event within ";
    ASSERT_TRUE(zvtest::WaitFor([&] { return capture.LoggedSubstring(failed); }, 10s)) << [&] {
        std::string logged;
        for (const std::string& text : capture.Sink().Texts(qstd::Record::Kind::Log)) {
            logged += text + "\n";
        }
        return logged;
    }();
    ASSERT_TRUE(zvtest::WaitFor([&] { return peers->GetCounter() == 2; }, 5s));
    EXPECT_EQ(1u, apptest::CountLogged(capture, "TBT, FA, SA signals started at LMT=36960000"));
    EXPECT_EQ(2u, apptest::CountLogged(capture, "TBT, FA, SA signals stopped."));
    // raf3 re-anchors its controllers once all chains run; neither board
    // waited in vain for its FA peers (the waits trace their time-outs).
    auto ddc = run.App().GetRafBoards()[0]->GetSignals()->GetDdcSource()->GetPositionController();
    EXPECT_TRUE(zvtest::WaitFor([&] { return ddc->GetResetLmt() == 36960000u; }, 5s));
    EXPECT_TRUE(capture.Traced("FaSyncController: All running."));
    EXPECT_FALSE(capture.TracedSubstring("Timeout waiting for all FA chains"));
    EXPECT_TRUE(run.Stop());
}

} // namespace
