#include "platform/bmc/spi_bus_controller_fpga_amba.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <thread>

namespace bmc {

constexpr std::chrono::milliseconds SpiBusControllerFpgaAmba::c_transferTimeout;

SpiBusControllerFpgaAmba::SpiBusControllerFpgaAmba(const std::string& name, unsigned devices, bool lsbFirst,
                                                   volatile FPGAMem_t* regs)
    : m_name(name), m_devices(devices), m_lsbFirst(lsbFirst), m_regs(regs)
{
}

bool SpiBusControllerFpgaAmba::Transfer(unsigned chipSelect, uint32_t tx, uint32_t& rx)
{
    if (m_regs == nullptr || chipSelect >= m_devices || chipSelect > c_maxChipSelect) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_regs, c_txData, tx);
    fpga::Write32(m_regs, c_control, (chipSelect & 0xF) | 0x100 | (m_lsbFirst ? 0x200u : 0u));
    const auto deadline = std::chrono::steady_clock::now() + c_transferTimeout;
    uint32_t status = fpga::Read32(m_regs, c_status);
    while ((status & 1u) != 0) {
        // The status is read once more after the deadline: a caller that was
        // held up past it must not take a finished transfer for a failure.
        const bool late = std::chrono::steady_clock::now() >= deadline;
        if (!late) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        status = fpga::Read32(m_regs, c_status);
        if (late && (status & 1u) != 0) {
            QSTD_TRACE(1, m_name << ": SPI transfer time-out on chip select " << chipSelect);
            return false;
        }
    }
    if ((status & 2u) != 0) {
        return false;
    }
    rx = fpga::Read32(m_regs, c_rxData + 4 * chipSelect);
    return true;
}

AnalogMux::AnalogMux(volatile FPGAMem_t* regs, const std::string& name, unsigned inputs)
    : m_regs(regs), m_name(name), m_inputs(inputs)
{
}

unsigned AnalogMux::GetInput() const
{
    return m_regs ? (fpga::Read32(m_regs, 0) & 0xF) : 0;
}

void AnalogMux::SetInput(unsigned input)
{
    if (input >= m_inputs) {
        throw qstd::Exception(m_name + ": no input " + std::to_string(input), true);
    }
    if (m_regs) {
        fpga::Write32(m_regs, 0, (fpga::Read32(m_regs, 0) & ~0xFu) | input);
    }
}

ADT7301::ADT7301(std::shared_ptr<SpiBusControllerFpgaAmba> spi, const std::string& name, unsigned chipSelect)
    : m_spi(std::move(spi)), m_name(name), m_cs(chipSelect)
{
}

float ADT7301::ToCelsius(uint32_t raw)
{
    int32_t v = static_cast<int32_t>(raw & 0x3FFF);
    if (v & 0x2000) {
        v -= 0x4000;
    }
    return static_cast<float>(v) / 32.0f;
}

void ADT7301::GetTemperature(float& value, bool& failed)
{
    uint32_t rx = 0;
    failed = !(m_spi && m_spi->Transfer(m_cs, 0, rx));
    if (!failed) {
        value = ToCelsius(rx);
    }
}

AD7787::AD7787(std::shared_ptr<SpiBusControllerFpgaAmba> spi, const std::string& name, unsigned chipSelect,
               double reference)
    : m_spi(std::move(spi)), m_name(name), m_cs(chipSelect), m_reference(reference)
{
}

float AD7787::ToCelsius(uint32_t raw, double reference)
{
    const double volts = static_cast<double>(raw & 0xFFFFFF) / 16777216.0 * reference;
    return static_cast<float>(-50.0 + volts / reference * 200.0);
}

void AD7787::GetTemperature(float& value, bool& failed)
{
    uint32_t rx = 0;
    // Command 0x38: read the data register.
    failed = !(m_spi && m_spi->Transfer(m_cs, 0x38, rx));
    if (!failed) {
        value = ToCelsius(rx, m_reference);
    }
}

} // namespace bmc
