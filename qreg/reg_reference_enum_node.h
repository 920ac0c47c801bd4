#pragma once
// qreg::RegReferenceEnumNode<E, RT>: an enum node over a variable of its
// owner (RT = E, or std::atomic<E> for a variable that another thread reads).

#include "qreg/reg_enum_mixin.h"
#include "qreg/reg_reference_node.h"

namespace qreg {

template <typename E, typename RT = E>
class RegReferenceEnumNode : public virtual RegReferenceNode<E, RT>, public RegEnumMixin<E, RegReferenceNode<E, RT>> {
    using Ref = RegReferenceNode<E, RT>;
    using Mixin = RegEnumMixin<E, Ref>;

public:
    RegReferenceEnumNode(const std::string& name, RT& variable, unsigned long long flags)
        : Ref(name, variable, flags), Mixin(name, variable, flags)
    {
    }
    ~RegReferenceEnumNode() override = default;

    using Mixin::OnGet;
    using Mixin::OnSet;
    using Mixin::Set;
};

} // namespace qreg
