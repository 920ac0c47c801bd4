// The ADC history of a RAF board on a running chassis, read through the
// board's "adc" signal: a duration written to the timing state machine at
// run time gives the sections of the triggers after it, and a reader ahead
// goes on through a synchronisation with the section of the synchronising
// trigger. Every read's atoms are the beam's at the LMTs that its metadata
// give.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "platform/qsig/dod_history_controller.h"
#include "sim/beam.h"
#include "sim/board.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using apptest::RunningApp;
using AdcClient = qsig::DodClient<AdcTraits>;

struct Got {
    qsig::SuccessCode_e rc = qsig::eRefused;
    uint64_t lmt = 0;
    size_t atoms = 0;
    int64_t section = -1;
    bool acquired = false; // the atoms are the board's at those LMTs
};

// One read of up to count atoms: the LMT, section and atoms that it gives,
// and whether they are those that the board acquires at those LMTs.
Got Read(AdcClient& client, const sim::RafAcquisition& raf, size_t count, uint64_t time = 0)
{
    qsig::Array<AdcTraits> buffer(AdcTraits(), static_cast<unsigned>(count));
    qsig::SignalMeta meta;
    Got got;
    got.rc = client.Read(buffer, meta, time);
    if (got.rc != qsig::eSuccess) {
        return got;
    }
    got.lmt = static_cast<uint64_t>(meta[qsig::eMetaLmt]);
    got.atoms = buffer.GetLength();
    got.section = meta[qsig::eMetaSequence];
    std::vector<int16_t> acquired(4 * got.atoms);
    raf.MakeAdc(acquired.data(), got.atoms, got.lmt, 1);
    got.acquired = std::memcmp(acquired.data(), buffer.GetData(), acquired.size() * sizeof(int16_t)) == 0;
    return got;
}

// The board's ADC signal and what its simulated board acquires.
struct Adc {
    explicit Adc(RunningApp& run)
        : board(*run.App().GetRafBoards().front()), source(board.GetSignals()->GetAdcSource()),
          raf(*run.Chassis().GetBeam().Find(*board.Board()->SimBoard()))
    {
        // Noise makes the atoms of every LMT differ.
        run.Chassis().GetBeam().SetNoise(200);
    }
    // A read once in mode, of up to count atoms.
    Got Once(qsig::AccessMode_e mode, size_t count, uint64_t time = 0)
    {
        AdcClient client = source->CreateClient("test-once");
        EXPECT_EQ(qsig::eSuccess, client.Open(mode, static_cast<unsigned>(count), 0));
        return Read(client, raf, count, time);
    }
    RafBoard& board;
    std::shared_ptr<Signals::AdcSource> source;
    const sim::RafAcquisition& raf;
};

// "tsm.duration" halved and doubled at run time: once a trigger took a
// section of the new duration, reads in modes 10 to 13 end with the section
// they start in, whole sections of the new duration.
TEST(AdcHistoryChassisConcurrency, ReadsFollowADurationWrittenAtRunTime)
{
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    Adc adc(run);
    ASSERT_TRUE(adc.source);
    const std::string node = adc.board.GetName() + "/tsm/duration";
    for (const size_t duration : {4096u, 16384u}) {
        SCOPED_TRACE(testing::Message() << "duration " << duration);
        run.Client().SetText(node, std::to_string(duration));
        Got newest;
        ASSERT_TRUE(zvtest::WaitFor([&] {
            newest = adc.Once(qsig::eAccessNow, 20000);
            return newest.rc == qsig::eSuccess && newest.atoms == duration;
        }));
        EXPECT_TRUE(newest.acquired);
        const Got back = adc.Once(qsig::eAccessDefault, 20000, 0);
        ASSERT_EQ(qsig::eSuccess, back.rc);
        EXPECT_EQ(duration, back.atoms);
        EXPECT_TRUE(back.acquired);
        const Got at = adc.Once(qsig::eAccessAtTime, 20000, back.lmt + duration / 2);
        ASSERT_EQ(qsig::eSuccess, at.rc);
        EXPECT_EQ(back.lmt + duration / 2, at.lmt);
        EXPECT_EQ(duration / 2, at.atoms);
        EXPECT_TRUE(at.acquired);

        AdcClient ahead = adc.source->CreateClient("test-ahead");
        ASSERT_EQ(qsig::eSuccess, ahead.Open(qsig::eAccessStreaming, 20000, 0));
        const Got first = Read(ahead, adc.raf, 20000);
        ASSERT_EQ(qsig::eSuccess, first.rc);
        EXPECT_EQ(duration, first.atoms);
        EXPECT_TRUE(first.acquired);
        const Got second = Read(ahead, adc.raf, 20000);
        ASSERT_EQ(qsig::eSuccess, second.rc);
        EXPECT_EQ(duration, second.atoms);
        EXPECT_TRUE(second.acquired);
        EXPECT_EQ(first.section + 1, second.section);
        EXPECT_GT(second.lmt, first.lmt + duration);
    }
    EXPECT_TRUE(run.Stop());
}

