#include "qreg/reg_node.h"
#include "qreg/reg_reference_bit_node.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using mci::c_noRelPath;
using Bit32U = qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>;
using Bit64U = qreg::RegReferenceBitNode<unsigned int, volatile unsigned long long>;
using Bit64I = qreg::RegReferenceBitNode<int, volatile unsigned long long>;
using Bit32B = qreg::RegReferenceBitNode<bool, volatile unsigned int>;

std::string ConstructionError(long long offset, long long size, bool boolField = false)
{
    volatile unsigned int word = 0;
    try {
        if (boolField) {
            Bit32B("f", word, offset, size, 6);
        } else {
            Bit32U("f", word, offset, size, 6);
        }
    } catch (const qstd::Exception& e) {
        return e.what();
    }
    return "";
}

TEST(BitFieldNode, ConstructionChecksOffsetAndSize)
{
    EXPECT_EQ("", ConstructionError(28, 4));
    EXPECT_EQ("", ConstructionError(0, 32));
    EXPECT_EQ("size and offset are out of range", ConstructionError(29, 4));
    EXPECT_EQ("size could not be zero", ConstructionError(3, 0));
    EXPECT_EQ("size is of range", ConstructionError(0, 9, true));
    EXPECT_EQ("", ConstructionError(0, 8, true));
    // Checked before narrowing to 8 bits: 260 must not act as offset 4.
    EXPECT_EQ("size and offset are out of range", ConstructionError(260, 4));
    EXPECT_EQ("size and offset are out of range", ConstructionError(4, 257));
    EXPECT_EQ("size and offset are out of range", ConstructionError(-1, 4));

    volatile unsigned long long word64 = 0;
    EXPECT_NO_THROW(Bit64U("f", word64, 60, 4, 6));
    EXPECT_THROW(Bit64U("f", word64, 61, 4, 6), qstd::Exception);
    // Wider than an unsigned int field, though it fits the 64-bit word.
    try {
        Bit64U("f", word64, 0, 33, 6);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("size is of range", e.what());
    }
}

TEST(BitFieldNode, UnsignedFieldRefusesTooLargeAndKeepsNeighbours)
{
    volatile unsigned int word = 0xA5A5A5A5u;
    Bit32U node("mode", word, 8, 4, 6);
    const unsigned int tooLarge = 16;
    try {
        node.OnSet(&tooLarge, 0, 1);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Too large value.16 for node mode", e.what());
    }
    EXPECT_EQ(0xA5A5A5A5u, word);
    const unsigned int v = 15;
    EXPECT_TRUE(node.OnSet(&v, 0, 1));
    EXPECT_EQ(0xA5A5AFA5u, word);
    unsigned int out = 0;
    EXPECT_EQ(1u, node.OnGet(&out, 0, 1));
    EXPECT_EQ(15u, out);
}

TEST(BitFieldNode, SignedFieldRangeAndSignExtension)
{
    volatile unsigned long long word = 0xFFFF0000FFFF0000ull;
    Bit64I node("ofs", word, 36, 4, 6);
    for (int v = -8; v <= 7; ++v) {
        ASSERT_TRUE(node.OnSet(&v, 0, 1)) << v;
        int out = 99;
        node.OnGet(&out, 0, 1);
        EXPECT_EQ(v, out);
    }
    const int eight = 8;
    try {
        node.OnSet(&eight, 0, 1);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Value 8 is out of range for node ofs", e.what());
    }
    const int nine = -9;
    EXPECT_THROW(node.OnSet(&nine, 0, 1), qstd::Exception);
    const int minusOne = -1;
    node.OnSet(&minusOne, 0, 1);
    EXPECT_EQ(0xFFFF00F0FFFF0000ull, word); // bits 1111 at 36..39, rest kept
    int out = 0;
    node.OnGet(&out, 0, 1);
    EXPECT_EQ(-1, out);
    const int seven = 7;
    node.OnSet(&seven, 0, 1);
    EXPECT_EQ(0xFFFF0070FFFF0000ull, word);
}

