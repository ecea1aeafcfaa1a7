#include "driver/driver_table.h"

#include "core/constants.h"
#include "platform/platform.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace corvane {

namespace {

// A driver file of the wrong word size: the program's word size, three times.
constexpr const char* kWrongWordSizeLine =
    "Could not load DLL: %s is not a %u-bit DLL; a %u-bit program needs the %u-bit D2XX driver\n";

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

// The file names to try for the chosen driver, in order.
std::span<const char* const> driverNames(const ReceiveSettings& settings, const char* const (&path)[1]) {
    switch (settings.driver) {
    case DriverChoice::open:
        return platform::kOpenDriverLibraryNames;
    case DriverChoice::path:
        return path;
    case DriverChoice::vendor:
        break;
    }
    return platform::kDriverLibraryNames;
}

} // namespace

static_assert(offsetof(DriverTable, FT_GetDeviceInfoList) ==
                  offsetof(DriverTable, FT_Open) + (d2xx::kEntryPointCount - 1) * sizeof(void*),
              "the entry-point fields are contiguous, in list order");

int loadDriverLibrary(DriverTable** table, char* lastError, const ReceiveSettings& settings) {
    if (*table == nullptr) {
        *table = new (std::nothrow) DriverTable;
        if (*table == nullptr) {
            return 0;
        }
    }
    DriverTable& driver = **table;
    std::memset(&driver, 0, sizeof driver);

    // The first name that loads is bound, and a binding that then fails names it: no other name
    // is tried for missing entry points. When none loads, the line names the last name tried, or
    // the last one found built for another word size.
    const char* wrongWordSize = nullptr;
    const char* const path[1] = {settings.driverPath};
    for (const char* name : driverNames(settings, path)) {
        std::snprintf(driver.libraryName, sizeof driver.libraryName, "%s", name);
        platform::LoadFailure failure = platform::LoadFailure::notLoaded;
        driver.libraryHandle = platform::loadLibrary(name, &failure);
        if (driver.libraryHandle != nullptr) {
            break;
        }
        if (failure == platform::LoadFailure::wrongWordSize) {
            wrongWordSize = name;
        }
    }
    if (driver.libraryHandle == nullptr) {
        char line[kDriverPathSize + 128];
        if (wrongWordSize != nullptr) {
            const unsigned bits = sizeof(void*) * CHAR_BIT;
            std::snprintf(line, sizeof line, kWrongWordSizeLine, wrongWordSize, bits, bits, bits);
        } else {
            std::snprintf(line, sizeof line, "Could not load DLL: %s\n", driver.libraryName);
        }
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
    addSupportedProductIds(driver);
    return 1;
}

void addSupportedProductIds(DriverTable& table) {
    // The driver stays loaded and keeps its table for the whole process: each id is added once.
    // Relaxed: the flag only keeps a second open from adding the ids again; no data rides on it.
    static std::atomic<bool> added{false};
    if (table.FT_SetVIDPID == nullptr || added.exchange(true, std::memory_order_relaxed)) {
        return;
    }
    for (std::uint32_t productId = kFirstProductId; productId <= kLastProductId; ++productId) {
        table.FT_SetVIDPID(kSupportedVendorId, productId);
    }
}

void bindOptionalEntryPoints(DriverTable& table) {
    table.FT_SetLatencyTimer =
        reinterpret_cast<d2xx::PFN_FT_SetLatencyTimer>(platform::findSymbol(table.libraryHandle, "FT_SetLatencyTimer"));
}

} // namespace corvane
