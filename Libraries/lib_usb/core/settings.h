// The receive settings, read from the environment once per NRV_CV_Open into the HostContext.
// The hot paths test these plain fields; nothing reads the environment afterwards.
#pragma once

#include "core/constants.h"

#include <cstdint>

namespace corvane {

struct HostContext;

// Which D2XX driver library NRV_CV_Open binds (CORVANE_DRIVER): the vendor's by its usual names,
// the open driver that is installed with the library, or a file given by its path.
enum class DriverChoice { vendor, open, path };

// CORVANE_PROFILE=fast switches on all four receive settings; CORVANE_RX, CORVANE_IDLE,
// CORVANE_LATENCY_MS and CORVANE_RECONNECT each override their part. CORVANE_SELFTEST_CYCLES
// shortens the self test (a quick check of a board, and the tests' runs).
struct ReceiveSettings {
    bool batched;           // CORVANE_RX=batched: per board and pass, read everything pending
    bool idleWait;          // CORVANE_IDLE=wait: the threads sleep while there is nothing to do
    std::uint8_t latencyMs; // CORVANE_LATENCY_MS=1..255: the chip's latency timer; 0 leaves it alone
    bool reconnect = false; // CORVANE_RECONNECT=auto: a board reported lost is reopened once it answers again
    std::int32_t selfTestCycles = kSelfTestCycles; // CORVANE_SELFTEST_CYCLES=1..100000: the self test's cycles
    DriverChoice driver = DriverChoice::vendor;    // CORVANE_DRIVER=vendor|open|<path>
    char driverPath[kDriverPathSize] = {};         // the path, with DriverChoice::path
};

// The values of the fast profile.
constexpr std::uint8_t kFastProfileLatencyMs = 2;

// Whether a CORVANE_DRIVER value names a file rather than a road: it holds a '/' or '\\', or ends
// in ".so" or ".dll".
bool namesDriverFile(const char* value);

// Fills context->settings from the environment. A value it does not know keeps the default and
// is reported on one line (standard error, and the log in debug mode); it never fails.
void readReceiveSettings(HostContext* context);

} // namespace corvane
