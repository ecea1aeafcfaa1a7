// Waking the library's threads in the wait mode (CORVANE_IDLE=wait). With the default spinning
// the events do not exist and these do nothing.
#pragma once

#include "core/host_context.h"
#include "platform/platform.h"

namespace corvane {

// After a change the read thread must see at once: a board opened, closed or enumerated, a send
// that a board may answer.
inline void wakeReadThread(HostContext* context) {
    if (context->readerWake != nullptr) {
        platform::signalWakeEvent(context->readerWake);
    }
}

} // namespace corvane
