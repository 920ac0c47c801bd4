#include "platform/mci/client_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qreg/signal_node.h"
#include "tests/common/thrown.h"

#include <gtest/gtest.h>

#include <limits>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using mci::c_noRelPath;
using mci::TreeNodePtr;

// An unsigned or double value held in memory, with a resizable flag.
template <typename T, int Code> class MemNode : public qreg::RegNode {
public:
    MemNode(const std::string& name, unsigned long long flags, bool resizable = false)
        : RegNode(name, flags), m_values(1), m_resizable(resizable)
    {
    }
    int OnGetValueType(const mci::Path&) const override { return Code; }
    size_t OnGetSize(const mci::Path&) const override { return m_values.size(); }
    bool OnResize(size_t size, const mci::Path&) override
    {
        m_values.resize(size);
        return true;
    }
    bool IsClientResizable() const override { return m_resizable; }
    size_t OnGet(T* buffer, size_t position, size_t count) const override
    {
        for (size_t i = 0; i < count; ++i) {
            buffer[i] = m_values[position + i];
        }
        return count;
    }
    bool OnSet(const T* values, size_t position, size_t count) override
    {
        for (size_t i = 0; i < count; ++i) {
            m_values[position + i] = values[i];
        }
        return true;
    }
    using RegNode::OnGet;
    using RegNode::OnSet;
    std::vector<T> m_values;
    bool m_resizable;
};

using UIntNode = MemNode<unsigned int, qreg::eTypeUInt>;
using DoubleNode = MemNode<double, qreg::eTypeDouble>;
using BoolNode = MemNode<bool, qreg::eTypeBool>;
using TextNode = MemNode<std::string, qreg::eTypeString>;

template <typename N, typename... A> TreeNodePtr Make(A&&... args)
{
    TreeNodePtr node = std::make_shared<N>(std::forward<A>(args)...);
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    return node;
}

class TestSource : public qsig::SignalSource {
public:
    TestSource() : SignalSource("sa-source", "raf3") {}
    size_t AtomSize() const override { return 16; }
    size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(int); }
    const std::type_info& BaseType() const override { return typeid(int); }
    size_t Length() const override { return 4; }
    std::vector<std::string> GetComponentNames() const override { return {"a", "b", "c", "d"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessStream; }
};

class ClientAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = Make<qreg::RegNode>("root");
        auto branch = root->Add(Make<qreg::RegNode>("settings"));
        branch->Add(Make<UIntNode>("gain", 6));
        branch->Add(Make<UIntNode>("status", 2));
        branch->Add(Make<DoubleNode>("ratio", 6));
        branch->Add(Make<BoolNode>("enable", 6));
        branch->Add(Make<TextNode>("label", 6, true));
        root->Add(Make<qreg::RegExecNode>("reset", [this] { return ++commands > 0 && commandOk; }));
        signal = root->Add(Make<qreg::SignalNode>("sa", &source));
        client.reset(new mci::ClientAccess(root));
    }

    TreeNodePtr root;
    TreeNodePtr signal;
    TestSource source;
    int commands = 0;
    bool commandOk = true;
    std::unique_ptr<mci::ClientAccess> client;
};

TEST_F(ClientAccessTest, ListsAndDescribesNodes)
{
    EXPECT_EQ((std::vector<std::string>{"settings", "reset", "sa"}), client->List(""));
    EXPECT_EQ((std::vector<std::string>{"gain", "status", "ratio", "enable", "label"}), client->List("settings"));
    EXPECT_EQ(3, client->GetValueType("settings/gain"));
    EXPECT_EQ(6, client->GetValueType("settings/ratio"));
    EXPECT_EQ(0, client->GetValueType("settings"));
    EXPECT_EQ(1u, client->GetSize("settings/gain"));
    EXPECT_EQ(2u, client->GetFlags("settings/status"));
    EXPECT_EQ(qreg::RegExecNode::execFlags_c, client->GetFlags("reset"));
    EXPECT_TRUE(client->GetDomainValues("settings/gain").empty());
    EXPECT_EQ("mci: No such node: settings/nope", zvtest::ThrownMessage([&] { client->List("settings/nope"); }));
}

