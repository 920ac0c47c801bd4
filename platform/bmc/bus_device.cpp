#include "platform/bmc/bus_device.h"

#include "platform/qstd/trace.h"

namespace bmc {

void BusDevice::SetDeviceState(BusDeviceState_e state)
{
    QSTD_TRACE(4, m_name << ": device state " << static_cast<unsigned>(state));
    m_state.store(state);
}

void BusDevice::SetTransfer(Transfer transfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transfer = std::move(transfer);
}

bool BusDevice::Write(uint8_t reg, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfer ? m_transfer(reg, value) : true;
}

bool Si57x::SetVcxoFreq(const unsigned& freq)
{
    if (freq < c_minFreq || freq > c_maxFreq) {
        QSTD_TRACE(1, GetDeviceName() << ": frequency " << freq << " out of range.");
        return false;
    }
    // One write of the whole frequency to register 7, where the divider words begin.
    if (!Write(7, freq)) {
        return false;
    }
    m_freq.store(freq);
    return true;
}

bool Si5338::Si5338StopDevice()
{
    // Register 230 bit 4: disable all outputs.
    if (!Write(230, 0x10)) {
        return false;
    }
    m_stopped.store(true);
    SetDeviceState(eDeviceOff);
    return true;
}

} // namespace bmc
