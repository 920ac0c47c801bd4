#include "platform/fpga/fpga_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_value_node.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/reg_reference_enum_node.h"
#include "qreg/reg_reference_node.h"
#include "test_enums.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using mci::c_noRelPath;
using qreg::RegReferenceNode;
using qreg::RegValueNode;

struct EnumOwner {
    regtest::Switch_e value = regtest::eOff;
    bool Set(const regtest::Switch_e& v)
    {
        value = v;
        return true;
    }
    bool Get(regtest::Switch_e& v) const
    {
        v = value;
        return true;
    }
    bool Run() { return true; }
};

TEST(NodeValueType, EveryKindReportsItsCode)
{
    bool b = false;
    unsigned long long ull = 0;
    volatile unsigned int word = 0;
    regtest::Switch_e sw = regtest::eOff;
    EnumOwner owner;

    EXPECT_EQ(1, RegValueNode<bool>("b", false, 6).OnGetValueType(c_noRelPath));
    EXPECT_EQ(2, RegValueNode<int>("i", 0, 6).OnGetValueType(c_noRelPath));
    EXPECT_EQ(3, RegValueNode<unsigned int>("u", 0, 6).OnGetValueType(c_noRelPath));
    EXPECT_EQ(5, (RegReferenceNode<unsigned long long, unsigned long long>("ull", ull, 6).OnGetValueType(c_noRelPath)));
    EXPECT_EQ(6, RegValueNode<double>("d", 0, 6).OnGetValueType(c_noRelPath));
    EXPECT_EQ(8, RegValueNode<std::string>("s", "", 6).OnGetValueType(c_noRelPath));
    EXPECT_EQ(1, (RegReferenceNode<bool, bool>("rb", b, 6).OnGetValueType(c_noRelPath)));
    EXPECT_EQ(
        1, (qreg::RegReferenceBitNode<bool, volatile unsigned int>("bb", word, 0, 1, 6).OnGetValueType(c_noRelPath)));
    // Enum nodes report 9 whatever their base kind; the command node 0.
    EXPECT_EQ(9, (qreg::RegReferenceEnumNode<regtest::Switch_e>("e", sw, 6).OnGetValueType(c_noRelPath)));
    EXPECT_EQ(9, (qreg::RegReferenceEnumBitNode<regtest::Switch_e, volatile unsigned int>("eb", word, 0, 2, 6)
                      .OnGetValueType(c_noRelPath)));
    EXPECT_EQ(9, (qreg::RegFncEnumNode<regtest::Switch_e>("ef", &owner, &EnumOwner::Set, &EnumOwner::Get)
                      .OnGetValueType(c_noRelPath)));
    EXPECT_EQ(0, qreg::RegExecNode("x", &owner, &EnumOwner::Run).OnGetValueType(c_noRelPath));
}

TEST(ValueNode, StartsWithItsInitialValueAndResizes)
{
    RegValueNode<int> node("v", 42, 6);
    EXPECT_EQ(1u, node.OnGetSize(c_noRelPath));
    int out[3] = {0, 0, 0};
    EXPECT_EQ(1u, node.OnGet(out, 0, 1));
    EXPECT_EQ(42, out[0]);

    EXPECT_TRUE(node.OnResize(3, c_noRelPath));
    EXPECT_EQ(3u, node.OnGetSize(c_noRelPath));
    EXPECT_EQ(3u, node.OnGet(out, 0, 3));
    EXPECT_EQ(42, out[0]);
    EXPECT_EQ(0, out[1]);
    EXPECT_EQ(0, out[2]);

    EXPECT_TRUE(node.OnResize(0, c_noRelPath));
    EXPECT_EQ(0u, node.OnGetSize(c_noRelPath));

    RegValueNode<std::string> text("s", "", 6);
    std::string s = "x";
    EXPECT_EQ(1u, text.OnGet(&s, 0, 1));
    EXPECT_EQ("", s);
}

