// Enumeration through the simulated driver: which boards are recorded, in which slots, and the
// exact console, log and error texts.
#include "devices_fixture.h"

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

using devices_test::DevicesTest;
using devices_test::kBoardId;
using devices_test::kLastBoardId;

namespace {

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace

TEST_F(DevicesTest, ThreeDevicesTwoSupportedFillSlotsZeroAndOne) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(0x04038090, "S2", "Other Board");
    sim_add_device(kLastBoardId, "S3", "Board Three");

    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t Device 1: Board One - S1 (VID: 403, PID: 8088)\n"
                                                      "\t Device 3: Board Three - S3 (VID: 403, PID: 808F)\n"
                                                      "Number of devices: 2\n");
    EXPECT_EQ(log(), "Device List: 3 devices found!\n"
                     "\t Device 1: Board One - S1 (VID: 403, PID: 8088)\n"
                     "Invalid device ID: 0x0403, 0x8090. Corvane does not support this device\n"
                     "\t Device 3: Board Three - S3 (VID: 403, PID: 808F)\n");
    EXPECT_STREQ(NRV_CV_GetDeviceName(0), "Board One");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(0), "S1");
    EXPECT_STREQ(NRV_CV_GetDeviceName(1), "Board Three");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(1), "S3");
    EXPECT_STREQ(NRV_CV_GetDeviceName(2), "");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(2), "");
    EXPECT_EQ(lastError(), "No error found!\n");
}

TEST_F(DevicesTest, SerialEndingInAIsSkippedSilentlyAndLinesKeepListPositions) {
    sim_add_device(kBoardId, "SD0001A", "Channel A");
    sim_add_device(kBoardId, "SD0001B", "Channel B");
    sim_add_device(kBoardId, "", "No Serial"); // no last character, so not skipped by the 'A' rule

    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t Device 2: Channel B - SD0001B (VID: 403, PID: 8088)\n"
                                                      "\t Device 3: No Serial -  (VID: 403, PID: 8088)\n"
                                                      "Number of devices: 2\n");
    EXPECT_EQ(log(), "Device List: 3 devices found!\n"
                     "\t Device 2: Channel B - SD0001B (VID: 403, PID: 8088)\n"
                     "\t Device 3: No Serial -  (VID: 403, PID: 8088)\n");
    EXPECT_STREQ(NRV_CV_GetDeviceName(0), "Channel B");
    EXPECT_STREQ(NRV_CV_GetDeviceName(1), "No Serial");
}

TEST_F(DevicesTest, OnlyTheSupportedVendorAndItsEightProductIdsAreRecorded) {
    sim_add_device(0x04038087, "P1", "Below");
    sim_add_device(0x04038088, "P2", "First");
    sim_add_device(0x0403808F, "P3", "Last");
    sim_add_device(0x04038090, "P4", "Above");
    sim_add_device(0xABCD8088, "P5", "Foreign");
    sim_add_device(0x00000000, "", ""); // a board another process holds: blank node

    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t Device 2: First - P2 (VID: 403, PID: 8088)\n"
                                                      "\t Device 3: Last - P3 (VID: 403, PID: 808F)\n"
                                                      "Number of devices: 2\n");
    EXPECT_EQ(log(), "Device List: 6 devices found!\n"
                     "Invalid device ID: 0x0403, 0x8087. Corvane does not support this device\n"
                     "\t Device 2: First - P2 (VID: 403, PID: 8088)\n"
                     "\t Device 3: Last - P3 (VID: 403, PID: 808F)\n"
                     "Invalid device ID: 0x0403, 0x8090. Corvane does not support this device\n"
                     "Invalid device ID: 0xABCD, 0x8088. Corvane does not support this device\n"
                     "Invalid device ID: 0x0000, 0x0000. Corvane does not support this device\n");
}

TEST_F(DevicesTest, NoDevicesPrintsTheTwoLinesAndKeepsTheLastError) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No devices found!\nNumber of devices: 0\n");
    EXPECT_EQ(lastError(), "No error found!\n");
    EXPECT_EQ(log(), "");
    EXPECT_EQ(sim_call_count("FT_GetDeviceInfoList"), 0u);
}

