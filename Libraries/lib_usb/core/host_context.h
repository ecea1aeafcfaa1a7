// The one record that holds all run-time state of an open library. Every internal routine takes
// it first. Fields that one thread writes and another polls are atomics.
#pragma once

#include "core/constants.h"
#include "core/settings.h"
#include "core/spin_lock.h"
#include "d2xx.h"
#include "devices/device_record.h"
#include "driver/driver_table.h"
#include "platform/platform.h"
#include "transfer/fifo.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace corvane {

struct BoardWake;

// The last-error text. A writer claims the next of a few slots, fills it and then publishes it,
// so a reader holding the newest text is not overwritten by the next error, only by the fourth.
struct LastErrorText {
    char slots[kLastErrorSlots][kLastErrorSize];
    std::atomic<std::uint32_t> nextSlot; // writers claim slots with fetch_add
    std::atomic<std::uint32_t> current;  // the slot published last
};

struct HostContext {
    // Light show: written by the caller's thread, read afresh by the lightshow thread at every
    // test and step.
    std::atomic<std::uint32_t> lightShowDelay;
    std::atomic<std::int32_t> lightShowRepeats;
    std::atomic<const std::uint8_t*> lightShowSequence;
    std::atomic<std::int32_t> lightShowLength;
    std::atomic<std::uint32_t> lightShowThreadId;   // non-zero while a show runs
    std::FILE* logFile;                             // touched only by the holder of logBusy
    char logText[kLogTextSize];                     // touched only by the holder of logBusy
    DriverTable* driverTable;                       // written once during construction
    d2xx::FT_DEVICE_LIST_INFO_NODE* deviceInfoList; // under the enumeration lock
    std::atomic<std::int32_t> deviceCount;
    std::atomic<DeviceRecord*> activeDevice;
    DeviceRecord* deviceDatabase; // 256 records that never move
    LastErrorText lastError;
    std::uint8_t* readBuffer; // the read thread's scratch buffer
    std::atomic<std::uint16_t> threadsRunning;
    std::int32_t inputBufferCapacity;
    FifoEntry fifo[kFifoSize];
    std::int32_t fifoWriteIndex; // read thread only
    std::atomic<std::int32_t> debugMode;
    std::atomic<std::uint32_t> readThreadId;
    std::atomic<std::uint32_t> writeThreadId;

    // Keeps the writes of one send operation together on the wire (application threads and the
    // lightshow thread), and keeps a close or an enumeration from closing a handle that a send is
    // writing to; held only around driver writes and FT_Close, never across a callback.
    SpinLock sendLock;

    // The receive settings of this open (CORVANE_RX, CORVANE_IDLE, CORVANE_LATENCY_MS), and what
    // they need; written during construction, before the threads start, and never again.
    ReceiveSettings settings;
    std::uint8_t* batchBuffer;       // batched: what one read of a board lands in (kBatchReadSize)
    platform::WakeEvent* readerWake; // wait: the read thread sleeps on it; also the driver's notification
    platform::WakeEvent* writerWake; // wait: the write thread sleeps on it while the FIFO is empty
    BoardWake* boardWake;            // wait: every board's own notification; null: every board every pass
    std::uint64_t fifoQueued;        // read thread only: entries queued since the start
    // Entries the write thread has finished with since the start; with fifoQueued it tells the
    // batched read how many FIFO slots are free.
    std::atomic<std::uint64_t> fifoDelivered;
    std::atomic<bool> readerWantsRoom; // wait: the read thread left bytes in a driver for lack of room
    // Boards whose reconnect state is not None: while it is 0 the read thread's pass looks for
    // no lost board and makes no driver call for one.
    std::atomic<std::int32_t> boardsToReconnect;
};

// Builds a context in place of a freshly allocated one: device database, first error text,
// device list, both threads, then the driver binding. Returns the context.
HostContext* constructHostContext(HostContext* context);
// Reads the receive settings from the environment and makes what they need (the batch buffer,
// the two wake-up events); a setting whose needs cannot be met falls back to the default.
void prepareReceiveSettings(HostContext* context);
int initDeviceList(HostContext* context);
int startThreads(HostContext* context);

// The newest last-error text.
const char* lastErrorText(HostContext* context);

} // namespace corvane
