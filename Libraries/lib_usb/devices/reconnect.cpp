// The port set-up shared by an open and a reconnection, and the reconnection of lost boards
// (CORVANE_RECONNECT=auto), which the read thread does between its passes.
//
// A board reported lost goes through two steps, each under its record's guard:
//  - Retire: its dead handle is closed, with the send lock held so that no send is writing to it,
//    and ftHandle becomes null; the read thread no longer polls it. A send that finds the send
//    lock taken delays this step to a later pass rather than making the read thread wait.
//  - Await: every kReconnectIntervalMs the board is opened by its serial number (never through an
//    enumeration, which would disturb the other boards). Once it answers, the new handle is set
//    up like a fresh open and installed into the same record, with the record's buffers,
//    callbacks and index untouched; the sends see it through ftHandle, published before
//    lostReported is cleared.
// Open, close and enumeration end a reconnection under the same guard.
#include "core/log.h"
#include "devices/devices.h"
#include "transfer/board_wake.h"
#include "transfer/wake.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace corvane {

namespace {

constexpr const char* kNoLatencyTimerLine = "FT_SetLatencyTimer is not in %s: the latency timer stays as it is\n";
constexpr const char* kNoNotificationLine =
    "FT_SetEventNotification failed: the read thread looks for bytes at its idle interval\n";
constexpr const char* kReconnected = "Reconnected to device: %s / %s";

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Step one: the dead handle is closed and dropped from the record.
void retireDeadHandle(HostContext* context, DeviceRecord& record, std::int64_t now) {
    // Never waits: a send may be in a long write to another board; the next pass tries again.
    if (!context->sendLock.try_lock()) {
        return;
    }
    {
        SpinLockHolder hold(record.guard);
        if (record.reconnect == Reconnect::Retire) {
            // Relaxed: under the guard.
            d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
            // Whatever the driver answers, the handle is not used again.
            if (handle != nullptr && context->driverTable->FT_Close(handle) != d2xx::FT_OK) {
                logMessage(context, kDeviceCloseFailedLine, record.deviceName, record.serialNumber);
            }
            // Release: a poller's unguarded acquire pre-check sees the record as not open.
            record.ftHandle.store(nullptr, std::memory_order_release);
            record.reconnect = Reconnect::Await;
            record.nextReconnectMs = now + kReconnectIntervalMs;
        }
    }
    context->sendLock.unlock();
}

// Step two: the board is looked for by its serial number and, once it answers, reopened into its
// record.
void lookAgain(HostContext* context, DeviceRecord& record, std::int64_t now) {
    record.nextReconnectMs = now + kReconnectIntervalMs;
    char name[sizeof record.deviceName];
    char serial[sizeof record.serialNumber];
    std::uint32_t generation;
    {
        SharedHolder hold(record.guard);
        if (record.reconnect != Reconnect::Await) {
            return;
        }
        std::memcpy(name, record.deviceName, sizeof name);
        std::memcpy(serial, record.serialNumber, sizeof serial);
        // Relaxed: under the guard.
        generation = record.generation.load(std::memory_order_relaxed);
    }
    DriverTable* driver = context->driverTable;
    d2xx::FT_HANDLE handle = nullptr;
    if (driver->FT_OpenEx(serial, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) != d2xx::FT_OK || handle == nullptr) {
        return; // still gone: looked for again at the next interval
    }
    configurePort(context, handle, record.deviceIndex);
    bool installed = false;
    {
        SpinLockHolder hold(record.guard);
        // The application may have closed, reopened or listed the boards in between.
        if (record.reconnect == Reconnect::Await && record.generation.load(std::memory_order_relaxed) == generation &&
            record.ftHandle.load(std::memory_order_relaxed) == nullptr) {
            resetReceiveStateLocked(record);
            ++record.openCount;
            // Relaxed: the self test polls it only to see a block end; zero is a final value.
            record.blockLength.store(0, std::memory_order_relaxed);
            // Release: pairs with the acquire loads of the sends, made after they saw
            // lostReported cleared below, and with the read thread's own pre-check.
            record.ftHandle.store(handle, std::memory_order_release);
            endReconnectLocked(context, record);
            installed = true;
        }
    }
    if (!installed) {
        driver->FT_Close(handle);
        return;
    }
    char text[kLostTextSize];
    std::snprintf(text, sizeof text, kReconnected, name, serial);
    logMessage(context, "%s\n", text);
    setLastErrorText(context, text);
}

} // namespace

