/*
 * Corvane: exchange commands and data with FPGA boards behind an FTDI USB bridge chip.
 *
 * The library loads the vendor's D2XX driver by name when it opens ("ftd2xx32.dll" in Corvane32.dll,
 * "ftd2xx64.dll" or else "ftd2xx.dll" in Corvane64.dll, "libftd2xx.so" on Linux), lists the
 * supported boards, opens them, sends framed messages to the active board and delivers the boards'
 * messages to the callbacks you register.
 *
 * Return values
 *   Unless a function says otherwise it returns 1 on success and 0 on failure. On failure the
 *   reason is in NRV_CV_GetLastError(). Every function returns 0 (null for texts) without doing
 *   anything when the library is not open (before NRV_CV_Open, after NRV_CV_Close).
 *   NRV_CV_Open and NRV_CV_Close always return 0. NRV_CV_OpenDeviceByName and
 *   NRV_CV_CloseDeviceByName always return 1 once the library is open; their failures show only
 *   in the last error. NRV_CV_QueryDevices returns the number of supported boards found.
 *
 * Thread safety
 *   Every function may be called from any thread, including from inside a ReadCallback. The
 *   library runs two threads of its own from NRV_CV_Open until the process ends: the read thread
 *   polls every open board and calls the general callback for triggers; the write thread calls
 *   the callbacks for queued single bytes and blocks, one at a time, in the order the messages
 *   were completed. A trigger callback on the read thread may overlap a data callback on the
 *   write thread. Opening, closing and listing boards while messages flow is safe. The sends of
 *   one operation reach the board without another send's bytes in between, those of a running
 *   light show included.
 *
 * Receive settings (environment variables, read once by each NRV_CV_Open)
 *   By default the read thread polls every open board without pause and takes one header or one
 *   piece of block data per board and pass, and both threads keep a processor busy even when
 *   nothing arrives. Four variables change that; none is needed, and NRV_CV_Open never fails for
 *   one. A value the library does not know keeps the default and is reported on one line on
 *   standard error (and in Corvane.log in debug mode).
 *     CORVANE_RX=batched      per board and pass, one status call and one read of everything
 *                             pending, as far as the FIFO and the channel buffers have room; the
 *                             write thread delivers every ready message before it yields. Nothing
 *                             is dropped for lack of room: a slow callback holds the board back
 *                             through the USB flow control instead. ("default": one step a pass.)
 *     CORVANE_IDLE=wait       when a pass finds nothing, the read thread sleeps until the driver
 *                             signals received bytes (or 10 ms pass), and the write thread sleeps
 *                             while there is nothing to deliver. ("spin": poll without pause.)
 *     CORVANE_LATENCY_MS=N    after every open, set the chip's latency timer to N ms (1 to 255;
 *                             the chip holds short messages up to 16 ms unless set). A driver
 *                             without FT_SetLatencyTimer leaves it alone (a log line says so).
 *     CORVANE_PROFILE=fast    all three: batched, wait, latency 2 ms. A single variable above
 *                             overrides its part.
 *   Callbacks, their arguments, threads and order, the error texts and the log lines per message
 *   are the same in every mode; only the default drops messages when the FIFO or a channel buffer
 *   is full. Use the fast profile for high data rates, for boards that send in bursts, and on
 *   battery; keep the default where a board must never be slowed by the host, or where the exact
 *   polling behaviour matters.
 *
 * Ownership of returned texts
 *   Every returned text belongs to the library; never free or change it. Name and version texts
 *   are constants. NRV_CV_GetDeviceName and NRV_CV_GetDeviceSerial point into the device table
 *   and stay valid until the next NRV_CV_QueryDevices rewrites the slot. NRV_CV_GetLastError
 *   points at the newest error text; it stays intact until three further errors have been
 *   reported, so copy it if you keep it. The bytes given to a ReadCallback are valid only during
 *   the call.
 */