TEST_F(DevicesTest, FailuresPrintNothingAndLeaveNoBoardRecorded) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);

    struct Case {
        const char* entryPoint;
        const char* text;
    };
    const Case cases[] = {
        {"FT_CreateDeviceInfoList", "Could not create a device info list"},
        {"FT_GetDeviceInfoList", "Could not get the device info list"},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.entryPoint);
        ASSERT_EQ(queryQuietly(), 1);
        sim_fail_next(failure.entryPoint, 1, 4);
        testing::internal::CaptureStdout();
        EXPECT_EQ(NRV_CV_QueryDevices(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(lastError(), failure.text);
        EXPECT_NE(log().find(std::string("CV ERROR: ") + failure.text + "\n"), std::string::npos);
        // The records were cleared before the driver failed: nothing can be addressed.
        EXPECT_STREQ(NRV_CV_GetDeviceName(0), "");
        EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 0);
        EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 0);
        EXPECT_EQ(lastError(), "Device index is outside of bounds");
    }
}

TEST_F(DevicesTest, MoreThan256SupportedBoardsRecordTheFirst256AndLogOneLineForTheRest) {
    sim_set_listed_count(300);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 256);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(out, "\t Device "), 256);
    EXPECT_NE(out.find("\t Device 256: "), std::string::npos);
    EXPECT_EQ(out.find("\t Device 257: "), std::string::npos);
    const std::string countLine = "Number of devices: 256\n";
    ASSERT_GE(out.size(), countLine.size());
    EXPECT_EQ(out.substr(out.size() - countLine.size()), countLine);

    EXPECT_STREQ(NRV_CV_GetDeviceSerial(0), "SIM00000");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(255), "SIM00255");
    EXPECT_EQ(NRV_CV_GetDeviceSerial(256), nullptr);
    const std::string restLine = "Device List: 44 more supported devices not recorded; the limit is 256\n";
    std::string text = log();
    EXPECT_EQ(countOf(text, restLine), 1);
    ASSERT_GE(text.size(), restLine.size());
    EXPECT_EQ(text.substr(text.size() - restLine.size()), restLine);
    EXPECT_EQ(lastError(), "No error found!\n");
}

TEST_F(DevicesTest, TextFieldsFullToTheLastByteAreCopiedBoundedAndTerminated) {
    char serial[16];
    char description[64];
    std::memset(serial, 'S', sizeof serial);
    serial[15] = 'Z';
    std::memset(description, 'd', sizeof description);
    sim_add_raw_device(kBoardId, serial, description);
    serial[15] = 'A'; // full and ending in 'A': the rule sees the sixteenth character
    sim_add_raw_device(kBoardId, serial, description);

    const std::string fullSerial = std::string(15, 'S') + "Z";
    const std::string cutName(63, 'd'); // the record's name holds 63 characters and its terminator
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t Device 1: " + cutName + " - " + fullSerial + " (VID: 403, PID: 8088)\nNumber of devices: 1\n");
    EXPECT_EQ(std::string(NRV_CV_GetDeviceSerial(0)), fullSerial);
    EXPECT_EQ(std::string(NRV_CV_GetDeviceName(0)), cutName);

    // The whole sixteen-character serial reaches the driver as the open key.
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(sim_is_open(0), 1);
}

TEST_F(DevicesTest, SecondEnumerationRebuildsTheSlotsFromScratch) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(kBoardId, "S2", "Board Two");
    ASSERT_EQ(queryQuietly(), 2);
    sim_reset();
    sim_add_device(kBoardId, "T1", "Only Board");
    EXPECT_EQ(queryQuietly(), 1);
    EXPECT_STREQ(NRV_CV_GetDeviceName(0), "Only Board");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(0), "T1");
    EXPECT_STREQ(NRV_CV_GetDeviceName(1), "");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(1), "");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Board Two"), 0);
}

// The driver fills as many nodes as its newest list holds, whatever count it is given: two
// enumerations interleaving their create and read calls would overrun the smaller array. Two
// threads enumerate while a third keeps changing the size of the driver's list.
TEST_F(DevicesTest, ConcurrentEnumerationsNeverMixTwoLists) {
    sim_add_device(kBoardId, "S1", "Board");
    std::atomic<bool> stop{false};
    std::thread resizer([&stop] {
        for (int i = 0; !stop.load(); ++i) {
            sim_set_listed_count(i % 2 == 0 ? 1 : 100);
            std::this_thread::yield();
        }
    });
    std::atomic<int> wrongCounts{0};
    auto enumerate = [&wrongCounts] {
        for (int i = 0; i < 1000; ++i) {
            int count = NRV_CV_QueryDevices();
            if (count != 1 && count != 100) {
                wrongCounts.fetch_add(1);
            }
        }
    };
    testing::internal::CaptureStdout();
    std::thread first(enumerate);
    std::thread second(enumerate);
    first.join();
    second.join();
    stop.store(true);
    resizer.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(wrongCounts.load(), 0);
    EXPECT_EQ(lastError(), "No error found!\n");
}
