// A callback that holds the write thread lets the FIFO and the channel buffers fill up. A message
// that no longer fits is dropped whole, and every message after it still gets its own bytes.
#include "transfer_fixture.h"

using namespace transfer_test;
using testing::ElementsAre;

namespace {

constexpr int kFifoSize = 65536;
constexpr int kBlocksThatFill = 196; // 196 blocks of 255 bytes leave 19 of a buffer's 49999 bytes free

class OverflowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        openBoards(1);
        ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
        // The first message's callback holds the write thread until the test releases it.
        recorder().hold();
        boardSends(0, {0xD0, 0x00});
        ASSERT_TRUE(recorder().waitForCalls(1));
    }
    void TearDown() override { recorder().release(); }

    static Bytes blockBytes(int block) { return pattern(255, static_cast<std::uint8_t>(block * 3)); }

    // Sends `count` blocks of 255 bytes on channel 2 and waits until the read thread has them.
    static void fillWithBlocks(std::uint8_t command, int count) {
        Bytes stream;
        for (int block = 0; block < count; ++block) {
            const Bytes message = blockMessage(command, blockBytes(block));
            stream.insert(stream.end(), message.begin(), message.end());
        }
        boardSends(0, stream);
        ASSERT_TRUE(boardDrained(0));
    }

    // Checks that calls [first, first + count) are the blocks fillWithBlocks sent.
    static void expectBlocks(std::uint8_t command, std::size_t first, int count) {
        const std::vector<Call> calls = recorder().calls();
        ASSERT_GE(calls.size(), first + static_cast<std::size_t>(count));
        for (int block = 0; block < count; ++block) {
            ASSERT_EQ(calls[first + static_cast<std::size_t>(block)],
                      dataCall(kGeneral, 0, command & 7, command, blockBytes(block)))
                << "block " << block;
        }
    }
};

// Message i of the stream: a single byte on channel i % 8 carrying i / 8, so that every channel
// buffer holds a share and any loss, doubling or reordering shows.
Bytes numberedMessage(int i) { return {static_cast<std::uint8_t>(0xD0 | (i % 8)), static_cast<std::uint8_t>(i / 8)}; }

TEST_F(OverflowTest, FullFifoDropsTheWholeMessageAndDeliversEveryQueuedOneInOrder) {
    // The held entry plus 65535 more fill every slot.
    Bytes stream;
    for (int i = 1; i < kFifoSize; ++i) {
        const Bytes message = numberedMessage(i);
        stream.insert(stream.end(), message.begin(), message.end());
    }
    boardSends(0, stream);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);

    boardSends(0, {0xD7, 0xAA}); // finds no free slot
    ASSERT_TRUE(lastErrorIs("Error: Ran out of FIFO memory"));
    recorder().release();
    ASSERT_TRUE(recorder().waitForCalls(kFifoSize));

    // Both FIFO indices have wrapped past slot 65535; the next message of the dropped one's
    // channel gets its own byte, not the dropped one's.
    boardSends(0, {0xD7, 0xBB});
    ASSERT_TRUE(recorder().waitForCalls(kFifoSize + 1));
    const std::vector<Call> calls = recorder().calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kFifoSize + 1));
    for (int i = 1; i < kFifoSize; ++i) {
        const Bytes message = numberedMessage(i);
        ASSERT_EQ(calls[static_cast<std::size_t>(i)], dataCall(kGeneral, 0, i % 8, message[0], {message[1]}))
            << "message " << i;
    }
    EXPECT_EQ(calls.back(), dataCall(kGeneral, 0, 7, 0xD7, {0xBB}));
}

