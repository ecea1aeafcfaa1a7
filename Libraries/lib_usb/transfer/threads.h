// The two threads every open library runs until the process ends.
#pragma once

#include <cstdint>

namespace corvane {

// The read thread: polls every open board, decodes its messages, queues them. Argument: HostContext.
std::uint32_t readThreadLoop(void* context);
// The write thread: delivers queued messages to the callbacks, in order. Argument: HostContext.
std::uint32_t writeThreadLoop(void* context);

} // namespace corvane
