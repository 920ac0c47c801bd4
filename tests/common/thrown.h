#pragma once
// The message of what a call throws, for comparing refusals as text.

#include <exception>
#include <functional>
#include <string>

namespace zvtest {

// The message of the exception that call throws, or none when it returns.
inline std::string ThrownMessage(const std::function<void()>& call, const std::string& none = std::string())
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return none;
}

} // namespace zvtest
