// Opens the library as an application does, for the binding checks that CMakeLists.txt runs from
// folders with complete drivers, incomplete ones, drivers of the other word size or none. When
// the driver binds, NRV_CV_Open returns and this reports which driver was loaded, from where, and
// what the library then says; otherwise the library prints its own text and ends the process,
// and nothing of this is printed.
#include "corvane.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string folderOf(HMODULE module) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of('\\'));
}

const char* presence(HMODULE module, const char* name) {
    return GetProcAddress(module, name) == nullptr ? "absent" : "present";
}

} // namespace

// Every name a Windows build of the library loads its driver by.
constexpr const char* kDriverNames[] = {"ftd2xx32.dll", "ftd2xx64.dll", "ftd2xx.dll"};

int main() {
    NRV_CV_Open(0, 0, 0);
    const char* name = nullptr;
    HMODULE driver = nullptr;
    for (const char* candidate : kDriverNames) {
        if (driver == nullptr) {
            name = candidate;
            driver = GetModuleHandleA(candidate);
        }
    }
    if (driver == nullptr) {
        std::printf("returned;no driver loaded");
        return 2;
    }
    std::printf("returned;driver %s %s;FT_SetVIDPID %s;FT_GetVIDPID %s;initialized %d;last error %s", name,
                folderOf(driver) == folderOf(nullptr) ? "beside the program" : folderOf(driver).c_str(),
                presence(driver, "FT_SetVIDPID"), presence(driver, "FT_GetVIDPID"), NRV_CV_Initialize() ? 1 : 0,
                NRV_CV_GetLastError());
    std::fflush(stdout);
    return 0;
}
