// The emulated bridge chips (libusb_emu.so, preloaded) as a driver built on libusb-1.0 reaches
// them, where the usbfs behaviour matters beyond what the two-road table of emulated_chip_test.cpp
// sees through our driver (listing, unplug, a node the user may not open and the transfer faults
// are cases of that table): the kernel's serial driver detached and given back (by hand and by
// libusb's automatic detach), a release ending the transfers still waiting, another owner, big
// transfers that libusb splits into URBs with the continuation flag, the synchronous FIFO mode,
// the chip's FIFO holding the board back (the board model's stream and the gateware's), the board's
// state as the control API reads it, and a packet without its status bytes. The rows named
// Gateware* run on chips of their own (usb_emu_gateware_boards.json, where the build has the
// gateware); the others on the chips of usb_emu_boards.json.
//
// Run with --bench [seconds] [transfers] [KiB] for the receive rate an eager libusb client gets
// from the stream board UE03B (a figure, not a test; CORVANE_USB_EMU_RATE=0 for an unlimited
// link). Libraries/usb_emu/d2xx_loop.cpp measures a D2XX driver's read loop.
#include "usb_emu.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// The board file of these cases (written by the build, usb_emu_boards.json).
constexpr const char* kEchoChip = "UE01"; // an FT2232H: A silent, B echo
constexpr const char* kEcho = "UE01B";
constexpr const char* kSilentA = "UE01A";
constexpr const char* kSyncChip = "UE02";   // an FT232H streaming 16-byte blocks, wired for the sync FIFO
constexpr const char* kStreamChip = "UE03"; // an FT2232H streaming 16-byte blocks on B
constexpr const char* kStream = "UE03B";
constexpr const char* kSingleEcho = "UE04"; // an FT232H echo board
constexpr std::uint32_t kBlockLength = 16;
constexpr std::size_t kMessageSize = 2 + kBlockLength;
constexpr std::uint8_t kStatus0 = 0x32;
constexpr std::uint8_t kStatus1 = 0x60;
constexpr unsigned kTimeoutMs = 5000;

// FTDI vendor requests; wIndex 1 is interface A, 2 is B.
constexpr std::uint8_t kVendorOut = 0x40; // vendor request to the device, host to device
constexpr std::uint8_t kVendorIn = 0xC0;  // and device to host
constexpr std::uint8_t kSetLatency = 0x09;
constexpr std::uint8_t kGetLatency = 0x0A;
constexpr std::uint8_t kSetBitMode = 0x0B;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// A chip as a driver's own sysfs scan finds it.
struct Listed {
    std::string sysName;
    unsigned vendor = 0;
    unsigned product = 0;
    int bus = 0;
    int device = 0;
    std::string serial;
};

std::vector<Listed> scanSysfs() {
    std::vector<Listed> found;
    DIR* folder = opendir("/sys/bus/usb/devices");
    if (folder == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] < '0' || name[0] > '9' || name.find(':') != std::string::npos) {
            continue;
        }
        const std::string base = "/sys/bus/usb/devices/" + name + "/";
        Listed chip;
        chip.sysName = name;
        chip.vendor = static_cast<unsigned>(std::strtoul(readText(base + "idVendor").c_str(), nullptr, 16));
        chip.product = static_cast<unsigned>(std::strtoul(readText(base + "idProduct").c_str(), nullptr, 16));
        chip.bus = std::atoi(readText(base + "busnum").c_str());
        chip.device = std::atoi(readText(base + "devnum").c_str());
        chip.serial = readText(base + "serial");
        found.push_back(chip);
    }
    closedir(folder);
    return found;
}

const Listed* findListed(const std::vector<Listed>& chips, const std::string& serial) {
    for (const Listed& chip : chips) {
        if (chip.serial == serial) {
            return &chip;
        }
    }
    return nullptr;
}

std::string nodePath(const std::string& usbSerial) {
    const std::vector<Listed> chips = scanSysfs();
    const Listed* chip = findListed(chips, usbSerial);
    if (chip == nullptr) {
        return {};
    }
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", chip->bus, chip->device);
    return path;
}

std::string kernelDriver(const char* serial) {
    char name[64] = "?";
    EXPECT_EQ(usb_emu_kernel_driver(serial, name, sizeof name), 0) << serial;
    return name;
}

