// The binding of the D2XX driver library: loaded by name, every entry point looked up into one
// table. Every driver call in the library goes through a HostContext's table.
#pragma once

#include "core/constants.h"
#include "core/settings.h"
#include "d2xx.h"

namespace corvane {

struct DriverTable {
    void* libraryHandle;
    char libraryName[kDriverPathSize]; // the file bound: a name or CORVANE_DRIVER's path
#define CORVANE_DRIVER_FIELD(name, required, params) d2xx::PFN_##name name;
    D2XX_ENTRY_POINTS(CORVANE_DRIVER_FIELD)
#undef CORVANE_DRIVER_FIELD
    // Outside the 35: null when the driver lacks it, and the library then does without.
    d2xx::PFN_FT_SetLatencyTimer FT_SetLatencyTimer;
};

// Creates the table in *table when it holds none, loads the driver library that `settings` chose
// (CORVANE_DRIVER: the vendor's names, the open driver's, or a path as given) and binds all 35 entry
// points. Returns 1 when every required entry point is bound, 0 when the table cannot be
// allocated. A missing library or required entry point prints its console line and ends the
// process with a failure status; lastError (kLastErrorSize bytes) receives the missing name.
int loadDriverLibrary(DriverTable** table, char* lastError, const ReceiveSettings& settings);

// The vendor's Linux driver lists only the devices whose ids are in its table, which holds the
// chip maker's standard product ids and none of the boards': without FT_SetVIDPID no board is
// ever listed there. Adds the eight supported product ids to that table once per process, where
// the driver has FT_SetVIDPID (never on Windows, whose driver lists every device of its kernel
// driver).
void addSupportedProductIds(DriverTable& table);

// Looks up the entry points outside the 35 in the loaded library; those it lacks stay null.
void bindOptionalEntryPoints(DriverTable& table);

} // namespace corvane
