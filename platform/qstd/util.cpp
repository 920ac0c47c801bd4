#include "platform/qstd/util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cxxabi.h>
#include <memory>

namespace qstd {

std::string CppName(const std::type_info& type)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

bool Equal(double a, double b)
{
    if (a == b) {
        return true;
    }
    if (std::isnan(a) || std::isnan(b)) {
        return false;
    }
    const double diff = std::fabs(a - b);
    const double scale = std::max(std::fabs(a), std::fabs(b));
    return diff <= 1e-12 * scale || diff <= 1e-300;
}

std::string TrimString(const std::string& text)
{
    static const char* const c_ws = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(c_ws);
    if (first == std::string::npos) {
        return std::string();
    }
    const auto last = text.find_last_not_of(c_ws);
    return text.substr(first, last - first + 1);
}

std::string EscapeControls(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Time::ToText(const TimePoint& time)
{
    const auto t = std::chrono::system_clock::to_time_t(time);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03d", buf, static_cast<int>(ms));
    return out;
}

} // namespace qstd