// A reader ahead through "synchronize_lmt 0": after the sections of the old
// LMTs comes that of the synchronising trigger, at LMT 0 (the first of the
// history's new time line; the history goes on), then the next trigger's.
// The section before it is still read by number, with its old LMTs.
TEST(AdcHistoryChassisConcurrency, AReaderAheadReadsTheSectionOfTheSynchronisingTrigger)
{
    qstd::CaptureScope capture(true, true, 1);
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    Adc adc(run);
    ASSERT_TRUE(adc.source);
    AdcClient ahead = adc.source->CreateClient("test-ahead");
    ASSERT_EQ(qsig::eSuccess, ahead.Open(qsig::eAccessStreaming, 8192, 0));
    Got last = Read(ahead, adc.raf, 8192);
    ASSERT_EQ(qsig::eSuccess, last.rc);
    EXPECT_TRUE(last.acquired);

    run.Client().SetText("synchronize_lmt", "0");
    Got got;
    for (int reads = 0;; ++reads) {
        ASSERT_LT(reads, 100) << "no section of the new LMTs";
        got = Read(ahead, adc.raf, 8192);
        ASSERT_EQ(qsig::eSuccess, got.rc);
        ASSERT_EQ(8192u, got.atoms);
        EXPECT_TRUE(got.acquired) << "LMT " << got.lmt;
        if (got.lmt < last.lmt) {
            break;
        }
        EXPECT_EQ(last.section + 1, got.section);
        last = got;
    }
    EXPECT_EQ(0u, got.lmt);
    EXPECT_GT(got.section, last.section);
    const Got next = Read(ahead, adc.raf, 8192);
    ASSERT_EQ(qsig::eSuccess, next.rc);
    EXPECT_EQ(got.section + 1, next.section);
    EXPECT_TRUE(next.acquired);
    EXPECT_GT(next.lmt, 8192u);
    // Counted back from the newest section (again when a trigger came between the two reads).
    Got before;
    ASSERT_TRUE(zvtest::WaitFor([&] {
        const Got newest = adc.Once(qsig::eAccessNow, 8192);
        before = adc.Once(qsig::eAccessDefault, 8192, static_cast<uint64_t>(newest.section - last.section));
        return before.rc == qsig::eSuccess && before.section == last.section;
    }));
    EXPECT_EQ(last.lmt, before.lmt);
    EXPECT_TRUE(before.acquired);
    ahead.Close();
    // The boards' restarts for it (start-up's synchronisation to LMT 0 made
    // them once) end before the application does.
    EXPECT_TRUE(zvtest::WaitFor(
        [&] { return apptest::CountLogged(capture, "TBT, FA, SA signals started at LMT=36960000") == 8; }));
    EXPECT_TRUE(run.Stop());
}

