#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_node.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/reg_reference_enum_node.h"
#include "test_enums.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mci::c_noRelPath;
using regtest::Sparse_e;
using regtest::Switch_e;
using SparseBits = qreg::RegReferenceEnumBitNode<Sparse_e, volatile unsigned int>;

template <typename F> std::string Error(F f)
{
    try {
        f();
    } catch (const qstd::Exception& e) {
        return e.what();
    }
    return "";
}

struct SwitchOwner {
    Switch_e value = regtest::eOff;
    bool getterOk = true;
    int setterCalls = 0;
    bool Set(const Switch_e& v)
    {
        ++setterCalls;
        value = v;
        return true;
    }
    bool Get(Switch_e& v) const
    {
        v = value;
        return getterOk;
    }
};

TEST(EnumNode, DomainIsInValueOrderAndAppends)
{
    Switch_e v = regtest::eOff;
    qreg::RegReferenceEnumNode<Switch_e> node("sw", v, 6);
    std::vector<std::string> names{"kept"};
    EXPECT_TRUE(node.OnGetDomainValues(names, c_noRelPath));
    EXPECT_EQ((std::vector<std::string>{"kept", "off", "on", "hw"}), names);
}

TEST(EnumNode, WritesByNameIntegerAndIntegerText)
{
    Sparse_e v = regtest::eOne;
    qreg::RegReferenceEnumNode<Sparse_e> node("e", v, 6);
    node.Set(std::string("four"), 0, c_noRelPath);
    EXPECT_EQ(regtest::eFour, v);
    node.Set(2, 0, c_noRelPath);
    EXPECT_EQ(regtest::eTwo, v);
    node.Set(1LL, 0, c_noRelPath);
    EXPECT_EQ(regtest::eOne, v);
    for (const char* text : {"4", "+4", "04"}) {
        v = regtest::eOne;
        node.Set(std::string(text), 0, c_noRelPath);
        EXPECT_EQ(regtest::eFour, v) << text;
    }
    node.Set(regtest::eTwo, 0, c_noRelPath);
    EXPECT_EQ(regtest::eTwo, v);
}

TEST(EnumNode, RefusedTextsAndIntegers)
{
    Sparse_e v = regtest::eOne;
    qreg::RegReferenceEnumNode<Sparse_e> node("e", v, 6);
    auto text = [&](const std::string& t) { return Error([&] { node.Set(t, 0, c_noRelPath); }); };
    EXPECT_EQ("Invalid enum value", text("3"));
    EXPECT_EQ("Invalid enum value", text("-1"));
    for (const char* bad : {" 1", "1 ", "0x1", "1.0", "", "One", "99999999999999999999"}) {
        EXPECT_EQ("Invalid integer value", text(bad)) << bad;
    }
    EXPECT_EQ("invalid value", Error([&] { node.Set(3, 0, c_noRelPath); }));
    EXPECT_EQ("invalid value", Error([&] { node.Set(3LL, 0, c_noRelPath); }));
    // Integers beyond 32 bits are refused, not cut to their low bits (which
    // would write 1 here).
    EXPECT_EQ("invalid value", Error([&] { node.Set(4294967297LL, 0, c_noRelPath); }));
    EXPECT_EQ("Invalid enum value", text("4294967297"));
    EXPECT_EQ("invalid value", Error([&] { node.Set(-4294967295LL, 0, c_noRelPath); }));
    EXPECT_EQ(regtest::eOne, v);
}

TEST(EnumNode, NamesMatchExactly)
{
    regtest::Source_e v = regtest::eExternal;
    qreg::RegReferenceEnumNode<regtest::Source_e> node("src", v, 6);
    EXPECT_EQ("Invalid integer value", Error([&] { node.Set(std::string("internal"), 0, c_noRelPath); }));
    node.Set(std::string("Internal"), 0, c_noRelPath);
    EXPECT_EQ(regtest::eInternal, v);
}

TEST(EnumNode, BitFieldWithoutEntryReadsAsInvalid)
{
    volatile unsigned int word = 3u << 4;
    SparseBits node("bits", word, 4, 3, 6);
    int i = 0;
    long long ll = 0;
    std::string s;
    EXPECT_EQ("invalid value", Error([&] { node.OnGet(&i, 0, 1); }));
    EXPECT_EQ("invalid value", Error([&] { node.OnGet(&ll, 0, 1); }));
    EXPECT_EQ("invalid value", Error([&] { node.OnGet(&s, 0, 1); }));
    word = (4u << 4) | 0x80000001u;
    EXPECT_EQ(1u, node.OnGet(&s, 0, 1));
    EXPECT_EQ("four", s);
    EXPECT_EQ(1u, node.OnGet(&ll, 0, 1));
    EXPECT_EQ(4, ll);
}

