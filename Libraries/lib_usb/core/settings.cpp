#include "core/settings.h"

#include "core/host_context.h"
#include "core/log.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

constexpr char kIgnoredSettingLine[] = "Ignoring %s=\"%s\": expected %s\n";
constexpr char kDriverExpected[] = "vendor, open or the path of a D2XX driver library (at most 511 characters)";
constexpr char kDriverExpectedWithoutOpen[] =
    "vendor or the path of a D2XX driver library (at most 511 characters); this platform has no open driver";

// The variable's value, or null when it is unset or empty.
const char* setting(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || value[0] == '\0' ? nullptr : value;
}

void reportIgnored(HostContext* context, const char* name, const char* value, const char* expected) {
    std::fprintf(stderr, kIgnoredSettingLine, name, value, expected);
    logMessage(context, kIgnoredSettingLine, name, value, expected);
}

// A two-way switch: `on` or `off` (the default's name) set it; anything else is reported.
void readSwitch(HostContext* context, const char* name, const char* on, const char* off, const char* expected,
                bool& field) {
    const char* value = setting(name);
    if (value == nullptr) {
        return;
    }
    if (std::strcmp(value, on) == 0) {
        field = true;
    } else if (std::strcmp(value, off) == 0) {
        field = false;
    } else {
        reportIgnored(context, name, value, expected);
    }
}

// A whole number from `lowest` to `highest`, in decimal digits only; anything else is reported.
bool readNumber(HostContext* context, const char* name, long lowest, long highest, const char* expected, long& number) {
    const char* value = setting(name);
    if (value == nullptr) {
        return false;
    }
    char* end = nullptr;
    number = std::strtol(value, &end, 10);
    if (*end == '\0' && number >= lowest && number <= highest) {
        return true;
    }
    reportIgnored(context, name, value, expected);
    return false;
}

bool endsWith(const char* text, const char* end) {
    const std::size_t length = std::strlen(text);
    const std::size_t endLength = std::strlen(end);
    return length >= endLength && std::strcmp(text + length - endLength, end) == 0;
}

// CORVANE_DRIVER: `vendor` (the default), `open` where this platform has the open driver, or the
// path of a driver file; anything else is reported and the vendor's driver stays.
void readDriverChoice(HostContext* context, ReceiveSettings& settings) {
    const char* value = setting("CORVANE_DRIVER");
    if (value == nullptr || std::strcmp(value, "vendor") == 0) {
        return;
    }
    const bool haveOpen = !platform::kOpenDriverLibraryNames.empty();
    if (std::strcmp(value, "open") == 0 && haveOpen) {
        settings.driver = DriverChoice::open;
    } else if (namesDriverFile(value) && std::strlen(value) < sizeof settings.driverPath) {
        settings.driver = DriverChoice::path;
        std::snprintf(settings.driverPath, sizeof settings.driverPath, "%s", value);
    } else if (std::strcmp(value, "open") == 0) {
        reportIgnored(context, "CORVANE_DRIVER", value, kDriverExpectedWithoutOpen);
    } else {
        reportIgnored(context, "CORVANE_DRIVER", value, haveOpen ? kDriverExpected : kDriverExpectedWithoutOpen);
    }
}

} // namespace

bool namesDriverFile(const char* value) {
    return std::strchr(value, '/') != nullptr || std::strchr(value, '\\') != nullptr || endsWith(value, ".so") ||
           endsWith(value, ".dll");
}

void readReceiveSettings(HostContext* context) {
    ReceiveSettings settings{false, false, 0, false};
    bool fast = false;
    readSwitch(context, "CORVANE_PROFILE", "fast", "default", "fast or default", fast);
    if (fast) {
        settings = ReceiveSettings{true, true, kFastProfileLatencyMs, true};
    }
    readSwitch(context, "CORVANE_RX", "batched", "default", "batched or default", settings.batched);
    readSwitch(context, "CORVANE_IDLE", "wait", "spin", "wait or spin", settings.idleWait);
    readSwitch(context, "CORVANE_RECONNECT", "auto", "off", "auto or off", settings.reconnect);
    long number = 0;
    if (readNumber(context, "CORVANE_LATENCY_MS", 1, 255, "a number of milliseconds from 1 to 255", number)) {
        settings.latencyMs = static_cast<std::uint8_t>(number);
    }
    if (readNumber(context, "CORVANE_SELFTEST_CYCLES", 1, kSelfTestCycles, "a number of cycles from 1 to 100000",
                   number)) {
        settings.selfTestCycles = static_cast<std::int32_t>(number);
    }
    readDriverChoice(context, settings);
    context->settings = settings;
}

} // namespace corvane
