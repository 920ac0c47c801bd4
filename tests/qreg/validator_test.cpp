#include "qreg/expr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using qreg::Expr;
using qreg::expr::Lt;
using qreg::expr::Range;
using qreg::expr::Set;

TEST(Validator, RangeIsInclusiveAndReadsItsBounds)
{
    auto r = Expr<Range<unsigned long long, unsigned long long>>(1ull, 10000ull);
    EXPECT_TRUE(r->Evaluate(1ull));
    EXPECT_TRUE(r->Evaluate(10000ull));
    EXPECT_FALSE(r->Evaluate(0ull));
    EXPECT_FALSE(r->Evaluate(10001ull));
    EXPECT_EQ("[1, 10000]", r->ToText());

    auto s = Expr<Range<int, int>>(-500, 500);
    EXPECT_EQ("[-500, 500]", s->ToText());
    EXPECT_TRUE(s->Evaluate(-500));
    EXPECT_FALSE(s->Evaluate(-501));
}

TEST(Validator, DoubleRangeUsesDefaultStreamNotationAndRefusesNaN)
{
    auto r = Expr<Range<double, double>>(0.5, 2.0);
    EXPECT_EQ("[0.5, 2]", r->ToText());
    EXPECT_TRUE(r->Evaluate(0.5));
    EXPECT_TRUE(r->Evaluate(2.0));
    EXPECT_FALSE(r->Evaluate(2.0000001));
    EXPECT_FALSE(r->Evaluate(std::numeric_limits<double>::quiet_NaN()));

    EXPECT_EQ("[0, 1e+06]", (Expr<Range<double, double>>(0.0, 1e6)->ToText()));
    EXPECT_EQ("[0.333333, 1234.57]", (Expr<Range<double, double>>(1.0 / 3, 1234.5678)->ToText()));
}

TEST(Validator, LtIsStrict)
{
    auto l = Expr<Lt<unsigned int, unsigned int>>(8);
    EXPECT_TRUE(l->Evaluate(7u));
    EXPECT_FALSE(l->Evaluate(8u));
    EXPECT_EQ("<8", l->ToText());
}

TEST(Validator, SetKeepsDistinctValuesInAscendingOrder)
{
    auto e = Expr<Set<unsigned int, unsigned int>>(3, 1, 2, 2);
    auto* s = dynamic_cast<Set<unsigned int, unsigned int>*>(e.get());
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(3u, s->GetValues().size());
    EXPECT_EQ("{1,2,3}", e->ToText());
    EXPECT_TRUE(e->Evaluate(2u));
    EXPECT_FALSE(e->Evaluate(4u));
    EXPECT_EQ("{5}", (Expr<Set<unsigned int, unsigned int>>(5)->ToText()));
}

TEST(Validator, WiderArgumentsAreConvertedToTheParameterType)
{
    // Signed 64-bit bounds into an int range.
    EXPECT_EQ("[-3, 7]", (Expr<Range<int, int>>(-3LL, 7LL)->ToText()));
    // An unsigned 64-bit bound keeps its low 32 bits in an unsigned range.
    auto r = Expr<Range<unsigned int, unsigned int>>(1, (1ull << 32) + 7);
    EXPECT_EQ("[1, 7]", r->ToText());
    EXPECT_FALSE(r->Evaluate(8u));
    // A negative int bound of an unsigned range wraps as the conversion does.
    EXPECT_EQ("[4294967295, 5]", (Expr<Range<unsigned int, unsigned int>>(-1, 5)->ToText()));
}

TEST(Validator, TerminalTextAndSelfReference)
{
    auto r = Expr<Range<int, int>>(0, 1);
    auto* t = dynamic_cast<qreg::Terminal*>(r.get());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("[...]", t->GetTerminalText());
    EXPECT_EQ("<", (dynamic_cast<qreg::Terminal&>(*Expr<Lt<unsigned int, unsigned int>>(1)).GetTerminalText()));
    // The factory sets the weak self-reference.
    EXPECT_EQ(r.get(), r->shared_from_this().get());
}

TEST(Validator, ValidationErrorNamesValueAndValidator)
{
    auto r = Expr<Range<int, int>>(0, 1);
    qreg::ValidationError e(r, "5");
    EXPECT_STREQ("Value 5 is refused by validator [0, 1]", e.what());
    EXPECT_NE(nullptr, dynamic_cast<const qstd::Exception*>(&e));
}

} // namespace
