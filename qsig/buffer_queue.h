#pragma once
// Plain bounded container of shared buffers, oldest first; no locking.

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "qsig/meta_buffer_pair.h"

#include <cstddef>
#include <deque>
#include <utility>

namespace qsig {

template <typename T> class BufferQueue {
public:
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;

    explicit BufferQueue(unsigned capacity = 0) : m_capacity(capacity) {}

    void Push(const MetaBufferPtr& buffer)
    {
        if (m_container.size() == m_capacity) {
            throw qstd::Exception("qsig: The queue is full.", true);
        }
        QSTD_ASSERT(m_container.size() <= m_capacity);
        m_container.push_back(buffer);
    }

    void Pop(MetaBufferPtr& buffer)
    {
        if (m_container.empty()) {
            throw qstd::Exception("qsig: The queue is empty.", true);
        }
        buffer = std::move(m_container.front());
        m_container.pop_front();
    }

    std::size_t Size() const { return m_container.size(); }
    bool IsEmpty() const { return m_container.empty(); }
    bool IsFull() const { return m_container.size() >= m_capacity; }
    unsigned Capacity() const { return m_capacity; }
    void Clear() { m_container.clear(); }

private:
    std::deque<MetaBufferPtr> m_container;
    unsigned m_capacity;
};

} // namespace qsig
