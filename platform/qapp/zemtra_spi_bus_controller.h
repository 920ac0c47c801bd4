#pragma once
// SPI bus controller of a board's FPGA (block of 0x28 bytes) and the serial
// flash behind it.

#include "platform/bmc/spi_bus_controller_fpga_amba.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <memory>
#include <string>

namespace qapp {

class ZemtraSpiBusController : public ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x28;

    // devices: chip selects wired; lsbFirst: bit order of the bus.
    ZemtraSpiBusController(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name, unsigned devices,
                           bool lsbFirst);

    bmc::SpiBusControllerFpgaAmba& Bus() { return *m_bus; }
    unsigned GetDevices() const { return m_bus->GetDevices(); }

private:
    std::shared_ptr<bmc::SpiBusControllerFpgaAmba> m_bus;
};

// Serial configuration flash on a chip select of the SPI bus. The
// constructor reads the flash's identification and throws qstd::Exception
// when the chip select is not wired or no flash answers.
class SerialFlash : public ZemtraObject {
public:
    SerialFlash(ZemtraSpiBusController& controller, const std::string& name, unsigned char chipSelect,
                bool writeProtect);

    uint32_t GetJedecId() const { return m_id; }
    bool IsWriteProtected() const { return m_writeProtect; }

private:
    uint32_t m_id = 0;
    bool m_writeProtect;
};

} // namespace qapp
