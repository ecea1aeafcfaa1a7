// The simulated D2XX driver: simulated boards behind the 35 D2XX entry points, plus the control
// API of board_sim.h. All state sits in one record guarded by one mutex; the library calls in from
// its application threads and its read thread at once, and tests steer it from theirs. The lock is
// never held while a test's write hook runs or while FT_Read waits for bytes.
#include "board_sim.h"
#include "d2xx.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#define SIM_ENTRY_EXPORT // exported under plain names by ftd2xx32.def
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
// The first handle value; handles go up from here and are never given out twice.
constexpr std::uintptr_t kFirstHandle = 0x51000;
constexpr std::uintptr_t kHandleStep = 0x10;

// Host-to-device headers the echoing board understands (addresses 0 to 15 in the low nibble).
constexpr std::uint8_t kTriggerHeader = 0x81;
constexpr std::uint8_t kSingleByteRange = 0x90;
constexpr std::uint8_t kBlockRange = 0xA0;
constexpr std::uint8_t kControlMask = 0x87;
constexpr std::uint8_t kControlPattern = 0x82;
// Device-to-host command bytes of its answers.
constexpr std::uint8_t kTriggerAnswer = 0xC8;
constexpr std::uint8_t kSingleByteAnswer = 0xD0;
constexpr std::uint8_t kBlockAnswer = 0xE0;

// The board side of the echo model: it reads the host's byte stream message by message, however
// the stream is cut into writes, and produces the answers.
class EchoBoard {
  public:
    void reset() {
        header_ = 0;
        haveHeader_ = false;
        inBlock_ = false;
        blockRemaining_ = 0;
        block_.clear();
    }

    void feed(std::uint8_t byte, std::deque<std::uint8_t>& toHost) {
        if (inBlock_) {
            block_.push_back(byte);
            if (--blockRemaining_ == 0) {
                finishBlock(toHost);
            }
            return;
        }
        if (!haveHeader_) {
            header_ = byte;
            haveHeader_ = true;
            return;
        }
        haveHeader_ = false;
        answer(header_, byte, toHost);
    }

  private:
    void answer(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost) {
        if (header == kTriggerHeader) {
            toHost.push_back(kTriggerAnswer);
            toHost.push_back(value);
        } else if ((header & 0xF0) == kSingleByteRange) {
            // Also the control headers 0x92 and 0x9A: answered on the single-byte address's channel.
            toHost.push_back(static_cast<std::uint8_t>(kSingleByteAnswer | (header & 0x07)));
            toHost.push_back(value);
        } else if ((header & 0xF0) == kBlockRange) {
            // Also the control headers 0xA2 and 0xAA: a board cannot tell them from a block preamble.
            blockHeader_ = static_cast<std::uint8_t>(kBlockAnswer | (header & 0x07));
            blockRemaining_ = value;
            block_.clear();
            if (value == 0) {
                finishBlock(toHost);
            } else {
                inBlock_ = true;
            }
        } else if ((header & kControlMask) == kControlPattern) {
            const int address = (header >> 3) & 0x0F;
            toHost.push_back(static_cast<std::uint8_t>(kSingleByteAnswer | (address & 0x07)));
            toHost.push_back(value);
        }
        // Any other header is consumed with its byte and not answered.
    }

    void finishBlock(std::deque<std::uint8_t>& toHost) {
        inBlock_ = false;
        toHost.push_back(blockHeader_);
        toHost.push_back(static_cast<std::uint8_t>(block_.size()));
        toHost.insert(toHost.end(), block_.begin(), block_.end());
        block_.clear();
    }

    std::uint8_t header_ = 0;
    bool haveHeader_ = false;
    bool inBlock_ = false;
    std::uint8_t blockHeader_ = 0;
    std::uint32_t blockRemaining_ = 0;
    std::vector<std::uint8_t> block_;
};

