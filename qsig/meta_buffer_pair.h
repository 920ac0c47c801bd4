#pragma once
// One buffer of a signal as it travels from a producer to its clients: the
// atoms with their metadata, always handled through a shared pointer and
// shared by every queue that receives it.

#include "platform/qsig/signal_types.h"
#include "qsig/array.h"

#include <memory>
#include <utility>

namespace qsig {

template <typename T> struct MetaBufferPair {
    using Buffer = Array<T>;
    using MetaBufferPtr = std::shared_ptr<MetaBufferPair<T>>;

    MetaBufferPair() = default;
    MetaBufferPair(Buffer&& array, const SignalMeta& metadata) : data(std::move(array)), meta(metadata) {}

    Buffer data;
    SignalMeta meta;
};

} // namespace qsig
