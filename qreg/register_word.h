#pragma once
// Access to one register word on behalf of register nodes: 32-bit words go
// through the FPGA accessor layer in one access, 64-bit words as two halves,
// low half first. A plain (not volatile) 64-bit variable of an object is
// treated exactly like a register word.
//
// RegisterWordLock gives the lock that serialises read-modify-writes of one
// word: every bit-field node takes it around its read-modify-write, and an
// object that writes bits of a word shared with bit-field nodes takes it as
// well. Locks are striped by address; a stripe is a leaf lock (nothing is
// called while it is held), so sharing one between words cannot deadlock.

#include "platform/fpga/fpga_access.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace qreg {

std::mutex& RegisterWordLock(const volatile void* address);

template <typename W> struct IsAtomicWord : std::false_type {
};
template <typename V> struct IsAtomicWord<std::atomic<V>> : std::true_type {
};

template <typename W> inline uint64_t ReadRegisterWord(W* word)
{
    using Plain = typename std::remove_cv<W>::type;
    static_assert(sizeof(Plain) == 4 || sizeof(Plain) == 8, "register words are 32 or 64 bits wide");
    if constexpr (IsAtomicWord<Plain>::value) {
        return static_cast<uint64_t>(word->load());
    } else if constexpr (sizeof(Plain) == 4) {
        return fpga::Read32(reinterpret_cast<const volatile FPGAMem_t*>(word), 0);
    } else {
        return fpga::Read64(reinterpret_cast<const volatile FPGAMem_t*>(word), 0);
    }
}

template <typename W> inline void WriteRegisterWord(W* word, uint64_t value)
{
    using Plain = typename std::remove_cv<W>::type;
    static_assert(sizeof(Plain) == 4 || sizeof(Plain) == 8, "register words are 32 or 64 bits wide");
    if constexpr (IsAtomicWord<Plain>::value) {
        word->store(static_cast<typename Plain::value_type>(value));
    } else if constexpr (sizeof(Plain) == 4) {
        fpga::Write32(reinterpret_cast<volatile FPGAMem_t*>(const_cast<Plain*>(word)), 0, static_cast<uint32_t>(value));
    } else {
        fpga::Write64(reinterpret_cast<volatile FPGAMem_t*>(const_cast<Plain*>(word)), 0, value);
    }
}

} // namespace qreg
