#include "platform/qstd/log.h"

#include "platform/qstd/trace.h"

namespace qstd {

// ---- trace file -------------------------------------------------------------

std::atomic<bool> TraceFile::m_enabled{false};

TraceFile::TraceFile() : m_sink(StreamSink::StdErr()) {}

TraceFile& TraceFile::GetInstance()
{
    static TraceFile instance;
    return instance;
}

void TraceFile::SetSink(std::shared_ptr<Sink> sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = sink ? std::move(sink) : StreamSink::StdErr();
}

std::shared_ptr<Sink> TraceFile::GetSink() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sink;
}

void TraceFile::Trace(int level, const char* function, const char* file, int line, const std::string& text)
{
    try {
        Record r;
        r.kind = Record::Kind::Trace;
        r.level = level;
        r.function = function ? function : "";
        r.file = file ? file : "";
        r.line = line;
        r.text = text;
        r.thread = std::this_thread::get_id();
        r.time = std::chrono::system_clock::now();
        GetSink()->Write(r);
    } catch (...) {
        // A trace line is never worth a failure of the caller.
    }
}

TraceFnc::TraceFnc(const char* function, const char* file, int line)
    : m_function(function), m_file(file), m_line(line), m_active(TraceOn(TraceDetail))
{
    if (m_active) {
        TraceWrite(TraceDetail, m_function, m_file, m_line, "Enter");
    }
}

TraceFnc::~TraceFnc()
{
    if (m_active && TraceOn(TraceDetail)) {
        TraceWrite(TraceDetail, m_function, m_file, m_line, "Exit");
    }
}

// ---- log ----------------------------------------------------------------------

std::atomic<bool> Log::m_enabled{true};

Log::Log() : m_sink(StreamSink::StdErr()) {}

Log& Log::GetInstance()
{
    static Log instance;
    return instance;
}

void Log::SetSink(std::shared_ptr<Sink> sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = sink ? std::move(sink) : StreamSink::StdErr();
}

std::shared_ptr<Sink> Log::GetSink() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sink;
}

void Log::Write(int severity, const std::string& text)
{
    try {
        Record r;
        r.kind = Record::Kind::Log;
        r.level = severity;
        r.text = text;
        r.thread = std::this_thread::get_id();
        r.time = std::chrono::system_clock::now();
        GetSink()->Write(r);
    } catch (...) {
        // Logging never fails its caller.
    }
}

void Log::Info(const std::string& text)
{
    Write(LogInfoLevel, text);
}
void Log::Warning(const std::string& text)
{
    Write(LogWarningLevel, text);
}
void Log::Error(const std::string& text)
{
    Write(LogErrorLevel, text);
}
void Log::Critical(const std::string& text)
{
    Write(LogCriticalLevel, text);
}

// ---- wrappers -----------------------------------------------------------------

namespace {
void TraceAndLog(int traceLevel, const char* self, const std::string& text, void (Log::*logFn)(const std::string&))
{
    if (TraceOn(traceLevel)) {
        TraceWrite(traceLevel, self, "log", __LINE__, text);
    }
    if (Log::m_enabled.load(std::memory_order_relaxed)) {
        (Log::GetInstance().*logFn)(text);
    }
}
} // namespace

void LogInfo(const std::string& text)
{
    TraceAndLog(TraceInfo, "void qstd::LogInfo(const std::string&)", text, &Log::Info);
}

void LogWarning(const std::string& text)
{
    TraceAndLog(TraceWarning, "void qstd::LogWarning(const std::string&)", text, &Log::Warning);
}

void LogError(const std::string& text)
{
    TraceAndLog(TraceError, "void qstd::LogError(const std::string&)", text, &Log::Error);
}

void LogCritical(const std::string& text)
{
    TraceAndLog(TraceError, "void qstd::LogCritical(const std::string&)", text, &Log::Critical);
}

void LoggedAssert(const char* file, int line, const char* function, const char* text)
{
    const std::string message = std::string("Assertion condition: ") + (text ? text : "");
    if (TraceOn(TraceError)) {
        TraceWrite(TraceError, function, file, line, message);
    }
    if (Log::m_enabled.load(std::memory_order_relaxed)) {
        Log::GetInstance().Error(message);
    }
}

} // namespace qstd
