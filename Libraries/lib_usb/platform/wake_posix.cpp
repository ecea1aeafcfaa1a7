// The wake-up event on POSIX: the D2XX driver's Linux event-handle record (the driver locks its
// mutex and signals its condition variable when bytes arrive) plus a flag of our own, so that a
// signal of the library is never lost. The driver sets no flag: a waiter checks for work with the
// mutex held (stillIdle), and the driver, which must take the mutex to signal, cannot slip in
// between that check and the wait.
#include "platform.h"

#include "d2xx.h"

#include <cerrno>
#include <ctime>
#include <new>

namespace corvane::platform {

struct WakeEvent {
    d2xx::FT_EVENT_HANDLE handle; // first, so the driver's record and the event share an address
    bool signalled;               // under handle.eMutex
};

WakeEvent* createWakeEvent() {
    auto* event = new (std::nothrow) WakeEvent{};
    if (event == nullptr) {
        return nullptr;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Time-outs on the monotonic clock: a change of the wall clock never stretches a wait.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    const bool made = pthread_cond_init(&event->handle.eCondVar, &attributes) == 0 &&
                      pthread_mutex_init(&event->handle.eMutex, nullptr) == 0;
    pthread_condattr_destroy(&attributes);
    if (!made) {
        delete event;
        return nullptr;
    }
    return event;
}

void signalWakeEvent(WakeEvent* event) {
    pthread_mutex_lock(&event->handle.eMutex);
    event->signalled = true;
    pthread_cond_signal(&event->handle.eCondVar);
    pthread_mutex_unlock(&event->handle.eMutex);
}

void waitWakeEvent(WakeEvent* event, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument) {
    pthread_mutex_lock(&event->handle.eMutex);
    if (!event->signalled && (stillIdle == nullptr || stillIdle(argument))) {
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        // One wait: the driver's signal leaves no flag, so any return means "look again".
        pthread_cond_timedwait(&event->handle.eCondVar, &event->handle.eMutex, &until);
    }
    event->signalled = false;
    pthread_mutex_unlock(&event->handle.eMutex);
}

void* driverNotificationHandle(WakeEvent* event) { return &event->handle; }

} // namespace corvane::platform
