// The receive settings as NRV_CV_Open reads them: the fast profile, each variable overriding its
// part, and values the library does not know, which keep the default and say so on one line.
#include "core/host_context.h"
#include "core/settings.h"
#include "environment.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using corvane::HostContext;
using corvane::ReceiveSettings;
using testing_support::setEnvironment;

struct SettingsCase {
    const char* profile;
    const char* rx;
    const char* idle;
    const char* latency;
    ReceiveSettings expected;
    const char* stderrLine; // what the library says about a value it ignored, "" for nothing
};

std::ostream& operator<<(std::ostream& out, const SettingsCase& c) {
    return out << "PROFILE=" << c.profile << " RX=" << c.rx << " IDLE=" << c.idle << " LATENCY_MS=" << c.latency;
}

class ReceiveSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ReceiveSettingsTest, AreReadAsTheVariablesSay) {
    const SettingsCase& c = GetParam();
    setEnvironment("CORVANE_PROFILE", c.profile);
    setEnvironment("CORVANE_RX", c.rx);
    setEnvironment("CORVANE_IDLE", c.idle);
    setEnvironment("CORVANE_LATENCY_MS", c.latency);
    auto context = std::make_unique<HostContext>();
    testing::internal::CaptureStderr();
    corvane::readReceiveSettings(context.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderrLine);
    EXPECT_EQ(context->settings.batched, c.expected.batched);
    EXPECT_EQ(context->settings.idleWait, c.expected.idleWait);
    EXPECT_EQ(context->settings.latencyMs, c.expected.latencyMs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveSettingsTest,
    ::testing::Values(
        SettingsCase{"", "", "", "", {false, false, 0}, ""}, SettingsCase{"fast", "", "", "", {true, true, 2}, ""},
        SettingsCase{"default", "", "", "", {false, false, 0}, ""},
        SettingsCase{"fast", "default", "", "", {false, true, 2}, ""},
        SettingsCase{"fast", "", "spin", "10", {true, false, 10}, ""},
        SettingsCase{"", "batched", "", "", {true, false, 0}, ""},
        SettingsCase{"", "", "wait", "255", {false, true, 255}, ""},
        SettingsCase{"", "", "", "1", {false, false, 1}, ""},
        SettingsCase{
            "Fast", "", "", "", {false, false, 0}, "Ignoring CORVANE_PROFILE=\"Fast\": expected fast or default\n"},
        SettingsCase{
            "fast", "batch", "", "", {true, true, 2}, "Ignoring CORVANE_RX=\"batch\": expected batched or default\n"},
        SettingsCase{
            "", "", "sleep", "", {false, false, 0}, "Ignoring CORVANE_IDLE=\"sleep\": expected wait or spin\n"},
        SettingsCase{"fast",
                     "",
                     "",
                     "0",
                     {true, true, 2},
                     "Ignoring CORVANE_LATENCY_MS=\"0\": expected a number of milliseconds from 1 to 255\n"},
        SettingsCase{"",
                     "",
                     "",
                     "256",
                     {false, false, 0},
                     "Ignoring CORVANE_LATENCY_MS=\"256\": expected a number of milliseconds from 1 to 255\n"},
        SettingsCase{"",
                     "",
                     "",
                     "2ms",
                     {false, false, 0},
                     "Ignoring CORVANE_LATENCY_MS=\"2ms\": expected a number of milliseconds from 1 to 255\n"}));

// CORVANE_RECONNECT: off by default, on in the fast profile, and the variable overrides both.
TEST(ReconnectSetting, FollowsTheProfileUnlessItsVariableSaysOtherwise) {
    struct Row {
        const char* profile;
        const char* reconnect;
        bool expected;
        const char* stderrLine;
    };
    const Row rows[] = {
        {"", "", false, ""},
        {"fast", "", true, ""},
        {"fast", "off", false, ""},
        {"default", "auto", true, ""},
        {"", "yes", false, "Ignoring CORVANE_RECONNECT=\"yes\": expected auto or off\n"},
        {"fast", "Auto", true, "Ignoring CORVANE_RECONNECT=\"Auto\": expected auto or off\n"},
    };
    for (const Row& row : rows) {
        testing_support::useProfile(row.profile);
        setEnvironment("CORVANE_RECONNECT", row.reconnect);
        auto context = std::make_unique<HostContext>();
        testing::internal::CaptureStderr();
        corvane::readReceiveSettings(context.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.stderrLine) << row.profile << "/" << row.reconnect;
        EXPECT_EQ(context->settings.reconnect, row.expected) << row.profile << "/" << row.reconnect;
    }
}

// CORVANE_SELFTEST_CYCLES: the self test's 100000 cycles unless a number from 1 to 100000 is given.
TEST(SelfTestCyclesSetting, IsANumberOfCyclesFromOneToTheFullTest) {
    struct Row {
        const char* value;
        std::int32_t expected;
        const char* stderrLine;
    };
    const Row rows[] = {
        {"", 100000, ""},
        {"1", 1, ""},
        {"300", 300, ""},
        {"100000", 100000, ""},
        {"0", 100000, "Ignoring CORVANE_SELFTEST_CYCLES=\"0\": expected a number of cycles from 1 to 100000\n"},
        {"100001", 100000,
         "Ignoring CORVANE_SELFTEST_CYCLES=\"100001\": expected a number of cycles from 1 to 100000\n"},
        {"5k", 100000, "Ignoring CORVANE_SELFTEST_CYCLES=\"5k\": expected a number of cycles from 1 to 100000\n"},
    };
    for (const Row& row : rows) {
        setEnvironment("CORVANE_SELFTEST_CYCLES", row.value);
        auto context = std::make_unique<HostContext>();
        testing::internal::CaptureStderr();
        corvane::readReceiveSettings(context.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.stderrLine) << row.value;
        EXPECT_EQ(context->settings.selfTestCycles, row.expected) << row.value;
    }
}

} // namespace

