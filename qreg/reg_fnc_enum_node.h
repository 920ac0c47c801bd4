#pragma once
// qreg::RegFncEnumNode<E>: an enum node whose value lives behind a getter and
// a setter of its owner (or a getter alone).

#include "qreg/reg_enum_mixin.h"
#include "qreg/reg_fnc_node.h"

namespace qreg {

template <typename E> class RegFncEnumNode : public virtual RegFncNode<E>, public RegEnumMixin<E, RegFncNode<E>> {
    using Mixin = RegEnumMixin<E, RegFncNode<E>>;

public:
    // Takes exactly the arguments of the function node.
    template <typename... A>
    explicit RegFncEnumNode(const std::string& name, A&&... args) : RegFncNode<E>(name, args...), Mixin(name, args...)
    {
    }
    ~RegFncEnumNode() override = default;

    using Mixin::OnGet;
    using Mixin::OnSet;
    using Mixin::Set;
};

} // namespace qreg
