#pragma once
// The beam position window of the RAF board's protection blocks (interlock
// and post-mortem trigger): x and y minimum and maximum, each a 25-bit two's
// complement field of a 64-bit register, in nm.

#include "platform/fpga/fpga_access.h"
#include "platform/mci/tree_node.h"

#include <cstddef>
#include <cstdint>

namespace position_limits {

// Bounds that clients may write: the field's range narrowed by 128 at the
// bottom and 255 at the top, as the FPGA expects them.
constexpr int c_min = -16777088;
constexpr int c_max = 16776960;
// The window the blocks are given at construction.
constexpr int64_t c_default = 1000000;

// Register offsets of the four limits in a block.
struct Offsets {
    size_t xMin;
    size_t xMax;
    size_t yMin;
    size_t yMax;
};

// Writes the default window, the minima sign-extended to 64 bits.
void WriteDefaults(volatile FPGAMem_t* base, const Offsets& offsets);

// The branch "position" with "min" and "max", each with "x" and "y" bound to
// the fields (flags 14, range [c_min, c_max]).
mci::TreeNodePtr MakeNodes(volatile FPGAMem_t* base, const Offsets& offsets);

} // namespace position_limits
