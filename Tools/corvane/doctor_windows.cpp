// doctor on Windows: the driver DLL is found through the system's DLL search, beside the program
// first; a 64-bit DLL under the 32-bit name cannot load in this 32-bit process.
#include "doctor.h"

#include <windows.h>

namespace corvane::tool {

std::string driverMissing(const std::string& name, const std::string& error) {
    char found[MAX_PATH];
    const bool onPath = SearchPathA(nullptr, name.c_str(), nullptr, sizeof found, found, nullptr) != 0;
    if (onPath) {
        return name + " is at " + found + " but does not load in this 32-bit process (" + error +
               "): it is probably the 64-bit driver; put the vendor's 32-bit D2XX DLL there under this name";
    }
    return name + " is not found (" + error +
           "): copy the vendor's 32-bit D2XX DLL beside the program under the name " + name;
}

void systemChecks(Report&, const DoctorOptions&) {}

} // namespace corvane::tool
