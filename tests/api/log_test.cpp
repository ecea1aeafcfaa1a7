// The debug log and the last error as an application sees them: Corvane.log in the current
// directory, written only in debug mode, and the bare error text behind NRV_CV_GetLastError.
#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

constexpr const char* kNoError = "No error found!\n";
constexpr const char* kNoDevice = "SendTrigger: No device was selected";
constexpr const char* kInvalidIndex = "Invalid device index";

std::string logLine(const char* error) { return std::string("CV ERROR: ") + error + "\n"; }

void writeFile(const char* path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        sim_reset();
    }
};

TEST_F(Log, DebugModeOffWritesNothingWhileTheLastErrorChanges) {
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    EXPECT_STREQ(kNoDevice, NRV_CV_GetLastError());
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(-1));
    EXPECT_STREQ(kInvalidIndex, NRV_CV_GetLastError());
    EXPECT_EQ(1, NRV_CV_SetDebugMode(0));
    EXPECT_EQ(0, NRV_CV_SendByte(2, 0x41));
    EXPECT_STREQ(kNoDevice, NRV_CV_GetLastError());
    EXPECT_FALSE(testing_support::fileExists("Corvane.log"));
}

TEST_F(Log, DebugModeOffLeavesAnOlderLogAlone) {
    writeFile("Corvane.log", "an older run\n");
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    EXPECT_EQ("an older run\n", testing_support::readFile("Corvane.log"));
}

TEST_F(Log, TheFirstLineCreatesTheLog) {
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_FALSE(testing_support::fileExists("Corvane.log")) << "switching the mode on writes no line";
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    // Each line is flushed at once: the file is complete while the library stays open.
    EXPECT_EQ(logLine(kNoDevice), testing_support::readFile("Corvane.log"));
}

TEST_F(Log, TheFirstLineEmptiesAnOlderLog) {
    writeFile("Corvane.log", std::string(5000, 'x') + "\n");
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(7)); // any non-zero mode
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(0));
    EXPECT_EQ(logLine(kInvalidIndex), testing_support::readFile("Corvane.log"));
}

TEST_F(Log, AnErrorGivesTheBareTextAndOneLogLine) {
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    EXPECT_STREQ(kNoDevice, NRV_CV_GetLastError()); // no prefix, no newline
    // A shorter message replaces a longer one without a trace of it.
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(3));
    EXPECT_STREQ(kInvalidIndex, NRV_CV_GetLastError());
    EXPECT_EQ(logLine(kNoDevice) + logLine(kInvalidIndex), testing_support::readFile("Corvane.log"));
}

TEST_F(Log, SwitchingOffStopsLinesAndSwitchingOnAppends) {
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(0));
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(3));
    EXPECT_STREQ(kInvalidIndex, NRV_CV_GetLastError());
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SendByte(1, 2));
    EXPECT_EQ(logLine(kNoDevice) + logLine(kNoDevice), testing_support::readFile("Corvane.log"));
}

TEST_F(Log, ANewOpenEmptiesTheLogAgainAtItsFirstLine) {
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(0, NRV_CV_SendTrigger(1));
    ASSERT_EQ(0, NRV_CV_Close());
    ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
    EXPECT_STREQ(kNoError, NRV_CV_GetLastError());
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    EXPECT_EQ(logLine(kNoDevice), testing_support::readFile("Corvane.log")) << "nothing written yet";
    EXPECT_EQ(0, NRV_CV_SelectActiveDeviceByIndex(9));
    EXPECT_EQ(logLine(kInvalidIndex), testing_support::readFile("Corvane.log"));
}

} // namespace
