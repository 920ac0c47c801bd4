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
#include "sim/beam.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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
// LMTs comes that of the synchronising trigger, at LMT 0 (the history's
// first section since it restarted there), then the next trigger's.
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
    EXPECT_EQ(0, got.section);
    const Got next = Read(ahead, adc.raf, 8192);
    ASSERT_EQ(qsig::eSuccess, next.rc);
    EXPECT_EQ(1, next.section);
    EXPECT_TRUE(next.acquired);
    EXPECT_GT(next.lmt, 8192u);
    ahead.Close();
    // The boards' restarts for it (start-up's synchronisation to LMT 0 made
    // them once) end before the application does.
    EXPECT_TRUE(zvtest::WaitFor(
        [&] { return apptest::CountLogged(capture, "TBT, FA, SA signals started at LMT=36960000") == 8; }));
    EXPECT_TRUE(run.Stop());
}

} // namespace
