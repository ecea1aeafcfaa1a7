#include "core/host_context.h"

#include "core/log.h"
#include "platform/platform.h"
#include "transfer/board_wake.h"
#include "transfer/threads.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace corvane {

HostContext* constructHostContext(HostContext* context) {
    context->deviceCount.store(0, std::memory_order_relaxed);
    context->driverTable = nullptr;
    context->deviceInfoList = nullptr;
    context->activeDevice.store(nullptr, std::memory_order_relaxed);
    context->readBuffer = nullptr;
    context->readThreadId.store(0, std::memory_order_relaxed);
    context->writeThreadId.store(0, std::memory_order_relaxed);
    context->lightShowThreadId.store(0, std::memory_order_relaxed);
    context->inputBufferCapacity = kInputBufferCapacity;
    context->logFile = nullptr;
    context->debugMode.store(0, std::memory_order_relaxed);

    // Value-initialised: every field zero, every atomic 0 or null.
    context->deviceDatabase = new (std::nothrow) DeviceRecord[kDeviceRecordCount]();

    std::snprintf(context->lastError.slots[0], kLastErrorSize, "%s", "No error found!\n");
    context->lastError.nextSlot.store(1, std::memory_order_relaxed);
    context->lastError.current.store(0, std::memory_order_relaxed);

    prepareReceiveSettings(context);

    initDeviceList(context);
    startThreads(context);
    logMessage(context, "Opening FTD library\n");
    // The slot a missing entry point's text goes to; the process ends right after.
    loadDriverLibrary(&context->driverTable, context->lastError.slots[0], context->settings);
    return context;
}

void prepareReceiveSettings(HostContext* context) {
    readReceiveSettings(context);
    context->batchBuffer = nullptr;
    context->readerWake = nullptr;
    context->writerWake = nullptr;
    context->boardWake = nullptr;
    context->fifoQueued = 0;
    context->fifoDelivered.store(0, std::memory_order_relaxed);
    context->readerWantsRoom.store(false, std::memory_order_relaxed);
    context->boardsToReconnect.store(0, std::memory_order_relaxed);
    // What a setting needs is made now, never on the receive path; without it the default stays.
    if (context->settings.batched) {
        context->batchBuffer = static_cast<std::uint8_t*>(std::malloc(kBatchReadSize));
        context->settings.batched = context->batchBuffer != nullptr;
    }
    if (context->settings.idleWait) {
        context->readerWake = platform::createWakeEvent();
        context->writerWake = platform::createWakeEvent();
        context->settings.idleWait = context->readerWake != nullptr && context->writerWake != nullptr;
        if (!context->settings.idleWait) {
            context->readerWake = nullptr; // an event made alone is left unused, like the context
        }
    }
    context->boardWake = context->settings.idleWait ? createBoardWake(context) : nullptr;
}

int initDeviceList(HostContext* context) {
    if (context->readBuffer != nullptr) {
        std::free(context->readBuffer);
        context->readBuffer = nullptr;
    }
    logMessage(context, "Initializing device list\n");
    context->readBuffer = static_cast<std::uint8_t*>(std::malloc(kReadBufferSize));
    if (context->readBuffer == nullptr) {
        return 0;
    }
    if (context->deviceDatabase != nullptr) {
        for (int i = 0; i < kDeviceRecordCount; ++i) {
            context->deviceDatabase[i].deviceIndex = i;
        }
    }
    context->fifoWriteIndex = 0;
    for (FifoEntry& entry : context->fifo) {
        entry.busy.store(0, std::memory_order_relaxed);
        entry.channel = 0;
        entry.deviceIndex = 0;
        entry.commandByte = 0;
        entry.length = 0;
        entry.skipBytes = 0;
        entry.generation = 0;
    }
    return 1;
}

int startThreads(HostContext* context) {
    // Relaxed: thread creation itself publishes everything written before it to the new threads.
    context->threadsRunning.store(1, std::memory_order_relaxed);
    if (platform::startThread(readThreadLoop, context, &context->readThreadId) == 0) {
        setLastError(context, "Could not create read thread!");
        return 0;
    }
    if (platform::startThread(writeThreadLoop, context, &context->writeThreadId) == 0) {
        setLastError(context, "Could not create write thread!");
        return 0;
    }
    return 1;
}

} // namespace corvane
