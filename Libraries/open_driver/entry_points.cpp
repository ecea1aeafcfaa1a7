// The D2XX entry points: each checks its arguments, finds its handle in the registry and makes
// one call into the driver. Only these names are exported.
#include "open_driver.h"

#include <algorithm>
#include <cstring>

using namespace corvane::open_driver;

#define OPEN_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

// The table's entry points, declared from the one list, so that a signature can only differ from
// the library's in a compile error.
#define OPEN_DRIVER_DECLARE(name, required, params) OPEN_DRIVER_EXPORT FT_STATUS D2XX_API name params;
D2XX_ENTRY_POINTS(OPEN_DRIVER_DECLARE)
#undef OPEN_DRIVER_DECLARE
OPEN_DRIVER_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR latency);
OPEN_DRIVER_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, UCHAR* latency);
OPEN_DRIVER_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG inSize, ULONG outSize);
OPEN_DRIVER_EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR mask, UCHAR mode);
OPEN_DRIVER_EXPORT FT_STATUS FT_GetDriverVersion(FT_HANDLE ftHandle, LPDWORD version);
OPEN_DRIVER_EXPORT FT_STATUS FT_GetLibraryVersion(LPDWORD version);
OPEN_DRIVER_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD index, LPDWORD flags, LPDWORD type, LPDWORD id, LPDWORD locId,
                                                    LPVOID serialNumber, LPVOID description, FT_HANDLE* handle);

namespace {

constexpr std::uint8_t kRequestReset = 0x00;
constexpr std::uint8_t kRequestBaudRate = 0x03;
constexpr std::uint8_t kRequestSetLatency = 0x09;
constexpr std::uint8_t kRequestGetLatency = 0x0A;
constexpr std::uint8_t kRequestBitMode = 0x0B;
constexpr std::uint16_t kPurgeRx = 1;
constexpr std::uint16_t kPurgeTx = 2;
constexpr int kPurgeWaitMs = 2000;

// The handle's record, or null for a handle that is not open (FT_INVALID_HANDLE).
#define HANDLE_OR_RETURN(h, token)                                                                                     \
    const std::shared_ptr<Handle> h = findHandle(token);                                                               \
    if (!(h)) {                                                                                                        \
        return FT_INVALID_HANDLE;                                                                                      \
    }

// A handle being closed is no longer the caller's; a dead one (its chip gone, an endpoint failed)
// fails every call. The first with h.lock held, the second takes it.
FT_STATUS liveStatusLocked(const Handle& h) { return h.closing ? FT_INVALID_HANDLE : h.dead ? FT_IO_ERROR : FT_OK; }

FT_STATUS liveStatus(Handle& h) {
    std::lock_guard<std::mutex> hold(h.lock);
    return liveStatusLocked(h);
}

void copyText(char* out, std::size_t size, const std::string& text) {
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), std::min(size - 1, text.size()));
}

void fillInfo(FT_DEVICE_LIST_INFO_NODE& out, const DeviceNode& node) {
    out = FT_DEVICE_LIST_INFO_NODE{};
    if (node.blank) {
        out.Flags = FT_FLAGS_OPENED; // held elsewhere or not ours to open: nothing else is told
        out.Type = FT_DEVICE_UNKNOWN;
        return;
    }
    out.Flags = node.flags;
    out.Type = node.type;
    out.ID = node.id;
    out.LocId = node.locId;
    copyText(out.SerialNumber, sizeof out.SerialNumber, node.serial);
    copyText(out.Description, sizeof out.Description, node.description);
    out.ftHandle = node.handle;
}

