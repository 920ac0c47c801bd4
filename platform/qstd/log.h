#pragma once
// The log singleton and the logging wrappers that write a message to the log
// and, at the matching level, to the trace.

#include "platform/qstd/sink.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace qstd {

class Log {
public:
    static Log& GetInstance();

    // Logging on or off for the whole process.
    static std::atomic<bool> m_enabled;

    void Info(const std::string& text);
    void Warning(const std::string& text);
    void Error(const std::string& text);
    void Critical(const std::string& text);

    // Replaces the destination; null restores standard error.
    void SetSink(std::shared_ptr<Sink> sink);
    std::shared_ptr<Sink> GetSink() const;

private:
    Log();
    void Write(int severity, const std::string& text);
    mutable std::mutex m_mutex;
    std::shared_ptr<Sink> m_sink;
};

// Each traces the text at its level (3, 2, 1, 1) when tracing is on and the
// active level allows it, then logs it when logging is enabled.
void LogInfo(const std::string& text);
void LogWarning(const std::string& text);
void LogError(const std::string& text);
void LogCritical(const std::string& text);

// Reports "Assertion condition: " and the condition; the caller goes on.
void LoggedAssert(const char* file, int line, const char* function, const char* text);

} // namespace qstd

#define QSTD_ASSERT(cond)                                                                                              \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            ::qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, #cond);                                      \
        }                                                                                                              \
    } while (0)
