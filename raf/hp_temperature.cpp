#include "raf/hp_temperature.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_fnc_node.h"

#include <thread>

const std::vector<const char*> c_tsNames = {"ts1", "ts2", "ts3", "ts4"};
const std::vector<const char*> c_ptNames = {"pt1", "pt2", "pt3", "pt4"};

constexpr std::chrono::milliseconds TemperaturePt::c_switch_wait;

TemperatureTs::TemperatureTs(const std::string& name, std::shared_ptr<bmc::SpiBusControllerFpgaAmba> spi,
                             std::shared_ptr<bmc::ADT7301> sensor)
    : Temperature(name), m_spi(std::move(spi)), m_sensor(std::move(sensor))
{
}

bool TemperatureTs::Read(double& value) const
{
    float reading = 0.0f;
    bool failed = true;
    m_sensor->GetTemperature(reading, failed);
    if (failed) {
        return false;
    }
    value = static_cast<double>(reading);
    return true;
}

TemperaturePt::TemperaturePt(const std::string& name, std::shared_ptr<bmc::AnalogMux> mux,
                             std::shared_ptr<bmc::SpiBusControllerFpgaAmba> spi, std::shared_ptr<bmc::AD7787> adc,
                             unsigned input, std::shared_ptr<std::mutex> muxLock)
    : Temperature(name), m_mux(std::move(mux)), m_spi(std::move(spi)), m_adc(std::move(adc)), m_input(input),
      m_mux_lock(std::move(muxLock))
{
}

bool TemperaturePt::Read(double& value) const
{
    std::lock_guard<std::mutex> lock(*m_mux_lock);
    if (m_mux->GetInput() != m_input) {
        // The ADC's conversion waits for the new input to settle; under the
        // lock no other sensor switches the multiplexer before it is done.
        std::this_thread::sleep_for(c_switch_wait);
        m_mux->SetInput(m_input);
    }
    float reading = 0.0f;
    bool failed = true;
    m_adc->GetTemperature(reading, failed);
    if (failed) {
        return false;
    }
    value = static_cast<double>(reading);
    return true;
}

HighPrecisionTemperature::HighPrecisionTemperature(qapp::ZemtraBoard& board, volatile FPGAMem_t* base,
                                                   const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name)
{
    QSTD_TRACE_FNC();
    auto tsSpi = std::make_shared<bmc::SpiBusControllerFpgaAmba>("spi_controller", 4, false, base + c_ts_spi);
    for (unsigned i = 0; i < c_sensors_per_kind; ++i) {
        auto sensor = std::make_shared<bmc::ADT7301>(tsSpi, "ADT7301", i);
        m_sensors.push_back(std::make_shared<TemperatureTs>(c_tsNames[i], tsSpi, sensor));
    }
    auto mux = std::make_shared<bmc::AnalogMux>(base + c_mux, "analog_mux", c_sensors_per_kind);
    auto adcSpi = std::make_shared<bmc::SpiBusControllerFpgaAmba>("spi_controller", 1, false, base + c_adc_spi);
    auto adc = std::make_shared<bmc::AD7787>(adcSpi, "AD7787", 0, c_adc_reference);
    auto muxLock = std::make_shared<std::mutex>();
    for (unsigned i = 0; i < c_sensors_per_kind; ++i) {
        m_sensors.push_back(std::make_shared<TemperaturePt>(c_ptNames[i], mux, adcSpi, adc, i, muxLock));
    }
}

HighPrecisionTemperature::~HighPrecisionTemperature()
{
    QSTD_TRACE_FNC();
}

void HighPrecisionTemperature::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    for (std::shared_ptr<Temperature>& sensor : m_sensors) {
        node->Add(mci::factory::Create<mci::LocalNodeStructure, qreg::RegFncNode<double>>(
            sensor->GetName(), sensor, 0, &Temperature::Read, c_readOnly));
    }
}
