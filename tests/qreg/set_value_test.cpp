#include "platform/qreg/reg_value_node.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_node.h"

#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using mci::c_noRelPath;
using qreg::RegValueNode;

// Collects what a node emits.
struct Collector {
    mci::NotificationClient client;
    std::vector<mci::NotificationData> values;
    explicit Collector(const mci::TreeNodePtr& node)
    {
        client.Register(node, mci::Callback([this](const mci::NotificationData& d) { values.push_back(d); }));
    }
};

template <typename T>
std::shared_ptr<RegValueNode<T>> MakeValue(const std::string& name, const T& initial, unsigned long long flags = 6)
{
    return std::make_shared<RegValueNode<T>>(name, initial, flags);
}

unsigned int Read(const RegValueNode<unsigned int>& node, size_t pos = 0)
{
    unsigned int v = 0;
    node.Get(v, pos, c_noRelPath);
    return v;
}

TEST(SetValue, StoresAndEmitsThePlainValueOnAScalarNode)
{
    auto node = MakeValue<unsigned int>("count", 1);
    Collector c(node);
    EXPECT_TRUE(node->SetValue(5u, 0));
    EXPECT_EQ(5u, Read(*node));
    ASSERT_EQ(1u, c.values.size());
    EXPECT_EQ("count", c.values[0].name);
    EXPECT_EQ(5u, qstd::any_cast<unsigned int>(c.values[0].value));
    EXPECT_EQ(0u, c.values[0].position);
}

TEST(SetValue, ArrayNodeEmitsAOneElementVectorAtThePosition)
{
    auto node = MakeValue<bool>("flags", false, 6 | mci::enums::eArray);
    node->OnResize(4, c_noRelPath);
    Collector c(node);
    EXPECT_TRUE(node->SetValue(true, 3));
    ASSERT_EQ(1u, c.values.size());
    EXPECT_EQ(std::vector<bool>{true}, qstd::any_cast<std::vector<bool>>(c.values[0].value));
    EXPECT_EQ(3u, c.values[0].position);
}

TEST(SetValue, ConstantNodeIsRefusedAndTraced)
{
    qstd::CaptureScope capture(false, true, 1);
    auto node = MakeValue<std::string>("state", "idle");
    node->SetConstant(true);
    Collector c(node);
    EXPECT_FALSE(node->SetValue(std::string("busy"), 0));
    std::string v;
    node->Get(v, 0, c_noRelPath);
    EXPECT_EQ("idle", v);
    EXPECT_TRUE(c.values.empty());
    EXPECT_TRUE(capture.Traced("Cannot set value qreg: state: Node is a constant."));
}

TEST(SetValue, ValidatorRefusalWritesAndEmitsNothing)
{
    auto node = MakeValue<unsigned int>("n", 3);
    node->SetValidator(qreg::Expr<qreg::expr::Range<unsigned int, unsigned int>>(1, 10));
    Collector c(node);
    EXPECT_FALSE(node->SetValue(11u, 0));
    EXPECT_EQ(3u, Read(*node));
    EXPECT_TRUE(c.values.empty());
    EXPECT_TRUE(node->SetValue(10u, 0));
    EXPECT_EQ(1u, c.values.size());

    auto flag = MakeValue<bool>("b", false);
    flag->SetValidator(qreg::Expr<qreg::expr::Range<int, int>>(0, 0)); // tests ints only
    EXPECT_TRUE(flag->SetValue(true, 0));
    struct RefuseTrue : qreg::Terminal {
        RefuseTrue() : Terminal("!") {}
        using Expression::OnEvaluate;
        bool OnEvaluate(const bool& v) const override { return !v; }
    };
    flag->SetValidator(std::make_shared<RefuseTrue>());
    try {
        flag->Set(true, 0);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qreg: b: Value true is refused by validator !", e.what());
    }
}

TEST(SetValue, PositionPastTheSizeIsRefused)
{
    auto node = MakeValue<unsigned int>("n", 3);
    EXPECT_FALSE(node->SetValue(4u, 1));
    EXPECT_EQ(3u, Read(*node));
    EXPECT_THROW(node->ApplyAndEmitValue(4u, 1), qstd::Exception);
}

TEST(SetValue, NestsUnderTheNodeLock)
{
    auto node = MakeValue<unsigned int>("n", 3);
    auto lock = node->Lock();
    EXPECT_TRUE(node->SetValue(8u, 0));
    EXPECT_EQ(8u, Read(*node));
}

TEST(SetValue, AnyExceptionOfTheSetterBecomesFalse)
{
    qstd::CaptureScope capture(false, true, 1);
    int calls = 0;
    qreg::RegFncNode<unsigned int> node(
        "f",
        [&calls](const unsigned int&) -> bool {
            ++calls;
            throw std::runtime_error("device gone");
        },
        [](unsigned int& v) {
            v = 0;
            return true;
        },
        {}, {}, 1, 6);
    EXPECT_FALSE(node.SetValue(1u, 0));
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(capture.Traced("Cannot set value device gone"));
}

// A kind whose OnSet reports failure by returning false.
struct Refusing : qreg::RegTypeNode<unsigned int> {
    Refusing() : RegTypeNode("r", 6) {}
    size_t OnGetSize(const mci::Path&) const override { return 1; }
    bool OnSet(const unsigned int*, size_t, size_t) override { return false; }
    using RegNode::OnSet;
};

