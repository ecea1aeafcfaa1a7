// The library against the vendor's real Linux D2XX driver, which scripts/vendor-driver.sh links
// from the vendor's own package into the build tree. ctest puts that folder on LD_LIBRARY_PATH, so
// the library finds the driver by name exactly as on a user's machine; this program links only
// libcorvane.so. No board is attached here: the cases show that our declarations of the driver
// match the vendor's, and that the library reports the driver's answers faithfully.
#include "corvane.h"
#include "d2xx.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const std::string kDriverFolder = CORVANE_VENDOR_DRIVER_DIR;
const std::string kDriverPath = kDriverFolder + "/libftd2xx.so";
constexpr const char* kNoError = "No error found!\n";

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

#define REQUIRE_VENDOR_DRIVER()                                                                        \
    if (!exists(kDriverPath)) {                                                                        \
        GTEST_SKIP() << "the vendor's driver is not at " << kDriverPath                               \
                     << ": scripts/vendor-driver.sh could not fetch it (see the vendor.fetch_driver test)"; \
    }

// The driver the process has loaded under the D2XX name, and the file it came from.
std::string loadedDriverPath() {
    void* driver = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
    link_map* map = nullptr;
    if (driver == nullptr || dlinfo(driver, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return "";
    }
    return map->l_name;
}

template <typename Pointer>
Pointer entryPoint(const char* name) {
    void* driver = dlopen(kDriverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    return driver == nullptr ? nullptr : reinterpret_cast<Pointer>(dlsym(driver, name));
}

TEST(VendorDriver, ExportsEveryEntryPointTheLibraryLooksUp) {
    REQUIRE_VENDOR_DRIVER();
    void* driver = dlopen(kDriverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, driver) << dlerror();
#define CHECK_ENTRY_POINT(name, required, params) EXPECT_NE(nullptr, dlsym(driver, #name)) << #name;
    D2XX_ENTRY_POINTS(CHECK_ENTRY_POINT)
#undef CHECK_ENTRY_POINT

    // The driver the package ships, whose behaviour without boards the cases below rely on.
    using GetDriverVersion = d2xx::FT_STATUS (*)(d2xx::FT_HANDLE, d2xx::DWORD*);
    auto getVersion = reinterpret_cast<GetDriverVersion>(dlsym(driver, "FT_GetDriverVersion"));
    ASSERT_NE(nullptr, getVersion);
    d2xx::DWORD version = 0;
    EXPECT_EQ(d2xx::FT_OK, getVersion(nullptr, &version));
    EXPECT_EQ(0x00010424u, version) << "the vendor's library 1.4.24";
}

TEST(VendorDriver, CountsAreWritten32BitsWide) {
    REQUIRE_VENDOR_DRIVER();
    // Old Linux copies of the vendor's header declared DWORD as unsigned long, 64 bits on this
    // system. The driver writes 32: our DWORD is right, and the word after the count is untouched.
    auto create = entryPoint<d2xx::PFN_FT_CreateDeviceInfoList>("FT_CreateDeviceInfoList");
    ASSERT_NE(nullptr, create);
    d2xx::DWORD words[2] = {0xAAAAAAAAu, 0xAAAAAAAAu};
    create(&words[0]);
    EXPECT_EQ(0u, words[0]) << "no device is attached here";
    EXPECT_EQ(0xAAAAAAAAu, words[1]);
}

TEST(VendorDriver, OpenBindsTheDriverFoundByName) {
    REQUIRE_VENDOR_DRIVER();
    // A driver lacking any required entry point would end the process inside this call.
    EXPECT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_TRUE(NRV_CV_Initialize());
    EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
    EXPECT_EQ(kDriverPath, loadedDriverPath()) << "the library must have loaded the vendor's driver";
}

TEST(VendorDriver, QueryWithoutBoardsReportsWhatTheDriverSays) {
    REQUIRE_VENDOR_DRIVER();
    // What the driver itself answers on this machine.
    auto create = entryPoint<d2xx::PFN_FT_CreateDeviceInfoList>("FT_CreateDeviceInfoList");
    ASSERT_NE(nullptr, create);
    d2xx::DWORD listed = 0;
    const d2xx::FT_STATUS status = create(&listed);
    std::printf("FT_CreateDeviceInfoList: status %u, %u devices\n", static_cast<unsigned>(status),
                static_cast<unsigned>(listed));
    if (!exists("/dev/bus/usb")) {
        // No usbfs, as in a container and on CI: the driver's USB layer cannot start, and the
        // driver says so with FT_OTHER_ERROR.
        EXPECT_EQ(d2xx::FT_OTHER_ERROR, status);
        EXPECT_EQ(0u, listed);
    }

    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    testing::internal::CaptureStdout();
    const int count = NRV_CV_QueryDevices();
    const std::string console = testing::internal::GetCapturedStdout();
    if (status != d2xx::FT_OK) {
        EXPECT_EQ(0, count);
        EXPECT_STREQ("Could not create a device info list", NRV_CV_GetLastError());
        EXPECT_EQ("", console) << "a failed enumeration prints nothing";
    } else if (listed == 0) {
        EXPECT_EQ(0, count);
        EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
        EXPECT_EQ("No devices found!\nNumber of devices: 0\n", console);
    } else {
        // FTDI devices are attached: whatever they are, the enumeration ends with its count line.
        EXPECT_LE(count, static_cast<int>(listed));
        EXPECT_NE(std::string::npos, console.find("Number of devices: " + std::to_string(count) + "\n"));
    }
    // The library goes on working after the driver's answer.
    EXPECT_TRUE(NRV_CV_Initialize());
    if (count == 0) {
        EXPECT_EQ(0, NRV_CV_OpenDeviceByIndex(0)) << "no board was recorded";
    }
}

} // namespace
