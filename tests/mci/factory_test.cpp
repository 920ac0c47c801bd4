#include "mci/factory.h"
#include "platform/mci/client_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qreg/signal_node.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/reg_reference_enum_node.h"
#include "qreg/reg_reference_node.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using mci::c_noRelPath;
using mci::LocalNodeStructure;
using mci::TreeNodePtr;
using mci::enums::Flags_e;
using mci::factory::Create;

enum Mode_e : int { eSlow = 0, eFast = 1 };

} // namespace

template <> qstd::BiMap<Mode_e> qstd::EnumMap<Mode_e>::items = {{eSlow, "slow"}, {eFast, "fast"}};

namespace {

struct Owner {
    unsigned int value = 3;
    unsigned int array[4] = {1, 2, 3, 4};
    Mode_e mode = eSlow;
    int runs = 0;
    bool Set(const unsigned int& v)
    {
        value = v;
        return true;
    }
    bool Get(unsigned int& v) const
    {
        v = value;
        return true;
    }
    bool GetMutable(unsigned int& v)
    {
        v = value + 1;
        return true;
    }
    bool SetArray(const unsigned int* v, unsigned int p, unsigned int n)
    {
        for (unsigned int i = 0; i < n; ++i) {
            array[p + i] = v[i];
        }
        return true;
    }
    unsigned int GetArray(unsigned int* v, unsigned int p, unsigned int n) const
    {
        for (unsigned int i = 0; i < n; ++i) {
            v[i] = array[p + i];
        }
        return n;
    }
    bool SetMode(const Mode_e& m)
    {
        mode = m;
        return true;
    }
    bool GetMode(Mode_e& m) const
    {
        m = mode;
        return true;
    }
    bool Run()
    {
        ++runs;
        return true;
    }
};

unsigned long long Flags(const TreeNodePtr& node)
{
    return node->OnGetFlags(c_noRelPath);
}

size_t Size(const TreeNodePtr& node)
{
    return dynamic_cast<qreg::RegNode&>(*node).OnGetSize(c_noRelPath);
}

using UFnc = qreg::RegFncNode<unsigned int>;

TEST(FunctionNodeFactory, FlagsFollowTheForm)
{
    Owner o;
    // Scalar with setter: the given flags exactly, 6 without.
    EXPECT_EQ(6u, Flags(Create<UFnc>("a", &o, &Owner::Set, &Owner::Get)));
    EXPECT_EQ(2u, Flags(Create<UFnc>("a", &o, &Owner::Set, &Owner::Get, 2)));
    EXPECT_EQ(0x4Eu, Flags(Create<UFnc>("a", &o, &Owner::Set, &Owner::Get, 0x4E)));
    // Getter only: loses 0x4, 2 without flags; const or not.
    EXPECT_EQ(2u, Flags(Create<UFnc>("a", &o, 0, &Owner::Get)));
    EXPECT_EQ(0xAu, Flags(Create<UFnc>("a", &o, 0, &Owner::Get, 14)));
    EXPECT_EQ(2u, Flags(Create<UFnc>("a", &o, 0, &Owner::GetMutable, 6)));
    // Array forms gain 0x200; array getter-only also loses 0x4.
    EXPECT_EQ(0x20Eu, Flags(Create<UFnc>("a", 4, &o, &Owner::SetArray, &Owner::GetArray, 14)));
    EXPECT_EQ(0x242u, Flags(Create<UFnc>("a", 4u, &o, &Owner::SetArray, &Owner::GetArray, 0x42)));
    EXPECT_EQ(0x202u, Flags(Create<UFnc>("a", 4, &o, 0, &Owner::GetArray)));
    EXPECT_EQ(0x20Au, Flags(Create<UFnc>("a", 4, &o, 0, &Owner::GetArray, 10)));
    // Enum function nodes follow the same rules.
    EXPECT_EQ(6u, Flags(Create<qreg::RegFncEnumNode<Mode_e>>("m", &o, &Owner::SetMode, &Owner::GetMode)));
    EXPECT_EQ(2u, Flags(Create<qreg::RegFncEnumNode<Mode_e>>("m", &o, 0, &Owner::GetMode)));
}

TEST(FunctionNodeFactory, SizesAndBindings)
{
    Owner o;
    unsigned int count = 4;
    auto array = Create<UFnc>("arr", count, &o, &Owner::SetArray, &Owner::GetArray, 6);
    EXPECT_EQ(4u, Size(array));
    auto& reg = dynamic_cast<qreg::RegNode&>(*array);
    reg.Set(std::vector<unsigned int>{9, 8}, 2, c_noRelPath);
    EXPECT_EQ(9u, o.array[2]);
    EXPECT_EQ(8u, o.array[3]);
    EXPECT_EQ(0u, Size(Create<UFnc>("empty", 0, &o, 0, &Owner::GetArray)));

    auto scalar = Create<UFnc>("s", &o, &Owner::Set, &Owner::Get);
    EXPECT_EQ(1u, Size(scalar));
    dynamic_cast<qreg::RegNode&>(*scalar).Set(11u, 0, c_noRelPath);
    EXPECT_EQ(11u, o.value);
    auto getterOnly = Create<UFnc>("g", &o, 0, &Owner::GetMutable);
    unsigned int v = 0;
    dynamic_cast<qreg::RegNode&>(*getterOnly).Get(v, 0, c_noRelPath);
    EXPECT_EQ(12u, v);
    EXPECT_EQ(1u, Size(Create<qreg::RegFncEnumNode<Mode_e>>("m", &o, &Owner::SetMode, &Owner::GetMode)));
}

TEST(CommandNodeFactory, OrsItsExecFlagsAndHoldsOneCommandValue)
{
    Owner o;
    auto cmd = Create<qreg::RegExecNode>("go", &o, &Owner::Run);
    EXPECT_EQ(qreg::RegExecNode::execFlags_c, Flags(cmd));
    EXPECT_EQ(64u | qreg::RegExecNode::execFlags_c, Flags(Create<qreg::RegExecNode>("go", &o, &Owner::Run, 64)));
    EXPECT_EQ(1u, Size(cmd));
    mci::enums::NodeCommand_e value{};
    dynamic_cast<qreg::RegValueNode<mci::enums::NodeCommand_e>&>(*cmd).OnGet(&value, 0, 1);
    EXPECT_EQ(238, static_cast<int>(value));
    EXPECT_TRUE(dynamic_cast<qreg::RegNode&>(*cmd).Execute());
    EXPECT_EQ(1, o.runs);
}

TEST(StorageNodeFactory, FlagsComeFromTheCreatorWithIntSignExtended)
{
    EXPECT_EQ(0u, Flags(Create<qreg::RegNode>("branch")));
    EXPECT_EQ(64u, Flags(Create<qreg::RegNode>("branch", static_cast<Flags_e>(64))));
    EXPECT_EQ(70u, Flags(Create<qreg::RegNode>("branch", 70)));
    EXPECT_EQ(~0ull, Flags(Create<qreg::RegNode>("branch", -1)));
    // A Flags_e argument is zero-extended: nothing above bit 31.
    EXPECT_EQ(0x80000000ull, Flags(Create<qreg::RegNode>("branch", static_cast<Flags_e>(0x80000000u))));

    unsigned int variable = 0;
    volatile unsigned int word = 0;
    Mode_e mode = eSlow;
    int f = 0x4E;
    EXPECT_EQ(0x4Eu, Flags(Create<qreg::RegReferenceNode<unsigned int, unsigned int>>("r", variable, f)));
    EXPECT_EQ(2u, (Flags(Create<qreg::RegReferenceNode<unsigned int, unsigned int>>("r", variable,
                                                                                    static_cast<Flags_e>(2)))));
    EXPECT_EQ(2u, (Flags(Create<qreg::RegReferenceBitNode<bool, volatile unsigned int>>("b", word, 0, 1, 2))));
    EXPECT_EQ(0x10000000006ull, (Flags(Create<qreg::RegReferenceEnumBitNode<Mode_e, volatile unsigned int>>(
                                    "e", word, 4, 1, 0x10000000006ull))));
    EXPECT_EQ(6u, Flags(Create<qreg::RegReferenceEnumNode<Mode_e>>("q", mode, 6)));
    EXPECT_EQ(0xCu, Flags(Create<qreg::RegValueNode<int>>("v", 5, static_cast<Flags_e>(0xC))));
}

TEST(StorageNodeFactory, ReferenceFollowsTheVariableValueNodeCopiesIt)
{
    unsigned int variable = 1;
    auto ref = Create<qreg::RegReferenceNode<unsigned int, unsigned int>>("r", variable, 6);
    bool flag = true;
    auto value = Create<qreg::RegValueNode<bool>>("v", flag, 6);
    variable = 5;
    flag = false;
    unsigned int u = 0;
    dynamic_cast<qreg::RegNode&>(*ref).Get(u, 0, c_noRelPath);
    EXPECT_EQ(5u, u);
    bool b = false;
    dynamic_cast<qreg::RegNode&>(*value).Get(b, 0, c_noRelPath);
    EXPECT_TRUE(b);

    auto text = Create<qreg::RegValueNode<std::string>>("s", "", static_cast<Flags_e>(2));
    std::string s = "x";
    dynamic_cast<qreg::RegNode&>(*text).Get(s, 0, c_noRelPath);
    EXPECT_EQ("", s);
    auto zero = Create<qreg::RegValueNode<unsigned int>>("z", 0, static_cast<Flags_e>(2));
    EXPECT_EQ(3, dynamic_cast<qreg::RegNode&>(*zero).OnGetValueType(c_noRelPath));
    EXPECT_EQ(1u, Size(zero));
}

TEST(StorageNodeFactory, BitFieldOffsetByReferenceAndRefusedFields)
{
    volatile unsigned int word = 0;
    unsigned int offset = 4;
    const unsigned int size = 2;
    auto node = Create<qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>>("f", word, offset, size, 6ull);
    dynamic_cast<qreg::RegNode&>(*node).Set(3u, 0, c_noRelPath);
    EXPECT_EQ(0x30u, word);
    offset = 8; // taken once, at creation
    dynamic_cast<qreg::RegNode&>(*node).Set(1u, 0, c_noRelPath);
    EXPECT_EQ(0x10u, word);

    // A constructor that raises leaves no handle; the caller sees its message.
    TreeNodePtr bad;
    try {
        bad = Create<qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>>("bad", word, 29, 4, 6);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("size and offset are out of range", e.what());
    }
    EXPECT_FALSE(bad);
    unsigned int far = 260;
    EXPECT_THROW((Create<qreg::RegReferenceEnumBitNode<Mode_e, volatile unsigned int>>("bad", word, far, 1, 6)),
                 qstd::Exception);
}

// A kind whose Init fails, and one that looks at its own shared handle.
struct FailingNode : qreg::RegNode {
    explicit FailingNode(const std::string& name) : RegNode(name, 6) {}
    bool Init() override { return false; }
};

struct SelfAwareNode : qreg::RegNode {
    explicit SelfAwareNode(const std::string& name) : RegNode(name, 6) {}
    bool Init() override
    {
        selfInInit = shared_from_this();
        return RegNode::Init();
    }
    std::weak_ptr<mci::TreeNode> selfInInit;
};

TEST(FactoryLayers, FailedInitGivesTheEmptyHandleAndNoValidator)
{
    EXPECT_FALSE(Create<FailingNode>("x"));
    auto validator = qreg::Expr<qreg::expr::Range<int, int>>(0, 1);
    EXPECT_FALSE(Create<FailingNode>(validator, "x"));
    EXPECT_EQ(1, validator.use_count()); // not kept by anything
    // A name that cannot be a path component fails Init as well.
    Owner o;
    EXPECT_FALSE(Create<UFnc>("a/b", &o, &Owner::Set, &Owner::Get));
}

TEST(FactoryLayers, NodeHandsOutItsOwnHandleFromInitOn)
{
    auto node = Create<SelfAwareNode>("n");
    ASSERT_TRUE(node);
    EXPECT_EQ(node, dynamic_cast<SelfAwareNode&>(*node).selfInInit.lock());
    EXPECT_EQ(node, node->shared_from_this());
    EXPECT_EQ(node.get(), node->GetNodeStructure()->GetNode());
}

TEST(FactoryLayers, ValidatorOutlivesTheCallersHandle)
{
    Owner o;
    std::weak_ptr<qreg::Expression> watch;
    TreeNodePtr node;
    {
        auto validator = qreg::Expr<qreg::expr::Range<unsigned int, unsigned int>>(1, 10);
        watch = validator;
        node = Create<UFnc>(validator, "gain", &o, &Owner::Set, &Owner::Get);
    }
    ASSERT_FALSE(watch.expired());
    auto& reg = dynamic_cast<qreg::RegNode&>(*node);
    EXPECT_EQ("[1, 10]", reg.OnGetValidatorExpression(c_noRelPath));
    EXPECT_THROW(reg.Set(11u, 0, c_noRelPath), qreg::ValidationError);
    EXPECT_EQ(3u, o.value);
    node.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(FactoryLayers, AllLayersMakeTheSameNode)
{
    Owner o;
    const std::string name = "gain";
    auto named = Create<LocalNodeStructure, UFnc>(name, &o, 0, &Owner::Get, 14);
    auto literal = Create<UFnc>("gain", &o, 0, &Owner::Get, 14);
    auto validated =
        Create<UFnc>(qreg::Expr<qreg::expr::Lt<unsigned int, unsigned int>>(8), "gain", &o, 0, &Owner::Get, 14);
    for (const auto& node : {named, literal, validated}) {
        EXPECT_EQ("gain", node->GetName());
        EXPECT_EQ(10u, Flags(node));
        unsigned int v = 0;
        dynamic_cast<qreg::RegNode&>(*node).Get(v, 0, c_noRelPath);
        EXPECT_EQ(3u, v);
    }
    EXPECT_TRUE(*named == *literal);
}

class Source : public qsig::SignalSource {
public:
    explicit Source(const std::string& name) : SignalSource(name, "board") {}
    size_t AtomSize() const override { return 4; }
    size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(int); }
    const std::type_info& BaseType() const override { return typeid(int); }
    size_t Length() const override { return 1; }
    std::vector<std::string> GetComponentNames() const override { return {"v"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessDataOnDemand; }
};

TEST(SignalNodeFactory, FlagsAndTheSourceTakenAtCreation)
{
    Source first("first"), second("second");
    Source* member = &first;
    auto node = Create<qreg::SignalNode>("sa", member);
    EXPECT_EQ(2u, Flags(node));
    EXPECT_EQ(0x42u, Flags(Create<LocalNodeStructure, qreg::SignalNode>(std::string("stream"), member, 66)));
    member = &second;
    auto root = Create<qreg::RegNode>("root");
    root->Add(node);
    mci::ClientAccess client(root);
    EXPECT_EQ("first", client.GetSignal("sa").name);
    member = nullptr;
    EXPECT_EQ("first", client.GetSignal("sa").name);
    root.reset();
    node.reset();
    EXPECT_EQ("first", first.GetName()); // the source is left alone
}

} // namespace
