// logMessage and setLastError on the context of an opened library: the formatted line reaches the
// file as formatted (percent signs included), overlong texts are cut without overrunning, and a
// reader's last-error text is not overwritten by the next few errors.
#include "board_sim.h"
#include "core/constants.h"
#include "core/library.h"
#include "core/log.h"
#include "corvane.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class LogLine : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        sim_reset();
        ASSERT_EQ(0, NRV_CV_Open(0, 0, 0));
        context = corvane::libraryGuard();
        ASSERT_NE(nullptr, context);
    }

    corvane::HostContext* context = nullptr;
};

TEST_F(LogLine, NothingIsWrittenWithDebugModeOff) {
    corvane::logMessage(context, "Device List: %i devices found!\n", 3);
    corvane::setLastError(context, "Failed to open port");
    EXPECT_STREQ("Failed to open port", NRV_CV_GetLastError());
    EXPECT_FALSE(testing_support::fileExists("Corvane.log"));
}

TEST_F(LogLine, PercentSignsInTheFormattedLineSurvive) {
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    corvane::logMessage(context, "%u%% done\n", 50u);
    corvane::logMessage(context, "[%s]\n", "100% %s %n %d");
    corvane::setLastError(context, "50% of %s lost");
    EXPECT_STREQ("50% of %s lost", NRV_CV_GetLastError());
    EXPECT_EQ("50% done\n[100% %s %n %d]\nCV ERROR: 50% of %s lost\n", testing_support::readFile("Corvane.log"));
}

TEST_F(LogLine, OverlongTextsAreCutToTheirBuffers) {
    ASSERT_EQ(1, NRV_CV_SetDebugMode(1));
    const std::string longLine(3 * corvane::kLogTextSize, 'y');
    corvane::logMessage(context, "%s\n", longLine.c_str());
    EXPECT_EQ(std::string(corvane::kLogTextSize - 1, 'y'), testing_support::readFile("Corvane.log"));

    const std::string longError(2 * corvane::kLastErrorSize, 'e');
    corvane::setLastError(context, longError.c_str());
    EXPECT_EQ(std::string(corvane::kLastErrorSize - 1, 'e'), NRV_CV_GetLastError());
}

TEST_F(LogLine, AReadersTextOutlivesTheNextErrors) {
    corvane::setLastError(context, "first");
    const char* kept = NRV_CV_GetLastError();
    corvane::setLastError(context, "second");
    corvane::setLastError(context, "third");
    corvane::setLastError(context, "fourth");
    EXPECT_STREQ("fourth", NRV_CV_GetLastError());
    EXPECT_STREQ("first", kept);
}

} // namespace
