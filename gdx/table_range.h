#pragma once
// Range check of the array accessors of the GDX blocks: [pos, pos + count)
// must lie within the table. A range beyond it is reported as the failed
// assertion bound (for example "end <= m_SuMatrix.size()") and clipped, so
// that no access goes past the table.

#include "platform/qstd/log.h"

#include <cstddef>

namespace gdx {

inline bool ClipToTable(std::size_t size, std::size_t pos, std::size_t& count, const char* bound, const char* file,
                        int line, const char* function)
{
    if (pos <= size && count <= size - pos) {
        return true;
    }
    qstd::LoggedAssert(file, line, function, bound);
    count = pos < size ? size - pos : 0;
    return false;
}

} // namespace gdx

#define GDX_CLIP_TO_TABLE(size, pos, count, bound)                                                                     \
    ::gdx::ClipToTable((size), (pos), (count), (bound), __FILE__, __LINE__, __PRETTY_FUNCTION__)
