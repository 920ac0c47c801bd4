#pragma once
// Destinations of log and trace records. The log and the trace file each
// write to one sink; a sink accepts records from any thread.

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qstd {

struct Record {
    enum class Kind { Log, Trace };
    Kind kind = Kind::Log;
    // For a log record: 1 critical, 2 error, 3 warning, 4 info.
    // For a trace record: the trace level (1 errors to 4 details).
    int level = 0;
    std::string function;
    std::string file;
    int line = 0;
    std::string text;
    std::thread::id thread;
    std::chrono::system_clock::time_point time;
};

// Log severities as carried in Record::level of a log record.
enum LogSeverity_e { LogCriticalLevel = 1, LogErrorLevel = 2, LogWarningLevel = 3, LogInfoLevel = 4 };

class Sink {
public:
    virtual ~Sink() = default;
    virtual void Write(const Record& record) = 0;
};

// Writes one formatted line per record to a C stream (standard error or a
// file opened for appending).
class StreamSink : public Sink {
public:
    // Takes ownership of the stream when owned is true.
    StreamSink(std::FILE* stream, bool owned);
    ~StreamSink() override;
    // Opens path for appending; throws qstd::Exception when it cannot.
    static std::shared_ptr<StreamSink> OpenFile(const std::string& path);
    static std::shared_ptr<StreamSink> StdErr();

    void Write(const Record& record) override;
    static std::string Format(const Record& record);

private:
    std::mutex m_mutex;
    std::FILE* m_stream;
    bool m_owned;
};

// Keeps every record in memory, for tests that assert on exact messages.
class CaptureSink : public Sink {
public:
    void Write(const Record& record) override;
    std::vector<Record> Records() const;
    // Texts of the records of one kind, in order.
    std::vector<std::string> Texts(Record::Kind kind) const;
    // True when a record of that kind has exactly this text.
    bool Contains(Record::Kind kind, const std::string& text) const;
    // True when a record of that kind contains this text as a substring.
    bool ContainsSubstring(Record::Kind kind, const std::string& text) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
};

} // namespace qstd
