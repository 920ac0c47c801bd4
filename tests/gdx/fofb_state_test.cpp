// Feedback state relay (events 0 with their codes and 3, the simulated
// feedback's state changes, the thread's end) and feedback interlock (mask
// loads through the port, the latched flag).
#include "gdx_support.h"

#include "gdx/fofb.h"
#include "gdx/fofb_interlock.h"
#include "gdx/fofb_state_machine.h"
#include "platform/qapp/create.h"
#include "platform/qstd/capture.h"
#include "sim/gdx_fofb.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr size_t c_fofb = 0xF28000;
constexpr size_t c_interlock = 0xF40000;
constexpr size_t c_state_word = 0xF08020;

// The feedback block with its relay over the board's state word, as the GDX
// board makes them for userblock 4.
struct Relay {
    Relay()
        : fofb(*f.Board().RegisterObject<FOFB>(c_fofb, "fofb", eUbDelta)),
          relay(*qapp::Create<FofbStateMachine>(
              fofb, std::string("state"),
              *reinterpret_cast<volatile uint32_t*>(f.Block(c_state_word - 0x20, 0x28) + 0x20), &f.Events())),
          fofbTree(f.Tree(fofb)), tree(f.Tree(relay)), state(f.Model<sim::FofbModel>(c_fofb).State())
    {
    }
    // Starts the thread and waits until its client listens.
    bool Start()
    {
        relay.OnPostConfig();
        return zvtest::WaitFor([&] { return f.Sim().Events().IsOpen(); });
    }

    gdxtest::GdxFixture f{4};
    FOFB& fofb;
    FofbStateMachine& relay;
    mci::ClientAccess fofbTree;
    mci::ClientAccess tree;
    sim::FeedbackState& state;
};

TEST(FofbStateRelay, EmitsModeOnStateEventsAndReloadsOnBufferSwaps)
{
    Relay r;
    auto mode = r.tree.Subscribe("mode");
    auto actual = r.fofbTree.Subscribe("golden_orbit/actual");
    ASSERT_TRUE(r.Start());
    struct Event {
        uint64_t id;
        uint64_t code;
    };
    // Emitting: 0 with 1, 2, 3, 5; 3 with any code. Silent: 0 with 0, 6, 4
    // (a swap) and ids the filter keeps away.
    for (const Event& e : {Event{0, 0}, Event{0, 1}, Event{2, 1}, Event{0, 6}, Event{0, 2}, Event{0, 4}, Event{0, 3},
                           Event{16, 2}, Event{0, 5}, Event{3, 9}}) {
        r.f.Sim().Feed(e.id, 1, 0, e.code);
    }
    ASSERT_TRUE(mode->WaitFor(5, 5s));
    EXPECT_TRUE(actual->WaitFor(1, 5s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(5u, mode->Count());
    EXPECT_EQ(1u, actual->Count());
}

TEST(FofbStateRelay, FollowsTheSimulatedFeedbackState)
{
    Relay r;
    auto mode = r.tree.Subscribe("mode");
    ASSERT_TRUE(r.Start());
    EXPECT_EQ("off", r.tree.GetText("mode"));
    r.fofbTree.SetText("switch", "on");
    ASSERT_TRUE(mode->WaitFor(1, 5s));
    EXPECT_EQ("on", r.tree.GetText("mode"));
    r.fofbTree.SetText("switch", "hw");
    ASSERT_TRUE(mode->WaitFor(2, 5s));
    EXPECT_EQ("standby", r.tree.GetText("mode"));
    // The interlock forces the feedback off: event 3, then event 0 code 5.
    r.state.SetInterlock(true);
    ASSERT_TRUE(mode->WaitFor(4, 5s));
    EXPECT_EQ("off", r.tree.GetText("mode"));
    fsmState_e word = eFsmOn;
    EXPECT_TRUE(r.relay.GetState(word));
    EXPECT_EQ(eFsmOff, word);
}

TEST(FofbStateRelay, ThreadEndsWithTheEventStreamAndIsJoined)
{
    {
        Relay r;
        ASSERT_TRUE(r.Start());
        qstd::CaptureScope capture(false, true, 1);
        r.f.Events().ShutDown();
        r.relay.Stop();
        EXPECT_TRUE(capture.TracedSubstring("fofb_state_machine_event_client: stream client read failed: "));
    }
    {
        // A relay destroyed while its stream still runs ends its thread itself.
        Relay r;
        ASSERT_TRUE(r.Start());
    }
    // A stream already shut down: the client cannot open and the thread ends.
    Relay r;
    r.f.Events().ShutDown();
    qstd::CaptureScope capture(false, true, 1);
    r.relay.OnPostConfig();
    EXPECT_TRUE(
        zvtest::WaitFor([&] { return capture.TracedSubstring("fofb_state_machine_event_client: can't open: "); }));
    r.relay.Stop();
}

TEST(FofbStateRelay, GetStateGivesTheWholeWord)
{
    gdxtest::GdxFixture f(4);
    FOFB& fofb = *f.Board().RegisterObject<FOFB>(c_fofb, "fofb", eUbDelta);
    volatile uint32_t word = 0x12;
    FofbStateMachine relay(fofb, "state", word, &f.Events());
    fsmState_e state = eFsmOff;
    EXPECT_TRUE(relay.GetState(state));
    EXPECT_EQ(0x12, static_cast<int>(state));
}

struct Interlock {
    Interlock()
        : fofb(*f.Board().RegisterObject<FOFB>(c_fofb, "fofb", eUbDelta)),
          ilk(*qapp::Create<FofbInterlock>(fofb, f.Block(c_interlock, FofbInterlock::c_blockSize),
                                           std::string("interlock"))),
          tree(f.Tree(ilk)), model(f.Model<sim::FofbInterlockModel>(c_interlock))
    {
    }
    gdxtest::GdxFixture f{4};
    FOFB& fofb;
    FofbInterlock& ilk;
    mci::ClientAccess tree;
    sim::FofbInterlockModel& model;
};

TEST(FofbInterlockMask, LoadsAllEntriesThroughThePort)
{
    Interlock i;
    EXPECT_EQ(1u, i.model.Loads());
    EXPECT_EQ(256u, i.model.PortWrites());
    EXPECT_EQ(std::vector<uint32_t>(256, 1), i.model.Mask());

    i.tree.SetInteger("mask", 0, 7);
    EXPECT_EQ(2u, i.model.Loads());
    EXPECT_EQ(512u, i.model.PortWrites());
    std::vector<uint32_t> expected(256, 1);
    expected[7] = 0;
    EXPECT_EQ(expected, i.model.Mask());
    EXPECT_EQ((std::vector<long long>{1, 0, 1}), i.tree.GetIntegers("mask", 6, 3));
    EXPECT_THROW(i.tree.SetInteger("mask", 2, 0), std::exception);
}

TEST(FofbInterlockMask, FlagIsLatchedUntilReset)
{
    Interlock i;
    sim::FeedbackState& state = i.f.Model<sim::FofbModel>(c_fofb).State();
    EXPECT_EQ("false", i.tree.GetText("status"));
    state.SetInterlock(true);
    EXPECT_EQ("true", i.tree.GetText("status"));
    state.SetInterlock(false);
    EXPECT_EQ("true", i.tree.GetText("status"));
    i.tree.Execute("status/reset");
    EXPECT_EQ("false", i.tree.GetText("status"));
    state.SetInterlock(true);
    i.tree.Execute("status/reset");
    EXPECT_EQ("true", i.tree.GetText("status"));
}

} // namespace