// libusb as the open driver uses it: no discovery of its own, one context.
class Usb {
  public:
    Usb() {
        EXPECT_EQ(libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY), LIBUSB_SUCCESS);
        EXPECT_EQ(libusb_init(&context_), LIBUSB_SUCCESS);
    }
    ~Usb() {
        if (context_ != nullptr) {
            libusb_exit(context_);
        }
    }
    Usb(const Usb&) = delete;
    Usb& operator=(const Usb&) = delete;
    libusb_context* context() const { return context_; }

    // Runs the event loop until `done` or the limit.
    bool runUntil(const int& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (done == 0 && Clock::now() < deadline) {
            timeval step{0, 100000};
            libusb_handle_events_timeout_completed(context_, &step, const_cast<int*>(&done));
        }
        return done != 0;
    }

  private:
    libusb_context* context_ = nullptr;
};

// A chip opened by its node and wrapped: the driver's open.
class Opened {
  public:
    Opened(Usb& usb, const std::string& usbSerial) {
        const std::string path = nodePath(usbSerial);
        fd_ = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ >= 0 && libusb_wrap_sys_device(usb.context(), fd_, &handle_) != LIBUSB_SUCCESS) {
            handle_ = nullptr;
        }
    }
    ~Opened() {
        if (handle_ != nullptr) {
            libusb_close(handle_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    libusb_device_handle* handle() const { return handle_; }
    int fd() const { return fd_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Detaches the serial driver if one is bound, then claims.
    int claim(int interface) {
        if (libusb_kernel_driver_active(handle_, interface) == 1) {
            const int detached = libusb_detach_kernel_driver(handle_, interface);
            if (detached != LIBUSB_SUCCESS) {
                return detached;
            }
        }
        return libusb_claim_interface(handle_, interface);
    }

  private:
    int fd_ = -1;
    libusb_device_handle* handle_ = nullptr;
};

// The data bytes of IN packets: every packet (512 bytes from the start of a transfer) led by the
// two status bytes, which are checked and dropped.
testing::AssertionResult stripStatus(const std::uint8_t* bytes, std::size_t length, Bytes& out) {
    for (std::size_t at = 0; at < length; at += 512) {
        const std::size_t packet = std::min<std::size_t>(512, length - at);
        if (packet < 2 || bytes[at] != kStatus0 || (bytes[at + 1] & 0x80) != 0) {
            return testing::AssertionFailure()
                   << "the packet at " << at << " of " << length << " does not begin with the status bytes";
        }
        out.insert(out.end(), bytes + at + 2, bytes + at + packet);
    }
    return testing::AssertionSuccess();
}

// The stream's blocks in `data`, checked whole and numbered from `next` on; leaves an incomplete
// block's bytes in `data`.
testing::AssertionResult takeBlocks(Bytes& data, std::uint64_t& next) {
    std::size_t at = 0;
    for (; at + kMessageSize <= data.size(); at += kMessageSize) {
        if (data[at] != (0xE0 | 2) || data[at + 1] != kBlockLength) {
            return testing::AssertionFailure()
                   << "block " << next << " begins with " << int{data[at]} << " " << int{data[at + 1]};
        }
        for (std::uint32_t i = 0; i < kBlockLength; ++i) {
            if (data[at + 2 + i] != usb_emu_stream_block_byte(next, kBlockLength, i)) {
                return testing::AssertionFailure() << "byte " << i << " of block " << next << " is not the board's";
            }
        }
        ++next;
    }
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(at));
    return testing::AssertionSuccess();
}

int controlOut(libusb_device_handle* handle, std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    return libusb_control_transfer(handle, kVendorOut, request, value, index, nullptr, 0, kTimeoutMs);
}

// ---- the libusb road ------------------------------------------------------------------------------

TEST(LibusbRoad, TheSerialDriverIsDetachedAtOpenAndGivenBackAtClose) {
    Usb usb;
    {
        Opened chip(usb, kEchoChip);
        ASSERT_TRUE(chip);
        EXPECT_EQ(kernelDriver(kEcho), "ftdi_sio") << "bound at the plug";
        EXPECT_EQ(libusb_kernel_driver_active(chip.handle(), 1), 1);
        EXPECT_EQ(libusb_claim_interface(chip.handle(), 1), LIBUSB_ERROR_BUSY) << "the serial driver has it";
        ASSERT_EQ(libusb_detach_kernel_driver(chip.handle(), 1), LIBUSB_SUCCESS);
        EXPECT_EQ(kernelDriver(kEcho), "");
        EXPECT_EQ(libusb_kernel_driver_active(chip.handle(), 1), 0);
        EXPECT_EQ(libusb_detach_kernel_driver(chip.handle(), 1), LIBUSB_ERROR_NOT_FOUND) << "nothing left to detach";
        ASSERT_EQ(libusb_claim_interface(chip.handle(), 1), LIBUSB_SUCCESS);
        EXPECT_EQ(kernelDriver(kEcho), "usbfs");
        EXPECT_EQ(kernelDriver(kSilentA), "ftdi_sio") << "the other interface keeps its driver";

        // A control request reaches the interface wIndex names.
        ASSERT_EQ(controlOut(chip.handle(), kSetLatency, 3, 2), 0);
        EXPECT_EQ(usb_emu_latency_timer(kEcho), 3);
        EXPECT_EQ(usb_emu_latency_timer(kSilentA), -1);
        unsigned char latency = 0;
        ASSERT_EQ(libusb_control_transfer(chip.handle(), kVendorIn, kGetLatency, 0, 2, &latency, 1, kTimeoutMs), 1);
        EXPECT_EQ(latency, 3);

        // Bulk OUT, and the echo comes back behind the status bytes.
        usb_emu_clear_received(kEcho);
        unsigned char hello[] = {0x93, 0x41, 0x94, 0x42}; // single bytes to addresses 3 and 4
        int moved = 0;
        ASSERT_EQ(libusb_bulk_transfer(chip.handle(), 0x04, hello, sizeof hello, &moved, kTimeoutMs), LIBUSB_SUCCESS);
        EXPECT_EQ(moved, 4);
        Bytes received(16);
        received.resize(usb_emu_received(kEcho, received.data(), 16));
        EXPECT_EQ(received, Bytes(hello, hello + 4));
        Bytes echoed;
        ASSERT_TRUE(waitUntil([&] {
            unsigned char in[65536];
            int got = 0;
            if (libusb_bulk_transfer(chip.handle(), 0x83, in, sizeof in, &got, kTimeoutMs) != LIBUSB_SUCCESS) {
                return true;
            }
            EXPECT_TRUE(stripStatus(in, static_cast<std::size_t>(got), echoed));
            return echoed.size() >= 4;
        }));
        EXPECT_EQ(echoed, (Bytes{0xD3, 0x41, 0xD4, 0x42})) << "the echo board answers what it took";

        // A transfer still waiting when the interface is released ends then (usbfs kills it).
        ASSERT_EQ(controlOut(chip.handle(), kSetLatency, 255, 2), 0);
        std::vector<std::uint8_t> waiting(512);
        int waitingDone = 0;
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            transfer, chip.handle(), 0x83, waiting.data(), 512,
            [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }, &waitingDone, 0);
        ASSERT_EQ(libusb_submit_transfer(transfer), LIBUSB_SUCCESS);
        ASSERT_EQ(libusb_release_interface(chip.handle(), 1), LIBUSB_SUCCESS);
        ASSERT_TRUE(usb.runUntil(waitingDone));
        EXPECT_EQ(transfer->actual_length, 0);
        libusb_free_transfer(transfer);
        EXPECT_EQ(kernelDriver(kEcho), "");
        ASSERT_EQ(libusb_attach_kernel_driver(chip.handle(), 1), LIBUSB_SUCCESS);
        EXPECT_EQ(kernelDriver(kEcho), "ftdi_sio");
        EXPECT_EQ(libusb_attach_kernel_driver(chip.handle(), 1), LIBUSB_ERROR_BUSY) << "bound already";

        // libusb's own automatic detach: DISCONNECT_CLAIM at the claim, CONNECT at the release.
        ASSERT_EQ(libusb_set_auto_detach_kernel_driver(chip.handle(), 1), LIBUSB_SUCCESS);
        ASSERT_EQ(libusb_claim_interface(chip.handle(), 0), LIBUSB_SUCCESS);
        EXPECT_EQ(kernelDriver(kSilentA), "usbfs");
        ASSERT_EQ(libusb_release_interface(chip.handle(), 0), LIBUSB_SUCCESS);
        EXPECT_EQ(kernelDriver(kSilentA), "ftdi_sio");

        // Closed while claimed, without giving it back: no driver until the next plug.
        ASSERT_EQ(chip.claim(1), LIBUSB_SUCCESS);
    }
    EXPECT_EQ(kernelDriver(kEcho), "");
    ASSERT_EQ(usb_emu_unplug(kEchoChip), 0);
    ASSERT_EQ(usb_emu_replug(kEchoChip), 0);
    EXPECT_EQ(kernelDriver(kEcho), "ftdi_sio") << "bound again at the plug";
    EXPECT_EQ(usb_emu_unknown_requests(), 0u);
}

TEST(LibusbRoad, AnInterfaceAnotherProcessHoldsIsBusy) {
    Usb usb;
    Opened chip(usb, kEchoChip);
    ASSERT_TRUE(chip);
    ASSERT_EQ(usb_emu_hold_interface(kEcho, 1), 0);
    EXPECT_EQ(kernelDriver(kEcho), "usbfs");
    usbdevfs_getdriver query{};
    query.interface = 1;
    ASSERT_EQ(ioctl(chip.fd(), USBDEVFS_GETDRIVER, &query), 0);
    EXPECT_STREQ(query.driver, "usbfs");
    EXPECT_EQ(libusb_kernel_driver_active(chip.handle(), 1), 0) << "usbfs is no kernel driver to libusb";
    EXPECT_EQ(libusb_detach_kernel_driver(chip.handle(), 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(chip.handle(), 1), LIBUSB_ERROR_BUSY);
    usbdevfs_ioctl command{1, USBDEVFS_DISCONNECT, nullptr};
    EXPECT_EQ(ioctl(chip.fd(), USBDEVFS_IOCTL, &command), -1);
    EXPECT_EQ(errno, EBUSY) << "the emulator takes nothing from a process it does not run";
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(chip.handle(), 1), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(chip.handle(), 1), LIBUSB_ERROR_BUSY) << "DISCONNECT_CLAIM spares usbfs";
    unsigned char in[512];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(chip.handle(), 0x83, in, sizeof in, &got, kTimeoutMs), LIBUSB_ERROR_IO)
        << "an unclaimed interface's transfer claims it first, and cannot (EBUSY)";
    EXPECT_EQ(usb_emu_stream_sent(kEcho), 0u);

    ASSERT_EQ(usb_emu_hold_interface(kEcho, 0), 0);
    EXPECT_EQ(kernelDriver(kEcho), "");
    ASSERT_EQ(libusb_claim_interface(chip.handle(), 1), LIBUSB_SUCCESS);
    EXPECT_EQ(usb_emu_hold_interface(kEcho, 1), -1) << "this process holds it now";
    EXPECT_EQ(usb_emu_hold_interface("NOSUCH", 1), -1);
}

