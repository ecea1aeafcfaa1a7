// The two threads every open library runs until the process ends.
#pragma once

#include <cstdint>

namespace corvane {

struct HostContext;
struct FifoEntry;

// The read thread: polls every open board, decodes its messages, queues them. Argument: HostContext.
std::uint32_t readThreadLoop(void* context);
// The write thread: delivers queued messages to the callbacks, in order. Argument: HostContext.
std::uint32_t writeThreadLoop(void* context);

// The write thread's step for one busy entry: moves the message's bytes out of its channel buffer
// and calls its callback. The caller clears the entry's busy flag afterwards.
void deliverEntry(HostContext* context, const FifoEntry& entry);

} // namespace corvane
