// Enumeration: the driver's device list becomes the device database.
#include "core/library.h"
#include "core/log.h"
#include "demo/light_show.h"
#include "devices/devices.h"
#include "platform/platform.h"
#include "transfer/wake.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

// Serialises enumerations process-wide: the driver fills as many nodes as its latest snapshot
// holds, so a second FT_CreateDeviceInfoList between another enumeration's create and read would
// let the driver write past that enumeration's array. Also guards every context's deviceInfoList.
SpinLock enumerationLock;

// A device line carries two texts of at most 63 characters and a few numbers.
constexpr std::size_t kDeviceLineSize = 256;

// Copies a driver text field that need not be terminated: at most `sourceSize` bytes of it, cut
// to fit `target`, always terminated.
void copyBounded(char* target, std::size_t targetSize, const char* source, std::size_t sourceSize) {
    std::size_t length = 0;
    while (length < sourceSize && length + 1 < targetSize && source[length] != '\0') {
        ++length;
    }
    std::memcpy(target, source, length);
    target[length] = '\0';
}

std::size_t boundedLength(const char* text, std::size_t size) {
    std::size_t length = 0;
    while (length < size && text[length] != '\0') {
        ++length;
    }
    return length;
}

// Closes a record's board if it is still open and returns the record to the state of a freshly
// numbered slot. Caller holds the record's guard. callbackBuffer is left alone: the write thread
// may be running a callback on its bytes right now, and they mean nothing outside a callback.
void clearRecordLocked(HostContext* context, DeviceRecord& record) {
    // Relaxed: under the guard, which orders it against open and close.
    d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
    if (handle != nullptr) {
        // The read thread is outside this record (we hold its guard), so the handle is closed
        // while nobody uses it. A board left open here could never be closed or opened again.
        if (context->driverTable->FT_Close(handle) == d2xx::FT_OK) {
            logMessage(context, kDeviceClosedLine, record.deviceName, record.serialNumber);
        } else {
            logMessage(context, kDeviceCloseFailedLine, record.deviceName, record.serialNumber);
        }
    }
    for (InputBuffer*& buffer : record.inputBuffers) {
        destroyInputBuffer(buffer);
        buffer = nullptr;
    }
    std::memset(record.deviceName, 0, sizeof record.deviceName);
    std::memset(record.serialNumber, 0, sizeof record.serialNumber);
    // Release: a poller's unguarded acquire pre-check sees the record as closed.
    record.ftHandle.store(nullptr, std::memory_order_release);
    record.deviceId = 0;
    record.blockBytesRemaining = 0;
    // Relaxed: the self test polls it only to see a block end; zero is a final value.
    record.blockLength.store(0, std::memory_order_relaxed);
    // Relaxed: a progress count compared between looks; no data rides on it.
    record.blockProgress.store(0, std::memory_order_relaxed);
    record.currentChannel = 0;
    record.commandByte = 0;
    record.payloadByte = 0;
    // Relaxed: callback slots are plain pointers; readers fetch them afresh and need no other data.
    record.readCallback.store(nullptr, std::memory_order_relaxed);
    for (auto& callback : record.channelCallbacks) {
        callback.store(nullptr, std::memory_order_relaxed);
    }
    std::memset(record.droppedBytes, 0, sizeof record.droppedBytes);
    record.blockStoredBytes = 0;
    record.blockRefused = false;
    record.blockAbandoned = false;
    record.statusFailed = false;
    record.failedStatusPasses = 0;
    record.lost = false;
    endReconnectLocked(context, record);
    record.readFailureReported = false;
    record.queueFullReported = false;
    record.headerBytes[0] = 0;
    record.headerBytes[1] = 0;
    record.headerBytesHeld = 0;
    // Relaxed: read and compared only under the guard; entries queued before this clear now carry
    // an older generation and are consumed without a callback.
    record.generation.fetch_add(1, std::memory_order_relaxed);
}

// Stores one supported board in the next free slot; the slot is beyond deviceCount, so only the
// write thread (for a stale entry) and by-name walks can look at it, both under the guard.
void fillRecord(DeviceRecord& record, const d2xx::FT_DEVICE_LIST_INFO_NODE& node) {
    SpinLockHolder hold(record.guard);
    copyBounded(record.deviceName, sizeof record.deviceName, node.Description, sizeof node.Description);
    copyBounded(record.serialNumber, sizeof record.serialNumber, node.SerialNumber, sizeof node.SerialNumber);
    record.deviceId = node.ID;
    record.ftHandle.store(nullptr, std::memory_order_release); // Release: as in clearRecordLocked.
}

} // namespace