TEST(SetValue, OnSetReturningFalseIsAFailure)
{
    auto node = std::make_shared<Refusing>();
    Collector c(node);
    EXPECT_FALSE(node->SetValue(1u, 0));
    EXPECT_TRUE(c.values.empty());
    try {
        node->Set(1u, 0, c_noRelPath);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qreg: Can't set value: setter function failed: r", e.what());
    }
}

TEST(SetValue, SubscriberExceptionIsContained)
{
    qstd::CaptureScope capture(false, true, 1);
    auto node = MakeValue<unsigned int>("n", 0);
    mci::NotificationClient thrower;
    thrower.Register(node, mci::Callback([](const mci::NotificationData&) { throw std::runtime_error("boom"); }));
    Collector c(node);
    EXPECT_TRUE(node->SetValue(2u, 0));
    EXPECT_EQ(1u, c.values.size());
    EXPECT_TRUE(capture.TracedSubstring("boom"));
    // EmitValue reports the failed delivery and changes nothing.
    EXPECT_FALSE(node->EmitValue(9u, 0));
    EXPECT_EQ(2u, Read(*node));
    EXPECT_EQ(9u, qstd::any_cast<unsigned int>(c.values.back().value));
    thrower.UnregisterAll();
    EXPECT_TRUE(node->EmitValue(9u, 0));
}

// A client write stores without the node lock and emits under it; an owner's
// write that stores and emits in between must not leave the subscribers with
// the client's older value.
TEST(SetValue, ClientWriteOvertakenByTheOwnerEmitsTheNodesValue)
{
    auto node = MakeValue<unsigned int>("n", 0);
    Collector c(node);
    std::thread client;
    {
        auto lock = node->Lock();
        client = std::thread([&] { node->Set(1u, 0, c_noRelPath); });
        while (Read(*node) != 1u) {
            std::this_thread::yield();
        }
        // The client has stored and waits for the lock to emit.
        EXPECT_TRUE(node->SetValue(2u, 0));
    }
    client.join();
    EXPECT_EQ(2u, Read(*node));
    ASSERT_FALSE(c.values.empty());
    EXPECT_EQ(2u, qstd::any_cast<unsigned int>(c.values.back().value));
}

// A setter that has more to do after it stored (a register write, say)
// widens the gap between a client's store and its emission.
struct SlowSetter {
    std::atomic<unsigned int> value{0};
    bool Set(const unsigned int& v)
    {
        value = v;
        std::this_thread::yield();
        return true;
    }
    bool Get(unsigned int& v) const
    {
        v = value;
        return true;
    }
};

TEST(RegNodeConcurrency, SubscribersEndWithTheNodesValueWhateverTheInterleaving)
{
    for (int round = 0; round < 500; ++round) {
        SlowSetter owner;
        auto node = std::make_shared<qreg::RegFncNode<unsigned int>>("v", &owner, &SlowSetter::Set, &SlowSetter::Get);
        Collector c(node); // deliveries are serialised by the node lock
        std::atomic<bool> go{false};
        std::thread client([&] {
            while (!go) {
                std::this_thread::yield();
            }
            for (unsigned int i = 1; i < 20; i += 2) {
                node->Set(i, 0, c_noRelPath);
            }
        });
        go = true;
        for (unsigned int i = 2; i < 20; i += 2) {
            node->SetValue(i, 0);
        }
        client.join();
        ASSERT_FALSE(c.values.empty());
        ASSERT_EQ(owner.value.load(), qstd::any_cast<unsigned int>(c.values.back().value)) << round;
    }
}

// An owner that holds its own mutex while it sets its node, and whose getter
// takes the same mutex. Clients reading and writing the node on other threads
// must not deadlock with it.
struct LockingOwner {
    std::recursive_mutex mutex;
    std::atomic<unsigned int> value{0};
    std::shared_ptr<qreg::RegFncNode<unsigned int>> node;

    bool Set(const unsigned int& v)
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        value = v;
        return true;
    }
    bool Get(unsigned int& v) const
    {
        std::lock_guard<std::recursive_mutex> lock(const_cast<std::recursive_mutex&>(mutex));
        v = value;
        return true;
    }
    void Update(unsigned int v)
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        node->SetValue(v, 0);
    }
};

TEST(RegNodeConcurrency, ClientAccessDoesNotDeadlockWithOwnerHoldingItsMutex)
{
    LockingOwner owner;
    owner.node = std::make_shared<qreg::RegFncNode<unsigned int>>("v", &owner, &LockingOwner::Set, &LockingOwner::Get);
    auto run = std::async(std::launch::async, [&] {
        std::thread client([&] {
            for (int i = 0; i < 5000; ++i) {
                unsigned int v = 0;
                owner.node->Get(v, 0, c_noRelPath);
            }
        });
        // A client write calls the setter, which takes the owner's mutex.
        std::thread writer([&] {
            for (unsigned int i = 0; i < 5000; ++i) {
                owner.node->Set(0u, 0, c_noRelPath);
            }
        });
        for (unsigned int i = 1; i <= 5000; ++i) {
            owner.Update(i);
        }
        client.join();
        writer.join();
        owner.Update(5000);
    });
    if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "deadlock between client access and owner write";
        std::_Exit(1);
    }
    EXPECT_EQ(5000u, owner.value.load());
}

} // namespace
