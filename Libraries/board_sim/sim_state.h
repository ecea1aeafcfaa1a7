// The simulated driver's internal state: its devices, open handles, faults and counters, all in
// one record guarded by one mutex. Shared by the entry points (sim_driver.cpp) and the control
// API (control.cpp); nothing here is visible outside the driver.
#pragma once

#include "board.h"
#include "board_model.h"
#include "board_sim.h"
#include "byte_queue.h"
#include "costs_events.h"
#include "d2xx.h"
#include "stream.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(_WIN32)
#define SIM_ENTRY_EXPORT // exported under plain names by the DLL's module-definition file
#else
#define SIM_ENTRY_EXPORT __attribute__((visibility("default")))
#endif

// Every entry point declared from the shared list, so that a definition below whose signature
// differs from the library's pointer type fails to compile. A build variant built without one
// entry point (BOARD_SIM_WITHOUT_<name>) keeps the declaration and drops only the definition.
namespace d2xx {
#define BOARD_SIM_DECLARE(name, required, params) extern "C" SIM_ENTRY_EXPORT FT_STATUS D2XX_API name params;
D2XX_ENTRY_POINTS(BOARD_SIM_DECLARE)
#undef BOARD_SIM_DECLARE
#define BOARD_SIM_CHECK_TYPE(name, required, params)                                                                   \
    static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " must match the library's pointer type");
D2XX_ENTRY_POINTS(BOARD_SIM_CHECK_TYPE)
#undef BOARD_SIM_CHECK_TYPE
extern "C" SIM_ENTRY_EXPORT FT_STATUS D2XX_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR latency);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), PFN_FT_SetLatencyTimer>);
} // namespace d2xx

