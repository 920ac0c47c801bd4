#pragma once
// The resident memory of this process, for tests that check that memory
// goes back. Under AddressSanitizer or ThreadSanitizer (gcc and clang say
// so in different ways) the allocator holds freed memory back, so such
// checks do not apply there.

#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZVTEST_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZVTEST_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace zvtest {

#ifdef ZVTEST_SANITIZED_ALLOCATOR
constexpr bool c_freedMemoryGoesBack = false;
#else
constexpr bool c_freedMemoryGoesBack = true;
#endif

// VmRSS of this process in kB, or 0.
inline long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// kB that the allocator gives out now, mapped blocks included: what a piece
// of code keeps, whatever memory the process holds from earlier (glibc's
// allocator; under a sanitizer its own allocator serves instead).
inline long AllocatedKb()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

} // namespace zvtest