TEST_F(ClientAccessTest, TextIntegerAndDoubleAccessConvertToTheNodeType)
{
    client->SetText("settings/gain", "42");
    EXPECT_EQ(42, client->GetInteger("settings/gain"));
    EXPECT_EQ("42", client->GetText("settings/gain"));
    client->SetDouble("settings/gain", 7.0);
    EXPECT_EQ(7.0, client->GetDouble("settings/gain"));
    EXPECT_EQ("Value -1 is out of range for node gain",
              zvtest::ThrownMessage([&] { client->SetInteger("settings/gain", -1); }));
    EXPECT_EQ("Value 4294967296 is out of range for node gain",
              zvtest::ThrownMessage([&] { client->SetInteger("settings/gain", 4294967296LL); }));
    EXPECT_EQ("Value 2.5 is out of range for node gain",
              zvtest::ThrownMessage([&] { client->SetDouble("settings/gain", 2.5); }));
    EXPECT_EQ("Invalid integer value", zvtest::ThrownMessage([&] { client->SetText("settings/gain", "-1"); }));
    EXPECT_EQ("Invalid integer value", zvtest::ThrownMessage([&] { client->SetText("settings/gain", "12abc"); }));
    EXPECT_EQ(7, client->GetInteger("settings/gain"));

    client->SetText("settings/ratio", "0.125");
    EXPECT_EQ(0.125, client->GetDouble("settings/ratio"));
    EXPECT_EQ("0.125", client->GetText("settings/ratio"));
    EXPECT_EQ("Invalid double value", zvtest::ThrownMessage([&] { client->SetText("settings/ratio", "1.5x"); }));

    client->SetText("settings/enable", "true");
    EXPECT_EQ("true", client->GetText("settings/enable"));
    EXPECT_EQ(1, client->GetInteger("settings/enable"));
    EXPECT_EQ("Value 2 is out of range for node enable",
              zvtest::ThrownMessage([&] { client->SetInteger("settings/enable", 2); }));

    client->SetText("settings/label", "beam one");
    EXPECT_EQ("beam one", client->GetText("settings/label"));

    // Text literals reach a string node as strings (not as bool).
    mci::Node label(client->Find("settings/label"), c_noRelPath);
    EXPECT_TRUE(label.SetValue("two", 0));
    dynamic_cast<qreg::RegNode&>(*client->Find("settings/label")).Set("three", 0, c_noRelPath);
    EXPECT_EQ("three", client->GetText("settings/label"));
    EXPECT_FALSE(mci::Node(client->Find("settings/enable"), c_noRelPath).SetValue("true", 0));
}

TEST_F(ClientAccessTest, NoNodeTakesANanOrAnInfinity)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    client->SetDouble("settings/ratio", -0.5); // negative finite values are values
    mci::Node ratio(client->Find("settings/ratio"), c_noRelPath);
    struct Case {
        std::function<void()> write;
        const char* message;
    };
    for (const Case& c : std::vector<Case>{
             {[&] { client->SetDouble("settings/ratio", nan); }, "Value nan is out of range for node ratio"},
             {[&] { client->SetDouble("settings/ratio", inf); }, "Value inf is out of range for node ratio"},
             {[&] { client->SetDoubles("settings/ratio", {-inf}, 0); }, "Value -inf is out of range for node ratio"},
             {[&] { client->SetText("settings/ratio", "nan"); }, "Value nan is out of range for node ratio"},
             {[&] { client->SetText("settings/ratio", "-infinity"); }, "Value -inf is out of range for node ratio"},
             {[&] { client->SetDouble("settings/gain", nan); }, "Value nan is out of range for node gain"},
             {[&] { EXPECT_FALSE(ratio.SetValue(nan, 0)); }, ""}}) {
        EXPECT_EQ(c.message, zvtest::ThrownMessage(c.write));
        EXPECT_EQ(-0.5, client->GetDouble("settings/ratio"));
    }
}

// A double that a read gives as text is taken back by a text write, down
// to the subnormal ones; a text beyond the doubles' range is refused.
TEST_F(ClientAccessTest, DoubleTextsRoundTripDownToSubnormals)
{
    for (const double v : {std::numeric_limits<double>::denorm_min(), -4.24399158242461e-314, 2.2e-308}) {
        client->SetDouble("settings/ratio", v);
        const std::string text = client->GetText("settings/ratio");
        EXPECT_EQ("", zvtest::ThrownMessage([&] { client->SetText("settings/ratio", text); })) << text;
        EXPECT_EQ(text, client->GetText("settings/ratio"));
    }
    EXPECT_EQ("Invalid double value", zvtest::ThrownMessage([&] { client->SetText("settings/ratio", "1e999"); }));
}

