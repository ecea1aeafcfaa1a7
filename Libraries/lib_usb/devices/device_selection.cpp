// Selection of the active board, the two text queries, and opening and closing boards.
#include "core/library.h"
#include "core/log.h"
#include "demo/light_show.h"
#include "devices/devices.h"
#include "transfer/wake.h"

#include <cstring>

namespace corvane {

namespace {

constexpr const char* kFailedToOpenPort = "Failed to open port";
constexpr const char* kOutOfBounds = "Device index is outside of bounds";
constexpr const char* kNoDatabase = "Device could not be found";
constexpr const char* kCannotOpenLine = "Error: Cannot open device: %s / %s\n";

// A record's texts as they stood under its guard, so that an enumeration on another thread can
// rewrite the record while we log or hand the serial number to the driver.
struct RecordTexts {
    char deviceName[sizeof DeviceRecord::deviceName];
    char serialNumber[sizeof DeviceRecord::serialNumber];
};

// Caller holds the record's guard.
void copyTextsLocked(const DeviceRecord& record, RecordTexts& texts) {
    std::memcpy(texts.deviceName, record.deviceName, sizeof texts.deviceName);
    std::memcpy(texts.serialNumber, record.serialNumber, sizeof texts.serialNumber);
}

// Exact, byte-by-byte comparison with the record's name, under its guard (an enumeration on
// another thread writes the name under the same guard).
bool hasName(DeviceRecord& record, const char* name) {
    SpinLockHolder hold(record.guard);
    return std::strcmp(record.deviceName, name) == 0;
}

bool indexInRange(HostContext* context, int index) {
    // Acquire: pairs with the enumeration's release of the count, so the slots below it are filled.
    return index >= 0 && index < context->deviceCount.load(std::memory_order_acquire);
}

void failOpen(HostContext* context, const RecordTexts& texts) {
    logMessage(context, kCannotOpenLine, texts.deviceName, texts.serialNumber);
    setLastError(context, kFailedToOpenPort);
}

// Opens the board of one recorded slot: driver handle, port settings, channel buffers. The
// record is changed only in the last step, under its guard, so a failure leaves it as it was.
int openRecord(HostContext* context, DeviceRecord& record) {
    RecordTexts texts;
    std::uint32_t generation;
    bool hadBuffers;
    {
        SpinLockHolder hold(record.guard);
        copyTextsLocked(record, texts);
        // Relaxed: read and written only under the guard.
        generation = record.generation.load(std::memory_order_relaxed);
        hadBuffers = record.inputBuffers[0] != nullptr;
    }

    DriverTable* driver = context->driverTable;
    d2xx::FT_HANDLE handle = nullptr;
    if (driver->FT_OpenEx(texts.serialNumber, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) != d2xx::FT_OK) {
        failOpen(context, texts);
        return 0;
    }
    configurePort(context, handle, record.deviceIndex);

    // A reopen keeps the record's buffers: they may still hold the bytes of queued entries, and
    // new ones on every open would leak 400 kB a time.
    InputBuffer* created[kChannelCount] = {};
    bool creationFailed = false;
    if (!hadBuffers) {
        for (InputBuffer*& buffer : created) {
            buffer = createInputBuffer(static_cast<std::uint32_t>(context->inputBufferCapacity));
            // A channel without storage would drop all its data unnoticed: fail the open instead.
            if (buffer == nullptr || buffer->data == nullptr) {
                creationFailed = true;
                break;
            }
        }
    }

    bool installed = false;
    if (!creationFailed) {
        SpinLockHolder hold(record.guard);
        // An enumeration in between may have put another board in this slot, and another opener
        // may have been faster: then this handle belongs to no record.
        if (record.generation.load(std::memory_order_relaxed) == generation &&
            record.ftHandle.load(std::memory_order_relaxed) == nullptr &&
            (record.inputBuffers[0] != nullptr || created[0] != nullptr)) {
            if (record.inputBuffers[0] == nullptr) {
                for (int channel = 0; channel < kChannelCount; ++channel) {
                    record.inputBuffers[channel] = created[channel];
                    created[channel] = nullptr;
                }
            }
            resetReceiveStateLocked(record);
            // An application that opens a board while it is looked for again takes it over.
            endReconnectLocked(context, record);
            ++record.openCount;
            // Relaxed: the self test polls it only to see a block end; zero is a final value.
            record.blockLength.store(0, std::memory_order_relaxed);
            // Release, as the very last step: the read thread's acquire of the handle sees the
            // buffers and the reset receive state with it.
            record.ftHandle.store(handle, std::memory_order_release);
            installed = true;
        }
    }
    for (InputBuffer* buffer : created) {
        destroyInputBuffer(buffer);
    }
    if (!installed) {
        driver->FT_Close(handle);
        failOpen(context, texts);
        return 0;
    }
    logMessage(context, "Successfully opened device: %s / %s\n", texts.deviceName, texts.serialNumber);
    wakeReadThread(context);
    return 1;
}

// Closes the board of one slot: FT_Close under the guard, so the read thread never uses the
// handle after it; buffers, receive state and callbacks stay for a later reopen.
int closeRecord(HostContext* context, DeviceRecord& record) {
    RecordTexts texts;
    d2xx::FT_STATUS status;
    {
        // The send lock first: a send on another thread finishes its writes on this handle
        // before it is closed, and never writes to it afterwards (a driver may hand the same
        // handle value to the next board it opens). Callers have stopped the light show already,
        // whose thread takes the send lock for every step.
        SpinLockHolder sends(context->sendLock);
        SpinLockHolder hold(record.guard);
        if (record.reconnect == Reconnect::Await) {
            // A lost board whose dead handle the read thread has closed already: closing it ends
            // the search for it.
            status = d2xx::FT_OK;
        } else {
            // Relaxed: under the guard, which orders it against open, enumeration and the read thread.
            status = context->driverTable->FT_Close(record.ftHandle.load(std::memory_order_relaxed));
        }
        if (status == d2xx::FT_OK) {
            // Release: a poller's unguarded acquire pre-check sees the record as closed.
            record.ftHandle.store(nullptr, std::memory_order_release);
            endReconnectLocked(context, record);
        }
        copyTextsLocked(record, texts);
    }
    if (status != d2xx::FT_OK) {
        logMessage(context, kDeviceCloseFailedLine, texts.deviceName, texts.serialNumber);
        setLastError(context, "Failed to close USB device");
        return 0;
    }
    logMessage(context, kDeviceClosedLine, texts.deviceName, texts.serialNumber);
    wakeReadThread(context);
    // Relaxed: the show was stopped before the close; these only leave no parameters behind.
    context->lightShowDelay.store(0, std::memory_order_relaxed);
    context->lightShowRepeats.store(0, std::memory_order_relaxed);
    context->lightShowLength.store(0, std::memory_order_relaxed);
    context->lightShowSequence.store(nullptr, std::memory_order_relaxed);
    return 1;
}

int selectByIndex(HostContext* context, int index) {
    // Taken as unsigned: negative indices fail with the others.
    if (!indexInRange(context, index) || context->deviceDatabase == nullptr) {
        setLastError(context, "Invalid device index");
        return 0;
    }
    // Release: senders acquire the pointer and then read the record's identity.
    context->activeDevice.store(&context->deviceDatabase[index], std::memory_order_release);
    return 1;
}

int selectByName(HostContext* context, const char* name) {
    if (name != nullptr && context->deviceDatabase != nullptr) {
        for (int i = 0; indexInRange(context, i); ++i) {
            DeviceRecord& record = context->deviceDatabase[i];
            if (hasName(record, name)) {
                // Release: as in selectByIndex.
                context->activeDevice.store(&record, std::memory_order_release);
                return 1;
            }
        }
    }
    setLastError(context, "Invalid device name");
    return 0;
}

const char* recordText(HostContext* context, int index, bool serial) {
    if (index < 0 || index >= kDeviceRecordCount || context->deviceDatabase == nullptr) {
        return nullptr;
    }
    DeviceRecord& record = context->deviceDatabase[index];
    return serial ? record.serialNumber : record.deviceName;
}

void openByName(HostContext* context, const char* name) {
    if (name == nullptr || context->deviceDatabase == nullptr) {
        return;
    }
    for (int i = 0; indexInRange(context, i); ++i) {
        DeviceRecord& record = context->deviceDatabase[i];
        if (hasName(record, name)) {
            openRecord(context, record);
        }
    }
}

void closeByName(HostContext* context, const char* name) {
    if (name == nullptr || context->deviceDatabase == nullptr) {
        return;
    }
    for (int i = 0; indexInRange(context, i); ++i) {
        DeviceRecord& record = context->deviceDatabase[i];
        if (hasName(record, name)) {
            // A running show sends to the active board, which may be this one.
            stopLightShow(context);
            closeRecord(context, record);
        }
    }
}

} // namespace

int openDeviceAt(HostContext* context, int index) {
    if (!indexInRange(context, index)) {
        setLastError(context, kOutOfBounds);
        return 0;
    }
    if (context->deviceDatabase == nullptr) {
        setLastError(context, kNoDatabase);
        return 0;
    }
    return openRecord(context, context->deviceDatabase[index]);
}

int closeDeviceAt(HostContext* context, int index) {
    // Before anything else, even for a bad index: the caller may rely on the show having ended.
    stopLightShow(context);
    if (!indexInRange(context, index)) {
        setLastError(context, kOutOfBounds);
        return 0;
    }
    if (context->deviceDatabase == nullptr) {
        setLastError(context, kNoDatabase);
        return 0;
    }
    return closeRecord(context, context->deviceDatabase[index]);
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_SelectActiveDeviceByIndex(int32_t deviceIndex) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : selectByIndex(context, deviceIndex);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_SelectActiveDeviceByName(const char* name) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : selectByName(context, name);
}

CORVANE_API const char* CORVANE_CALL NRV_CV_GetDeviceName(int32_t deviceIndex) {
    HostContext* context = libraryGuard();
    return context == nullptr ? nullptr : recordText(context, deviceIndex, false);
}

CORVANE_API const char* CORVANE_CALL NRV_CV_GetDeviceSerial(int32_t deviceIndex) {
    HostContext* context = libraryGuard();
    return context == nullptr ? nullptr : recordText(context, deviceIndex, true);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_OpenDeviceByIndex(int32_t deviceIndex) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : openDeviceAt(context, deviceIndex);
}

// The by-name open and close return 1 once the library is open: their failures show only in the
// last error and the log.
CORVANE_API int32_t CORVANE_CALL NRV_CV_OpenDeviceByName(const char* name) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : (openByName(context, name), 1);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_CloseDeviceByIndex(int32_t deviceIndex) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : closeDeviceAt(context, deviceIndex);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_CloseDeviceByName(const char* name) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : (closeByName(context, name), 1);
}

} // extern "C"
