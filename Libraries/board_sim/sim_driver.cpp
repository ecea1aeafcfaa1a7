// The simulated D2XX driver: simulated boards behind the 35 D2XX entry points. All state sits in
// one record guarded by one mutex (sim_state.h); the library calls in from its application threads
// and its read thread at once, and tests steer it from theirs through the control API
// (control.cpp). The lock is never held while a test's write hook runs or while FT_Read waits for
// bytes.
#include "config_file.h"
#include "sim_state.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace boardsim {

using namespace d2xx;

Driver& driver() {
    // Never destroyed: the library's read and write threads call in until the process is gone,
    // also while static destructors run at exit.
    static Driver* instance = [] {
        auto* made = new Driver;
        made->dropBeyondQueue = dropModeFromEnvironment();
        return made;
    }();
    return *instance;
}

bool dropModeFromEnvironment() {
    const char* mode = std::getenv("CORVANE_SIM_QUEUE");
    if (mode == nullptr || *mode == '\0' || std::strcmp(mode, "hold") == 0) {
        return false;
    }
    if (std::strcmp(mode, "drop") == 0) {
        return true;
    }
    // Relaxed: only keeps the line from repeating at every reset.
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true, std::memory_order_relaxed)) {
        std::fprintf(stderr, "simulated driver: ignoring CORVANE_SIM_QUEUE=\"%s\": expected drop or hold\n", mode);
    }
    return false;
}

