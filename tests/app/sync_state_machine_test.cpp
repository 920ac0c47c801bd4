// Transitions of the per-board synchronisation state machine and its name table.
#include "app/sync_state_machine.h"

#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FakeApplication {
    bool locked = false;
    bool IsPllLocked() const { return locked; }
};

std::string Refusal(SyncStateMachine& sm, SyncStateMachine::State_e state)
{
    try {
        sm.SetState(state);
    } catch (const qstd::Exception& e) {
        return e.what();
    }
    return "";
}

TEST(SyncStateMachine, SynchronizedIsReachedOnlyThroughTracking)
{
    FakeApplication app;
    SyncStateMachine sm(app);
    EXPECT_EQ(sm.GetState(), SyncStateMachine::NoSync);

    EXPECT_EQ(Refusal(sm, SyncStateMachine::Synchronized), "Cannot move from NoSync into Synchronized state");
    EXPECT_EQ(sm.GetState(), SyncStateMachine::NoSync);

    app.locked = true;
    EXPECT_TRUE(sm.SetState(SyncStateMachine::Tracking));
    EXPECT_EQ(sm.GetState(), SyncStateMachine::Tracking);
    EXPECT_TRUE(sm.SetState(SyncStateMachine::Synchronized));
    EXPECT_TRUE(sm.SetState(SyncStateMachine::Synchronized));
    EXPECT_EQ(sm.GetState(), SyncStateMachine::Synchronized);
}

TEST(SyncStateMachine, TrackingNeedsALockedPllFromAnyState)
{
    FakeApplication app;
    SyncStateMachine sm(app);
    EXPECT_EQ(Refusal(sm, SyncStateMachine::Tracking), "Pll is not locked");
    EXPECT_EQ(sm.GetState(), SyncStateMachine::NoSync);

    app.locked = true;
    sm.SetState(SyncStateMachine::Tracking);
    sm.SetState(SyncStateMachine::Synchronized);
    app.locked = false;
    EXPECT_EQ(Refusal(sm, SyncStateMachine::Tracking), "Pll is not locked");
    EXPECT_EQ(sm.GetState(), SyncStateMachine::Synchronized);

    // NoSync is always reachable, with or without the lock.
    EXPECT_TRUE(sm.SetState(SyncStateMachine::NoSync));
    EXPECT_EQ(sm.GetState(), SyncStateMachine::NoSync);
    EXPECT_TRUE(sm.SetState(SyncStateMachine::NoSync));
}

TEST(SyncStateMachine, ValueOutsideTheEnumerationIsRefusedWithoutChange)
{
    FakeApplication app{true};
    SyncStateMachine sm(app);
    sm.SetState(SyncStateMachine::Tracking);
    EXPECT_FALSE(sm.SetState(static_cast<SyncStateMachine::State_e>(3)));
    EXPECT_FALSE(sm.SetState(static_cast<SyncStateMachine::State_e>(-1)));
    EXPECT_EQ(sm.GetState(), SyncStateMachine::Tracking);
}

TEST(SyncStateMachine, NameTable)
{
    using Map = qstd::EnumMap<SyncStateMachine::State_e>;
    EXPECT_STREQ(Map::ToString(SyncStateMachine::NoSync), "NoSync");
    EXPECT_STREQ(Map::ToString(SyncStateMachine::Tracking), "Tracking");
    EXPECT_STREQ(Map::ToString(SyncStateMachine::Synchronized), "Synchronized");
    SyncStateMachine::State_e v;
    ASSERT_TRUE(Map::items.Find("Synchronized", v));
    EXPECT_EQ(v, SyncStateMachine::Synchronized);
    EXPECT_EQ(Map::items.ValueToName().size(), 3u);
    EXPECT_THROW(Map::ToString(static_cast<SyncStateMachine::State_e>(7)), qstd::Exception);
}

} // namespace
