// The emulated chips' state: every chip, its interfaces and the open device files, all in one
// record guarded by one mutex. The vendor's driver calls in from its own threads (its USB event
// thread, its hotplug thread and the application threads inside its calls), the chip thread moves
// bytes as time passes, and tests steer the chips through the control API (usb_emu.h).
#pragma once

#include "board.h"
#include "byte_queue.h"
#include "config_file.h"
#include "stream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct usbdevfs_urb;

namespace usbemu {

using Clock = std::chrono::steady_clock;

// The chip: an FT2232H (two interfaces) for a dual-channel board, an FT232H for a single one.
constexpr std::uint16_t kDualChipRelease = 0x0700;
constexpr std::uint16_t kSingleChipRelease = 0x0900;
constexpr std::size_t kPacketSize = 512; // high-speed bulk packets
constexpr std::size_t kStatusBytes = 2;  // at the start of every IN packet
// The chip's FIFO buffer from the board towards USB, per interface: when it is full the board waits.
constexpr std::size_t kDualChipFifo = 4096;    // FT2232H, each interface
constexpr std::size_t kSingleChipFifo = 1024;  // FT232H
constexpr std::uint8_t kModemStatus = 0x32;    // CTS and DSR asserted, and the reserved low bit an idle chip shows
constexpr std::uint8_t kLineStatusIdle = 0x60; // transmitter holding register and transmitter empty
constexpr std::uint8_t kDefaultLatencyMs = 16;
// The async FIFO's rate; CORVANE_USB_EMU_RATE chooses another (bytes per second, 0 = unlimited).
constexpr std::uint64_t kDefaultLinkRate = 8'000'000;
// The synchronous 245 FIFO's rate (bit mode 0x40); CORVANE_USB_EMU_SYNC_RATE chooses another.
constexpr std::uint64_t kDefaultSyncRate = 40'000'000;
constexpr std::uint8_t kSyncFifoMode = 0x40;
// The kernel drivers an interface may have: the serial driver bound at every plug, usbfs while a
// program has claimed it, and none ("") once detached.
constexpr const char* kSerialDriver = "ftdi_sio";
constexpr const char* kUsbfsDriver = "usbfs";
// The link may run this far ahead of its rate after a pause, so that the chip thread can move
// bytes in runs rather than waking for every packet.
// At faster rates, two milliseconds' worth: a chip thread woken late on a busy machine does not
// lose the link's time.
constexpr double kLinkBurstBytes = 16384;
inline double linkBurst(std::uint64_t rate) { return std::max(kLinkBurstBytes, static_cast<double>(rate) / 500.0); }

struct Node;

// A URB the chip has not finished yet, and the open device file it came through.
struct PendingUrb {
    usbdevfs_urb* urb;
    Node* node;
    Clock::time_point submitted{};
};

// One interface of a chip: its two bulk endpoints and the board on its FIFO side.
struct Interface {
    int number = 0; // 0 for A, 1 for B
    std::uint8_t inEndpoint = 0;
    std::uint8_t outEndpoint = 0;
    boardsim::BoardEntry described; // the board as its board file describes it
    std::unique_ptr<boardsim::Board> board;
    // What the board has to send and has not yet put through the FIFO: its answers, and what it
    // sends by itself, made only as far as the chip's FIFO has room (the board waits on the chip's
    // flag, so nothing is made and then dropped).
    boardsim::ByteQueue boardOut;
    boardsim::ByteQueue chipIn; // through the FIFO, in the chip's buffer, waiting for IN requests
    std::size_t fifoSize = kDualChipFifo;
    bool boardWaiting = false;      // the board has more to send than the FIFO or the link took
    std::deque<PendingUrb> inUrbs;  // in the order submitted
    std::deque<PendingUrb> outUrbs; // likewise
    std::size_t outTaken = 0;       // bytes of the first OUT URB the chip has taken
    std::uint8_t latencyMs = kDefaultLatencyMs;
    bool latencySet = false; // by the driver since the chip was plugged
    Clock::time_point lastPacket{};
    double linkCredit = kLinkBurstBytes;
    Clock::time_point creditAt{};
    std::vector<std::uint8_t> received; // every byte the board took, in order
    std::uint64_t outUrbsDone = 0;
    std::uint64_t statusOnlyPackets = 0;
    std::uint64_t dataToHost = 0; // data bytes (status bytes not counted) in finished IN requests
    int unplugAfterWrites = 0;
    bool claimed = false;  // by the driver: while claimed, the board sends by itself
    Node* owner = nullptr; // the device file that claimed it
    std::string kernelDriver = kSerialDriver;
    bool heldElsewhere = false; // another process has claimed it (control API)
    std::uint8_t bitMode = 0;
    bool syncFifo = false; // bit mode 0x40: the synchronous 245 FIFO, at its own rate
    // Faults the control API arms: how many IN requests stall, end after one byte, or carry a
    // packet without its status bytes; how many OUT requests the chip never takes.
    int stallIn = 0;
    int shortIn = 0;
    int noStatusIn = 0;
    int hangOut = 0;
    std::uint16_t baudDivisor = 0;
};

// One chip on the bus.
struct Chip {
    std::string usbSerial; // the string descriptor; the driver adds A/B per interface
    std::string product;   // likewise, with " A"/" B"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool dual = false;
    int port = 0;         // its sysfs name is 1-<port>
    int deviceNumber = 0; // devnum, new at every plug
    bool plugged = true;
    bool refuseOpen = false; // its device node refuses the user (EACCES)
    std::vector<Interface> interfaces;
    // Unplug and replug times (ms after the first open), and where the timetable stands.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timetable;
    std::size_t timetableNext = 0;
    bool timetableStarted = false;
    Clock::time_point timetableStart{};
    std::string sysName() const { return "1-" + std::to_string(port); }
};

// An open device file (each open of /dev/bus/usb/BBB/DDD): its own finished URBs, as usbfs keeps
// them per file, and an eventfd that is readable while it has some (the poll shim turns that into
// POLLOUT) or once its chip is gone (POLLERR).
struct Node {
    Chip* chip = nullptr;
    int eventFd = -1;
    bool signalled = false;
    bool dead = false; // the chip was unplugged under it
    unsigned claimed = 0;
    int deviceNumber = 0; // the chip's at the open (readlink, CONNECTINFO)
    // Bulk endpoints refused to continuation URBs after an error, as usbfs keeps them per file:
    // bit (endpoint number | 16 for IN).
    std::uint32_t disabledBulk = 0;
    std::deque<usbdevfs_urb*> finished;
};

struct Emulator {
    std::mutex lock;
    std::condition_variable chipWake; // the chip thread sleeps on it until its next deadline
    std::string root;                 // the private folder the USB paths lead to
    bool ownsRoot = false;
    std::uint64_t linkRate = kDefaultLinkRate;               // 0: every link unlimited
    std::uint64_t syncRate = kDefaultSyncRate;               // in the synchronous FIFO; 0: unlimited
    Clock::time_point chipWakeAt = Clock::time_point::max(); // when the chip thread next wakes by itself
    std::vector<std::unique_ptr<Chip>> chips;
    std::map<int, std::unique_ptr<Node>> nodes; // by file descriptor
    std::map<int, int> uevents;                 // the driver's end -> our sending end
    int nextDeviceNumber = 2;                   // 1 is the root hub's
    std::uint64_t unknownRequests = 0;
    bool unknownLogged = false;
    bool ready = false;
    // Whether the kernel's serial driver module is loaded, so that it binds every interface at
    // every plug: CORVANE_USB_EMU_SERIAL_DRIVER=loaded or unloaded; by default loaded until the
    // vendor's driver claims an interface (its installation notes have the user unload the module
    // first, and it never detaches a driver itself).
    enum class SerialModule { Auto, Loaded, Unloaded } serialModule = SerialModule::Auto;
};

Emulator& emulator();
using Guard = std::lock_guard<std::mutex>;

// device_tree.cpp: the files under the root folder and the uevents.
void writeChipFiles(const Emulator& e, const Chip& chip);
void removeChipFiles(const Emulator& e, const Chip& chip);
void sendUevent(Emulator& e, const Chip& chip, bool added);
std::vector<std::uint8_t> deviceDescriptors(const Chip& chip);
std::string redirect(const char* path); // empty when the path is not one of the USB paths

// chip.cpp
void loadChips(Emulator& e); // from the board file, at start-up
int submitUrb(Emulator& e, Node& node, usbdevfs_urb* urb);
// A control request (the 8 setup bytes, then `data` of `room` bytes): the URB's status (0, or
// -EPIPE for a stall) and in `actual` the bytes answered.
int controlRequest(Emulator& e, Chip& chip, const std::uint8_t* setup, std::uint8_t* data, std::size_t room,
                   std::size_t& actual);
// The kernel-driver ioctls of usbfs on an interface: GETDRIVER, USBDEVFS_IOCTL's DISCONNECT and
// CONNECT, DISCONNECT_CLAIM. Each returns the ioctl's result or a negative errno.
int interfaceDriver(Node& node, unsigned number, char* out, std::size_t size);
int disconnectDriver(Emulator& e, Node& node, unsigned number);
int connectDriver(Node& node, unsigned number);
int disconnectClaim(Emulator& e, Node& node, unsigned number, unsigned flags, const char* driver);
// The link rate of an interface now, bytes per second (0: unlimited).
std::uint64_t linkRateOf(const Emulator& e, const Interface& interface);
int reapUrb(Node& node, void** out);
int discardUrb(Node& node, usbdevfs_urb* urb);
int claimInterface(Emulator& e, Node& node, unsigned number, bool claim);
void closeNode(Emulator& e, int fd);
void unplugChip(Emulator& e, Chip& chip);
void replugChip(Emulator& e, Chip& chip);
void startChipThread();
void signalNode(Node& node);
// Hands a URB back to its device file with the given status.
void finishUrb(const PendingUrb& pending, int status);
// Empties the chip's buffer and the board's queue towards it; the board's stream starts again.
void purgeReceive(Interface& interface);

// The serial driver module leaves (Auto, when the vendor's driver claims): unbound everywhere.
void unloadSerialModule(Emulator& e);

// interpose.cpp: the C library's close; control.cpp: the real pthread functions, looked up once.
int closeDescriptor(int fd);
void resolveThreadFunctions();
// Whether the code at the return address lies in a library whose file name contains `library`.
bool calledFrom(const void* returnAddress, const char* library);

} // namespace usbemu
