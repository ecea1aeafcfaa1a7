// The fast receive path (CORVANE_PROFILE=fast, or CORVANE_RX=batched and CORVANE_IDLE=wait): the
// same callbacks, texts and log lines as the default path, nothing dropped behind a slow callback,
// no message left asleep, no heap allocation while streaming, and the chip's latency timer.
#include "environment.h"
#include "transfer_fixture.h"

#include <cstring>
#include <mutex>
#include <random>

using namespace transfer_test;
using testing_support::setEnvironment;
using testing_support::useProfile;

namespace {

// ---- the differential test -------------------------------------------------------------------------

// A random stream of everything a board may send: single bytes, blocks of every length (0 to
// 255), triggers, headers without a kind, and headers with the wrong transfer mode.
Bytes randomStream(std::mt19937& random, int messages) {
    Bytes stream;
    for (int i = 0; i < messages; ++i) {
        const auto channel = static_cast<std::uint8_t>(random() % 8);
        const auto value = static_cast<std::uint8_t>(random());
        switch (random() % 10) {
        case 0: {
            // The trigger bit decides whatever other kind bits the header carries.
            static constexpr std::uint8_t kTriggers[] = {0xC8, 0xD8, 0xE8, 0xF8};
            stream.insert(stream.end(), {static_cast<std::uint8_t>(kTriggers[random() % 4] | channel), value});
            break;
        }
        case 1:
            stream.insert(stream.end(), {static_cast<std::uint8_t>(0xC0 | channel), value}); // no kind
            break;
        case 2:
            stream.insert(stream.end(), {static_cast<std::uint8_t>(0x90 | channel), value}); // wrong mode
            break;
        case 3:
        case 4:
        case 5: {
            const auto length = static_cast<std::uint8_t>(i % 256);
            stream.insert(stream.end(), {static_cast<std::uint8_t>(0xE0 | channel), length});
            for (std::uint8_t k = 0; k < length; ++k) {
                stream.push_back(static_cast<std::uint8_t>(value + k));
            }
            break;
        }
        default:
            stream.insert(stream.end(), {static_cast<std::uint8_t>(0xD0 | channel), value});
        }
    }
    return stream;
}

// What the application and the log saw of one run.
struct Seen {
    std::vector<Call> data;            // write thread, in order
    std::vector<Call> triggers;        // read thread, in order
    std::vector<std::string> logLines; // per header and per error, in order
    std::size_t triggersOnTheWriteThread = 0;
};

// Runs the stream through a library opened with `profile`, on board 0 of a fresh driver, fed to
// the driver in pieces of random size, each taken by the read thread before the next comes (so
// reads end wherever a piece ends, inside headers and blocks).
Seen runThrough(const char* profile, const Bytes& stream, std::uint32_t seed) {
    useProfile(profile);
    openBoards(1);
    NRV_CV_SetDebugMode(1);
    EXPECT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    EXPECT_EQ(NRV_CV_RegisterReadCallbackForChannel(channelCallback(), 2), 1);
    const std::size_t before = recorder().count();
    std::mt19937 random(seed);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = std::min<std::size_t>(1 + random() % 600, stream.size() - at);
        boardSends(0, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + piece)));
        // A lone header byte stays with the driver in the default path until its partner comes.
        EXPECT_TRUE(testing_support::waitUntil([] { return sim_rx_pending(0) <= 1; }));
        at += piece;
    }
    // The end of the stream: a single byte on channel 7 that only the general callback gets.
    boardSends(0, {0xD7, 0x77});
    EXPECT_TRUE(testing_support::waitUntil([] {
        const std::vector<Call> calls = recorder().calls();
        return !calls.empty() && calls.back() == dataCall(kGeneral, 0, 7, 0xD7, {0x77});
    }));
    Seen seen;
    const std::vector<Call> calls = recorder().calls();
    for (std::size_t i = before; i < calls.size(); ++i) {
        ((calls[i].command & 0x08) != 0 ? seen.triggers : seen.data).push_back(calls[i]);
    }
    // Triggers are called on the read thread, never queued for the write thread.
    for (const Call& trigger : seen.triggers) {
        seen.triggersOnTheWriteThread += !seen.data.empty() && trigger.thread == seen.data.front().thread;
    }
    // Nothing more is logged once the last message is in: the log is complete.
    std::istringstream log(testing_support::readFile("Corvane.log"));
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("Read two bytes", 0) == 0 || line.rfind("CV ERROR", 0) == 0) {
            seen.logLines.push_back(line);
        }
    }
    // This context's boards are closed, so the next open of the library can have them.
    NRV_CV_SetDebugMode(0);
    EXPECT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    NRV_CV_Close();
    return seen;
}

