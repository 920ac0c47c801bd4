#pragma once
// The one accessor layer for FPGA registers: 32- and 64-bit words at byte
// offsets of a mapped block. On the instrument this is a plain volatile
// access. The simulated chassis registers models for its boards' memory so
// that registers whose reads differ from writes (data ports, self-clearing
// bits, hardware status) behave as on the hardware; while no model is
// registered the cost is one relaxed atomic load per access.
//
// Each 32-bit word is read and written whole, as one relaxed atomic access
// (the same single load or store instruction as a volatile access of an
// aligned word): the simulated chassis' threads read the memory that the
// server's threads write, and the server's threads each other's words,
// without a data race.

#include <atomic>
#include <cstddef>
#include <cstdint>

// Byte type of FPGA memory.
using FPGAMem_t = uint8_t;

namespace fpga {

// A modelled memory region. Each call returns true when the model handled the
// access itself; false lets the access go to the region's memory unchanged.
// Offsets are byte offsets from the start of the region.
class RegisterModel {
public:
    virtual ~RegisterModel() = default;
    virtual bool Read32(size_t offset, uint32_t& value) = 0;
    virtual bool Write32(size_t offset, uint32_t value) = 0;
};

namespace detail {
extern std::atomic<int> g_regions;
bool HookRead32(const volatile void* address, uint32_t& value);
bool HookWrite32(volatile void* address, uint32_t value);
} // namespace detail

// Registers a model for [begin, begin + size); regions must not overlap.
void RegisterRegion(volatile void* begin, size_t size, RegisterModel* model);
// Removes the model registered at begin; accesses after it are plain.
void UnregisterRegion(volatile void* begin);

// The 32-bit word of the memory itself, past any model: what the models of
// the simulated chassis read and keep in the memory behind their registers.
inline uint32_t MemoryRead32(const volatile FPGAMem_t* base, size_t offset)
{
    return __atomic_load_n(reinterpret_cast<const volatile uint32_t*>(base + offset), __ATOMIC_RELAXED);
}

inline void MemoryWrite32(volatile FPGAMem_t* base, size_t offset, uint32_t value)
{
    __atomic_store_n(reinterpret_cast<volatile uint32_t*>(base + offset), value, __ATOMIC_RELAXED);
}

inline uint32_t Read32(const volatile FPGAMem_t* base, size_t offset)
{
    if (detail::g_regions.load(std::memory_order_acquire) != 0) {
        uint32_t v = 0;
        if (detail::HookRead32(base + offset, v)) {
            return v;
        }
    }
    return MemoryRead32(base, offset);
}

inline void Write32(volatile FPGAMem_t* base, size_t offset, uint32_t value)
{
    if (detail::g_regions.load(std::memory_order_acquire) != 0) {
        if (detail::HookWrite32(base + offset, value)) {
            return;
        }
    }
    MemoryWrite32(base, offset, value);
}

// A register as the word that a register node binds to. Its address only:
// the nodes read and write it through Read32/Write32 (qreg/register_word.h).
inline volatile uint32_t& Word32(volatile FPGAMem_t* base, size_t offset)
{
    return *reinterpret_cast<volatile uint32_t*>(base + offset);
}

inline volatile uint64_t& Word64(volatile FPGAMem_t* base, size_t offset)
{
    return *reinterpret_cast<volatile uint64_t*>(base + offset);
}

// 64-bit registers are accessed as two 32-bit halves, low half first.
inline uint64_t Read64(const volatile FPGAMem_t* base, size_t offset)
{
    const uint64_t lo = Read32(base, offset);
    const uint64_t hi = Read32(base, offset + 4);
    return lo | (hi << 32);
}

inline void Write64(volatile FPGAMem_t* base, size_t offset, uint64_t value)
{
    Write32(base, offset, static_cast<uint32_t>(value));
    Write32(base, offset + 4, static_cast<uint32_t>(value >> 32));
}

} // namespace fpga
