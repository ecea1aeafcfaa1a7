// Our own declaration of the D2XX driver interface, written from the vendor's public
// programming guide. Every width is fixed: DWORD, ULONG and FT_STATUS are 32-bit unsigned on
// every platform (old Linux headers used unsigned long, which is 64-bit on LP64 and wrong for
// the current vendor library), and FT_HANDLE is a pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_API __stdcall // the vendor's 32-bit DLL is WINAPI: the callee pops its arguments
#else
#define D2XX_API
#endif

namespace d2xx {

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using BOOL = int;
using FT_STATUS = std::uint32_t;
using FT_HANDLE = void*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using PVOID = void*;
using LPWORD = WORD*;
using HANDLE = void*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000u;
constexpr DWORD FT_LIST_ALL = 0x20000000u;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;
constexpr DWORD FT_FLAGS_OPENED = 1;
constexpr DWORD FT_FLAGS_HISPEED = 2;
constexpr ULONG FT_DEVICE_UNKNOWN = 3;
constexpr DWORD FT_EVENT_RXCHAR = 1; // FT_SetEventNotification: bytes reached the receive queue
constexpr DWORD FT_EVENT_MODEM_STATUS = 2;
constexpr DWORD FT_EVENT_LINE_STATUS = 4;

#if !defined(_WIN32)
// What FT_SetEventNotification's parameter points to on Linux: the driver locks eMutex, signals
// eCondVar and unlocks. (On Windows the parameter is a Win32 event handle, which it sets.)
struct FT_EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
#endif

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID; // vendor id << 16 | product id
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16, "node layout must match the vendor's");
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96, "node layout must match the vendor's");
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == (sizeof(void*) == 8 ? 104 : 100),
              "100 bytes a node on 32-bit Windows, 104 on 64-bit systems");

// The 35 entry points the library binds, in table order: X(name, required, return, parameters).
// The same list declares the pointer types, fills the DriverTable and drives the lookup loop, and
// the simulated driver is compiled against it, so a signature can only be wrong in one place.
#define D2XX_ENTRY_POINTS(X)                                                                                 \
    X(FT_Open, 1, (int deviceNumber, FT_HANDLE * pHandle))                                                  \
    X(FT_OpenEx, 1, (PVOID pArg1, DWORD flags, FT_HANDLE * pHandle))                                        \
    X(FT_ListDevices, 1, (PVOID pArg1, PVOID pArg2, DWORD flags))                                           \
    X(FT_SetVIDPID, 0, (DWORD vid, DWORD pid))                                                              \
    X(FT_GetVIDPID, 0, (DWORD * pVid, DWORD * pPid))                                                        \
    X(FT_Close, 1, (FT_HANDLE ftHandle))                                                                    \
    X(FT_Read, 1, (FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesReturned))            \
    X(FT_Write, 1, (FT_HANDLE ftHandle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten))           \
    X(FT_IoCtl, 1,                                                                                          \
      (FT_HANDLE ftHandle, DWORD ioControlCode, LPVOID inBuf, DWORD inBufSize, LPVOID outBuf,               \
       DWORD outBufSize, LPDWORD bytesReturned, LPVOID overlapped))                                         \
    X(FT_SetBaudRate, 1, (FT_HANDLE ftHandle, ULONG baudRate))                                              \
    X(FT_SetDivisor, 1, (FT_HANDLE ftHandle, USHORT divisor))                                               \
    X(FT_SetDataCharacteristics, 1, (FT_HANDLE ftHandle, UCHAR wordLength, UCHAR stopBits, UCHAR parity))   \
    X(FT_SetFlowControl, 1, (FT_HANDLE ftHandle, USHORT flowControl, UCHAR xonChar, UCHAR xoffChar))        \
    X(FT_ResetDevice, 1, (FT_HANDLE ftHandle))                                                              \
    X(FT_SetDtr, 1, (FT_HANDLE ftHandle))                                                                   \
    X(FT_ClrDtr, 1, (FT_HANDLE ftHandle))                                                                   \
    X(FT_SetRts, 1, (FT_HANDLE ftHandle))                                                                   \
    X(FT_ClrRts, 1, (FT_HANDLE ftHandle))                                                                   \
    X(FT_GetModemStatus, 1, (FT_HANDLE ftHandle, ULONG * modemStatus))                                      \
    X(FT_SetChars, 1,                                                                                       \
      (FT_HANDLE ftHandle, UCHAR eventChar, UCHAR eventCharEnabled, UCHAR errorChar, UCHAR errorCharEnabled)) \
    X(FT_Purge, 1, (FT_HANDLE ftHandle, ULONG mask))                                                        \
    X(FT_SetTimeouts, 1, (FT_HANDLE ftHandle, ULONG readTimeout, ULONG writeTimeout))                       \
    X(FT_GetQueueStatus, 1, (FT_HANDLE ftHandle, DWORD * rxBytes))                                          \
    X(FT_SetEventNotification, 1, (FT_HANDLE ftHandle, DWORD mask, PVOID param))                            \
    X(FT_GetStatus, 1, (FT_HANDLE ftHandle, DWORD * rxBytes, DWORD * txBytes, DWORD * eventDWord))          \
    X(FT_SetBreakOn, 1, (FT_HANDLE ftHandle))                                                               \
    X(FT_SetBreakOff, 1, (FT_HANDLE ftHandle))                                                              \
    X(FT_SetWaitMask, 1, (FT_HANDLE ftHandle, DWORD mask))                                                  \
    X(FT_WaitOnMask, 1, (FT_HANDLE ftHandle, DWORD * mask))                                                 \
    X(FT_GetEventStatus, 1, (FT_HANDLE ftHandle, DWORD * eventDWord))                                       \
    X(FT_ReadEE, 1, (FT_HANDLE ftHandle, DWORD wordOffset, LPWORD value))                                   \
    X(FT_WriteEE, 1, (FT_HANDLE ftHandle, DWORD wordOffset, WORD value))                                    \
    X(FT_EraseEE, 1, (FT_HANDLE ftHandle))                                                                  \
    X(FT_CreateDeviceInfoList, 1, (LPDWORD numDevs))                                                        \
    X(FT_GetDeviceInfoList, 1, (FT_DEVICE_LIST_INFO_NODE * dest, LPDWORD numDevs))

// Pointer types, one per entry point: d2xx::PFN_FT_Open and so on.
#define D2XX_DECLARE_POINTER_TYPE(name, required, params) using PFN_##name = FT_STATUS(D2XX_API*) params;
D2XX_ENTRY_POINTS(D2XX_DECLARE_POINTER_TYPE)
#undef D2XX_DECLARE_POINTER_TYPE

// Entry points bound when the driver has them, outside the 35 of the table above: the library
// works without them.
using PFN_FT_SetLatencyTimer = FT_STATUS(D2XX_API*)(FT_HANDLE ftHandle, UCHAR latency);

#define D2XX_COUNT_ONE(name, required, params) +1
constexpr int kEntryPointCount = 0 D2XX_ENTRY_POINTS(D2XX_COUNT_ONE);
#undef D2XX_COUNT_ONE
static_assert(kEntryPointCount == 35, "the binding looks up 35 entry points");

} // namespace d2xx
