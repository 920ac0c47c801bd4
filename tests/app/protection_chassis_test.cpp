// Protection and beam features on a running chassis: the simulated beam
// leaving the position window raises an interlock that clients see with its
// timestamps; a post-mortem event captures the DDC data around it, read in
// access modes 10 to 13; the beam position nodes follow the beam; the FA sum
// is averaged over the chassis' triggers.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/average_sum.h"
#include "acquisition/postmortem.h"
#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "platform/qstd/any.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using apptest::RunningApp;
using zvtest::WaitFor;

// Position error of one turn without noise: 8 counts of rounding and
// quantisation through X = k D / S, plus 1 nm for the integer division.
double Tolerance(double position)
{
    return (1e7 + std::fabs(position)) * 8 / 4e6 + 1;
}

class ProtectionChassisConcurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(run.WaitRunning());
        client = run.Client();
        raf = run.App().GetRafBoards().front();
        sim = raf->Board()->SimBoard();
        prefix = raf->GetName() + "/";
    }

    std::string Path(const std::string& path) const { return prefix + path; }
    uint64_t Now() const { return sim->Clock().Now(); }

    RunningApp run;
    mci::ClientAccess client{mci::TreeNodePtr()};
    RafBoard* raf = nullptr;
    sim::Board* sim = nullptr;
    std::string prefix;
};

TEST_F(ProtectionChassisConcurrency, BeamOutsideTheWindowRaisesAnInterlockSeenWithItsTimestamps)
{
    sim::Beam& beam = run.Chassis().GetBeam();
    client.SetText(Path("interlock/enabled"), "true");
    client.Execute(Path("interlock/status/il_status/reset"));
    auto status = client.Subscribe(Path("interlock/status/il_status"));

    const uint64_t before = Now();
    beam.SetPosition(2000000, 0);
    // The reader notifies once status and timestamps are all stored.
    ASSERT_TRUE(status->WaitFor(1, 5s));
    EXPECT_NE(0, client.GetInteger(Path("interlock/status/il_status")));
    EXPECT_EQ("true", client.GetText(Path("interlock/status/il_status/x")));
    EXPECT_EQ("false", client.GetText(Path("interlock/status/il_status/y")));
    EXPECT_EQ("true", client.GetText(Path("interlock/status/current/x")));
    const long long first = client.GetInteger(Path("interlock/status/il_status/timestamps/first"));
    EXPECT_GE(static_cast<uint64_t>(first), before);
    EXPECT_EQ(first, client.GetInteger(Path("interlock/status/il_status/timestamps/last")));
    // The first interlock after start takes the latched snapshot.
    EXPECT_EQ(first, client.GetInteger(Path("interlock/status/latched/timestamp")));
    EXPECT_EQ("true", client.GetText(Path("interlock/status/latched/x")));

    // Back inside, then out vertically: a second interlock, later.
    beam.SetPosition(0, 0);
    ASSERT_TRUE(WaitFor([&] { return client.GetInteger(Path("interlock/status/current")) == 0; }, 5s));
    beam.SetPosition(0, -3000000);
    ASSERT_TRUE(status->WaitFor(2, 5s));
    EXPECT_EQ("true", client.GetText(Path("interlock/status/il_status/y")));
    EXPECT_EQ(first, client.GetInteger(Path("interlock/status/il_status/timestamps/first")));
    EXPECT_GT(client.GetInteger(Path("interlock/status/il_status/timestamps/last")), first);
    EXPECT_EQ(0x3, client.GetInteger(Path("interlock/status/il_status")));
    beam.SetPosition(0, 0);
    EXPECT_TRUE(run.Stop());
}