TEST(LibusbRoad, StreamPacketsCarryStatusBytesAndBigTransfersArriveWholeAndInOrder) {
    Usb usb;
    Opened chip(usb, kStreamChip);
    ASSERT_TRUE(chip);
    ASSERT_EQ(chip.claim(1), LIBUSB_SUCCESS);
    // Four 64 KiB transfers in flight, each split by libusb into 16 KiB URBs that continue it.
    constexpr int kInFlight = 4;
    constexpr int kLength = 65536;
    struct Slot {
        std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kLength);
        libusb_transfer* transfer = nullptr;
        int done = 0;
    };
    std::vector<Slot> slots(kInFlight);
    auto finished = [](libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; };
    for (Slot& slot : slots) {
        slot.transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(slot.transfer, chip.handle(), 0x83, slot.buffer.data(), kLength, finished, &slot.done,
                                  kTimeoutMs);
        ASSERT_EQ(libusb_submit_transfer(slot.transfer), LIBUSB_SUCCESS);
    }
    Bytes data;
    std::uint64_t next = 0;
    for (int round = 0; round < 3 * kInFlight; ++round) {
        Slot& slot = slots[static_cast<std::size_t>(round % kInFlight)];
        ASSERT_TRUE(usb.runUntil(slot.done)) << "transfer " << round;
        ASSERT_EQ(slot.transfer->status, LIBUSB_TRANSFER_COMPLETED);
        ASSERT_GT(slot.transfer->actual_length, 0);
        ASSERT_TRUE(stripStatus(slot.buffer.data(), static_cast<std::size_t>(slot.transfer->actual_length), data));
        ASSERT_TRUE(takeBlocks(data, next));
        slot.done = 0;
        ASSERT_EQ(libusb_submit_transfer(slot.transfer), LIBUSB_SUCCESS);
    }
    EXPECT_GT(next, 1000u) << "whole blocks, numbered from 0, none missing";
    for (Slot& slot : slots) {
        libusb_cancel_transfer(slot.transfer);
        usb.runUntil(slot.done);
        libusb_free_transfer(slot.transfer);
    }
    EXPECT_EQ(usb_emu_unknown_requests(), 0u);
}