struct Device {
    std::uint32_t id = 0;
    char serial[16] = {};
    char description[64] = {};
    DWORD locationId = 0;
    bool open = false;
    FT_HANDLE handle = nullptr;
    std::uint32_t openCount = 0;
    std::deque<std::uint8_t> toHost;
    std::vector<std::uint8_t> written;
    std::vector<std::uint32_t> writeCalls;
    std::uint32_t baudRate = 0;
    std::uint32_t purgeMask = 0;
    std::uint32_t readTimeout = 0;
    std::uint32_t writeTimeout = 0;
    bool echo = false;
    bool padding = false; // made by sim_set_listed_count, listed only while a count is set
    EchoBoard board;
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
    std::uintptr_t nextHandle = kFirstHandle;
    std::map<std::string, Fault> faults;
    std::map<std::string, std::uint64_t> calls;
    int shortWritesLeft = 0;
    std::uint32_t shortWriteSize = 0;
    SimWriteHook hook = nullptr;
    void* hookUser = nullptr;
    std::vector<std::pair<DWORD, DWORD>> vidPids;
};

Driver& driver() {
    // Never destroyed: the library's read and write threads call in until the process is gone,
    // also while static destructors run at exit.
    static Driver* instance = new Driver;
    return *instance;
}

using Guard = std::lock_guard<std::mutex>;

// Counts the call and consumes one injected fault; returns the fault's status, or FT_OK to go on.
// The caller holds the lock.
FT_STATUS enter(Driver& d, const char* entryPoint) {
    ++d.calls[entryPoint];
    auto fault = d.faults.find(entryPoint);
    if (fault == d.faults.end() || fault->second.remaining == 0) {
        return FT_OK;
    }
    const FT_STATUS status = fault->second.status;
    if (fault->second.remaining > 0 && --fault->second.remaining == 0) {
        d.faults.erase(fault);
    }
    return status;
}

// The device behind an open handle, or null for a null, unknown or closed handle. Lock held.
Device* deviceOf(Driver& d, FT_HANDLE handle, int* number = nullptr) {
    auto open = d.openHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (handle == nullptr || open == d.openHandles.end()) {
        return nullptr;
    }
    if (number != nullptr) {
        *number = open->second;
    }
    return d.devices[static_cast<std::size_t>(open->second)].get();
}

Device* deviceAt(Driver& d, int number) {
    if (number < 0 || static_cast<std::size_t>(number) >= d.devices.size()) {
        return nullptr;
    }
    return d.devices[static_cast<std::size_t>(number)].get();
}

int addDevice(Driver& d, std::uint32_t id, const char* serial, std::size_t serialLength, const char* description,
              std::size_t descriptionLength) {
    auto device = std::make_unique<Device>();
    device->id = id;
    std::memcpy(device->serial, serial, serialLength);
    std::memcpy(device->description, description, descriptionLength);
    device->locationId = kFirstLocationId + static_cast<DWORD>(d.devices.size());
    d.devices.push_back(std::move(device));
    return static_cast<int>(d.devices.size()) - 1;
}

int addTerminated(Driver& d, std::uint32_t id, const char* serial, const char* description) {
    // Truncated to leave room for the terminator that the zeroed fields already hold.
    const std::size_t serialLength = serial == nullptr ? 0 : strnlen(serial, sizeof(Device::serial) - 1);
    const std::size_t descriptionLength =
        description == nullptr ? 0 : strnlen(description, sizeof(Device::description) - 1);
    return addDevice(d, id, serial == nullptr ? "" : serial, serialLength, description == nullptr ? "" : description,
                     descriptionLength);
}

// The devices FT_CreateDeviceInfoList reports, by device number: the first listedCount devices, or
// every device added through the control API when no count is set.
std::vector<std::size_t> listedDevices(const Driver& d) {
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < d.devices.size(); ++i) {
        if (d.listedCount >= 0 ? i < static_cast<std::size_t>(d.listedCount) : !d.devices[i]->padding) {
            listed.push_back(i);
        }
    }
    return listed;
}