TEST(ValueNode, CountZeroTouchesNothing)
{
    RegValueNode<int> node("v", 5, 6);
    int v = 9;
    EXPECT_TRUE(node.OnSet(&v, 0, 0));
    EXPECT_EQ(0u, node.OnGet(&v, 0, 0));
    EXPECT_EQ(9, v);
    EXPECT_EQ(1u, node.OnGet(&v, 0, 1));
    EXPECT_EQ(5, v);
}

TEST(ValueNode, BoolNodeOfFortyKeepsEveryValue)
{
    RegValueNode<bool> node("b", false, 6);
    ASSERT_TRUE(node.OnResize(40, c_noRelPath));
    bool in[40];
    for (int i = 0; i < 40; ++i) {
        in[i] = (i % 3) == 0;
    }
    ASSERT_TRUE(node.OnSet(in, 0, 40));
    bool flip = false;
    ASSERT_TRUE(node.OnSet(&flip, 39, 1));
    bool out[40];
    ASSERT_EQ(40u, node.OnGet(out, 0, 40));
    for (int i = 0; i < 39; ++i) {
        EXPECT_EQ(in[i], out[i]) << i;
    }
    EXPECT_FALSE(out[39]);
}

TEST(ReferenceNode, FollowsTheOwnersVariable)
{
    double variable = 1.5;
    RegReferenceNode<double, double> node("r", variable, 6);
    variable = 2.5;
    double out = 0;
    ASSERT_EQ(1u, node.OnGet(&out, 0, 1));
    EXPECT_EQ(2.5, out);
    const double in = -7.25;
    ASSERT_TRUE(node.OnSet(&in, 0, 1));
    EXPECT_EQ(-7.25, variable);
}

TEST(ReferenceNode, EqualityIsByAddressNotCount)
{
    unsigned int a = 0, b = 0;
    RegReferenceNode<unsigned int, unsigned int> n1("n", a, 6);
    RegReferenceNode<unsigned int, unsigned int> n2("n", a, 6);
    RegReferenceNode<unsigned int, unsigned int> n3("n", b, 6);
    RegReferenceNode<unsigned int, unsigned int> other("m", a, 6);
    RegValueNode<unsigned int> value("n", 0, 6);
    n2.OnResize(4, c_noRelPath);
    EXPECT_TRUE(n1 == n2);
    EXPECT_FALSE(n1 == n3);
    EXPECT_FALSE(n1 == other); // base comparison differs
    EXPECT_FALSE(n1 == value); // another kind
}

// Records the order of register reads and writes that reach the model.
class RecordingModel : public fpga::RegisterModel {
public:
    bool Read32(size_t offset, uint32_t&) override
    {
        reads.push_back(offset);
        return false;
    }
    bool Write32(size_t offset, uint32_t) override
    {
        writes.push_back(offset);
        return false;
    }
    std::vector<size_t> reads;
    std::vector<size_t> writes;
};

TEST(ReferenceNode, RegisterWordsAreAccessedOnceEachInAddressOrder)
{
    volatile unsigned int block[6] = {10, 11, 12, 13, 14, 15};
    RecordingModel model;
    fpga::RegisterRegion(block, sizeof(block), &model);
    RegReferenceNode<unsigned int, volatile unsigned int> node("r", block[1], 6);
    node.OnResize(4, c_noRelPath);
    unsigned int out[4] = {};
    EXPECT_EQ(4u, node.OnGet(out, 0, 4));
    EXPECT_EQ((std::vector<size_t>{4, 8, 12, 16}), model.reads);
    EXPECT_EQ(11u, out[0]);
    EXPECT_EQ(14u, out[3]);

    const unsigned int in[2] = {100, 200};
    EXPECT_TRUE(node.OnSet(in, 2, 2));
    EXPECT_EQ((std::vector<size_t>{12, 16}), model.writes);
    EXPECT_EQ(4u, model.reads.size()); // never read back after a write
    fpga::UnregisterRegion(block);
    EXPECT_EQ(100u, block[3]);
    EXPECT_EQ(200u, block[4]);
    EXPECT_EQ(15u, block[5]);
}

TEST(ReferenceNode, SignedRegisterKeepsItsSign)
{
    volatile int reg = -5;
    RegReferenceNode<int, volatile int> node("r", reg, 6);
    int out = 0;
    node.OnGet(&out, 0, 1);
    EXPECT_EQ(-5, out);
    const int in = -123456;
    node.OnSet(&in, 0, 1);
    EXPECT_EQ(-123456, reg);
}

