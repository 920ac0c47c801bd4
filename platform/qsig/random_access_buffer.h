#pragma once
// A buffer that on-demand sources read at any byte position, from several
// threads at once.

#include "platform/qsig/signal_types.h"

#include <cstddef>
#include <memory>

namespace qsig {

class RandomAccessBuffer {
public:
    // True: positions wrap at the end of a region; false: reads stop there.
    virtual bool IsCircular() const { return false; }
    virtual ~RandomAccessBuffer() = default;

    // Size in bytes; constant while the buffer is open.
    virtual size_t GetByteSize() const = 0;
    virtual bool Open() { return true; }
    virtual bool Close() { return true; }
    // Copies up to bytes from byteOffset on into destination; returns the
    // bytes delivered, 0 when nothing more is there. Throws qstd::Exception
    // when the read fails.
    virtual size_t Read(void* destination, size_t bytes, size_t byteOffset, RequestPriorityLevel_e priority) = 0;
};

using RandomAccessBufferPtr = std::shared_ptr<RandomAccessBuffer>;

} // namespace qsig
