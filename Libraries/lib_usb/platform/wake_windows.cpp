// The wake-up event on Windows: an auto-reset event, which keeps a signal until the next wait.
// The D2XX driver sets the same event when bytes arrive, so nothing can be missed and the
// still-idle check is not needed.
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

void waitWakeEvent(WakeEvent* event, std::uint32_t timeoutMs, bool (*)(void*), void*) {
    WaitForSingleObject(event->handle, timeoutMs);
}

void* driverNotificationHandle(WakeEvent* event) { return event->handle; }

} // namespace corvane::platform
