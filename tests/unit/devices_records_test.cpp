// The device records as the read and write threads see them: what enumeration clears and keeps,
// what a reopen reuses, which board is active, the light-show stop, the failures that need a
// context without a driver or database, and the per-record guard under concurrent use.
#include "board_sim.h"
#include "core/library.h"
#include "core/log.h"
#include "corvane.h"
#include "devices/devices.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace corvane;

namespace {

constexpr std::uint32_t kBoardId = 0x04038088;

int32_t CORVANE_CALL ignoreMessage(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return 0; }

class DeviceRecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        NRV_CV_Open(0, 0, 0);
        context = libraryGuard();
        ASSERT_NE(context, nullptr);
        database = context->deviceDatabase;
    }

    int enumerate() {
        testing::internal::CaptureStdout();
        int count = ListUnopenedDevices(context);
        testing::internal::GetCapturedStdout();
        return count;
    }

    HostContext* context = nullptr;
    DeviceRecord* database = nullptr;
};

// Pretends a light show is running: its thread id stays set until the show sees the stop
// (repeat count and length both 0), as the lightshow thread behaves.
class FakeShow {
  public:
    explicit FakeShow(HostContext* context) : context_(context) {
        context_->lightShowDelay.store(50);
        context_->lightShowRepeats.store(5);
        context_->lightShowLength.store(4);
        context_->lightShowThreadId.store(77, std::memory_order_release);
        thread_ = std::thread([this] {
            testing_support::waitUntil(
                [this] { return context_->lightShowRepeats.load() == 0 && context_->lightShowLength.load() == 0; });
            sawStop_.store(true);
            context_->lightShowThreadId.store(0, std::memory_order_release);
        });
    }
    ~FakeShow() { thread_.join(); }
    bool sawStop() const { return sawStop_.load(); }

  private:
    HostContext* context_;
    std::atomic<bool> sawStop_{false};
    std::thread thread_;
};

} // namespace

TEST_F(DeviceRecordsTest, SecondEnumerationClearsEveryRecordButItsIndexAndCallbackBytes) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(kBoardId, "S2", "Board Two");
    ASSERT_EQ(enumerate(), 2);
    ASSERT_EQ(openDeviceAt(context, 0), 1);
    ASSERT_EQ(openDeviceAt(context, 1), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(ignoreMessage), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(ignoreMessage, 6), 1);
    {
        SpinLockHolder hold(database[1].guard);
        std::memset(database[1].callbackBuffer, 0x5C, 200);
        database[1].droppedBytes[2] = 9;
        database[1].blockStoredBytes = 3;
    }
    const std::uint32_t generation = database[1].generation.load();

    sim_reset();
    sim_add_device(kBoardId, "T1", "Only Board");
    ASSERT_EQ(enumerate(), 1);

    for (int i = 0; i < kDeviceRecordCount; ++i) {
        SCOPED_TRACE(i);
        DeviceRecord& record = database[i];
        SpinLockHolder hold(record.guard);
        ASSERT_EQ(record.deviceIndex, i);
        ASSERT_EQ(record.ftHandle.load(), nullptr);
        for (int channel = 0; channel < kChannelCount; ++channel) {
            ASSERT_EQ(record.inputBuffers[channel], nullptr);
            ASSERT_EQ(record.channelCallbacks[channel].load(), nullptr);
            ASSERT_EQ(record.droppedBytes[channel], 0u);
        }
        ASSERT_EQ(record.readCallback.load(), nullptr);
        ASSERT_EQ(record.blockStoredBytes, 0u);
        ASSERT_EQ(record.blockBytesRemaining, 0u);
        ASSERT_EQ(record.blockLength.load(), 0u);
        if (i != 0) {
            ASSERT_EQ(record.deviceName[0], '\0');
            ASSERT_EQ(record.serialNumber[0], '\0');
            ASSERT_EQ(record.deviceId, 0u);
        }
    }
    EXPECT_STREQ(database[0].deviceName, "Only Board");
    EXPECT_EQ(database[0].deviceId, kBoardId);
    // A callback on the write thread may still be reading these bytes.
    EXPECT_EQ(database[1].callbackBuffer[0], 0x5C);
    EXPECT_EQ(database[1].callbackBuffer[199], 0x5C);
    // Entries queued before the clear no longer match the record.
    EXPECT_EQ(database[1].generation.load(), generation + 1);
    // The active device still designates its slot, whatever the slot holds now.
    EXPECT_EQ(context->activeDevice.load(), &database[1]);
}

