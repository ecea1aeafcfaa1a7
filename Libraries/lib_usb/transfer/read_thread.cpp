// The read thread: the library's only receiver. It polls every open board over and over, decodes
// the boards' two-byte headers, stores data bytes in the channel buffers and queues every finished
// single byte or block in the FIFO for the write thread. Triggers go straight to the general
// callback, on this thread.
//
// Every message's bytes are accounted for: an entry takes exactly the bytes its own message
// stored, and the stored bytes of a message that could not be queued (FIFO full, block refused by
// its buffer, block cut short by a reopen) are counted in droppedBytes and skipped by the next
// entry of the channel.
#include "transfer/read_thread.h"

#include "core/log.h"
#include "platform/platform.h"
#include "transfer/input_buffer.h"
#include "transfer/protocol.h"
#include "transfer/threads.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr char kWrongTransferMode[] =
    "Message received does not have the right transfer mode; expecting output from device";
constexpr char kSingleByteRefused[] = "SBTM: Input buffer is full";
constexpr char kBlockRefused[] = "BTM: Input buffer is full";
constexpr char kBlockReadFailed[] = "BTM: Error receiving message block status";
constexpr char kFifoFull[] = "Error: Ran out of FIFO memory";

bool fifoSlotFree(const HostContext* context) {
    // Acquire: pairs with the write thread's release of busy once the callback has returned, so
    // its last reads of the slot are done before the slot is refilled.
    return context->fifo[context->fifoWriteIndex].busy.load(std::memory_order_acquire) == 0;
}

// Fills the slot at fifoWriteIndex. The dropped bytes that lie ahead of this message in its
// channel buffer travel with the entry, so the write thread skips them first.
bool queueEntry(HostContext* context, DeviceRecord& record, std::uint32_t channel, std::uint8_t commandByte,
                std::uint8_t length) {
    if (!fifoSlotFree(context)) {
        return false;
    }
    FifoEntry& entry = context->fifo[context->fifoWriteIndex];
    entry.channel = static_cast<std::uint8_t>(channel);
    entry.deviceIndex = static_cast<std::uint16_t>(record.deviceIndex);
    entry.commandByte = commandByte;
    entry.length = length;
    entry.skipBytes = record.droppedBytes[channel];
    record.droppedBytes[channel] = 0;
    // Relaxed: read under the record's guard, under which an enumeration counts it up.
    entry.generation = record.generation.load(std::memory_order_relaxed);
    // Release: every field above is complete before the write thread's acquire load sees busy 1.
    entry.busy.store(1, std::memory_order_release);
    context->fifoWriteIndex = (context->fifoWriteIndex + 1) % kFifoSize;
    return true;
}

// After a message was refused by its channel buffer: if dropped bytes fill that buffer, no later
// message could be stored to claim them, so a callback-less entry of length 0 claims them now.
void releaseDroppedBytes(HostContext* context, DeviceRecord& record, std::uint32_t channel) {
    if (record.droppedBytes[channel] != 0) {
        queueEntry(context, record, channel, 0, 0);
    }
}

std::uint32_t currentChannel(const DeviceRecord& record) {
    return static_cast<std::uint32_t>(record.currentChannel) & protocol::kChannelMask;
}

void receiveSingleByte(HostContext* context, DeviceRecord& record) {
    const std::uint32_t channel = currentChannel(record);
    InputBuffer* buffer = record.inputBuffers[channel];
    if (buffer == nullptr) {
        setLastError(context, kSingleByteRefused);
        return;
    }
    // Checked before the byte is stored, so a message that finds the FIFO full leaves nothing
    // behind in its buffer.
    if (!fifoSlotFree(context)) {
        setLastError(context, kFifoFull);
        return;
    }
    if (putBytes(*buffer, &record.payloadByte, 1) != 1) {
        setLastError(context, kSingleByteRefused);
        releaseDroppedBytes(context, record, channel);
        return;
    }
    appendFifoEntry(context, record, 1);
}

void startBlock(DeviceRecord& record) {
    record.blockBytesRemaining = record.payloadByte;
    record.blockStoredBytes = 0;
    record.blockRefused = false;
    // Release: pairs with the self test's acquire load; it waits while a block is in progress.
    record.blockLength.store(record.payloadByte, std::memory_order_release);
}

// The last piece of a block has arrived: queue it, or drop it whole.
void finishBlock(HostContext* context, DeviceRecord& record) {
    const std::uint32_t channel = currentChannel(record);
    if (record.blockRefused) {
        // Part of the block found no room: delivering it would hand the callback a block with a
        // gap, so none of it is delivered.
        record.droppedBytes[channel] += record.blockStoredBytes;
        record.blockStoredBytes = 0;
        record.blockRefused = false;
        setLastError(context, kBlockRefused);
        // Release: pairs with the self test's acquire load; the block is over.
        record.blockLength.store(0, std::memory_order_release);
        releaseDroppedBytes(context, record, channel);
        return;
    }
    if (!appendFifoEntry(context, record, record.payloadByte)) {
        // The FIFO was full; blockLength keeps the block's length until the board's next entry.
        record.droppedBytes[channel] += record.blockStoredBytes;
    }
    record.blockStoredBytes = 0;
}