TEST(BitFieldNode, FullWidthSignedFieldTakesEveryValue)
{
    volatile unsigned long long word = 0;
    Bit64I node("full", word, 32, 32, 6);
    const int values[2] = {INT32_MIN, INT32_MAX};
    for (int v : values) {
        ASSERT_TRUE(node.OnSet(&v, 0, 1));
        int out = 0;
        node.OnGet(&out, 0, 1);
        EXPECT_EQ(v, out);
    }
    EXPECT_EQ(0x7FFFFFFF00000000ull, word);
}

TEST(BitFieldNode, RunWithOneBadValueWritesNothing)
{
    volatile unsigned int words[3] = {0, 0, 0};
    Bit32U node("f", words[0], 4, 2, 6);
    node.OnResize(3, c_noRelPath);
    const unsigned int values[3] = {1, 4, 2};
    EXPECT_THROW(node.OnSet(values, 0, 3), qstd::Exception);
    EXPECT_EQ(0u, words[0]);
    EXPECT_EQ(0u, words[1]);
    const unsigned int good[3] = {1, 3, 2};
    EXPECT_TRUE(node.OnSet(good, 0, 3));
    EXPECT_EQ(0x10u, words[0]);
    EXPECT_EQ(0x30u, words[1]);
    EXPECT_EQ(0x20u, words[2]);
}

TEST(BitFieldNode, BoolFieldReadsAnyBitAsTrue)
{
    volatile unsigned int word = 0x2u << 5;
    Bit32B node("flag", word, 5, 2, 6);
    bool out = false;
    node.OnGet(&out, 0, 1);
    EXPECT_TRUE(out);
    const bool f = false;
    node.OnSet(&f, 0, 1);
    EXPECT_EQ(0u, word);
    const bool t = true;
    node.OnSet(&t, 0, 1);
    EXPECT_EQ(1u << 5, word);
}

TEST(BitFieldNode, ArrayElementsAreConsecutive64BitWords)
{
    volatile unsigned long long words[2] = {0x1111111111111111ull, 0x2222222222222222ull};
    Bit64U node("f", words[0], 60, 4, 6);
    node.OnResize(2, c_noRelPath);
    unsigned int out[2] = {};
    EXPECT_EQ(2u, node.OnGet(out, 0, 2));
    EXPECT_EQ(1u, out[0]);
    EXPECT_EQ(2u, out[1]);
    const unsigned int v = 0xF;
    node.OnSet(&v, 1, 1);
    EXPECT_EQ(0xF222222222222222ull, words[1]);
    EXPECT_EQ(0x1111111111111111ull, words[0]);
}

TEST(BitFieldNode, SetValueNamesTheNodeInTheFailure)
{
    volatile unsigned int word = 0;
    Bit32U node("field", word, 0, 3, 6);
    try {
        node.Set(9u, 0);
        FAIL();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("qreg: field: Too large value.9 for node field", e.what());
    }
    EXPECT_TRUE(node.SetValue(5u, 0));
    EXPECT_EQ(5u, word);
}

TEST(BitFieldNode, EqualityIsByWordOffsetAndSize)
{
    volatile unsigned int a = 0, b = 0;
    Bit32U n1("f", a, 1, 2, 6), n2("f", a, 1, 2, 6), n3("f", a, 1, 3, 6), n4("f", b, 1, 2, 6);
    n2.OnResize(5, c_noRelPath);
    EXPECT_TRUE(n1 == n2);
    EXPECT_FALSE(n1 == n3);
    EXPECT_FALSE(n1 == n4);
}

// Two fields of one register word counted up at once from two threads. Each
// thread alone writes its field, so a field falls short of the count only
// when the other thread's read-modify-write wrote back stale bits over it.
TEST(BitFieldConcurrency, TwoFieldsOfOneWordLoseNoWrite)
{
    volatile unsigned int word = 0;
    Bit32U low("low", word, 0, 16, 6);
    Bit32U high("high", word, 16, 16, 6);
    constexpr unsigned int c_rounds = 20000;
    auto count = [](Bit32U& node) {
        for (unsigned int i = 0; i < c_rounds; ++i) {
            unsigned int v = 0;
            node.Get(v, 0, c_noRelPath);
            node.Set(v + 1, 0, c_noRelPath);
        }
    };
    std::thread a(count, std::ref(low));
    std::thread b(count, std::ref(high));
    a.join();
    b.join();
    EXPECT_EQ((c_rounds << 16) | c_rounds, word);
}

} // namespace