void configurePort(HostContext* context, d2xx::FT_HANDLE handle, int slot) {
    DriverTable* driver = context->driverTable;
    driver->FT_SetBaudRate(handle, kBaudRate);
    driver->FT_Purge(handle, d2xx::FT_PURGE_RX | d2xx::FT_PURGE_TX);
    driver->FT_SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs);
    if (context->settings.latencyMs != 0) {
        if (driver->FT_SetLatencyTimer == nullptr) {
            logMessage(context, kNoLatencyTimerLine, driver->libraryName);
        } else {
            driver->FT_SetLatencyTimer(handle, context->settings.latencyMs);
        }
    }
    if (context->settings.idleWait &&
        driver->FT_SetEventNotification(handle, d2xx::FT_EVENT_RXCHAR, boardNotification(context, slot)) !=
            d2xx::FT_OK) {
        logMessage(context, kNoNotificationLine);
    }
}

void resetReceiveStateLocked(DeviceRecord& record) {
    if (record.currentChannel >= 0 && record.currentChannel < kChannelCount) {
        record.droppedBytes[record.currentChannel] += record.blockStoredBytes;
    }
    record.blockBytesRemaining = 0;
    record.blockStoredBytes = 0;
    record.blockRefused = false;
    record.blockAbandoned = false;
    record.headerBytesHeld = 0;
    // A reopened board is answering: a later loss is reported afresh.
    record.statusFailed = false;
    record.failedStatusPasses = 0;
    record.lost = false;
    record.readFailureReported = false;
    record.queueFullReported = false;
}

void formatLostTextLocked(const DeviceRecord& record, char (&text)[kLostTextSize]) {
    std::snprintf(text, sizeof text, kLostConnection, record.deviceName, record.serialNumber);
}

void formatLostText(DeviceRecord& record, char (&text)[kLostTextSize]) {
    SharedHolder hold(record.guard);
    formatLostTextLocked(record, text);
}

void endReconnectLocked(HostContext* context, DeviceRecord& record) {
    if (record.reconnect != Reconnect::None) {
        record.reconnect = Reconnect::None;
        // Relaxed: a count the read thread only tests for 0; each record's state is under its guard.
        context->boardsToReconnect.fetch_sub(1, std::memory_order_relaxed);
    }
    // Release: pairs with the acquire loads of the sends, the self test and the light show; for a
    // reconnected board its new handle is stored before.
    record.lostReported.store(false, std::memory_order_release);
}

void tendLostBoards(HostContext* context) {
    // Relaxed: a hint; each record's state is read under its guard.
    if (context->boardsToReconnect.load(std::memory_order_relaxed) == 0 || context->deviceDatabase == nullptr) {
        return;
    }
    const std::int64_t now = steadyMs();
    // Acquire: as in the read thread's pass.
    const std::int32_t count = std::min(context->deviceCount.load(std::memory_order_acquire), kDeviceRecordCount);
    for (std::int32_t i = 0; i < count; ++i) {
        DeviceRecord& record = context->deviceDatabase[i];
        Reconnect state;
        {
            SharedHolder hold(record.guard);
            state = record.reconnect;
        }
        if (state == Reconnect::Retire) {
            retireDeadHandle(context, record, now);
        } else if (state == Reconnect::Await && now >= record.nextReconnectMs) {
            lookAgain(context, record, now);
        }
    }
}

} // namespace corvane