TEST_F(DeviceRecordsTest, OpenCreatesEightEmptyBuffersAndAReopenKeepsThemWithTheirBytes) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(enumerate(), 1);
    DeviceRecord& record = database[0];
    ASSERT_EQ(openDeviceAt(context, 0), 1);

    InputBuffer* buffers[kChannelCount];
    for (int channel = 0; channel < kChannelCount; ++channel) {
        SCOPED_TRACE(channel);
        buffers[channel] = record.inputBuffers[channel];
        ASSERT_NE(buffers[channel], nullptr);
        ASSERT_NE(buffers[channel]->data, nullptr);
        EXPECT_EQ(buffers[channel]->capacity, 50000u);
        EXPECT_EQ(heldBytes(*buffers[channel]), 0u);
    }
    ASSERT_EQ(closeDeviceAt(context, 0), 1);

    // While closed, the read thread leaves the record alone: stand in for what it left behind,
    // five unread bytes and a block on channel 3 cut short after 4 of its 10 bytes.
    {
        SpinLockHolder hold(record.guard);
        const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
        ASSERT_EQ(putBytes(*record.inputBuffers[3], bytes, 5), 5u);
        record.currentChannel = 3;
        record.blockBytesRemaining = 6;
        record.blockStoredBytes = 4;
        record.blockRefused = true;
        record.headerBytesHeld = 1;
        record.blockLength.store(10);
    }
    ASSERT_EQ(openDeviceAt(context, 0), 1);

    SpinLockHolder hold(record.guard);
    for (int channel = 0; channel < kChannelCount; ++channel) {
        EXPECT_EQ(record.inputBuffers[channel], buffers[channel]);
    }
    EXPECT_EQ(heldBytes(*record.inputBuffers[3]), 5u);
    // The board starts afresh with a header; the cut block's stored bytes are skipped by the
    // channel's next entry.
    EXPECT_EQ(record.blockBytesRemaining, 0u);
    EXPECT_EQ(record.blockStoredBytes, 0u);
    EXPECT_FALSE(record.blockRefused);
    EXPECT_EQ(record.headerBytesHeld, 0u);
    EXPECT_EQ(record.blockLength.load(), 0u);
    EXPECT_EQ(record.droppedBytes[3], 4u);
}

TEST_F(DeviceRecordsTest, FailedSelectionsLeaveTheActiveDeviceAndNamesPickTheLowerSlot) {
    sim_add_device(kBoardId, "S1", "Twin");
    sim_add_device(kBoardId, "S2", "Twin");
    sim_add_device(kBoardId, "S3", "Third");
    ASSERT_EQ(enumerate(), 3);
    EXPECT_EQ(context->activeDevice.load(), nullptr);

    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(2), 1);
    EXPECT_EQ(context->activeDevice.load(), &database[2]);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(3), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(-1), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName("Nobody"), 0);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByName(nullptr), 0);
    EXPECT_EQ(context->activeDevice.load(), &database[2]);

    ASSERT_EQ(NRV_CV_SelectActiveDeviceByName("Twin"), 1);
    EXPECT_EQ(context->activeDevice.load(), &database[0]);
    // Opening and closing do not select.
    ASSERT_EQ(openDeviceAt(context, 1), 1);
    ASSERT_EQ(closeDeviceAt(context, 1), 1);
    EXPECT_EQ(context->activeDevice.load(), &database[0]);
}

TEST_F(DeviceRecordsTest, CloseWithABadIndexStillStopsTheLightShowFirst) {
    FakeShow show(context);
    EXPECT_EQ(closeDeviceAt(context, -1), 0);
    // The close returned only after the show had ended.
    EXPECT_TRUE(show.sawStop());
    EXPECT_EQ(context->lightShowThreadId.load(), 0u);
    EXPECT_STREQ(lastErrorText(context), "Device index is outside of bounds");
}

TEST_F(DeviceRecordsTest, CloseByNameStopsTheShowOnlyWhenANameMatches) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(enumerate(), 1);
    context->lightShowRepeats.store(5);
    context->lightShowLength.store(4);
    EXPECT_EQ(NRV_CV_CloseDeviceByName("Nobody"), 1);
    EXPECT_EQ(context->lightShowRepeats.load(), 5);
    EXPECT_EQ(context->lightShowLength.load(), 4);

    FakeShow show(context);
    EXPECT_EQ(NRV_CV_CloseDeviceByName("Board"), 1); // fails at the driver: never opened
    EXPECT_TRUE(show.sawStop());
    EXPECT_STREQ(lastErrorText(context), "Failed to close USB device");
}

