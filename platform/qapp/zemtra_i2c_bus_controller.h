#pragma once
// I2C bus controller in the FPGA and the devices behind it.
//
// Register set (byte offsets, 32-bit words):
//   0x00 control: bit 0 start, bit 1 read (else write)
//   0x04 status:  bit 0 busy, bit 1 no acknowledge
//   0x08 device address (bits 0-7) and bus selector (bits 8-15)
//   0x0C device register
//   0x10 data word
// The controller's block is 0x30 bytes.

#include "platform/qapp/zemtra_fpga_object.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace qapp {

// Bus selector of the I2C multiplexer behind the controller.
enum _tI2cBusSelId_e : unsigned char {
    eI2cBus0 = 0,
    eI2cBus1 = 1,
    eI2cBus2 = 2,
    eI2cBus3 = 3,
    eI2cBus4 = 4,
    eI2cBus5 = 5,
    eI2cBus6 = 6,
    eI2cBus7 = 7,
};

class ZemtraI2cBusController : public ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x30;

    // prescaler: divider of the bus clock.
    ZemtraI2cBusController(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name, unsigned prescaler);

    // One register write or read of a device; false when the device does not
    // acknowledge or the controller stays busy.
    bool Write(uint8_t bus, uint8_t address, uint8_t reg, uint32_t value);
    bool Read(uint8_t bus, uint8_t address, uint8_t reg, uint32_t& value);
    unsigned GetPrescaler() const { return m_prescaler; }

private:
    bool Transfer(bool read, uint8_t bus, uint8_t address, uint8_t reg, uint32_t& value);

    volatile FPGAMem_t* m_block;
    unsigned m_prescaler;
    std::mutex m_mutex;
};

} // namespace qapp
