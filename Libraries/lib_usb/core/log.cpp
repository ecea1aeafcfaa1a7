#include "core/log.h"

#include <cstdio>
#include <cstring>

namespace corvane {

namespace {

// One flag for the whole process: a line that finds it taken is dropped, never waited for.
std::atomic<bool> logBusy{false};

} // namespace

void writeLogLine(HostContext* context, const char* format, std::va_list arguments) {
    // Acquire: the previous writer's file state and buffer are visible before we touch them.
    if (logBusy.exchange(true, std::memory_order_acquire)) {
        return;
    }
    if (context->logFile == nullptr) {
        context->logFile = std::fopen("Corvane.log", "w");
    }
    if (context->logFile != nullptr) {
        // A line longer than the buffer is cut at its end.
        std::vsnprintf(context->logText, sizeof context->logText, format, arguments);
        std::fprintf(context->logFile, "%s", context->logText);
        std::fflush(context->logFile);
    }
    // Release: hands the file and the buffer over to the next writer's acquire.
    logBusy.store(false, std::memory_order_release);
}

namespace {

// Publishes the text in the next slot and returns the slot.
std::uint32_t publishLastError(HostContext* context, const char* message) {
    LastErrorText& error = context->lastError;
    // Relaxed: the claim only has to give concurrent writers different slots.
    std::uint32_t slot = error.nextSlot.fetch_add(1, std::memory_order_relaxed) % kLastErrorSlots;
    std::snprintf(error.slots[slot], kLastErrorSize, "%s", message);
    // Release: the text is complete before a reader's acquire of `current` can pick the slot.
    error.current.store(slot, std::memory_order_release);
    return slot;
}

} // namespace

void setLastError(HostContext* context, const char* message) {
    const std::uint32_t slot = publishLastError(context, message);
    logMessage(context, "CV ERROR: %s\n", context->lastError.slots[slot]);
}

void setLastErrorText(HostContext* context, const char* message) { publishLastError(context, message); }

const char* lastErrorText(HostContext* context) {
    // Acquire: pairs with setLastError's release, so the slot's text is complete.
    return context->lastError.slots[context->lastError.current.load(std::memory_order_acquire)];
}

} // namespace corvane
