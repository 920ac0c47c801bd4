#pragma once
// Precision temperatures of the RAF board ("hp_temp"): four ADT7301 digital
// sensors on one SPI bus ("ts1" to "ts4") and four platinum sensors ("pt1"
// to "pt4") that one AD7787 ADC on a second SPI bus reads in turn through a
// four-input analogue multiplexer. Every client read of a sensor's node
// measures the sensor at that moment.
//
// Device register sets, from the start of the block (FPGA offset 0x300000):
//   0x100 SPI bus controller of the AD7787
//   0x118 analogue multiplexer
//   0x180 SPI bus controller of the ADT7301s

#include "platform/bmc/spi_bus_controller_fpga_amba.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern const std::vector<const char*> c_tsNames;
extern const std::vector<const char*> c_ptNames;

class Temperature {
public:
    explicit Temperature(const std::string& name) : m_name(name) {}
    virtual ~Temperature() = default;
    const std::string& GetName() const { return m_name; }
    // The temperature in value; false (value untouched) on a failed measurement.
    virtual bool Read(double& value) const = 0;

private:
    std::string m_name;
};

class TemperatureTs : public Temperature {
public:
    TemperatureTs(const std::string& name, std::shared_ptr<bmc::SpiBusControllerFpgaAmba> spi,
                  std::shared_ptr<bmc::ADT7301> sensor);
    bool Read(double& value) const override;

private:
    std::shared_ptr<bmc::SpiBusControllerFpgaAmba> m_spi;
    std::shared_ptr<bmc::ADT7301> m_sensor;
};

class TemperaturePt : public Temperature {
public:
    // Wait before the multiplexer is switched to another input.
    static constexpr std::chrono::milliseconds c_switch_wait{10};

    // muxLock is shared by every sensor behind the same multiplexer: a read
    // holds it from the selection of its input to the end of the measurement,
    // so that no other sensor switches the multiplexer under it.
    TemperaturePt(const std::string& name, std::shared_ptr<bmc::AnalogMux> mux,
                  std::shared_ptr<bmc::SpiBusControllerFpgaAmba> spi, std::shared_ptr<bmc::AD7787> adc, unsigned input,
                  std::shared_ptr<std::mutex> muxLock);
    bool Read(double& value) const override;

private:
    std::shared_ptr<bmc::AnalogMux> m_mux;
    std::shared_ptr<bmc::SpiBusControllerFpgaAmba> m_spi;
    std::shared_ptr<bmc::AD7787> m_adc;
    unsigned m_input;
    std::shared_ptr<std::mutex> m_mux_lock;
};

class HighPrecisionTemperature : public qapp::ZemtraFpgaObject {
public:
    static constexpr size_t c_adc_spi = 0x100;
    static constexpr size_t c_mux = 0x118;
    static constexpr size_t c_ts_spi = 0x180;
    // The block reaches past the last device register set (the receive
    // words of the ADT7301s' controller end at 0x1A0).
    static constexpr int c_blockSize = 0x1A0;
    static_assert(c_blockSize >= c_ts_spi + bmc::SpiBusControllerFpgaAmba::c_rxData +
                                     4 * (bmc::SpiBusControllerFpgaAmba::c_maxChipSelect + 1),
                  "the mapping reaches the last receive word of the ADT7301s' controller");
    static constexpr unsigned c_sensors_per_kind = 4;
    static constexpr double c_adc_reference = 2.5;

    HighPrecisionTemperature(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~HighPrecisionTemperature() override;

    // One read-only node per sensor, ts1 to ts4 and pt1 to pt4.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

    const std::vector<std::shared_ptr<Temperature>>& GetSensors() const { return m_sensors; }

private:
    std::vector<std::shared_ptr<Temperature>> m_sensors;
};
