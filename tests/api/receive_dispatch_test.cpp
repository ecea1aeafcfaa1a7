// What a board's messages become: which callback runs, on which thread, with which arguments.
#include "transfer_fixture.h"

using namespace transfer_test;
using testing::ElementsAre;

namespace {

constexpr std::uint32_t kIoError = 4; // FT_IO_ERROR

class ReceiveTest : public ::testing::Test {
  protected:
    void SetUp() override { openBoards(1); }
    void TearDown() override { recorder().release(); }
};

TEST_F(ReceiveTest, SingleByteGoesToItsChannelCallbackElseTheGeneralOneOnTheWriteThread) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 3), 1);
    boardSends(0, {0xD3, 0x41});
    ASSERT_TRUE(recorder().waitForCalls(1));

    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(nullptr, 3), 1);
    boardSends(0, {0xD3, 0x42, 0xF3, 0x43}); // F3: the single-byte bit wins over the block bit
    ASSERT_TRUE(recorder().waitForCalls(3));

    // With no callback left for channel 3 its message is consumed unseen; channel 0's comes next.
    ASSERT_EQ(NRV_CV_RegisterReadCallback(nullptr), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 0), 1);
    boardSends(0, {0xD3, 0x44, 0xD0, 0x45});
    ASSERT_TRUE(recorder().waitForCalls(4));

    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kChannel, 0, 3, 0xD3, {0x41}), dataCall(kGeneral, 0, 3, 0xD3, {0x42}),
                            dataCall(kGeneral, 0, 3, 0xF3, {0x43}), dataCall(kChannel, 0, 0, 0xD0, {0x45})));
    EXPECT_NE(recorder().call(0).thread, std::this_thread::get_id());
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

TEST(ReceiveOnThirdBoard, CallbackGetsTheBoardIndexAndChannel) {
    openBoards(3);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(2), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 5), 1);
    boardSends(2, {0xD5, 0x99, 0xD4, 0x98});
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kChannel, 2, 5, 0xD5, {0x99}), dataCall(kGeneral, 2, 4, 0xD4, {0x98})));
}

TEST_F(ReceiveTest, TriggerGoesToTheGeneralCallbackOnTheReadThreadAndNeverToAChannelCallback) {
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 3), 1);
    boardSends(0, {0xCB, 0x07, 0xD3, 0x41}); // no general callback: the trigger is dropped
    ASSERT_TRUE(recorder().waitForCalls(1));
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);

    // The write thread waits inside the next data callback; a trigger still arrives, so the
    // read thread delivers it itself.
    recorder().hold();
    boardSends(0, {0xD0, 0x00});
    ASSERT_TRUE(recorder().waitForCalls(2));
    boardSends(0, {0xCB, 0x07});
    ASSERT_TRUE(recorder().waitForCalls(3));
    recorder().release();

    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kChannel, 0, 3, 0xD3, {0x41}), dataCall(kGeneral, 0, 0, 0xD0, {0x00}),
                            triggerCall(kGeneral, 0, 3, 0xCB, 7)));
    EXPECT_NE(recorder().call(2).thread, recorder().call(1).thread);
    EXPECT_NE(recorder().call(2).thread, std::this_thread::get_id());
}

TEST_F(ReceiveTest, HeaderWithoutKindIsConsumedSilently) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    boardSends(0, {0xC5, 0x00, 0xC0, 0xFF, 0xD3, 0x41});
    ASSERT_TRUE(recorder().waitForCalls(1));
    EXPECT_THAT(recorder().calls(), ElementsAre(dataCall(kGeneral, 0, 3, 0xD3, {0x41})));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

TEST_F(ReceiveTest, WrongTransferModeIsReportedAndTheNextTwoBytesAreAHeader) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    boardSends(0, {0x93, 0x41, 0xD3, 0x42});
    ASSERT_TRUE(recorder().waitForCalls(1));
    EXPECT_THAT(recorder().calls(), ElementsAre(dataCall(kGeneral, 0, 3, 0xD3, {0x42})));
    EXPECT_STREQ(NRV_CV_GetLastError(),
                 "Message received does not have the right transfer mode; expecting output from device");
}

