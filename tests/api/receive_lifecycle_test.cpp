// Callbacks may do anything the application may: send, register, close and reopen their own
// board, enumerate. None of it deadlocks, and no message is delivered with another's bytes.
#include "transfer_fixture.h"

using namespace transfer_test;
using testing::ElementsAre;

namespace {

constexpr int kActing = 3; // recorder id of the callbacks below

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override { openBoards(1); }
    void TearDown() override { recorder().release(); }
};

std::atomic<int> actionsDone{0};
std::atomic<int> actionResults{0}; // sum of the results of the exports a callback called

void recordHere(std::int32_t device, std::int32_t channel, std::uint32_t command, std::uint32_t length,
                const std::uint8_t* data, std::uint32_t dataLength) {
    recorder().record(kActing, device, channel, command, length, data, dataLength);
}

int32_t CORVANE_CALL sendingCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* data,
                                     uint32_t dataLength) {
    recordHere(device, channel, command, length, data, dataLength);
    if ((command & 0x08) != 0) {
        actionResults += NRV_CV_SendTrigger(static_cast<std::uint8_t>(length)); // on the read thread
    } else {
        actionResults += NRV_CV_SendByte(5, data[0]);
        const Bytes block{data[0], data[0]};
        actionResults += NRV_CV_SendBlock(6, block.data(), 2);
        actionResults += NRV_CV_SendTransferControlByte(3, data[0]);
        actionResults += NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 2);
    }
    ++actionsDone;
    return 0;
}

TEST_F(LifecycleTest, CallbacksMaySendAndRegister) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(&sendingCallback), 1);
    boardSends(0, {0xD1, 0x61});
    ASSERT_TRUE(testing_support::waitUntil([] { return actionsDone == 1; }));
    boardSends(0, {0xC9, 0x09});
    ASSERT_TRUE(testing_support::waitUntil([] { return actionsDone == 2; }));
    boardSends(0, {0xD2, 0x62});
    ASSERT_TRUE(recorder().waitForCalls(3));

    EXPECT_EQ(actionResults, 5);
    EXPECT_THAT(written(0), ElementsAre(0x95, 0x61, 0xA6, 0x02, 0x61, 0x61, 0x9A, 0x5A, 0x9A, 0xC3, 0x9A, 0x7E, 0x9A,
                                        0x61, 0x9A, 0x00, 0x81, 0x09));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kActing, 0, 1, 0xD1, {0x61}), triggerCall(kActing, 0, 1, 0xC9, 9),
                            dataCall(kChannel, 0, 2, 0xD2, {0x62})));
}

// Closes and reopens board 0 once the read thread has taken everything the board sent so far.
int reopenBoardZero() {
    testing_support::waitUntil([] { return sim_rx_pending(0) == 0; });
    return NRV_CV_CloseDeviceByIndex(0) + NRV_CV_OpenDeviceByIndex(0);
}

int32_t CORVANE_CALL reopeningCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length,
                                       uint8_t* data, uint32_t dataLength) {
    recordHere(device, channel, command, length, data, dataLength);
    if (actionsDone == 0) {
        actionResults += reopenBoardZero();
        ++actionsDone;
    }
    return 0;
}

TEST_F(LifecycleTest, DataCallbackMayCloseAndReopenItsBoardWhileMessagesAreQueued) {
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(&reopeningCallback, 3), 1);
    boardSends(0, {0xD3, 0x40, 0xD3, 0x41}); // 41 is queued while the callback for 40 reopens
    ASSERT_TRUE(testing_support::waitUntil([] { return actionsDone == 1; }));
    EXPECT_EQ(actionResults, 2);
    boardSends(0, {0xD3, 0x42});
    ASSERT_TRUE(recorder().waitForCalls(3));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kActing, 0, 3, 0xD3, {0x40}), dataCall(kActing, 0, 3, 0xD3, {0x41}),
                            dataCall(kActing, 0, 3, 0xD3, {0x42})));
}

TEST_F(LifecycleTest, TriggerCallbackMayCloseAndReopenItsBoard) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(&reopeningCallback), 1);
    boardSends(0, {0xC8, 0x01});
    ASSERT_TRUE(testing_support::waitUntil([] { return actionsDone == 1; }));
    EXPECT_EQ(actionResults, 2);
    boardSends(0, {0xD3, 0x41});
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(triggerCall(kActing, 0, 0, 0xC8, 1), dataCall(kActing, 0, 3, 0xD3, {0x41})));
}

int32_t CORVANE_CALL enumeratingCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length,
                                         uint8_t* data, uint32_t dataLength) {
    recordHere(device, channel, command, length, data, dataLength);
    actionResults += NRV_CV_QueryDevices();
    ++actionsDone;
    return 0;
}

TEST_F(LifecycleTest, CallbackMayEnumerate) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(&enumeratingCallback), 1);
    testing::internal::CaptureStdout();
    boardSends(0, {0xD3, 0x41});
    ASSERT_TRUE(testing_support::waitUntil([] { return actionsDone == 1; }));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(actionResults, 1);

    // The enumeration closed the board and cleared its callbacks: open and register again.
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    boardSends(0, {0xD3, 0x42});
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kActing, 0, 3, 0xD3, {0x41}), dataCall(kGeneral, 0, 3, 0xD3, {0x42})));
}

TEST_F(LifecycleTest, EntriesQueuedBeforeAnEnumerationAreNeverDelivered) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    recorder().hold();
    boardSends(0, {0xD0, 0x00});
    ASSERT_TRUE(recorder().waitForCalls(1));
    boardSends(0, {0xD3, 0x41});
    ASSERT_TRUE(boardDrained(0));

    testing::internal::CaptureStdout();
    ASSERT_EQ(NRV_CV_QueryDevices(), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    boardSends(0, {0xD3, 0x42});
    ASSERT_TRUE(boardDrained(0));
    recorder().release();

    boardSends(0, {0xD0, 0x01}); // once this arrives, every earlier entry has been handled
    ASSERT_TRUE(recorder().waitForCalls(3));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kGeneral, 0, 0, 0xD0, {0x00}), dataCall(kGeneral, 0, 3, 0xD3, {0x42}),
                            dataCall(kGeneral, 0, 0, 0xD0, {0x01})));
}

// A close in the middle of a block: the reopened board starts with a header, and the bytes the
// cut-short block had stored are skipped by its channel's next message.
class ReopenInBlockTest : public LifecycleTest, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(ReopenInBlockTest, NextMessageAfterTheReopenIsReadAsAHeader) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    const Bytes block = blockMessage(0xE2, pattern(200, 0x00));
    boardSends(0, Bytes(block.begin(), block.begin() + 102)); // header and 100 bytes
    ASSERT_TRUE(boardDrained(0));
    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);

    const std::uint8_t command = GetParam();
    boardSends(0, {command, 0x41});
    ASSERT_TRUE(recorder().waitForCalls(1));
    boardSends(0, {0xD0, 0x01});
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(), ElementsAre(dataCall(kGeneral, 0, command & 7, command, {0x41}),
                                                dataCall(kGeneral, 0, 0, 0xD0, {0x01})));
}

INSTANTIATE_TEST_SUITE_P(Channels, ReopenInBlockTest, ::testing::Values(std::uint8_t{0xD3}, std::uint8_t{0xD2}),
                         [](const ::testing::TestParamInfo<std::uint8_t>& info) {
                             return info.param == 0xD2 ? std::string("BlocksOwnChannel") : std::string("OtherChannel");
                         });

} // namespace