// CORVANE_DRIVER: the vendor's driver unless `open` or a file is named; a file is anything with a
// path separator or a library's ending, and any other word is reported and changes nothing.
TEST(DriverSetting, ChoosesTheRoadOrAFileAndReportsAnythingElse) {
    struct Row {
        const char* value;
        corvane::DriverChoice expected;
        const char* path;
        const char* stderrLine;
    };
    using D = corvane::DriverChoice;
#if defined(_WIN32)
    constexpr bool kHaveOpen = false;
#else
    constexpr bool kHaveOpen = true;
#endif
    const std::string longPath = "/" + std::string(511, 'd');
    const std::string longLine = "Ignoring CORVANE_DRIVER=\"" + longPath +
                                 "\": expected vendor, open or the path of a D2XX driver library (at most 511 "
                                 "characters)\n";
    const Row rows[] = {
        {"", D::vendor, "", ""},
        {"vendor", D::vendor, "", ""},
        {"/opt/vendor/libftd2xx.so.1.4.27", D::path, "/opt/vendor/libftd2xx.so.1.4.27", ""},
        {"libother_d2xx.so", D::path, "libother_d2xx.so", ""},
        {"C:\\drivers\\ftd2xx64", D::path, "C:\\drivers\\ftd2xx64", ""},
        {"ftd2xx.dll", D::path, "ftd2xx.dll", ""},
        {"./d2xx", D::path, "./d2xx", ""},
        {"Open", D::vendor, "",
         kHaveOpen ? "Ignoring CORVANE_DRIVER=\"Open\": expected vendor, open or the path of a D2XX driver library "
                     "(at most 511 characters)\n"
                   : "Ignoring CORVANE_DRIVER=\"Open\": expected vendor or the path of a D2XX driver library (at "
                     "most 511 characters); this platform has no open driver\n"},
        {"libusb", D::vendor, "",
         kHaveOpen ? "Ignoring CORVANE_DRIVER=\"libusb\": expected vendor, open or the path of a D2XX driver library "
                     "(at most 511 characters)\n"
                   : "Ignoring CORVANE_DRIVER=\"libusb\": expected vendor or the path of a D2XX driver library (at "
                     "most 511 characters); this platform has no open driver\n"},
        {"open", kHaveOpen ? D::open : D::vendor, "",
         kHaveOpen ? ""
                   : "Ignoring CORVANE_DRIVER=\"open\": expected vendor or the path of a D2XX driver library (at "
                     "most 511 characters); this platform has no open driver\n"},
    };
    for (const Row& row : rows) {
        setEnvironment("CORVANE_DRIVER", row.value);
        auto context = std::make_unique<HostContext>();
        testing::internal::CaptureStderr();
        corvane::readReceiveSettings(context.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.stderrLine) << row.value;
        EXPECT_EQ(context->settings.driver, row.expected) << row.value;
        EXPECT_STREQ(context->settings.driverPath, row.path) << row.value;
    }
    // A path that does not fit is refused whole rather than cut to another file's name.
    if (kHaveOpen) {
        setEnvironment("CORVANE_DRIVER", longPath.c_str());
        auto context = std::make_unique<HostContext>();
        testing::internal::CaptureStderr();
        corvane::readReceiveSettings(context.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), longLine);
        EXPECT_EQ(context->settings.driver, D::vendor);
    }
    setEnvironment("CORVANE_DRIVER", "");
}
