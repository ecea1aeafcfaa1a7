// A callback that holds the write thread lets the FIFO and the channel buffers fill up. A message
// that no longer fits is dropped whole, and every message after it still gets its own bytes.
#include "environment.h"
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

// ---- the driver's own receive queue -----------------------------------------------------------

// The vendor's driver goes on taking the board's data while its 64 KiB receive queue is full and
// throws away what does not fit (the simulated driver's drop mode). The library cannot get the
// data back, but it says so: once per episode, naming the board. An episode ends when the queue has
// drained to half; a queue that stays above that while it refills is the same episode.
constexpr const char* kQueueFullText =
    "Driver receive queue of device Corvane board 0 / CVB000 is full; the driver may have dropped data";
constexpr std::uint32_t kVendorQueue = 65536;

// `count` single bytes, message i on channel i % 8 carrying i / 8.
Bytes numberedMessages(int first, int count) {
    Bytes stream;
    for (int i = first; i < first + count; ++i) {
        const Bytes message = numberedMessage(i);
        stream.insert(stream.end(), message.begin(), message.end());
    }
    return stream;
}

// How often the debug log holds the report.
std::size_t reportsInLog() {
    const std::string log = testing_support::readFile("Corvane.log");
    const std::string line = std::string("CV ERROR: ") + kQueueFullText + "\n";
    std::size_t count = 0;
    for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++count;
    }
    return count;
}

// The general callback of these tests: data is recorded; a trigger (called on the read thread)
// carrying v holds the read thread until the test opens the gate to v, so the test can fill the
// driver's queue behind it.
std::atomic<int> triggerReached{0};
std::atomic<int> gate{0};
int32_t CORVANE_CALL gatedCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* data,
                                   uint32_t dataLength) {
    if ((command & 0x08) == 0) {
        recorder().record(kGeneral, device, channel, command, length, data, dataLength);
        return 0;
    }
    triggerReached.store(static_cast<int>(length));
    // Bounded, so that a failing test ends rather than hangs.
    testing_support::waitUntil([length] { return gate.load() >= static_cast<int>(length); });
    return 0;
}

// Sends a trigger carrying `value` and waits until the read thread is held in its callback.
void holdReadThreadAtATrigger(std::uint8_t value) {
    boardSends(0, {0xC8, value});
    ASSERT_TRUE(testing_support::waitUntil([value] { return triggerReached.load() == value; }));
}

class DriverQueueTest : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        testing_support::useProfile(GetParam());
        openBoards(1);
        sim_drop_beyond_queue(1);
        NRV_CV_SetDebugMode(1);
        ASSERT_EQ(NRV_CV_RegisterReadCallback(gatedCallback), 1);
    }
    void TearDown() override { gate.store(1000); }
};

TEST_P(DriverQueueTest, AFullQueueIsReportedOncePerEpisode) {
    // Episode one: the queue fills to the cap while the read thread is held, with a second trigger
    // 1000 messages in, where the thread is held again while the queue still holds far more than
    // half; topped up to the cap then, it is still the same episode.
    holdReadThreadAtATrigger(1);
    Bytes fill = numberedMessages(0, 1000);
    fill.insert(fill.end(), {0xC8, 0x02});
    const Bytes rest = numberedMessages(1000, 40000);
    fill.insert(fill.end(), rest.begin(), rest.end());
    boardSends(0, fill);
    ASSERT_EQ(sim_rx_pending(0), kVendorQueue);
    gate.store(1);
    ASSERT_TRUE(testing_support::waitUntil([] { return triggerReached.load() == 2; }));
    EXPECT_TRUE(lastErrorIs(kQueueFullText)) << NRV_CV_GetLastError();
    // The batched read may have taken most of the queue, but no status call saw it below half. Its
    // read may have ended inside a header; then a 3-byte block first puts the cap at the end of a
    // message, so that the framing survives this cut and the rest of the test can go on.
    Bytes topUp;
    if (sim_rx_pending(0) % 2 == 1) {
        topUp = blockMessage(0xE1, {0x77});
    }
    const Bytes more = numberedMessages(41000, static_cast<int>(kVendorQueue - sim_rx_pending(0)) / 2 + 1000);
    topUp.insert(topUp.end(), more.begin(), more.end());
    boardSends(0, topUp);
    ASSERT_EQ(sim_rx_pending(0), kVendorQueue);
    gate.store(2);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_EQ(reportsInLog(), 1u);
    EXPECT_GT(sim_dropped_bytes(0), 0u);
    // Every message before the second trigger arrived whole and in order.
    ASSERT_TRUE(recorder().waitForCalls(1000));
    const std::vector<Call> seen = recorder().calls();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(seen[static_cast<std::size_t>(i)],
                  dataCall(kGeneral, 0, i % 8, 0xD0 | (i % 8), {static_cast<std::uint8_t>(i / 8)}))
            << "message " << i;
    }

    // Drained: the next overrun is a new episode, reported again.
    holdReadThreadAtATrigger(3);
    boardSends(0, numberedMessages(0, 40000));
    gate.store(3);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_EQ(reportsInLog(), 2u);
    EXPECT_TRUE(lastErrorIs(kQueueFullText)) << NRV_CV_GetLastError();

    // A queue that never reaches the cap says nothing.
    holdReadThreadAtATrigger(4);
    boardSends(0, numberedMessages(0, 30000));
    gate.store(4);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_EQ(reportsInLog(), 2u);
}

