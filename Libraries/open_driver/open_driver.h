// Corvane's own D2XX driver for Linux (libcorvane_d2xx.so): the D2XX entry points the Corvane
// library binds, implemented on libusb-1.0 for FTDI's FT2232H and FT232H bridge chips. The library
// loads it by name like any D2XX driver (CORVANE_DRIVER=open); its threads, FIFO and decoder do
// not know which driver they talk to.
//
// What it does differently from the vendor's closed driver, and why it exists: it asks the chip
// for data only while its receive queue has room for a whole further transfer. A reader that falls
// behind leaves the bytes in the chip, whose FIFO fills and holds the board back, so nothing is
// ever dropped (the vendor's Linux driver keeps asking and throws away what its full queue cannot
// take). It also detaches the kernel's serial driver from the interface at open and gives it back
// at close, and it can put a board into the chip's synchronous 245 FIFO mode.
//
// The road to the chip. libusb does everything but finding devices: Debian's libusb is built with
// udev, and its own discovery and hotplug need a running udevd, which containers and CI machines
// lack. So the context is made with LIBUSB_OPTION_NO_DEVICE_DISCOVERY, and the driver lists chips
// itself from sysfs (/sys/bus/usb/devices: idVendor, idProduct, busnum, devnum, speed, the binary
// descriptors, and the product and serial strings the kernel reads from the string descriptors) at
// every FT_CreateDeviceInfoList, so a replugged chip is found under its new device number. To open
// one it opens /dev/bus/usb/BBB/DDD itself and hands the file to libusb_wrap_sys_device. Transfers
// are libusb's asynchronous bulk transfers, completed by one event thread of the driver that runs
// while a handle is open; the chip's own requests (reset, purge, latency timer, bit mode, baud
// rate) are synchronous vendor control transfers. libftdi would offer those few requests, but it
// wants to own the context and the device handle and brings its own reads, which are exactly the
// part this driver must control; a dozen lines of control transfers do not earn a dependency.
//
// Implemented: listing (FT_CreateDeviceInfoList, FT_GetDeviceInfoList, FT_GetDeviceInfoDetail,
// FT_ListDevices), FT_Open, FT_OpenEx by serial number, description or location, FT_Close,
// FT_Read, FT_Write, FT_GetStatus, FT_GetQueueStatus, FT_SetEventNotification, FT_SetTimeouts,
// FT_Purge, FT_SetBaudRate, FT_SetLatencyTimer, FT_GetLatencyTimer, FT_SetUSBParameters,
// FT_SetBitMode, FT_ResetDevice, FT_GetModemStatus, FT_SetVIDPID, FT_GetVIDPID, FT_GetDriverVersion,
// FT_GetLibraryVersion. Every other D2XX entry point exists and returns FT_NOT_SUPPORTED.
//
// Listing: the maker's ids (0x0403 with 0x6001, 0x6010, 0x6011, 0x6014, 0x6015), Corvane's block
// 0x0403:0x8088..0x808F, and whatever FT_SetVIDPID added. One node per interface; a chip of two
// interfaces gets A/B added to its serial number and " A"/" B" to its description. An interface this
// process holds shows Flags OPENED|HISPEED and its handle; one held by another process, or whose
// device node this user may not open, shows as a blank node (Flags 0x1, Type 3, ID 0, LocId 0,
// empty strings), as the vendor's driver lists it, and is not taken. LocId is bus << 24, the port
// path in nibbles (up to four levels) << 8, and the interface number plus one.
//
// Receive: kInTransfers bulk IN transfers of kInTransferBytes each in flight per handle (see
// receive.cpp for the measurement behind the figures); the two status bytes of every packet are
// stripped (a packet of fewer than two bytes is malformed: counted, logged once, never copied) and
// the data goes into a receive queue of kReceiveQueueBytes. A transfer is submitted only while the
// queue has room for the data of every transfer in flight plus its own.
//
// Synchronous FIFO: CORVANE_FIFO=sync puts every board that can (an FT232H, or interface A of an
// FT2232H) into the synchronous 245 FIFO at open (bit mode 0x00, then 0x40); CORVANE_FIFO=<serial>,
// <serial>,... only those (the listed serial, A/B included, or the chip's own). A named board that
// cannot (interface B) is opened in the asynchronous FIFO and the driver writes one line saying so
// on standard error. The board's EEPROM must select the 245 FIFO for the mode to work on real chips.
//
// Faults: an unplugged chip (a transfer ending with LIBUSB_TRANSFER_NO_DEVICE) or an IN or OUT
// endpoint that stalls or fails makes the handle dead: every later call on it returns FT_IO_ERROR
// at once, FT_Close still frees it, and one line on standard error names the board and the cause.
// A write the chip does not take within the write time-out returns FT_OK with the count it took,
// as the vendor's driver does.
//
// Threads: every entry point may be called from any thread. Handles are tokens, never addresses:
// a registry maps them to live handles, so a stale or closed handle gives FT_INVALID_HANDLE, never
// a use of freed memory. Locks, always taken in this order: the registry's (the device list and
// the handles), a handle's write lock (one FT_Write at a time), a handle's state lock. The receive
// notification (FT_SetEventNotification) is given under the handle's notify lock with no other of
// the driver's locks held, because the library calls FT_GetStatus while it holds that record's
// mutex.
#pragma once

