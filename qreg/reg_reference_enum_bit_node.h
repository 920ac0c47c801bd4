#pragma once
// qreg::RegReferenceEnumBitNode<E, RT>: an enum node over a bit field of a 32-
// or 64-bit register word.

#include "qreg/reg_enum_mixin.h"
#include "qreg/reg_reference_bit_node.h"

namespace qreg {

template <typename E, typename RT>
class RegReferenceEnumBitNode : public virtual RegReferenceBitNode<E, RT>,
                                public RegEnumMixin<E, RegReferenceBitNode<E, RT>> {
    using Bits = RegReferenceBitNode<E, RT>;
    using Mixin = RegEnumMixin<E, Bits>;

public:
    // Takes exactly the arguments of the bit-field node, with its checks.
    RegReferenceEnumBitNode(const std::string& name, RT& word, long long offset, long long size,
                            unsigned long long flags)
        : Bits(name, word, offset, size, flags), Mixin(name, word, offset, size, flags)
    {
    }
    ~RegReferenceEnumBitNode() override = default;

    using Mixin::OnGet;
    using Mixin::OnSet;
    using Mixin::Set;
};

} // namespace qreg
