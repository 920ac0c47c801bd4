#pragma once
// Resolution of the instrument's absolute paths ("/var/opt/zemtra/cfg/...",
// "/tmp/...") under one configurable root, so that a run off the instrument
// (tests, the demonstration server) never writes outside its own directory.

#include <cstddef>
#include <string>

namespace qapp {

// Sets the root under which absolute instrument paths resolve ("/" by default).
void SetInstrumentRoot(const std::string& root);
std::string InstrumentRoot();

// The path under the root. Relative paths are returned unchanged; with the
// root "/" every path is returned unchanged. For paths the system builds
// itself; a path that a client or the configuration names is read with
// ReadInstrumentFile.
std::string InstrumentPath(const std::string& path);

// Longest path a client may name (PATH_MAX less the terminating NUL).
constexpr std::size_t c_maxInstrumentPath = 4095;

// Reads the regular file at an instrument path that a client or the
// configuration names, at most maxBytes long, into text. The path must be
// absolute, at most c_maxInstrumentPath long, and its ".." must not climb
// above the root; it is resolved inside the root, so that no link leads out
// of it either (an absolute link target is taken from the root). Returns 0,
// else an error number with why in reason: EINVAL "not an absolute path",
// ENAMETOOLONG "longer than 4095 characters", EACCES "leads out of the
// instrument root", or those of qstd::InputFile (a file that is missing, no
// regular file, or too large). text is empty after a failure.
int ReadInstrumentFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason);

// True when path is one that ReadInstrumentFile takes but nothing is there:
// the file, a folder on its way or a link's target is missing (as on a mount
// not made yet). False for a file that is there, whatever its kind, and for a
// path that ReadInstrumentFile refuses unread.
bool InstrumentFileMissing(const std::string& path);

} // namespace qapp
