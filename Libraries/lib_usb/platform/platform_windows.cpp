#include "platform.h"

#include <cstdio>
#include <windows.h>

namespace corvane::platform {

namespace {

#if defined(_WIN64)
// The vendor's driver package ships its 64-bit DLL as ftd2xx64.dll, and its installer puts the
// same DLL into the system folder as ftd2xx.dll. A 32-bit DLL found under either name answers
// ERROR_BAD_EXE_FORMAT, the commonest mix-up of driver and program files; it is named as such.
constexpr const char* kDriverNames[] = {"ftd2xx64.dll", "ftd2xx.dll"};
constexpr bool kTellsWrongWordSize = true;
#else
// Corvane32.dll loads the one name and reports every failure to load alike.
constexpr const char* kDriverNames[] = {"ftd2xx32.dll"};
constexpr bool kTellsWrongWordSize = false;
#endif

} // namespace

const std::span<const char* const> kDriverLibraryNames{kDriverNames};
// The open driver is built for Linux only: Windows programs reach the chips through the vendor's
// kernel driver and its DLL.
const std::span<const char* const> kOpenDriverLibraryNames{};

void* loadLibrary(const char* fileName, LoadFailure* failure) {
    HMODULE library = LoadLibraryA(fileName);
    if (library != nullptr) {
        *failure = LoadFailure::none;
    } else {
        *failure = kTellsWrongWordSize && GetLastError() == ERROR_BAD_EXE_FORMAT ? LoadFailure::wrongWordSize
                                                                                 : LoadFailure::notLoaded;
    }
    return reinterpret_cast<void*>(library);
}

void* findSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

namespace {

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

DWORD WINAPI threadMain(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    return start.routine(start.argument);
}

} // namespace

std::uint32_t startThread(ThreadRoutine routine, void* argument, std::atomic<std::uint32_t>* idOut) {
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) {
        return 0;
    }
    // Created suspended, so that its id is stored before it can run and clear it.
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, threadMain, start, CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        delete start;
        if (idOut != nullptr) {
            idOut->store(0, std::memory_order_release);
        }
        return 0;
    }
    if (idOut != nullptr) {
        // Release: the id is published before ResumeThread lets the thread run to its clear.
        idOut->store(static_cast<std::uint32_t>(id), std::memory_order_release);
    }
    ResumeThread(thread);
    CloseHandle(thread); // detached: nothing waits for the thread
    return static_cast<std::uint32_t>(id);
}

void sleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

void yield() { Sleep(0); }

void consoleWrite(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

} // namespace corvane::platform
