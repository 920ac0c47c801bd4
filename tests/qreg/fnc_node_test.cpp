#include "qreg/reg_fnc_node.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using mci::c_noRelPath;
using qreg::RegFncNode;

struct Owner {
    unsigned int value = 7;
    bool getterOk = true;
    bool setterOk = true;
    int getterCalls = 0;
    int setterCalls = 0;
    unsigned int arrayResult = 0;
    unsigned int array[8] = {};

    bool Set(const unsigned int& v)
    {
        ++setterCalls;
        if (setterOk) {
            value = v;
        }
        return setterOk;
    }
    bool Get(unsigned int& v) const
    {
        ++const_cast<Owner*>(this)->getterCalls;
        v = value;
        return getterOk;
    }
    bool SetArray(const unsigned int* v, unsigned int pos, unsigned int n)
    {
        for (unsigned int i = 0; i < n; ++i) {
            array[pos + i] = v[i];
        }
        return setterOk;
    }
    unsigned int GetArray(unsigned int* v, unsigned int pos, unsigned int n) const
    {
        for (unsigned int i = 0; i < n; ++i) {
            v[i] = array[pos + i];
        }
        return arrayResult;
    }
};

std::string SetError(qreg::RegNode& node, const unsigned int* v, size_t pos, size_t n)
{
    try {
        node.OnSet(v, pos, n);
    } catch (const qstd::Exception& e) {
        return e.what();
    }
    return "";
}

TEST(FunctionNode, ScalarReadCallsTheGetterOnlyAtPositionZeroForOne)
{
    Owner o;
    RegFncNode<unsigned int> node("n", &o, &Owner::Set, &Owner::Get);
    unsigned int out[2] = {0, 0};
    EXPECT_EQ(1u, node.OnGet(out, 0, 1));
    EXPECT_EQ(7u, out[0]);
    EXPECT_EQ(0u, node.OnGet(out, 1, 1));
    EXPECT_EQ(0u, node.OnGet(out, 0, 2));
    EXPECT_EQ(1, o.getterCalls);
    o.getterOk = false;
    EXPECT_EQ(0u, node.OnGet(out, 0, 1));
}

TEST(FunctionNode, FailedOrImpossibleWritesRaiseTheSetterMessage)
{
    Owner o;
    RegFncNode<unsigned int> node("gain", &o, &Owner::Set, &Owner::Get);
    const unsigned int v[2] = {3, 4};
    EXPECT_EQ("", SetError(node, v, 0, 1));
    EXPECT_EQ(3u, o.value);
    EXPECT_EQ("qreg: Can't set value: setter function failed: gain", SetError(node, v, 1, 1));
    EXPECT_EQ("qreg: Can't set value: setter function failed: gain", SetError(node, v, 0, 2));
    EXPECT_EQ(1, o.setterCalls); // neither reached the setter
    o.setterOk = false;
    EXPECT_EQ("qreg: Can't set value: setter function failed: gain", SetError(node, v + 1, 0, 1));
    EXPECT_EQ(3u, o.value);

    RegFncNode<unsigned int> readOnly("status", &o, 0, &Owner::Get);
    EXPECT_EQ("qreg: Can't set value: setter function failed: status", SetError(readOnly, v, 0, 1));
    EXPECT_FALSE(readOnly.HasSetter());
}

TEST(FunctionNode, ArrayGetterCountIsTakenButNeverAboveTheRequest)
{
    Owner o;
    for (unsigned int i = 0; i < 8; ++i) {
        o.array[i] = 10 + i;
    }
    RegFncNode<unsigned int> node("arr", 8, &o, &Owner::SetArray, &Owner::GetArray, 6);
    EXPECT_EQ(8u, node.OnGetSize(c_noRelPath));
    unsigned int out[8] = {};
    o.arrayResult = 2;
    EXPECT_EQ(2u, node.OnGet(out, 3, 4));
    EXPECT_EQ(13u, out[0]);
    // A getter that claims more than was asked for is clamped.
    o.arrayResult = 1000;
    EXPECT_EQ(4u, node.OnGet(out, 0, 4));
    // The client path clamps as well and hands out only that many.
    std::vector<unsigned int> values;
    node.Get(values, 2, 3, c_noRelPath);
    EXPECT_EQ((std::vector<unsigned int>{12, 13, 14}), values);
}

TEST(FunctionNode, ArraySetterFailureWinsOverAScalarSetter)
{
    Owner o;
    o.setterOk = false;
    RegFncNode<unsigned int> node(
        "both", [&o](const unsigned int& v) { return o.Set(v); }, RegFncNode<unsigned int>::ScalarGetter(),
        [](const unsigned int*, size_t, size_t) { return false; }, RegFncNode<unsigned int>::ArrayGetter(), 1, 6);
    o.setterOk = true;
    const unsigned int v = 1;
    EXPECT_EQ("qreg: Can't set value: setter function failed: both", SetError(node, &v, 0, 1));
    EXPECT_EQ(0, o.setterCalls);
}

TEST(FunctionNode, ResizeChangesTheReportedSizeOnly)
{
    Owner o;
    RegFncNode<unsigned int> node("n", &o, &Owner::Set, &Owner::Get);
    EXPECT_EQ(1u, node.OnGetSize(c_noRelPath));
    EXPECT_TRUE(node.OnResize(5, c_noRelPath));
    EXPECT_EQ(5u, node.OnGetSize(c_noRelPath));
    unsigned int out[2] = {};
    EXPECT_EQ(0u, node.OnGet(out, 0, 2)); // still a scalar binding
    EXPECT_FALSE(node.IsClientResizable());
}

TEST(FunctionNode, SharedBindingKeepsItsObjectAlive)
{
    struct Sensor {
        virtual ~Sensor() = default;
        virtual bool Read(double& v)
        {
            v = 21.5;
            return true;
        }
    };
    auto sensor = std::make_shared<Sensor>();
    std::weak_ptr<Sensor> watch = sensor;
    RegFncNode<double> node("t", sensor, 0, &Sensor::Read, 14);
    sensor.reset();
    EXPECT_FALSE(watch.expired());
    double out = 0;
    EXPECT_EQ(1u, node.OnGet(&out, 0, 1));
    EXPECT_EQ(21.5, out);
    EXPECT_EQ(10u, node.GetFlags());
}

} // namespace