TEST(FastReceive, GivesTheSameCallbacksTextsAndLogLinesAsTheDefaultPath) {
    testing_support::enterFreshDirectory();
    constexpr std::uint32_t kSeed = 20261207;
    std::mt19937 random(kSeed);
    const Bytes stream = randomStream(random, 1500);
    const Seen slow = runThrough("default", stream, kSeed);
    const Seen fast = runThrough("fast", stream, kSeed);
    ASSERT_GT(slow.data.size(), 600u);
    ASSERT_GT(slow.triggers.size(), 50u);
    EXPECT_EQ(slow.data, fast.data);
    EXPECT_EQ(slow.triggers, fast.triggers);
    EXPECT_EQ(slow.logLines, fast.logLines);
    EXPECT_EQ(slow.triggersOnTheWriteThread, 0u);
    EXPECT_EQ(fast.triggersOnTheWriteThread, 0u);
    EXPECT_NE(std::find(slow.logLines.begin(), slow.logLines.end(),
                        "CV ERROR: Message received does not have the right transfer mode; expecting output from "
                        "device"),
              slow.logLines.end());
}

// ---- a slow callback -------------------------------------------------------------------------------

// Streams that a sleeping callback holds back, each filling something else first: the channel
// buffer of 255-byte blocks, or, with single bytes on every channel, the FIFO while every channel
// buffer still has room. The read thread must leave what finds no room with the driver.
struct SlowRow {
    const char* name;
    std::uint32_t singleByteChannels;
    std::uint32_t blockChannels;
    std::uint64_t heldUntilSent; // the first sleep lasts until the board has sent this many messages
    // The driver's queue: false holds the board back (the open driver, the simulated driver's
    // default); true drops what does not fit, as the vendor's driver does: the stall then loses
    // messages, and the library says so once.
    bool vendorQueue;
};

std::ostream& operator<<(std::ostream& out, const SlowRow& row) { return out << row.name; }

const SlowRow kSlowRows[] = {
    {"ChannelBufferFillsFirst", 0b1, 0b10, 0, false},
    {"FifoFillsFirst", 0xFF, 0, 65536 + 1000, false}, // more than the FIFO's entries
    {"ChannelBufferFillsFirstVendorQueue", 0b1, 0b10, 0, true},
    {"FifoFillsFirstVendorQueue", 0xFF, 0, 65536 + 1000, true},
};
constexpr const char* kQueueFullLine = "CV ERROR: Driver receive queue of device Corvane board 0 / CVB000 is full; the "
                                       "driver may have dropped data";

constexpr std::uint32_t kSlowBlockLength = 255;
std::atomic<std::uint64_t> streamed{0};
std::atomic<std::uint64_t> outOfTurn{0};
// Per message of a turn: is it a block, its channel. Never destroyed: with the vendor's queue the
// test ends once the driver is drained, and the write thread may still be delivering at exit.
std::vector<std::pair<bool, std::int32_t>>& turn = *new std::vector<std::pair<bool, std::int32_t>>;
std::uint64_t heldUntilSent = 0;
std::string errorAfterStall;

