// Opening and closing an interface, the registry of live handles, the chip's control requests and
// the event thread that completes every transfer.
#include "open_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace corvane::open_driver {

namespace {

constexpr std::uint8_t kVendorOut = 0x40; // bmRequestType: vendor request to the device, host to device
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kRequestReset = 0x00;
constexpr std::uint16_t kResetSio = 0;
constexpr std::uint16_t kPurgeRx = 1;
constexpr std::uint16_t kPurgeTx = 2;
constexpr std::uint8_t kRequestLatency = 0x09;
constexpr std::uint8_t kRequestBitMode = 0x0B;
constexpr std::uint16_t kBitModeReset = 0x00FF;
constexpr std::uint16_t kBitModeSyncFifo = 0x40FF;
// How long a close waits for its cancelled transfers before it gives up on them.
constexpr int kCloseWaitMs = 5000;

// The FT232H and interface A of an FT2232H have the synchronous 245 FIFO.
bool canRunSynchronousFifo(const DeviceNode& node) {
    return node.type == kDeviceType232H || (node.type == kDeviceType2232H && node.interface == 0);
}

// What the open took, given back in reverse order.
void releaseUsb(Handle& h) {
    if (h.usb != nullptr) {
        libusb_release_interface(h.usb, h.node.interface);
        if (h.kernelDriverDetached) {
            libusb_attach_kernel_driver(h.usb, h.node.interface);
            h.kernelDriverDetached = false;
        }
        libusb_close(h.usb);
        h.usb = nullptr;
    }
    if (h.fd >= 0) {
        ::close(h.fd); // libusb_close leaves a wrapped file open
        h.fd = -1;
    }
}

void eventLoop(Driver* d) {
    // Acquire: pairs with stopEventThread's release store; nothing else is handed over.
    while (d->stopEvents.load(std::memory_order_acquire) == 0) {
        timeval wait{0, 200000};
        libusb_handle_events_timeout_completed(d->context, &wait, nullptr);
    }
}

} // namespace

void startEventThread(Driver& d) {
    std::lock_guard<std::mutex> hold(d.eventThreadLock);
    ++d.eventThreadUsers;
    if (!d.eventThreadRunning) {
        // Relaxed: the thread is started after this store, which orders it.
        d.stopEvents.store(0, std::memory_order_relaxed);
        d.eventThread = new std::thread(eventLoop, &d);
        d.eventThreadRunning = true;
    }
}

void stopEventThread(Driver& d) {
    std::lock_guard<std::mutex> hold(d.eventThreadLock);
    if (--d.eventThreadUsers > 0 || !d.eventThreadRunning) {
        return;
    }
    // Release: pairs with the loop's acquire load; the loop ends at its next pass.
    d.stopEvents.store(1, std::memory_order_release);
    libusb_interrupt_event_handler(d.context);
    auto* thread = static_cast<std::thread*>(d.eventThread);
    thread->join();
    delete thread;
    d.eventThread = nullptr;
    d.eventThreadRunning = false;
}

void markDead(Handle& h, const char* cause) {
    if (h.dead) {
        return;
    }
    h.dead = true;
    h.deathCause = cause;
    if (!h.closing) {
        logLine("%s (%s): %s; every call on its handle now fails", h.node.serial.c_str(), h.node.nodePath.c_str(),
                cause);
    }
    cancelTransfers(h, true, true);
    h.changed.notify_all();
}

std::shared_ptr<Handle> findHandle(FT_HANDLE token) {
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    for (const auto& h : d.handles) {
        if (reinterpret_cast<FT_HANDLE>(h->token) == token) {
            return h;
        }
    }
    return nullptr;
}

