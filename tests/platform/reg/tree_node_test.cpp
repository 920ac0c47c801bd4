#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using mci::c_noRelPath;
using mci::TreeNodePtr;

// A register node with an array of ints in memory, for the library tests.
class IntNode : public qreg::RegNode {
public:
    IntNode(const std::string& name, size_t size, unsigned long long flags) : RegNode(name, flags), m_values(size) {}
    int OnGetValueType(const mci::Path&) const override { return qreg::eTypeInt; }
    size_t OnGetSize(const mci::Path&) const override { return m_values.size(); }
    size_t OnGet(int* buffer, size_t position, size_t count) const override
    {
        for (size_t i = 0; i < count; ++i) {
            buffer[i] = m_values[position + i];
        }
        return count;
    }
    bool OnSet(const int* values, size_t position, size_t count) override
    {
        for (size_t i = 0; i < count; ++i) {
            m_values[position + i] = values[i];
        }
        return true;
    }
    using RegNode::OnGet;
    using RegNode::OnSet;
    std::vector<int> m_values;
};

TreeNodePtr MakeNode(const std::string& name, unsigned long long flags = 6, size_t size = 1)
{
    TreeNodePtr node = std::make_shared<IntNode>(name, size, flags);
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    return node;
}

TEST(TreeNode, ChildrenKeepTheirOrderAndPathsResolve)
{
    auto root = MakeNode("root", 0);
    auto a = root->Add(MakeNode("a", 0));
    root->Add(MakeNode("b"));
    a->Add(MakeNode("c"));
    std::vector<std::string> names;
    for (const auto& child : root->GetChildren()) {
        names.push_back(child->GetName());
    }
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), names);
    EXPECT_EQ("c", root->Find("a/c")->GetName());
    EXPECT_EQ(root, root->Find(""));
    EXPECT_FALSE(root->Find("a/x"));
    EXPECT_FALSE(root->Find("b/c"));
}

TEST(TreeNode, AddingAnEmptyHandleIsATracedNoOp)
{
    qstd::CaptureScope capture(false, true, 1);
    auto root = MakeNode("root", 0);
    EXPECT_FALSE(root->Add(TreeNodePtr()));
    EXPECT_TRUE(root->GetChildren().empty());
    EXPECT_TRUE(capture.TracedSubstring("Empty node not added under root"));
}

TEST(TreeNode, FlagsOnlyGainBits)
{
    auto node = MakeNode("n", 2);
    EXPECT_EQ(2u, node->OnGetFlags("any/path"));
    node->OnSetFlags(0x40, c_noRelPath);
    EXPECT_EQ(0x42u, node->GetFlags());
    node->OnSetFlags(0, c_noRelPath);
    node->OnSetFlags(2, "x");
    EXPECT_EQ(0x42u, node->GetFlags());
    EXPECT_FALSE(node->IsArray(c_noRelPath));
    node->OnSetFlags(mci::enums::eArray, c_noRelPath);
    EXPECT_TRUE(node->IsArray(c_noRelPath));
}

TEST(TreeNode, InitNeedsStructureAndAPathComponentName)
{
    IntNode bare("n", 1, 6);
    EXPECT_FALSE(bare.Init());
    bare.SetNodeStructure(new mci::LocalNodeStructure(&bare));
    EXPECT_TRUE(bare.Init());
    EXPECT_EQ(&bare, bare.GetNodeStructure()->GetNode());
    IntNode slashed("a/b", 1, 6);
    slashed.SetNodeStructure(new mci::LocalNodeStructure(&slashed));
    EXPECT_FALSE(slashed.Init());
}

TEST(TreeNode, LockIsRecursive)
{
    auto node = MakeNode("n");
    auto outer = node->Lock();
    auto inner = node->Lock();
    EXPECT_TRUE(inner.owns_lock());
    inner.unlock();
    EXPECT_TRUE(outer.owns_lock());
}

TEST(TreeNode, BaseComparisonIsNameAndFlags)
{
    auto a = MakeNode("x", 6);
    EXPECT_TRUE(*a == *MakeNode("x", 6));
    EXPECT_FALSE(*a == *MakeNode("x", 2));
    EXPECT_FALSE(*a == *MakeNode("y", 6));
}

