// The boards' receive notifications on POSIX. The D2XX driver's Linux notification is a condition
// variable with its mutex and no state of its own: a signal given while nobody waits on it is
// gone. So every board's notification has a waiter thread of its own that holds the mutex at all
// times except inside pthread_cond_wait. The driver must take the mutex to signal, so each of its
// signals finds the waiter waiting, however the signals fall against the read thread's looks; the
// waiter marks its board and wakes the read thread (whose own event keeps a signal) before it
// waits again, still holding the mutex.
#include "platform.h"

#include "d2xx.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <sched.h>

namespace corvane::platform {

namespace {

// A waiter needs little stack: it only waits, marks and signals.
constexpr std::size_t kWaiterStackBytes = 64 * 1024;

} // namespace

struct BoardWaiter {
    d2xx::FT_EVENT_HANDLE handle; // first: the driver's record and the waiter share an address
    BoardSignals* owner;
    int slot;
    std::atomic<bool> holding; // the waiter holds the mutex (and keeps it but inside its waits)
};

struct BoardSignals {
    int slots;
    WakeEvent* readerWake;
    MarkBoard mark;
    void* argument;
    pthread_mutex_t creation;           // serialises the first opens of a slot
    std::atomic<BoardWaiter*>* waiters; // per slot, made at the slot's first open
};

namespace {

void* waiterMain(void* argument) {
    auto* waiter = static_cast<BoardWaiter*>(argument);
    BoardSignals* owner = waiter->owner;
    pthread_mutex_lock(&waiter->handle.eMutex);
    // Release: pairs with the creator's acquire; from here the mutex is free only inside a wait.
    waiter->holding.store(true, std::memory_order_release);
    for (;;) {
        // Any return means "the board may have bytes": a spurious one costs one status call.
        pthread_cond_wait(&waiter->handle.eCondVar, &waiter->handle.eMutex);
        owner->mark(owner->argument, waiter->slot);
        signalWakeEvent(owner->readerWake);
    }
    return nullptr;
}

BoardWaiter* startWaiter(BoardSignals* signals, int slot) {
    auto* waiter = new (std::nothrow) BoardWaiter{};
    if (waiter == nullptr) {
        return nullptr;
    }
    waiter->owner = signals;
    waiter->slot = slot;
    if (pthread_cond_init(&waiter->handle.eCondVar, nullptr) != 0) {
        delete waiter;
        return nullptr;
    }
    if (pthread_mutex_init(&waiter->handle.eMutex, nullptr) != 0) {
        pthread_cond_destroy(&waiter->handle.eCondVar);
        delete waiter;
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, kWaiterStackBytes);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, waiterMain, waiter) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        pthread_mutex_destroy(&waiter->handle.eMutex);
        pthread_cond_destroy(&waiter->handle.eCondVar);
        delete waiter;
        return nullptr;
    }
    // Acquire: pairs with the waiter's release once it holds the mutex. Taking the mutex after
    // that succeeds only while the waiter is inside its wait: no driver signal can come earlier,
    // since the notification is handed to the driver only after this returns.
    while (!waiter->holding.load(std::memory_order_acquire)) {
        sched_yield();
    }
    pthread_mutex_lock(&waiter->handle.eMutex);
    pthread_mutex_unlock(&waiter->handle.eMutex);
    return waiter;
}

} // namespace

BoardSignals* createBoardSignals(int slots, WakeEvent* readerWake, MarkBoard mark, void* argument) {
    auto* signals = new (std::nothrow) BoardSignals{};
    if (signals == nullptr) {
        return nullptr;
    }
    signals->waiters = new (std::nothrow) std::atomic<BoardWaiter*>[static_cast<std::size_t>(slots)]();
    if (signals->waiters == nullptr || pthread_mutex_init(&signals->creation, nullptr) != 0) {
        delete[] signals->waiters;
        delete signals;
        return nullptr;
    }
    signals->slots = slots;
    signals->readerWake = readerWake;
    signals->mark = mark;
    signals->argument = argument;
    return signals;
}

void* boardNotificationHandle(BoardSignals* signals, int slot) {
    if (slot < 0 || slot >= signals->slots) {
        return nullptr;
    }
    pthread_mutex_lock(&signals->creation);
    // Relaxed: made and read under the creation mutex; the read thread never touches it.
    BoardWaiter* waiter = signals->waiters[slot].load(std::memory_order_relaxed);
    if (waiter == nullptr) {
        waiter = startWaiter(signals, slot);
        signals->waiters[slot].store(waiter, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&signals->creation);
    return waiter == nullptr ? nullptr : &waiter->handle;
}

void waitBoardSignals(BoardSignals* signals, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument) {
    // The waiters mark their boards themselves; only the read thread's own event is waited on.
    if (timeoutMs != 0) {
        waitWakeEvent(signals->readerWake, timeoutMs, stillIdle, argument);
    }
}

} // namespace corvane::platform
