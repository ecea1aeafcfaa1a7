// The write thread: takes the FIFO's entries in order, moves each message's bytes from its channel
// buffer into the board's callback buffer and calls the channel's callback, else the general one.
#include "core/host_context.h"
#include "platform/platform.h"
#include "transfer/input_buffer.h"
#include "transfer/threads.h"

#include <chrono>

namespace corvane {

// Delivers one busy entry. The bytes are moved under the record's guard, so an enumeration or a
// close never changes the record halfway; the callback runs after the guard is released, so it
// may send, register, close, reopen or enumerate.
void deliverEntry(HostContext* context, const FifoEntry& entry) {
    DeviceRecord* database = context->deviceDatabase;
    if (database == nullptr || entry.deviceIndex >= kDeviceRecordCount) {
        return;
    }
    DeviceRecord& record = database[entry.deviceIndex];
    ReadCallback callback = nullptr;
    {
        SharedHolder hold(record.guard);
        InputBuffer* buffer = record.inputBuffers[entry.channel];
        // Relaxed: read under the guard, under which an enumeration counts it up. An entry of a
        // record cleared since it was queued has lost its buffer: it is consumed without a call,
        // even when the slot has been listed and opened again.
        if (record.generation.load(std::memory_order_relaxed) != entry.generation || buffer == nullptr) {
            return;
        }
        if (entry.skipBytes != 0) {
            discardBytes(*buffer, entry.skipBytes);
        }
        if (entry.length == 0) {
            return; // an entry that only claims the bytes of dropped messages
        }
        takeBytes(*buffer, record.callbackBuffer, entry.length);
        // Acquire: pairs with the registration's release store, so what the application set up
        // before registering is visible to the callback.
        callback = record.channelCallbacks[entry.channel].load(std::memory_order_acquire);
        if (callback == nullptr) {
            callback = record.readCallback.load(std::memory_order_acquire);
        }
    }
    if (callback != nullptr) {
        callback(entry.deviceIndex, entry.channel, entry.commandByte, entry.length, record.callbackBuffer,
                 entry.length);
    }
}

namespace {

// Whether the FIFO slot the write thread looks at next is still empty; called before it sleeps.
bool slotStillFree(void* argument) {
    // Acquire: pairs with the read thread's release store of busy, as in the loop.
    return static_cast<FifoEntry*>(argument)->busy.load(std::memory_order_acquire) == 0;
}

} // namespace

std::uint32_t writeThreadLoop(void* argument) {
    auto* context = static_cast<HostContext*>(argument);
    std::uint32_t readIndex = 0;
    std::uint64_t delivered = 0;
    const bool batched = context->settings.batched;
    const bool idleWait = context->settings.idleWait;
    auto lastDelivery = std::chrono::steady_clock::time_point{};
    // Acquire: threadsRunning is set before the thread starts; read afresh on every look.
    while (context->threadsRunning.load(std::memory_order_acquire) != 0) {
        FifoEntry* entry = &context->fifo[readIndex];
        // Acquire: pairs with the read thread's release store of busy, after it filled the entry.
        // By default one entry is handled per look; batched, every ready one before yielding.
        bool handled = false;
        while (entry->busy.load(std::memory_order_acquire) != 0) {
            deliverEntry(context, *entry);
            // Release: pairs with the read thread's acquire check before it refills the slot, so
            // this thread's reads of the entry are over by then.
            entry->busy.store(0, std::memory_order_release);
            readIndex = (readIndex + 1) % kFifoSize;
            // Release: pairs with the batched read's acquire load when it counts the free slots;
            // the slot was freed above.
            context->fifoDelivered.store(++delivered, std::memory_order_release);
            handled = true;
            entry = &context->fifo[readIndex];
            if (!batched) {
                break;
            }
        }
        if (idleWait) {
            // Relaxed: the flag only asks for a wake-up; the counts above carry the room itself.
            if (handled && context->readerWantsRoom.exchange(false, std::memory_order_relaxed)) {
                platform::signalWakeEvent(context->readerWake);
            }
            const auto now = std::chrono::steady_clock::now();
            if (handled) {
                lastDelivery = now;
            } else if (now - lastDelivery >= std::chrono::microseconds(kSpinBeforeWaitUs)) {
                // Right after a delivery the thread keeps looking, so a steady stream never
                // waits for the read thread's signal; then it sleeps until that signal.
                platform::waitWakeEvent(context->writerWake, kWriterIdleWaitMs, slotStillFree, entry);
                continue;
            }
        }
        platform::yield();
    }
    return 0;
}

} // namespace corvane