// Opens a device for the caller: refused when already open, otherwise a handle never given before.
FT_STATUS openDevice(Driver& d, int number, FT_HANDLE* handle) {
    Device& device = *d.devices[static_cast<std::size_t>(number)];
    if (device.open) {
        return FT_DEVICE_NOT_OPENED;
    }
    const std::uintptr_t value = d.nextHandle;
    d.nextHandle += kHandleStep;
    device.open = true;
    device.handle = reinterpret_cast<FT_HANDLE>(value);
    ++device.openCount;
    device.purgeMask = 0;
    device.board.reset();
    d.openHandles[value] = number;
    *handle = device.handle;
    return FT_OK;
}

FT_STATUS matchAndOpen(Driver& d, const char* wanted, DWORD flags, FT_HANDLE* handle) {
    for (std::size_t i = 0; i < d.devices.size(); ++i) {
        const Device& device = *d.devices[i];
        bool match = false;
        if (flags == FT_OPEN_BY_SERIAL_NUMBER) {
            match = std::strncmp(device.serial, wanted, sizeof device.serial) == 0 &&
                    strnlen(wanted, sizeof device.serial + 1) <= sizeof device.serial;
        } else {
            match = std::strncmp(device.description, wanted, sizeof device.description) == 0 &&
                    strnlen(wanted, sizeof device.description + 1) <= sizeof device.description;
        }
        if (match) {
            return openDevice(d, static_cast<int>(i), handle);
        }
    }
    return FT_DEVICE_NOT_FOUND;
}

// The plain handle calls: counted, faultable, refused on a bad handle, otherwise accepted.
FT_STATUS plainHandleCall(const char* entryPoint, FT_HANDLE handle) {
    Driver& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = enter(d, entryPoint)) {
        return fault;
    }
    return deviceOf(d, handle) == nullptr ? FT_INVALID_HANDLE : FT_OK;
}

} // namespace boardsim

using boardsim::driver;
using boardsim::Guard;

// ---- D2XX entry points -------------------------------------------------------------------------

namespace d2xx {

#if !defined(BOARD_SIM_WITHOUT_FT_Open)
extern "C" FT_STATUS D2XX_API FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_Open")) {
        return fault;
    }
    if (pHandle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (boardsim::deviceAt(d, deviceNumber) == nullptr) {
        return FT_DEVICE_NOT_FOUND;
    }
    return boardsim::openDevice(d, deviceNumber, pHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_OpenEx)
extern "C" FT_STATUS D2XX_API FT_OpenEx(PVOID pArg1, DWORD flags, FT_HANDLE* pHandle) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_OpenEx")) {
        return fault;
    }
    if (pHandle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (flags == FT_OPEN_BY_LOCATION) {
        const auto location = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
        for (std::size_t i = 0; i < d.devices.size(); ++i) {
            if (d.devices[i]->locationId == location) {
                return boardsim::openDevice(d, static_cast<int>(i), pHandle);
            }
        }
        return FT_DEVICE_NOT_FOUND;
    }
    // The vendor's driver crashes on a null text; refusing it is kinder and changes nothing else.
    if (pArg1 == nullptr || (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION)) {
        return FT_DEVICE_NOT_FOUND;
    }
    return boardsim::matchAndOpen(d, static_cast<const char*>(pArg1), flags, pHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_ListDevices)
extern "C" FT_STATUS D2XX_API FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD flags) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_ListDevices")) {
        return fault;
    }
    const std::size_t count = d.devices.size();
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        if (pArg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(count);
        return FT_OK;
    }
    const bool bySerial = (flags & FT_OPEN_BY_DESCRIPTION) == 0;
    auto field = [&](std::size_t i) -> const char* {
        return bySerial ? d.devices[i]->serial : d.devices[i]->description;
    };
    const std::size_t fieldSize = bySerial ? sizeof(boardsim::Device::serial) : sizeof(boardsim::Device::description);
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        const auto index = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(pArg1));
        if (pArg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if (index >= count) {
            return FT_DEVICE_NOT_FOUND;
        }
        char* out = static_cast<char*>(pArg2);
        std::memcpy(out, field(index), fieldSize);
        out[strnlen(field(index), fieldSize)] = '\0';
        return FT_OK;
    }
    if ((flags & FT_LIST_ALL) != 0) {
        if (pArg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        char** out = static_cast<char**>(pArg1);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(out[i], field(i), fieldSize);
            out[i][strnlen(field(i), fieldSize)] = '\0';
        }
        if (pArg2 != nullptr) {
            *static_cast<DWORD*>(pArg2) = static_cast<DWORD>(count);
        }
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}
#endif

