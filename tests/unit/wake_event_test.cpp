// The wake-up event of the idle wait: a signal is never lost, whether the library gives it or the
// D2XX driver gives it through its receive notification (here the simulated driver's, which
// signals the way the vendor's does), and in particular not when it comes just as the waiter
// has found nothing to do and is about to sleep.
#include "board_sim.h"
#include "d2xx.h"
#include "platform/platform.h"
#include "transfer/board_wake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// A wake event lives as long as the process, as the library's own do (nothing frees them): held
// in a global of the program so that the leak checker sees it still reachable.
extern corvane::platform::WakeEvent* liveEvent;
corvane::platform::WakeEvent* liveEvent = nullptr;

namespace {

using Clock = std::chrono::steady_clock;
using corvane::platform::WakeEvent;

// Far longer than any test waits for: a wait that ends by its time-out fails the test.
constexpr std::uint32_t kTimeoutMs = 60000;
constexpr auto kBound = std::chrono::seconds(30);

class WakeEventTest : public ::testing::Test {
  public:
    // The board sends a message from a thread of its own: the driver signals the notification.
    void boardSendsFromItsThread() {
        board_ = std::thread([] {
            const std::uint8_t message[2] = {0xD3, 0x41};
            sim_queue_rx(0, message, 2);
        });
    }

  protected:
    void SetUp() override {
        sim_reset();
        sim_add_device(0x04038088u, "WK0001", "Wake board");
        auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
        char serial[] = "WK0001";
        ASSERT_EQ(d2xx::FT_OK, openEx(serial, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle_));
        event_ = liveEvent = corvane::platform::createWakeEvent();
        ASSERT_NE(nullptr, event_);
        auto setNotification =
            reinterpret_cast<d2xx::PFN_FT_SetEventNotification>(sim_entry_point("FT_SetEventNotification"));
        ASSERT_EQ(d2xx::FT_OK,
                  setNotification(handle_, d2xx::FT_EVENT_RXCHAR, corvane::platform::driverNotificationHandle(event_)));
    }
    void TearDown() override {
        if (board_.joinable()) {
            board_.join();
        }
        sim_reset();
    }

    Clock::duration timedWait(bool (*stillIdle)(void*), void* argument) {
        const auto start = Clock::now();
        corvane::platform::waitWakeEvent(event_, kTimeoutMs, stillIdle, argument);
        return Clock::now() - start;
    }

