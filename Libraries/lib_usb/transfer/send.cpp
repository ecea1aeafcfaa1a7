// The send operations and their four exports. A send builds its messages on the caller's stack
// and writes them to the board that is active at the moment of each write; nothing is queued.
#include "transfer/send.h"

#include "core/library.h"
#include "core/log.h"
#include "corvane.h"
#include "devices/devices.h"
#include "transfer/protocol.h"

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

constexpr char kTriggerFailed[] = "Failed to write tigger";
constexpr char kSingleByteFailed[] = "Failed to write single byte";
constexpr char kPreambleFailed[] = "SendBlock: Cannot write message preamble";
constexpr char kBlockFailed[] = "SendBlock: Cannot write message block";
constexpr char kBlockNotDefined[] = "SendBlock: Block is not defined";

// The one byte a zero-length block write points at when the caller gave no block: the driver
// is asked for 0 bytes and never reads it, but some drivers refuse a null buffer outright.
constexpr std::uint8_t kNoBlockBytes[1] = {0};

void report(SendFailure* out, SendFailure failure) {
    if (out != nullptr) {
        *out = failure;
    }
}

DeviceRecord* activeDevice(HostContext* context) {
    // Acquire: pairs with the selection's release store, so the record the pointer names is the
    // one the selecting thread saw.
    return context->activeDevice.load(std::memory_order_acquire);
}

// One FT_Write of `count` bytes to the board that is active now. `device` receives that board.
// Fewer bytes written than asked with FT_OK is the driver's answer to a write time-out: the
// board did not take the message, so it counts as a failure of its own kind.
SendFailure writeToActiveDevice(HostContext* context, const std::uint8_t* bytes, std::uint32_t count,
                                std::uint32_t& written, DeviceRecord*& device) {
    device = activeDevice(context);
    if (device == nullptr) {
        return SendFailure::NoDevice;
    }
    // With reconnecting on, a board reported lost takes no write until it is back. Acquire: pairs
    // with the reconnection's release, made after it stored the new handle that is loaded next.
    // Under the send lock, which the read thread holds while it closes a lost board's dead handle.
    if (context->settings.reconnect && device->lostReported.load(std::memory_order_acquire)) {
        return SendFailure::Lost;
    }
    // Acquire: pairs with open's release store of the handle, after the port was set up.
    d2xx::FT_HANDLE handle = device->ftHandle.load(std::memory_order_acquire);
    written = 0;
    d2xx::FT_STATUS status = context->driverTable->FT_Write(handle, const_cast<std::uint8_t*>(bytes), count, &written);
    if (status != d2xx::FT_OK) {
        return SendFailure::Status;
    }
    return written < count ? SendFailure::ShortWrite : SendFailure::None;
}

// The name of the board for a success line. Copied under the record's guard, because an
// enumeration on another thread may be rewriting the record; only done when the line is written.
struct DeviceName {
    char text[sizeof DeviceRecord::deviceName];
};

bool copyNameForLog(HostContext* context, DeviceRecord* device, DeviceName& name) {
    // Relaxed: a switch; the log's own state is handed over inside writeLogLine.
    if (context->debugMode.load(std::memory_order_relaxed) == 0 || device == nullptr) {
        return false;
    }
    SpinLockHolder hold(device->guard);
    std::memcpy(name.text, device->deviceName, sizeof name.text);
    name.text[sizeof name.text - 1] = '\0';
    return true;
}

// Fails an operation: the text becomes the last error; a missing board and a lost one (`device`)
// have their own texts.
int fail(HostContext* context, SendFailure failure, const char* writeText, SendFailure* out,
         DeviceRecord* device = nullptr) {
    if (failure == SendFailure::Lost && device != nullptr) {
        char text[kLostTextSize];
        formatLostText(*device, text);
        setLastError(context, text);
    } else {
        setLastError(context, failure == SendFailure::NoDevice ? kNoDeviceSelected : writeText);
    }
    report(out, failure);
    return 0;
}

// The five writes of a control-byte sequence. Their results are not examined: the board takes
// the sequence as a whole or not at all, and the sequence has always been reported as sent. Only
// a board reported lost (reconnecting on) ends it, before its first write; `lost` says so.
DeviceRecord* writeControlSequence(HostContext* context, std::uint8_t address, std::uint8_t value, bool& lost) {
    const auto header = static_cast<std::uint8_t>(
        protocol::kControlHeader | ((address & protocol::kControlAddressMask) << protocol::kControlAddressShift));
    const std::uint8_t dataBytes[] = {protocol::kControlOpening[0], protocol::kControlOpening[1],
                                      protocol::kControlOpening[2], value, protocol::kControlClosing};
    DeviceRecord* device = nullptr;
    lost = false;
    SpinLockHolder hold(context->sendLock);
    for (std::uint8_t dataByte : dataBytes) {
        const std::uint8_t message[protocol::kMessageSize] = {header, dataByte};
        std::uint32_t written = 0;
        if (writeToActiveDevice(context, message, protocol::kMessageSize, written, device) == SendFailure::Lost) {
            lost = true;
            break;
        }
    }
    return device;
}

// Writes one two-byte message to the active device under the send lock. On failure the text
// becomes the last error (a missing board has its own text); `device` receives the board written to.
bool sendMessage(HostContext* context, const std::uint8_t (&message)[protocol::kMessageSize], const char* failureText,
                 SendFailure* failure, DeviceRecord*& device) {
    if (activeDevice(context) == nullptr) {
        fail(context, SendFailure::NoDevice, nullptr, failure);
        return false;
    }
    std::uint32_t written = 0;
    SendFailure result;
    {
        SpinLockHolder hold(context->sendLock);
        result = writeToActiveDevice(context, message, protocol::kMessageSize, written, device);
    }
    if (result != SendFailure::None) {
        fail(context, result, failureText, failure, device);
        return false;
    }
    report(failure, SendFailure::None);
    return true;
}

} // namespace