#ifndef CORVANE_H
#define CORVANE_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(CORVANE_STATIC)
#define CORVANE_API
#elif defined(CORVANE_BUILDING)
#define CORVANE_API __declspec(dllexport)
#else
#define CORVANE_API __declspec(dllimport)
#endif
#define CORVANE_CALL __cdecl
#else
#if defined(CORVANE_BUILDING)
#define CORVANE_API __attribute__((visibility("default")))
#else
#define CORVANE_API
#endif
#define CORVANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Receives one message of a board: (board index, channel 0..7, command byte, length, the bytes,
 * length again). Byte-sized values arrive zero-extended. For a trigger, length is the trigger
 * value and the bytes are not meaningful. The return value is ignored.
 */
typedef int32_t(CORVANE_CALL* ReadCallback)(int32_t deviceIndex, int32_t channel, uint32_t commandByte, uint32_t length,
                                            uint8_t* data, uint32_t dataLength);

/* Lifecycle and identification */
CORVANE_API int32_t CORVANE_CALL NRV_CV_Open(int32_t value1, int32_t value2, int32_t value3);
CORVANE_API int32_t CORVANE_CALL NRV_CV_Close(void);
CORVANE_API bool CORVANE_CALL NRV_CV_Initialize(void);
CORVANE_API void CORVANE_CALL NRV_CV_Release(void);
CORVANE_API int32_t CORVANE_CALL NRV_CV_CheckCompatibility(void);
CORVANE_API const char* CORVANE_CALL NRV_CV_GetName(void);
CORVANE_API const char* CORVANE_CALL NRV_CV_GetVersionString(void);
CORVANE_API void CORVANE_CALL NRV_CV_GetVersionControl(uint16_t* major, uint16_t* minor, uint16_t* revision,
                                                       uint16_t* build);
CORVANE_API const char* CORVANE_CALL NRV_CV_GetInterfaceVersion(void);

/* Errors and the debug log (Corvane.log in the current directory while debug mode is on) */
CORVANE_API const char* CORVANE_CALL NRV_CV_GetLastError(void);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SetDebugMode(int32_t mode);

/* Devices */
CORVANE_API int32_t CORVANE_CALL NRV_CV_QueryDevices(void);
CORVANE_API const char* CORVANE_CALL NRV_CV_GetDeviceName(int32_t deviceIndex);
CORVANE_API const char* CORVANE_CALL NRV_CV_GetDeviceSerial(int32_t deviceIndex);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SelectActiveDeviceByIndex(int32_t deviceIndex);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SelectActiveDeviceByName(const char* name);
CORVANE_API int32_t CORVANE_CALL NRV_CV_OpenDeviceByIndex(int32_t deviceIndex);
CORVANE_API int32_t CORVANE_CALL NRV_CV_OpenDeviceByName(const char* name);
CORVANE_API int32_t CORVANE_CALL NRV_CV_CloseDeviceByIndex(int32_t deviceIndex);
CORVANE_API int32_t CORVANE_CALL NRV_CV_CloseDeviceByName(const char* name);

/* Sending to the active board */
CORVANE_API int32_t CORVANE_CALL NRV_CV_SendTrigger(uint8_t trigger);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SendByte(uint32_t address, uint8_t value);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SendBlock(uint32_t address, const uint8_t* block, uint32_t length);
CORVANE_API int32_t CORVANE_CALL NRV_CV_SendTransferControlByte(uint8_t address, uint8_t value);

/* Receiving from the active board */
CORVANE_API int32_t CORVANE_CALL NRV_CV_RegisterReadCallback(ReadCallback callback);
CORVANE_API int32_t CORVANE_CALL NRV_CV_RegisterReadCallbackForChannel(ReadCallback callback, int32_t channel);

/* Demonstrations on the active board */
CORVANE_API int32_t CORVANE_CALL NRV_CV_LEDBlinky(uint32_t delayMs, int32_t repeats, const uint8_t* sequence,
                                                  int32_t length);
CORVANE_API int32_t CORVANE_CALL NRV_CV_PerformSelfTest(void);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_H */