#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_SetVIDPID)
extern "C" FT_STATUS D2XX_API FT_SetVIDPID(DWORD vid, DWORD pid) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_SetVIDPID")) {
        return fault;
    }
    d.vidPids.emplace_back(vid, pid);
    return FT_OK;
}
#endif

#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_GetVIDPID)
extern "C" FT_STATUS D2XX_API FT_GetVIDPID(DWORD* pVid, DWORD* pPid) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetVIDPID")) {
        return fault;
    }
    if (pVid == nullptr || pPid == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *pVid = d.vidPids.empty() ? boardsim::kDefaultVendorId : d.vidPids.back().first;
    *pPid = d.vidPids.empty() ? boardsim::kDefaultProductId : d.vidPids.back().second;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Close)
extern "C" FT_STATUS D2XX_API FT_Close(FT_HANDLE ftHandle) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_Close")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    d.openHandles.erase(reinterpret_cast<std::uintptr_t>(ftHandle));
    device->open = false;
    device->handle = nullptr;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Read)
extern "C" FT_STATUS D2XX_API FT_Read(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned) {
    auto& d = driver();
    std::chrono::steady_clock::time_point deadline;
    {
        Guard guard(d.lock);
        if (FT_STATUS fault = boardsim::enter(d, "FT_Read")) {
            return fault;
        }
        boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if (buffer == nullptr || bytesReturned == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *bytesReturned = 0;
        if (bytesToRead == 0) {
            return FT_OK;
        }
        const std::uint32_t wait = device->readTimeout == 0 ? boardsim::kMaxReadWaitMs
                                                            : std::min(device->readTimeout, boardsim::kMaxReadWaitMs);
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
    }
    // Returns as soon as the whole count is queued, else at the time-out with what there is.
    for (;;) {
        {
            Guard guard(d.lock);
            boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
            if (device == nullptr) {
                return FT_OK; // closed meanwhile: the vendor's driver also just times out with nothing
            }
            if (device->toHost.size() >= bytesToRead || std::chrono::steady_clock::now() >= deadline) {
                const auto count = static_cast<DWORD>(std::min<std::size_t>(device->toHost.size(), bytesToRead));
                std::copy_n(device->toHost.begin(), count, static_cast<std::uint8_t*>(buffer));
                device->toHost.erase(device->toHost.begin(), device->toHost.begin() + count);
                *bytesReturned = count;
                return FT_OK;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Write)
extern "C" FT_STATUS D2XX_API FT_Write(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten) {
    auto& d = driver();
    SimWriteHook hook = nullptr;
    void* user = nullptr;
    int number = -1;
    DWORD count = 0;
    {
        Guard guard(d.lock);
        if (FT_STATUS fault = boardsim::enter(d, "FT_Write")) {
            return fault;
        }
        boardsim::Device* device = boardsim::deviceOf(d, ftHandle, &number);
        if (device == nullptr) {
            return FT_INVALID_HANDLE;
        }
        if ((buffer == nullptr && bytesToWrite != 0) || bytesWritten == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        count = bytesToWrite;
        if (d.shortWritesLeft != 0) {
            count = std::min(count, d.shortWriteSize);
            if (d.shortWritesLeft > 0) {
                --d.shortWritesLeft;
            }
        }
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        device->writeCalls.push_back(bytesToWrite);
        if (count != 0) {
            device->written.insert(device->written.end(), bytes, bytes + count);
        }
        if (device->echo) {
            for (DWORD i = 0; i < count; ++i) {
                device->board.feed(bytes[i], device->toHost);
            }
        }
        *bytesWritten = count;
        hook = d.hook;
        user = d.hookUser;
    }
    if (hook != nullptr) {
        hook(number, static_cast<const std::uint8_t*>(buffer), count, user);
    }
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_IoCtl)
extern "C" FT_STATUS D2XX_API FT_IoCtl(FT_HANDLE ftHandle, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD bytesReturned,
                                       LPVOID) {
    FT_STATUS status = boardsim::plainHandleCall("FT_IoCtl", ftHandle);
    if (status == FT_OK && bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    return status;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetBaudRate)
extern "C" FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE ftHandle, ULONG baudRate) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_SetBaudRate")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (baudRate < boardsim::kMinBaudRate || baudRate > boardsim::kMaxBaudRate) {
        return FT_IO_ERROR; // what the vendor's driver answers, rather than FT_INVALID_BAUD_RATE
    }
    device->baudRate = baudRate;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetDivisor)
extern "C" FT_STATUS D2XX_API FT_SetDivisor(FT_HANDLE ftHandle, USHORT) {
    return boardsim::plainHandleCall("FT_SetDivisor", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetDataCharacteristics)
extern "C" FT_STATUS D2XX_API FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR, UCHAR, UCHAR) {
    return boardsim::plainHandleCall("FT_SetDataCharacteristics", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetFlowControl)
extern "C" FT_STATUS D2XX_API FT_SetFlowControl(FT_HANDLE ftHandle, USHORT, UCHAR, UCHAR) {
    return boardsim::plainHandleCall("FT_SetFlowControl", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_ResetDevice)
extern "C" FT_STATUS D2XX_API FT_ResetDevice(FT_HANDLE ftHandle) {
    return boardsim::plainHandleCall("FT_ResetDevice", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetDtr)
extern "C" FT_STATUS D2XX_API FT_SetDtr(FT_HANDLE ftHandle) { return boardsim::plainHandleCall("FT_SetDtr", ftHandle); }
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_ClrDtr)
extern "C" FT_STATUS D2XX_API FT_ClrDtr(FT_HANDLE ftHandle) { return boardsim::plainHandleCall("FT_ClrDtr", ftHandle); }
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetRts)
extern "C" FT_STATUS D2XX_API FT_SetRts(FT_HANDLE ftHandle) { return boardsim::plainHandleCall("FT_SetRts", ftHandle); }
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_ClrRts)
extern "C" FT_STATUS D2XX_API FT_ClrRts(FT_HANDLE ftHandle) { return boardsim::plainHandleCall("FT_ClrRts", ftHandle); }
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetModemStatus)
extern "C" FT_STATUS D2XX_API FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* modemStatus) {
    FT_STATUS status = boardsim::plainHandleCall("FT_GetModemStatus", ftHandle);
    if (status == FT_OK) {
        if (modemStatus == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *modemStatus = 0;
    }
    return status;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetChars)
extern "C" FT_STATUS D2XX_API FT_SetChars(FT_HANDLE ftHandle, UCHAR, UCHAR, UCHAR, UCHAR) {
    return boardsim::plainHandleCall("FT_SetChars", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Purge)
extern "C" FT_STATUS D2XX_API FT_Purge(FT_HANDLE ftHandle, ULONG mask) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_Purge")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    device->purgeMask |= mask;
    if ((mask & FT_PURGE_RX) != 0) {
        device->toHost.clear();
    }
    if ((mask & FT_PURGE_TX) != 0) {
        device->board.reset(); // a message cut off in the transmit path never reaches the board whole
    }
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetTimeouts)
extern "C" FT_STATUS D2XX_API FT_SetTimeouts(FT_HANDLE ftHandle, ULONG readTimeout, ULONG writeTimeout) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_SetTimeouts")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    device->readTimeout = readTimeout;
    device->writeTimeout = writeTimeout;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetQueueStatus)
extern "C" FT_STATUS D2XX_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* rxBytes) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetQueueStatus")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (rxBytes == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *rxBytes = static_cast<DWORD>(device->toHost.size());
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetEventNotification)
extern "C" FT_STATUS D2XX_API FT_SetEventNotification(FT_HANDLE ftHandle, DWORD, PVOID) {
    return boardsim::plainHandleCall("FT_SetEventNotification", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetStatus)
extern "C" FT_STATUS D2XX_API FT_GetStatus(FT_HANDLE ftHandle, DWORD* rxBytes, DWORD* txBytes, DWORD* eventDWord) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetStatus")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (rxBytes == nullptr || txBytes == nullptr || eventDWord == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *rxBytes = static_cast<DWORD>(device->toHost.size());
    *txBytes = 0; // writes complete synchronously, as on the vendor's Linux driver
    *eventDWord = 0;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOn)
