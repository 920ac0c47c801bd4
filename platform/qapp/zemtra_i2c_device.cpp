#include "platform/qapp/zemtra_i2c_device.h"

#include "platform/qapp/zemtra_board.h"
#include "platform/qstd/trace.h"
#include "sim/board.h"

#include <cstdlib>
#include <sstream>

namespace qapp {

ZemtraI2cDevice::ZemtraI2cDevice(ZemtraI2cBusController& controller, const std::string& name, unsigned char id,
                                 unsigned char address, unsigned char bus)
    : ZemtraObject(&controller, name), m_controller(controller), m_id(id), m_address(address), m_bus(bus)
{
}

bool ZemtraI2cDevice::WriteRegister(uint8_t reg, uint32_t value)
{
    return m_controller.Write(m_bus, m_address, reg, value);
}

const std::string* ZemtraI2cDevice::BoardOption(const std::string& name) const
{
    const bmc::Board* board = m_controller.GetParentBoard().Board();
    if (board == nullptr || board->SimBoard() == nullptr) {
        return nullptr;
    }
    return board->SimBoard()->Option(name);
}

SI57x::SI57x(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
             unsigned char bus)
    : ZemtraI2cDevice(controller, name, id, address, bus), bmc::Si57x(name, address)
{
    SetTransfer([this](uint8_t reg, uint32_t value) { return WriteRegister(reg, value); });
}

SI5338::SI5338(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
               unsigned char bus)
    : ZemtraI2cDevice(controller, name, id, address, bus), bmc::Si5338(name, address)
{
    SetTransfer([this](uint8_t reg, uint32_t value) { return WriteRegister(reg, value); });
}

SFP_EEPROM::SFP_EEPROM(ZemtraI2cBusController& controller, const std::string& name, unsigned char id,
                       unsigned char address, unsigned char bus)
    : ZemtraI2cDevice(controller, name, id, address, bus), m_vendor("SIMULATED")
{
    if (const std::string* v = BoardOption("sfp_vendor")) {
        m_vendor = *v;
    }
}

SFP_PHY::SFP_PHY(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
                 unsigned char bus)
    : ZemtraI2cDevice(controller, name, id, address, bus)
{
    for (auto& r : m_regs) {
        r.store(0);
    }
    unsigned short status = c_linkUp | c_anComplete;
    if (const std::string* v = BoardOption("sfp_phy_status")) {
        status = static_cast<unsigned short>(std::strtoul(v->c_str(), nullptr, 0));
    }
    m_regs[1].store(status);
}

bool SFP_PHY::GetStatus(unsigned short& status) const
{
    return ReadRegister(1, status);
}

bool SFP_PHY::ReadRegister(unsigned reg, unsigned short& value) const
{
    if (reg >= m_regs.size()) {
        return false;
    }
    value = m_regs[reg].load();
    return true;
}

bool SFP_PHY::WriteRegister(unsigned reg, unsigned short value)
{
    // Register 1 (status) is read-only.
    if (reg >= m_regs.size() || reg == 1) {
        return false;
    }
    m_regs[reg].store(value);
    return ZemtraI2cDevice::WriteRegister(static_cast<uint8_t>(reg), value);
}

SPD_EEPROM::SPD_EEPROM(ZemtraI2cBusController& controller, const std::string& name, unsigned char id,
                       unsigned char address, unsigned char bus)
    : ZemtraI2cDevice(controller, name, id, address, bus)
{
    // The module of the default chassis: 2048 MiB, columns 10, rows 14, banks 3, rank 1, width factor 2.
    m_par.capacity = 2048;
    m_par.widthFactor = 2;
    m_par.rankWidth = 1;
    m_par.bankWidth = 3;
    m_par.rowWidth = 14;
    m_par.colWidth = 10;
    if (const std::string* v = BoardOption("spd")) {
        if (!ParseRamCtrlPar(*v, m_par)) {
            QSTD_TRACE(1, GetName() << ": bad SPD option \"" << *v << "\" ignored.");
        }
    }
}

bool SPD_EEPROM::ParseRamCtrlPar(const std::string& text, tRamCtrlPar& par)
{
    std::istringstream in(text);
    unsigned v[6];
    for (int i = 0; i < 6; ++i) {
        if (!(in >> v[i])) {
            return false;
        }
        if (i < 5) {
            char comma = 0;
            if (!(in >> comma) || comma != ',') {
                return false;
            }
        }
    }
    std::string rest;
    if (in >> rest) {
        return false;
    }
    par = tRamCtrlPar{v[0], v[1], v[2], v[3], v[4], v[5]};
    return true;
}

} // namespace qapp