namespace boardsim {

using namespace d2xx;

// FT_Read waits for missing bytes at most this long, whatever the time-out (0 means "forever" to
// the vendor's driver): a test that asks for more than it queued must fail, not hang.
constexpr std::uint32_t kMaxReadWaitMs = 500;
// Baud rates the chip can be set to; the vendor's driver answers FT_IO_ERROR outside them.
constexpr ULONG kMinBaudRate = 184;
constexpr ULONG kMaxBaudRate = 12000000;
// Identity of the padding boards of sim_set_listed_count: a supported board of the library.
constexpr std::uint32_t kPaddingBoardId = 0x04038088u;
constexpr const char* kPaddingDescription = "Simulated board";
constexpr ULONG kDeviceType = 8; // FT_DEVICE_232H, a single-channel high-speed bridge
constexpr DWORD kFirstLocationId = 0x1011;
constexpr DWORD kDefaultVendorId = 0x15D6; // what the vendor's Linux driver reports before a Set
constexpr DWORD kDefaultProductId = 0x0001;
// The first handle value; handles go up from here and are never given out twice. Where pointers
// are 64-bit the handles lie above 4 GiB, so that a handle cut to 32 bits anywhere is refused.
constexpr std::uintptr_t kFirstHandle =
    static_cast<std::uintptr_t>(sizeof(void*) == 8 ? 0x51'0005'1000ull : 0x51000ull);
constexpr std::uintptr_t kHandleStep = 0x10;
constexpr UCHAR kDefaultLatencyMs = 16; // the chip's latency timer after every open
// A driver that holds the board back asks the chip only for what fits its queue whole, so its
// queue never fills to the last byte: it stops one 512-byte packet short. The library takes a
// status call that reports the full kReceiveQueueCap for the vendor's driver dropping data, so
// only the drop mode, which models that driver, ever reports it.
constexpr std::size_t kHeldBackQueueCap = kReceiveQueueCap - 512;
// In drop mode, what a streaming board sends meanwhile each time the driver looks at a queue too
// full for its next message: one of the vendor's driver's 4 KiB requests.
constexpr std::size_t kOverrunBytes = 4096;

struct Device {
    std::uint32_t id = 0;
    char serial[16] = {};
    char description[64] = {};
    DWORD locationId = 0;
    bool open = false;
    FT_HANDLE handle = nullptr;
    std::uint32_t openCount = 0;
    ByteQueue toHost; // the driver's receive queue; status calls report at most kReceiveQueueCap
    std::vector<std::uint8_t> written;
    std::vector<std::uint32_t> writeCalls;
    std::uint32_t baudRate = 0;
    std::uint32_t purgeMask = 0;
    std::uint32_t readTimeout = 0;
    std::uint32_t writeTimeout = 0;
    bool padding = false;       // made by sim_set_listed_count, listed only while a count is set
    bool unplugged = false;     // gone from the bus: not listed, not openable, its handle answers FT_IO_ERROR
    int unplugAfterWrites = -1; // fault: unplugged once this many more writes have reached it
    // The board behind the device: a silent board model until the control API or a board file
    // chooses another (a board file's "logic": "rtl" the gateware).
    std::unique_ptr<Board> board = makeModelBoard(BoardEntry{});
    DWORD eventMask = 0; // FT_SetEventNotification: what to signal, and how
    PVOID eventParam = nullptr;
    UCHAR latencyTimer = kDefaultLatencyMs;
    // Unplugged and replugged on a timetable: (unplug, replug) in milliseconds after the device's
    // first open since the timetable was set; applied by the next driver call due.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timetable;
    std::size_t timetableNext = 0; // 2 * entry, + 1 once that entry's unplug is done
    bool timetableStarted = false;
    std::chrono::steady_clock::time_point timetableStart{};
    std::uint32_t statusCalls = 0;  // FT_GetStatus calls on the device's handles, failed ones included
    std::uint64_t droppedBytes = 0; // by a full receive queue, with sim_drop_beyond_queue on
};

struct Fault {
    int remaining = 0; // negative: every call
    FT_STATUS status = FT_OK;
};

struct Driver {
    std::mutex lock;
    std::vector<std::unique_ptr<Device>> devices;
    int listedCount = -1;
    std::vector<FT_DEVICE_LIST_INFO_NODE> snapshot; // the list of the latest FT_CreateDeviceInfoList
    std::map<std::uintptr_t, int> openHandles;      // handle value -> device number
    std::set<std::uintptr_t> deadHandles;           // handles of unplugged devices, until closed
    std::uintptr_t nextHandle = kFirstHandle;
    // Looked up by the entry point's name without building a string: std::less<> compares the
    // stored names with the caller's text directly.
    std::map<std::string, Fault, std::less<>> faults;
    std::map<std::string, std::uint64_t, std::less<>> calls;
    std::uint64_t totalCalls = 0;
    int callsUntilFault = 0; // sim_fail_call: counts down; the call that brings it to 0 fails
    FT_STATUS callFaultStatus = FT_OK;
    int shortWritesLeft = 0;
    std::uint32_t shortWriteSize = 0;
    SimWriteHook hook = nullptr;
    void* hookUser = nullptr;
    std::vector<std::pair<DWORD, DWORD>> vidPids;
    std::condition_variable pacerWake; // the pacing thread of paced streams waits on it
    bool pacerStarted = false;
    int timetabled = 0; // devices whose timetable has events still to come
    // sim_drop_beyond_queue: a full receive queue drops, as the vendor's; after loading and every
    // sim_reset as CORVANE_SIM_QUEUE chose (drop or hold; hold when unset).
    bool dropBeyondQueue = false;
};

// The receive queue's mode that CORVANE_SIM_QUEUE chooses: true for drop. A value it does not know
// is reported once on standard error and chooses hold.
bool dropModeFromEnvironment();

Driver& driver();

using Guard = std::lock_guard<std::mutex>;

// Counts the call and consumes one injected fault; returns the fault's status, or FT_OK to go on.
// The caller holds the lock.
FT_STATUS enter(Driver& d, const char* entryPoint);
// The device behind an open handle, or null for a null, unknown or closed handle. Lock held.
Device* deviceOf(Driver& d, FT_HANDLE handle, int* number = nullptr);
Device* deviceAt(Driver& d, int number);
// What a call on a handle that deviceOf does not know answers: FT_IO_ERROR for the handle of an
// unplugged device, as the vendor's driver does for a removed device, else FT_INVALID_HANDLE.
FT_STATUS missingHandle(const Driver& d, FT_HANDLE handle);
// Pulls the device off the bus: its open handle dies, the list and the opens no longer see it.
void unplug(Driver& d, int number);
// Puts it back: listed again, closed, its board state kept and listening at a message boundary.
void replug(Driver& d, int number);
// Applies what the devices' timetables have due by now. Lock held.
void applyTimetables(Driver& d);
int addDevice(Driver& d, std::uint32_t id, const char* serial, std::size_t serialLength, const char* description,
              std::size_t descriptionLength);
int addTerminated(Driver& d, std::uint32_t id, const char* serial, const char* description);

// Bytes reached the device's receive queue: arms `signal` with its receive notification, if the
// host asked for one. Lock held; the caller fires the signal once the lock is released.
void noteArrival(const Device& device, PendingSignal& signal);
// Bytes from the board reach the receive queue: all of them, or with sim_drop_beyond_queue on
// only what fits below the cap. Lock held.
void deliver(Device& device, const std::uint8_t* bytes, std::size_t count);
// Lets an open device's stream put what is due into the receive queue. Lock held.
void topUp(Device& device, std::chrono::steady_clock::time_point now, PendingSignal& signal);
// What a status call reports as waiting: the receive queue, up to its cap (kHeldBackQueueCap, or
// kReceiveQueueCap in drop mode). Lock held.
DWORD receiveQueueCount(const Device& device);

} // namespace boardsim
