#include "platform.h"

#include <cstdio>
#include <windows.h>

namespace corvane::platform {

const char* const kDriverLibraryName = "ftd2xx32.dll";

void* loadLibrary(const char* fileName) { return reinterpret_cast<void*>(LoadLibraryA(fileName)); }

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
