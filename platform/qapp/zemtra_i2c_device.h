#pragma once
// Devices on the I2C bus of a board: the oscillator, the clock generator, the
// SFP's EEPROM and PHY and the memory module's SPD EEPROM. Each is made with
// qapp::Create on its bus controller with (name, device id, I2C address, bus
// selector).
//
// The simulated board answers no real I2C traffic: values that the devices
// report come from board options of the scenario ("sfp_phy_status",
// "spd" = "capacity,width factor,rank width,bank width,row width,column
// width", "sfp_vendor") or from defaults that match the default chassis.

#include "platform/bmc/bus_device.h"
#include "platform/qapp/zemtra_i2c_bus_controller.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace qapp {

class ZemtraI2cDevice : public ZemtraObject {
public:
    ZemtraI2cDevice(ZemtraI2cBusController& controller, const std::string& name, unsigned char id,
                    unsigned char address, unsigned char bus);

    unsigned char GetId() const { return m_id; }
    unsigned char GetAddress() const { return m_address; }
    unsigned char GetBus() const { return m_bus; }
    ZemtraI2cBusController& GetController() const { return m_controller; }

protected:
    bool WriteRegister(uint8_t reg, uint32_t value);
    // A board option of the scenario, or null.
    const std::string* BoardOption(const std::string& name) const;

private:
    ZemtraI2cBusController& m_controller;
    unsigned char m_id;
    unsigned char m_address;
    unsigned char m_bus;
};

// Programmable oscillator; its bmc::Si57x is the object itself.
class SI57x : public ZemtraI2cDevice, public bmc::Si57x {
public:
    SI57x(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
          unsigned char bus);
    bmc::Si57x& GetDevice() { return *this; }
};

// Clock generator; its bmc::Si5338 is the object itself.
class SI5338 : public ZemtraI2cDevice, public bmc::Si5338 {
public:
    SI5338(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
           unsigned char bus);
    bmc::Si5338& GetDevice() { return *this; }
};

class SFP_EEPROM : public ZemtraI2cDevice {
public:
    SFP_EEPROM(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
               unsigned char bus);
    // Vendor name of the module (bytes 20 to 35 of the EEPROM).
    std::string GetVendor() const { return m_vendor; }

private:
    std::string m_vendor;
};

class SFP_PHY : public ZemtraI2cDevice {
public:
    // Status register bits: 2 link up, 5 auto-negotiation complete.
    static constexpr unsigned short c_linkUp = 0x0004;
    static constexpr unsigned short c_anComplete = 0x0020;

    SFP_PHY(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
            unsigned char bus);
    // The PHY's 16-bit status register (register 1); false when unreadable.
    bool GetStatus(unsigned short& status) const;
    bool ReadRegister(unsigned reg, unsigned short& value) const;
    bool WriteRegister(unsigned reg, unsigned short value);

private:
    std::array<std::atomic<unsigned short>, 32> m_regs;
};

// DDR controller parameters held by the memory module's SPD EEPROM.
struct tRamCtrlPar {
    unsigned capacity = 0; // MiB
    unsigned widthFactor = 0;
    unsigned rankWidth = 0;
    unsigned bankWidth = 0;
    unsigned rowWidth = 0;
    unsigned colWidth = 0;
};

class SPD_EEPROM : public ZemtraI2cDevice {
public:
    SPD_EEPROM(ZemtraI2cBusController& controller, const std::string& name, unsigned char id, unsigned char address,
               unsigned char bus);
    const tRamCtrlPar& GetRamCtrlPar() const { return m_par; }

    // Parses "capacity,width factor,rank width,bank width,row width,column
    // width"; false (par untouched) on any other text.
    static bool ParseRamCtrlPar(const std::string& text, tRamCtrlPar& par);

private:
    tRamCtrlPar m_par;
};

} // namespace qapp
