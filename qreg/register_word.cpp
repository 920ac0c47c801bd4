#include "qreg/register_word.h"

#include <array>
#include <cstdint>

namespace qreg {

std::mutex& RegisterWordLock(const volatile void* address)
{
    static std::array<std::mutex, 64> s_locks;
    // Words are at least 4-byte aligned; a 64-bit word's two halves map to
    // the same stripe because the address of its first half is used.
    const auto a = reinterpret_cast<uintptr_t>(const_cast<const void*>(address));
    return s_locks[(a >> 3) % s_locks.size()];
}

} // namespace qreg
