// Selecting the active board and reading the recorded names and serial numbers.
#include "devices_fixture.h"

using devices_test::DevicesTest;
using devices_test::kBoardId;

TEST_F(DevicesTest, SelectByIndexAcceptsOnlyRecordedSlots) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(kBoardId, "S2", "Board Two");
    ASSERT_EQ(queryQuietly(), 2);

    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
    EXPECT_EQ(lastError(), "No error found!\n");
    for (int index : {2, -1, 255, 256}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(index), 0);
        EXPECT_EQ(lastError(), "Invalid device index");
    }
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    EXPECT_EQ(log(), "Device List: 2 devices found!\n"
                     "\t Device 1: Board One - S1 (VID: 403, PID: 8088)\n"
                     "\t Device 2: Board Two - S2 (VID: 403, PID: 8088)\n"
                     "CV ERROR: Invalid device index\n"
                     "CV ERROR: Invalid device index\n"
                     "CV ERROR: Invalid device index\n"
                     "CV ERROR: Invalid device index\n");
}

TEST_F(DevicesTest, WithNoBoardRecordedNothingCanBeSelected) {
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 0);
    EXPECT_EQ(lastError(), "Invalid device index");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Board"), 0);
    EXPECT_EQ(lastError(), "Invalid device name");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName(""), 0);
    EXPECT_EQ(lastError(), "Invalid device name");
}

TEST_F(DevicesTest, SelectByNameComparesExactlyAndRefusesANullName) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);

    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("board"), 0);
    EXPECT_EQ(lastError(), "Invalid device name");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Board "), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Boar"), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName(nullptr), 0);
    EXPECT_EQ(lastError(), "Invalid device name");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Board"), 1);
}

TEST_F(DevicesTest, TextQueriesCoverTheWholeTableAndNothingBeyond) {
    sim_add_device(kBoardId, "S1", "Board One");
    ASSERT_EQ(queryQuietly(), 1);

    EXPECT_STREQ(NRV_CV_GetDeviceName(0), "Board One");
    EXPECT_STREQ(NRV_CV_GetDeviceSerial(0), "S1");
    // Slots beyond the recorded boards are cleared records: empty texts, not null.
    for (int index : {1, 200, 255}) {
        SCOPED_TRACE(index);
        ASSERT_NE(NRV_CV_GetDeviceName(index), nullptr);
        EXPECT_STREQ(NRV_CV_GetDeviceName(index), "");
        ASSERT_NE(NRV_CV_GetDeviceSerial(index), nullptr);
        EXPECT_STREQ(NRV_CV_GetDeviceSerial(index), "");
    }
    for (int index : {-1, 256, 100000, -100000}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(NRV_CV_GetDeviceName(index), nullptr);
        EXPECT_EQ(NRV_CV_GetDeviceSerial(index), nullptr);
    }
    // The queries report nothing.
    EXPECT_EQ(lastError(), "No error found!\n");
}

TEST_F(DevicesTest, EveryDeviceExportDoesNothingWhileTheLibraryIsClosed) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    NRV_CV_Close();

    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_QueryDevices(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Board"), 0);
    EXPECT_EQ(NRV_CV_GetDeviceName(0), nullptr);
    EXPECT_EQ(NRV_CV_GetDeviceSerial(0), nullptr);
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 0);
    EXPECT_EQ(NRV_CV_OpenDeviceByName("Board"), 0);
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 0);
    EXPECT_EQ(NRV_CV_CloseDeviceByName("Board"), 0);
    EXPECT_EQ(sim_call_count("FT_CreateDeviceInfoList"), 1u);
    EXPECT_EQ(sim_call_count("FT_OpenEx"), 0u);
    EXPECT_EQ(sim_call_count("FT_Close"), 0u);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Library not initialized");
}
