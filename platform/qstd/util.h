#pragma once
// Small helpers of the utility library: readable type names, comparison of
// doubles, trimming, escaping, wall-clock time text.

#include <chrono>
#include <string>
#include <typeinfo>

namespace qstd {

// Readable (demangled) name of a type.
std::string CppName(const std::type_info& type);

// True when two doubles count as equal: within a relative tolerance of
// 1e-12 (absolute 1e-300 around zero).
bool Equal(double a, double b);

// Copy of the text without leading and trailing white space.
std::string TrimString(const std::string& text);

// Copy of the text with its control characters (NUL, line feed, escape...)
// written as "\xNN": text from outside then cannot end or forge a log line.
std::string EscapeControls(const std::string& text);

struct Time {
    using TimePoint = std::chrono::system_clock::time_point;
    static TimePoint Now() { return std::chrono::system_clock::now(); }
    // "YYYY-MM-DD HH:MM:SS.mmm" in local time.
    static std::string ToText(const TimePoint& time);
};

} // namespace qstd