TEST_F(OverflowTest, FullBufferRefusesASingleByteAndKeepsWhatItHolds) {
    fillWithBlocks(0xE1, kBlocksThatFill);
    Bytes singles;
    for (int i = 0; i < 19; ++i) { // the buffer then holds 49999 bytes
        singles.push_back(0xD1);
        singles.push_back(static_cast<std::uint8_t>(0x40 + i));
    }
    boardSends(0, singles);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);

    boardSends(0, {0xD1, 0xEE});
    ASSERT_TRUE(lastErrorIs("SBTM: Input buffer is full"));
    recorder().release();
    ASSERT_TRUE(recorder().waitForCalls(1 + kBlocksThatFill + 19));
    boardSends(0, {0xD1, 0x77});
    ASSERT_TRUE(recorder().waitForCalls(1 + kBlocksThatFill + 19 + 1));

    expectBlocks(0xE1, 1, kBlocksThatFill);
    const std::vector<Call> calls = recorder().calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(1 + kBlocksThatFill + 19 + 1));
    for (std::size_t i = 0; i < 19; ++i) {
        EXPECT_EQ(calls[1 + kBlocksThatFill + i],
                  dataCall(kGeneral, 0, 1, 0xD1, {static_cast<std::uint8_t>(0x40 + i)}));
    }
    EXPECT_EQ(calls.back(), dataCall(kGeneral, 0, 1, 0xD1, {0x77}));
}

TEST_F(OverflowTest, BlockThatItsBufferCannotTakeWholeIsDroppedWhole) {
    fillWithBlocks(0xE2, kBlocksThatFill);
    // The 197th block: its first 10 bytes still fit, the rest does not.
    const Bytes refused = blockMessage(0xE2, pattern(255, 0x80));
    boardSends(0, Bytes(refused.begin(), refused.begin() + 12));
    ASSERT_TRUE(boardDrained(0));
    boardSends(0, Bytes(refused.begin() + 12, refused.end()));
    ASSERT_TRUE(lastErrorIs("BTM: Input buffer is full"));

    recorder().release();
    ASSERT_TRUE(recorder().waitForCalls(1 + kBlocksThatFill));
    boardSends(0, blockMessage(0xE2, pattern(5, 0x20)));
    ASSERT_TRUE(recorder().waitForCalls(1 + kBlocksThatFill + 1));
    expectBlocks(0xE2, 1, kBlocksThatFill);
    const std::vector<Call> calls = recorder().calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(1 + kBlocksThatFill + 1));
    EXPECT_EQ(calls.back(), dataCall(kGeneral, 0, 2, 0xE2, pattern(5, 0x20)));
}

// A buffer that fills with the bytes of blocks dropped on a full FIFO would refuse every later
// message if nothing ever claimed those bytes: the channel must recover once the FIFO drains.
TEST_F(OverflowTest, ChannelFullOfDroppedBytesRecovers) {
    Bytes stream;
    for (int i = 1; i < kFifoSize; ++i) { // fill the FIFO on channels 0 and 1 only
        stream.push_back(static_cast<std::uint8_t>(0xD0 | (i % 2)));
        stream.push_back(static_cast<std::uint8_t>(i));
    }
    boardSends(0, stream);
    ASSERT_TRUE(boardDrained(0));
    fillWithBlocks(0xE3, kBlocksThatFill + 4); // each is stored, then finds the FIFO full
    ASSERT_TRUE(lastErrorIs("BTM: Input buffer is full"));

    recorder().release();
    ASSERT_TRUE(recorder().waitForCalls(kFifoSize));
    // Refused again (the dropped bytes still fill the buffer); the single byte after it is
    // delivered once the write thread has passed the refused block's place in the FIFO.
    boardSends(0, blockMessage(0xE3, pattern(255, 1)));
    boardSends(0, {0xD0, 0x55});
    ASSERT_TRUE(recorder().waitForCalls(kFifoSize + 1));
    boardSends(0, blockMessage(0xE3, pattern(255, 2)));
    ASSERT_TRUE(recorder().waitForCalls(kFifoSize + 2));
    const std::vector<Call> calls = recorder().calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kFifoSize + 2));
    EXPECT_EQ(calls[kFifoSize], dataCall(kGeneral, 0, 0, 0xD0, {0x55}));
    EXPECT_EQ(calls[kFifoSize + 1], dataCall(kGeneral, 0, 3, 0xE3, pattern(255, 2)));
}

} // namespace
