#include "core/host_context.h"
#include "platform/platform.h"
#include "transfer/threads.h"

namespace corvane {

std::uint32_t writeThreadLoop(void* argument) {
    auto* context = static_cast<HostContext*>(argument);
    // Acquire: threadsRunning is set before the thread starts; read afresh on every look.
    while (context->threadsRunning.load(std::memory_order_acquire) != 0) {
        platform::yield();
    }
    return 0;
}

} // namespace corvane