extern "C" FT_STATUS D2XX_API FT_SetBreakOn(FT_HANDLE ftHandle) {
    return boardsim::plainHandleCall("FT_SetBreakOn", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOff)
extern "C" FT_STATUS D2XX_API FT_SetBreakOff(FT_HANDLE ftHandle) {
    return boardsim::plainHandleCall("FT_SetBreakOff", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetWaitMask)
extern "C" FT_STATUS D2XX_API FT_SetWaitMask(FT_HANDLE ftHandle, DWORD) {
    return boardsim::plainHandleCall("FT_SetWaitMask", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_WaitOnMask)
extern "C" FT_STATUS D2XX_API FT_WaitOnMask(FT_HANDLE ftHandle, DWORD* mask) {
    FT_STATUS status = boardsim::plainHandleCall("FT_WaitOnMask", ftHandle);
    if (status == FT_OK) {
        if (mask == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *mask = 0; // no events are simulated, so the wait ends at once with none
    }
    return status;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetEventStatus)
extern "C" FT_STATUS D2XX_API FT_GetEventStatus(FT_HANDLE ftHandle, DWORD* eventDWord) {
    FT_STATUS status = boardsim::plainHandleCall("FT_GetEventStatus", ftHandle);
    if (status == FT_OK) {
        if (eventDWord == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *eventDWord = 0;
    }
    return status;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_ReadEE)
extern "C" FT_STATUS D2XX_API FT_ReadEE(FT_HANDLE ftHandle, DWORD, LPWORD value) {
    FT_STATUS status = boardsim::plainHandleCall("FT_ReadEE", ftHandle);
    if (status == FT_OK) {
        if (value == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *value = 0xFFFF; // an erased EEPROM word
    }
    return status;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_WriteEE)
extern "C" FT_STATUS D2XX_API FT_WriteEE(FT_HANDLE ftHandle, DWORD, WORD) {
    return boardsim::plainHandleCall("FT_WriteEE", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_EraseEE)
extern "C" FT_STATUS D2XX_API FT_EraseEE(FT_HANDLE ftHandle) {
    return boardsim::plainHandleCall("FT_EraseEE", ftHandle);
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_CreateDeviceInfoList)
extern "C" FT_STATUS D2XX_API FT_CreateDeviceInfoList(LPDWORD numDevs) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_CreateDeviceInfoList")) {
        return fault;
    }
    if (numDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    const std::vector<std::size_t> listed = boardsim::listedDevices(d);
    const std::size_t count = listed.size();
    d.snapshot.assign(count, FT_DEVICE_LIST_INFO_NODE{});
    for (std::size_t i = 0; i < count; ++i) {
        const boardsim::Device& device = *d.devices[listed[i]];
        FT_DEVICE_LIST_INFO_NODE& node = d.snapshot[i];
        node.Flags = FT_FLAGS_HISPEED | (device.open ? FT_FLAGS_OPENED : 0);
        node.Type = boardsim::kDeviceType;
        node.ID = device.id;
        node.LocId = device.locationId;
        std::memcpy(node.SerialNumber, device.serial, sizeof node.SerialNumber);
        std::memcpy(node.Description, device.description, sizeof node.Description);
        node.ftHandle = device.open ? device.handle : nullptr;
    }
    *numDevs = static_cast<DWORD>(count);
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetDeviceInfoList)
extern "C" FT_STATUS D2XX_API FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, LPDWORD numDevs) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetDeviceInfoList")) {
        return fault;
    }
    if (numDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    // Like the vendor's driver: the count passed in is ignored, the whole latest list is written.
    if (dest != nullptr && !d.snapshot.empty()) {
        std::memcpy(dest, d.snapshot.data(), d.snapshot.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    }
    *numDevs = static_cast<DWORD>(d.snapshot.size());
    return FT_OK;
}
#endif

} // namespace d2xx

// ---- control API ------------------------------------------------------------------------------

void sim_reset(void) {
    auto& d = driver();
    Guard guard(d.lock);
    d.devices.clear();
    d.listedCount = -1;
    d.snapshot.clear();
    d.openHandles.clear(); // handles of the old devices become unknown; new ones never repeat them
    d.faults.clear();
    d.calls.clear();
    d.shortWritesLeft = 0;
    d.shortWriteSize = 0;
    d.hook = nullptr;
    d.hookUser = nullptr;
    d.vidPids.clear();
}

int sim_add_device(std::uint32_t id, const char* serial, const char* description) {
    auto& d = driver();
    Guard guard(d.lock);
    return boardsim::addTerminated(d, id, serial, description);
}

int sim_add_raw_device(std::uint32_t id, const char serial[16], const char description[64]) {
    auto& d = driver();
    Guard guard(d.lock);
    return boardsim::addDevice(d, id, serial, sizeof(boardsim::Device::serial), description,
                               sizeof(boardsim::Device::description));
}

void sim_set_listed_count(int count) {
    auto& d = driver();
    Guard guard(d.lock);
    d.listedCount = count < 0 ? -1 : count;
    // Padding boards are real devices, numbered after those added so far, so they can be opened.
    while (count > 0 && d.devices.size() < static_cast<std::size_t>(count)) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "SIM%05d", static_cast<int>(d.devices.size()) % 100000);
        const int number = boardsim::addTerminated(d, boardsim::kPaddingBoardId, serial, boardsim::kPaddingDescription);
        d.devices[static_cast<std::size_t>(number)]->padding = true;
    }
}

void sim_queue_rx(int device, const std::uint8_t* bytes, std::uint32_t count) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr && bytes != nullptr) {
        target->toHost.insert(target->toHost.end(), bytes, bytes + count);
    }
}

