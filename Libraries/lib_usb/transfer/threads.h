// The two threads every open library runs until the process ends.
#pragma once

#include <cstdint>

namespace corvane {

struct HostContext;
struct FifoEntry;
struct DeviceRecord;

// The read thread: polls every open board, decodes its messages, queues them. Argument: HostContext.
std::uint32_t readThreadLoop(void* context);
// The write thread: delivers queued messages to the callbacks, in order. Argument: HostContext.
std::uint32_t writeThreadLoop(void* context);

// The write thread's step for one busy entry: moves the message's bytes out of its channel buffer
// and calls its callback. The caller clears the entry's busy flag afterwards.
void deliverEntry(HostContext* context, const FifoEntry& entry);

// What the read thread's step found on one board, for its idle wait.
struct BoardPoll {
    bool readBytes;  // the board handed over bytes
    bool roomWanted; // batched: it had bytes pending that found no room
};

// The read thread's work on one open board in one pass, in the receive mode of the context's
// settings: under the board's guard, one default step (one header or one piece of block data) or
// one batched step (one status call, one read of everything pending that there is room for, the
// decoder over those bytes), then the check for a lost board. Each trigger found is called with
// the guard released; batched, the bytes after it are decoded only while the board stays open as
// it was.
BoardPoll pollBoard(HostContext* context, DeviceRecord& record);

} // namespace corvane
