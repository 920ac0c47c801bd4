// Fuzzes the chassis scenario loader: any text is parsed into a scenario or
// refused with a qstd::Exception; a parsed scenario builds its chassis
// (board memories, register initialisation) or is refused the same way.

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "sim/chassis.h"
#include "sim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = [] {
        qstd::Log::m_enabled = false;
        qstd::TraceFile::m_enabled = false;
        return true;
    }();
    (void)quiet;
    try {
        sim::Scenario scenario = sim::Scenario::Parse(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
        sim::Chassis chassis(std::move(scenario));
    } catch (const qstd::Exception&) {
        // Refused with a reason: what a bad file must get.
    }
    return 0;
}
