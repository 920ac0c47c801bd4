// Fuzzes the chassis scenario loader: any text is parsed into a scenario or
// refused with a qstd::Exception; a parsed scenario builds its chassis
// (board memories, register initialisation) or is refused the same way. The
// same text as a file loads into the same scenario, or is refused.

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "sim/chassis.h"
#include "sim/scenario.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A file of this process that each input overwrites, unlinked at once (so
// no run leaves it behind) and loaded by its descriptor's name.
int ScratchFile()
{
    static const int fd = [] {
        char pattern[] = "/tmp/zv-scenario-fuzz-XXXXXX";
        const int made = ::mkstemp(pattern);
        if (made < 0) {
            std::abort();
        }
        ::unlink(pattern);
        return made;
    }();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = [] {
        qstd::Log::m_enabled = false;
        qstd::TraceFile::m_enabled = false;
        return true;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool parsed = false;
    sim::Scenario scenario;
    try {
        scenario = sim::Scenario::Parse(text, "fuzz");
        parsed = true;
        sim::Chassis chassis(scenario);
    } catch (const qstd::Exception&) {
        // Refused with a reason: what a bad file must get.
    }

    const int fd = ScratchFile();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        std::abort();
    }
    try {
        const sim::Scenario loaded = sim::Scenario::LoadFile("/proc/self/fd/" + std::to_string(fd));
        if (!parsed || !(loaded == scenario)) {
            std::abort(); // the file loader takes what the parser refuses, or reads another chassis
        }
    } catch (const qstd::Exception&) {
    }
    return 0;
}
