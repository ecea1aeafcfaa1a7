// The wake-up event on Windows: an auto-reset event, which keeps a signal until the next wait.
// The D2XX driver sets the same event when bytes arrive, so nothing can be missed; the still-idle
// check only spares a wait that would end at once.
#include "platform.h"

#include <new>
#include <windows.h>

namespace corvane::platform {

struct WakeEvent {
    HANDLE handle;
};

WakeEvent* createWakeEvent() {
    HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (handle == nullptr) {
        return nullptr;
    }
    auto* event = new (std::nothrow) WakeEvent{handle};
    if (event == nullptr) {
        CloseHandle(handle);
    }
    return event;
}

void signalWakeEvent(WakeEvent* event) { SetEvent(event->handle); }

void waitWakeEvent(WakeEvent* event, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument) {
    if (stillIdle == nullptr || stillIdle(argument)) {
        WaitForSingleObject(event->handle, timeoutMs);
    } else {
        WaitForSingleObject(event->handle, 0); // the look found work: only reset the event
    }
}

void* driverNotificationHandle(WakeEvent* event) { return event->handle; }

} // namespace corvane::platform
