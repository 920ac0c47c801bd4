// Bus controllers and devices of the boards.

#include "test_app.h"

#include "platform/bmc/bus_device.h"
#include "platform/bmc/spi_bus_controller_fpga_amba.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/create.h"
#include "platform/qapp/dac8552.h"
#include "platform/qapp/zemtra_i2c_device.h"
#include "platform/qapp/zemtra_spi_bus_controller.h"
#include "platform/qstd/exception.h"
#include "sim/chassis.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(SpiBus, TransfersPerChipSelectAndFailures)
{
    std::vector<uint32_t> regs(16, 0);
    volatile FPGAMem_t* base = reinterpret_cast<volatile FPGAMem_t*>(regs.data());
    auto spi = std::make_shared<bmc::SpiBusControllerFpgaAmba>("spi_controller", 2, false, base);
    regs[4] = 0x11;
    regs[5] = 0x22;
    uint32_t rx = 0;
    EXPECT_TRUE(spi->Transfer(1, 0x38, rx));
    EXPECT_EQ(rx, 0x22u);
    EXPECT_EQ(regs[2], 0x38u);             // transmit word
    EXPECT_EQ(regs[0] & 0xFu, 1u);         // chip select
    EXPECT_FALSE(spi->Transfer(2, 0, rx)); // not wired
    regs[1] = 2;                           // transfer error
    EXPECT_FALSE(spi->Transfer(0, 0, rx));
    regs[1] = 1; // stays busy
    EXPECT_FALSE(spi->Transfer(0, 0, rx));
    bmc::SpiBusControllerFpgaAmba none("x", 1, false, nullptr);
    EXPECT_FALSE(none.Transfer(0, 0, rx));
}

// A status word that reads busy once, after a stall past the transfer's
// time-out (a reader descheduled under load), and ready from then on.
class StalledBusyStatus : public fpga::RegisterModel {
public:
    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != bmc::SpiBusControllerFpgaAmba::c_status) {
            return false;
        }
        if (m_reads++ == 0) {
            std::this_thread::sleep_for(2 * bmc::SpiBusControllerFpgaAmba::c_transferTimeout);
            value = 1;
        } else {
            value = 0;
        }
        return true;
    }
    bool Write32(size_t, uint32_t) override { return false; }
    int m_reads = 0;
};

TEST(SpiBus, TransferDoneByTheTimeOutIsNotAFailure)
{
    std::vector<uint32_t> regs(16, 0);
    volatile FPGAMem_t* base = reinterpret_cast<volatile FPGAMem_t*>(regs.data());
    StalledBusyStatus status;
    fpga::RegisterRegion(base, regs.size() * sizeof(uint32_t), &status);
    bmc::SpiBusControllerFpgaAmba spi("spi_controller", 1, false, base);
    regs[4] = 0x55;
    uint32_t rx = 0;
    const bool done = spi.Transfer(0, 0, rx);
    fpga::UnregisterRegion(base);
    EXPECT_TRUE(done);
    EXPECT_EQ(0x55u, rx);
}

TEST(SpiBus, TemperatureSensorsConvertAndReportFailures)
{
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0x0000), 0.0f);
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0x0020), 1.0f);
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0x3FE0), -1.0f);
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0x1FFF), 8191.0f / 32.0f);
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0x2000), -256.0f);
    EXPECT_FLOAT_EQ(bmc::ADT7301::ToCelsius(0xFFFFC020), 1.0f); // bits above 13 ignored
    EXPECT_FLOAT_EQ(bmc::AD7787::ToCelsius(0, 2.5), -50.0f);
    EXPECT_FLOAT_EQ(bmc::AD7787::ToCelsius(0x800000, 2.5), 50.0f);

    std::vector<uint32_t> regs(16, 0);
    volatile FPGAMem_t* base = reinterpret_cast<volatile FPGAMem_t*>(regs.data());
    auto spi = std::make_shared<bmc::SpiBusControllerFpgaAmba>("spi_controller", 4, false, base);
    bmc::ADT7301 ts(spi, "ADT7301", 3);
    regs[7] = 0x0040;
    float value = -1.0f;
    bool failed = true;
    ts.GetTemperature(value, failed);
    EXPECT_FALSE(failed);
    EXPECT_FLOAT_EQ(value, 2.0f);
    regs[1] = 2;
    value = 99.0f;
    ts.GetTemperature(value, failed);
    EXPECT_TRUE(failed);
    EXPECT_FLOAT_EQ(value, 99.0f);
}

TEST(SpiBus, AnalogMuxSelectsOnlyItsInputs)
{
    uint32_t word = 0xA0;
    bmc::AnalogMux mux(reinterpret_cast<volatile FPGAMem_t*>(&word), "analog_mux", 4);
    mux.SetInput(3);
    EXPECT_EQ(mux.GetInput(), 3u);
    EXPECT_EQ(word, 0xA3u);
    EXPECT_THROW(mux.SetInput(4), qstd::Exception);
    EXPECT_EQ(mux.GetInput(), 3u);
}

