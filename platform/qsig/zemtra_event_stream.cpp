#include "platform/qsig/zemtra_event_stream.h"

#include "platform/qstd/trace.h"
#include "sim/event_device.h"

#include <cstring>

namespace qsig {

namespace {

// Component names of the event atom.
const bool c_eventNamesSet = (EventTraits::names = {"id", "count", "lmt", "code"}, true);

sim::EventRecord ToRecord(const EventStruct& e)
{
    return sim::EventRecord{e.id, e.count, e.lmt, e.code};
}

} // namespace

ZemtraEventStream::ZemtraEventStream(const std::string& name, const std::string& device, bool active,
                                     const std::string& board)
    : Stream<EventTraits>(name, board, 1, active ? eActive : ePassive), m_deviceName(device)
{
    (void)c_eventNamesSet;
    if (sim::EventDevice::Find(m_deviceName) == nullptr) {
        m_ownDevice = std::make_unique<sim::EventDevice>(m_deviceName);
    }
}

ZemtraEventStream::~ZemtraEventStream()
{
    ShutDown();
}

sim::EventDevice* ZemtraEventStream::Device() const
{
    sim::EventDevice* device = sim::EventDevice::Find(m_deviceName);
    return device != nullptr ? device : m_ownDevice.get();
}

ZemtraMachineTime ZemtraEventStream::GetCurrentMachineTime() const
{
    sim::EventDevice* device = Device();
    return ZemtraMachineTime(device != nullptr ? device->Now() : 0);
}

void ZemtraEventStream::WriteEvent(const EventStruct& record)
{
    QSTD_TRACE(4, GetName() << ": Writing request record, word 0: " << record.id << ", LMT: " << record.lmt);
    if (sim::EventDevice* device = Device()) {
        device->WriteRequest(ToRecord(record));
    }
}

void ZemtraEventStream::WriteControl(uint64_t value)
{
    if (sim::EventDevice* device = Device()) {
        device->WriteControl(value);
    }
}

SignalStats ZemtraEventStream::GetStatistics() const
{
    sim::EventDevice* device = m_open.load();
    if (device == nullptr) {
        return {};
    }
    return {SignalStatItem{m_deviceName, device->Delivered(), device->Dropped(), EventTraits::c_atomSize}};
}

void ZemtraEventStream::OpenInput()
{
    QSTD_TRACE_FNC();
    sim::EventDevice* device = Device();
    if (device == nullptr) {
        throw qstd::Exception("qsig: Event device " + m_deviceName + " not found.", true);
    }
    device->Open();
    m_open.store(device);
}

void ZemtraEventStream::CloseInput()
{
    QSTD_TRACE_FNC();
    if (sim::EventDevice* device = m_open.exchange(nullptr)) {
        device->Close();
    }
}

SuccessCode_e ZemtraEventStream::ReadInput(Buffer& buffer)
{
    sim::EventDevice* device = m_open.load();
    if (device == nullptr) {
        return eNotOpen;
    }
    if (buffer.GetLength() == 0) {
        return eBadRequest;
    }
    sim::EventRecord record{};
    switch (device->Read(record)) {
    case sim::EventDevice::c_readOk:
        break;
    case sim::EventDevice::c_readTimeout:
        buffer.Resize(0);
        return eSuccess;
    case sim::EventDevice::c_readClosed:
        // Closed by our own stop: nothing more to read. Closed behind our
        // back: the input is gone.
        buffer.Resize(0);
        return m_open.load() == nullptr ? eSuccess : eNotOpen;
    }
    EventStruct& e = buffer[0];
    e.id = record[0];
    e.count = record[1];
    e.lmt = record[2];
    e.code = record[3];
    buffer.Resize(1);
    return eSuccess;
}

ZemtraEventStream::Client::Client(ZemtraEventStream* stream, const std::string& name, unsigned length)
    : StreamClient<EventTraits>(stream, name, length), m_events(stream)
{
}

ZemtraMachineTime ZemtraEventStream::Client::GetCurrentMachineTime() const
{
    // Readers of the shared lock can keep a shutdown out: once the stream is
    // closing, the time is asked no more.
    if (m_life->closing.load()) {
        return ZemtraMachineTime(0);
    }
    std::shared_lock<std::shared_mutex> life(m_life->mutex);
    if (m_events == nullptr || !m_life->alive) {
        return ZemtraMachineTime(0);
    }
    return m_events->GetCurrentMachineTime();
}

} // namespace qsig
