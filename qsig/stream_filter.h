#pragma once
// Filter of a client queue: applied by the producer to every buffer before
// it is queued. It returns the buffer to queue (the same one or a new one),
// or an empty pointer to drop it.

#include "qsig/meta_buffer_pair.h"

namespace qsig {

template <typename T> class StreamFilter {
public:
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;

    virtual MetaBufferPtr Filter(const MetaBufferPtr& buffer) = 0;
    virtual ~StreamFilter() = default;
};

} // namespace qsig