std::uint32_t numberOf(const std::uint8_t* data) {
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

// Checks the stream of the slow test's board: the channels in turn, single-byte channels first,
// message n carrying its number. Sleeps now and then, the first time long: until the board has
// sent heldUntilSent messages and the read thread has polled it many times since.
int32_t CORVANE_CALL checkSlowly(int32_t, int32_t channel, uint32_t command, uint32_t length, uint8_t* data, uint32_t) {
    if ((command & 0x08) != 0) {
        // The stream sends no triggers: one is bytes decoded out of step, called on the read thread.
        outOfTurn.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    const std::uint64_t n = streamed.load(std::memory_order_relaxed);
    const auto [block, expected] = turn[n % turn.size()];
    const bool good = channel == expected && (block ? length == kSlowBlockLength && numberOf(data) == n &&
                                                          data[254] == sim_stream_block_byte(n, kSlowBlockLength, 254)
                                                    : length == 1 && data[0] == static_cast<std::uint8_t>(n));
    if (!good) {
        outOfTurn.fetch_add(1, std::memory_order_relaxed);
    }
    if (n == 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        testing_support::waitWhileMoving([] { return sim_stream_sent(0) >= heldUntilSent; },
                                         [] { return sim_stream_sent(0); });
        const std::uint64_t polls = sim_call_count("FT_GetStatus");
        testing_support::waitWhileMoving([polls] { return sim_call_count("FT_GetStatus") >= polls + 50; },
                                         [] { return sim_call_count("FT_GetStatus"); });
        NRV_CV_SetDebugMode(0);
        errorAfterStall = NRV_CV_GetLastError(); // published by the release store of streamed below
    } else if (n % 50000 == 49999) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    streamed.store(n + 1, std::memory_order_release);
    return 0;
}

class SlowCallbackTest : public testing::TestWithParam<SlowRow> {};

TEST_P(SlowCallbackTest, ASleepingCallbackLosesNothingUnlessTheDriverDropsAndThenItIsReported) {
    const SlowRow& row = GetParam();
    for (std::int32_t channel = 0; channel < 8; ++channel) {
        if ((row.singleByteChannels >> channel) & 1u) {
            turn.emplace_back(false, channel);
        }
    }
    for (std::int32_t channel = 0; channel < 8; ++channel) {
        if ((row.blockChannels >> channel) & 1u) {
            turn.emplace_back(true, channel);
        }
    }
    heldUntilSent = row.heldUntilSent;
    testing_support::enterFreshDirectory();
    useProfile("fast");
    openBoards(1);
    sim_drop_beyond_queue(row.vendorQueue ? 1 : 0);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(checkSlowly), 1);
    // Far more than the FIFO and the channel buffers hold while the callback sleeps.
    constexpr std::uint64_t kMessages = 200000;
    const SimStream stream{row.singleByteChannels, row.blockChannels, kSlowBlockLength, 0, kMessages};
    // The debug log covers the start and the stall, where a full queue is seen over and over.
    NRV_CV_SetDebugMode(1);
    sim_set_stream(0, &stream);
    if (!row.vendorQueue) {
        ASSERT_TRUE(testing_support::waitWhileMoving([] { return streamed.load() == kMessages; },
                                                     [] { return streamed.load(); }))
            << streamed.load() << " of " << kMessages << "; last error: " << NRV_CV_GetLastError();
        EXPECT_EQ(outOfTurn.load(), 0u);
        EXPECT_EQ(sim_stream_sent(0), kMessages);
        EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
        EXPECT_EQ(errorAfterStall, kNoErrorText);
    } else {
        // The board sends everything and the driver throws part of it away; what reached the
        // library is read, whatever became of its framing.
        ASSERT_TRUE(
            testing_support::waitWhileMoving([] { return sim_stream_sent(0) == kMessages && sim_rx_pending(0) == 0; },
                                             [] { return sim_stream_sent(0) + sim_rx_pending(0) + streamed.load(); }));
        ASSERT_TRUE(testing_support::boardDrained(0));
        EXPECT_GT(sim_dropped_bytes(0), 0u);
        EXPECT_GT(outOfTurn.load(), 0u) << "messages are missing";
    }
    // Seen full on every status call of the stall, the queue is reported once (the last error may
    // since be a framing error of bytes cut by the driver), or not at all when the board was held
    // back.
    const std::string log = testing_support::readFile("Corvane.log");
    std::size_t reports = 0;
    for (std::size_t at = log.find(kQueueFullLine); at != std::string::npos; at = log.find(kQueueFullLine, at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, row.vendorQueue ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, SlowCallbackTest, testing::ValuesIn(kSlowRows),
                         [](const testing::TestParamInfo<SlowRow>& info) { return std::string(info.param.name); });

// ---- waking -------------------------------------------------------------------------------------------

TEST(FastReceive, MessagesArrivingAsTheThreadsFallAsleepAreDelivered) {
    useProfile("fast");
    openBoards(2);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    // Pauses around the time a pass that found nothing takes to reach the wait.
    std::mt19937 random(5);
    constexpr int kMessages = 300;
    for (int i = 0; i < kMessages; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        boardSends(i % 2, {0xD1, static_cast<std::uint8_t>(i)});
        ASSERT_TRUE(recorder().waitForCalls(static_cast<std::size_t>(i + 1))) << "message " << i;
        EXPECT_EQ(recorder().call(static_cast<std::size_t>(i)),
                  dataCall(kGeneral, i % 2, 1, 0xD1, {static_cast<std::uint8_t>(i)}));
    }
}

TEST(FastReceive, OpeningABoardWakesTheReadThread) {
    useProfile("fast");
    listBoards(1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(generalCallback()), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(sim_event_mask(0), 1u) << "the driver signals the read thread when bytes arrive";
    boardSends(0, {0xD2, 0x22});
    ASSERT_TRUE(recorder().waitForCalls(1));
    EXPECT_EQ(recorder().call(0), dataCall(kGeneral, 0, 2, 0xD2, {0x22}));
}

// ---- many boards: only the signalled ones are asked ---------------------------------------------

// Per board, the single-byte values delivered to the general callback, in order. Never destroyed:
// the write thread may still deliver a streamed message while the process exits.
std::mutex& deliveredMutex = *new std::mutex;
std::vector<std::uint8_t>* const deliveredOf = new std::vector<std::uint8_t>[16];
int32_t CORVANE_CALL keepByBoard(int32_t device, int32_t, uint32_t command, uint32_t length, uint8_t* data, uint32_t) {
    if (device >= 0 && device < 16 && command == 0xD1 && length == 1) {
        std::lock_guard<std::mutex> hold(deliveredMutex);
        deliveredOf[device].push_back(data[0]);
    }
    return 0;
}
std::size_t deliveredCount(int board) {
    std::lock_guard<std::mutex> hold(deliveredMutex);
    return deliveredOf[board].size();
}

void registerOn(int boards, ReadCallback callback) {
    {
        std::lock_guard<std::mutex> hold(deliveredMutex);
        for (int board = 0; board < 16; ++board) {
            deliveredOf[board].clear();
        }
    }
    for (int board = 0; board < boards; ++board) {
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(board), 1);
        ASSERT_EQ(NRV_CV_RegisterReadCallback(callback), 1);
    }
}

TEST(FastReceive, WhileOneBoardStreamsTheSilentOnesAreAskedOnlyAtTheirSafetyInterval) {
    useProfile("fast");
    constexpr int kBoards = 16;
    constexpr int kSilent = 9;
    openBoards(kBoards);
    registerOn(kBoards, keepByBoard);
    const SimStream stream{0b10, 0, 0, 0, 0}; // single bytes on channel 1, endless
    sim_set_stream(0, &stream);
    const std::uint32_t streamingBefore = sim_status_calls(0);
    const std::uint32_t silentBefore = sim_status_calls(kSilent);
    const auto start = std::chrono::steady_clock::now();
    // 1000 looks at the streaming board, however long they take: slowly on a loaded machine, but
    // never stuck while the stream flows.
    constexpr std::uint32_t kStreamingLooks = 1000;
    ASSERT_TRUE(testing_support::waitWhileMoving(
        [&] { return sim_status_calls(0) >= streamingBefore + kStreamingLooks; }, [] { return sim_status_calls(0); }));
    const std::uint32_t silentAsked = sim_status_calls(kSilent) - silentBefore;
    const std::uint32_t streamingAsked = sim_status_calls(0) - streamingBefore;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Per look at the streaming board (one a pass), the silent board is asked only when its safety
    // interval has passed: at most one look per 10 ms of the run, with room for the looks around
    // its ends. Asking every board on every pass would give it a look per streaming look. On a
    // loaded machine the passes slow down and the allowance grows with the run.
    const auto safetyLooks = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 10;
    EXPECT_LE(silentAsked, safetyLooks + 10)
        << "in " << safetyLooks * 10 << " ms and " << streamingAsked << " streaming looks";
    // Still asked now and then: a board that stops answering is noticed.
    EXPECT_TRUE(
        testing_support::waitUntil([&] { return sim_status_calls(kSilent) >= silentBefore + silentAsked + 2; }));
    // And a silent board that speaks up is heard through its own notification.
    boardSends(kSilent, {0xD1, 0x5A});
    ASSERT_TRUE(testing_support::waitUntil([] { return deliveredCount(kSilent) == 1; }));
    sim_set_stream(0, nullptr);
    std::lock_guard<std::mutex> hold(deliveredMutex);
    EXPECT_EQ(deliveredOf[kSilent], (std::vector<std::uint8_t>{0x5A}));
}

TEST(FastReceive, ABoardClosedAndReopenedWhileTheOthersAreSignalledLosesNothingOfTheirs) {
    useProfile("fast");
    constexpr int kBoards = 4;
    constexpr int kMessages = 3000;
    openBoards(kBoards);
    registerOn(kBoards, keepByBoard);
    std::jthread others([] { // joined however the test ends
        for (int n = 0; n < kMessages; ++n) {
            for (int board = 1; board < kBoards; ++board) {
                boardSends(board, {0xD1, static_cast<std::uint8_t>(n)});
            }
            if (n % 16 == 0) {
                std::this_thread::yield();
            }
        }
    });
    constexpr int kReopens = 20;
    for (int round = 0; round < kReopens; ++round) {
        ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1) << NRV_CV_GetLastError();
        // The reopened board is heard at once, through its notification set again at the open.
        boardSends(0, {0xD1, static_cast<std::uint8_t>(round)});
        ASSERT_TRUE(testing_support::waitUntil([round] {
            return deliveredCount(0) == static_cast<std::size_t>(round + 1);
        })) << "round "
            << round;
    }
    others.join();
    for (int board = 1; board < kBoards; ++board) {
        ASSERT_TRUE(testing_support::waitWhileMoving([board] { return deliveredCount(board) == kMessages; },
                                                     [board] { return deliveredCount(board); }))
            << "board " << board << ": " << deliveredCount(board) << " of " << kMessages;
    }
    std::lock_guard<std::mutex> hold(deliveredMutex);
    for (int board = 1; board < kBoards; ++board) {
        for (int n = 0; n < kMessages; ++n) {
            ASSERT_EQ(deliveredOf[board][static_cast<std::size_t>(n)], static_cast<std::uint8_t>(n))
                << "board " << board << ", message " << n;
        }
    }
    for (int round = 0; round < kReopens; ++round) {
        EXPECT_EQ(deliveredOf[0][static_cast<std::size_t>(round)], static_cast<std::uint8_t>(round));
    }
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

// ---- the chip's latency timer ----------------------------------------------------------------------

TEST(FastReceiveSettings, LatencyTimerIsSetAtEveryOpenOnlyWhenAsked) {
    useProfile("default");
    openBoards(1);
    EXPECT_EQ(sim_latency_timer(0), 16u);
    EXPECT_EQ(sim_call_count("FT_SetLatencyTimer"), 0u);
    EXPECT_EQ(sim_event_mask(0), 0u) << "the default spins and asks for no notification";
    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    NRV_CV_Close();

    useProfile("fast");
    setEnvironment("CORVANE_LATENCY_MS", "7");
    NRV_CV_Open(0, 0, 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(NRV_CV_QueryDevices(), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(sim_latency_timer(0), 7u);
    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    EXPECT_EQ(sim_latency_timer(0), 7u);
    EXPECT_EQ(sim_call_count("FT_SetLatencyTimer"), 2u);
}

} // namespace
