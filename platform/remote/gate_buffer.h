#pragma once
// remote::GateBuffer: the bytes one side of a gate connection holds, taken
// from the front and added at the end, in storage kept from message to
// message (grown as bytes arrive, given back above a size once emptied).

#include <cstddef>
#include <cstring>
#include <memory>

namespace remote {

class GateBuffer {
public:
    const unsigned char* Data() const { return m_bytes.get() + m_begin; }
    std::size_t Size() const { return m_end - m_begin; }
    bool Empty() const { return m_end == m_begin; }
    std::size_t Capacity() const { return m_capacity; }

    // Room for at least count bytes after the last: where they go.
    unsigned char* Reserve(std::size_t count)
    {
        if (m_capacity - m_end >= count) {
            return m_bytes.get() + m_end;
        }
        const std::size_t size = Size();
        if (m_capacity - size >= count && m_begin > 0) {
            std::memmove(m_bytes.get(), Data(), size);
        } else {
            std::size_t capacity = m_capacity > 0 ? m_capacity : count;
            while (capacity - size < count) {
                capacity *= 2;
            }
            std::unique_ptr<unsigned char[]> bytes(new unsigned char[capacity]);
            if (size > 0) {
                std::memcpy(bytes.get(), Data(), size);
            }
            m_bytes = std::move(bytes);
            m_capacity = capacity;
        }
        m_begin = 0;
        m_end = size;
        return m_bytes.get() + m_end;
    }

    // count bytes were written where Reserve said.
    void Commit(std::size_t count) { m_end += count; }

    void Append(const unsigned char* bytes, std::size_t count)
    {
        std::memcpy(Reserve(count), bytes, count);
        Commit(count);
    }

    void Consume(std::size_t count)
    {
        m_begin += count;
        if (m_begin == m_end) {
            m_begin = m_end = 0;
        }
    }

    void Clear() { m_begin = m_end = 0; }

    // Takes count bytes out from offset on (from the first byte); the bytes
    // after them move up.
    void Erase(std::size_t offset, std::size_t count)
    {
        unsigned char* at = m_bytes.get() + m_begin + offset;
        std::memmove(at, at + count, Size() - offset - count);
        m_end -= count;
        if (m_begin == m_end) {
            m_begin = m_end = 0;
        }
    }

    // Keeps the first count bytes only.
    void Truncate(std::size_t count)
    {
        if (count < Size()) {
            m_end = m_begin + count;
        }
        if (m_begin == m_end) {
            m_begin = m_end = 0;
        }
    }

    // Gives the storage back when it is empty and larger than keep.
    void Trim(std::size_t keep)
    {
        if (Empty() && m_capacity > keep) {
            m_bytes.reset();
            m_capacity = 0;
        }
    }

private:
    std::unique_ptr<unsigned char[]> m_bytes;
    std::size_t m_capacity = 0;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace remote
