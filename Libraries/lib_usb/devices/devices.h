// The device database: enumeration, selection, open and close.
#pragma once

#include "core/host_context.h"

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

} // namespace corvane
