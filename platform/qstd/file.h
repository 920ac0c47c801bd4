#pragma once
// Reading a whole file named from outside (a client or a configuration): a
// FIFO or a device would block or never end, and a huge file would eat the
// memory, so only a regular file up to a size bound is read.

#include <cstddef>
#include <string>

namespace qstd {

// Reads the regular file at path, at most maxBytes long, into text. Returns
// 0 on success, else an error number (the system's, EINVAL for what is not a
// regular file, EFBIG for a file larger than maxBytes) with why in reason
// ("No such file or directory", "not a regular file", "larger than N
// bytes"); text is then empty. The file is opened without blocking and
// checked on the open file.
int ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason);

} // namespace qstd
