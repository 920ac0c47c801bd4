#pragma once
// The ORB library the server runs with. The remote service implements the
// ORB's transport interface (omniORB4/giopEndpoint.h, which the ORB calls a
// proprietary interface of its own), reads some of its internals
// (orb_adapter.cpp) and relies on how it keeps and hands out its connections
// (orb_transport.cpp, remote_outgoing.cpp); all of it was verified with
// omniORB 4.2, which cmake/omniorb.cmake requires of the headers it builds
// with. A library of another version may lay out or use the same classes
// differently where no compiler or linker sees it: the library loaded at
// run time must be of the major and minor version of those headers.

#include <string>

namespace remote {

// The ORB version of the headers the server was built with ("4.2.5").
const char* BuiltOrbVersion();

// Empty when an ORB library of version running ("4.2.5", as
// omniORB::versionString() gives it) may serve a server built with the ORB
// headers of version built: the same major and minor version. Otherwise
// the refusal, one line that names both.
std::string OrbVersionRefusal(const std::string& running, const std::string& built);

// Throws qstd::Exception with the refusal when the ORB library loaded is of
// another version than the headers built with; before the ORB starts.
void RequireBuiltOrbVersion();

} // namespace remote
