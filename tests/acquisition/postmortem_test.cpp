// Post-mortem capture and its position controller: register defaults and
// refused settings, the controller's answers before any capture, the
// mode-13 wait and its end by Stop.
#include "app/board_fixture.h"

#include "acquisition/postmortem.h"
#include "acquisition/postmortem_position_controller.h"
#include "app/raf_board.h"
#include "platform/mci/client_access.h"
#include "platform/qstd/capture.h"
#include "sim/raf_interlock_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

class PostMortemTest : public ::testing::Test {
protected:
    PostMortemTest()
        : board(fixture.Build()), pm(*board.GetPostMortem()), node(qapp::MakeBranchNode("postmortem", 0)), client(node)
    {
        pm.OnRegistryAdd(node);
    }

    uint64_t Reg(size_t offset)
    {
        return fixture.Sim().Interlock()->Read64(sim::RafInterlockModel::c_pmBlock + offset);
    }

    std::string WriteError(const std::string& path, const std::string& text)
    {
        try {
            client.SetText(path, text);
            return std::string();
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    qsig::SuccessCode_e Position(qsig::AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                 size_t* position = nullptr)
    {
        qsig::LMT lmt = 0;
        size_t pos = 0;
        qsig::SignalMeta meta;
        const qsig::SuccessCode_e rc =
            pm.GetPositionController()->GetPosition(mode, time, offset, count, lmt, pos, meta);
        if (position) {
            *position = pos;
        }
        return rc;
    }

    apptest::BoardFixture<RafBoard> fixture{sim::c_typeRaf, "raf3", "3"};
    RafBoard& board;
    PostMortem& pm;
    mci::TreeNodePtr node;
    mci::ClientAccess client;
};

TEST_F(PostMortemTest, RegistersSettingsAndTheirLimits)
{
    EXPECT_EQ(static_cast<uint64_t>(-1000000LL), Reg(PostMortem::c_x_min));
    EXPECT_EQ(1000000u, Reg(PostMortem::c_y_max));
    EXPECT_EQ(5u, Reg(PostMortem::c_overflow_duration));
    pm.OnPostInit();
    EXPECT_EQ(13732u, Reg(PostMortem::c_overflow_threshold));

    EXPECT_EQ(65536, client.GetInteger("capacity"));
    EXPECT_EQ(0, client.GetInteger("length"));
    EXPECT_EQ("false", client.GetText("capture"));
    EXPECT_EQ("", client.GetText("os_time"));
    for (const char* name : {"external", "interlock", "limits", "0", "2"}) {
        EXPECT_EQ("", WriteError("source_select", name)) << name;
    }
    client.SetText("source_select", "interlock");
    EXPECT_EQ(1u, Reg(PostMortem::c_source));
    EXPECT_EQ("interlock", client.GetText("source_select"));
    for (const char* name : {"internal", "3", "-1"}) {
        EXPECT_NE("", WriteError("source_select", name)) << name;
    }
    EXPECT_NE("", WriteError("limits/overflow/threshold", "32767"));
    EXPECT_NE("", WriteError("limits/overflow/duration", "4096"));
    EXPECT_NE("", WriteError("offset", "524289"));
    EXPECT_NE("", WriteError("capacity", "524289"));
    EXPECT_EQ("", WriteError("offset", "-524288"));
    EXPECT_EQ(-524288, client.GetInteger("offset"));
    EXPECT_EQ("", WriteError("limits/position/min/x", "-16777088"));
    EXPECT_NE("", WriteError("limits/position/max/y", "16776961"));
    EXPECT_EQ("", WriteError("capacity", "70000"));
    EXPECT_EQ(70000, client.GetInteger("capacity"));
    EXPECT_EQ(qsig::eAccessDataOnDemand, client.GetSignal("signals/ddc_raw").accessType);
    EXPECT_EQ(qsig::eAccessDataOnDemand, client.GetSignal("signals/ddc_synthetic").accessType);
}

TEST_F(PostMortemTest, ControllerBeforeAnyCapture)
{
    qstd::CaptureScope capture(true, true, 2);
    EXPECT_EQ(qsig::eTryAgain, Position(qsig::eAccessNow, 0, 0, 100));
    EXPECT_EQ(qsig::eBadRequest, Position(qsig::eAccessDefault, 0, 0, 100));
    EXPECT_EQ(qsig::eTryAgain, Position(qsig::eAccessAtTime, 1234, 0, 100));
    EXPECT_TRUE(capture.Traced("LMT out of range: 1234 > 0"));
    EXPECT_EQ(qsig::eBadRequest, Position(qsig::eAccessNow, 0, 1, 100));
    EXPECT_TRUE(capture.Traced("Offset too large:1"));
    EXPECT_EQ(qsig::eDerivedError, Position(qsig::eAccessClone, 0, 0, 100));

    auto& controller = *pm.GetPositionController();
    EXPECT_EQ(65536u, controller.GetMaxReadSize(0, qsig::eAccessAtTime));
    EXPECT_EQ(0u, controller.GetMaxReadSize(0, qsig::eAccessClone));
    EXPECT_EQ(65536u, controller.GetMaxReadSize(5, qsig::eAccessDefault));
    EXPECT_EQ(65436u, controller.GetMaxReadSize(100, qsig::eAccessNow));
    EXPECT_EQ(65636u, controller.GetMaxReadSize(-100, qsig::eAccessStreaming));
    EXPECT_FALSE(controller.IsModeSupported(qsig::eAccessClone));
    EXPECT_TRUE(controller.IsModeSupported(qsig::eAccessStreaming));
}

TEST_F(PostMortemTest, WindowEndsOffsetSamplesAfterTheEventAndAnEmptyReadStaysArmed)
{
    // No DDC history on this board: every read delivers nothing.
    const uint64_t d = board.GetTbtDecimation();
    // An event far ahead of the board's clock: the DDC read does not wait
    // for data that the history cannot hold within its time-out.
    const uint64_t e = 100000000000ull;
    for (const int offset : {0, 100, -65536}) {
        SCOPED_TRACE(offset);
        client.SetInteger("offset", offset);
        client.SetText("capture", "true");
        qstd::CaptureScope capture(true, true, 3);
        EXPECT_FALSE(pm.Capture(e));
        const uint64_t start = e + static_cast<uint64_t>(static_cast<int64_t>(offset) + 1 - 65536) * d;
        EXPECT_TRUE(capture.Traced("Capture PostMortem Buffer: PM Timestamp: " + std::to_string(e) +
                                   " offset: " + std::to_string(offset) +
                                   " number of atoms: 65536 reading from timestamp: " + std::to_string(start)));
        EXPECT_TRUE(capture.Traced("Postmortem buffer of size 65536 is partially filled with 0 tbt atoms."));
        EXPECT_TRUE(capture.Traced("Could not capture ddc_raw buffer at lmt " + std::to_string(e) + " and offset " +
                                   std::to_string(offset)));
        EXPECT_EQ("true", client.GetText("capture"));
        EXPECT_EQ(0, client.GetInteger("length"));
        EXPECT_EQ(65536, client.GetInteger("capacity"));
    }
}

TEST_F(PostMortemTest, NoCaptureReachesForTheBoardAfterShutdown)
{
    client.SetText("capture", "true");
    pm.OnShutdown();
    qstd::CaptureScope capture(true, true, 3);
    EXPECT_FALSE(pm.Capture(100000000000ull));
    EXPECT_FALSE(capture.TracedSubstring("Capture PostMortem Buffer"));
    EXPECT_EQ(0, client.GetInteger("length"));
}

TEST(PostMortemController, LmtToMtRoundsHalvesUp)
{
    apptest::BoardFixture<RafBoard> fixture{sim::c_typeRaf, "raf3", "3"};
    PostmortemPositionController controller(*fixture.Build().GetPostMortem());
    controller.SetDecimation(4);
    EXPECT_EQ(0u, controller.LmtToMt(1));
    EXPECT_EQ(1u, controller.LmtToMt(2));
    EXPECT_EQ(1u, controller.LmtToMt(5));
    EXPECT_EQ(2u, controller.LmtToMt(6));
    EXPECT_EQ(0x40000000u, controller.LmtToMt(0x100000000ull));
}

using PostMortemConcurrency = PostMortemTest;

TEST_F(PostMortemConcurrency, StreamingWaitEndsWhenTheCloneStops)
{
    qsig::PosControllerPtr clone = pm.GetPositionController()->Clone();
    std::atomic<int> result{1};
    std::thread reader([&] {
        qsig::LMT lmt = 0;
        size_t position = 0;
        qsig::SignalMeta meta;
        result = clone->GetPosition(qsig::eAccessStreaming, 0, 0, 100, lmt, position, meta);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(1, result.load());
    clone->Stop();
    reader.join();
    EXPECT_EQ(qsig::eCancelled, result.load());
    // A clone of a stopped controller starts stopped.
    qsig::LMT lmt = 0;
    size_t position = 0;
    qsig::SignalMeta meta;
    EXPECT_EQ(qsig::eCancelled, clone->Clone()->GetPosition(qsig::eAccessStreaming, 0, 0, 1, lmt, position, meta));
}

// Two clients set the overflow threshold at the same moment, round after
// round: after each round the register holds the kept threshold in its unit.
TEST_F(PostMortemConcurrency, OverflowThresholdsSetAtOnceLeaveTheRegisterAndTheKeptValueAgreeing)
{
    const unsigned values[2] = {1000, 30000};
    constexpr int c_rounds = 4000;
    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    for (const unsigned value : values) {
        clients.emplace_back([&, value] {
            for (int r = 1; r <= c_rounds; ++r) {
                while (round.load() < r) {
                    std::this_thread::yield();
                }
                pm.SetOverflowThreshold(value);
                ++finished;
            }
        });
    }
    int disagreements = 0;
    for (int r = 1; r <= c_rounds; ++r) {
        round.store(r);
        while (finished.load() < 2 * r) {
            std::this_thread::yield();
        }
        unsigned kept = 0;
        pm.GetOverflowThreshold(kept);
        disagreements +=
            Reg(PostMortem::c_overflow_threshold) == RafBoard::Count2Threshold(static_cast<int>(kept)) ? 0 : 1;
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(0, disagreements);
}

} // namespace