// ---- the synchronous FIFO -------------------------------------------------------------------------

// Bytes received from the interface's IN endpoint in `seconds`, with several transfers in flight.
std::uint64_t receiveFor(Usb& usb, libusb_device_handle* handle, std::uint8_t endpoint, double seconds,
                         int inFlight = 8, int length = 65536, double* elapsed = nullptr) {
    struct Slot {
        std::vector<std::uint8_t> buffer;
        libusb_transfer* transfer = nullptr;
        std::uint64_t* total = nullptr;
        bool again = true;
        int done = 0;
    };
    std::uint64_t total = 0;
    int active = 0;
    std::vector<Slot> slots(static_cast<std::size_t>(inFlight));
    auto finished = [](libusb_transfer* transfer) {
        auto* slot = static_cast<Slot*>(transfer->user_data);
        *slot->total += static_cast<std::uint64_t>(transfer->actual_length);
        if (transfer->status == LIBUSB_TRANSFER_COMPLETED && slot->again &&
            libusb_submit_transfer(transfer) == LIBUSB_SUCCESS) {
            return;
        }
        slot->done = 1;
    };
    for (Slot& slot : slots) {
        slot.buffer.resize(static_cast<std::size_t>(length));
        slot.total = &total;
        slot.transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(slot.transfer, handle, endpoint, slot.buffer.data(), length, finished, &slot,
                                  kTimeoutMs);
        if (libusb_submit_transfer(slot.transfer) == LIBUSB_SUCCESS) {
            ++active;
        } else {
            slot.done = 1;
        }
    }
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        timeval step{0, 20000};
        libusb_handle_events_timeout(usb.context(), &step);
    }
    const std::uint64_t counted = total;
    if (elapsed != nullptr) {
        *elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    for (Slot& slot : slots) {
        slot.again = false;
        if (slot.done == 0) {
            libusb_cancel_transfer(slot.transfer);
        }
    }
    for (Slot& slot : slots) {
        usb.runUntil(slot.done);
        libusb_free_transfer(slot.transfer);
    }
    return counted;
}

