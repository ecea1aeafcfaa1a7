// The self test through NRV_CV_PerformSelfTest and the simulated driver: every byte it writes,
// its console line, how failing and stalled boards end it, and its wait on blocks coming back.
#include "board_sim.h"
#include "corvane.h"
#include "environment.h"
#include "self_test_wire.h"
#include "sim_waits.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace self_test_wire;

constexpr std::uint32_t kBoardId = 0x04038089;
// The cases run a short self test (CORVANE_SELFTEST_CYCLES): what they check happens in every
// cycle or at its ends. The full 100000 cycles, with the text's wrap at 65536, run in the soak.
constexpr int kCycles = 300;
constexpr char kCyclesText[] = "300";

const Bytes kOpening = opening();

// Runs the self test and reports how long it took.
int runSelfTest(const char* what) {
    const auto start = std::chrono::steady_clock::now();
    const int result = NRV_CV_PerformSelfTest();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "[ measured ] self test %s: %lld ms\n", what, static_cast<long long>(took.count()));
    return result;
}

class SelfTestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        sim_add_device(kBoardId, "ST0001", "Test Board");
        testing_support::setEnvironment("CORVANE_SELFTEST_CYCLES", kCyclesText);
        NRV_CV_Open(0, 0, 0);
        ASSERT_EQ(NRV_CV_QueryDevices(), 1);
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
        sim_clear_written(0);
    }
    void TearDown() override { sim_set_write_hook(nullptr, nullptr); }
};

// Marks on standard output where the last opening single byte and the first block go out, so the
// console line can be placed among the writes.
std::atomic<std::uint32_t> writesSeen{0};
void markOpeningEnd(int, const std::uint8_t*, std::uint32_t, void*) {
    const std::uint32_t write = ++writesSeen;
    if (write == kOpeningWrites) {
        std::fputs("<last single byte>", stdout);
        std::fflush(stdout);
    } else if (write == kOpeningWrites + 1) {
        std::fputs("<first block>", stdout);
        std::fflush(stdout);
    }
}

TEST_F(SelfTestTest, AQuietBoardGetsEveryMessageOfTheTestInOrderAndTheConsoleOneLine) {
    sim_set_write_hook(markOpeningEnd, nullptr);
    testing::internal::CaptureStdout();
    const int result = runSelfTest("against a board that sends nothing back");
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(console, "<last single byte>Sending block\n<first block>");

    const Bytes wire = written();
    ASSERT_EQ(wire.size(), kOpeningSize + kCycleSize * kCycles);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + kOpeningSize), kOpening);
    // The cases worth naming, then every cycle.
    EXPECT_EQ(cycleOnWire(wire, 0), expectedCycle(0));
    EXPECT_EQ(textOfCycle(wire, 0), Bytes(8, 0));
    EXPECT_EQ(textOfCycle(wire, 1), text("CV: 0000"));
    EXPECT_EQ(textOfCycle(wire, 2), text("CV: 0001"));
    EXPECT_EQ(textOfCycle(wire, kCycles - 1), text("CV: 012A"));
    EXPECT_EQ(wrongCycles(wire, kCycles), std::vector<int>{});

    EXPECT_EQ(sim_write_call_count(0), kOpeningWrites + kCycleWrites * kCycles);
}

TEST_F(SelfTestTest, WithEveryWriteFailingTheTestRunsToItsEndAndTheTriggerTextIsLast) {
    sim_fail_next("FT_Write", -1, 4); // FT_IO_ERROR
    EXPECT_EQ(runSelfTest("with every write failing"), 1);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write tigger");
    EXPECT_EQ(sim_written_size(0), 0U);
    // A failed preamble is not followed by its data: twelve writes a cycle.
    EXPECT_EQ(sim_call_count("FT_Write"), kOpeningWrites + std::uint64_t{kCycleWrites - 1} * kCycles);
}