FT_STATUS enter(Driver& d, const char* entryPoint) {
    if (d.timetabled != 0) {
        applyTimetables(d);
    }
    auto call = d.calls.find(entryPoint);
    if (call == d.calls.end()) {
        call = d.calls.emplace(entryPoint, 0).first;
    }
    ++call->second;
    ++d.totalCalls;
    if (d.callsUntilFault > 0 && --d.callsUntilFault == 0) {
        return d.callFaultStatus;
    }
    if (d.faults.empty()) {
        return FT_OK;
    }
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

Device* deviceOf(Driver& d, FT_HANDLE handle, int* number) {
    auto open = d.openHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (handle == nullptr || open == d.openHandles.end()) {
        return nullptr;
    }
    if (number != nullptr) {
        *number = open->second;
    }
    return d.devices[static_cast<std::size_t>(open->second)].get();
}

FT_STATUS missingHandle(const Driver& d, FT_HANDLE handle) {
    return d.deadHandles.count(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? FT_IO_ERROR : FT_INVALID_HANDLE;
}

void unplug(Driver& d, int number) {
    Device& device = *d.devices[static_cast<std::size_t>(number)];
    device.unplugged = true;
    device.unplugAfterWrites = -1;
    if (device.open) {
        const auto value = reinterpret_cast<std::uintptr_t>(device.handle);
        d.openHandles.erase(value);
        d.deadHandles.insert(value);
        device.open = false;
        device.handle = nullptr;
    }
    device.toHost.clear();
}

void replug(Driver& d, int number) {
    Device& device = *d.devices[static_cast<std::size_t>(number)];
    device.unplugged = false;
    device.board->resync();
}

void applyTimetables(Driver& d) {
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < d.devices.size(); ++i) {
        Device& device = *d.devices[i];
        if (!device.timetableStarted) {
            continue;
        }
        while (device.timetableNext < 2 * device.timetable.size()) {
            const auto& entry = device.timetable[device.timetableNext / 2];
            const std::uint32_t atMs = device.timetableNext % 2 == 0 ? entry.first : entry.second;
            if (now < device.timetableStart + std::chrono::milliseconds(atMs)) {
                break;
            }
            if (device.timetableNext % 2 == 0) {
                unplug(d, static_cast<int>(i));
            } else {
                replug(d, static_cast<int>(i));
            }
            if (++device.timetableNext == 2 * device.timetable.size()) {
                --d.timetabled;
            }
        }
    }
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

void noteArrival(const Device& device, PendingSignal& signal) {
    if ((device.eventMask & FT_EVENT_RXCHAR) != 0 && device.eventParam != nullptr) {
        signal.arm(device.eventParam);
    }
}

void deliver(Device& device, const std::uint8_t* bytes, std::size_t count) {
    if (driver().dropBeyondQueue) {
        const std::size_t room = kReceiveQueueCap - std::min(device.toHost.size(), kReceiveQueueCap);
        device.droppedBytes += count - std::min(count, room);
        count = std::min(count, room);
    }
    device.toHost.append(bytes, count);
}

void topUp(Device& device, std::chrono::steady_clock::time_point now, PendingSignal& signal) {
    // The driver asks the chip for data only while the device is open.
    if (!device.open) {
        return;
    }
    Board& board = *device.board;
    // What waits counts as the driver sees it: a driver that holds the board back counts the
    // packet it stops short of the full queue as taken.
    const bool drop = driver().dropBeyondQueue;
    const std::size_t waiting = device.toHost.size() + (drop ? 0 : kReceiveQueueCap - kHeldBackQueueCap);
    const std::size_t room = kHeldBackQueueCap - std::min(device.toHost.size(), kHeldBackQueueCap);
    if (!drop) {
        if (board.toHost(device.toHost, now, waiting, room) != 0) {
            noteArrival(device, signal);
        }
        return;
    }
    // The vendor's driver: while the host keeps up the queue takes whole messages as in hold mode,
    // but once the next one no longer fits (the host has not read since), the board goes on
    // sending and the driver goes on asking: another of its 4 KiB requests' worth reaches the
    // queue, which keeps what fits below its full 64 KiB and loses the rest, cut wherever the cap
    // falls.
    ByteQueue sent;
    if (board.toHost(sent, now, waiting, room) != 0 ||
        (board.heldBack() && board.toHost(sent, now, waiting, kOverrunBytes) != 0)) {
        std::vector<std::uint8_t> bytes(sent.size());
        sent.take(bytes.data(), bytes.size());
        deliver(device, bytes.data(), bytes.size());
        noteArrival(device, signal);
    }
}

DWORD receiveQueueCount(const Device& device) {
    return static_cast<DWORD>(
        std::min(device.toHost.size(), driver().dropBeyondQueue ? kReceiveQueueCap : kHeldBackQueueCap));
}

// The devices FT_CreateDeviceInfoList reports, by device number: the first listedCount devices, or
// every device added through the control API when no count is set.
std::vector<std::size_t> listedDevices(const Driver& d) {
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < d.devices.size(); ++i) {
        if (d.devices[i]->unplugged) {
            continue;
        }
        if (d.listedCount >= 0 ? i < static_cast<std::size_t>(d.listedCount) : !d.devices[i]->padding) {
            listed.push_back(i);
        }
    }
    return listed;
}

// Opens a device for the caller: refused when already open, otherwise a handle never given before.
FT_STATUS openDevice(Driver& d, int number, FT_HANDLE* handle) {
    Device& device = *d.devices[static_cast<std::size_t>(number)];
    if (device.unplugged) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (device.open) {
        return FT_DEVICE_NOT_OPENED;
    }
    const std::uintptr_t value = d.nextHandle;
    d.nextHandle += kHandleStep;
    device.open = true;
    device.handle = reinterpret_cast<FT_HANDLE>(value);
    ++device.openCount;
    device.purgeMask = 0;
    device.board->resync();
    device.eventMask = 0; // a notification belongs to the handle it was set on
    device.eventParam = nullptr;
    device.latencyTimer = kDefaultLatencyMs;
    if (!device.timetable.empty() && !device.timetableStarted) {
        device.timetableStarted = true; // the timetable counts from the first open
        device.timetableStart = std::chrono::steady_clock::now();
    }
    d.openHandles[value] = number;
    *handle = device.handle;
    if (device.board->paced()) {
        wakePacer(); // the pacing thread serves a host that waits to be told of data
    }
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
    return deviceOf(d, handle) == nullptr ? missingHandle(d, handle) : FT_OK;
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
    boardsim::loadBoardsFromEnvironment();
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
        // The handle of an unplugged device is released like any other.
        return d.deadHandles.erase(reinterpret_cast<std::uintptr_t>(ftHandle)) != 0 ? FT_OK : FT_INVALID_HANDLE;
    }
    d.openHandles.erase(reinterpret_cast<std::uintptr_t>(ftHandle));
    device->open = false;
    device->handle = nullptr;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Read)
