#pragma once
// qreg::RegTypeNode<T>: a register node that carries values of one type and
// reports that type's code to clients.

#include "platform/qreg/reg_node.h"

#include <string>
#include <type_traits>

namespace qreg {

// Value type code of T as clients see it; enumerations (and the command
// value) report 0, enum nodes override it with 9.
template <typename T> struct TypeCode {
    static constexpr int value = std::is_same<T, bool>::value                 ? eTypeBool
                                 : std::is_same<T, int>::value                ? eTypeInt
                                 : std::is_same<T, unsigned int>::value       ? eTypeUInt
                                 : std::is_same<T, unsigned long long>::value ? eTypeULongLong
                                 : std::is_same<T, double>::value             ? eTypeDouble
                                 : std::is_same<T, std::string>::value        ? eTypeString
                                                                              : eTypeNone;
};

template <typename T> class RegTypeNode : public RegNode {
public:
    RegTypeNode(const std::string& name, unsigned long long flags) : RegNode(name, flags) {}
    ~RegTypeNode() override = default;

    int OnGetValueType(const mci::Path& /*path*/) const override { return TypeCode<T>::value; }
};

} // namespace qreg