TEST(BusDevices, ClockChipsAndDac)
{
    std::vector<std::pair<uint8_t, uint32_t>> writes;
    bmc::Si57x osc("SI57x", 0x55);
    osc.SetTransfer([&](uint8_t reg, uint32_t v) {
        writes.emplace_back(reg, v);
        return true;
    });
    EXPECT_TRUE(osc.SetVcxoFreq(125000000));
    EXPECT_EQ(osc.GetVcxoFreq(), 125000000u);
    EXPECT_FALSE(osc.SetVcxoFreq(5));
    EXPECT_EQ(osc.GetVcxoFreq(), 125000000u);
    EXPECT_EQ(writes.size(), 1u);
    osc.SetDeviceState(bmc::eDeviceOn);
    EXPECT_EQ(osc.GetDeviceState(), bmc::eDeviceOn);

    bmc::Si5338 gen("SI5338", 0x70);
    gen.SetDeviceState(bmc::eDeviceOn);
    EXPECT_TRUE(gen.Si5338StopDevice());
    EXPECT_TRUE(gen.IsStopped());
    EXPECT_EQ(gen.GetDeviceState(), bmc::eDeviceOff);

    qapptest::TestApplication app;
    std::vector<unsigned> out;
    auto* dac = qapp::Create<qapp::DAC8552>(app, "dac", [&](unsigned c) { out.push_back(c); });
    EXPECT_TRUE(dac->SetValueA(0));
    EXPECT_TRUE(dac->SetValueA(0xFFFF));
    EXPECT_FALSE(dac->SetValueA(0x10000));
    EXPECT_EQ(out, (std::vector<unsigned>{0, 0xFFFF}));
    EXPECT_EQ(dac->GetValueA(), 0xFFFFu);
}

TEST(BusDevices, I2cDevicesOfTheGdxBoard)
{
    const std::string xml = "<chassis><board type=\"125\" name=\"gdx\" slot=\"7\">"
                            "<option name=\"sfp_phy_status\" value=\"0x0020\"/>"
                            "<option name=\"spd\" value=\"1024,1,1,3,13,10\"/></board>"
                            "<board type=\"125\" name=\"gdx2\" slot=\"8\">"
                            "<option name=\"spd\" value=\"1024,1,1\"/></board></chassis>";
    qapptest::Bench bench(xml);
    auto* board = bench.MakeBoard(0);
    auto* i2c = board->RegisterObject<qapp::ZemtraI2cBusController>(0xB00000, "i2c_controller", 11u);
    auto* si57x = qapp::Create<qapp::SI57x>(*i2c, "SI57x", 0, 0x55, qapp::eI2cBus0);
    EXPECT_TRUE(si57x->GetDevice().SetVcxoFreq(125000000));
    si57x->GetDevice().SetDeviceState(bmc::eDeviceOn);
    EXPECT_EQ(si57x->GetParent(), i2c);

    auto* phy = qapp::Create<qapp::SFP_PHY>(*i2c, "SFP_PHY", 5, 0xAC, qapp::eI2cBus3);
    unsigned short status = 0;
    EXPECT_TRUE(phy->GetStatus(status));
    EXPECT_EQ(status, 0x0020);
    EXPECT_FALSE(phy->WriteRegister(1, 0xFFFF));
    EXPECT_TRUE(phy->WriteRegister(0, 0x1140));

    auto* spd = qapp::Create<qapp::SPD_EEPROM>(*i2c, "SPD_EEPROM", 10, 0x53, qapp::eI2cBus6);
    EXPECT_EQ(spd->GetRamCtrlPar().capacity, 1024u);
    EXPECT_EQ(spd->GetRamCtrlPar().rowWidth, 13u);

    // A malformed option keeps the defaults of the default chassis.
    auto* board2 = bench.MakeBoard(1);
    auto* i2c2 = board2->RegisterObject<qapp::ZemtraI2cBusController>(0xB00000, "i2c_controller", 11u);
    auto* spd2 = qapp::Create<qapp::SPD_EEPROM>(i2c2, "SPD_EEPROM", 10, 0x53, qapp::eI2cBus6);
    EXPECT_EQ(spd2->GetRamCtrlPar().capacity, 2048u);
    unsigned short status2 = 0;
    EXPECT_TRUE(qapp::Create<qapp::SFP_PHY>(i2c2, "SFP_PHY", 5, 0xAC, qapp::eI2cBus3)->GetStatus(status2));
    EXPECT_EQ(status2, qapp::SFP_PHY::c_linkUp | qapp::SFP_PHY::c_anComplete);

    // The serial flash answers on a wired chip select only.
    auto* spi = board->RegisterObject<qapp::ZemtraSpiBusController>(0x307000, "spi_controller", 1u, false);
    EXPECT_NO_THROW(qapp::Create<qapp::SerialFlash>(*spi, "serial_flash", 0, false));
    EXPECT_THROW(qapp::Create<qapp::SerialFlash>(*spi, "serial_flash2", 1, false), qstd::Exception);
}

TEST(BusDevices, RamParametersParse)
{
    qapp::tRamCtrlPar par;
    EXPECT_TRUE(qapp::SPD_EEPROM::ParseRamCtrlPar("2048, 2, 1, 3, 14, 10", par));
    EXPECT_EQ(par.capacity, 2048u);
    EXPECT_EQ(par.colWidth, 10u);
    par.capacity = 7;
    EXPECT_FALSE(qapp::SPD_EEPROM::ParseRamCtrlPar("2048,2,1,3,14", par));
    EXPECT_FALSE(qapp::SPD_EEPROM::ParseRamCtrlPar("2048,2,1,3,14,10,5", par));
    EXPECT_FALSE(qapp::SPD_EEPROM::ParseRamCtrlPar("a,2,1,3,14,10", par));
    EXPECT_EQ(par.capacity, 7u);
}

} // namespace