TEST(ReferenceNode, StorageKindsAreNotClientResizable)
{
    unsigned int v = 0;
    RegReferenceNode<unsigned int, unsigned int> node("r", v, 6);
    EXPECT_FALSE(node.IsClientResizable());
    EXPECT_THROW(node.Resize(2, c_noRelPath), qstd::Exception);
    EXPECT_EQ(1u, node.OnGetSize(c_noRelPath));
    RegValueNode<int> value("v", 0, 6);
    value.Resize(3, c_noRelPath);
    EXPECT_EQ(3u, value.OnGetSize(c_noRelPath));
}

// The owner changes its string under the node's lock while a client reads
// and writes it through the node.
TEST(StringReferenceConcurrency, OwnerAndClientShareTheStringUnderTheNodeLock)
{
    std::string label = "start";
    RegReferenceNode<std::string, std::string> node("label", label, 6);
    std::thread client([&] {
        for (int i = 0; i < 2000; ++i) {
            std::string v;
            node.Get(v, 0, c_noRelPath);
            EXPECT_TRUE(v.size() >= 5) << v;
            node.Set(std::string("client-value"), 0, c_noRelPath);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto lock = node.Lock();
        label = (i % 2) ? "owner-odd-value" : "owner-even";
    }
    client.join();
    auto lock = node.Lock();
    EXPECT_FALSE(label.empty());
}

// A client writes a 64-bit register word whole, reading each value back,
// while another sets a bit of the same word through a bit-field node: the
// bit node's read-modify-write never brings back a word the first client
// replaced, and no read sees half of one value and half of another.
TEST(ReferenceNodeConcurrency, WholeWordWritesAndBitFieldWritesOfOneWordKeepEachOther)
{
    volatile uint64_t word = 0;
    RegReferenceNode<unsigned long long, volatile uint64_t> whole("word", word, 6);
    qreg::RegReferenceBitNode<bool, volatile uint64_t> bit("bit", word, 0, 1, 6);
    constexpr unsigned long long c_rounds = 20000;
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        for (unsigned long long i = 0; !done.load(); ++i) {
            bit.Set(i % 2 == 0, 0, c_noRelPath);
        }
    });
    unsigned long long wrong = 0;
    for (unsigned long long k = 1; k <= c_rounds; ++k) {
        whole.Set(k << 32 | k << 1, 0, c_noRelPath);
        unsigned long long v = 0;
        whole.Get(v, 0, c_noRelPath);
        wrong += (v >> 32 == k && (v & 0xFFFFFFFFull) >> 1 == k) ? 0 : 1;
    }
    done.store(true);
    flipper.join();
    EXPECT_EQ(0u, wrong);
}

TEST(BitFieldOnVariable, PlainSixtyFourBitVariableActsAsAWord)
{
    unsigned long long variable = 0xF0ull;
    qreg::RegReferenceBitNode<bool, unsigned long long> node("bit", variable, 63, 1, 6);
    node.Set(true, 0, c_noRelPath);
    EXPECT_EQ(0x80000000000000F0ull, variable);
    bool out = false;
    node.Get(out, 0, c_noRelPath);
    EXPECT_TRUE(out);
}

TEST(CommandNode, HoldsTheCommandValueAndRunsItsCommand)
{
    int runs = 0;
    qreg::RegExecNode node("go", [&runs] { return ++runs < 2; });
    EXPECT_EQ(qreg::RegExecNode::execFlags_c, node.GetFlags());
    EXPECT_EQ(1u, node.OnGetSize(c_noRelPath));
    mci::enums::NodeCommand_e value{};
    ASSERT_EQ(1u, node.OnGet(&value, 0, 1));
    EXPECT_EQ(238, static_cast<int>(value));
    EXPECT_TRUE(node.Execute());
    EXPECT_FALSE(node.Execute());
    EXPECT_EQ(2, runs);
    EXPECT_FALSE(node.IsClientResizable());
}

} // namespace
