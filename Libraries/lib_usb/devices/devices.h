// The device database: enumeration, selection, open and close.
#pragma once

#include "core/host_context.h"

#include <cstddef>
#include <cstdint>

namespace corvane {

// Log lines of a close, written by the close exports and by an enumeration that finds a board
// still open: "<device name> / <serial number>".
inline constexpr const char* kDeviceClosedLine = "Successfully closed device: %s / %s\n";
inline constexpr const char* kDeviceCloseFailedLine = "Error: Could not close device: %s / %s\n";

// Rebuilds the device database from the driver's list; returns deviceCount. Serialised
// process-wide. Boards still open are closed first.
int ListUnopenedDevices(HostContext* context);
// Opens / closes the board in slot `index`: 1 on success, 0 on failure (last error set).
int openDeviceAt(HostContext* context, int index);
int closeDeviceAt(HostContext* context, int index);

// The set-up of a newly opened handle, by an open and by a reconnection: 9600 baud, both
// directions purged, the time-outs, and what the receive settings ask for (the chip's latency
// timer, the receive notification of the board in `slot`). Best effort: a refused setting still
// gives a board.
void configurePort(HostContext* context, d2xx::FT_HANDLE handle, int slot);
// Caller holds the record's guard exclusively: the receive state a newly installed handle starts
// with. A block cut short by the close or the loss will never complete: the bytes it already
// stored are skipped by the channel's next entry, and the board's next bytes are a header.
void resetReceiveStateLocked(DeviceRecord& record);

// Looking for lost boards again (CORVANE_RECONNECT=auto).
constexpr std::int64_t kReconnectIntervalMs = 250; // a lost board is looked for this often
constexpr std::size_t kLostTextSize = 200;         // "Lost connection to device: <name> / <serial>"
inline constexpr const char* kLostConnection = "Lost connection to device: %s / %s";
// The lost-board text of the record; the caller holds its guard (the read thread), or not.
void formatLostTextLocked(const DeviceRecord& record, char (&text)[kLostTextSize]);
void formatLostText(DeviceRecord& record, char (&text)[kLostTextSize]);
// Caller holds the record's guard (exclusively, or as the read thread): the board is no longer
// taken for lost, and a reconnection under way ends.
void endReconnectLocked(HostContext* context, DeviceRecord& record);
// The read thread, once per pass: closes the dead handles of boards reported lost and looks for
// each such board again at its interval, reopening it into its record once it answers. Costs one
// atomic load while no board is lost.
void tendLostBoards(HostContext* context);

} // namespace corvane