TEST(SyncFifo, BitMode0x40SwitchesAnFt232hToTheSyncRateAndBackAndIsChannelAsAlone) {
    Usb usb;
    EXPECT_EQ(usb_emu_board_fifo_sync(kSyncChip), 1) << "the board file says \"fifo\": \"sync\"";
    EXPECT_EQ(usb_emu_board_fifo_sync(kEcho), 0);
    Opened single(usb, kSyncChip);
    ASSERT_TRUE(single);
    ASSERT_EQ(single.claim(0), LIBUSB_SUCCESS);
    EXPECT_EQ(usb_emu_interface_link_rate(kSyncChip), 8'000'000u) << "the async FIFO's rate";
    EXPECT_EQ(usb_emu_bit_mode(kSyncChip), 0);
    ASSERT_EQ(controlOut(single.handle(), kSetBitMode, 0x40FF, 1), 0);
    EXPECT_EQ(usb_emu_bit_mode(kSyncChip), 0x40);
    EXPECT_EQ(usb_emu_interface_link_rate(kSyncChip), 40'000'000u);

    // The link's rate shows in what arrives: more than the async link could carry, never more
    // than the sync link can (bounds with room for a loaded machine and the link's burst).
    double elapsed = 0;
    const double bytes = static_cast<double>(receiveFor(usb, single.handle(), 0x81, 0.6, 8, 65536, &elapsed));
    const double slack = 80000 + 1024 + 64 * 512; // the link's burst (2 ms), the FIFO, status-only packets
    EXPECT_LT(bytes, 40e6 * 512 / 510 * elapsed + slack);
    EXPECT_GT(bytes, 8e6 * 512 / 510 * elapsed + slack) << bytes / elapsed / 1e6 << " MB/s";

    ASSERT_EQ(controlOut(single.handle(), kSetBitMode, 0x0000, 1), 0);
    EXPECT_EQ(usb_emu_bit_mode(kSyncChip), 0);
    EXPECT_EQ(usb_emu_interface_link_rate(kSyncChip), 8'000'000u);
    const double asyncBytes = static_cast<double>(receiveFor(usb, single.handle(), 0x81, 0.3, 8, 65536, &elapsed));
    EXPECT_LT(asyncBytes, 8e6 * 512 / 510 * elapsed + slack) << "back at the async rate";

    // An FT2232H: channel A takes the mode, channel B stalls the request and keeps its own.
    Opened dual(usb, kEchoChip);
    ASSERT_TRUE(dual);
    ASSERT_EQ(dual.claim(1), LIBUSB_SUCCESS);
    EXPECT_EQ(controlOut(dual.handle(), kSetBitMode, 0x40FF, 2), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb_emu_bit_mode(kEcho), 0);
    EXPECT_EQ(usb_emu_interface_link_rate(kEcho), 8'000'000u);
    ASSERT_EQ(controlOut(dual.handle(), kSetBitMode, 0x40FF, 1), 0);
    EXPECT_EQ(usb_emu_interface_link_rate(kSilentA), 40'000'000u);
    EXPECT_EQ(usb_emu_interface_link_rate(kEcho), 8'000'000u);

    // An unlimited link stays unlimited in every mode.
    usb_emu_set_link_rate(0);
    EXPECT_EQ(usb_emu_interface_link_rate(kSilentA), 0u);
    EXPECT_EQ(usb_emu_interface_link_rate(kEcho), 0u);
}

