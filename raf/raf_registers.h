#pragma once
// Register access shared by the RAF board's FPGA objects: the 64-bit
// registers of their blocks, whose fields the objects change by
// read-modify-write. Every such change takes the word lock that the
// bit-field nodes over the same register take, so an object's write and a
// client's write of a neighbouring field never lose each other's bits; every
// read takes it as well, so a getter (a client's, the configuration store's
// save, the gain controller's step) never reads a word while it is written.

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_fpga_object.h"
#include "qreg/register_word.h"

#include <cstdint>
#include <mutex>

class RafBoard;

namespace raf {

// Mask of the low width bits (width 1 to 64).
constexpr uint64_t Mask(unsigned width)
{
    return width >= 64 ? ~0ull : ((1ull << width) - 1);
}

using fpga::Word32;
using fpga::Word64;

// The 64-bit register at offset, read under its word lock.
inline uint64_t ReadWord64(const volatile FPGAMem_t* base, size_t offset)
{
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(base + offset));
    return fpga::Read64(base, offset);
}

// Bits [shift, shift + width) of the 64-bit register at offset, read under
// its word lock.
inline uint64_t ReadBits64(const volatile FPGAMem_t* base, size_t offset, unsigned shift, unsigned width)
{
    return (ReadWord64(base, offset) >> shift) & Mask(width);
}

// Rewrites the whole 64-bit register at offset with f(current value), under
// the register's word lock.
template <typename F> void Modify64(volatile FPGAMem_t* base, size_t offset, F f)
{
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(base + offset));
    fpga::Write64(base, offset, f(fpga::Read64(base, offset)));
}

// Bits [shift, shift + width) := value (masked to the field), other bits kept.
inline void WriteBits64(volatile FPGAMem_t* base, size_t offset, unsigned shift, unsigned width, uint64_t value)
{
    const uint64_t field = Mask(width) << shift;
    Modify64(base, offset, [&](uint64_t v) { return (v & ~field) | ((value << shift) & field); });
}

// The RAF board that owns an object; std::bad_cast on any other board.
RafBoard& ParentRaf(const qapp::ZemtraFpgaObject& object);

} // namespace raf
