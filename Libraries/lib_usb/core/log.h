// The diagnostic log (Corvane.log, debug mode only) and the last-error convention.
#pragma once

#include "core/host_context.h"

#include <cstdarg>

namespace corvane {

// Formats and writes one log line; called only once debug mode was seen on.
void writeLogLine(HostContext* context, const char* format, std::va_list arguments);

// One printf-style line into Corvane.log when debug mode is on. With debug mode off the call
// costs one atomic load and formats nothing.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void
logMessage(HostContext* context, const char* format, ...) {
    // Relaxed: debug mode is a switch; the log's own state is handed over by logBusy.
    if (context->debugMode.load(std::memory_order_relaxed) == 0) {
        return;
    }
    std::va_list arguments;
    va_start(arguments, format);
    writeLogLine(context, format, arguments);
    va_end(arguments);
}

// Makes `message` the last error and logs it as "CV ERROR: <message>\n".
void setLastError(HostContext* context, const char* message);
// Makes `message` the last error without a log line: for a text already logged once, or one that
// reports no error (a reconnected board).
void setLastErrorText(HostContext* context, const char* message);

} // namespace corvane