TEST_F(ProtectionChassisConcurrency, PostMortemCaptureIsReadInEveryMode)
{
    const double x = 120000;
    run.Chassis().GetBeam().SetPosition(x, -50000);
    PostMortem& pm = *raf->GetPostMortem();
    const uint64_t d = raf->GetTbtDecimation();
    client.SetText(Path("postmortem/source_select"), "external");
    auto captured = client.Subscribe(Path("postmortem/capture"));
    // A client that sees "capture" false must read the new "length": the
    // length is published while the capture still reads armed.
    std::vector<bool> armedAtLength;
    std::mutex armedMutex;
    mci::NotificationClient lengthWatch;
    lengthWatch.Register(client.Find(Path("postmortem/length")), mci::Callback([&](const mci::NotificationData&) {
                             std::lock_guard<std::mutex> lock(armedMutex);
                             armedAtLength.push_back(pm.IsArmed());
                         }));

    // A streaming reader waits for the next capture; its offset is checked
    // against that capture, not against the empty buffer of today.
    auto streaming = pm.GetAmplSource()->CreateClient("test-pm-stream");
    ASSERT_EQ(qsig::eSuccess, streaming.Open(qsig::eAccessStreaming, 1000, -1));

    auto capture = [&]() -> uint64_t {
        client.SetText(Path("postmortem/capture"), "true");
        // The DDC history must hold the window before the event.
        std::this_thread::sleep_for(200ms);
        const uint64_t event = Now();
        EXPECT_TRUE(sim->Interlock()->ExternalPostMortem(event));
        EXPECT_TRUE(WaitFor([&] { return client.GetText(Path("postmortem/capture")) == "false"; }, 10s));
        return event;
    };
    const uint64_t event = capture();
    EXPECT_EQ(65536, client.GetInteger(Path("postmortem/length")));
    lengthWatch.UnregisterAll();
    {
        std::lock_guard<std::mutex> lock(armedMutex);
        EXPECT_EQ(std::vector<bool>{true}, armedAtLength);
    }
    EXPECT_EQ(static_cast<long long>((event + d / 2) / d), client.GetInteger(Path("postmortem/timestamp")));
    EXPECT_NE("", client.GetText(Path("postmortem/os_time")));
    EXPECT_TRUE(captured->WaitFor(1, 20s));
    const PostMortem::tCapture c = pm.GetCapture();
    EXPECT_EQ(event - 65535 * d, c.first_lmt);
    EXPECT_EQ(event, c.last_lmt);

    // Mode 13: the window of 1000 atoms ending one sample before the event, once.
    qsig::Array<TbtAmplTraits> atoms(TbtAmplTraits(), 1000);
    qsig::SignalMeta meta;
    ASSERT_EQ(qsig::eSuccess, streaming.Read(atoms, meta, 0));
    ASSERT_EQ(1000u, atoms.GetLength());
    EXPECT_EQ(static_cast<int64_t>(event - 1000 * d), meta[qsig::eMetaLmt]);
    EXPECT_EQ(64535, meta[qsig::eMetaSequence]);
    EXPECT_NEAR(x, atoms[999].X, Tolerance(x));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0u, streaming.GetQueuedCount());

    // Modes 10 to 12 on the raw and the amplitude signal. A new offset waits
    // for the next capture: the window of this one stays where it was taken.
    client.SetInteger(Path("postmortem/offset"), 100);
    struct Case {
        qsig::AccessMode_e mode;
        uint64_t time;
        long long offset;
        int64_t position;
    };
    for (const Case& k : {Case{qsig::eAccessDefault, 7, 0, 7}, Case{qsig::eAccessNow, 0, 0, 65436},
                          Case{qsig::eAccessNow, 0, -65436, 0}, Case{qsig::eAccessAtTime, c.first_lmt + 5 * d, 0, 5}}) {
        SCOPED_TRACE(k.mode);
        auto ampl = pm.GetAmplSource()->CreateClient("test-pm-ampl");
        ASSERT_EQ(qsig::eSuccess, ampl.Open(k.mode, 100, k.offset));
        qsig::Array<TbtAmplTraits> a(TbtAmplTraits(), 100);
        qsig::SignalMeta m;
        ASSERT_EQ(qsig::eSuccess, ampl.Read(a, m, k.time));
        ASSERT_EQ(100u, a.GetLength());
        EXPECT_NEAR(x, a[0].X, Tolerance(x));
        if (k.mode != qsig::eAccessDefault) {
            EXPECT_EQ(k.position, m[qsig::eMetaSequence]);
        }
        auto raw = pm.GetRawSource()->CreateClient("test-pm-raw");
        ASSERT_EQ(qsig::eSuccess, raw.Open(k.mode, 100, k.offset));
        qsig::Array<DdcTraits> r(DdcTraits(), 100);
        ASSERT_EQ(qsig::eSuccess, raw.Read(r, m, k.time));
        ASSERT_EQ(100u, r.GetLength());
    }
    auto outside = pm.GetAmplSource()->CreateClient("test-pm-outside");
    ASSERT_EQ(qsig::eSuccess, outside.Open(qsig::eAccessNow, 100, -65437));
    EXPECT_EQ(qsig::eTryAgain, outside.Read(atoms, meta, 0));
    client.SetInteger(Path("postmortem/offset"), 0);

    // A smaller capacity cuts what is served; a larger one keeps the atoms.
    auto rawAt = [&](uint64_t position) {
        auto raw = pm.GetRawSource()->CreateClient("test-pm-raw");
        qsig::Array<DdcTraits> r(DdcTraits(), 1);
        qsig::SignalMeta m;
        EXPECT_EQ(qsig::eSuccess, raw.Open(qsig::eAccessDefault, 1, 0));
        const qsig::SuccessCode_e rc = raw.Read(r, m, position);
        return rc == qsig::eSuccess ? r[0][1].Q : rc;
    };
    const int32_t q999 = rawAt(999);
    client.SetInteger(Path("postmortem/capacity"), 1000);
    EXPECT_EQ(1000, client.GetInteger(Path("postmortem/length")));
    EXPECT_EQ(qsig::eBadRequest, rawAt(1000));
    {
        // A read that starts inside ends with the captured atoms.
        auto raw = pm.GetRawSource()->CreateClient("test-pm-raw");
        ASSERT_EQ(qsig::eSuccess, raw.Open(qsig::eAccessDefault, 100, 0));
        qsig::Array<DdcTraits> r(DdcTraits(), 100);
        qsig::SignalMeta m;
        ASSERT_EQ(qsig::eSuccess, raw.Read(r, m, 990));
        EXPECT_EQ(10u, r.GetLength());
    }
    client.SetInteger(Path("postmortem/capacity"), 70000);
    EXPECT_EQ(q999, rawAt(999));
    EXPECT_EQ(1000, client.GetInteger(Path("postmortem/length")));
    client.SetInteger(Path("postmortem/capacity"), 65536);

    // The next capture gives the streaming reader its next buffer, no other.
    const uint64_t second = capture();
    ASSERT_EQ(qsig::eSuccess, streaming.Read(atoms, meta, 0));
    EXPECT_EQ(static_cast<int64_t>(second - 1000 * d), meta[qsig::eMetaLmt]);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0u, streaming.GetQueuedCount());
    streaming.Close();

    // A read ahead whose window the next capture does not hold (the
    // capacity lowered after it opened) is refused once that capture came.
    auto wide = pm.GetAmplSource()->CreateClient("test-pm-wide");
    ASSERT_EQ(qsig::eSuccess, wide.Open(qsig::eAccessStreaming, 2000, 0));
    client.SetInteger(Path("postmortem/capacity"), 1000);
    capture();
    auto refused = std::async(std::launch::async, [&] {
        qsig::Array<TbtAmplTraits> a(TbtAmplTraits(), 2000);
        qsig::SignalMeta m;
        return wide.Read(a, m, 0);
    });
    EXPECT_EQ(std::future_status::ready, refused.wait_for(10s));
    wide.Close();
    EXPECT_EQ(qsig::eBadRequest, refused.get());
    EXPECT_TRUE(run.Stop());
}

