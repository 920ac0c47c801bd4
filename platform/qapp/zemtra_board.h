#pragma once
// Base of every board object: the board's description, the mapping of FPGA
// register blocks, the creation of FPGA objects over them and the board hooks
// of the LMT synchronisation.

#include "platform/bmc/board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace qapp {

class ZemtraApplication;

// Returns block; throws "Failure while mapping to FPGA memory registers"
// when it is null, a block that could not be mapped.
template <typename T> T* RequireMapped(T* block)
{
    if (block == nullptr) {
        throw qstd::Exception("Failure while mapping to FPGA memory registers", true);
    }
    return block;
}

// Size of the FPGA block of an object class: T::c_blockSize. Specialise it for
// a class that cannot carry the constant.
template <typename T, typename = void> struct BlockSize {
    static_assert(sizeof(T) == 0, "RegisterObject<T> needs the block size T::c_blockSize (or qapp::BlockSize<T>)");
};
template <typename T> struct BlockSize<T, std::void_t<decltype(T::c_blockSize)>> {
    static constexpr int value = static_cast<int>(T::c_blockSize);
};

class ZemtraBoard : public ZemtraObject {
public:
    ZemtraBoard(ZemtraApplication& application, const bmc::Board* board);
    ~ZemtraBoard() override;

    // The block [offset, offset + length) of the board's FPGA address space,
    // or null when it cannot be mapped.
    volatile FPGAMem_t* MapRegisters(int offset, int length);

    // Maps T's block at offset, constructs T(board, block, name, args...),
    // adopts and returns it. Throws "Failure while mapping to FPGA memory
    // registers" when the block cannot be mapped.
    template <typename T, typename... Args> T* RegisterObject(int offset, const std::string& name, Args&&... args)
    {
        QSTD_TRACE_FNC();
        volatile FPGAMem_t* block = RequireMapped(MapRegisters(offset, BlockSize<T>::value));
        T* object = new T(*this, block, name, std::forward<Args>(args)...);
        QueryChild(object);
        return object;
    }

    // Makes sure that all register writes before the call have reached the
    // FPGA when it returns.
    void FlushRegisters(volatile void* address);
    // Flushes so far (for observers of the simulated chassis).
    uint64_t Flushes() const { return m_flushes.load(); }

    const bmc::Board* Board() const { return m_board; }
    const bmc::Uri& Uri() const;
    ZemtraApplication& GetApplication() const { return m_application; }
    bmc::BoardType_e GetType() const;

    // Board hooks of the LMT synchronisation: an LMT has been announced to
    // the board; the board's timestamp has been adjusted (difference of the
    // new to the old LMT at the trigger, and the LMT taken at the trigger).
    virtual void OnAnnounceSync();
    virtual void OnAdjustedTimestamp(long long delta, unsigned long long lmt);
    // Device mapping hooks; the simulated chassis needs none and both succeed.
    virtual bool MapDevice(bmc::DeviceMapping_t& mapping) const;
    virtual bool UnmapDevice(bmc::DeviceMapping_t& mapping) const;

private:
    ZemtraApplication& m_application;
    const bmc::Board* m_board;
    std::atomic<uint64_t> m_flushes{0};
};

} // namespace qapp