    d2xx::FT_HANDLE handle_ = nullptr;
    WakeEvent* event_ = nullptr;
    std::thread board_;
};

TEST_F(WakeEventTest, TheDriversSignalBetweenTheLastLookAndTheSleepWakesTheWaiter) {
    // The bytes arrive right after the waiter's last look found nothing, before it sleeps.
    static WakeEventTest* test;
    test = this;
    static std::atomic<bool> looked{false};
    auto lookAndLetTheBoardSend = [](void*) {
        looked.store(true);
        test->boardSendsFromItsThread();
        // Give the board's thread every chance to signal before this thread sleeps.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    };
    EXPECT_LT(timedWait(lookAndLetTheBoardSend, nullptr), kBound);
    EXPECT_TRUE(looked.load());
}

TEST_F(WakeEventTest, TheLibrarysSignalGivenBeforeTheWaitIsKept) {
    corvane::platform::signalWakeEvent(event_);
    EXPECT_LT(timedWait([](void*) { return true; }, nullptr), kBound);
    // Kept once: the next wait with nothing new sleeps its time (here a short one).
    const auto start = Clock::now();
    corvane::platform::waitWakeEvent(
        event_, 20, [](void*) { return true; }, nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(15));
}

TEST_F(WakeEventTest, NoWaitWhenTheLastLookFindsWork) {
    EXPECT_LT(timedWait([](void*) { return false; }, nullptr), kBound);
}

} // namespace

// ---- one notification per board ------------------------------------------------------------------

namespace {

using corvane::platform::BoardSignals;

// Slots far apart, so that on Windows the boards fall into the read thread's group and into two
// helpers' groups (63 boards a group).
constexpr int kSlots = 256;
constexpr int kSlotOfBoard[] = {0, 70, 200};
constexpr int kBoards = 3;

std::atomic<int> marks[kSlots];
// Called at a board's first mark: what happens while the mark's caller has not yet waited again.
void (*atFirstMark)(int slot) = nullptr;
std::vector<std::thread> boardThreads;

void countMark(void*, int slot) {
    if (marks[slot].fetch_add(1) == 0 && atFirstMark != nullptr) {
        atFirstMark(slot);
    }
}

int boardOfSlot(int slot) {
    for (int board = 0; board < kBoards; ++board) {
        if (kSlotOfBoard[board] == slot) {
            return board;
        }
    }
    return -1;
}

void sendFrom(int board) {
    const std::uint8_t message[2] = {0xD3, 0x41};
    sim_queue_rx(board, message, 2);
}

class BoardSignalsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        for (auto& count : marks) {
            count.store(0);
        }
        atFirstMark = nullptr;
        reader_ = liveEvent = corvane::platform::createWakeEvent();
        ASSERT_NE(nullptr, reader_);
        signals_ = liveSignals = corvane::platform::createBoardSignals(kSlots, reader_, countMark, nullptr);
        ASSERT_NE(nullptr, signals_);
        auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
        auto setNotification =
            reinterpret_cast<d2xx::PFN_FT_SetEventNotification>(sim_entry_point("FT_SetEventNotification"));
        for (int board = 0; board < kBoards; ++board) {
            char serial[] = "BS000";
            serial[4] = static_cast<char>('0' + board);
            sim_add_device(0x04038088u, serial, "Signal board");
            d2xx::FT_HANDLE handle = nullptr;
            ASSERT_EQ(d2xx::FT_OK, openEx(serial, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle));
            void* notification = corvane::platform::boardNotificationHandle(signals_, kSlotOfBoard[board]);
            ASSERT_NE(nullptr, notification);
            // A board's notification is made once and kept for its reopens.
            EXPECT_EQ(notification, corvane::platform::boardNotificationHandle(signals_, kSlotOfBoard[board]));
            ASSERT_EQ(d2xx::FT_OK, setNotification(handle, d2xx::FT_EVENT_RXCHAR, notification));
        }
    }
    void TearDown() override {
        for (std::thread& thread : boardThreads) {
            thread.join();
        }
        boardThreads.clear();
        sim_reset();
    }

    // Waits (each wait far longer than the bound) until the slot has been marked `count` times.
    bool waitForMarks(int slot, int count) {
        const auto until = Clock::now() + kBound;
        while (marks[slot].load() < count && Clock::now() < until) {
            corvane::platform::waitBoardSignals(
                signals_, kTimeoutMs, [](void*) { return true; }, nullptr);
        }
        return marks[slot].load() >= count;
    }

    WakeEvent* reader_ = nullptr;
    BoardSignals* signals_ = nullptr;

  public:
    static BoardSignals* liveSignals; // kept reachable, like the event
};

BoardSignals* BoardSignalsTest::liveSignals = nullptr;

