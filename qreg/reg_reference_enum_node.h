#pragma once
// qreg::RegReferenceEnumNode<E>: an enum node over a variable of its owner.

#include "qreg/reg_enum_mixin.h"
#include "qreg/reg_reference_node.h"

namespace qreg {

template <typename E>
class RegReferenceEnumNode : public virtual RegReferenceNode<E, E>, public RegEnumMixin<E, RegReferenceNode<E, E>> {
    using Ref = RegReferenceNode<E, E>;
    using Mixin = RegEnumMixin<E, Ref>;

public:
    RegReferenceEnumNode(const std::string& name, E& variable, unsigned long long flags)
        : Ref(name, variable, flags), Mixin(name, variable, flags)
    {
    }
    ~RegReferenceEnumNode() override = default;

    using Mixin::OnGet;
    using Mixin::OnSet;
    using Mixin::Set;
};

} // namespace qreg
