// Counts every heap allocation of the process, the library's included, by standing in for malloc,
// calloc and realloc (glibc only; the sanitizers bring allocators of their own). Include it in one
// file of a program; `corvane_allocations` is then the running count.
#pragma once

#include "sanitizers.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__GLIBC__) && !defined(CORVANE_TEST_ADDRESS_SANITIZER) && !defined(CORVANE_TEST_THREAD_SANITIZER)
#define CORVANE_COUNT_ALLOCATIONS 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
// Relaxed: a count read after the measured work has joined, carrying nothing else.
inline std::atomic<std::uint64_t> corvane_allocations{0};
extern "C" void* malloc(std::size_t size) {
    corvane_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    corvane_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
    corvane_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
#endif