TEST_F(ReceiveTest, BlockArrivingInPiecesIsDeliveredOnceWhole) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    const Bytes message = blockMessage(0xE2, pattern(200, 0x10));
    for (std::size_t offset = 0; offset < message.size(); offset += 64) {
        const std::size_t end = std::min(message.size(), offset + 64);
        boardSends(0, Bytes(message.begin() + static_cast<std::ptrdiff_t>(offset),
                            message.begin() + static_cast<std::ptrdiff_t>(end)));
        ASSERT_TRUE(boardDrained(0));
    }
    boardSends(0, {0xE2, 0x00, 0xD2, 0x41}); // an empty block queues nothing
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(), ElementsAre(dataCall(kGeneral, 0, 2, 0xE2, pattern(200, 0x10)),
                                                dataCall(kGeneral, 0, 2, 0xD2, {0x41})));
}

TEST_F(ReceiveTest, FailedReadsLoseNoByte) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    sim_fail_next("FT_Read", 1, kIoError);
    boardSends(0, {0xD3, 0x41});
    ASSERT_TRUE(recorder().waitForCalls(1));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);

    // The failed read of block data keeps its place; the block arrives whole.
    boardSends(0, {0xE1, 0x04});
    ASSERT_TRUE(boardDrained(0));
    sim_fail_next("FT_Read", 1, kIoError);
    ASSERT_TRUE(lastErrorIs("BTM: Error receiving message block status"));
    boardSends(0, {1, 2, 3, 4});
    ASSERT_TRUE(recorder().waitForCalls(2));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kGeneral, 0, 3, 0xD3, {0x41}), dataCall(kGeneral, 0, 1, 0xE1, {1, 2, 3, 4})));
}

TEST_F(ReceiveTest, MessagesWithoutCallbackAreStillTakenFromTheirBuffer) {
    ASSERT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 0), 1);
    // 300 blocks are more than channel 1's buffer holds: only consumed entries make room. They go
    // in batches, each followed by a single byte on channel 0 whose delivery shows the batch done.
    constexpr int kBatches = 6;
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int block = 0; block < 50; ++block) {
            boardSends(0, blockMessage(0xE1, pattern(255, static_cast<std::uint8_t>(block))));
        }
        boardSends(0, {0xD0, static_cast<std::uint8_t>(batch)});
        ASSERT_TRUE(recorder().waitForCalls(static_cast<std::size_t>(batch + 1)));
    }
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    boardSends(0, {0xD1, 0x42});
    ASSERT_TRUE(recorder().waitForCalls(kBatches + 1));
    EXPECT_EQ(recorder().call(kBatches - 1), dataCall(kChannel, 0, 0, 0xD0, {kBatches - 1}));
    EXPECT_EQ(recorder().call(kBatches), dataCall(kGeneral, 0, 1, 0xD1, {0x42}));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

TEST(ReceiveTwoBoards, MessagesArriveInTheOrderTheyWereCompletedNotByBoard) {
    openBoards(2);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    recorder().hold(); // everything below waits in the FIFO
    boardSends(0, {0xD0, 0x00});
    ASSERT_TRUE(recorder().waitForCalls(1));
    boardSends(0, {0xE0, 0x04, 0xA0, 0xA1}); // a block begun on board 0 ...
    ASSERT_TRUE(boardDrained(0));
    boardSends(1, {0xD1, 0x01}); // ... a single byte completed on board 1 ...
    ASSERT_TRUE(boardDrained(1));
    boardSends(0, {0xA2, 0xA3}); // ... and the block completed after it
    ASSERT_TRUE(boardDrained(0));
    boardSends(1, {0xD1, 0x02});
    ASSERT_TRUE(boardDrained(1));
    recorder().release();
    ASSERT_TRUE(recorder().waitForCalls(4));
    EXPECT_THAT(recorder().calls(),
                ElementsAre(dataCall(kGeneral, 0, 0, 0xD0, {0x00}), dataCall(kGeneral, 1, 1, 0xD1, {0x01}),
                            dataCall(kGeneral, 0, 0, 0xE0, {0xA0, 0xA1, 0xA2, 0xA3}),
                            dataCall(kGeneral, 1, 1, 0xD1, {0x02})));
}

TEST(ReceiveRegistration, ChannelsAboveSevenAreRefusedWithoutAnError) {
    openBoards(1);
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 8), 0);
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), -1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 7), 1);
}

TEST(ReceiveRegistration, NeedsTheLibraryAndASelectedBoard) {
    EXPECT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 0);
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 1), 0);
    listBoards(1);
    EXPECT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoDeviceText);
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(5), 0); // some other error in between
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoDeviceText);
}

} // namespace