std::uint32_t sim_rx_pending(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->toHost.size());
}

std::uint32_t sim_written_size(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->written.size());
}

std::uint32_t sim_copy_written(int device, std::uint8_t* out, std::uint32_t max) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || out == nullptr) {
        return 0;
    }
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(max, target->written.size()));
    std::copy_n(target->written.begin(), count, out);
    return count;
}

std::uint32_t sim_write_call_count(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->writeCalls.size());
}

std::uint32_t sim_write_call_length(int device, std::uint32_t call) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || call >= target->writeCalls.size()) {
        return 0;
    }
    return target->writeCalls[call];
}

void sim_clear_written(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        target->written.clear();
        target->writeCalls.clear();
    }
}

void sim_fail_next(const char* entryPoint, int count, std::uint32_t status) {
    if (entryPoint == nullptr) {
        return;
    }
    auto& d = driver();
    Guard guard(d.lock);
    if (count == 0) {
        d.faults.erase(entryPoint);
    } else {
        d.faults[entryPoint] = boardsim::Fault{count, status};
    }
}

void sim_short_writes(int count, std::uint32_t written) {
    auto& d = driver();
    Guard guard(d.lock);
    d.shortWritesLeft = count;
    d.shortWriteSize = written;
}

void sim_set_write_hook(SimWriteHook hook, void* user) {
    auto& d = driver();
    Guard guard(d.lock);
    d.hook = hook;
    d.hookUser = user;
}

