#include "platform/qsig/event_filter.h"

#include <memory>

namespace qsig {

EventFilter::MetaBufferPtr EventFilter::Filter(const MetaBufferPtr& buffer)
{
    if (!buffer) {
        return nullptr;
    }
    const Array<EventTraits>& data = buffer->data;
    const unsigned n = data.GetLength();
    unsigned passing = 0;
    for (unsigned i = 0; i < n; ++i) {
        passing += Contains(data[i].id) ? 1 : 0;
    }
    if (passing == n) {
        return buffer;
    }
    if (passing == 0) {
        return nullptr;
    }
    Array<EventTraits> kept(data.GetTraits(), 0);
    kept.Reallocate(passing);
    for (unsigned i = 0; i < n; ++i) {
        if (Contains(data[i].id)) {
            kept.Append(data.GetAtom(i), 1);
        }
    }
    return std::make_shared<MetaBufferPair<EventTraits>>(std::move(kept), buffer->meta);
}

} // namespace qsig