FT_STATUS controlOut(Handle& h, std::uint8_t request, std::uint16_t value, int index) {
    std::shared_lock<std::shared_mutex> use(h.usbUse);
    {
        std::lock_guard<std::mutex> hold(h.lock);
        if (h.closing) {
            return FT_INVALID_HANDLE;
        }
        if (h.dead) {
            return FT_IO_ERROR;
        }
    }
    const auto wIndex = static_cast<std::uint16_t>(index >= 0 ? index : h.node.interface + 1);
    // Never with h.lock held: a synchronous transfer may run libusb's event handling itself.
    const int result =
        libusb_control_transfer(h.usb, kVendorOut, request, value, wIndex, nullptr, 0, kControlTimeoutMs);
    if (result < 0) {
        std::lock_guard<std::mutex> hold(h.lock);
        if (result == LIBUSB_ERROR_NO_DEVICE) {
            markDead(h, "the chip is gone");
        }
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS controlIn(Handle& h, std::uint8_t request, std::uint8_t* out, std::uint16_t length) {
    std::shared_lock<std::shared_mutex> use(h.usbUse);
    {
        std::lock_guard<std::mutex> hold(h.lock);
        if (h.closing) {
            return FT_INVALID_HANDLE;
        }
        if (h.dead) {
            return FT_IO_ERROR;
        }
    }
    const int result = libusb_control_transfer(
        h.usb, kVendorIn, request, 0, static_cast<std::uint16_t>(h.node.interface + 1), out, length, kControlTimeoutMs);
    if (result < 0 || result != length) {
        std::lock_guard<std::mutex> hold(h.lock);
        if (result == LIBUSB_ERROR_NO_DEVICE) {
            markDead(h, "the chip is gone");
        }
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS openNode(Driver& d, const DeviceNode& node, FT_HANDLE* out) {
    if (node.blank) {
        if (node.mayNotOpen) {
            logLine("%s: this user may not open it (read-write on the /dev/bus/usb node: the udev rule)",
                    node.sysName.c_str());
        }
        return FT_DEVICE_NOT_OPENED;
    }
    if ((node.flags & FT_FLAGS_OPENED) != 0) {
        return FT_DEVICE_NOT_OPENED; // this process holds it already
    }
    libusb_context* context = usbContext(d);
    if (context == nullptr) {
        return FT_OTHER_ERROR;
    }
    auto h = std::make_shared<Handle>();
    h->node = node;
    h->fd = ::open(node.nodePath.c_str(), O_RDWR | O_CLOEXEC);
    if (h->fd < 0) {
        const int error = errno;
        logLine("%s: cannot open %s: %s", node.serial.c_str(), node.nodePath.c_str(), std::strerror(error));
        return error == ENOENT ? FT_DEVICE_NOT_FOUND : FT_DEVICE_NOT_OPENED;
    }
    int result = libusb_wrap_sys_device(context, h->fd, &h->usb);
    if (result != LIBUSB_SUCCESS) {
        logLine("%s: libusb cannot use %s: %s", node.serial.c_str(), node.nodePath.c_str(), libusb_error_name(result));
        h->usb = nullptr;
        releaseUsb(*h);
        return FT_DEVICE_NOT_OPENED;
    }
    // The kernel's serial driver, when bound, is detached now and given back at close.
    if (libusb_kernel_driver_active(h->usb, node.interface) == 1) {
        result = libusb_detach_kernel_driver(h->usb, node.interface);
        if (result != LIBUSB_SUCCESS) {
            logLine("%s: the kernel's driver will not let go of interface %d: %s", node.serial.c_str(), node.interface,
                    libusb_error_name(result));
            releaseUsb(*h);
            return FT_DEVICE_NOT_OPENED;
        }
        h->kernelDriverDetached = true;
    }
    result = libusb_claim_interface(h->usb, node.interface);
    if (result != LIBUSB_SUCCESS) {
        logLine("%s: interface %d cannot be claimed: %s", node.serial.c_str(), node.interface,
                result == LIBUSB_ERROR_BUSY ? "another process holds it" : libusb_error_name(result));
        releaseUsb(*h);
        return FT_DEVICE_NOT_OPENED;
    }
    if (!allocateTransfers(*h)) {
        releaseUsb(*h);
        return FT_INSUFFICIENT_RESOURCES;
    }
    // As the vendor's driver opens: the chip reset and both directions purged, the latency timer
    // at its default.
    FT_STATUS status = controlOut(*h, kRequestReset, kResetSio);
    if (status == FT_OK) {
        status = controlOut(*h, kRequestReset, kPurgeRx);
    }
    if (status == FT_OK) {
        status = controlOut(*h, kRequestReset, kPurgeTx);
    }
    if (status == FT_OK) {
        status = controlOut(*h, kRequestLatency, kDefaultLatencyMs);
    }
    if (status == FT_OK && wantsSynchronousFifo(node)) {
        if (canRunSynchronousFifo(node)) {
            status = controlOut(*h, kRequestBitMode, kBitModeReset);
            if (status == FT_OK) {
                status = controlOut(*h, kRequestBitMode, kBitModeSyncFifo);
            }
            h->synchronousFifo = status == FT_OK;
        } else {
            logLine("%s: CORVANE_FIFO asks for the synchronous FIFO, which only an FT232H or interface A of an "
                    "FT2232H has: this interface stays in the asynchronous FIFO",
                    node.serial.c_str());
        }
    }
    if (status != FT_OK) {
        logLine("%s: the chip did not take its set-up requests", node.serial.c_str());
        freeTransfers(*h);
        releaseUsb(*h);
        return FT_DEVICE_NOT_OPENED;
    }
    h->token = d.nextToken;
    d.nextToken += 0x10; // never reused in the process, so a stale handle never aliases a new one
    d.handles.push_back(h);
    startEventThread(d);
    {
        std::lock_guard<std::mutex> hold(h->lock);
        fillInTransfers(*h);
    }
    *out = reinterpret_cast<FT_HANDLE>(h->token);
    return FT_OK;
}

FT_STATUS closeHandle(std::shared_ptr<Handle> h) {
    Driver& d = driver();
    {
        std::lock_guard<std::mutex> hold(d.lock);
        auto at = std::find(d.handles.begin(), d.handles.end(), h);
        if (at == d.handles.end()) {
            return FT_INVALID_HANDLE; // another thread closed it first
        }
        d.handles.erase(at);
    }
    bool settled = false;
    {
        std::unique_lock<std::mutex> hold(h->lock);
        h->closing = true;
        cancelTransfers(*h, true, true);
        h->changed.notify_all();
        settled = awaitTransfers(*h, hold, true, true, kCloseWaitMs);
    }
    {
        // After this no receive notification is given for the handle.
        std::lock_guard<std::mutex> hold(h->notifyLock);
        h->eventHandle = nullptr;
        h->eventMask = 0;
    }
    if (settled) {
        // The handle's own calls on other threads see `closing` and leave; the object goes with
        // the last of them.
        std::unique_lock<std::shared_mutex> use(h->usbUse);
        releaseUsb(*h);
        freeTransfers(*h);
    } else {
        // A transfer that never came back still owns its buffer: the handle is left to it.
        logLine("%s: transfers did not finish within %d ms of the close; the handle is abandoned",
                h->node.serial.c_str(), kCloseWaitMs);
        new std::shared_ptr<Handle>(h);
    }
    stopEventThread(d);
    return FT_OK;
}

} // namespace corvane::open_driver