TEST_F(ProtectionChassisConcurrency, CapacityChangesDuringCapturesAndReads)
{
    PostMortem& pm = *raf->GetPostMortem();
    client.SetText(Path("postmortem/source_select"), "external");
    std::atomic<bool> done{false};
    std::thread resizer([&] {
        for (unsigned i = 0; !done.load(); ++i) {
            client.SetInteger(Path("postmortem/capacity"), i % 2 ? 1000 : 70000);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            auto c = pm.GetRawSource()->CreateClient("test-pm-reader");
            if (c.Open(qsig::eAccessNow, 500, 0) == qsig::eSuccess) {
                qsig::Array<DdcTraits> r(DdcTraits(), 500);
                qsig::SignalMeta m;
                c.Read(r, m, 0);
            }
        }
    });
    for (int i = 0; i < 5; ++i) {
        client.SetText(Path("postmortem/capture"), "true");
        std::this_thread::sleep_for(20ms);
        sim->Interlock()->ExternalPostMortem(Now());
        WaitFor([&] { return !pm.IsArmed(); }, 5s);
    }
    done.store(true);
    resizer.join();
    reader.join();
    // The captures did run against the resizing and the reads.
    EXPECT_GT(pm.GetCapture().generation, 0u);
    client.SetInteger(Path("postmortem/capacity"), 1000);
    EXPECT_LE(client.GetInteger(Path("postmortem/length")), 1000);
    EXPECT_LE(pm.GetCapture().length, 1000u);
    EXPECT_TRUE(run.Stop());
}

