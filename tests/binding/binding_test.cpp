// The library binds the D2XX driver by its file name through the loader's search path, as on a
// user's machine. Each case runs NRV_CV_Open in a child process whose LD_LIBRARY_PATH names one
// folder: a simulated driver lacking some entry points, or no driver at all. The child's standard
// output is sent to its standard error, which the death test captures, so the console text is
// checked byte for byte (line end or not) together with the exit status.
#include "corvane.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::string kVariants = CORVANE_SIM_VARIANTS_DIR;

// Makes the next death-test child search `folder` first for libftd2xx.so, with CORVANE_DRIVER set
// to `driver` (unset when empty). The loader reads the search path when a process starts, so only
// the re-executed child sees it.
void searchDriverIn(const std::string& folder, const std::string& driver = "") {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(0, setenv("LD_LIBRARY_PATH", folder.c_str(), 1));
    if (driver.empty()) {
        ASSERT_EQ(0, unsetenv("CORVANE_DRIVER"));
    } else {
        ASSERT_EQ(0, setenv("CORVANE_DRIVER", driver.c_str(), 1));
    }
}

// Escapes a text for the death test's regular expression (POSIX extended).
std::string literal(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

void consoleToStderr() {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

// Child: opens the library and, if that returns, reports what got bound under the name `driverFile`
// (the name or path the library was to load); ends with status 0.
void openAndReport(const char* driverFile = "libftd2xx.so") {
    consoleToStderr();
    NRV_CV_Open(0, 0, 0);
    std::printf("returned;");
    void* driver = dlopen(driverFile, RTLD_NOW | RTLD_NOLOAD);
    link_map* map = nullptr;
    if (driver != nullptr && dlinfo(driver, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        std::printf("driver %s;", map->l_name);
        std::printf("FT_SetVIDPID %s;", dlsym(driver, "FT_SetVIDPID") == nullptr ? "absent" : "present");
        std::printf("FT_GetVIDPID %s;", dlsym(driver, "FT_GetVIDPID") == nullptr ? "absent" : "present");
    }
    std::printf("initialized %d;last error %s", NRV_CV_Initialize() ? 1 : 0, NRV_CV_GetLastError());
    std::fflush(stdout);
    std::_Exit(0); // the library's threads never stop; end without running exit handlers under them
}

TEST(Binding, ADriverWithoutTheVidPidCallsBinds) {
    const std::string folder = kVariants + "/no_FT_SetVIDPID_FT_GetVIDPID";
    searchDriverIn(folder);
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(0),
                "^returned;driver " + literal(folder + "/libftd2xx.so") +
                    ";FT_SetVIDPID absent;FT_GetVIDPID absent;initialized 1;last error No error found!\n$");
}

TEST(Binding, AMissingEntryPointEndsTheProcessNamingIt) {
    searchDriverIn(kVariants + "/no_FT_EraseEE");
    // No line end after the text, and a failure status: the caller must not take this for success.
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^Error: Function FT_EraseEE is not found in the library libftd2xx\\.so$");
}

TEST(Binding, OnlyTheFirstMissingEntryPointIsNamed) {
    searchDriverIn(kVariants + "/no_FT_ListDevices_FT_GetDeviceInfoList");
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^Error: Function FT_ListDevices is not found in the library libftd2xx\\.so$");
}

TEST(Binding, NoDriverAtAllEndsTheProcess) {
    searchDriverIn(CORVANE_NO_DRIVER_DIR);
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE), "^Could not load DLL: libftd2xx\\.so\n$");
}

// CORVANE_DRIVER, one row per form: what the library loads, and the lines that name it. The search
// path holds no libftd2xx.so in these rows, so a row that bound the vendor's name would fail.
TEST(Binding, ADriverGivenByPathIsBoundFromThere) {
    searchDriverIn(CORVANE_NO_DRIVER_DIR, CORVANE_SIM_DRIVER);
    EXPECT_EXIT(openAndReport(CORVANE_SIM_DRIVER), ::testing::ExitedWithCode(0),
                "^returned;driver " + literal(CORVANE_SIM_DRIVER) +
                    ";FT_SetVIDPID present;FT_GetVIDPID present;initialized 1;last error No error found!\n$");
}

TEST(Binding, APathThatDoesNotLoadIsNamedInTheFatalLine) {
    const std::string missing = std::string(CORVANE_NO_DRIVER_DIR) + "/libabsent_d2xx.so";
    searchDriverIn(kVariants + "/no_FT_SetVIDPID_FT_GetVIDPID", missing);
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^Could not load DLL: " + literal(missing) + "\n$");
}

TEST(Binding, APathLackingAnEntryPointIsNamedWithIt) {
    const std::string lacking = kVariants + "/no_FT_EraseEE/libftd2xx.so";
    searchDriverIn(CORVANE_NO_DRIVER_DIR, lacking);
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^Error: Function FT_EraseEE is not found in the library " + literal(lacking) + "$");
}

