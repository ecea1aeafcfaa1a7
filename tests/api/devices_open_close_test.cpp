// Opening and closing boards by index and by name: driver calls, port settings, log lines and
// error texts.
#include "devices_fixture.h"

using devices_test::DevicesTest;
using devices_test::kBoardId;

TEST_F(DevicesTest, OpenConfiguresThePortAndCloseReleasesIt) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);

    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(sim_is_open(0), 1);
    EXPECT_EQ(sim_baud_rate(0), 9600u);
    EXPECT_EQ(sim_purge_mask(0), 3u);
    EXPECT_EQ(sim_read_timeout(0), 6000u);
    EXPECT_EQ(sim_write_timeout(0), 6000u);
    EXPECT_EQ(sim_call_count("FT_Purge"), 1u);

    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    EXPECT_EQ(sim_is_open(0), 0);
    EXPECT_EQ(lastError(), "No error found!\n");
    EXPECT_EQ(log(), "Device List: 1 devices found!\n"
                     "\t Device 1: Board - S1 (VID: 403, PID: 8088)\n"
                     "Successfully opened device: Board / S1\n"
                     "Successfully closed device: Board / S1\n");
}

TEST_F(DevicesTest, OpeningAnOpenBoardFailsAndKeepsTheFirstOpening) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);

    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Failed to open port");
    EXPECT_EQ(sim_is_open(0), 1);
    EXPECT_EQ(sim_open_count(0), 1u);
    // A refused open configures nothing.
    EXPECT_EQ(sim_call_count("FT_SetBaudRate"), 1u);

    // The first opening's handle is still the record's: the close reaches the driver's board.
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    EXPECT_EQ(sim_is_open(0), 0);
    EXPECT_EQ(log(), "Device List: 1 devices found!\n"
                     "\t Device 1: Board - S1 (VID: 403, PID: 8088)\n"
                     "Successfully opened device: Board / S1\n"
                     "Error: Cannot open device: Board / S1\n"
                     "CV ERROR: Failed to open port\n"
                     "Successfully closed device: Board / S1\n");
}

TEST_F(DevicesTest, OpenAndCloseRefuseIndicesOutsideTheRecordedBoards) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    for (int index : {-1, 1, 255, 256}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(NRV_CV_OpenDeviceByIndex(index), 0);
        EXPECT_EQ(lastError(), "Device index is outside of bounds");
        EXPECT_EQ(NRV_CV_CloseDeviceByIndex(index), 0);
        EXPECT_EQ(lastError(), "Device index is outside of bounds");
    }
    EXPECT_EQ(sim_call_count("FT_OpenEx"), 0u);
    EXPECT_EQ(sim_call_count("FT_Close"), 0u);
}

TEST_F(DevicesTest, DriverRefusingTheOpenLeavesTheRecordClosed) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    sim_fail_next("FT_OpenEx", 1, 2);

    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Failed to open port");
    EXPECT_EQ(sim_call_count("FT_SetBaudRate"), 0u);
    EXPECT_EQ(sim_call_count("FT_Purge"), 0u);
    EXPECT_EQ(sim_call_count("FT_SetTimeouts"), 0u);
    // Still closed: a close reaches the driver with no handle and fails.
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Failed to close USB device");
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
}

TEST_F(DevicesTest, RefusedPortSettingsStillCountAsOpen) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    sim_fail_next("FT_SetBaudRate", 1, 4);
    sim_fail_next("FT_Purge", 1, 4);
    sim_fail_next("FT_SetTimeouts", 1, 4);
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(lastError(), "No error found!\n");
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
}

TEST_F(DevicesTest, ClosingANeverOpenedSlotFails) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Failed to close USB device");
    EXPECT_EQ(log(), "Device List: 1 devices found!\n"
                     "\t Device 1: Board - S1 (VID: 403, PID: 8088)\n"
                     "Error: Could not close device: Board / S1\n"
                     "CV ERROR: Failed to close USB device\n");
}

TEST_F(DevicesTest, DriverRefusingTheCloseKeepsTheBoardOpen) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    sim_fail_next("FT_Close", 1, 4);
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Failed to close USB device");
    EXPECT_EQ(sim_is_open(0), 1);
    // The handle was kept, so the next close succeeds.
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    EXPECT_EQ(sim_is_open(0), 0);
}

