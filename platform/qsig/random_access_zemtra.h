#pragma once
// Random-access buffer over a board's history device: the circular history
// memory of the simulated chassis.

#include "platform/qsig/random_access_buffer.h"
#include "sim/history_memory.h"

#include <atomic>
#include <memory>
#include <string>

namespace qsig {

class RandomAccessZemtra : public RandomAccessBuffer {
public:
    // Size of the memory made for a device that the chassis has not
    // registered (64 MiB, the RAF board's DMA buffer).
    static constexpr size_t c_defaultByteSize = 64u * 1024u * 1024u;

    // Opens the history memory registered under the device name; a device
    // without one gets a new memory of the default size, registered under
    // its name. Callers pass the device and an empty buffer name in either
    // order, so an empty first argument means (name, device).
    RandomAccessZemtra(const std::string& device, const std::string& name);
    // Over a given memory (the chassis simulation and tests).
    RandomAccessZemtra(std::shared_ptr<sim::HistoryMemory> memory, const std::string& name);

    bool IsCircular() const override { return true; }
    size_t GetByteSize() const override;
    bool Open() override;
    bool Close() override;
    // Delivers every byte asked for, wrapping at the end of the memory.
    size_t Read(void* destination, size_t bytes, size_t byteOffset, RequestPriorityLevel_e priority) override;

    const std::string& GetName() const { return m_name; }
    std::shared_ptr<sim::HistoryMemory> GetMemory() const { return m_memory; }
    bool IsOpen() const { return m_open.load(); }

private:
    std::string m_name;
    std::shared_ptr<sim::HistoryMemory> m_memory;
    std::atomic<bool> m_open{false};
};

} // namespace qsig