TEST_F(ProtectionChassisConcurrency, BeamPositionNodesFollowTheBeam)
{
    run.Chassis().GetBeam().SetPosition(300000, -70000);
    client.SetText(Path("beam/enabled"), "true");
    // X is set before Y: wait for both.
    ASSERT_TRUE(WaitFor(
        [&] {
            return std::fabs(client.GetInteger(Path("beam/position/X")) - 300000) < 100 &&
                   std::fabs(client.GetInteger(Path("beam/position/Y")) + 70000) < 100;
        },
        5s));
    client.SetText(Path("beam/enabled"), "true");
    client.SetText(Path("beam/enabled"), "false");
    EXPECT_EQ(0, client.GetInteger(Path("beam/position/X")));
    EXPECT_EQ(0, client.GetInteger(Path("beam/position/Y")));
    // Pairs in quick succession: every disable finds its client and joins.
    for (int i = 0; i < 50; ++i) {
        client.SetText(Path("beam/enabled"), "true");
        client.SetText(Path("beam/enabled"), "false");
    }
    EXPECT_EQ("false", client.GetText(Path("beam/enabled")));
    EXPECT_TRUE(run.Stop());
}

TEST_F(ProtectionChassisConcurrency, AveragesTheFaSumOverTriggers)
{
    client.SetInteger(Path("average_sum/trigger_count"), 2);
    ASSERT_TRUE(WaitFor([&] { return client.GetInteger(Path("average_sum/used_atoms")) > 0; }, 5s));
    // About 0.2 s of FA atoms at 9532 a second, read in buffers of 1024.
    EXPECT_EQ(0, client.GetInteger(Path("average_sum/used_atoms")) % 1024);
    qsig::StreamClient<SaFaTraits> fa(raf->GetSignals()->GetFaStream(), "test-fa", 64);
    ASSERT_EQ(qsig::eSuccess, fa.Open());
    qsig::Array<SaFaTraits> atoms(SaFaTraits(), 1024);
    ASSERT_EQ(qsig::eSuccess, fa.Read(atoms));
    EXPECT_NEAR(atoms[0].Sum, client.GetInteger(Path("average_sum/sum")), std::abs(atoms[0].Sum) * 0.01 + 2);
    EXPECT_GT(client.GetInteger(Path("average_sum/timestamp")), 0);
    fa.Close();
    EXPECT_TRUE(run.Stop());
}

} // namespace