int ListUnopenedDevices(HostContext* context) {
    SpinLockHolder serialise(enumerationLock);
    // Release: the read thread's acquire load of the count stops it walking records about to
    // change; each record's guard covers a poll already under way.
    context->deviceCount.store(0, std::memory_order_release);

    DriverTable* driver = context->driverTable;
    if (driver == nullptr || driver->FT_CreateDeviceInfoList == nullptr) {
        setLastError(context, "FT_CreateDeviceInfoList was not initialized!");
        return 0;
    }
    std::free(context->deviceInfoList);
    context->deviceInfoList = nullptr;
    if (context->deviceDatabase == nullptr) {
        setLastError(context, "Device database not initialized!");
        return 0;
    }

    // A running show sends to the active board, whose handle is about to be closed.
    stopLightShow(context);
    {
        // No send is under way while open boards are closed, as in a device close.
        SpinLockHolder sends(context->sendLock);
        for (int i = 0; i < kDeviceRecordCount; ++i) {
            DeviceRecord& record = context->deviceDatabase[i];
            SpinLockHolder hold(record.guard);
            clearRecordLocked(context, record);
        }
    }

    d2xx::DWORD listed = 0;
    if (driver->FT_CreateDeviceInfoList(&listed) != d2xx::FT_OK) {
        setLastError(context, "Could not create a device info list");
        return 0;
    }

    int count = 0;
    if (listed == 0) {
        platform::consoleWrite("No devices found!\n");
    } else {
        // calloc: checks the size for overflow, and nodes the driver does not fill read as empty.
        auto* list =
            static_cast<d2xx::FT_DEVICE_LIST_INFO_NODE*>(std::calloc(listed, sizeof(d2xx::FT_DEVICE_LIST_INFO_NODE)));
        if (list == nullptr) {
            setLastError(context, "ListUnopenedDevices: Could not allocate device information array");
            return 0;
        }
        context->deviceInfoList = list;
        const d2xx::DWORD allocated = listed;
        if (driver->FT_GetDeviceInfoList(list, &listed) != d2xx::FT_OK) {
            setLastError(context, "Could not get the device info list");
            return 0;
        }
        logMessage(context, "Device List: %i devices found!\n", static_cast<int>(listed));

        // Never trust the driver's count beyond the array we gave it.
        const d2xx::DWORD walk = listed < allocated ? listed : allocated;
        int notRecorded = 0;
        for (d2xx::DWORD k = 0; k < walk; ++k) {
            const d2xx::FT_DEVICE_LIST_INFO_NODE& node = list[k];
            std::size_t serialLength = boundedLength(node.SerialNumber, sizeof node.SerialNumber);
            // Serials ending in 'A' name bridge interfaces that are never boards of ours: skipped
            // without a line.
            if (serialLength > 0 && node.SerialNumber[serialLength - 1] == 'A') {
                continue;
            }
            std::uint32_t vendorId = node.ID >> 16;
            std::uint32_t productId = node.ID & 0xFFFFu;
            if (productId < kFirstProductId || productId > kLastProductId || vendorId != kSupportedVendorId) {
                logMessage(context, "Invalid device ID: 0x%04X, 0x%04X. Corvane does not support this device\n",
                           vendorId, productId);
                continue;
            }
            if (count == kDeviceRecordCount) {
                ++notRecorded;
                continue;
            }
            DeviceRecord& record = context->deviceDatabase[count];
            fillRecord(record, node);
            char line[kDeviceLineSize];
            std::snprintf(line, sizeof line, "\t Device %i: %s - %s (VID: %X, PID: %X)\n", static_cast<int>(k + 1),
                          record.deviceName, record.serialNumber, vendorId, productId);
            logMessage(context, "%s", line);
            platform::consoleWrite(line);
            ++count;
            // Release: the slot's identity is complete before anyone who acquires the count uses it.
            context->deviceCount.store(count, std::memory_order_release);
        }
        if (notRecorded > 0) {
            logMessage(context, "Device List: %i more supported devices not recorded; the limit is %i\n", notRecorded,
                       kDeviceRecordCount);
        }
    }

    char line[kDeviceLineSize];
    std::snprintf(line, sizeof line, "Number of devices: %i\n", count);
    platform::consoleWrite(line);
    wakeReadThread(context); // the boards it polls have changed
    return count;
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_QueryDevices(void) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : ListUnopenedDevices(context);
}

} // extern "C"
