// The read thread's steps: one receive step per open board and pass, and the queueing of a
// finished message. Only the read thread calls them, with the board's guard held.
#pragma once

#include "core/host_context.h"
#include "corvane.h"

#include <cstdint>

namespace corvane {

// A trigger found by a poll. The read thread calls it once the board's guard is released, so the
// callback may close, reopen or enumerate without waiting for itself.
struct TriggerCall {
    ReadCallback callback; // null when there is nothing to call
    std::int32_t deviceIndex;
    std::int32_t channel;
    std::uint32_t commandByte;
    std::uint32_t value;
    std::uint8_t* buffer;
};

// Bytes read from a board in one batched read and not yet decoded: bytes[position..end).
struct BytesInHand {
    const std::uint8_t* bytes;
    std::uint32_t position;
    std::uint32_t end;
};

// One receive step for an open board: reads and decodes one header, or reads one piece of block
// data. A trigger is captured in `trigger` rather than called. Returns the bytes read.
std::uint32_t pollDevice(HostContext* context, DeviceRecord& record, TriggerCall& trigger);

// The board's status call: returns the bytes pending (0 when the call fails), logs them in debug
// mode and keeps the count in the record's lastPending.
std::uint32_t statusOf(HostContext* context, DeviceRecord& record, d2xx::FT_HANDLE handle);

// Queues the message of `length` bytes that the board's current channel buffer holds last, with
// the bytes of dropped messages ahead of it as the entry's skip count. False when the FIFO is
// full (the last error then says so and nothing is queued).
bool appendFifoEntry(HostContext* context, DeviceRecord& record, std::uint8_t length);

} // namespace corvane