TEST_F(ClientAccessTest, RunsOutsideTheNodeAreRefusedBeforeAnythingIsSized)
{
    const size_t huge = static_cast<size_t>(1) << 60;
    EXPECT_THROW(client->GetTexts("settings/gain", 0, huge), qstd::Exception);
    EXPECT_THROW(client->GetIntegers("settings/ratio", 0, huge), qstd::Exception);
    EXPECT_THROW(client->GetDoubles("settings/gain", 1, 1), qstd::Exception);
    EXPECT_THROW(client->SetIntegers("settings/gain", {1, 2}, 0), qstd::Exception);
    EXPECT_EQ(0, client->GetInteger("settings/gain"));
}

TEST_F(ClientAccessTest, WritesNeedTheWritableBit)
{
    EXPECT_EQ("qreg: Node is not writable: status",
              zvtest::ThrownMessage([&] { client->SetInteger("settings/status", 1); }));
    EXPECT_EQ("qreg: Node is not writable: status",
              zvtest::ThrownMessage([&] { client->SetText("settings/status", "1"); }));
    EXPECT_EQ(0, client->GetInteger("settings/status"));
}

TEST_F(ClientAccessTest, ResizeOnlyWhereTheNodeOwnsItsStorage)
{
    client->Resize("settings/label", 3);
    EXPECT_EQ(3u, client->GetSize("settings/label"));
    client->SetTexts("settings/label", {"x", "y"}, 1);
    EXPECT_EQ((std::vector<std::string>{"", "x", "y"}), client->GetTexts("settings/label", 0, 3));
    EXPECT_EQ("qreg: Node cannot be resized: gain", zvtest::ThrownMessage([&] { client->Resize("settings/gain", 4); }));
    EXPECT_EQ(1u, client->GetSize("settings/gain"));
    // Sizes past the cap are refused before anything is allocated.
    for (const size_t huge : {qreg::RegNode::c_maxClientSize + 1, size_t(1) << 32, size_t(1) << 62}) {
        EXPECT_EQ("qreg: Can't resize node label to " + std::to_string(huge) + " elements: at most 1048576 are allowed",
                  zvtest::ThrownMessage([&] { client->Resize("settings/label", huge); }));
    }
    client->Resize("settings/label", qreg::RegNode::c_maxClientSize);
    EXPECT_EQ(qreg::RegNode::c_maxClientSize, client->GetSize("settings/label"));
}

TEST_F(ClientAccessTest, ExecutesCommands)
{
    client->Execute("reset");
    EXPECT_EQ(1, commands);
    commandOk = false;
    EXPECT_EQ("qreg: Command failed: reset", zvtest::ThrownMessage([&] { client->Execute("reset"); }));
    EXPECT_EQ("qreg: Node is not a command: gain", zvtest::ThrownMessage([&] { client->Execute("settings/gain"); }));
}

TEST_F(ClientAccessTest, SubscriptionCollectsEmittedValues)
{
    auto sub = client->Subscribe("settings/gain");
    client->SetInteger("settings/gain", 3);
    client->SetText("settings/gain", "4");
    ASSERT_TRUE(sub->WaitFor(2, std::chrono::seconds(1)));
    auto values = sub->Values();
    EXPECT_EQ(3u, qstd::any_cast<unsigned int>(values[0].value));
    EXPECT_EQ(4u, qstd::any_cast<unsigned int>(values[1].value));
    sub.reset();
    client->SetInteger("settings/gain", 5);
}

TEST_F(ClientAccessTest, SignalNodeExportsItsSourceUntilDetached)
{
    auto info = client->GetSignal("sa");
    EXPECT_EQ("sa-source", info.name);
    EXPECT_EQ("raf3", info.owner);
    EXPECT_EQ(1, info.accessType);
    EXPECT_EQ(2u, client->GetFlags("sa"));
    EXPECT_EQ("mci: Not a signal node: reset", zvtest::ThrownMessage([&] { client->GetSignal("reset"); }));
    dynamic_cast<qreg::SignalNode&>(*signal).DetachSource();
    EXPECT_EQ("qreg: Signal source is not available: sa", zvtest::ThrownMessage([&] { client->GetSignal("sa"); }));
}

