#include "platform.h"

#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

namespace corvane::platform {

namespace {
constexpr const char* kDriverNames[] = {"libftd2xx.so"};
constexpr const char* kOpenDriverNames[] = {"libcorvane_d2xx.so"};
} // namespace

const std::span<const char* const> kDriverLibraryNames{kDriverNames};
const std::span<const char* const> kOpenDriverLibraryNames{kOpenDriverNames};

void* loadLibrary(const char* fileName, LoadFailure* failure) {
    void* library = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    *failure = library != nullptr ? LoadFailure::none : LoadFailure::notLoaded;
    return library;
}

void* findSymbol(void* library, const char* name) { return dlsym(library, name); }

namespace {

std::atomic<std::uint32_t> nextThreadId{1};

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

void* threadMain(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.routine(start.argument);
    return nullptr;
}

} // namespace

std::uint32_t startThread(ThreadRoutine routine, void* argument, std::atomic<std::uint32_t>* idOut) {
    // pthread ids are opaque, so threads get numbers of our own; relaxed is enough for a counter.
    std::uint32_t id = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) {
        id = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
    if (idOut != nullptr) {
        // Release: the id is published before pthread_create, which the new thread's clear follows.
        idOut->store(id, std::memory_order_release);
    }
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    pthread_attr_t attributes;
    bool started = false;
    if (start != nullptr && pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        started = pthread_create(&thread, &attributes, threadMain, start) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        delete start;
        if (idOut != nullptr) {
            idOut->store(0, std::memory_order_release); // no thread exists that could clear it
        }
        return 0;
    }
    return id;
}

void sleepMs(std::uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0) {
    }
}

void yield() { sched_yield(); }

void consoleWrite(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

} // namespace corvane::platform
