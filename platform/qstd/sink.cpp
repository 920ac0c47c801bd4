#include "platform/qstd/sink.h"

#include "platform/qstd/exception.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <sstream>

namespace qstd {

StreamSink::StreamSink(std::FILE* stream, bool owned) : m_stream(stream), m_owned(owned) {}

StreamSink::~StreamSink()
{
    if (m_owned && m_stream) {
        std::fclose(m_stream);
    }
}

std::shared_ptr<StreamSink> StreamSink::OpenFile(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) {
        throw Exception("Cannot open " + path + ": " + std::strerror(errno), true);
    }
    return std::make_shared<StreamSink>(f, true);
}

std::shared_ptr<StreamSink> StreamSink::StdErr()
{
    return std::make_shared<StreamSink>(stderr, false);
}

std::string StreamSink::Format(const Record& r)
{
    static const char* const c_logNames[] = {"", "CRITICAL", "ERROR", "WARNING", "INFO"};
    const auto t = std::chrono::system_clock::to_time_t(r.time);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(r.time.time_since_epoch()).count() % 1000000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::ostringstream os;
    os << stamp << '.' << std::to_string(1000000 + us).substr(1) << ' ';
    if (r.kind == Record::Kind::Log) {
        os << (r.level >= 1 && r.level <= 4 ? c_logNames[r.level] : "LOG");
    } else {
        os << "T" << r.level;
    }
    os << " [" << std::hash<std::thread::id>{}(r.thread) % 100000 << "] ";
    if (!r.file.empty()) {
        os << r.file << ':' << r.line << ' ';
    }
    if (!r.function.empty()) {
        os << r.function << ": ";
    }
    os << r.text;
    return os.str();
}

void StreamSink::Write(const Record& record)
{
    const std::string line = Format(record);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stream) {
        std::fprintf(m_stream, "%s\n", line.c_str());
        std::fflush(m_stream);
    }
}

void CaptureSink::Write(const Record& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
}

std::vector<Record> CaptureSink::Records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<std::string> CaptureSink::Texts(Record::Kind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& r : m_records) {
        if (r.kind == kind) {
            out.push_back(r.text);
        }
    }
    return out;
}

bool CaptureSink::Contains(Record::Kind kind, const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& r : m_records) {
        if (r.kind == kind && r.text == text) {
            return true;
        }
    }
    return false;
}

bool CaptureSink::ContainsSubstring(Record::Kind kind, const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& r : m_records) {
        if (r.kind == kind && r.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void CaptureSink::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

} // namespace qstd