TEST_F(DevicesTest, ByNameOpenAndCloseActOnEveryBoardOfThatName) {
    sim_add_device(kBoardId, "S1", "Twin");
    sim_add_device(kBoardId, "S2", "Single");
    sim_add_device(kBoardId, "S3", "Twin");
    ASSERT_EQ(queryQuietly(), 3);

    EXPECT_EQ(NRV_CV_OpenDeviceByName("Twin"), 1);
    EXPECT_EQ(sim_is_open(0), 1);
    EXPECT_EQ(sim_is_open(1), 0);
    EXPECT_EQ(sim_is_open(2), 1);
    EXPECT_EQ(sim_baud_rate(2), 9600u);

    EXPECT_EQ(NRV_CV_CloseDeviceByName("Twin"), 1);
    EXPECT_EQ(sim_is_open(0), 0);
    EXPECT_EQ(sim_is_open(2), 0);
    EXPECT_EQ(lastError(), "No error found!\n");
    EXPECT_EQ(log(), "Device List: 3 devices found!\n"
                     "\t Device 1: Twin - S1 (VID: 403, PID: 8088)\n"
                     "\t Device 2: Single - S2 (VID: 403, PID: 8088)\n"
                     "\t Device 3: Twin - S3 (VID: 403, PID: 8088)\n"
                     "Successfully opened device: Twin / S1\n"
                     "Successfully opened device: Twin / S3\n"
                     "Successfully closed device: Twin / S1\n"
                     "Successfully closed device: Twin / S3\n");
}

TEST_F(DevicesTest, ByNameFailuresShowOnlyInTheLastErrorAndTheWalkGoesOn) {
    sim_add_device(kBoardId, "S1", "Twin");
    sim_add_device(kBoardId, "S2", "Twin");
    ASSERT_EQ(queryQuietly(), 2);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);

    EXPECT_EQ(NRV_CV_OpenDeviceByName("Twin"), 1);
    EXPECT_EQ(lastError(), "Failed to open port");
    EXPECT_EQ(sim_is_open(1), 1);

    sim_fail_next("FT_Close", 1, 4);
    EXPECT_EQ(NRV_CV_CloseDeviceByName("Twin"), 1);
    EXPECT_EQ(lastError(), "Failed to close USB device");
    EXPECT_EQ(sim_is_open(0), 1);
    EXPECT_EQ(sim_is_open(1), 0);
}

TEST_F(DevicesTest, ByNameWithNoMatchOrANullNameDoesNothing) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    const std::string before = log();

    EXPECT_EQ(NRV_CV_OpenDeviceByName("Nothing"), 1);
    EXPECT_EQ(NRV_CV_OpenDeviceByName(nullptr), 1);
    EXPECT_EQ(NRV_CV_CloseDeviceByName("Nothing"), 1);
    EXPECT_EQ(NRV_CV_CloseDeviceByName(nullptr), 1);
    EXPECT_EQ(sim_call_count("FT_OpenEx"), 0u);
    EXPECT_EQ(sim_call_count("FT_Close"), 0u);
    EXPECT_EQ(lastError(), "No error found!\n");
    EXPECT_EQ(log(), before);
}

// A board left open by an enumeration could never be closed or opened again in this process.
TEST_F(DevicesTest, EnumerationClosesOpenBoardsSoTheyCanBeOpenedAgain) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(kBoardId, "S2", "Board Two");
    ASSERT_EQ(queryQuietly(), 2);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(1), 1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 2);
    // Closing is a log matter only; the console shows the usual list.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t Device 1: Board One - S1 (VID: 403, PID: 8088)\n"
                                                      "\t Device 2: Board Two - S2 (VID: 403, PID: 8088)\n"
                                                      "Number of devices: 2\n");
    EXPECT_EQ(sim_is_open(1), 0);
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(1), 1);
    EXPECT_EQ(sim_is_open(1), 1);
    EXPECT_EQ(sim_open_count(1), 2u);
    EXPECT_EQ(lastError(), "No error found!\n");

    const std::string list = "Device List: 2 devices found!\n"
                             "\t Device 1: Board One - S1 (VID: 403, PID: 8088)\n"
                             "\t Device 2: Board Two - S2 (VID: 403, PID: 8088)\n";
    EXPECT_EQ(log(), list + "Successfully opened device: Board Two / S2\n" +
                         "Successfully closed device: Board Two / S2\n" + list +
                         "Successfully opened device: Board Two / S2\n");
}
