#include "driver/driver_table.h"

#include "core/constants.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace corvane {

namespace {

struct EntryPoint {
    const char* name;
    bool required;
};

#define CORVANE_ENTRY(name, required, params) {#name, (required) != 0},
constexpr EntryPoint kEntryPoints[] = {D2XX_ENTRY_POINTS(CORVANE_ENTRY)};
#undef CORVANE_ENTRY

// The table's entry-point fields, in list order, as an array of untyped slots.
void** entrySlots(DriverTable& table) {
    static_assert(sizeof(d2xx::PFN_FT_Open) == sizeof(void*));
    return reinterpret_cast<void**>(&table.FT_Open);
}

} // namespace

static_assert(offsetof(DriverTable, FT_GetDeviceInfoList) ==
                  offsetof(DriverTable, FT_Open) + (d2xx::kEntryPointCount - 1) * sizeof(void*),
              "the entry-point fields are contiguous, in list order");

int loadDriverLibrary(DriverTable** table, char* lastError) {
    if (*table == nullptr) {
        *table = new (std::nothrow) DriverTable;
        if (*table == nullptr) {
            return 0;
        }
    }
    DriverTable& driver = **table;
    std::memset(&driver, 0, sizeof driver);
    std::snprintf(driver.libraryName, sizeof driver.libraryName, "%s", platform::kDriverLibraryName);

    driver.libraryHandle = platform::loadLibrary(driver.libraryName);
    if (driver.libraryHandle == nullptr) {
        char line[256];
        std::snprintf(line, sizeof line, "Could not load DLL: %s\n", driver.libraryName);
        platform::consoleWrite(line);
        // A missing driver is a failure of NRV_CV_Open's caller's process: never report success.
        std::exit(EXIT_FAILURE);
    }

    void** slots = entrySlots(driver);
    for (int i = 0; i < d2xx::kEntryPointCount; ++i) {
        slots[i] = platform::findSymbol(driver.libraryHandle, kEntryPoints[i].name);
    }
    for (int i = 0; i < d2xx::kEntryPointCount; ++i) {
        if (kEntryPoints[i].required && slots[i] == nullptr) {
            std::snprintf(lastError, kLastErrorSize, "Error: Function %s is not found in the library %s",
                          kEntryPoints[i].name, driver.libraryName);
            platform::consoleWrite(lastError);
            std::exit(EXIT_FAILURE);
        }
    }
    bindOptionalEntryPoints(driver);
    return 1;
}

void bindOptionalEntryPoints(DriverTable& table) {
    table.FT_SetLatencyTimer =
        reinterpret_cast<d2xx::PFN_FT_SetLatencyTimer>(platform::findSymbol(table.libraryHandle, "FT_SetLatencyTimer"));
}

} // namespace corvane
