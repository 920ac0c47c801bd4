// Attenuator table parser: every input is either taken, giving a whole table
// within the limits, or refused with the message of the missing level and the
// table left as it was.
#include "acquisition/gain_tables.h"

#include "platform/qstd/sink.h"
#include "platform/qstd/trace.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Keeps the last level-1 trace text.
class LastError : public qstd::Sink {
public:
    void Write(const qstd::Record& record) override
    {
        if (record.kind == qstd::Record::Kind::Trace && record.level == 1) {
            text = record.text;
        }
    }
    std::string text;
};

std::shared_ptr<LastError> Install()
{
    auto sink = std::make_shared<LastError>();
    qstd::TraceFile::GetInstance().SetSink(sink);
    qstd::TraceFile::GetInstance().SetLevel(1);
    qstd::TraceFile::m_enabled = true;
    return sink;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::shared_ptr<LastError> sink = Install();
    sink->text.clear();
    static const std::string name = "gain3.conf";
    static const std::string c_missing = name + ": missing entry for power level ";
    AttTable table;
    for (tAttLevel& row : table) {
        row = {7, 0.25};
    }
    const AttTable before = table;
    const bool taken = ParseAttTable(std::string(reinterpret_cast<const char*>(data), size), name, table);
    if (taken) {
        for (const tAttLevel& row : table) {
            if (row.att > c_attMax || !(row.hysteresis >= 0.0 && row.hysteresis <= c_hysteresisMax)) {
                __builtin_trap();
            }
        }
    } else if (std::memcmp(&before, &table, sizeof table) != 0 ||
               sink->text.compare(0, c_missing.size(), c_missing) != 0 || !EndsWith(sink->text, " dBm...")) {
        __builtin_trap();
    }
    return 0;
}