int SendTrigger(HostContext* context, std::uint8_t trigger, SendFailure* failure) {
    const std::uint8_t message[protocol::kMessageSize] = {protocol::kTriggerHeader, trigger};
    DeviceRecord* device = nullptr;
    if (!sendMessage(context, message, kTriggerFailed, failure, device)) {
        return 0;
    }
    DeviceName name;
    if (copyNameForLog(context, device, name)) {
        logMessage(context, "SendTigger of value %X to [%s] was successful\n", static_cast<unsigned>(trigger),
                   name.text);
    }
    return 1;
}

int SendByte(HostContext* context, std::uint32_t address, std::uint8_t value, SendFailure* failure) {
    const std::uint8_t message[protocol::kMessageSize] = {
        static_cast<std::uint8_t>(protocol::kSingleByteHeader | (address & protocol::kAddressByteMask)), value};
    DeviceRecord* device = nullptr;
    if (!sendMessage(context, message, kSingleByteFailed, failure, device)) {
        return 0;
    }
    DeviceName name;
    if (copyNameForLog(context, device, name)) {
        logMessage(context, "SendByte of value %X to [%s:%u] was successful\n", static_cast<unsigned>(value), name.text,
                   static_cast<unsigned>(address));
    }
    return 1;
}

int SendBlock(HostContext* context, std::uint32_t address, const std::uint8_t* block, std::uint32_t length,
              SendFailure* failure) {
    if (activeDevice(context) == nullptr) {
        return fail(context, SendFailure::NoDevice, nullptr, failure);
    }
    if (block == nullptr && length != 0) {
        return fail(context, SendFailure::Status, kBlockNotDefined, failure);
    }
    const auto header = static_cast<std::uint8_t>(protocol::kBlockHeader | (address & protocol::kAddressByteMask));
    const std::uint8_t* next = block != nullptr ? block : kNoBlockBytes;
    std::uint32_t remaining = length;
    std::uint32_t totalWritten = 0;
    DeviceRecord* device = nullptr;
    SendFailure result = SendFailure::None;
    const char* failureText = nullptr;
    {
        // Held over every piece: another sender's message between a preamble and its data would
        // be taken by the board as block data.
        SpinLockHolder hold(context->sendLock);
        // A block of 0 bytes still goes out as its preamble and an empty data write.
        do {
            const std::uint32_t piece = std::min(remaining, protocol::kMaxBlockPiece);
            const std::uint8_t preamble[protocol::kMessageSize] = {header, static_cast<std::uint8_t>(piece)};
            std::uint32_t written = 0;
            result = writeToActiveDevice(context, preamble, protocol::kMessageSize, written, device);
            if (result != SendFailure::None) {
                failureText = kPreambleFailed;
                break;
            }
            result = writeToActiveDevice(context, next, piece, written, device);
            totalWritten += std::min(written, piece);
            if (result != SendFailure::None) {
                failureText = kBlockFailed;
                break;
            }
            next += piece;
            remaining -= piece;
        } while (remaining != 0);
    }
    if (result != SendFailure::None) {
        return fail(context, result, failureText, failure, device);
    }
    DeviceName name;
    if (copyNameForLog(context, device, name)) {
        logMessage(context, "SendBlock of %u bytes to [%s:%u] was successful\n", static_cast<unsigned>(totalWritten),
                   name.text, static_cast<unsigned>(address));
    }
    report(failure, SendFailure::None);
    return 1;
}

int SendControlByte(HostContext* context, std::uint8_t address, std::uint8_t value, SendFailure* failure) {
    if (activeDevice(context) == nullptr) {
        return fail(context, SendFailure::NoDevice, nullptr, failure);
    }
    bool lost = false;
    DeviceRecord* device = writeControlSequence(context, address, value, lost);
    if (lost) {
        return fail(context, SendFailure::Lost, nullptr, failure, device);
    }
    DeviceName name;
    if (copyNameForLog(context, device, name)) {
        logMessage(context, "SendControlByte of value %X to [%s:%i] was successful\n", static_cast<unsigned>(value),
                   name.text, static_cast<int>(address));
    }
    report(failure, SendFailure::None);
    return 1;
}

int SendQuietControlByte(HostContext* context, std::uint8_t value, SendFailure* failure) {
    if (activeDevice(context) == nullptr) {
        return fail(context, SendFailure::NoDevice, nullptr, failure);
    }
    bool lost = false;
    writeControlSequence(context, protocol::kQuietControlAddress, value, lost);
    report(failure, lost ? SendFailure::Lost : SendFailure::None);
    return lost ? 0 : 1;
}

bool activeBoardLost(HostContext* context) {
    DeviceRecord* device = activeDevice(context);
    // Acquire: pairs with the read thread's release when it reported the loss.
    if (device == nullptr || !device->lostReported.load(std::memory_order_acquire)) {
        return false;
    }
    char text[kLostTextSize];
    formatLostText(*device, text);
    setLastErrorText(context, text);
    return true;
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_SendTrigger(uint8_t trigger) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : SendTrigger(context, trigger);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_SendByte(uint32_t address, uint8_t value) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : SendByte(context, address, value);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_SendBlock(uint32_t address, const uint8_t* block, uint32_t length) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : SendBlock(context, address, block, length);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_SendTransferControlByte(uint8_t address, uint8_t value) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : SendControlByte(context, address, value);
}

} // extern "C"