// ---- the chip's FIFO holds the board back ---------------------------------------------------------

struct HoldBackCase {
    const char* chip;
    const char* serial;
    int interface;
    std::uint8_t endpoint;
    std::uint32_t fifo;
    // What the board may make beyond the interface's FIFO: the gateware runs in slices of its
    // clock only while the FIFO has room, and what it sent in the last slice beyond that room
    // waits in its pin-level chip's buffer and stage (4 KiB each at most; about 512 bytes seen).
    std::uint32_t ahead = 0;
    const char* name = "";
};

void PrintTo(const HoldBackCase& c, std::ostream* out) { *out << c.serial << " (" << c.fifo << "-byte FIFO)"; }

class HoldBack : public testing::TestWithParam<HoldBackCase> {};

TEST_P(HoldBack, AStreamNobodyReadsWaitsAtTheChipFifoAndLosesNothing) {
    const HoldBackCase& c = GetParam();
    ASSERT_EQ(usb_emu_fifo_size(c.serial), c.fifo);
    Usb usb;
    Opened chip(usb, c.chip);
    ASSERT_TRUE(chip);
    ASSERT_EQ(chip.claim(c.interface), LIBUSB_SUCCESS); // the stream starts, and nobody asks for data
    ASSERT_TRUE(waitUntil([&] { return usb_emu_fifo_bytes(c.serial) + kMessageSize > c.fifo; }))
        << usb_emu_fifo_bytes(c.serial);
    const std::uint64_t sent = usb_emu_stream_sent(c.serial);
    // The board stays held back while nobody asks (this is the stall itself, not a wait for it).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(usb_emu_stream_sent(c.serial), sent) << "the board waits on the chip's flag";
    EXPECT_LE(sent * kMessageSize, c.fifo + c.ahead) << "it made no more than the FIFO holds";
    EXPECT_GT(sent * kMessageSize + kMessageSize, c.fifo);

    // Then everything is read: every block from 0 on, whole and in order.
    Bytes data;
    std::uint64_t next = 0;
    std::vector<std::uint8_t> buffer(16384);
    ASSERT_TRUE(waitUntil([&] {
        int got = 0;
        const int result = libusb_bulk_transfer(chip.handle(), c.endpoint, buffer.data(),
                                                static_cast<int>(buffer.size()), &got, kTimeoutMs);
        EXPECT_EQ(result, LIBUSB_SUCCESS);
        EXPECT_TRUE(stripStatus(buffer.data(), static_cast<std::size_t>(got), data));
        EXPECT_TRUE(takeBlocks(data, next));
        return result != LIBUSB_SUCCESS || testing::Test::HasFailure() || next >= 4 * sent + 1000;
    }));
    EXPECT_GE(next, 4 * sent + 1000);
}