void readBlockData(HostContext* context, DeviceRecord& record, d2xx::FT_HANDLE handle, std::uint32_t pending) {
    // The read is made even when nothing is pending: it costs the driver nothing.
    const std::uint32_t wanted =
        std::min({pending, record.blockBytesRemaining, static_cast<std::uint32_t>(kReadBufferSize)});
    d2xx::DWORD got = 0;
    if (context->driverTable->FT_Read(handle, context->readBuffer, wanted, &got) != d2xx::FT_OK) {
        setLastError(context, kBlockReadFailed);
    }
    // Whatever the status, bytes the driver reports as handed over have left its queue.
    got = std::min(got, wanted);
    if (got == 0) {
        return;
    }
    record.blockBytesRemaining -= got;
    // Relaxed: a progress count that the self test compares between looks; no data rides on it.
    record.blockProgress.fetch_add(1, std::memory_order_relaxed);
    if (!record.blockRefused) {
        InputBuffer* buffer = record.inputBuffers[currentChannel(record)];
        if (buffer != nullptr && putBytes(*buffer, context->readBuffer, got) == got) {
            record.blockStoredBytes += got;
        } else {
            // Later pieces are not stored either: the block can no longer be delivered whole.
            record.blockRefused = true;
        }
    }
    if (record.blockBytesRemaining == 0) {
        finishBlock(context, record);
    }
}

void decodeHeader(HostContext* context, DeviceRecord& record, TriggerCall& trigger) {
    const std::uint8_t command = record.headerBytes[0];
    const std::uint8_t payload = record.headerBytes[1];
    logMessage(context, "Read two bytes: Command: %u, Payload: %u\n", static_cast<unsigned>(command),
               static_cast<unsigned>(payload));
    record.commandByte = command;
    record.payloadByte = payload;
    record.currentChannel = command & protocol::kChannelMask;
    if ((command & protocol::kTransferModeMask) != protocol::kOutputFromDevice) {
        setLastError(context, kWrongTransferMode);
        return;
    }
    // The kind bits are tested in this order; the first one set decides.
    if ((command & protocol::kTriggerBit) != 0) {
        // Acquire: pairs with the registration's release store, so what the application set up
        // before registering is visible to the callback.
        ReadCallback callback = record.readCallback.load(std::memory_order_acquire);
        if (callback != nullptr) {
            trigger = TriggerCall{callback, record.deviceIndex,   record.currentChannel, command,
                                  payload,  record.callbackBuffer};
        }
        return;
    }
    if ((command & protocol::kSingleByteBit) != 0) {
        receiveSingleByte(context, record);
        return;
    }
    if ((command & protocol::kBlockBit) != 0) {
        startBlock(record);
    }
    // No kind bit: the two bytes are consumed and nothing else happens.
}

void readHeader(HostContext* context, DeviceRecord& record, d2xx::FT_HANDLE handle, std::uint32_t pending,
                TriggerCall& trigger) {
    // A header is decoded only whole; a byte the driver handed over alone waits for its partner.
    const std::uint32_t wanted = protocol::kHeaderSize - record.headerBytesHeld;
    if (pending < wanted) {
        return;
    }
    d2xx::DWORD got = 0;
    context->driverTable->FT_Read(handle, record.headerBytes + record.headerBytesHeld, wanted, &got);
    record.headerBytesHeld += std::min(got, wanted);
    if (record.headerBytesHeld < protocol::kHeaderSize) {
        return;
    }
    record.headerBytesHeld = 0;
    decodeHeader(context, record, trigger);
}

// One pass over the open boards, in database order.
void pollOpenDevices(HostContext* context) {
    DeviceRecord* database = context->deviceDatabase;
    if (database == nullptr) {
        return;
    }
    // Acquire: pairs with the enumeration's release store of the count, after it filled the slots.
    for (std::int32_t i = 0; i < std::min(context->deviceCount.load(std::memory_order_acquire), kDeviceRecordCount);
         ++i) {
        DeviceRecord& record = database[i];
        // Acquire: pairs with open's release store of the handle, made after the port set-up.
        if (record.ftHandle.load(std::memory_order_acquire) == nullptr) {
            continue;
        }
        TriggerCall trigger{};
        record.guard.lock();
        // Relaxed: under the guard, which orders this load after any close or clear.
        if (record.ftHandle.load(std::memory_order_relaxed) != nullptr) {
            pollDevice(context, record, trigger);
        }
        record.guard.unlock();
        if (trigger.callback != nullptr) {
            trigger.callback(trigger.deviceIndex, trigger.channel, trigger.commandByte, trigger.value, trigger.buffer,
                             trigger.value);
        }
    }
}

} // namespace

void pollDevice(HostContext* context, DeviceRecord& record, TriggerCall& trigger) {
    // Relaxed: the caller holds the record's guard.
    d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
    d2xx::DWORD pending = 0;
    d2xx::DWORD transmitQueue = 0;
    d2xx::DWORD events = 0;
    // The status is not examined: a failed call leaves the count at 0, which reads nothing.
    context->driverTable->FT_GetStatus(handle, &pending, &transmitQueue, &events);
    if (pending != 0) {
        logMessage(context, "Read buffer for device %s / %s has %u bytes pending\n", record.deviceName,
                   record.serialNumber, static_cast<unsigned>(pending));
    }
    if (record.blockBytesRemaining != 0) {
        readBlockData(context, record, handle, pending);
    } else {
        readHeader(context, record, handle, pending, trigger);
    }
}

bool appendFifoEntry(HostContext* context, DeviceRecord& record, std::uint8_t length) {
    if (!queueEntry(context, record, currentChannel(record), record.commandByte, length)) {
        setLastError(context, kFifoFull);
        return false;
    }
    // Release: pairs with the self test's acquire load; the board's message is queued.
    record.blockLength.store(0, std::memory_order_release);
    return true;
}

std::uint32_t readThreadLoop(void* argument) {
    auto* context = static_cast<HostContext*>(argument);
    // Acquire: threadsRunning is set before the thread starts; read afresh on every pass.
    while (context->threadsRunning.load(std::memory_order_acquire) != 0) {
        pollOpenDevices(context);
        platform::yield();
    }
    return 0;
}

} // namespace corvane
