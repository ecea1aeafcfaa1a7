// The device database: enumeration, selection, open and close.
#pragma once

#include "core/host_context.h"

namespace corvane {

// Rebuilds the device database from the driver's list; returns deviceCount. Serialised
// process-wide. Boards still open are closed first.
int ListUnopenedDevices(HostContext* context);
// Opens / closes the board in slot `index`: 1 on success, 0 on failure (last error set).
int openDeviceAt(HostContext* context, int index);
int closeDeviceAt(HostContext* context, int index);

} // namespace corvane
