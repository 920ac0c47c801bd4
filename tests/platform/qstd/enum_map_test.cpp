#include "platform/qstd/enum_map.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum class Colour_e { Red = 0, Green = 1, Blue = 7 };

} // namespace

template <>
qstd::BiMap<Colour_e> qstd::EnumMap<Colour_e>::items = {
    {Colour_e::Blue, "blue"}, {Colour_e::Red, "red"}, {Colour_e::Green, "green"}};

namespace {

enum Small_e { a0 = 0, a1 = 1, a2 = 2 };

TEST(EnumTable, DuplicateValueIsRefused)
{
    try {
        qstd::BiMap<Small_e> bad{{a0, "a"}, {a1, "b"}, {a1, "c"}};
        FAIL() << "table with a duplicate value was accepted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "invalid enum description table");
    }
}

TEST(EnumTable, DuplicateNameIsRefused)
{
    try {
        qstd::BiMap<Small_e> bad{{a0, "a"}, {a1, "a"}};
        FAIL() << "table with a duplicate name was accepted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "invalid enum description table");
    }
}

TEST(EnumTable, NamesComeInValueOrderAndConvertBothWays)
{
    const auto& v2n = qstd::EnumMap<Colour_e>::items.ValueToName();
    std::string joined;
    for (const auto& kv : v2n) {
        joined += kv.second;
        joined += ',';
    }
    EXPECT_EQ(joined, "red,green,blue,");

    Colour_e c = Colour_e::Red;
    // The lookup compares texts, not pointers.
    std::string name = "blue";
    EXPECT_TRUE(qstd::EnumMap<Colour_e>::items.Find(name.c_str(), c));
    EXPECT_EQ(c, Colour_e::Blue);
    EXPECT_FALSE(qstd::EnumMap<Colour_e>::items.Find("purple", c));
    EXPECT_EQ(qstd::EnumMap<Colour_e>::items.IntToName().at(7), std::string("blue"));
}

TEST(EnumTable, ToStringOfAValueWithoutNameThrows)
{
    EXPECT_STREQ(qstd::EnumMap<Colour_e>::ToString(Colour_e::Green), "green");
    try {
        qstd::EnumMap<Colour_e>::ToString(static_cast<Colour_e>(2));
        FAIL() << "value without a name was converted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ(e.what(), "invalid value");
    }
}

} // namespace
