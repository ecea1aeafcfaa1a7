// Which sanitizer a test binary is built with, for tests that size their work or their memory
// allowance by it. GCC names the sanitizer with a macro, clang with __has_feature.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define CORVANE_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANE_TEST_THREAD_SANITIZER 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_TEST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_TEST_ADDRESS_SANITIZER 1
#endif
#endif

namespace testing_support {

#if defined(CORVANE_TEST_THREAD_SANITIZER)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

#if defined(CORVANE_TEST_ADDRESS_SANITIZER)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

} // namespace testing_support