TEST_F(BoardSignalsTest, TheDriversSignalBetweenABoardsMarkAndItsNextWaitIsKept) {
    // The board sends again right after its first mark, before the mark's caller waits again;
    // the caller is given every chance to be asleep too late.
    atFirstMark = [](int slot) {
        boardThreads.emplace_back([slot] { sendFrom(boardOfSlot(slot)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    for (int board = 0; board < kBoards; ++board) {
        const int slot = kSlotOfBoard[board];
        sendFrom(board);
        const auto start = Clock::now();
        EXPECT_TRUE(waitForMarks(slot, 2)) << "board " << board << ": the second signal was lost";
        EXPECT_LT(Clock::now() - start, kBound);
    }
}

TEST_F(BoardSignalsTest, EachBoardMarksOnlyItsOwnSlot) {
    for (int board = 0; board < kBoards; ++board) {
        sendFrom(board);
        ASSERT_TRUE(waitForMarks(kSlotOfBoard[board], 1)) << "board " << board;
        for (int other = 0; other < kBoards; ++other) {
            EXPECT_EQ(marks[kSlotOfBoard[other]].load(), other <= board ? 1 : 0)
                << "after board " << board << " sent, board " << other;
        }
    }
}

TEST_F(BoardSignalsTest, ALookWithoutTimeoutNeverSleeps) {
    // The read thread looks once a pass: with nothing signalled it must return at once.
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        corvane::platform::waitBoardSignals(signals_, 0, nullptr, nullptr);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    for (int board = 0; board < kBoards; ++board) {
        EXPECT_EQ(marks[kSlotOfBoard[board]].load(), 0);
    }
}

// ---- which boards a pass asks -------------------------------------------------------------------

// The driver signals a board once; the read thread's passes then come every 100 us, well inside
// the 10 ms safety interval. A board whose look handed over bytes, or left some for lack of room,
// must be asked again on the very next pass without a new signal (a driver that signals once for
// bytes that keep arriving, a board held back by a slow callback); one whose look found nothing
// waits for a signal or its safety look.
struct ReLookRow {
    const char* name;
    corvane::BoardPoll busyLook; // what each of its first looks did
    int busyLooks;               // how many looks do that before the board runs dry
    int looksBeforeSafety;       // how many looks the passes of the first 9 ms make
};

std::ostream& operator<<(std::ostream& out, const ReLookRow& row) { return out << row.name; }

class BoardReLookTest : public ::testing::TestWithParam<ReLookRow> {};

TEST_P(BoardReLookTest, AfterOneSignalTheBoardIsAskedAgainWhileItsLooksFindWork) {
    const ReLookRow& row = GetParam();
    constexpr int kSlot = 3;
    auto wake = std::make_unique<corvane::BoardWake>();
    const Clock::time_point start = Clock::now();
    wake->lastLook[kSlot] = start;
    wake->lastTraffic = start - std::chrono::seconds(1);
    wake->signalled[kSlot].store(1); // the driver's one signal
    int looks = 0;
    int looksIn9Ms = 0;
    int quietPasses = 0; // passes that did not ask the board
    for (auto now = start; now < start + std::chrono::milliseconds(13); now += std::chrono::microseconds(100)) {
        // A pass begins as startBoardPass begins it, at the pass's time.
        wake->busy = now - wake->lastTraffic < corvane::kBusyTime;
        wake->safetyLooksLeft = wake->busy ? corvane::kBusyPassSafetyLooks : corvane::kDeviceRecordCount;
        if (!corvane::boardDue(wake.get(), kSlot, now)) {
            ++quietPasses;
            continue;
        }
        const bool findsWork = looks < row.busyLooks;
        corvane::noteBoardLook(wake.get(), kSlot, findsWork ? row.busyLook : corvane::BoardPoll{false, false}, now);
        ++looks;
        looksIn9Ms += now < start + std::chrono::milliseconds(9);
    }
    // Within the first 9 ms: the looks that found work, each on the pass after the one before,
    // and the one that found the board dry; then, once the safety interval has passed, one more.
    EXPECT_EQ(looksIn9Ms, row.looksBeforeSafety);
    EXPECT_EQ(looks, row.looksBeforeSafety + 1);
    EXPECT_GT(quietPasses, 100);
}

INSTANTIATE_TEST_SUITE_P(Rows, BoardReLookTest,
                         ::testing::Values(ReLookRow{"HandsOverBytes", {true, false}, 20, 21},
                                           ReLookRow{"LeavesBytesForLackOfRoom", {false, true}, 20, 21},
                                           ReLookRow{"FindsNothing", {false, false}, 0, 1}),
                         [](const testing::TestParamInfo<ReLookRow>& info) { return std::string(info.param.name); });

} // namespace
