// Device records changing while the read and write threads use them: an enumeration during a
// callback, entries queued for a record that an enumeration has cleared, and callbacks that
// enumerate or close their own board.
#include "devices_fixture.h"

#include <atomic>
#include <cstring>
#include <vector>

using devices_test::DevicesTest;
using devices_test::kBoardId;

namespace {

std::uint8_t patternByte(int i) { return static_cast<std::uint8_t>(i * 7 + 3); }

void queueBytes(std::vector<std::uint8_t> bytes) {
    sim_queue_rx(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void openAndListen(ReadCallback callback) {
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(callback), 1);
}

// --- a callback holding a block while another thread enumerates ---

std::atomic<bool> blockEntered{false};
std::atomic<bool> queryReturned{false};
std::atomic<bool> blockChecked{false};
std::atomic<bool> blockIntact{false};
std::atomic<std::uint32_t> blockLengthSeen{0};

int32_t CORVANE_CALL holdBlock(int32_t, int32_t, uint32_t, uint32_t length, uint8_t* data, uint32_t) {
    blockLengthSeen.store(length);
    blockEntered.store(true);
    testing_support::waitUntil([] { return queryReturned.load(); });
    bool intact = true;
    for (int i = 0; i < 200; ++i) {
        intact = intact && data[i] == patternByte(i);
    }
    blockIntact.store(intact && queryReturned.load());
    blockChecked.store(true);
    return 0;
}

} // namespace

TEST_F(DevicesTest, CallbackBytesStayIntactWhileAnotherThreadEnumerates) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    openAndListen(holdBlock);

    std::vector<std::uint8_t> message = {0xE2, 0xC8};
    for (int i = 0; i < 200; ++i) {
        message.push_back(patternByte(i));
    }
    queueBytes(message);
    ASSERT_TRUE(testing_support::waitUntil([] { return blockEntered.load(); }));
    EXPECT_EQ(blockLengthSeen.load(), 200u);

    // The enumeration clears the record the callback's bytes belong to, and must not wait for it.
    EXPECT_EQ(queryQuietly(), 1);
    queryReturned.store(true);
    ASSERT_TRUE(testing_support::waitUntil([] { return blockChecked.load(); }));
    EXPECT_TRUE(blockIntact.load());
    EXPECT_EQ(sim_is_open(0), 0);
}

namespace {

// --- entries queued for a record that an enumeration clears ---

std::atomic<bool> releaseFirst{false};
std::atomic<int> deliveries{0};
std::atomic<int> values[4];

int32_t CORVANE_CALL recordValue(int32_t, int32_t, uint32_t, uint32_t, uint8_t* data, uint32_t) {
    int n = deliveries.load();
    if (n < 4) {
        values[n].store(data[0]);
    }
    deliveries.store(n + 1);
    if (n == 0) {
        testing_support::waitUntil([] { return releaseFirst.load(); });
    }
    return 0;
}

} // namespace

TEST_F(DevicesTest, EntriesOfAClearedRecordAreConsumedWithoutACallback) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    openAndListen(recordValue);

    // The first message holds the write thread in its callback while the second is queued.
    queueBytes({0xD1, 0x01});
    ASSERT_TRUE(testing_support::waitUntil([] { return deliveries.load() == 1; }));
    queueBytes({0xD1, 0x02});
    // Once the driver's queue is empty the read thread has queued the entry, inside the poll
    // that the enumeration's guard waits for.
    ASSERT_TRUE(testing_support::waitUntil([] { return sim_rx_pending(0) == 0; }));
    EXPECT_EQ(queryQuietly(), 1);
    releaseFirst.store(true);

    // The board is opened and listened to again; its next message is the second one delivered.
    openAndListen(recordValue);
    queueBytes({0xD1, 0x03});
    ASSERT_TRUE(testing_support::waitUntil([] { return deliveries.load() >= 2; }));
    EXPECT_EQ(values[0].load(), 1);
    EXPECT_EQ(values[1].load(), 3);
    EXPECT_EQ(deliveries.load(), 2);
}

namespace {

// --- callbacks that change their own board ---

std::atomic<bool> dataCallbackDone{false};
std::atomic<int> queryFromCallback{-1};
std::atomic<int> openFromCallback{-1};

int32_t CORVANE_CALL enumerateAndReopen(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) {
    queryFromCallback.store(NRV_CV_QueryDevices());
    openFromCallback.store(NRV_CV_OpenDeviceByIndex(0));
    dataCallbackDone.store(true);
    return 0;
}

std::atomic<bool> triggerCallbackDone{false};
std::atomic<int> closeFromTrigger{-1};

int32_t CORVANE_CALL closeOnTrigger(int32_t deviceIndex, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) {
    closeFromTrigger.store(NRV_CV_CloseDeviceByIndex(deviceIndex));
    triggerCallbackDone.store(true);
    return 0;
}

} // namespace

TEST_F(DevicesTest, DataCallbackMayEnumerateAndReopenItsOwnBoard) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    openAndListen(enumerateAndReopen);

    testing::internal::CaptureStdout();
    queueBytes({0xD4, 0x44});
    bool done = testing_support::waitUntil([] { return dataCallbackDone.load(); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t Device 1: Board - S1 (VID: 403, PID: 8088)\nNumber of devices: 1\n");
    ASSERT_TRUE(done);
    EXPECT_EQ(queryFromCallback.load(), 1);
    EXPECT_EQ(openFromCallback.load(), 1);
    EXPECT_EQ(sim_is_open(0), 1);
    EXPECT_EQ(sim_open_count(0), 2u);
}

TEST_F(DevicesTest, TriggerCallbackOnTheReadThreadMayCloseItsOwnBoard) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    openAndListen(closeOnTrigger);

    queueBytes({0xC8, 0x05});
    ASSERT_TRUE(testing_support::waitUntil([] { return triggerCallbackDone.load(); }));
    EXPECT_EQ(closeFromTrigger.load(), 1);
    EXPECT_EQ(sim_is_open(0), 0);
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
}
