#pragma once
// Test aid: routes the log and the trace into one capture sink for the life of
// the object, and restores sinks, flags and level afterwards.

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <memory>

namespace qstd {

class CaptureScope {
public:
    CaptureScope(bool logOn = true, bool traceOn = true, int traceLevel = TraceDetail)
        : m_sink(std::make_shared<CaptureSink>()), m_oldLog(Log::GetInstance().GetSink()),
          m_oldTrace(TraceFile::GetInstance().GetSink()), m_oldLogOn(Log::m_enabled.load()),
          m_oldTraceOn(TraceFile::m_enabled.load()), m_oldLevel(TraceFile::GetInstance().GetLevel())
    {
        Log::GetInstance().SetSink(m_sink);
        TraceFile::GetInstance().SetSink(m_sink);
        Log::m_enabled = logOn;
        TraceFile::m_enabled = traceOn;
        TraceFile::GetInstance().SetLevel(traceLevel);
    }
    ~CaptureScope()
    {
        Log::GetInstance().SetSink(m_oldLog);
        TraceFile::GetInstance().SetSink(m_oldTrace);
        Log::m_enabled = m_oldLogOn;
        TraceFile::m_enabled = m_oldTraceOn;
        TraceFile::GetInstance().SetLevel(m_oldLevel);
    }
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;

    CaptureSink& Sink() { return *m_sink; }
    bool Logged(const std::string& text) const { return m_sink->Contains(Record::Kind::Log, text); }
    bool LoggedSubstring(const std::string& text) const { return m_sink->ContainsSubstring(Record::Kind::Log, text); }
    bool Traced(const std::string& text) const { return m_sink->Contains(Record::Kind::Trace, text); }
    bool TracedSubstring(const std::string& text) const { return m_sink->ContainsSubstring(Record::Kind::Trace, text); }

private:
    std::shared_ptr<CaptureSink> m_sink;
    std::shared_ptr<qstd::Sink> m_oldLog;
    std::shared_ptr<qstd::Sink> m_oldTrace;
    bool m_oldLogOn;
    bool m_oldTraceOn;
    int m_oldLevel;
};

} // namespace qstd
