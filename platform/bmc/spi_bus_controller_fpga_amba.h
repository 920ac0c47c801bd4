#pragma once
// SPI bus controller in the FPGA (AMBA register set) and the devices that the
// RAF board's precision temperature measurement reads through it.
//
// Register set of the controller (byte offsets, 32-bit words):
//   0x00 control: bits 0-3 chip select, bit 8 start of a transfer
//   0x04 status:  bit 0 busy, bit 1 transfer error
//   0x08 transmit word
//   0x10 + 4 * cs: last word received from chip select cs (0 to 3)
// The analogue multiplexer has one word: bits 0-3 the selected input.

#include "platform/fpga/fpga_access.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace bmc {

class SpiBusControllerFpgaAmba {
public:
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_status = 0x04;
    static constexpr size_t c_txData = 0x08;
    static constexpr size_t c_rxData = 0x10;
    static constexpr unsigned c_maxChipSelect = 3;
    static constexpr std::chrono::milliseconds c_transferTimeout{5};

    // devices: how many chip selects are wired; lsbFirst: bit order.
    SpiBusControllerFpgaAmba(const std::string& name, unsigned devices, bool lsbFirst, volatile FPGAMem_t* regs);

    const std::string& GetName() const { return m_name; }
    unsigned GetDevices() const { return m_devices; }

    // One transfer to a chip select: sends tx and gives the word received.
    // False on a chip select that is not wired, a transfer error or a
    // controller that stays busy past the time-out.
    bool Transfer(unsigned chipSelect, uint32_t tx, uint32_t& rx);

private:
    std::string m_name;
    unsigned m_devices;
    bool m_lsbFirst;
    volatile FPGAMem_t* m_regs;
    std::mutex m_mutex;
};

// Four-input analogue multiplexer.
class AnalogMux {
public:
    AnalogMux(volatile FPGAMem_t* regs, const std::string& name, unsigned inputs);
    unsigned GetInput() const;
    // Throws qstd::Exception for an input the multiplexer does not have.
    void SetInput(unsigned input);
    unsigned GetInputs() const { return m_inputs; }

private:
    volatile FPGAMem_t* m_regs;
    std::string m_name;
    unsigned m_inputs;
};

// Digital temperature sensor: 14-bit two's complement, 1/32 degree per count.
class ADT7301 {
public:
    ADT7301(std::shared_ptr<SpiBusControllerFpgaAmba> spi, const std::string& name, unsigned chipSelect);
    // failed is true when no measurement could be taken; value is then untouched.
    void GetTemperature(float& value, bool& failed);
    // Conversion of a raw sensor word (bits 0-13).
    static float ToCelsius(uint32_t raw);

private:
    std::shared_ptr<SpiBusControllerFpgaAmba> m_spi;
    std::string m_name;
    unsigned m_cs;
};

// 24-bit sigma-delta ADC reading a platinum sensor bridge. The conversion maps
// the full-scale input (the reference) linearly onto -50 to +150 degrees.
class AD7787 {
public:
    AD7787(std::shared_ptr<SpiBusControllerFpgaAmba> spi, const std::string& name, unsigned chipSelect,
           double reference);
    void GetTemperature(float& value, bool& failed);
    static float ToCelsius(uint32_t raw, double reference);

private:
    std::shared_ptr<SpiBusControllerFpgaAmba> m_spi;
    std::string m_name;
    unsigned m_cs;
    double m_reference;
};

} // namespace bmc
