#pragma once
// Queue filter of event consumers: keeps only the events whose id is in its
// set. Its maker fills the set before giving it to a client's queue.

#include "platform/qsig/event_struct.h"
#include "qsig/stream_filter.h"

#include <cstdint>
#include <initializer_list>
#include <set>

namespace qsig {

class EventFilter : public StreamFilter<EventTraits> {
public:
    EventFilter() = default;
    EventFilter(std::initializer_list<uint64_t> ids) : m_ids(ids) {}

    void Add(uint64_t id) { m_ids.insert(id); }
    bool Contains(uint64_t id) const { return m_ids.count(id) != 0; }
    const std::set<uint64_t>& Ids() const { return m_ids; }

    // The same buffer when every event passes, an empty pointer when none
    // does, otherwise a new buffer of the events that pass.
    MetaBufferPtr Filter(const MetaBufferPtr& buffer) override;

private:
    std::set<uint64_t> m_ids;
};

} // namespace qsig
