#include "raf/position_limits.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "qreg/expr.h"
#include "qreg/reg_reference_bit_node.h"

namespace position_limits {

void WriteDefaults(volatile FPGAMem_t* base, const Offsets& offsets)
{
    fpga::Write64(base, offsets.xMin, static_cast<uint64_t>(-c_default));
    fpga::Write64(base, offsets.xMax, static_cast<uint64_t>(c_default));
    fpga::Write64(base, offsets.yMin, static_cast<uint64_t>(-c_default));
    fpga::Write64(base, offsets.yMax, static_cast<uint64_t>(c_default));
}

mci::TreeNodePtr MakeNodes(volatile FPGAMem_t* base, const Offsets& offsets)
{
    using namespace mci::flags;
    using Word = volatile unsigned long long;
    auto limit = [base](const auto& name, size_t offset) {
        return mci::factory::Create<qreg::RegReferenceBitNode<int, Word>>(
            qreg::Expr<qreg::expr::Range<int, int>>(c_min, c_max), name, *reinterpret_cast<Word*>(base + offset), 0ll,
            25ll, c_setting);
    };
    mci::TreeNodePtr position = mci::factory::Create<qreg::RegNode>("position", c_branch);
    mci::TreeNodePtr min = mci::factory::Create<qreg::RegNode>("min", c_branch);
    min->Add(limit("x", offsets.xMin));
    min->Add(limit("y", offsets.yMin));
    mci::TreeNodePtr max = mci::factory::Create<qreg::RegNode>("max", c_branch);
    max->Add(limit("x", offsets.xMax));
    max->Add(limit("y", offsets.yMax));
    position->Add(min);
    position->Add(max);
    return position;
}

} // namespace position_limits