// A cut inside a message: the blocks before it arrive whole, the decoder takes the bytes after the
// cut for the cut block's rest and its framing breaks (reported); a reopen purges the driver and
// starts the decoder afresh, and what comes then arrives whole.
TEST_P(DriverQueueTest, ACutInsideABlockBreaksTheFramingUntilTheBoardIsReopened) {
    constexpr int kLength = 101;                            // 103-byte messages
    constexpr int kWhole = kVendorQueue / (kLength + 2);    // 636 blocks fit whole
    constexpr int kCutKeeps = kVendorQueue % (kLength + 2); // then a header and 26 of 101 data bytes
    static_assert(kCutKeeps > 2 && (kLength + 2 - kCutKeeps) % 2 == 1, "the cut block lacks an odd count");
    holdReadThreadAtATrigger(1);
    Bytes blocks;
    for (int block = 0; block < 700; ++block) {
        const Bytes message = blockMessage(static_cast<std::uint8_t>(0xE0 | (block % 8)),
                                           pattern(kLength, static_cast<std::uint8_t>(block)));
        blocks.insert(blocks.end(), message.begin(), message.end());
    }
    boardSends(0, blocks);
    gate.store(1);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_TRUE(lastErrorIs(kQueueFullText)) << NRV_CV_GetLastError();
    ASSERT_TRUE(recorder().waitForCalls(kWhole));
    const std::vector<Call> whole = recorder().calls();
    ASSERT_EQ(whole.size(), static_cast<std::size_t>(kWhole)) << "the cut block waits for its rest";
    for (int block = 0; block < kWhole; ++block) {
        ASSERT_EQ(whole[static_cast<std::size_t>(block)], dataCall(kGeneral, 0, block % 8, 0xE0 | (block % 8),
                                                                   pattern(kLength, static_cast<std::uint8_t>(block))))
            << "block " << block;
    }
    // What the board sends next completes the cut block with its own bytes (the decoder cannot
    // tell) and leaves the decoder an odd byte out of step: every header after it is wrong.
    Bytes next;
    for (int i = 0; i < 100; ++i) {
        next.insert(next.end(), {0xD2, 0x22});
    }
    next.push_back(0xD2); // so that the last header out of step is whole and the queue drains
    boardSends(0, next);
    ASSERT_TRUE(boardDrained(0));
    EXPECT_TRUE(lastErrorIs("Message received does not have the right transfer mode; expecting output from device"))
        << NRV_CV_GetLastError();

    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1) << NRV_CV_GetLastError();
    const std::size_t before = recorder().count();
    boardSends(0, {0xD3, 0x41});
    boardSends(0, blockMessage(0xE4, pattern(kLength, 7)));
    ASSERT_TRUE(recorder().waitForCalls(before + 2));
    EXPECT_EQ(recorder().call(before), dataCall(kGeneral, 0, 3, 0xD3, {0x41}));
    EXPECT_EQ(recorder().call(before + 1), dataCall(kGeneral, 0, 4, 0xE4, pattern(kLength, 7)));
}

INSTANTIATE_TEST_SUITE_P(Profiles, DriverQueueTest, testing::Values("default", "fast"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