TEST_F(DeviceRecordsTest, EnumerationStopsTheLightShowBeforeClosingBoards) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(enumerate(), 1);
    ASSERT_EQ(openDeviceAt(context, 0), 1);
    FakeShow show(context);
    EXPECT_EQ(enumerate(), 1);
    EXPECT_TRUE(show.sawStop());
    EXPECT_EQ(sim_is_open(0), 0);
}

namespace {

// A context with no threads and no driver binding, for the failures a real open cannot reach.
struct BareContext {
    BareContext() : context(new HostContext()) {
        context->inputBufferCapacity = kInputBufferCapacity;
        context->deviceDatabase = new DeviceRecord[kDeviceRecordCount]();
        for (int i = 0; i < kDeviceRecordCount; ++i) {
            context->deviceDatabase[i].deviceIndex = i;
        }
    }
    ~BareContext() {
        delete[] context->deviceDatabase;
        std::free(context->deviceInfoList);
    }
    std::unique_ptr<HostContext> context;
    DriverTable table{};
};

d2xx::DWORD fakeListed = 0;
d2xx::DWORD fakeReported = 0;

d2xx::FT_STATUS D2XX_API fakeCreate(d2xx::DWORD* count) {
    *count = fakeListed;
    return d2xx::FT_OK;
}

// Fills the nodes of the latest list, but reports a count far beyond it.
d2xx::FT_STATUS D2XX_API fakeGet(d2xx::FT_DEVICE_LIST_INFO_NODE* nodes, d2xx::DWORD* count) {
    for (d2xx::DWORD i = 0; i < fakeListed; ++i) {
        nodes[i].ID = kBoardId;
        std::snprintf(nodes[i].SerialNumber, sizeof nodes[i].SerialNumber, "F%u", static_cast<unsigned>(i));
        std::snprintf(nodes[i].Description, sizeof nodes[i].Description, "Fake");
    }
    *count = fakeReported;
    return d2xx::FT_OK;
}

} // namespace

