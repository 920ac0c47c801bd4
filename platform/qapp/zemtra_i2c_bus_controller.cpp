#include "platform/qapp/zemtra_i2c_bus_controller.h"

#include "platform/qstd/trace.h"

#include <chrono>
#include <thread>

namespace qapp {

namespace {
constexpr std::chrono::milliseconds c_busyTimeout{5};
}

ZemtraI2cBusController::ZemtraI2cBusController(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
                                               unsigned prescaler)
    : ZemtraFpgaObject(board, block, name), m_block(block), m_prescaler(prescaler)
{
}

bool ZemtraI2cBusController::Transfer(bool read, uint8_t bus, uint8_t address, uint8_t reg, uint32_t& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_block, 0x08, static_cast<uint32_t>(address) | (static_cast<uint32_t>(bus) << 8));
    fpga::Write32(m_block, 0x0C, reg);
    if (!read) {
        fpga::Write32(m_block, 0x10, value);
    }
    fpga::Write32(m_block, 0x00, read ? 3u : 1u);
    const auto deadline = std::chrono::steady_clock::now() + c_busyTimeout;
    uint32_t status = fpga::Read32(m_block, 0x04);
    while ((status & 1u) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            QSTD_TRACE(1, GetName() << ": I2C controller stays busy.");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        status = fpga::Read32(m_block, 0x04);
    }
    if ((status & 2u) != 0) {
        QSTD_TRACE(2, GetName() << ": no acknowledge from device 0x" << std::hex << unsigned(address));
        return false;
    }
    if (read) {
        value = fpga::Read32(m_block, 0x10);
    }
    return true;
}

bool ZemtraI2cBusController::Write(uint8_t bus, uint8_t address, uint8_t reg, uint32_t value)
{
    return Transfer(false, bus, address, reg, value);
}

bool ZemtraI2cBusController::Read(uint8_t bus, uint8_t address, uint8_t reg, uint32_t& value)
{
    return Transfer(true, bus, address, reg, value);
}

} // namespace qapp