// Paths found before are kept per thread for one access: another access, or
// a new one in the same place over another tree, finds its own nodes, and a
// node added after its path was refused is found.
TEST_F(ClientAccessTest, PathsFoundBeforeStayWithTheirOwnTree)
{
    auto otherRoot = Make<qreg::RegNode>("root");
    otherRoot->Add(Make<qreg::RegNode>("settings"))->Add(Make<UIntNode>("gain", 6));
    auto thirdRoot = Make<qreg::RegNode>("root");
    thirdRoot->Add(Make<qreg::RegNode>("settings"))->Add(Make<UIntNode>("gain", 6));
    mci::ClientAccess(thirdRoot).SetInteger("settings/gain", 3);

    client->SetInteger("settings/gain", 1);
    std::optional<mci::ClientAccess> other;
    other.emplace(otherRoot);
    other->SetInteger("settings/gain", 2);
    EXPECT_EQ(1, client->GetInteger("settings/gain"));
    EXPECT_EQ(2, other->GetInteger("settings/gain"));
    other.emplace(thirdRoot);
    EXPECT_EQ(3, other->GetInteger("settings/gain"));

    EXPECT_EQ("mci: No such node: settings/extra",
              zvtest::ThrownMessage([&] { client->GetInteger("settings/extra"); }));
    root->GetChild("settings")->Add(Make<UIntNode>("extra", 6));
    client->SetInteger("settings/extra", 4);
    EXPECT_EQ(4, client->GetInteger("settings/extra"));
    EXPECT_EQ(1, client->GetInteger("settings/gain"));
}

// Readers by path on several threads while nodes are added to the tree: every
// read finds its node, and every added node is found afterwards.
TEST(ClientAccessConcurrency, ReadersByPathWhileNodesAreAdded)
{
    auto root = Make<qreg::RegNode>("root");
    auto branch = root->Add(Make<qreg::RegNode>("settings"));
    branch->Add(Make<UIntNode>("gain", 6));
    mci::ClientAccess client(root);
    client.SetInteger("settings/gain", 7);
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                wrong += client.GetInteger("settings/gain") == 7 ? 0 : 1;
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        branch->Add(Make<UIntNode>("n" + std::to_string(i), 6));
    }
    for (auto& r : readers) {
        r.join();
    }
    EXPECT_EQ(0, wrong.load());
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(0, client.GetInteger("settings/n" + std::to_string(i)));
    }
}

// A value whose copies wait at a gate once it is armed, so that an emission
// can be held inside a subscriber's delivery.
struct CopyGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool entered = false;
    bool released = false;
};

struct GatedValue {
    explicit GatedValue(CopyGate* g) : gate(g) {}
    GatedValue(const GatedValue& other) : gate(other.gate)
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        if (gate->armed) {
            gate->entered = true;
            gate->changed.notify_all();
            gate->changed.wait(lock, [this] { return gate->released; });
        }
    }
    GatedValue& operator=(const GatedValue&) = default;
    CopyGate* gate;
};

// A subscription destroyed while an emitting thread is delivering to it: the
// delivery finishes before the collected values go away.
TEST(SubscriptionConcurrency, DestroyedWhileItsDeliveryRuns)
{
    auto root = Make<qreg::RegNode>("root");
    auto node = root->Add(Make<UIntNode>("n", 6));
    mci::ClientAccess client(root);
    auto sub = client.Subscribe("n");
    client.SetInteger("n", 1); // the collected values own storage from now on
    ASSERT_EQ(1u, sub->Count());

    CopyGate gate;
    const qstd::Any value{GatedValue(&gate)};
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.armed = true;
    }
    std::thread emitter([&] { node->NotifySubscribers(value, 0); });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
    }
    std::thread destroyer([&] { sub.reset(); });
    // Give the destruction time to reach (and wait for) the running delivery.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.released = true;
    }
    gate.changed.notify_all();
    emitter.join();
    destroyer.join();
    EXPECT_FALSE(sub);
}

// The owner detaches and deletes the source while clients keep reaching the
// node: no client may touch the deleted source.
TEST(SignalNodeConcurrency, DetachWhileClientsRead)
{
    auto root = Make<qreg::RegNode>("root");
    auto* source = new TestSource();
    auto node = root->Add(Make<qreg::SignalNode>("sa", source, 66));
    EXPECT_EQ(66u, node->GetFlags());
    mci::ClientAccess client(root);
    std::atomic<int> ok{0}, refused{0};
    std::thread reader([&] {
        for (int i = 0; i < 20000; ++i) {
            try {
                if (client.GetSignal("sa").length == 4) {
                    ++ok;
                }
            } catch (const qstd::Exception&) {
                ++refused;
            }
        }
    });
    while (ok == 0) {
        std::this_thread::yield();
    }
    dynamic_cast<qreg::SignalNode&>(*node).DetachSource();
    delete source;
    reader.join();
    EXPECT_EQ(20000, ok + refused);
    EXPECT_GT(ok.load(), 0);
}

} // namespace