TEST(Notification, SubscribersGetCopiesAndStopAtUnregister)
{
    auto node = MakeNode("n");
    auto* reg = dynamic_cast<qreg::RegNode*>(node.get());
    std::vector<int> seen;
    {
        mci::NotificationClient client;
        mci::Callback cb([&seen](const mci::NotificationData& d) { seen.push_back(qstd::any_cast<int>(d.value)); });
        mci::Callback other([](const mci::NotificationData&) {});
        EXPECT_NE(cb.GetId(), other.GetId());
        EXPECT_TRUE(client.Register(node, cb));
        EXPECT_FALSE(client.Register(TreeNodePtr(), cb));
        EXPECT_EQ(1u, node->GetSubscriberCount());
        reg->Set(4, 0, c_noRelPath);
        client.UnregisterAll();
        reg->Set(5, 0, c_noRelPath);
        EXPECT_EQ(0u, node->GetSubscriberCount());
        client.Register(node, cb);
        reg->Set(6, 0, c_noRelPath);
    }
    reg->Set(7, 0, c_noRelPath);
    EXPECT_EQ((std::vector<int>{4, 6}), seen);
}

// A closed client leaves no entry on a node that never emits again: its
// callback, and what it holds, is released at once.
TEST(Notification, ClosingAClientReleasesItsCallbacksAtOnce)
{
    auto node = MakeNode("quiet");
    auto kept = std::make_shared<int>(0);
    mci::NotificationClient other;
    other.Register(node, mci::Callback([kept](const mci::NotificationData&) {}));
    for (const bool destroy : {false, true}) {
        auto held = std::make_shared<int>(0);
        auto client = std::make_unique<mci::NotificationClient>();
        for (int i = 0; i < 3; ++i) {
            client->Register(node, mci::Callback([held](const mci::NotificationData&) {}));
        }
        EXPECT_EQ(4, held.use_count());
        if (destroy) {
            client.reset();
        } else {
            client->UnregisterAll();
        }
        EXPECT_EQ(1, held.use_count()) << "destroyed: " << destroy;
        EXPECT_EQ(2, kept.use_count()) << "another client's entry stays";
    }
    EXPECT_EQ(1u, node->GetSubscriberCount());
}

TEST(Notification, EmitSendsTheCurrentValue)
{
    auto node = MakeNode("arr", 6 | mci::enums::eArray, 3);
    auto* reg = dynamic_cast<qreg::RegNode*>(node.get());
    reg->Set(std::vector<int>{1, 2, 3}, 0, c_noRelPath);
    std::vector<mci::NotificationData> seen;
    mci::NotificationClient client;
    client.Register(node, mci::Callback([&](const mci::NotificationData& d) { seen.push_back(d); }));
    EXPECT_TRUE(mci::Node(node, c_noRelPath).Emit());
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ((std::vector<int>{1, 2, 3}), qstd::any_cast<std::vector<int>>(seen[0].value));
    EXPECT_FALSE(mci::Node().Emit());
}

TEST(NodeHandle, EmptyHandleRefusesAndTypedAccessConverts)
{
    mci::Node empty;
    EXPECT_FALSE(empty.GetTreeNode());
    EXPECT_FALSE(empty.SetValue(1, 0));
    int out = 0;
    EXPECT_FALSE(empty.GetValue(out, 0));

    auto node = MakeNode("n", 2); // not writable by clients; the system may write
    mci::Node handle(node, c_noRelPath);
    EXPECT_TRUE(handle.SetValue(-3, 0));
    EXPECT_TRUE(handle.GetValue(out, 0));
    EXPECT_EQ(-3, out);
    long long wide = 0;
    EXPECT_TRUE(handle.GetValue(wide, 0));
    EXPECT_EQ(-3, wide);
    unsigned int u = 0;
    EXPECT_FALSE(handle.GetValue(u, 0)); // -3 has no unsigned value
    EXPECT_FALSE(handle.SetValue(1LL << 40, 0));
    EXPECT_FALSE(handle.SetValue(2.5, 0));
    EXPECT_TRUE(handle.SetValue(9.0, 0));
    EXPECT_FALSE(handle.SetValue(1, 1));
    EXPECT_TRUE(handle.GetValue(out, 0));
    EXPECT_EQ(9, out);
    node->SetConstant(true);
    EXPECT_FALSE(handle.SetValue(1, 0));
}