extern "C" FT_STATUS D2XX_API FT_Read(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned) {
    boardsim::payCost(boardsim::CallCost::Io);
    auto& d = driver();
    std::chrono::steady_clock::time_point deadline;
    {
        Guard guard(d.lock);
        if (FT_STATUS fault = boardsim::enter(d, "FT_Read")) {
            return fault;
        }
        boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
        if (device == nullptr) {
            return boardsim::missingHandle(d, ftHandle);
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
        boardsim::PendingSignal signal;
        bool done = false;
        {
            Guard guard(d.lock);
            boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
            if (device == nullptr) {
                // Closed meanwhile: the vendor's driver also just times out with nothing. Unplugged
                // meanwhile: the read fails as the removed device's calls do.
                return boardsim::missingHandle(d, ftHandle) == FT_IO_ERROR ? FT_IO_ERROR : FT_OK;
            }
            const auto now = std::chrono::steady_clock::now();
            boardsim::topUp(*device, now, signal);
            if (device->toHost.size() >= bytesToRead || now >= deadline) {
                *bytesReturned =
                    static_cast<DWORD>(device->toHost.take(static_cast<std::uint8_t*>(buffer), bytesToRead));
                // The room just made lets a waiting stream go on, as the chip does once the
                // driver asks for data again.
                boardsim::topUp(*device, now, signal);
                done = true;
            }
        }
        signal.fire();
        if (done) {
            return FT_OK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_Write)
extern "C" FT_STATUS D2XX_API FT_Write(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten) {
    boardsim::payCost(boardsim::CallCost::Io);
    auto& d = driver();
    boardsim::PendingSignal signal;
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
            return boardsim::missingHandle(d, ftHandle);
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
        // The board's answers to this write, all of them into the receive queue at once.
        std::vector<std::uint8_t> answers;
        device->board->fromHost(bytes, count, answers, std::numeric_limits<std::size_t>::max());
        if (!answers.empty()) {
            boardsim::deliver(*device, answers.data(), answers.size());
            boardsim::noteArrival(*device, signal);
        }
        if (device->unplugAfterWrites > 0 && --device->unplugAfterWrites == 0) {
            boardsim::unplug(d, number); // this write still went out whole
        }
        *bytesWritten = count;
        hook = d.hook;
        user = d.hookUser;
    }
    signal.fire();
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
        return boardsim::missingHandle(d, ftHandle);
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
        return boardsim::missingHandle(d, ftHandle);
    }
    device->purgeMask |= mask;
    if ((mask & FT_PURGE_RX) != 0) {
        device->toHost.clear();
    }
    if ((mask & FT_PURGE_TX) != 0) {
        device->board->resync(); // a message cut off in the transmit path never reaches the board whole
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
        return boardsim::missingHandle(d, ftHandle);
    }
    device->readTimeout = readTimeout;
    device->writeTimeout = writeTimeout;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetQueueStatus)
extern "C" FT_STATUS D2XX_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* rxBytes) {
    boardsim::payCost(boardsim::CallCost::Status);
    auto& d = driver();
    boardsim::PendingSignal signal;
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetQueueStatus")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return boardsim::missingHandle(d, ftHandle);
    }
    if (rxBytes == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    // The host is asking now; no waiter needs the notification of what the stream adds here.
    boardsim::topUp(*device, std::chrono::steady_clock::now(), signal);
    *rxBytes = boardsim::receiveQueueCount(*device);
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_SetEventNotification)
extern "C" FT_STATUS D2XX_API FT_SetEventNotification(FT_HANDLE ftHandle, DWORD mask, PVOID param) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_SetEventNotification")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (mask != 0 && param == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    device->eventMask = mask;
    device->eventParam = mask == 0 ? nullptr : param;
    return FT_OK;
}
#endif

#if !defined(BOARD_SIM_WITHOUT_FT_GetStatus)
extern "C" FT_STATUS D2XX_API FT_GetStatus(FT_HANDLE ftHandle, DWORD* rxBytes, DWORD* txBytes, DWORD* eventDWord) {
    boardsim::payCost(boardsim::CallCost::Status);
    auto& d = driver();
    boardsim::PendingSignal signal;
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_GetStatus")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return boardsim::missingHandle(d, ftHandle);
    }
    ++device->statusCalls;
    if (rxBytes == nullptr || txBytes == nullptr || eventDWord == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    // The host is asking now; no waiter needs the notification of what the stream adds here.
    boardsim::topUp(*device, std::chrono::steady_clock::now(), signal);
    *rxBytes = boardsim::receiveQueueCount(*device);
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
    boardsim::loadBoardsFromEnvironment();
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

// Outside the 35 entry points of the table: the library binds it only when the driver has it.
#if !defined(BOARD_SIM_WITHOUT_FT_SetLatencyTimer)
extern "C" FT_STATUS D2XX_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR latency) {
    auto& d = driver();
    Guard guard(d.lock);
    if (FT_STATUS fault = boardsim::enter(d, "FT_SetLatencyTimer")) {
        return fault;
    }
    boardsim::Device* device = boardsim::deviceOf(d, ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    device->latencyTimer = latency; // the vendor's Linux driver accepts 0 to 255
    return FT_OK;
}
#endif

} // namespace d2xx
