#include "platform/remote/orb_version.h"

#include "platform/qstd/exception.h"

#include <omniORB4/CORBA.h>

#include <cctype>
#include <cstddef>

// The version of the ORB headers, read from them by cmake/omniorb.cmake.
#ifndef ZV_OMNIORB_HEADER_VERSION
#error "ZV_OMNIORB_HEADER_VERSION (the ORB headers' version) is set by the build"
#endif

namespace remote {

namespace {

// The major and minor version at the start of a version ("4.2", "4.2.5",
// "4.2.5-rc1"); false when it starts otherwise.
bool MajorMinor(const std::string& version, std::string& majorMinor)
{
    std::size_t at = 0;
    for (int part = 0; part < 2; ++part) {
        const std::size_t start = at;
        while (at < version.size() && std::isdigit(static_cast<unsigned char>(version[at])) != 0) {
            ++at;
        }
        if (at == start) {
            return false;
        }
        if (part == 0) {
            if (at == version.size() || version[at] != '.') {
                return false;
            }
            ++at;
        }
    }
    if (at < version.size() && version[at] != '.' && version[at] != '-') {
        return false; // "4.2x", "4.2 beta"
    }
    majorMinor = version.substr(0, at);
    return true;
}

} // namespace

const char* BuiltOrbVersion()
{
    return ZV_OMNIORB_HEADER_VERSION;
}

std::string OrbVersionRefusal(const std::string& running, const std::string& built)
{
    std::string builtSeries;
    std::string runningSeries;
    const bool known = MajorMinor(built, builtSeries);
    if (known && MajorMinor(running, runningSeries) && runningSeries == builtSeries) {
        return std::string();
    }
    return "Remote export: the ORB library is omniORB " + (running.empty() ? std::string("(no version)") : running) +
           ", but this server was built and verified with omniORB " +
           (known ? builtSeries + " (" + built + ")" : built) + " and runs with " +
           (known ? builtSeries + ".x" : "that version") + " only.";
}

void RequireBuiltOrbVersion()
{
    const std::string refusal = OrbVersionRefusal(omniORB::versionString(), BuiltOrbVersion());
    if (!refusal.empty()) {
        throw qstd::Exception(refusal, true);
    }
}

} // namespace remote
