#pragma once
// Whether AddressSanitizer is compiled in: g++ says so with __SANITIZE_ADDRESS__, clang 14
// only through __has_feature.

#if defined(__SANITIZE_ADDRESS__)
#define SONVEL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SONVEL_TEST_ASAN 1
#endif
#endif
#ifndef SONVEL_TEST_ASAN
#define SONVEL_TEST_ASAN 0
#endif