#include "d2xx.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace corvane::open_driver {

using namespace d2xx;

constexpr std::uint16_t kFtdiVendor = 0x0403;
constexpr ULONG kDeviceType2232H = 6;
constexpr ULONG kDeviceType232H = 8;
constexpr std::uint16_t kRelease2232H = 0x0700;
constexpr std::uint16_t kRelease232H = 0x0900;

// The receive road's sizes (see receive.cpp for the measurement behind them). For measuring,
// CORVANE_D2XX_TUNING=<transfers>,<bytes>,<queue bytes> overrides them at open.
constexpr int kInTransfers = 4;
constexpr int kMaxInTransfers = 16;
constexpr int kInTransferBytes = 16384;
constexpr int kMaxInTransferBytes = 65536;
constexpr std::size_t kReceiveQueueBytes = 256 * 1024;
constexpr int kOutTransfers = 4;
constexpr int kOutTransferBytes = 16384;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr std::uint8_t kDefaultLatencyMs = 16;
constexpr DWORD kLibraryVersion = 0x00010000; // 1.0.0, as FT_GetLibraryVersion reports it

// One interface of a chip on the bus, as the last scan of sysfs found it.
struct DeviceNode {
    ULONG flags = 0;
    ULONG type = FT_DEVICE_UNKNOWN;
    ULONG id = 0;
    DWORD locId = 0;
    std::string serial;      // with A/B for a chip of two interfaces
    std::string description; // likewise with " A"/" B"
    std::string chipSerial;  // the string descriptor as the chip gives it
    FT_HANDLE handle = nullptr;
    // Where to reach it.
    std::string sysName; // "1-4.2"
    std::string nodePath;
    int interface = 0;
    int interfaceCount = 1;
    std::uint8_t inEndpoint = 0;
    std::uint8_t outEndpoint = 0;
    std::uint16_t packetSize = 512;
    bool blank = false;         // listed blank (Flags 0x1, Type 3, nothing else), and not opened
    bool heldElsewhere = false; // blank because another process has claimed the interface
    bool mayNotOpen = false;    // blank because this user may not open the device node
};

// One bulk transfer of a handle and the buffer it owns.
struct TransferSlot {
    libusb_transfer* transfer = nullptr;
    std::vector<std::uint8_t> buffer;
    bool inFlight = false;
    struct Handle* owner = nullptr;
};

// An open interface. Every field below `lock` is guarded by it unless its comment says otherwise.
struct Handle {
    std::uintptr_t token = 0; // what the caller holds as FT_HANDLE
    DeviceNode node;
    int fd = -1;
    libusb_device_handle* usb = nullptr;
    bool kernelDriverDetached = false;
    bool synchronousFifo = false;

    std::mutex writeLock; // one FT_Write at a time, so two writes' bytes never interleave
    // Held shared by a synchronous control request for its whole run, and exclusively by the close
    // while it gives back `usb`: a request on another thread never uses a closed libusb handle.
    std::shared_mutex usbUse;