TEST_F(SelfTestTest, ABoardThatTakesNoDataEndsTheTestAtTheFirstShortWrite) {
    // The board stopped taking data: every write ends at the time-out with nothing written. The
    // control-byte sequence reports no failure, so the first single byte ends the test.
    sim_short_writes(-1, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_PerformSelfTest(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(sim_call_count("FT_Write"), 6U);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write single byte");
}

TEST_F(SelfTestTest, ABlockCutShortEndsTheTestAfterItsDataWrite) {
    // Every write takes at most 4 bytes: messages go through, the first block's data does not.
    sim_short_writes(-1, 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_PerformSelfTest(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending block\n");
    EXPECT_EQ(sim_call_count("FT_Write"), kOpeningWrites + 2U);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message block");
    Bytes expected = kOpening;
    for (std::uint8_t byte : {0xA4, 0x08, 0x00, 0x00, 0x00, 0x00}) {
        expected.push_back(byte);
    }
    EXPECT_EQ(written(), expected);
}

TEST(SelfTestWithoutBoardTest, EverySendReportsTheMissingBoardAndTheWaitHoldsNothing) {
    sim_reset();
    testing_support::setEnvironment("CORVANE_SELFTEST_CYCLES", kCyclesText);
    NRV_CV_Open(0, 0, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(runSelfTest("with no board selected"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending block\n");
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendTrigger: No device was selected");
    EXPECT_EQ(sim_call_count("FT_Write"), 0U);
}

TEST(SelfTestClosedLibraryTest, NothingHappensBeforeTheLibraryIsOpen) {
    sim_reset();
    sim_add_device(kBoardId, "ST0001", "Test Board");
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_PerformSelfTest(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(NRV_CV_GetLastError(), "Library not initialized");
    EXPECT_EQ(sim_call_count("FT_Write"), 0U);
}

// A board that answers a cycle's block with a block of its own, sending the header and half the
// data at once and the rest a little later, from a thread of its own. The write hook (on the
// self test's thread) plays the board's prompt half and checks, when the next cycle's block goes
// out, that the whole answer had arrived by then.
struct SlowAnsweringBoard {
    int cyclesToAnswer = 0; // cycles whose block is answered; later ones are not
    bool sendsRestOfBlock = true;

    // Self test thread (hook) only.
    bool previousWasPreamble = false;
    int answered = 0;
    bool answerOutstanding = false;
    int heldCycles = 0;
    int notHeldCycles = 0;

    // Between the hook and the feeding thread. The rest is queued and marked delivered under
    // restLock, so the hook never sees it read by the library but not yet marked.
    std::uint8_t rest[4] = {};
    std::atomic<bool> restMayGo{false};
    std::mutex restLock;
    bool restDelivered = false;
    std::atomic<bool> finished{false};

    static void hook(int device, const std::uint8_t* bytes, std::uint32_t count, void* user) {
        static_cast<SlowAnsweringBoard*>(user)->onWrite(device, bytes, count);
    }

    void onWrite(int device, const std::uint8_t* bytes, std::uint32_t count) {
        const bool preamble = count == 2 && bytes[0] == 0xA4 && bytes[1] == 0x08;
        if (preamble && answerOutstanding) {
            // The test went on to its next cycle: the answer must be complete and read.
            std::lock_guard<std::mutex> hold(restLock);
            if (restDelivered && sim_rx_pending(device) == 0) {
                ++heldCycles;
            } else {
                ++notHeldCycles;
            }
            answerOutstanding = false;
        } else if (previousWasPreamble && count == 8 && answered < cyclesToAnswer) {
            ++answered;
            const std::uint8_t prompt[] = {0xE4, 0x08, bytes[0], bytes[1], bytes[2], bytes[3]};
            std::memcpy(rest, bytes + 4, sizeof rest);
            {
                std::lock_guard<std::mutex> hold(restLock);
                restDelivered = false;
            }
            sim_queue_rx(device, prompt, sizeof prompt);
            // The read thread has taken the header and the first half: the block is in progress.
            EXPECT_TRUE(testing_support::boardDrained(device));
            answerOutstanding = true;
        } else if (count == 2 && bytes[0] == 0x81 && bytes[1] == 0x80 && answerOutstanding && sendsRestOfBlock) {
            restMayGo.store(true);
        }
        previousWasPreamble = preamble;
    }

    // The board's own thread: sends the rest of each answer some time after the cycle's trigger.
    void feed() {
        while (!finished.load()) {
            if (!testing_support::waitUntil([this] { return restMayGo.load() || finished.load(); })) {
                continue;
            }
            if (restMayGo.exchange(false)) {
                std::lock_guard<std::mutex> hold(restLock);
                sim_queue_rx(0, rest, sizeof rest);
                restDelivered = true;
            }
        }
    }
};

std::atomic<int> answersDelivered{0};
std::atomic<int> answersWithWrongText{0};
int32_t CORVANE_CALL countAnswers(int32_t, int32_t channel, uint32_t commandByte, uint32_t length, uint8_t* data,
                                  uint32_t) {
    if (commandByte == 0xE4) {
        // Answer n echoes the block that cycle n sent: zeros first, then "CV: 0000", ...
        const Bytes expected = blockText(answersDelivered.load());
        if (channel != 4 || length != 8 || Bytes(data, data + 8) != expected) {
            ++answersWithWrongText;
        }
        ++answersDelivered;
    }
    return 0;
}

TEST_F(SelfTestTest, EachCycleWaitsUntilTheBlockTheBoardIsSendingHasArrived) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(countAnswers), 1);
    SlowAnsweringBoard board;
    board.cyclesToAnswer = 20;
    std::thread feeder([&board] { board.feed(); });
    sim_set_write_hook(SlowAnsweringBoard::hook, &board);

    EXPECT_EQ(runSelfTest("against a board answering 20 blocks slowly"), 1);
    sim_set_write_hook(nullptr, nullptr);
    board.finished.store(true);
    feeder.join();

    EXPECT_EQ(board.answered, 20);
    EXPECT_EQ(board.heldCycles, 20);
    EXPECT_EQ(board.notHeldCycles, 0);
    EXPECT_TRUE(testing_support::waitUntil([] { return answersDelivered.load() == 20; }));
    EXPECT_EQ(answersWithWrongText.load(), 0);
    EXPECT_EQ(sim_written_size(0), kOpeningSize + kCycleSize * kCycles);
}

// The echoing board answers every message at once; its answers flood the FIFO and the channel
// buffers, so some are dropped (a block whose end finds the FIFO full leaves its length
// announced). The test must still run through, and what arrives must be the blocks it sent.
std::uint8_t echoedTexts[kCycles][8];
std::atomic<int> echoedBlocks{0};
int32_t CORVANE_CALL collectEchoes(int32_t, int32_t channel, uint32_t commandByte, uint32_t length, uint8_t* data,
                                   uint32_t) {
    const int next = echoedBlocks.load(std::memory_order_relaxed);
    if (commandByte == 0xE4 && channel == 4 && length == 8 && next < kCycles) {
        std::memcpy(echoedTexts[next], data, 8);
        echoedBlocks.store(next + 1, std::memory_order_release); // the text is in place first
    }
    return 0;
}

TEST_F(SelfTestTest, AnEchoingBoardGetsItsBlocksBackInOrderAndTheTestRunsThrough) {
    ASSERT_EQ(NRV_CV_RegisterReadCallback(collectEchoes), 1);
    sim_set_echo(0, 1);
    EXPECT_EQ(runSelfTest("against an echoing board"), 1);
    EXPECT_EQ(sim_written_size(0), kOpeningSize + kCycleSize * kCycles);

    ASSERT_TRUE(testing_support::waitUntil([] { return echoedBlocks.load() > 0; }));
    const int answers = echoedBlocks.load(std::memory_order_acquire);
    int cycle = 0;
    for (int answer = 0; answer < answers; ++answer) {
        const Bytes echoed(echoedTexts[answer], echoedTexts[answer] + 8);
        while (cycle < kCycles && blockText(cycle) != echoed) {
            ++cycle; // that cycle's answer was dropped
        }
        ASSERT_LT(cycle, kCycles) << "answer " << answer << " is no block of the test, or out of order";
        ++cycle;
    }
}

TEST_F(SelfTestTest, ABoardThatStopsInTheMiddleOfABlockLetsTheTestFinish) {
    // The board answers the first block with a header and half its data, then nothing more: the
    // block never completes and its length stays announced for the rest of the test.
    SlowAnsweringBoard board;
    board.cyclesToAnswer = 1;
    board.sendsRestOfBlock = false;
    sim_set_write_hook(SlowAnsweringBoard::hook, &board);

    EXPECT_EQ(runSelfTest("against a board that stops in the middle of a block"), 1);
    sim_set_write_hook(nullptr, nullptr);

    EXPECT_EQ(board.answered, 1);
    EXPECT_EQ(board.heldCycles, 0);
    EXPECT_EQ(board.notHeldCycles, 1); // the wait gave up on the block that never completed
    EXPECT_EQ(sim_written_size(0), kOpeningSize + kCycleSize * kCycles);
}

} // namespace