void sim_set_echo(int device, int on) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        if (!target->echo && on != 0) {
            target->board.reset(); // the board starts listening at the next message boundary
        }
        target->echo = on != 0;
    }
}

int sim_is_open(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target != nullptr && target->open ? 1 : 0;
}

std::uint32_t sim_open_count(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->openCount;
}

std::uint32_t sim_baud_rate(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->baudRate;
}

std::uint32_t sim_purge_mask(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->purgeMask;
}

std::uint32_t sim_read_timeout(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->readTimeout;
}

std::uint32_t sim_write_timeout(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->writeTimeout;
}

std::uint64_t sim_call_count(const char* entryPoint) {
    if (entryPoint == nullptr) {
        return 0;
    }
    auto& d = driver();
    Guard guard(d.lock);
    auto found = d.calls.find(entryPoint);
    return found == d.calls.end() ? 0 : found->second;
}

SimEntryPoint sim_entry_point(const char* name) {
    // The entry points this build defines; a variant without one leaves it out here too.
    static const struct {
        const char* name;
        SimEntryPoint function;
    } kDefined[] = {
#if !defined(BOARD_SIM_WITHOUT_FT_Open)
        {"FT_Open", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Open)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_OpenEx)
        {"FT_OpenEx", reinterpret_cast<SimEntryPoint>(&d2xx::FT_OpenEx)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ListDevices)
        {"FT_ListDevices", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ListDevices)},
