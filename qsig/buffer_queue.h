#pragma once
// Plain bounded container of shared buffers, oldest first; no locking. Each
// entry carries a number of its own beside the buffer (its owner's: the
// buffer may be shared with other containers).

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "qsig/meta_buffer_pair.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace qsig {

template <typename T> class BufferQueue {
public:
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;

    explicit BufferQueue(unsigned capacity = 0) : m_capacity(capacity) {}

    void Push(const MetaBufferPtr& buffer, uint64_t number = 0)
    {
        if (m_container.size() == m_capacity) {
            throw qstd::Exception("qsig: The queue is full.", true);
        }
        QSTD_ASSERT(m_container.size() <= m_capacity);
        m_container.push_back(Entry{buffer, number});
    }

    void Pop(MetaBufferPtr& buffer)
    {
        uint64_t number = 0;
        Pop(buffer, number);
    }

    // The oldest buffer and the number it was pushed with.
    void Pop(MetaBufferPtr& buffer, uint64_t& number)
    {
        if (m_container.empty()) {
            throw qstd::Exception("qsig: The queue is empty.", true);
        }
        Entry& front = m_container.front();
        buffer = std::move(front.buffer);
        number = front.number;
        m_container.pop_front();
    }

    std::size_t Size() const { return m_container.size(); }
    bool IsEmpty() const { return m_container.empty(); }
    bool IsFull() const { return m_container.size() >= m_capacity; }
    unsigned Capacity() const { return m_capacity; }
    void Clear() { m_container.clear(); }

private:
    struct Entry {
        MetaBufferPtr buffer;
        uint64_t number;
    };
    std::deque<Entry> m_container;
    unsigned m_capacity;
};

} // namespace qsig
