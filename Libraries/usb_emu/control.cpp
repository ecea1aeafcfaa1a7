// The control API of usb_emu.h, and the count of the driver's receive notifications.
#include "board_sim.h"
#include "emu_state.h"
#include "usb_emu.h"

#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

// A test reads a board's state through either host with the simulated driver's structs: the
// emulated chip's must keep their layout.
static_assert(sizeof(UsbEmuBoardCounts) == sizeof(SimBoardCounts) &&
              offsetof(UsbEmuBoardCounts, controlDiscarded) == offsetof(SimBoardCounts, controlDiscarded));
static_assert(sizeof(UsbEmuRtlState) == sizeof(SimRtlState) &&
              offsetof(UsbEmuRtlState, discardedBytes) == offsetof(SimRtlState, discardedBytes));
namespace usbemu {

namespace {

Chip* chipNamed(Emulator& e, const char* usbSerial) {
    for (const auto& chip : e.chips) {
        if (usbSerial != nullptr && chip->usbSerial == usbSerial) {
            return chip.get();
        }
    }
    return nullptr;
}

// An interface by the serial number the driver lists for it.
Interface* interfaceNamed(Emulator& e, const char* serial) {
    if (serial == nullptr) {
        return nullptr;
    }
    for (const auto& chip : e.chips) {
        for (Interface& interface : chip->interfaces) {
            if (interface.described.serial == serial) {
                return &interface;
            }
        }
    }
    return nullptr;
}

// The condition variables the Corvane library waits on, as it waits for the driver's receive
// notification; filled by the waits, read by every signal.
constexpr std::size_t kWatchedConditions = 256;
std::array<std::atomic<void*>, kWatchedConditions> watched{};
std::atomic<std::uint64_t> driverSignals{0};

} // namespace

bool calledFrom(const void* returnAddress, const char* library) {
    Dl_info info{};
    return dladdr(returnAddress, &info) != 0 && info.dli_fname != nullptr &&
           std::strstr(info.dli_fname, library) != nullptr;
}

namespace {

bool isWatched(void* condition) {
    for (auto& slot : watched) {
        // Relaxed: a slot holds an address and nothing else rides on it.
        void* held = slot.load(std::memory_order_relaxed);
        if (held == nullptr) {
            return false;
        }
        if (held == condition) {
            return true;
        }
    }
    return false;
}

void watch(void* condition) {
    for (auto& slot : watched) {
        void* expected = nullptr;
        // Relaxed: as in isWatched; slots are filled once, in order.
        if (slot.compare_exchange_strong(expected, condition, std::memory_order_relaxed) || expected == condition) {
            return;
        }
    }
}

void noteSignal(pthread_cond_t* condition, const void* returnAddress) {
    // Either driver: the vendor's, or Corvane's own (matched by its whole name, since the library
    // that waits, libcorvane.so, shares its prefix).
    if (isWatched(condition) &&
        (calledFrom(returnAddress, "libftd2xx") || calledFrom(returnAddress, "libcorvane_d2xx"))) {
        // Relaxed: a count read by tests after the signals they wait for.
        driverSignals.fetch_add(1, std::memory_order_relaxed);
    }
}

decltype(&pthread_cond_wait) realWait = nullptr;
decltype(&pthread_cond_signal) realSignal = nullptr;
decltype(&pthread_cond_broadcast) realBroadcast = nullptr;

} // namespace

void resolveThreadFunctions() {
    if (realWait == nullptr) {
        realWait = reinterpret_cast<decltype(realWait)>(dlvsym(RTLD_NEXT, "pthread_cond_wait", "GLIBC_2.3.2"));
        realSignal = reinterpret_cast<decltype(realSignal)>(dlvsym(RTLD_NEXT, "pthread_cond_signal", "GLIBC_2.3.2"));
        realBroadcast =
            reinterpret_cast<decltype(realBroadcast)>(dlvsym(RTLD_NEXT, "pthread_cond_broadcast", "GLIBC_2.3.2"));
    }
}

} // namespace usbemu

