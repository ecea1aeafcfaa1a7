// Registration of the read callbacks. The pointers are stored in the active board's record; the
// write thread (and, for triggers, the read thread) reads them afresh for every message.
#include "transfer/callbacks.h"

#include "core/library.h"
#include "core/log.h"
#include "transfer/protocol.h"

namespace corvane {

namespace {

DeviceRecord* activeDevice(HostContext* context) {
    // Acquire: pairs with the selection's release store.
    return context->activeDevice.load(std::memory_order_acquire);
}

} // namespace

int setChannelCallback(HostContext* context, std::uint32_t channel, ReadCallback callback) {
    DeviceRecord* device = activeDevice(context);
    if (device == nullptr) {
        setLastError(context, kNoDeviceSelected);
        return 0;
    }
    if (channel >= static_cast<std::uint32_t>(kChannelCount)) {
        return 0;
    }
    // Release: pairs with the write thread's acquire load before it calls the callback.
    device->channelCallbacks[channel].store(callback, std::memory_order_release);
    return 1;
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_RegisterReadCallback(ReadCallback callback) {
    HostContext* context = libraryGuard();
    if (context == nullptr) {
        return 0;
    }
    DeviceRecord* device = activeDevice(context);
    if (device == nullptr) {
        setLastError(context, kNoDeviceSelected);
        return 0;
    }
    // Release: pairs with the acquire loads of the write thread (data) and the read thread
    // (triggers) before they call the callback.
    device->readCallback.store(callback, std::memory_order_release);
    return 1;
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int32_t channel) {
    HostContext* context = libraryGuard();
    // A negative channel becomes a large unsigned one and is refused like any above 7.
    return context == nullptr ? 0 : setChannelCallback(context, static_cast<std::uint32_t>(channel), callback);
}

} // extern "C"
