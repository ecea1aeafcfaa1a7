// Lifecycle, identification and error exports, and the two global records that mark the library
// open.
#include "core/library.h"

#include "core/log.h"
#include "corvane.h"

#include <new>

namespace corvane {

namespace {

// The three values given to NRV_CV_Open; nothing reads them, the record matters by being present.
struct LibrarySettings {
    std::int32_t openValue1;
    std::int32_t openValue2;
    std::int32_t openValue3;
};

struct LibraryState {
    std::atomic<std::int32_t*> openToken; // non-null while open; its content is never used
    std::atomic<HostContext*> hostContext;
};

// The records live in static storage and "freeing" one unhooks it: a callback on the write
// thread or a light show may be inside an export while the application closes the library, and
// must never follow a pointer into freed memory. Acquire/release on both pointers.
LibrarySettings settingsRecord;
LibraryState stateRecord;
std::atomic<LibrarySettings*> librarySettings{nullptr};
std::atomic<LibraryState*> libraryState{nullptr};

constexpr const char* kNotInitialized = "Library not initialized";

// The version text ends in a word size: "64-bit" in the 64-bit builds (the build passes it), the
// original "32-bit" in Corvane32.dll.
#ifndef CORVANE_VERSION_WORD_SIZE
#define CORVANE_VERSION_WORD_SIZE "32-bit"
#endif
constexpr const char* kVersionString = "1.0.0.7 - " CORVANE_VERSION_WORD_SIZE;

// True when NRV_CV_Initialize and NRV_CV_SetDebugMode count the library as open.
LibraryState* openStateWithToken() {
    LibraryState* state = libraryState.load(std::memory_order_acquire);
    if (librarySettings.load(std::memory_order_acquire) == nullptr || state == nullptr ||
        state->openToken.load(std::memory_order_acquire) == nullptr) {
        return nullptr;
    }
    return state;
}

} // namespace

HostContext* libraryGuard() {
    // Acquire: pairs with NRV_CV_Open's release stores, so the whole context is visible.
    LibraryState* state = libraryState.load(std::memory_order_acquire);
    if (librarySettings.load(std::memory_order_acquire) == nullptr || state == nullptr) {
        return nullptr;
    }
    return state->hostContext.load(std::memory_order_acquire);
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_Open(int32_t value1, int32_t value2, int32_t value3) {
    LibrarySettings* settings = &settingsRecord;
    LibraryState* state = &stateRecord;
    settings->openValue1 = settings->openValue2 = settings->openValue3 = 0;
    // An earlier open's context is dropped here: its threads still use it. Its token is used by
    // nothing but the guard's null test, so it is freed.
    delete state->openToken.exchange(nullptr, std::memory_order_acq_rel);
    state->hostContext.store(nullptr, std::memory_order_release);
    state->openToken.store(new (std::nothrow) std::int32_t(0), std::memory_order_release);

    HostContext* context = new (std::nothrow) HostContext();
    if (context != nullptr) {
        constructHostContext(context);
    }
    // Release: the constructed context is complete before a guard's acquire can see it.
    state->hostContext.store(context, std::memory_order_release);
    if (value1 != 0) settings->openValue1 = value1;
    if (value2 != 0) settings->openValue2 = value2;
    if (value3 != 0) settings->openValue3 = value3;
    libraryState.store(state, std::memory_order_release);
    librarySettings.store(settings, std::memory_order_release);
    return 0;
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_Close(void) {
    LibrarySettings* settings = librarySettings.load(std::memory_order_acquire);
    LibraryState* state = libraryState.load(std::memory_order_acquire);
    if (settings != nullptr && state != nullptr) {
        delete state->openToken.exchange(nullptr, std::memory_order_acq_rel);
    }
    // The context, its threads and open boards stay: callbacks registered in it may still run.
    if (state != nullptr) {
        libraryState.store(nullptr, std::memory_order_release);
    }
    if (settings != nullptr) {
        librarySettings.store(nullptr, std::memory_order_release);
    }
    return 0;
}

CORVANE_API bool CORVANE_CALL NRV_CV_Initialize(void) { return openStateWithToken() != nullptr; }

CORVANE_API void CORVANE_CALL NRV_CV_Release(void) {}

CORVANE_API int32_t CORVANE_CALL NRV_CV_CheckCompatibility(void) { return 0; }

CORVANE_API const char* CORVANE_CALL NRV_CV_GetName(void) { return "NRV Corvane Library"; }

CORVANE_API const char* CORVANE_CALL NRV_CV_GetVersionString(void) { return kVersionString; }

CORVANE_API void CORVANE_CALL NRV_CV_GetVersionControl(uint16_t* major, uint16_t* minor, uint16_t* revision,
                                                       uint16_t* build) {
    if (major != nullptr) *major = 1;
    if (minor != nullptr) *minor = 0;
    if (revision != nullptr) *revision = 0;
    if (build != nullptr) *build = 5;
}

CORVANE_API const char* CORVANE_CALL NRV_CV_GetInterfaceVersion(void) { return "1.0"; }

CORVANE_API const char* CORVANE_CALL NRV_CV_GetLastError(void) {
    HostContext* context = libraryGuard();
    return context == nullptr ? kNotInitialized : lastErrorText(context);
}

CORVANE_API int32_t CORVANE_CALL NRV_CV_SetDebugMode(int32_t mode) {
    LibraryState* state = openStateWithToken();
    HostContext* context = state == nullptr ? nullptr : state->hostContext.load(std::memory_order_acquire);
    if (context == nullptr) {
        return 0;
    }
    // Relaxed: a switch that logMessage reads on every thread; no data rides on it.
    context->debugMode.store(mode, std::memory_order_relaxed);
    return 1;
}

} // extern "C"