// Sections as large as the history region ("tsm.duration" written to its
// size): every trigger writes over the section before. Under a storm of
// triggers no read gives atoms other than those acquired at the LMTs that its
// metadata give: a read that the next trigger overtook is refused (-2) with
// words that say so, and a reader ahead goes on with the next section, whose
// number tells those lost. The chassis' own triggers are held off; the test
// triggers.
TEST(AdcHistoryChassisConcurrency, ASectionOverwrittenWhileItIsReadIsRefused)
{
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    Adc adc(run);
    ASSERT_TRUE(adc.source);
    run.Chassis().Timing()->SetExtTriggerRate(1e-3);
    const size_t region = adc.source->GetSize();
    run.Client().SetText(adc.board.GetName() + "/tsm/duration", std::to_string(region));
    Got whole;
    ASSERT_TRUE(zvtest::WaitFor([&] {
        run.Chassis().TriggerAll();
        whole = adc.Once(qsig::eAccessNow, region);
        return whole.rc == qsig::eSuccess && whole.atoms == region;
    }));
    EXPECT_TRUE(whole.acquired);

    const auto history = std::dynamic_pointer_cast<qsig::DodHistoryController>(adc.source->GetPositionController());
    ASSERT_TRUE(history);
    const auto track = history->GetHistory();
    ASSERT_TRUE(track);
    AdcClient ahead = adc.source->CreateClient("test-ahead");
    ASSERT_EQ(qsig::eSuccess, ahead.Open(qsig::eAccessStreaming, static_cast<unsigned>(region), 0));
    // A section of its own, triggered once the reader waits for it and read
    // with no trigger in between.
    auto readAlone = [&](Got& got) {
        for (int reads = 0; reads < 20; ++reads) {
            if (!zvtest::WaitFor([&] { return track->ArmedWaiters() > 0; })) {
                return;
            }
            run.Chassis().TriggerAll();
            got = Read(ahead, adc.raf, region);
            if (got.rc == qsig::eSuccess) {
                return;
            }
        }
    };
    Got first;
    readAlone(first);
    ASSERT_EQ(qsig::eSuccess, first.rc);
    EXPECT_TRUE(first.acquired);

    std::atomic<bool> storm{true};
    std::thread triggers([&] {
        while (storm.load()) {
            run.Chassis().TriggerAll();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    size_t refusedOnce = 0;
    int64_t refusedAhead = 0;
    int64_t readAhead = 0;
    for (int i = 0; i < 4; ++i) {
        AdcClient once = adc.source->CreateClient("test-once");
        ASSERT_EQ(qsig::eSuccess, once.Open(qsig::eAccessNow, static_cast<unsigned>(region), 0));
        const Got got = Read(once, adc.raf, region);
        if (got.rc == qsig::eIncompleteData) {
            ++refusedOnce;
            EXPECT_NE(std::string::npos, once.Explain(got.rc).find("overwritten while it was read"))
                << once.Explain(got.rc);
        } else if (got.rc == qsig::eSuccess) {
            EXPECT_TRUE(got.acquired) << "a read once at LMT " << got.lmt;
        }
        const Got next = Read(ahead, adc.raf, region);
        refusedAhead += next.rc == qsig::eIncompleteData ? 1 : 0;
        if (next.rc == qsig::eSuccess) {
            ++readAhead;
            EXPECT_TRUE(next.acquired) << "section " << next.section << " at LMT " << next.lmt;
        }
    }
    storm.store(false);
    triggers.join();
    EXPECT_GT(refusedOnce, 0u);
    EXPECT_GT(refusedAhead, 0);
    Got last;
    readAlone(last);
    ASSERT_EQ(qsig::eSuccess, last.rc);
    EXPECT_TRUE(last.acquired);
    // The sections refused are missing from the numbers read.
    EXPECT_GE(last.section - first.section - 1 - readAhead, refusedAhead);
    ahead.Close();
    EXPECT_TRUE(run.Stop());
}

} // namespace
