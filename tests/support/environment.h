// Setting the library's environment variables from a test, before NRV_CV_Open reads them.
#pragma once

#include <cstdlib>

namespace testing_support {

// Sets `name` to `value`; an empty value removes the variable.
inline void setEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    if (value[0] == '\0') {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
#endif
}

// One receive mode for the next NRV_CV_Open: "default" or "fast", and nothing else set.
inline void useProfile(const char* profile) {
    setEnvironment("CORVANE_RX", "");
    setEnvironment("CORVANE_IDLE", "");
    setEnvironment("CORVANE_LATENCY_MS", "");
    setEnvironment("CORVANE_RECONNECT", "");
    setEnvironment("CORVANE_PROFILE", profile);
}

} // namespace testing_support
