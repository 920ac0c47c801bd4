#pragma once
// Simulated event device of one board. The chassis (or a test) feeds raw
// 32-byte event records; the board's event stream reads them one at a time,
// blocking with an optional time-out; closing the device wakes a blocked
// read. Request records written to the device go to a handler that the
// chassis installs, so that it can answer them later.
//
// Devices register themselves by name so that the platform's event streams
// find the device of their board.

#include "sim/machine_clock.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

// A raw 32-byte event record: word 0 the event id (a request record carries
// its request code in bytes 4-7), word 1 a count, word 2 the LMT, word 3 a code.
using EventRecord = std::array<uint64_t, 4>;

class EventDevice {
public:
    // Most records kept unread; more are dropped and counted.
    static constexpr std::size_t c_capacity = 4096;

    enum ReadResult_e { c_readOk = 0, c_readTimeout = 1, c_readClosed = 2 };

    // A device with a clock of its own, registered under name unless empty.
    explicit EventDevice(const std::string& name = std::string());
    // A device that reads the LMT from the board's clock (which must outlive it).
    EventDevice(const std::string& name, const MachineClock& clock);
    ~EventDevice();
    EventDevice(const EventDevice&) = delete;
    EventDevice& operator=(const EventDevice&) = delete;

    // The registered device of that name, or null.
    static EventDevice* Find(const std::string& name);

    const std::string& Name() const { return m_name; }
    const MachineClock& Clock() const { return *m_clock; }
    // Current LMT of the board.
    uint64_t Now() const { return m_clock->Now(); }

    // Reader side. Records fed while the device is closed are discarded, as
    // a device without a reader does.
    void Open();
    // Wakes a blocked Read, which answers c_readClosed; unread records are dropped.
    void Close();
    bool IsOpen() const;
    // One record; waits without limit when timeout is zero.
    ReadResult_e Read(EventRecord& record, std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

    // Producer side: one event record.
    void Feed(const EventRecord& record);
    void Feed(uint64_t id, uint64_t count, uint64_t lmt, uint64_t code = 0) { Feed(EventRecord{id, count, lmt, code}); }

    // Request records written by the board's software.
    void SetRequestHandler(std::function<void(const EventRecord&)> handler);
    void WriteRequest(const EventRecord& record);
    // Control word written by the board's software (last value kept).
    void WriteControl(uint64_t value);
    uint64_t LastControl() const;

    // Counters: records fed while open, dropped as overflow, delivered,
    // discarded while closed, requests written.
    uint64_t Fed() const;
    uint64_t Dropped() const;
    uint64_t Delivered() const;
    uint64_t Discarded() const;
    uint64_t Requests() const;
    std::size_t Pending() const;

private:
    std::string m_name;
    std::unique_ptr<MachineClock> m_ownClock;
    const MachineClock* m_clock;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<EventRecord> m_records;
    bool m_open = false;
    uint64_t m_generation = 0; // bumped by Close, so a blocked read sees it
    uint64_t m_fed = 0;
    uint64_t m_dropped = 0;
    uint64_t m_delivered = 0;
    uint64_t m_discarded = 0;
    uint64_t m_requests = 0;
    uint64_t m_control = 0;

    std::mutex m_handlerMutex;
    std::function<void(const EventRecord&)> m_handler;
};

} // namespace sim
