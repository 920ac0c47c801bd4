#pragma once
// Resolution of the instrument's absolute paths ("/var/opt/zemtra/cfg/...",
// "/tmp/...") under one configurable root, so that a run off the instrument
// (tests, the demonstration server) never writes outside its own directory.

#include <string>

namespace qapp {

// Sets the root under which absolute instrument paths resolve ("/" by default).
void SetInstrumentRoot(const std::string& root);
std::string InstrumentRoot();

// The path under the root. Relative paths are returned unchanged; with the
// root "/" every path is returned unchanged.
std::string InstrumentPath(const std::string& path);

} // namespace qapp