using namespace usbemu;

extern "C" {

__attribute__((visibility("default"))) int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    resolveThreadFunctions();
    if (!isWatched(condition) && calledFrom(__builtin_return_address(0), "libcorvane")) {
        watch(condition);
    }
    return realWait(condition, mutex);
}

__attribute__((visibility("default"))) int pthread_cond_signal(pthread_cond_t* condition) noexcept {
    resolveThreadFunctions();
    noteSignal(condition, __builtin_return_address(0));
    return realSignal(condition);
}

__attribute__((visibility("default"))) int pthread_cond_broadcast(pthread_cond_t* condition) noexcept {
    resolveThreadFunctions();
    noteSignal(condition, __builtin_return_address(0));
    return realBroadcast(condition);
}

int usb_emu_chip_count(void) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    return static_cast<int>(e.chips.size());
}

int usb_emu_unplug(const char* usbSerial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Chip* chip = chipNamed(e, usbSerial);
    if (chip == nullptr) {
        return -1;
    }
    unplugChip(e, *chip);
    return 0;
}

int usb_emu_replug(const char* usbSerial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Chip* chip = chipNamed(e, usbSerial);
    if (chip == nullptr) {
        return -1;
    }
    replugChip(e, *chip);
    return 0;
}

int usb_emu_device_number(const char* usbSerial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Chip* chip = chipNamed(e, usbSerial);
    return chip == nullptr || !chip->plugged ? -1 : chip->deviceNumber;
}

std::uint32_t usb_emu_received(const char* serial, std::uint8_t* out, std::uint32_t max) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr) {
        return 0;
    }
    const std::size_t copied = std::min<std::size_t>(max, interface->received.size());
    if (out != nullptr && copied != 0) {
        std::memcpy(out, interface->received.data(), copied);
    }
    return static_cast<std::uint32_t>(interface->received.size());
}

void usb_emu_clear_received(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    if (Interface* interface = interfaceNamed(e, serial)) {
        interface->received.clear();
    }
}

void usb_emu_board_sends(const char* serial, const std::uint8_t* bytes, std::uint32_t count) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr || (bytes == nullptr && count != 0)) {
        return;
    }
    interface->boardOut.append(bytes, count);
    e.chipWake.notify_one();
}

int usb_emu_latency_timer(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr || !interface->latencySet ? -1 : interface->latencyMs;
}

int usb_emu_restart_stream(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr) {
        return -1;
    }
    // IN requests that hold some of the old stream end now, as at a latency-timer flush, so the
    // restarted stream begins in a fresh request.
    while (!interface->inUrbs.empty() && interface->inUrbs.front().urb->actual_length > 0) {
        finishUrb(interface->inUrbs.front(), 0);
        interface->inUrbs.pop_front();
    }
    purgeReceive(*interface);
    e.chipWake.notify_one();
    return 0;
}

std::uint64_t usb_emu_stream_sent(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : interface->board->streamSent();
}

std::uint64_t usb_emu_status_only_packets(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : interface->statusOnlyPackets;
}

std::uint64_t usb_emu_bytes_to_host(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : interface->dataToHost;
}

std::uint64_t usb_emu_unknown_requests(void) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    return e.unknownRequests;
}

void usb_emu_set_link_rate(std::uint64_t bytesPerSecond) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    e.linkRate = bytesPerSecond;
    e.chipWake.notify_one();
}

std::uint8_t usb_emu_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i) {
    return boardsim::streamBlockByte(n, blockLength, i);
}

std::uint64_t usb_emu_driver_signals(void) {
    // Relaxed: see noteSignal.
    return driverSignals.load(std::memory_order_relaxed);
}

int usb_emu_kernel_driver(const char* serial, char* out, std::uint32_t size) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr || out == nullptr || size == 0) {
        return -1;
    }
    std::snprintf(out, size, "%s", interface->kernelDriver.c_str());
    return 0;
}

