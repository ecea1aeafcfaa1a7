// doctor on Windows: the driver DLL is found through the system's DLL search, beside the program
// first; a driver of the other word size cannot load in this process.
#include "doctor.h"

#include <windows.h>

namespace corvane::tool {

namespace {
// This program's word size, and the other one: a driver must match the program that loads it.
constexpr const char* kOwnBits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
constexpr const char* kOtherBits = sizeof(void*) == 8 ? "32-bit" : "64-bit";
} // namespace

std::string driverMissing(const DriverRoad& road, const std::string& error) {
    const std::string& name = road.file;
    char found[MAX_PATH];
    const bool onPath = SearchPathA(nullptr, name.c_str(), nullptr, sizeof found, found, nullptr) != 0;
    if (onPath) {
        return name + " is at " + found + " but does not load in this " + kOwnBits + " process (" + error +
               "): it is probably the " + kOtherBits + " driver; put the vendor's " + kOwnBits +
               " D2XX DLL there under this name";
    }
    return name + " is not found (" + error + "): copy the vendor's " + kOwnBits +
           " D2XX DLL beside the program under the name " + name;
}

void systemChecks(Report&, const DoctorOptions&, const DriverRoad&) {}

} // namespace corvane::tool
