#pragma once
// Simulated stream device of a board (the SA and FA data streams): the
// chassis or a test feeds raw bytes, the platform's stream-device calls read
// whole atoms. A read waits until at least one atom is buffered or the
// device is closed; closing wakes it. Devices are found by path.
//
// A reader opens the device with the group it reads (the driver's DMA
// block); the acquisition then feeds whole groups only, so a reader of
// 1024-atom groups wakes once a group instead of at every feed.
//
// Bytes that the device drops (a feed that does not fit, or bytes that the
// acquisition tells it were lost, as an overwritten DMA buffer loses them)
// are counted, and a read tells those dropped right before the bytes it
// returns: a read stops short of a hole, so each hole lies before the first
// byte of some read, exactly where it was.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class StreamDevice {
public:
    enum ReadResult_e { c_readOk = 0, c_readTimeout = 1, c_readClosed = 2 };

    // Makes a device and registers it under path (replacing an older one).
    static std::shared_ptr<StreamDevice> Create(const std::string& path, std::size_t capacityBytes = 16u << 20);
    static std::shared_ptr<StreamDevice> Find(const std::string& path);
    static void Remove(const std::string& path);

    StreamDevice(const std::string& path, std::size_t capacityBytes);
    StreamDevice(const StreamDevice&) = delete;
    StreamDevice& operator=(const StreamDevice&) = delete;

    const std::string& Path() const { return m_path; }

    // Bytes fed while the device is closed are discarded. Open counts the
    // opens (one reader at a time); groupBytes is the size of the reader's
    // groups (0: none).
    void Open(std::size_t groupBytes = 0);
    void Close();
    bool IsOpen() const;
    // The open reader's group in bytes, 0 for none or a closed device.
    std::size_t GroupBytes() const;

    // Appends bytes; a feed that does not fit in the capacity is dropped whole.
    void Feed(const void* data, std::size_t bytes);
    // The same, taking the bytes over without a copy; lostBefore bytes (that
    // the caller never fed, lost by the device) lie before them, dropped.
    void Feed(std::vector<uint8_t>&& bytes, uint64_t lostBefore = 0);

    // Copies at most maxBytes, in whole units of unit bytes, into dest; got
    // is the byte count. Waits for one unit (without limit when timeout is 0).
    ReadResult_e Read(void* dest, std::size_t maxBytes, std::size_t unit, std::size_t& got,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    // The same; droppedBefore is the count of the bytes dropped between the
    // bytes read before and those of this read (0 when none were read).
    ReadResult_e Read(void* dest, std::size_t maxBytes, std::size_t unit, std::size_t& got, uint64_t& droppedBefore,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

    uint64_t BytesFed() const;
    uint64_t BytesRead() const;
    uint64_t BytesDropped() const;
    std::size_t BytesPending() const;
    uint64_t Opens() const;

private:
    const std::string m_path;
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    struct Chunk {
        std::vector<uint8_t> bytes;
        uint64_t droppedBefore; // bytes dropped between the chunk before and this one
    };
    std::deque<Chunk> m_chunks;
    std::size_t m_frontOffset = 0; // bytes of the first chunk already read
    std::size_t m_pending = 0;
    uint64_t m_droppedSince = 0; // bytes dropped after the last chunk kept
    bool m_open = false;
    std::size_t m_groupBytes = 0;
    uint64_t m_generation = 0;
    uint64_t m_fed = 0;
    uint64_t m_read = 0;
    uint64_t m_dropped = 0;
    uint64_t m_opens = 0;
};

} // namespace sim
