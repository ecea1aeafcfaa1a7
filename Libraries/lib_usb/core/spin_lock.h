// A small lock for short critical sections that never contain a callback: the per-record guard,
// the send lock and the enumeration lock. Waiters yield the processor between attempts.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

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

// The guard of a device record. The read thread and the write thread hold it shared: they touch
// different parts of a record (the receive state and the buffers' write sides, against the
// buffers' read sides and the callback buffer), so one never waits for the other's poll or
// delivery. Open, close and enumeration hold it exclusively, and a waiting exclusive holder keeps
// new shared holders out, so it is never starved by the two threads taking turns.
class RecordGuard {
  public:
    void lock() noexcept {
        // Relaxed: only announces the wait; the exchange below does the acquiring.
        exclusiveWaiting_.fetch_add(1, std::memory_order_relaxed);
        for (;;) {
            std::int32_t expected = 0;
            // Acquire: what the previous holders wrote before their release is visible.
            if (state_.compare_exchange_weak(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                break;
            }
            platform::yield();
        }
        exclusiveWaiting_.fetch_sub(1, std::memory_order_relaxed);
    }
    // Release: pairs with the acquire of the next holder, shared or exclusive.
    void unlock() noexcept { state_.store(0, std::memory_order_release); }

    void lock_shared() noexcept {
        for (;;) {
            // Relaxed: hints only; the exchange below does the acquiring.
            std::int32_t holders = state_.load(std::memory_order_relaxed);
            if (holders != kExclusive && exclusiveWaiting_.load(std::memory_order_relaxed) == 0 &&
                state_.compare_exchange_weak(holders, holders + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            platform::yield();
        }
    }
    // Release: what this holder wrote is visible to the next exclusive holder.
    void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  private:
    static constexpr std::int32_t kExclusive = -1;
    std::atomic<std::int32_t> state_{0}; // -1 held exclusively, else the number of shared holders
    std::atomic<std::int32_t> exclusiveWaiting_{0};
};

// Holds a lock (exclusively) for its lifetime.
template <typename Lock> class SpinLockHolder {
  public:
    explicit SpinLockHolder(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~SpinLockHolder() { lock_.unlock(); }
    SpinLockHolder(const SpinLockHolder&) = delete;
    SpinLockHolder& operator=(const SpinLockHolder&) = delete;

  private:
    Lock& lock_;
};

// Holds a record's guard shared for its lifetime: the read and the write thread.
class SharedHolder {
  public:
    explicit SharedHolder(RecordGuard& guard) : guard_(guard) { guard_.lock_shared(); }
    ~SharedHolder() { guard_.unlock_shared(); }
    SharedHolder(const SharedHolder&) = delete;
    SharedHolder& operator=(const SharedHolder&) = delete;

  private:
    RecordGuard& guard_;
};

} // namespace corvane
