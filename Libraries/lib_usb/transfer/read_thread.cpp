// The read thread: the library's only receiver. It polls every open board over and over, decodes
// the boards' two-byte headers, stores data bytes in the channel buffers and queues every finished
// single byte or block in the FIFO for the write thread. Triggers go straight to the general
// callback, on this thread.
//
// Two ways to feed the decoder, one decoder: by default each pass reads one header or one piece
// of block data per board, exactly what the next decoder step takes; with CORVANE_RX=batched it
// reads everything pending that the FIFO and the channel buffers have room for, and runs the same
// steps over those bytes in hand until they are used up.
//
// Every message's bytes are accounted for: an entry takes exactly the bytes its own message
// stored, and the stored bytes of a message that could not be queued (FIFO full, block refused by
// its buffer, block cut short by a reopen) are counted in droppedBytes and skipped by the next
// entry of the channel.
#include "transfer/read_thread.h"

#include "core/log.h"
#include "devices/devices.h"
#include "platform/platform.h"
#include "transfer/board_wake.h"
#include "transfer/input_buffer.h"
#include "transfer/protocol.h"
#include "transfer/threads.h"
#include "transfer/wake.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace corvane {

namespace {

constexpr char kWrongTransferMode[] =
    "Message received does not have the right transfer mode; expecting output from device";
constexpr char kSingleByteRefused[] = "SBTM: Input buffer is full";
constexpr char kBlockRefused[] = "BTM: Input buffer is full";
constexpr char kBlockReadFailed[] = "BTM: Error receiving message block status";
constexpr char kFifoFull[] = "Error: Ran out of FIFO memory";
// The vendor's driver keeps asking the chip for data while its receive queue holds its cap of
// 64 KiB, and throws away what does not fit; a status call that reports the cap is the only sign
// of it. Each such episode is reported once, with the board's name, and ends when the queue has
// drained to half of the cap, so a queue that hovers at the cap during one overrun says it once.
constexpr char kDriverQueueFull[] = "Driver receive queue of device %s / %s is full; the driver may have dropped data";
constexpr std::uint32_t kDriverQueueCap = 65536;
constexpr std::uint32_t kDriverQueueDrained = kDriverQueueCap / 2;
// A board whose status call failed on this many passes in a row has stopped answering: the
// vendor's driver fails every call on the handle of a device that was pulled out or lost power.
// One failure alone is not enough; it may pass.
constexpr std::uint32_t kLostBoardPasses = 2;

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
    ++context->fifoQueued;
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
    if (record.blockAbandoned) {
        // Dropped when its board was lost, and reported then; the rest came after all.
        record.blockAbandoned = false;
        record.blockRefused = false;
        record.blockStoredBytes = 0;
        return;
    }
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

// One piece of block data, at most what the block still lacks: stored, and the block finished with
// its last byte.
void storeBlockData(HostContext* context, DeviceRecord& record, const std::uint8_t* bytes, std::uint32_t count) {
    record.blockBytesRemaining -= count;
    // Relaxed: a progress count that the self test compares between looks; no data rides on it.
    record.blockProgress.fetch_add(1, std::memory_order_relaxed);
    if (!record.blockRefused && !record.blockAbandoned) {
        InputBuffer* buffer = record.inputBuffers[currentChannel(record)];
        if (buffer != nullptr && putBytes(*buffer, bytes, count) == count) {
            record.blockStoredBytes += count;
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

// One decoder step over the bytes in hand: a header (or the part of it still missing) or one
// piece of block data. Returns the bytes it used; a trigger is captured in `trigger`.
std::uint32_t decodeStep(HostContext* context, DeviceRecord& record, const std::uint8_t* bytes, std::uint32_t count,
                         TriggerCall& trigger) {
    if (record.blockBytesRemaining != 0) {
        const std::uint32_t piece = std::min(count, record.blockBytesRemaining);
        storeBlockData(context, record, bytes, piece);
        return piece;
    }
    // A header is decoded only whole; a byte handed over alone waits for its partner.
    const std::uint32_t piece = std::min(count, protocol::kHeaderSize - record.headerBytesHeld);
    std::memcpy(record.headerBytes + record.headerBytesHeld, bytes, piece);
    record.headerBytesHeld += piece;
    if (record.headerBytesHeld == protocol::kHeaderSize) {
        record.headerBytesHeld = 0;
        decodeHeader(context, record, trigger);
    }
    return piece;
}

// A failed read of block data is reported once: its repeats on the same board (a board pulled out
// fails every read) stay quiet until a read succeeds again, and a board already reported lost
// says nothing more. The step goes on as before: the block keeps its place.
void noteRead(HostContext* context, DeviceRecord& record, d2xx::FT_STATUS status, bool inBlock) {
    if (status == d2xx::FT_OK) {
        record.readFailureReported = false;
    } else if (inBlock && !record.readFailureReported && !record.lost) {
        record.readFailureReported = true;
        setLastError(context, kBlockReadFailed);
    }
}

// The board was lost in the middle of a block, which can no longer arrive whole: it is dropped,
// its stored bytes are counted as dropped and claimed at once, and the self test's wait on
// blockLength ends. Should the rest come after all, it is read and skipped, so the next header is
// still taken from the right place.
void abandonBlock(HostContext* context, DeviceRecord& record) {
    if (record.blockBytesRemaining == 0 || record.blockAbandoned) {
        return;
    }
    const std::uint32_t channel = currentChannel(record);
    record.droppedBytes[channel] += record.blockStoredBytes;
    record.blockStoredBytes = 0;
    record.blockAbandoned = true;
    // Release: pairs with the self test's acquire load; no more of this block is awaited.
    record.blockLength.store(0, std::memory_order_release);
    releaseDroppedBytes(context, record, channel);
}

// After each poll of a board: a board whose status call keeps failing is reported once, by name,
// and the block it was sending is dropped. By default it stays open and polled, at the cost of one
// failing status call per pass, until the application closes it; a status call that succeeds
// again makes a later loss reported afresh. With reconnecting on, the read thread closes its dead
// handle after this poll and looks for the board again (tendLostBoards).
void watchForLoss(HostContext* context, DeviceRecord& record) {
    if (!record.statusFailed) {
        record.failedStatusPasses = 0;
        if (record.lost) {
            // It answers again on its own handle.
            record.lost = false;
            endReconnectLocked(context, record);
        }
        return;
    }
    if (record.lost || ++record.failedStatusPasses < kLostBoardPasses) {
        return;
    }
    record.lost = true;
    abandonBlock(context, record);
    // Release, and before the text: whoever sees the lost-board text below (its slot is published
    // with release after this store) also sees the flag, so a send after it fails at once and
    // writes nothing to the dead handle. The self test and the light show, having seen the flag,
    // set the same text themselves, so it is still their last error.
    record.lostReported.store(true, std::memory_order_release);
    // Formatted once per loss, never on the passes that follow.
    char text[kLostTextSize];
    formatLostTextLocked(record, text);
    setLastError(context, text);
    if (context->settings.reconnect && record.reconnect == Reconnect::None) {
        record.reconnect = Reconnect::Retire;
        // Relaxed: a count the read thread only tests for 0; the state is under the guard.
        context->boardsToReconnect.fetch_add(1, std::memory_order_relaxed);
    }
}

// The default feed: exactly the bytes of the next step, read when they are there. The header
// read's status is not examined (a short read leaves part of the header held); a failed block
// read is reported (once), and whatever the driver says it handed over is used either way.
std::uint32_t pollOneStep(HostContext* context, DeviceRecord& record, d2xx::FT_HANDLE handle, std::uint32_t pending,
                          TriggerCall& trigger) {
    const bool inBlock = record.blockBytesRemaining != 0;
    // A block's read is made even when nothing is pending: it costs the driver nothing.
    const std::uint32_t wanted =
        inBlock ? std::min({pending, record.blockBytesRemaining, static_cast<std::uint32_t>(kReadBufferSize)})
                : protocol::kHeaderSize - record.headerBytesHeld;
    if (!inBlock && pending < wanted) {
        return 0;
    }
    d2xx::DWORD got = 0;
    noteRead(context, record, context->driverTable->FT_Read(handle, context->readBuffer, wanted, &got), inBlock);
    got = std::min(got, wanted);
    if (got != 0) {
        decodeStep(context, record, context->readBuffer, got, trigger);
    }
    return got;
}

// What one batched read may take from a board without anything being dropped for lack of room:
// every byte of it may be data of one channel, and every two bytes may complete a message (plus
// the block in progress). The counts of the write thread may be stale, which only underestimates.
std::uint32_t batchRoom(HostContext* context, const DeviceRecord& record) {
    // Acquire: pairs with the write thread's release store after it freed the entries.
    const std::uint64_t delivered = context->fifoDelivered.load(std::memory_order_acquire);
    const std::uint64_t freeEntries = kFifoSize - (context->fifoQueued - delivered);
    std::uint64_t room = freeEntries == 0 ? 0 : 2 * (freeEntries - 1);
    for (InputBuffer* buffer : record.inputBuffers) {
        if (buffer == nullptr) {
            continue; // the decoder refuses its messages as it does in the default feed
        }
        // Acquire: pairs with the write thread's release when it took bytes out; a put never
        // stores the last free byte.
        const std::uint32_t free = buffer->freeBytes.load(std::memory_order_acquire);
        room = std::min<std::uint64_t>(room, free == 0 ? 0 : free - 1);
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(room, kBatchReadSize));
}

// What one pass over the open boards did, for the idle wait and the write thread's wake-up.
struct PassResult {
    bool readBytes = false;  // some board handed over bytes
    bool queued = false;     // some message went into the FIFO
    bool roomWanted = false; // a board had bytes pending that found no room (batched feed)
};

// The batched feed for one board, with its guard held: the status, one read of what there is
// room for, into `hand`.
void pollBatched(HostContext* context, DeviceRecord& record, BytesInHand& hand, PassResult& result) {
    // Relaxed: the caller holds the record's guard.
    d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
    const std::uint32_t pending = statusOf(context, record, handle);
    const std::uint32_t wanted = std::min(pending, batchRoom(context, record));
    if (wanted < pending && wanted < kBatchReadSize) {
        result.roomWanted = true;
    }
    // As in the default feed, a block's read is made even when there is nothing to take.
    if (wanted == 0 && record.blockBytesRemaining == 0) {
        return;
    }
    d2xx::DWORD got = 0;
    noteRead(context, record, context->driverTable->FT_Read(handle, context->batchBuffer, wanted, &got),
             record.blockBytesRemaining != 0);
    hand = BytesInHand{context->batchBuffer, 0, std::min<std::uint32_t>(got, wanted)};
    result.readBytes = result.readBytes || hand.end != 0;
}

// Runs decoder steps over the bytes in hand until they are used up or a trigger is to be called.
void decodeInHand(HostContext* context, DeviceRecord& record, BytesInHand& hand, TriggerCall& trigger) {
    while (hand.position < hand.end && trigger.callback == nullptr) {
        hand.position += decodeStep(context, record, hand.bytes + hand.position, hand.end - hand.position, trigger);
    }
}

void callTrigger(const TriggerCall& trigger) {
    trigger.callback(trigger.deviceIndex, trigger.channel, trigger.commandByte, trigger.value, trigger.buffer,
                     trigger.value);
}

// One pass over the open boards, in database order. While the boards have their own notifications,
// only the boards that are due (signalled, busy at their last look, or at their safety interval)
// are asked.
PassResult pollOpenDevices(HostContext* context) {
    PassResult result;
    DeviceRecord* database = context->deviceDatabase;
    if (database == nullptr) {
        return result;
    }
    BoardWake* wake = context->boardWake;
    const auto now = wake != nullptr ? startBoardPass(wake) : BoardWake::Clock::time_point{};
    const std::uint64_t queuedBefore = context->fifoQueued;
    // Acquire: pairs with the enumeration's release store of the count, after it filled the slots.
    for (std::int32_t i = 0; i < std::min(context->deviceCount.load(std::memory_order_acquire), kDeviceRecordCount);
         ++i) {
        DeviceRecord& record = database[i];
        // Acquire: pairs with open's release store of the handle, made after the port set-up.
        if (record.ftHandle.load(std::memory_order_acquire) == nullptr) {
            continue;
        }
        if (wake != nullptr && !boardDue(wake, i, now)) {
            continue;
        }
        const BoardPoll poll = pollBoard(context, record);
        if (wake != nullptr) {
            noteBoardLook(wake, i, poll, now);
        }
        result.readBytes = result.readBytes || poll.readBytes;
        result.roomWanted = result.roomWanted || poll.roomWanted;
    }
    result.queued = context->fifoQueued != queuedBefore;
    return result;
}

// Whether every open board still has what the last pass saw pending; called before the read
// thread sleeps, where the driver's notification of new bytes cannot be missed.
bool stillIdle(void* argument) {
    auto* context = static_cast<HostContext*>(argument);
    DeviceRecord* database = context->deviceDatabase;
    // Acquire: as in the pass.
    for (std::int32_t i = 0; i < std::min(context->deviceCount.load(std::memory_order_acquire), kDeviceRecordCount);
         ++i) {
        DeviceRecord& record = database[i];
        SharedHolder hold(record.guard);
        // Relaxed: under the guard.
        d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
        if (handle == nullptr) {
            continue;
        }
        d2xx::DWORD pending = 0;
        d2xx::DWORD transmitQueue = 0;
        d2xx::DWORD events = 0;
        context->driverTable->FT_GetStatus(handle, &pending, &transmitQueue, &events);
        if (pending != record.lastPending) {
            return false;
        }
    }
    return true;
}

// After each status call of a driver that drops (the vendor's, or a file named by its path, which
// may be the vendor's too): a queue at the cap starts an episode, reported once; a queue drained to
// half of it ends the episode. The open driver holds the board back instead and is not watched.
void watchDriverQueue(HostContext* context, DeviceRecord& record, std::uint32_t pending) {
    if (context->settings.driver == DriverChoice::open) {
        return;
    }
    if (record.queueFullReported) {
        record.queueFullReported = pending > kDriverQueueDrained;
        return;
    }
    if (pending >= kDriverQueueCap) {
        record.queueFullReported = true;
        char text[kLastErrorSize];
        std::snprintf(text, sizeof text, kDriverQueueFull, record.deviceName, record.serialNumber);
        setLastError(context, text); // also the episode's one line in the debug log
    }
}

} // namespace

BoardPoll pollBoard(HostContext* context, DeviceRecord& record) {
    PassResult result;
    TriggerCall trigger{};
    BytesInHand hand{};
    record.guard.lock_shared();
    // Relaxed: under the guard, which orders this load after any close or clear.
    d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
    const std::uint32_t generation = record.generation.load(std::memory_order_relaxed);
    const std::uint32_t opens = record.openCount;
    if (handle != nullptr) {
        if (context->settings.batched) {
            pollBatched(context, record, hand, result);
            decodeInHand(context, record, hand, trigger);
        } else {
            result.readBytes = pollDevice(context, record, trigger) != 0;
        }
        watchForLoss(context, record);
    }
    record.guard.unlock_shared();
    // Triggers are called without the guard, so the callback may close, reopen or enumerate.
    // Bytes still in hand after it belong to the board only while it stayed open as it was;
    // otherwise they go the way of the driver's queue at a close: a reopen purges it. The driver
    // may give the reopened board the same handle value, so the opens are compared too.
    while (trigger.callback != nullptr) {
        callTrigger(trigger);
        trigger = TriggerCall{};
        if (hand.position == hand.end) {
            break;
        }
        record.guard.lock_shared();
        if (record.ftHandle.load(std::memory_order_relaxed) == handle &&
            record.generation.load(std::memory_order_relaxed) == generation && record.openCount == opens) {
            decodeInHand(context, record, hand, trigger);
        }
        record.guard.unlock_shared();
    }
    return BoardPoll{result.readBytes, result.roomWanted};
}

std::uint32_t statusOf(HostContext* context, DeviceRecord& record, d2xx::FT_HANDLE handle) {
    d2xx::DWORD pending = 0;
    d2xx::DWORD transmitQueue = 0;
    d2xx::DWORD events = 0;
    // A failed call leaves the count at 0, which reads nothing; the pass notes the failure, and a
    // board whose status calls keep failing is reported lost.
    record.statusFailed = context->driverTable->FT_GetStatus(handle, &pending, &transmitQueue, &events) != d2xx::FT_OK;
    if (pending != 0) {
        logMessage(context, "Read buffer for device %s / %s has %u bytes pending\n", record.deviceName,
                   record.serialNumber, static_cast<unsigned>(pending));
    }
    record.lastPending = pending;
    watchDriverQueue(context, record, pending);
    return pending;
}

std::uint32_t pollDevice(HostContext* context, DeviceRecord& record, TriggerCall& trigger) {
    // Relaxed: the caller holds the record's guard.
    d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
    const std::uint32_t pending = statusOf(context, record, handle);
    return pollOneStep(context, record, handle, pending, trigger);
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
    auto lastRead = std::chrono::steady_clock::time_point{};
    // Acquire: threadsRunning is set before the thread starts; read afresh on every pass.
    while (context->threadsRunning.load(std::memory_order_acquire) != 0) {
        const PassResult pass = pollOpenDevices(context);
        tendLostBoards(context);
        if (context->settings.idleWait) {
            if (pass.queued) {
                platform::signalWakeEvent(context->writerWake);
            }
            const auto now = std::chrono::steady_clock::now();
            if (pass.readBytes) {
                lastRead = now;
            } else if (pass.roomWanted) {
                // Bytes wait for room: sleep until the write thread has made some.
                context->readerWantsRoom.store(true, std::memory_order_relaxed);
                platform::waitWakeEvent(context->readerWake, kRoomWaitMs, nullptr, nullptr);
                continue;
            } else if (now - lastRead >= std::chrono::microseconds(kSpinBeforeWaitUs)) {
                // Nothing came for a while: sleep until the driver signals new bytes, with a
                // bound for a driver that never signals. Right after traffic the thread keeps
                // looking instead, so a steady stream never waits for a wake-up.
                if (context->boardWake != nullptr) {
                    waitForBoards(context);
                } else {
                    platform::waitWakeEvent(context->readerWake, kReaderIdleWaitMs, stillIdle, context);
                }
                continue;
            }
        }
        platform::yield();
    }
    return 0;
}

} // namespace corvane