// The divisor of an H-series chip for the rate: its 120 MHz clock down to 1200 baud, the 48 MHz
// one below; the fraction in eighths, encoded as the chip takes it. 0 for a rate out of range.
std::uint32_t baudDivisor(ULONG baud) {
    if (baud < 184 || baud > 12'000'000) {
        return 0;
    }
    static constexpr std::uint32_t kFraction[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    const bool fast = baud >= 1200;
    const std::uint64_t clock = fast ? 120'000'000 / 10 : 48'000'000 / 16; // the base rate
    std::uint32_t encoded = 0;                                             // the base rate itself
    if (baud * 3 >= clock * 2 && baud < clock) {
        encoded = 1; // two thirds of it
    } else if (baud * 2 >= clock && baud < clock) {
        encoded = 2; // half of it
    } else if (baud < clock) {
        const std::uint64_t eighths = std::min<std::uint64_t>((clock * 16 / baud + 1) / 2, 0x1FFFF);
        encoded = static_cast<std::uint32_t>(eighths >> 3) | kFraction[eighths & 7] << 14;
    }
    return fast ? encoded | 0x20000 : encoded;
}

} // namespace

// ---- listing --------------------------------------------------------------------------------------

FT_STATUS FT_CreateDeviceInfoList(LPDWORD numDevs) {
    if (numDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    d.snapshot = scanDevices(d);
    *numDevs = static_cast<DWORD>(d.snapshot.size());
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, LPDWORD numDevs) {
    if (numDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    // The whole snapshot, whatever count came in, as the vendor's driver does.
    if (dest != nullptr) {
        for (std::size_t i = 0; i < d.snapshot.size(); ++i) {
            fillInfo(dest[i], d.snapshot[i]);
        }
    }
    *numDevs = static_cast<DWORD>(d.snapshot.size());
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(DWORD index, LPDWORD flags, LPDWORD type, LPDWORD id, LPDWORD locId,
                                 LPVOID serialNumber, LPVOID description, FT_HANDLE* handle) {
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    if (index >= d.snapshot.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    FT_DEVICE_LIST_INFO_NODE node;
    fillInfo(node, d.snapshot[index]);
    if (flags != nullptr) {
        *flags = node.Flags;
    }
    if (type != nullptr) {
        *type = node.Type;
    }
    if (id != nullptr) {
        *id = node.ID;
    }
    if (locId != nullptr) {
        *locId = node.LocId;
    }
    if (serialNumber != nullptr) {
        std::memcpy(serialNumber, node.SerialNumber, sizeof node.SerialNumber);
    }
    if (description != nullptr) {
        std::memcpy(description, node.Description, sizeof node.Description);
    }
    if (handle != nullptr) {
        *handle = node.ftHandle;
    }
    return FT_OK;
}

FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD flags) {
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    const std::vector<DeviceNode> nodes = scanDevices(d);
    const DWORD what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
    const auto copy = [what](void* out, const DeviceNode& node) {
        if (what == FT_OPEN_BY_LOCATION) {
            *static_cast<DWORD*>(out) = node.blank ? 0 : node.locId;
        } else {
            const std::string& text = node.blank                       ? std::string()
                                      : what == FT_OPEN_BY_DESCRIPTION ? node.description
                                                                       : node.serial;
            copyText(static_cast<char*>(out), what == FT_OPEN_BY_DESCRIPTION ? 64 : 16, text);
        }
    };
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
        if (pArg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(nodes.size());
        return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) != 0) {
        const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
        if (pArg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if (index >= nodes.size()) {
            return FT_DEVICE_NOT_FOUND;
        }
        copy(pArg2, nodes[index]);
        return FT_OK;
    }
    if ((flags & FT_LIST_ALL) != 0) {
        if (pArg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        auto** out = static_cast<void**>(pArg1);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (out[i] == nullptr) {
                return FT_INVALID_PARAMETER;
            }
            copy(out[i], nodes[i]);
        }
        if (pArg2 != nullptr) {
            *static_cast<DWORD*>(pArg2) = static_cast<DWORD>(nodes.size());
        }
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid) {
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    const auto id = std::make_pair(static_cast<std::uint16_t>(vid), static_cast<std::uint16_t>(pid));
    if (std::find(d.ids.begin(), d.ids.end(), id) == d.ids.end()) {
        d.ids.push_back(id);
    }
    return FT_OK;
}

FT_STATUS FT_GetVIDPID(DWORD* pVid, DWORD* pPid) {
    if (pVid == nullptr || pPid == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    *pVid = d.ids.back().first;
    *pPid = d.ids.back().second;
    return FT_OK;
}

// ---- open and close --------------------------------------------------------------------------------

FT_STATUS FT_OpenEx(PVOID pArg1, DWORD flags, FT_HANDLE* pHandle) {
    if (pHandle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *pHandle = nullptr;
    if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION && flags != FT_OPEN_BY_LOCATION) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (pArg1 == nullptr && flags != FT_OPEN_BY_LOCATION) {
        return FT_INVALID_PARAMETER; // the vendor's driver crashes here
    }
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    for (const DeviceNode& node : scanDevices(d)) {
        const bool match = flags == FT_OPEN_BY_LOCATION
                               ? node.locId == static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1))
                           : flags == FT_OPEN_BY_SERIAL_NUMBER ? node.serial == static_cast<const char*>(pArg1)
                                                               : node.description == static_cast<const char*>(pArg1);
        if (match) {
            return openNode(d, node, pHandle);
        }
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
    if (pHandle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *pHandle = nullptr;
    Driver& d = driver();
    std::lock_guard<std::mutex> hold(d.lock);
    const std::vector<DeviceNode> nodes = scanDevices(d);
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= nodes.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    return openNode(d, nodes[static_cast<std::size_t>(deviceNumber)], pHandle);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle) {
    HANDLE_OR_RETURN(h, ftHandle);
    return closeHandle(h);
}

// ---- receive and send -----------------------------------------------------------------------------

FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (buffer == nullptr || bytesReturned == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *bytesReturned = 0;
    return readQueue(*h, static_cast<std::uint8_t*>(buffer), bytesToRead, bytesReturned);
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (buffer == nullptr || bytesWritten == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *bytesWritten = 0;
    return writeBytes(*h, static_cast<const std::uint8_t*>(buffer), bytesToWrite, bytesWritten);
}

FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD* rxBytes, DWORD* txBytes, DWORD* eventDWord) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (rxBytes == nullptr || txBytes == nullptr || eventDWord == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> hold(h->lock);
    if (const FT_STATUS status = liveStatusLocked(*h); status != FT_OK) {
        return status;
    }
    *rxBytes = static_cast<DWORD>(h->queued);
    *txBytes = 0; // FT_Write returns only once the chip took its bytes
    *eventDWord = 0;
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* rxBytes) {
    DWORD tx = 0;
    DWORD events = 0;
    return rxBytes == nullptr ? FT_INVALID_PARAMETER : FT_GetStatus(ftHandle, rxBytes, &tx, &events);
}

FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, DWORD mask, PVOID param) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (param == nullptr && mask != 0) {
        return FT_INVALID_PARAMETER;
    }
    const FT_STATUS status = liveStatus(*h);
    if (status != FT_OK) {
        return status;
    }
    std::lock_guard<std::mutex> hold(h->notifyLock);
    h->eventHandle = static_cast<FT_EVENT_HANDLE*>(param);
    h->eventMask = mask;
    return FT_OK;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG readTimeout, ULONG writeTimeout) {
    HANDLE_OR_RETURN(h, ftHandle);
    std::lock_guard<std::mutex> hold(h->lock);
    if (const FT_STATUS status = liveStatusLocked(*h); status != FT_OK) {
        return status;
    }
    h->readTimeoutMs = readTimeout;
    h->writeTimeoutMs = writeTimeout;
    return FT_OK;
}

FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG mask) {
    HANDLE_OR_RETURN(h, ftHandle);
    FT_STATUS status = liveStatus(*h);
    if (status != FT_OK) {
        return status;
    }
    if ((mask & FT_PURGE_RX) != 0) {
        // The transfers in flight are taken back first, so no byte from before the purge follows it.
        {
            std::unique_lock<std::mutex> hold(h->lock);
            h->purging = true;
            cancelTransfers(*h, true, false);
            awaitTransfers(*h, hold, true, false, kPurgeWaitMs);
        }
        status = controlOut(*h, kRequestReset, kPurgeRx);
        std::lock_guard<std::mutex> hold(h->lock);
        h->queueStart = 0;
        h->queued = 0;
        h->purging = false;
        fillInTransfers(*h);
    }
    if (status == FT_OK && (mask & FT_PURGE_TX) != 0) {
        status = controlOut(*h, kRequestReset, kPurgeTx);
    }
    return status;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG inSize, ULONG) {
    HANDLE_OR_RETURN(h, ftHandle);
    std::lock_guard<std::mutex> hold(h->lock);
    if (const FT_STATUS status = liveStatusLocked(*h); status != FT_OK) {
        return status;
    }
    // Any size is taken, as by the vendor's driver: rounded up to whole packets, within 512..64 KiB.
    const ULONG packets = (std::clamp<ULONG>(inSize, 512, kMaxInTransferBytes) + 511) / 512;
    h->inTransferBytes = static_cast<int>(std::min<ULONG>(packets * 512, kMaxInTransferBytes));
    return FT_OK;
}

// ---- the chip's requests -------------------------------------------------------------------------

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG baudRate) {
    HANDLE_OR_RETURN(h, ftHandle);
    const std::uint32_t divisor = baudDivisor(baudRate);
    if (divisor == 0) {
        return FT_IO_ERROR; // out of range, as the vendor's driver answers; nothing is sent
    }
    // The divisor's top bits go in wIndex's high byte, the interface in its low byte.
    const auto index = static_cast<int>(((divisor >> 8) & 0xFF00) | static_cast<std::uint32_t>(h->node.interface + 1));
    return controlOut(*h, kRequestBaudRate, static_cast<std::uint16_t>(divisor & 0xFFFF), index);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR latency) {
    HANDLE_OR_RETURN(h, ftHandle);
    return controlOut(*h, kRequestSetLatency, latency);
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, UCHAR* latency) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (latency == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    return controlIn(*h, kRequestGetLatency, latency, 1);
}

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR mask, UCHAR mode) {
    HANDLE_OR_RETURN(h, ftHandle);
    return controlOut(*h, kRequestBitMode, static_cast<std::uint16_t>(mask | mode << 8));
}

FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle) {
    HANDLE_OR_RETURN(h, ftHandle);
    return controlOut(*h, kRequestReset, 0);
}

FT_STATUS FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* modemStatus) {
    HANDLE_OR_RETURN(h, ftHandle);
    if (modemStatus == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> hold(h->lock);
    if (const FT_STATUS status = liveStatusLocked(*h); status != FT_OK) {
        return status;
    }
    // From the status bytes of the last packet: modem status low, line status above it.
    *modemStatus = static_cast<ULONG>(h->modemStatus) | static_cast<ULONG>(h->lineStatus) << 8;
    return FT_OK;
}

FT_STATUS FT_GetDriverVersion(FT_HANDLE, LPDWORD version) {
    if (version == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *version = kLibraryVersion;
    return FT_OK;
}

FT_STATUS FT_GetLibraryVersion(LPDWORD version) {
    if (version == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *version = kLibraryVersion;
    return FT_OK;
}

// ---- not offered: the library never calls these ----------------------------------------------------

FT_STATUS FT_IoCtl(FT_HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPVOID) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetDivisor(FT_HANDLE, USHORT) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetDtr(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ClrDtr(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetRts(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ClrRts(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetChars(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetBreakOn(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetBreakOff(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetWaitMask(FT_HANDLE, DWORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_WaitOnMask(FT_HANDLE, DWORD*) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_GetEventStatus(FT_HANDLE, DWORD*) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ReadEE(FT_HANDLE, DWORD, LPWORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_WriteEE(FT_HANDLE, DWORD, WORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_EraseEE(FT_HANDLE) { return FT_NOT_SUPPORTED; }
