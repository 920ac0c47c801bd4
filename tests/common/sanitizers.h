#pragma once
// Whether this build runs under AddressSanitizer (gcc and clang say it in
// different ways): it holds freed memory back, so resident-size checks do
// not apply.

#if defined(__SANITIZE_ADDRESS__)
#define ZVTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZVTEST_ASAN 1
#endif
#endif

#ifndef ZVTEST_ASAN
#define ZVTEST_ASAN 0
#endif