TEST(DeviceRecordsBare, MissingDriverBindingFailsAndLeavesDatabaseAndListAlone) {
    BareContext bare;
    HostContext* context = bare.context.get();
    std::snprintf(context->deviceDatabase[0].deviceName, 64, "Kept");
    context->deviceCount.store(1);
    auto* list = static_cast<d2xx::FT_DEVICE_LIST_INFO_NODE*>(std::calloc(1, sizeof(d2xx::FT_DEVICE_LIST_INFO_NODE)));
    context->deviceInfoList = list;

    testing::internal::CaptureStdout();
    EXPECT_EQ(ListUnopenedDevices(context), 0);
    context->driverTable = &bare.table; // bound, but without FT_CreateDeviceInfoList
    EXPECT_EQ(ListUnopenedDevices(context), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(lastErrorText(context), "FT_CreateDeviceInfoList was not initialized!");
    EXPECT_EQ(context->deviceCount.load(), 0);
    EXPECT_STREQ(context->deviceDatabase[0].deviceName, "Kept");
    EXPECT_EQ(context->deviceInfoList, list);
}

TEST(DeviceRecordsBare, MissingDatabaseFailsEveryDeviceOperation) {
    BareContext bare;
    HostContext* context = bare.context.get();
    bare.table.FT_CreateDeviceInfoList = fakeCreate;
    context->driverTable = &bare.table;
    context->deviceInfoList =
        static_cast<d2xx::FT_DEVICE_LIST_INFO_NODE*>(std::calloc(1, sizeof(d2xx::FT_DEVICE_LIST_INFO_NODE)));
    delete[] context->deviceDatabase;
    context->deviceDatabase = nullptr;

    testing::internal::CaptureStdout();
    EXPECT_EQ(ListUnopenedDevices(context), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(lastErrorText(context), "Device database not initialized!");
    EXPECT_EQ(context->deviceInfoList, nullptr);

    context->deviceCount.store(1);
    EXPECT_EQ(openDeviceAt(context, 0), 0);
    EXPECT_STREQ(lastErrorText(context), "Device could not be found");
    setLastError(context, "reset");
    EXPECT_EQ(closeDeviceAt(context, 0), 0);
    EXPECT_STREQ(lastErrorText(context), "Device could not be found");
}

TEST(DeviceRecordsBare, EnumerationWalksNoMoreNodesThanItAllocated) {
    BareContext bare;
    HostContext* context = bare.context.get();
    bare.table.FT_CreateDeviceInfoList = fakeCreate;
    bare.table.FT_GetDeviceInfoList = fakeGet;
    context->driverTable = &bare.table;
    fakeListed = 3;
    fakeReported = 1000;

    testing::internal::CaptureStdout();
    EXPECT_EQ(ListUnopenedDevices(context), 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\t Device 1: Fake - F0 (VID: 403, PID: 8088)\n"
                   "\t Device 2: Fake - F1 (VID: 403, PID: 8088)\n"
                   "\t Device 3: Fake - F2 (VID: 403, PID: 8088)\n"
                   "Number of devices: 3\n");
    EXPECT_EQ(context->deviceCount.load(), 3);
}

// The guard with a stand-in poll and a stand-in delivery, each following the threads' protocol,
// while one application thread opens and closes boards and another enumerates. The poll must
// never find a record that is open without its buffers, half cleared, or holding a handle the
// driver has closed; the delivery must never find a buffer replaced under an unchanged generation.
TEST_F(DeviceRecordsTest, GuardKeepsPollsAndDeliveriesAwayFromChangingRecords) {
    sim_add_device(kBoardId, "S1", "Board One");
    sim_add_device(kBoardId, "S2", "Board Two");
    sim_add_device(kBoardId, "S3", "Board Three");
    ASSERT_EQ(enumerate(), 3);

    std::atomic<bool> stop{false};
    std::atomic<long> polls{0};
    std::atomic<long> violations{0};
    std::thread poller([&] {
        while (!stop.load()) {
            for (int i = 0; i < context->deviceCount.load(std::memory_order_acquire); ++i) {
                DeviceRecord& record = database[i];
                if (record.ftHandle.load(std::memory_order_acquire) == nullptr) {
                    continue;
                }
                SpinLockHolder hold(record.guard);
                d2xx::FT_HANDLE handle = record.ftHandle.load(std::memory_order_relaxed);
                if (handle == nullptr) {
                    continue;
                }
                polls.fetch_add(1);
                for (InputBuffer* buffer : record.inputBuffers) {
                    if (buffer == nullptr || buffer->data == nullptr) {
                        violations.fetch_add(1);
                    }
                }
                if (record.deviceName[0] == '\0' || record.serialNumber[0] == '\0') {
                    violations.fetch_add(1);
                }
                d2xx::DWORD pending = 0, transmit = 0, events = 0;
                if (context->driverTable->FT_GetStatus(handle, &pending, &transmit, &events) != d2xx::FT_OK) {
                    violations.fetch_add(1);
                }
                record.blockBytesRemaining = 0; // the read thread writes receive state here
            }
            std::this_thread::yield();
        }
    });
    std::thread deliverer([&] {
        int slot = 0;
        while (!stop.load()) {
            DeviceRecord& record = database[slot];
            slot = (slot + 1) % 3;
            std::uint32_t generation;
            InputBuffer* seen;
            {
                SpinLockHolder hold(record.guard);
                generation = record.generation.load(std::memory_order_relaxed);
                seen = record.inputBuffers[5];
            }
            std::this_thread::yield();
            SpinLockHolder hold(record.guard);
            if (record.generation.load(std::memory_order_relaxed) == generation && seen != nullptr) {
                if (record.inputBuffers[5] != seen) {
                    violations.fetch_add(1);
                } else {
                    heldBytes(*seen);
                }
            }
        }
    });

    testing::internal::CaptureStdout();
    std::thread lister([&] {
        for (int i = 0; i < 100; ++i) {
            ListUnopenedDevices(context);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 300; ++i) {
        openDeviceAt(context, i % 3);
        openDeviceAt(context, (i + 1) % 3);
        closeDeviceAt(context, i % 3);
    }
    lister.join();
    // Make sure the stand-in poll meets an open board at least once.
    ASSERT_EQ(ListUnopenedDevices(context), 3);
    ASSERT_EQ(openDeviceAt(context, 0), 1);
    EXPECT_TRUE(testing_support::waitUntil([&] { return polls.load() > 0; }));
    stop.store(true);
    poller.join();
    deliverer.join();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(polls.load(), 0);
    // Whatever the interleaving, a final enumeration leaves no board open in the driver.
    EXPECT_EQ(enumerate(), 3);
    for (int device = 0; device < 3; ++device) {
        EXPECT_EQ(sim_is_open(device), 0);
    }
}
