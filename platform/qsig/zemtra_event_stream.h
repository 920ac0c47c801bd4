#pragma once
// Event stream of one board: an active stream of EventStruct atoms whose
// input is the board's event device. Each consumer has its own client with
// an EventFilter on its queue. The stream also writes request records and
// a control word to the device and tells the board's current machine time.

#include "platform/qsig/event_filter.h"
#include "platform/qsig/event_struct.h"
#include "platform/qsig/zemtra_machine_time.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {
class EventDevice;
}

namespace qsig {

class ZemtraEventStream : public Stream<EventTraits> {
public:
    // device names the board's event device; when no device of that name
    // exists, the stream makes one of its own under that name (so a test can
    // find and feed it). active false makes a passive stream.
    ZemtraEventStream(const std::string& name, const std::string& device, bool active = true,
                      const std::string& board = std::string());
    ~ZemtraEventStream() override;

    class Client : public StreamClient<EventTraits> {
    public:
        Client(ZemtraEventStream* stream, const std::string& name, unsigned length);
        // The board's current LMT; 0 once the stream shuts down.
        ZemtraMachineTime GetCurrentMachineTime() const;

    private:
        ZemtraEventStream* m_events;
    };

    ZemtraMachineTime GetCurrentMachineTime() const;
    // Hands one 32-byte request record to the board's event device.
    void WriteEvent(const EventStruct& record);
    // Writes the device's control word.
    void WriteControl(uint64_t value);

    const std::string& GetDeviceName() const { return m_deviceName; }
    // The device's rows while it is open: {device name, events delivered,
    // events dropped by the device, 32}.
    SignalStats GetStatistics() const override;

protected:
    void OpenInput() override;
    void CloseInput() override;
    SuccessCode_e ReadInput(Buffer& buffer) override;

private:
    sim::EventDevice* Device() const;

    const std::string m_deviceName;
    std::unique_ptr<sim::EventDevice> m_ownDevice;
    // The device while the input is open; null once closed, so that a read
    // woken by the close knows the stop was asked for.
    std::atomic<sim::EventDevice*> m_open{nullptr};
};

} // namespace qsig
