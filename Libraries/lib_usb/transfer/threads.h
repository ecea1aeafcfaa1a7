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

// What the batched feed's step found on one board, for the read thread's idle wait.
struct BatchedPoll {
    bool readBytes;  // the board handed over bytes
    bool roomWanted; // it had bytes pending that found no room
};

// The batched feed's step for one open board, the read thread's work on it in one pass: under
// the board's guard, one status call, one read of everything pending that there is room for,
// and the decoder over those bytes. Each trigger among them is called with the guard released;
// the bytes after it are decoded only while the board stays open as it was.
BatchedPoll pollBatchedDevice(HostContext* context, DeviceRecord& record);

} // namespace corvane
