// doctor: why a board is missing or slow. The driver is checked the same way everywhere (loads,
// has every entry point the library needs, its version, the boards it lists and their latency
// timers); where it was found and what the system does with FTDI devices is platform code.
#include "doctor.h"

#include "d2xx.h"
#include "platform.h"
#include "tool.h"

#include <cstdio>
#include <cstring>

namespace corvane::tool {

namespace {

using GetLibraryVersion = d2xx::FT_STATUS(D2XX_API*)(d2xx::DWORD*);
using GetLatencyTimer = d2xx::FT_STATUS(D2XX_API*)(d2xx::FT_HANDLE, d2xx::UCHAR*);
constexpr unsigned kDefaultLatencyMs = 16;

void driverChecks(Report& report, Module driver) {
    std::string missing;
#define CORVANE_DOCTOR_REQUIRED(name, required, params)                                                                \
    if (required && findSymbol(driver, #name) == nullptr) {                                                            \
        missing += missing.empty() ? #name : ", " #name;                                                               \
    }
    D2XX_ENTRY_POINTS(CORVANE_DOCTOR_REQUIRED)
#undef CORVANE_DOCTOR_REQUIRED
    if (!missing.empty()) {
        report.problem("the driver lacks " + missing +
                       ": the library ends the process when it opens; install the vendor's current D2XX driver");
        return;
    }
    report.ok("the driver has every entry point the library uses");
    if (auto version = reinterpret_cast<GetLibraryVersion>(findSymbol(driver, "FT_GetLibraryVersion"))) {
        d2xx::DWORD value = 0;
        if (version(&value) == d2xx::FT_OK) {
            char text[32];
            std::snprintf(text, sizeof text, "%X.%X.%02X", (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
            report.ok(std::string("driver version ") + text);
        }
    } else {
        report.note(findSymbol(driver, "sim_reset") != nullptr
                        ? "this is Corvane's simulated driver, not the vendor's: it reports no version"
                        : "the driver reports no version (no FT_GetLibraryVersion)");
    }
    // The vendor's Linux driver lists only the ids in its own table; the library adds the boards'
    // before it lists, and so does the doctor, to see what the library will see.
    if (auto setVidPid = reinterpret_cast<d2xx::PFN_FT_SetVIDPID>(findSymbol(driver, "FT_SetVIDPID"))) {
        for (unsigned product = kFirstBoardProduct; product <= kLastBoardProduct; ++product) {
            setVidPid(kBoardVendor, product);
        }
    }
    auto create = reinterpret_cast<d2xx::PFN_FT_CreateDeviceInfoList>(findSymbol(driver, "FT_CreateDeviceInfoList"));
    auto get = reinterpret_cast<d2xx::PFN_FT_GetDeviceInfoList>(findSymbol(driver, "FT_GetDeviceInfoList"));
    d2xx::DWORD count = 0;
    const d2xx::FT_STATUS status = create(&count);
    if (status != d2xx::FT_OK) {
        report.problem(
            "the driver cannot list devices (status " + std::to_string(status) +
            "): it could not start its USB layer; without /dev/bus/usb (as in most containers) it never can");
        return;
    }
    std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (count != 0 && get(nodes.data(), &count) != d2xx::FT_OK) {
        count = 0;
    }
    if (count == 0) {
        report.problem("the driver lists no FTDI device: none is attached, or none it may use");
    } else {
        report.ok("the driver lists " + std::to_string(count) + " FTDI device" + (count == 1 ? "" : "s"));
    }
    auto latency = reinterpret_cast<GetLatencyTimer>(findSymbol(driver, "FT_GetLatencyTimer"));
    auto open = reinterpret_cast<d2xx::PFN_FT_OpenEx>(findSymbol(driver, "FT_OpenEx"));
    auto close = reinterpret_cast<d2xx::PFN_FT_Close>(findSymbol(driver, "FT_Close"));
    for (std::size_t i = 0; i < count && i < nodes.size(); ++i) {
        const d2xx::FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        const std::string serial(node.SerialNumber, strnlen(node.SerialNumber, sizeof node.SerialNumber));
        if (serial.empty()) {
            report.problem("device " + std::to_string(i + 1) +
                           " is listed blank: another driver holds it or you lack permission on its device node");
            continue;
        }
        if (latency == nullptr) {
            continue;
        }
        d2xx::FT_HANDLE handle = nullptr;
        if (open(const_cast<char*>(serial.c_str()), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) != d2xx::FT_OK) {
            report.note("latency timer of " + serial + ": the device cannot be opened (is it in use?)");
            continue;
        }
        d2xx::UCHAR ms = 0;
        if (latency(handle, &ms) == d2xx::FT_OK) {
            report.note(
                "latency timer of " + serial + ": " + std::to_string(ms) + " ms" +
                (ms >= kDefaultLatencyMs ? "; a short message waits up to this long before the chip sends it" : ""));
        }
        close(handle);
    }
    if (latency == nullptr && count != 0) {
        report.note("the driver cannot report the latency timer (no FT_GetLatencyTimer)");
    }
}

} // namespace

void Report::ok(const std::string& text) { line("ok", text); }
void Report::note(const std::string& text) { line("note", text); }
void Report::problem(const std::string& text) {
    ++problems;
    line("PROBLEM", text);
}
void Report::line(const char* tag, const std::string& text) {
    std::printf("%-7s %s\n", tag, text.c_str());
    std::fflush(stdout);
}

int doctorCommand(const GlobalOptions& global, const DoctorOptions& options) {
    Report report;
    DriverRoad road;
    if (!chooseDriverRoad(options.driver.empty() ? global.driver : options.driver, road)) {
        std::fprintf(stderr, "corvane doctor: --driver \"%s\": expected vendor, open or the path of a D2XX driver\n",
                     options.driver.c_str());
        return kExitUsage;
    }
    report.note("driver road: " + road.describe());
    const std::string& name = road.file;
    std::string error;
    Module driver = loadModule(name, &error);
    if (driver == nullptr) {
        report.problem(driverMissing(road, error));
    } else {
        report.ok(name + " loads from " + modulePath(driver));
        if (road.kind == DriverRoad::vendor && findSymbol(driver, "sim_reset") != nullptr) {
            // Installed, the simulated driver stays in a private folder; found by name, it hides
            // the vendor's driver from every program that uses the library.
            report.problem("the loader finds Corvane's simulated driver under the vendor's name: programs reach only "
                           "simulated boards; remove it (or its folder) from the loader's search path");
        }
        driverChecks(report, driver);
    }
    systemChecks(report, options, road);
    std::printf(
        "%s\n",
        report.problems == 0
            ? "nothing blocks the use of a board"
            : (std::to_string(report.problems) + " problem" + (report.problems == 1 ? "" : "s") + " found").c_str());
    return report.problems == 0 ? 0 : kExitFailure;
}

} // namespace corvane::tool
