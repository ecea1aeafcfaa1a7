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

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::string kVariants = CORVANE_SIM_VARIANTS_DIR;

// Makes the next death-test child search `folder` first for libftd2xx.so. The loader reads the
// variable when a process starts, so only the re-executed child sees it.
void searchDriverIn(const std::string& folder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(0, setenv("LD_LIBRARY_PATH", folder.c_str(), 1));
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

// Child: opens the library and, if that returns, reports what got bound; ends with status 0.
void openAndReport() {
    consoleToStderr();
    NRV_CV_Open(0, 0, 0);
    std::printf("returned;");
    void* driver = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
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

} // namespace