INSTANTIATE_TEST_SUITE_P(Chips, HoldBack,
                         testing::Values(HoldBackCase{kStreamChip, kStream, 1, 0x83, 4096, 0, "FT2232H"},
                                         HoldBackCase{kSyncChip, kSyncChip, 0, 0x81, 1024, 0, "FT232H"},
                                         HoldBackCase{"UG02", "UG02B", 1, 0x83, 4096, 2 * 4096, "GatewareFT2232H"}),
                         [](const testing::TestParamInfo<HoldBackCase>& info) { return std::string(info.param.name); });

// ---- the board's state through the control API ------------------------------------------------------

struct StateCase {
    const char* chip;
    const char* serial;
    int interface;
    std::uint8_t in;
    std::uint8_t out;
    bool gateware;
    const char* name;
    bool syncMode = false; // the host sets bit mode 0x40 first
};

void PrintTo(const StateCase& c, std::ostream* out) { *out << c.serial; }

class BoardState : public testing::TestWithParam<StateCase> {};

// An echo board of each kind takes a trigger, a single byte, a block and a control sequence: its
// answers come back, and the control API reads the LEDs, the register, the control value and the
// counts as the simulated driver's does, and the gateware's timing kept.
TEST_P(BoardState, TheHostsMessagesSetWhatTheControlApiReads) {
    const StateCase& c = GetParam();
    Usb usb;
    Opened chip(usb, c.chip);
    ASSERT_TRUE(chip);
    ASSERT_EQ(chip.claim(c.interface), LIBUSB_SUCCESS);
    if (c.syncMode) {
        // Without the chip's clock the synchronous build takes nothing: the request waits.
        unsigned char early[] = {0x81, 0x01};
        int taken = 0;
        EXPECT_EQ(libusb_bulk_transfer(chip.handle(), c.out, early, sizeof early, &taken, 200), LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(taken, 0);
        EXPECT_EQ(usb_emu_received(c.serial, nullptr, 0), 0u);
        ASSERT_EQ(controlOut(chip.handle(), kSetBitMode, 0x40FF, 1), 0);
    }
    unsigned char messages[] = {0x81, 0x0A, 0x95, 0x41, 0xA7, 0x02, 0x10, 0x20,              // trigger, byte, block
                                0x8A, 0x5A, 0x8A, 0xC3, 0x8A, 0x7E, 0x8A, 0x66, 0x8A, 0x00}; // control 0x66 to 1
    int moved = 0;
    ASSERT_EQ(libusb_bulk_transfer(chip.handle(), c.out, messages, sizeof messages, &moved, kTimeoutMs),
              LIBUSB_SUCCESS);
    ASSERT_EQ(moved, static_cast<int>(sizeof messages));
    const Bytes expected = {0xC8, 0x0A, 0xD5, 0x41, 0xE7, 0x02, 0x10, 0x20, 0xD1,
                            0x5A, 0xD1, 0xC3, 0xD1, 0x7E, 0xD1, 0x66, 0xD1, 0x00};
    Bytes echoed;
    ASSERT_TRUE(waitUntil([&] {
        unsigned char in[4096];
        int got = 0;
        if (libusb_bulk_transfer(chip.handle(), c.in, in, sizeof in, &got, kTimeoutMs) != LIBUSB_SUCCESS) {
            return true;
        }
        EXPECT_TRUE(stripStatus(in, static_cast<std::size_t>(got), echoed));
        return echoed.size() >= expected.size();
    }));
    EXPECT_EQ(echoed, expected);

    EXPECT_EQ(usb_emu_board_leds(c.serial), 0x0Au);
    std::uint8_t value[4] = {};
    EXPECT_EQ(usb_emu_board_register(c.serial, 5, value, sizeof value), 1u);
    EXPECT_EQ(value[0], 0x41);
    EXPECT_EQ(usb_emu_board_register(c.serial, 6, value, sizeof value), 0u) << "nothing reached address 6";
    EXPECT_EQ(usb_emu_board_control(c.serial, 1), 0x66);
    EXPECT_EQ(usb_emu_board_control(c.serial, 2), -1);
    UsbEmuBoardCounts counts{};
    ASSERT_EQ(usb_emu_board_counts(c.serial, &counts), 0);
    EXPECT_EQ(counts.triggers, 1u);
    EXPECT_EQ(counts.singleBytes, 1u);
    EXPECT_EQ(counts.blocks, 1u);
    EXPECT_EQ(counts.controlSequences, 1u);
    EXPECT_EQ(counts.controlDiscarded, 0u);
    UsbEmuRtlState state{};
    char first[128] = "untouched";
    ASSERT_EQ(usb_emu_rtl_state(c.serial, &state, first, sizeof first), 0);
    EXPECT_EQ(state.rtl, c.gateware ? 1 : 0);
    EXPECT_EQ(state.cycles > 0, c.gateware);
    EXPECT_EQ(state.violations, 0u) << first;
    EXPECT_STREQ(first, "");

    // An interface nobody has is refused, and says nothing.
    EXPECT_EQ(usb_emu_board_counts("NOSUCH", &counts), -1);
    EXPECT_EQ(counts.triggers, 0u);
    EXPECT_EQ(usb_emu_rtl_state("NOSUCH", &state, nullptr, 0), -1);
    EXPECT_EQ(usb_emu_board_control("NOSUCH", 1), -1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BoardState,
                         testing::Values(StateCase{kEchoChip, kEcho, 1, 0x83, 0x04, false, "Model"},
                                         StateCase{"UG01", "UG01", 0, 0x81, 0x02, true, "Gateware"},
                                         StateCase{"UG03", "UG03", 0, 0x81, 0x02, true, "GatewareSyncFifo", true}),
                         [](const testing::TestParamInfo<StateCase>& info) { return std::string(info.param.name); });

// ---- faults ---------------------------------------------------------------------------------------

TEST(StreamFaults, APacketWithoutItsStatusBytesCarriesDataWhereTheStatusGoes) {
    Usb usb;
    Opened chip(usb, kStreamChip);
    ASSERT_TRUE(chip);
    ASSERT_EQ(chip.claim(1), LIBUSB_SUCCESS);
    ASSERT_EQ(usb_emu_fault(kStream, USB_EMU_FAULT_NO_STATUS, 1), 0);
    std::vector<std::uint8_t> buffer(2048);
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(chip.handle(), 0x83, buffer.data(), 2048, &got, kTimeoutMs), LIBUSB_SUCCESS);
    ASSERT_EQ(got, 512);
    EXPECT_EQ(buffer[0], 0xE0 | 2) << "block 0's header, not the status";
    EXPECT_EQ(buffer[1], kBlockLength);
    EXPECT_EQ(buffer[2], usb_emu_stream_block_byte(0, kBlockLength, 0));
    ASSERT_EQ(libusb_bulk_transfer(chip.handle(), 0x83, buffer.data(), 2048, &got, kTimeoutMs), LIBUSB_SUCCESS);
    ASSERT_GE(got, 2);
    EXPECT_EQ(buffer[0], kStatus0) << "the next packet has its status bytes again";
}

// ---- the receive rate an eager client gets (--bench) ----------------------------------------------

int bench(int argc, char** argv) {
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    const int inFlight = argc > 3 ? std::atoi(argv[3]) : 8;
    const int kib = argc > 4 ? std::atoi(argv[4]) : 64;
    Usb usb;
    Opened chip(usb, kStreamChip);
    if (!chip || chip.claim(1) != LIBUSB_SUCCESS) {
        std::fprintf(stderr, "cannot open the stream board %s\n", kStreamChip);
        return 1;
    }
    double elapsed = 0;
    const std::uint64_t bytes = receiveFor(usb, chip.handle(), 0x83, seconds, inFlight, kib * 1024, &elapsed);
    std::printf("link %s: %d transfers of %d KiB in flight: %.1f MB/s (%.0f bytes in %.2f s), %llu data bytes\n",
                std::getenv("CORVANE_USB_EMU_RATE") != nullptr ? std::getenv("CORVANE_USB_EMU_RATE") : "default",
                inFlight, kib, static_cast<double>(bytes) / elapsed / 1e6, static_cast<double>(bytes), elapsed,
                static_cast<unsigned long long>(usb_emu_bytes_to_host(kStream)));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
        return bench(argc, argv);
    }

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
