#include "platform/qapp/zemtra_spi_bus_controller.h"

#include "platform/qstd/exception.h"

namespace qapp {

ZemtraSpiBusController::ZemtraSpiBusController(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
                                               unsigned devices, bool lsbFirst)
    : ZemtraFpgaObject(board, block, name),
      m_bus(std::make_shared<bmc::SpiBusControllerFpgaAmba>(name, devices, lsbFirst, block))
{
}

SerialFlash::SerialFlash(ZemtraSpiBusController& controller, const std::string& name, unsigned char chipSelect,
                         bool writeProtect)
    : ZemtraObject(&controller, name), m_writeProtect(writeProtect)
{
    // Command 0x9F: read the JEDEC identification.
    uint32_t id = 0;
    if (!controller.Bus().Transfer(chipSelect, 0x9F, id)) {
        throw qstd::Exception("Serial flash does not answer on chip select " + std::to_string(chipSelect), true);
    }
    m_id = id & 0xFFFFFF;
}

} // namespace qapp
