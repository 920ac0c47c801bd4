// A board's local timing: the "sync_state_machine" node and the state changes
// the framework's synchronisation hooks make, and the two delay bit fields.
#include "app/local_timing_raf.h"
#include "app/vuna_application.h"

#include "mci/factory.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qstd/capture.h"
#include "qreg/reg_node.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

namespace {

// A board without a simulated board behind it.
class PlainBoard : public qapp::ZemtraBoard {
public:
    explicit PlainBoard(qapp::ZemtraApplication& app) : qapp::ZemtraBoard(app, nullptr) {}
};

// Exposes the framework's hooks to the test.
class TestTiming : public LocalTimingRaf {
public:
    using LocalTimingRaf::LocalTimingRaf;
    using LocalTimingRaf::OnAnnounced;
    using LocalTimingRaf::OnStopAdjustment;
};

struct Fixture {
    std::shared_ptr<VunaApplication> app = std::make_shared<VunaApplication>();
    PlainBoard board{*app};
    alignas(8) unsigned char block[LocalTimingRaf::c_block_size] = {};
    TestTiming timing{board, reinterpret_cast<volatile FPGAMem_t*>(block), "local_timing", nullptr, nullptr};
    mci::TreeNodePtr node = mci::factory::Create<qreg::RegNode>("local_timing", 0);

    Fixture() { timing.OnRegistryAdd(node); }

    std::string NodeState()
    {
        std::string name;
        EXPECT_TRUE(mci::Node(node->GetChild("sync_state_machine"), mci::c_noRelPath).GetValue(name, 0));
        return name;
    }
    uint32_t Word(unsigned offset)
    {
        uint32_t w;
        std::memcpy(&w, block + offset, sizeof(w));
        return w;
    }
    void SetWord(unsigned offset, uint32_t w) { std::memcpy(block + offset, &w, sizeof(w)); }
};

TEST(LocalTimingRaf, HooksChangeTheStateOnlyOnceRequestsAreAccepted)
{
    Fixture f;
    EXPECT_FALSE(f.timing.IsAccepting());
    EXPECT_EQ(f.NodeState(), "NoSync");

    // Before OnAcceptRequests the framework's hooks leave the state alone.
    f.timing.OnStopAdjustment(true);
    f.timing.OnStopAdjustment(false);
    EXPECT_EQ(f.timing.GetSyncState(), SyncStateMachine::NoSync);

    qstd::CaptureScope capture;
    f.timing.OnAcceptRequests();
    EXPECT_TRUE(capture.Traced("LocalTimingRaf::OnAcceptRequests"));
    EXPECT_TRUE(f.timing.IsAccepting());
    EXPECT_EQ(f.timing.GetSyncState(), SyncStateMachine::NoSync);
}

TEST(LocalTimingRaf, TrackingIsRefusedThroughTheNodeWhileThePllIsUnlocked)
{
    Fixture f;
    f.timing.OnAcceptRequests();
    ASSERT_FALSE(f.app->IsPllLocked()); // no PLL at all
    f.timing.OnAnnounced();
    EXPECT_EQ(f.timing.GetSyncState(), SyncStateMachine::NoSync);
    EXPECT_FALSE(f.timing.SetSyncState(SyncStateMachine::Tracking));
    // And Synchronized only from Tracking.
    EXPECT_FALSE(f.timing.SetSyncState(SyncStateMachine::Synchronized));
    f.timing.OnStopAdjustment(true);
    EXPECT_EQ(f.NodeState(), "NoSync");
    EXPECT_TRUE(f.timing.SetSyncState(SyncStateMachine::NoSync));
}

TEST(LocalTimingRaf, FailedAdjustmentIsLoggedWithTheBoardNameAndDropsToNoSync)
{
    Fixture f;
    f.timing.OnAcceptRequests();
    qstd::CaptureScope capture;
    f.timing.OnStopAdjustment(false);
    EXPECT_TRUE(capture.Logged("Sync on " + f.board.GetName() +
                               " board failed. Problem with Sync announcements on multiple boards."));
    EXPECT_EQ(f.timing.GetSyncState(), SyncStateMachine::NoSync);
}

TEST(LocalTimingRaf, NodeNotifiesEveryStateChange)
{
    Fixture f;
    int notified = 0;
    mci::NotificationClient client;
    client.Register(f.node->GetChild("sync_state_machine"),
                    mci::Callback([&notified](const mci::NotificationData&) { ++notified; }));
    f.timing.OnAcceptRequests();
    f.timing.SetSyncState(SyncStateMachine::NoSync);
    EXPECT_EQ(notified, 2);
}

TEST(LocalTimingRaf, DelayBitFieldsKeepTheOtherBitsAndRefuseValuesAbove15Bits)
{
    Fixture f;
    f.SetWord(LocalTimingRaf::c_trigger_delay_offset, 0xABCD0000u);
    mci::Node trigger(f.node->GetChild("trigger_delay"), mci::c_noRelPath);
    mci::Node postMortem(f.node->GetChild("post_mortem_delay"), mci::c_noRelPath);
    ASSERT_TRUE(trigger);
    ASSERT_TRUE(postMortem);

    EXPECT_FALSE(trigger.SetValue(32768u, 0));
    EXPECT_EQ(f.Word(LocalTimingRaf::c_trigger_delay_offset), 0xABCD0000u);
    EXPECT_TRUE(trigger.SetValue(32767u, 0));
    EXPECT_EQ(f.Word(LocalTimingRaf::c_trigger_delay_offset), 0xABCD7FFFu);
    EXPECT_EQ(f.Word(LocalTimingRaf::c_post_mortem_delay_offset), 0u);

    EXPECT_TRUE(postMortem.SetValue(5u, 0));
    EXPECT_EQ(f.Word(LocalTimingRaf::c_post_mortem_delay_offset), 5u);
    unsigned v = 0;
    EXPECT_TRUE(trigger.GetValue(v, 0));
    EXPECT_EQ(v, 32767u);
    EXPECT_EQ(f.node->GetChild("trigger_delay")->GetFlags(), 14u);
    EXPECT_EQ(f.node->GetChild("post_mortem_delay")->GetFlags(), 70u);
    EXPECT_EQ(f.node->GetChild("sync_state_machine")->GetFlags(), 6u);
}

TEST(LocalTimingRaf, OtherApplicationsAndMissingBlocksAreRefused)
{
    class OtherApp : public qapp::ZemtraApplication {
    public:
        OtherApp() : qapp::ZemtraApplication("other", false, false) {}
    };
    {
        auto other = std::make_shared<OtherApp>();
        PlainBoard board(*other);
        unsigned char block[16] = {};
        EXPECT_THROW(
            LocalTimingRaf(board, reinterpret_cast<volatile FPGAMem_t*>(block), "local_timing", nullptr, nullptr),
            std::bad_cast);
    }
    auto app = std::make_shared<VunaApplication>();
    PlainBoard board(*app);
    try {
        LocalTimingRaf timing(board, nullptr, "local_timing", nullptr, nullptr);
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "Failure while mapping to FPGA memory registers");
    }
}

} // namespace
