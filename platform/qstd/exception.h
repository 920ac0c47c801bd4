#pragma once
// qstd::Exception: the one failure type of the framework and the system.

#include <exception>
#include <string>

namespace qstd {

class Exception : public std::exception {
public:
    // The flag is accepted for compatibility with every call site (which
    // passes true); it is not kept.
    Exception(const char* message, bool /*flag*/ = true) : m_message(message ? message : "") {}
    Exception(const std::string& message, bool /*flag*/ = true) : m_message(message) {}

    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

} // namespace qstd
