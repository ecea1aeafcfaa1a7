// Opening and closing the library through its exports: the guard in front of every export before
// open and after close, the identification texts, and a second open that starts from scratch.
#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr const char* kNotInitialized = "Library not initialized";
constexpr const char* kNoError = "No error found!\n";
constexpr const char* kNoDevice = "SendTrigger: No device was selected";
constexpr std::uint32_t kSupportedBoard = 0x04038088u;

int32_t CORVANE_CALL ignoreMessage(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return 0; }

// Calls every guarded export with arguments that would act on an open library (a listed board,
// valid names and data) and expects each to refuse.
void expectEveryGuardedExportRefuses() {
    const std::uint8_t block[3] = {1, 2, 3};
    EXPECT_STREQ(kNotInitialized, NRV_CV_GetLastError());
    EXPECT_EQ(0, NRV_CV_SetDebugMode(1));
    EXPECT_FALSE(NRV_CV_Initialize());
    EXPECT_EQ(0, NRV_CV_QueryDevices());
    EXPECT_EQ(nullptr, NRV_CV_GetDeviceName(0));
    EXPECT_EQ(nullptr, NRV_CV_GetDeviceSerial(0));
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(0));
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByName("Board"));
    EXPECT_EQ(0, NRV_CV_OpenDeviceByIndex(0));
    EXPECT_EQ(0, NRV_CV_OpenDeviceByName("Board"));
    EXPECT_EQ(0, NRV_CV_CloseDeviceByIndex(0));
    EXPECT_EQ(0, NRV_CV_CloseDeviceByName("Board"));
    EXPECT_EQ(0, NRV_CV_SendTrigger(0x80));
    EXPECT_EQ(0, NRV_CV_SendByte(2, 0x41));
    EXPECT_EQ(0, NRV_CV_SendBlock(4, block, sizeof block));
    EXPECT_EQ(0, NRV_CV_SendTransferControlByte(2, 1));
    EXPECT_EQ(0, NRV_CV_RegisterReadCallback(ignoreMessage));
    EXPECT_EQ(0, NRV_CV_RegisterReadCallbackForChannel(ignoreMessage, 3));
    const std::uint8_t steps[2] = {1, 2};
    EXPECT_EQ(0, NRV_CV_LEDBlinky(1, 1, steps, 2));
    EXPECT_EQ(0, NRV_CV_PerformSelfTest());
    EXPECT_STREQ(kNotInitialized, NRV_CV_GetLastError());
}

// Each build names its own word size: a 64-bit library, on Windows or Linux, must not answer "32-bit".
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr const char* kVersionString = "1.0.0.7 - 64-bit";
#else
constexpr const char* kVersionString = "1.0.0.7 - 32-bit";
#endif

// The constant exports answer whether or not the library is open.
void expectIdentification() {
    EXPECT_STREQ("NRV Corvane Library", NRV_CV_GetName());
    EXPECT_STREQ(kVersionString, NRV_CV_GetVersionString());
    EXPECT_STREQ("1.0", NRV_CV_GetInterfaceVersion());
    EXPECT_EQ(0, NRV_CV_CheckCompatibility());
    std::uint16_t numbers[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    NRV_CV_GetVersionControl(&numbers[0], &numbers[1], &numbers[2], &numbers[3]);
    EXPECT_EQ(1, numbers[0]);
    EXPECT_EQ(0, numbers[1]);
    EXPECT_EQ(0, numbers[2]);
    EXPECT_EQ(5, numbers[3]);
    NRV_CV_GetVersionControl(nullptr, nullptr, nullptr, nullptr); // writes nothing, and survives
    std::uint16_t build = 0xEEEE;
    NRV_CV_GetVersionControl(nullptr, nullptr, nullptr, &build);
    EXPECT_EQ(5, build);
    NRV_CV_Release();
}

TEST(Lifecycle, BeforeOpenEveryGuardedExportRefuses) {
    sim_reset();
    sim_add_device(kSupportedBoard, "SD0001", "Board");
    expectEveryGuardedExportRefuses();
    expectIdentification();
    EXPECT_EQ(0, NRV_CV_Close()); // closing a closed library does nothing
    EXPECT_EQ(0, NRV_CV_Close());
    EXPECT_FALSE(NRV_CV_Initialize());
    // No export reached the driver.
    EXPECT_EQ(0u, sim_call_count("FT_CreateDeviceInfoList"));
    EXPECT_EQ(0u, sim_call_count("FT_OpenEx"));
    EXPECT_EQ(0u, sim_write_call_count(0));
}

TEST(Lifecycle, OpenAnswersAndCloseShutsTheGuardAgain) {
    testing_support::enterFreshDirectory();
    sim_reset();
    sim_add_device(kSupportedBoard, "SD0001", "Board");
    EXPECT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_TRUE(NRV_CV_Initialize());
    EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
    expectIdentification();
    EXPECT_EQ(1, NRV_CV_SetDebugMode(0));

    // An error in debug mode is logged; after close, no export may log or report anything more.
    EXPECT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    EXPECT_STREQ(kNoDevice, NRV_CV_GetLastError());
    const std::string logBefore = testing_support::readFile("Corvane.log");
    EXPECT_EQ(std::string("CV ERROR: ") + kNoDevice + "\n", logBefore);

    EXPECT_EQ(0, NRV_CV_Close());
    EXPECT_FALSE(NRV_CV_Initialize());
    expectEveryGuardedExportRefuses();
    expectIdentification();
    EXPECT_EQ(logBefore, testing_support::readFile("Corvane.log"));
    EXPECT_EQ(0u, sim_call_count("FT_CreateDeviceInfoList"));
    EXPECT_EQ(0u, sim_call_count("FT_OpenEx"));
    EXPECT_EQ(0, NRV_CV_Close());
}

TEST(Lifecycle, OpenArgumentsChangeNothing) {
    EXPECT_EQ(0, NRV_CV_Open(-1, 7, 0x7FFFFFFF));
    EXPECT_TRUE(NRV_CV_Initialize());
    EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
    EXPECT_EQ(1, NRV_CV_SetDebugMode(0));
}

TEST(Lifecycle, SecondOpenWithoutCloseStartsAFreshContext) {
    testing_support::enterFreshDirectory();
    sim_reset();
    sim_add_device(kSupportedBoard, "SD0001", "Board one");
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_QueryDevices());
    EXPECT_STREQ("Board one", NRV_CV_GetDeviceName(0));
    ASSERT_EQ(1, NRV_CV_SelectActiveDeviceByIndex(0));
    EXPECT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(5));
    EXPECT_STRNE(kNoError, NRV_CV_GetLastError());
    ASSERT_TRUE(testing_support::fileExists("Corvane.log"));
    const std::string firstLog = testing_support::readFile("Corvane.log");

    EXPECT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_TRUE(NRV_CV_Initialize());
    EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
    // No boards listed and none active in the new context, and its debug mode is off.
    EXPECT_STREQ("", NRV_CV_GetDeviceName(0));
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(0));
    EXPECT_STREQ("Invalid device index", NRV_CV_GetLastError());
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    EXPECT_STREQ(kNoDevice, NRV_CV_GetLastError());
    EXPECT_EQ(0u, sim_write_call_count(0));
    EXPECT_EQ(firstLog, testing_support::readFile("Corvane.log"));
}

} // namespace
