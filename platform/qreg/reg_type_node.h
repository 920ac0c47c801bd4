#pragma once
// qreg::RegTypeNode<T>: a register node that carries values of one type and
// reports that type's code to clients.

#include "platform/qreg/reg_node.h"

#include <cstddef>
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

// True for the value types whose typed hooks OnGet and OnSet the register
// library declares itself (the types of its typed entry points).
template <typename T>
struct IsLibraryValueType
    : std::integral_constant<bool, std::is_same<T, std::string>::value || std::is_same<T, long long>::value ||
                                       std::is_same<T, unsigned long long>::value || std::is_same<T, int>::value ||
                                       std::is_same<T, unsigned int>::value || std::is_same<T, double>::value ||
                                       std::is_same<T, float>::value || std::is_same<T, bool>::value> {
};

// The typed hooks of a kind that stores values of T. For the library's own
// value types they are the library's; for any other T (an enumeration, the
// command value) they are declared here. Either way every kind overrides an
// existing pair, so its OnGet and OnSet are marked override: a kind whose
// signature drifts from the hook fails to build instead of adding a function
// that nobody calls.
template <typename T, bool = IsLibraryValueType<T>::value> class TypedHooks : public RegNode {
public:
    using RegNode::RegNode;
};

template <typename T> class TypedHooks<T, false> : public RegNode {
public:
    using RegNode::OnGet;
    using RegNode::OnSet;
    using RegNode::RegNode;
    virtual size_t OnGet(T* buffer, size_t position, size_t count) const = 0;
    virtual bool OnSet(const T* values, size_t position, size_t count) = 0;
};

template <typename T> class RegTypeNode : public TypedHooks<T> {
public:
    RegTypeNode(const std::string& name, unsigned long long flags) : TypedHooks<T>(name, flags) {}
    ~RegTypeNode() override = default;

    int OnGetValueType(const mci::Path& /*path*/) const override { return TypeCode<T>::value; }
};

} // namespace qreg
