#pragma once
// Devices behind a board's serial buses and the clock chips among them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace bmc {

enum BusDeviceState_e : unsigned {
    eDeviceOff = 0,
    eDeviceOn = 1,
};

// One device on a bus. The transfer function carries a register write to the
// bus controller (register, value); without one the device only keeps its state.
class BusDevice {
public:
    using Transfer = std::function<bool(uint8_t reg, uint32_t value)>;

    BusDevice(std::string name, uint8_t address) : m_name(std::move(name)), m_address(address) {}
    virtual ~BusDevice() = default;

    const std::string& GetDeviceName() const { return m_name; }
    uint8_t GetAddress() const { return m_address; }

    void SetDeviceState(BusDeviceState_e state);
    BusDeviceState_e GetDeviceState() const { return m_state.load(); }

    void SetTransfer(Transfer transfer);

protected:
    bool Write(uint8_t reg, uint32_t value);

private:
    std::string m_name;
    uint8_t m_address;
    std::atomic<BusDeviceState_e> m_state{eDeviceOff};
    std::mutex m_mutex;
    Transfer m_transfer;
};

// Programmable crystal oscillator.
class Si57x : public BusDevice {
public:
    // Frequencies the chip can be programmed to.
    static constexpr unsigned c_minFreq = 10000000;
    static constexpr unsigned c_maxFreq = 810000000;

    using BusDevice::BusDevice;
    // False (frequency unchanged) outside the chip's range.
    bool SetVcxoFreq(const unsigned& freq);
    unsigned GetVcxoFreq() const { return m_freq.load(); }

private:
    std::atomic<unsigned> m_freq{0};
};

// Clock generator.
class Si5338 : public BusDevice {
public:
    using BusDevice::BusDevice;
    // Disables all outputs and leaves the device off.
    bool Si5338StopDevice();
    bool IsStopped() const { return m_stopped.load(); }

private:
    std::atomic<bool> m_stopped{false};
};

} // namespace bmc
