#include "demo/light_show.h"

#include "platform/platform.h"

namespace corvane {

void stopLightShow(HostContext* context) {
    // Relaxed stores: the lightshow thread only needs to see the zeros eventually; the hand-over
    // that matters is the thread's release of lightShowThreadId, acquired below.
    context->lightShowRepeats.store(0, std::memory_order_relaxed);
    context->lightShowDelay.store(0, std::memory_order_relaxed);
    context->lightShowLength.store(0, std::memory_order_relaxed);
    // Acquire: pairs with the lightshow thread's final release, so its last writes are done.
    while (context->lightShowThreadId.load(std::memory_order_acquire) != 0) {
        context->lightShowRepeats.store(0, std::memory_order_relaxed);
        context->lightShowLength.store(0, std::memory_order_relaxed);
        platform::yield();
    }
}

} // namespace corvane