    std::mutex lock;
    std::condition_variable changed; // bytes arrived, a transfer finished, the handle died or closes
    std::vector<std::uint8_t> queue; // the receive queue, a ring of kReceiveQueueBytes
    std::size_t queueStart = 0;
    std::size_t queued = 0;
    std::vector<TransferSlot> in; // kInTransfers of them unless tuned
    TransferSlot out[kOutTransfers];
    int inFlightIn = 0;
    int inFlightOut = 0;
    int inTransferBytes = kInTransferBytes; // for the next IN submissions (FT_SetUSBParameters)
    std::size_t queueCapacity = kReceiveQueueBytes;
    std::uint64_t outDone = 0; // bytes the chip took of the current FT_Write's transfers
    int notifying = 0;         // completions giving the receive notification right now
    bool purging = false;      // FT_Purge has cancelled the IN transfers and is waiting for them
    bool closing = false;
    bool dead = false; // the chip is gone or an endpoint failed: every call gives FT_IO_ERROR
    std::string deathCause;
    ULONG readTimeoutMs = 0; // 0: forever, as the vendor's driver starts
    ULONG writeTimeoutMs = 0;
    std::uint8_t modemStatus = 0;
    std::uint8_t lineStatus = 0;
    std::uint64_t malformedPackets = 0;
    bool malformedLogged = false;

    std::mutex notifyLock; // guards the two fields below; never held with `lock`
    FT_EVENT_HANDLE* eventHandle = nullptr;
    DWORD eventMask = 0;
};

// The process-wide state, made once and never destroyed (the event thread may still run while
// the process exits).
struct Driver {
    std::mutex lock;                  // the registry: the device list, the snapshot, the handles, the id table
    std::vector<DeviceNode> snapshot; // from the last FT_CreateDeviceInfoList
    std::vector<std::shared_ptr<Handle>> handles;
    std::uintptr_t nextToken = 0x1000;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> ids;
    libusb_context* context = nullptr;
    bool contextFailed = false;

    std::mutex eventThreadLock;      // starting and stopping the event thread
    int eventThreadUsers = 0;        // open handles; under eventThreadLock
    std::atomic<int> stopEvents{0};  // the event thread's completion flag; libusb reads it in its loop
    bool eventThreadRunning = false; // under eventThreadLock
    void* eventThread = nullptr;     // a std::thread*, under eventThreadLock
};

Driver& driver();

// device_list.cpp
// Scans sysfs for the chips of the id table, one node per interface. `held` lists the handles this
// process holds (their nodes show OPENED). Called with the registry's lock held.
std::vector<DeviceNode> scanDevices(Driver& d);
// Whether CORVANE_FIFO asks for the synchronous FIFO on this node.
bool wantsSynchronousFifo(const DeviceNode& node);
// The context, made at the first call that needs it; null when libusb cannot start (no usbfs).
libusb_context* usbContext(Driver& d);
// One line on standard error, prefixed with the driver's name.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// handle.cpp
FT_STATUS openNode(Driver& d, const DeviceNode& node, FT_HANDLE* out); // registry's lock held
FT_STATUS closeHandle(std::shared_ptr<Handle> handle);
std::shared_ptr<Handle> findHandle(FT_HANDLE token); // null for a handle that is not open
// A vendor control request to the handle's interface (wIndex = interface + 1 unless given).
FT_STATUS controlOut(Handle& h, std::uint8_t request, std::uint16_t value, int index = -1);
FT_STATUS controlIn(Handle& h, std::uint8_t request, std::uint8_t* out, std::uint16_t length);
void markDead(Handle& h, const char* cause); // h.lock held

// receive.cpp
void fillInTransfers(Handle& h);                    // h.lock held: submits what the queue has room for
void cancelTransfers(Handle& h, bool in, bool out); // h.lock held
// Waits (h.lock held through `hold`) until no transfer of the kind is in flight, or the time is up.
bool awaitTransfers(Handle& h, std::unique_lock<std::mutex>& hold, bool in, bool out, int timeoutMs);
FT_STATUS readQueue(Handle& h, std::uint8_t* buffer, DWORD wanted, DWORD* got);
FT_STATUS writeBytes(Handle& h, const std::uint8_t* bytes, DWORD count, DWORD* written);
bool allocateTransfers(Handle& h);
void freeTransfers(Handle& h);
void notifyReceive(Handle& h); // no driver lock held
void startEventThread(Driver& d);
void stopEventThread(Driver& d);

} // namespace corvane::open_driver