TEST(EnumNode, RunWithOneInvalidValueStoresNone)
{
    volatile unsigned int words[3] = {0x10, 0x10, 0x10};
    SparseBits node("bits", words[0], 4, 3, 6);
    node.OnResize(3, c_noRelPath);
    EXPECT_EQ("Invalid enum value", Error([&] {
                  node.Set(std::vector<std::string>{"two", "3", "four"}, 0, c_noRelPath);
              }));
    EXPECT_EQ(0x10u, words[1]);
    node.Set(std::vector<std::string>{"two", "4", "one"}, 0, c_noRelPath);
    EXPECT_EQ(0x20u, words[0]);
    EXPECT_EQ(0x40u, words[1]);
    EXPECT_EQ(0x10u, words[2]);
    // An empty run stores nothing and is not an error.
    EXPECT_NO_THROW(node.Set(std::vector<std::string>{}, 0, c_noRelPath));
}

TEST(EnumNode, SixtyFourBitWordFieldConvertsLikeA32BitOne)
{
    volatile unsigned long long word = 0xFFFFFFFFFFFFFFFFull;
    qreg::RegReferenceEnumBitNode<Switch_e, volatile unsigned long long> node("src", word, 40, 2, 6);
    node.Set(std::string("hw"), 0, c_noRelPath);
    EXPECT_EQ(0xFFFFFEFFFFFFFFFFull, word);
    std::string s;
    node.OnGet(&s, 0, 1);
    EXPECT_EQ("hw", s);
}

TEST(EnumNode, FunctionNodeReadsAndConvertsBeforeItsSetterFails)
{
    SwitchOwner o;
    qreg::RegFncEnumNode<Switch_e> rw("custom", &o, &SwitchOwner::Set, &SwitchOwner::Get);
    rw.Set(std::string("on"), 0, c_noRelPath);
    EXPECT_EQ(regtest::eOn, o.value);
    std::string name = "unchanged";
    o.getterOk = false;
    EXPECT_EQ(0u, rw.OnGet(&name, 0, 1));
    EXPECT_EQ("unchanged", name);

    qreg::RegFncEnumNode<Switch_e> ro("mode", &o, 0, &SwitchOwner::Get);
    EXPECT_EQ(2u, ro.GetFlags());
    EXPECT_EQ("Invalid integer value", Error([&] { ro.Set(std::string("bogus"), 0, c_noRelPath); }));
    EXPECT_EQ("qreg: Can't set value: setter function failed: mode",
              Error([&] { ro.Set(std::string("hw"), 0, c_noRelPath); }));
    EXPECT_EQ(1, o.setterCalls);
}

// A storage kind that reports a refused write by returning false.
class RefusingStore : public qreg::RegTypeNode<Switch_e> {
public:
    RefusingStore(const std::string& name, unsigned long long flags) : qreg::RegTypeNode<Switch_e>(name, flags) {}
    size_t OnGetSize(const mci::Path&) const override { return 1; }
    size_t OnGet(Switch_e* buffer, size_t, size_t count) const override
    {
        buffer[0] = stored;
        return count;
    }
    bool OnSet(const Switch_e*, size_t, size_t) override { return false; }
    using qreg::RegNode::OnGet;
    using qreg::RegNode::OnSet;
    Switch_e stored = regtest::eOff;
};

class RefusingEnum : public virtual RefusingStore, public qreg::RegEnumMixin<Switch_e, RefusingStore> {
public:
    explicit RefusingEnum(const std::string& name)
        : RefusingStore(name, 6), qreg::RegEnumMixin<Switch_e, RefusingStore>(name, 6ull)
    {
    }
    using qreg::RegEnumMixin<Switch_e, RefusingStore>::OnGet;
    using qreg::RegEnumMixin<Switch_e, RefusingStore>::OnSet;
    using qreg::RegEnumMixin<Switch_e, RefusingStore>::Set;
};

TEST(EnumNode, StoreThatRefusesIsAFailureNotASuccess)
{
    RefusingEnum node("refusing");
    mci::NotificationClient client;
    int emitted = 0;
    auto handle = std::shared_ptr<RefusingEnum>(&node, [](RefusingEnum*) {});
    client.Register(mci::TreeNodePtr(handle), mci::Callback([&](const mci::NotificationData&) { ++emitted; }));
    EXPECT_EQ("qreg: Can't set value: setter function failed: refusing",
              Error([&] { node.Set(std::string("on"), 0, c_noRelPath); }));
    EXPECT_EQ("qreg: Can't set value: setter function failed: refusing", Error([&] { node.Set(1LL, 0, c_noRelPath); }));
    EXPECT_FALSE(node.SetValue(1LL, 0));
    EXPECT_EQ(0, emitted);
}

TEST(EnumNode, ReadsOtherNumericTypesThroughItsInteger)
{
    Switch_e v = regtest::eHw;
    qreg::RegReferenceEnumNode<Switch_e> node("sw", v, 6);
    unsigned int u = 0;
    node.Get(u, 0, c_noRelPath);
    EXPECT_EQ(2u, u);
    node.Set(1.0, 0, c_noRelPath);
    EXPECT_EQ(regtest::eOn, v);
}

} // namespace