#endif
#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_SetVIDPID)
        {"FT_SetVIDPID", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetVIDPID)},
#endif
#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_GetVIDPID)
        {"FT_GetVIDPID", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetVIDPID)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Close)
        {"FT_Close", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Close)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Read)
        {"FT_Read", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Read)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Write)
        {"FT_Write", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Write)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_IoCtl)
        {"FT_IoCtl", reinterpret_cast<SimEntryPoint>(&d2xx::FT_IoCtl)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBaudRate)
        {"FT_SetBaudRate", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBaudRate)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDivisor)
        {"FT_SetDivisor", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDivisor)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDataCharacteristics)
        {"FT_SetDataCharacteristics", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDataCharacteristics)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetFlowControl)
        {"FT_SetFlowControl", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetFlowControl)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ResetDevice)
        {"FT_ResetDevice", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ResetDevice)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDtr)
        {"FT_SetDtr", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDtr)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ClrDtr)
        {"FT_ClrDtr", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ClrDtr)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetRts)
        {"FT_SetRts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetRts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ClrRts)
        {"FT_ClrRts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ClrRts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetModemStatus)
        {"FT_GetModemStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetModemStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetChars)
        {"FT_SetChars", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetChars)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Purge)
        {"FT_Purge", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Purge)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetTimeouts)
        {"FT_SetTimeouts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetTimeouts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetQueueStatus)
        {"FT_GetQueueStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetQueueStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetEventNotification)
        {"FT_SetEventNotification", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetEventNotification)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetStatus)
        {"FT_GetStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOn)
        {"FT_SetBreakOn", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBreakOn)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOff)
        {"FT_SetBreakOff", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBreakOff)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetWaitMask)
        {"FT_SetWaitMask", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetWaitMask)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_WaitOnMask)
        {"FT_WaitOnMask", reinterpret_cast<SimEntryPoint>(&d2xx::FT_WaitOnMask)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetEventStatus)
        {"FT_GetEventStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetEventStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ReadEE)
        {"FT_ReadEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ReadEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_WriteEE)
        {"FT_WriteEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_WriteEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_EraseEE)
        {"FT_EraseEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_EraseEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_CreateDeviceInfoList)
        {"FT_CreateDeviceInfoList", reinterpret_cast<SimEntryPoint>(&d2xx::FT_CreateDeviceInfoList)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetDeviceInfoList)
        {"FT_GetDeviceInfoList", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetDeviceInfoList)},
#endif
    };
    if (name == nullptr) {
        return nullptr;
    }
    for (const auto& entry : kDefined) {
        if (std::strcmp(entry.name, name) == 0) {
            return entry.function;
        }
    }
    return nullptr;
}