TEST(Binding, TheOpenRoadBindsTheOpenDriverByName) {
    searchDriverIn(CORVANE_OPEN_NAMED_DIR, "open");
    EXPECT_EXIT(openAndReport("libcorvane_d2xx.so"), ::testing::ExitedWithCode(0),
                "^returned;driver " + literal(std::string(CORVANE_OPEN_NAMED_DIR) + "/libcorvane_d2xx.so") +
                    ";FT_SetVIDPID present;FT_GetVIDPID present;initialized 1;last error No error found!\n$");
}

TEST(Binding, TheOpenRoadWithoutItsDriverEndsTheProcessNamingIt) {
    // The vendor's driver is there, and is not taken instead: the user asked for the open road.
    searchDriverIn(kVariants + "/no_FT_SetVIDPID_FT_GetVIDPID", "open");
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^Could not load DLL: libcorvane_d2xx\\.so\n$");
}

TEST(Binding, AnUnknownWordIsReportedAndTheVendorsDriverBound) {
    const std::string folder = kVariants + "/no_FT_SetVIDPID_FT_GetVIDPID";
    searchDriverIn(folder, "libusb");
    EXPECT_EXIT(openAndReport(), ::testing::ExitedWithCode(0),
                "^Ignoring CORVANE_DRIVER=\"libusb\": expected vendor, open or the path of a D2XX driver library "
                "\\(at most 511 characters\\)\nreturned;driver " +
                    literal(folder + "/libftd2xx.so") + ";FT_SetVIDPID absent;");
}

// Child: opens board 0 of the simulated driver's default boards (bound by whatever name or path),
// lets the driver's queue overflow behind the read thread and reports the last error once the
// queue has drained. The simulated driver's drop mode comes from CORVANE_SIM_QUEUE.
void overflowAndReport(const char* driverFile) {
    consoleToStderr();
    NRV_CV_Open(0, 0, 0);
    NRV_CV_QueryDevices();
    void* driver = dlopen(driverFile, RTLD_NOW | RTLD_NOLOAD);
    using Queue = void (*)(int, const std::uint8_t*, std::uint32_t);
    using Pending = std::uint32_t (*)(int);
    using Find = int (*)(const char*);
    auto queue = reinterpret_cast<Queue>(dlsym(driver, "sim_queue_rx"));
    auto pending = reinterpret_cast<Pending>(dlsym(driver, "sim_rx_pending"));
    auto find = reinterpret_cast<Find>(dlsym(driver, "sim_find_device"));
    if (queue == nullptr || pending == nullptr || find == nullptr || NRV_CV_OpenDeviceByIndex(0) != 1) {
        std::printf("no simulated board: driver %s, open %d, last error %s", driver == nullptr ? "absent" : "found",
                    NRV_CV_OpenDeviceByIndex(0), NRV_CV_GetLastError());
        std::fflush(stdout);
        std::_Exit(0);
    }
    const int device = find(NRV_CV_GetDeviceSerial(0));
    const std::string flood(70000, '\xD1');
    queue(device, reinterpret_cast<const std::uint8_t*>(flood.data()), static_cast<std::uint32_t>(flood.size()));
    // Until the read thread has drained it, however slowly a loaded machine lets it read: given up
    // only when the queue has not moved for 30 s.
    std::uint32_t seen = pending(device);
    for (int still = 0; still < 30000 && seen != 0; ++still) {
        usleep(1000);
        if (const std::uint32_t now = pending(device); now != seen) {
            seen = now;
            still = 0;
        }
    }
    // A report comes from the status call that saw the full queue, made before any byte was read.
    std::printf("pending %u;last error %s", pending(device), NRV_CV_GetLastError());
    std::fflush(stdout);
    std::_Exit(0);
}

// The report of a full driver queue belongs to the drivers that drop: a driver given by path may be
// the vendor's and is watched; the open driver holds the board back and is not (here both are the
// simulated driver in drop mode, so only the road differs).
TEST(Binding, AFullQueueIsReportedOnADriverGivenByPathButNotOnTheOpenRoad) {
    ASSERT_EQ(0, setenv("CORVANE_SIM_QUEUE", "drop", 1));
    ASSERT_EQ(0, setenv("CORVANE_SIM_BOARDS", "default", 1));
    searchDriverIn(CORVANE_NO_DRIVER_DIR, CORVANE_SIM_DRIVER);
    EXPECT_EXIT(overflowAndReport(CORVANE_SIM_DRIVER), ::testing::ExitedWithCode(0),
                "\npending 0;last error Driver receive queue of device Corvane Eval Board B / CV000101B is full; the "
                "driver may have dropped data$");
    searchDriverIn(CORVANE_OPEN_NAMED_DIR, "open");
    EXPECT_EXIT(overflowAndReport("libcorvane_d2xx.so"), ::testing::ExitedWithCode(0),
                "\npending 0;last error No error found!\n$");
    unsetenv("CORVANE_SIM_QUEUE");
    unsetenv("CORVANE_SIM_BOARDS");
}

} // namespace
