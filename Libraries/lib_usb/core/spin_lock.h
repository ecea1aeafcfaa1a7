// A small lock for short critical sections that never contain a callback: the per-record guard,
// the send lock and the enumeration lock. Waiters yield the processor between attempts.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace corvane {

class SpinLock {
public:
    bool try_lock() noexcept {
        // Acquire: what the previous holder wrote before its release is visible to the new holder.
        return !held_.exchange(true, std::memory_order_acquire);
    }
    void lock() noexcept {
        while (!try_lock()) {
            // Relaxed: only a hint to stop spinning; the exchange above does the acquiring.
            while (held_.load(std::memory_order_relaxed)) {
                platform::yield();
            }
        }
    }
    // Release: pairs with the acquire of the next holder's exchange.
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

class SpinLockHolder {
public:
    explicit SpinLockHolder(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~SpinLockHolder() { lock_.unlock(); }
    SpinLockHolder(const SpinLockHolder&) = delete;
    SpinLockHolder& operator=(const SpinLockHolder&) = delete;

private:
    SpinLock& lock_;
};

} // namespace corvane
