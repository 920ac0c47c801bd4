#pragma once
// Tracing: the trace file singleton, the level test, the record call and the
// scope tracer. A disabled trace costs a flag test and a level query; the
// message of a trace line is built only after both tests passed (see the
// QSTD_TRACE macro).

#include "platform/qstd/sink.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace qstd {

enum TraceLevel_e { TraceError = 1, TraceWarning = 2, TraceInfo = 3, TraceDetail = 4 };

class TraceFile {
public:
    static TraceFile& GetInstance();

    // Tracing on or off for the whole process.
    static std::atomic<bool> m_enabled;

    int GetLevel() const { return m_level.load(std::memory_order_relaxed); }
    void SetLevel(int level) { m_level.store(level, std::memory_order_relaxed); }

    // Replaces the destination; null restores standard error.
    void SetSink(std::shared_ptr<Sink> sink);
    std::shared_ptr<Sink> GetSink() const;

    // Writes one record; never throws.
    void Trace(int level, const char* function, const char* file, int line, const std::string& text);

private:
    TraceFile();
    std::atomic<int> m_level{2};
    mutable std::mutex m_mutex;
    std::shared_ptr<Sink> m_sink;
};

inline int TraceActiveLevel()
{
    return TraceFile::GetInstance().GetLevel();
}

// True when a record of this level would be written.
inline bool TraceOn(int level)
{
    return TraceFile::m_enabled.load(std::memory_order_relaxed) && TraceActiveLevel() >= level;
}

inline void TraceWrite(int level, const char* function, const char* file, int line, const std::string& text)
{
    TraceFile::GetInstance().Trace(level, function, file, line, text);
}

// Traces the entry and the exit of a scope at the detail level.
class TraceFnc {
public:
    TraceFnc(const char* function, const char* file, int line);
    ~TraceFnc();
    TraceFnc(const TraceFnc&) = delete;
    TraceFnc& operator=(const TraceFnc&) = delete;

private:
    const char* m_function;
    const char* m_file;
    int m_line;
    bool m_active;
};

} // namespace qstd

// Builds the message with a string stream only when the record would be written.
#define QSTD_TRACE(level, message)                                                                                     \
    do {                                                                                                               \
        if (::qstd::TraceOn(level)) {                                                                                  \
            std::ostringstream qstd_trace_os_;                                                                         \
            qstd_trace_os_ << message;                                                                                 \
            ::qstd::TraceWrite(level, __PRETTY_FUNCTION__, __FILE__, __LINE__, qstd_trace_os_.str());                  \
        }                                                                                                              \
    } while (0)

#define QSTD_TRACE_FNC() ::qstd::TraceFnc qstd_trace_fnc_(__PRETTY_FUNCTION__, __FILE__, __LINE__)