int usb_emu_hold_interface(const char* serial, int held) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr || interface->claimed) {
        return -1;
    }
    interface->heldElsewhere = held != 0;
    interface->kernelDriver = held != 0 ? kUsbfsDriver : "";
    return 0;
}

int usb_emu_refuse_open(const char* usbSerial, int refuse) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Chip* chip = chipNamed(e, usbSerial);
    if (chip == nullptr) {
        return -1;
    }
    chip->refuseOpen = refuse != 0;
    return 0;
}

int usb_emu_fault(const char* serial, int fault, int count) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr || count < 0) {
        return -1;
    }
    switch (fault) {
    case USB_EMU_FAULT_STALL_IN:
        interface->stallIn = count;
        break;
    case USB_EMU_FAULT_HANG_OUT:
        interface->hangOut = count;
        break;
    case USB_EMU_FAULT_SHORT_IN:
        interface->shortIn = count;
        break;
    case USB_EMU_FAULT_NO_STATUS:
        interface->noStatusIn = count;
        break;
    default:
        return -1;
    }
    e.chipWake.notify_one(); // a request already waiting meets its fault now
    return 0;
}

int usb_emu_bit_mode(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? -1 : interface->bitMode;
}

std::uint64_t usb_emu_interface_link_rate(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? UINT64_MAX : linkRateOf(e, *interface);
}

void usb_emu_set_sync_rate(std::uint64_t bytesPerSecond) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    e.syncRate = bytesPerSecond;
    e.chipWake.notify_one();
}

std::uint32_t usb_emu_fifo_bytes(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : static_cast<std::uint32_t>(interface->chipIn.size());
}

std::uint32_t usb_emu_fifo_size(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : static_cast<std::uint32_t>(interface->fifoSize);
}

int usb_emu_board_fifo_sync(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? -1 : interface->described.syncFifo ? 1 : 0;
}

std::uint32_t usb_emu_board_leds(const char* serial) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr ? 0 : interface->board->leds();
}

std::uint32_t usb_emu_board_register(const char* serial, std::uint32_t address, std::uint8_t* out, std::uint32_t max) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    if (interface == nullptr || address >= boardsim::kAddressCount) {
        return 0;
    }
    const std::vector<std::uint8_t> value = interface->board->registerBytes(address);
    if (out != nullptr) {
        std::copy_n(value.begin(), std::min<std::size_t>(max, value.size()), out);
    }
    return static_cast<std::uint32_t>(value.size());
}

int usb_emu_board_control(const char* serial, std::uint32_t address) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    return interface == nullptr || address >= boardsim::kAddressCount ? -1 : interface->board->controlValue(address);
}

int usb_emu_board_counts(const char* serial, UsbEmuBoardCounts* out) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    const boardsim::BoardCounts counts = interface == nullptr ? boardsim::BoardCounts{} : interface->board->counts();
    if (out != nullptr) {
        *out = UsbEmuBoardCounts{counts.triggers, counts.singleBytes, counts.blocks, counts.controlSequences,
                                 counts.controlDiscarded};
    }
    return interface == nullptr ? -1 : 0;
}

int usb_emu_rtl_state(const char* serial, UsbEmuRtlState* out, char* firstViolation, std::uint32_t size) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    Interface* interface = interfaceNamed(e, serial);
    const boardsim::GatewareState state =
        interface == nullptr ? boardsim::GatewareState{} : interface->board->gatewareState();
    if (out != nullptr) {
        *out = UsbEmuRtlState{state.gateware ? 1 : 0, state.cycles, static_cast<std::uint32_t>(state.violations),
                              state.discardedBytes};
    }
    if (firstViolation != nullptr && size != 0) {
        std::snprintf(firstViolation, size, "%s", state.firstViolation.c_str());
    }
    return interface == nullptr ? -1 : 0;
}

} // extern "C"