// A node whose kind raises something that is not a std::exception.
class ThrowingNode : public IntNode {
public:
    ThrowingNode() : IntNode("odd", 1, 6) {}
    size_t OnGet(int*, size_t, size_t) const override { throw 7; }
    bool OnSet(const int*, size_t, size_t) override { throw 7; }
    using RegNode::OnGet;
    using RegNode::OnSet;
};

TEST(NodeHandle, AnyExceptionOfTheKindIsAFailureNotAnEscape)
{
    TreeNodePtr node = std::make_shared<ThrowingNode>();
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    mci::Node handle(node, c_noRelPath);
    bool set = true;
    EXPECT_NO_THROW(set = handle.SetValue(1, 0));
    EXPECT_FALSE(set);
    int out = 0;
    bool got = true;
    EXPECT_NO_THROW(got = handle.GetValue(out, 0));
    EXPECT_FALSE(got);
}

TEST(RegNodeLibrary, PositionAndCountAreCheckedBeforeTheKind)
{
    auto node = MakeNode("n", 6, 3);
    auto* reg = dynamic_cast<qreg::RegNode*>(node.get());
    EXPECT_NO_THROW(reg->VerifySetArgs(0, 3));
    EXPECT_NO_THROW(reg->VerifySetArgs(3, 0));
    EXPECT_THROW(reg->VerifySetArgs(1, 3), qstd::Exception);
    EXPECT_THROW(reg->VerifySetArgs(4, 0), qstd::Exception);
    // A count so large that position + count wraps around is still refused.
    EXPECT_THROW(reg->VerifySetArgs(2, static_cast<size_t>(-1)), qstd::Exception);
    std::vector<int> values;
    EXPECT_THROW(reg->Get(values, 2, 2, c_noRelPath), qstd::Exception);
    EXPECT_THROW(reg->Set(std::vector<int>{1, 2}, 2, c_noRelPath), qstd::Exception);
    // A type the node cannot take at all is refused by name.
    try {
        reg->Set(std::string("x"), 0, c_noRelPath);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qreg: Value type not supported by node n", e.what());
    }
}

TEST(Notification, CallbackMayCloseItsOwnClientAndEmitElsewhere)
{
    auto a = MakeNode("a");
    auto b = MakeNode("b");
    auto* regB = dynamic_cast<qreg::RegNode*>(b.get());
    mci::NotificationClient client;
    std::vector<std::string> seen;
    client.Register(a, mci::Callback([&](const mci::NotificationData& d) {
                        seen.push_back(d.name);
                        regB->Set(1, 0, c_noRelPath); // reaches this same client again
                        client.UnregisterAll();
                    }));
    client.Register(b, mci::Callback([&](const mci::NotificationData& d) { seen.push_back(d.name); }));
    dynamic_cast<qreg::RegNode&>(*a).Set(1, 0, c_noRelPath);
    dynamic_cast<qreg::RegNode&>(*a).Set(2, 0, c_noRelPath);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), seen);
}

// Closing a client waits for its callback that runs on another thread.
TEST(NotificationConcurrency, ClosingWaitsForARunningCallback)
{
    auto node = MakeNode("n");
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    auto client = std::make_unique<mci::NotificationClient>();
    client->Register(node, mci::Callback([&](const mci::NotificationData&) {
                         entered = true;
                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                         finished = true;
                     }));
    std::thread emitter([&] { dynamic_cast<qreg::RegNode&>(*node).Set(1, 0, c_noRelPath); });
    while (!entered) {
        std::this_thread::yield();
    }
    client.reset();
    EXPECT_TRUE(finished.load());
    emitter.join();
}

// Subscribing and emitting at once from several threads.
TEST(NotificationConcurrency, EmitWhileClientsComeAndGo)
{
    auto node = MakeNode("n");
    auto* reg = dynamic_cast<qreg::RegNode*>(node.get());
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::thread emitter([&] {
        int i = 0;
        while (!stop) {
            reg->Set(++i % 1000, 0, c_noRelPath);
        }
    });
    for (int round = 0; round < 200; ++round) {
        mci::NotificationClient client;
        client.Register(node, mci::Callback([&](const mci::NotificationData&) { ++received; }));
        std::this_thread::yield();
    }
    stop = true;
    emitter.join();
    const int before = received.load();
    reg->Set(1, 0, c_noRelPath);
    EXPECT_EQ(before, received.load()); // every client is gone
}

} // namespace
