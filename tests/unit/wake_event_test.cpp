// The wake-up event of the idle wait: a signal is never lost, whether the library gives it or the
// D2XX driver gives it through its receive notification (here the simulated driver's, which
// signals the way the vendor's does), and in particular not when it comes just as the waiter
// has found nothing to do and is about to sleep.
#include "board_sim.h"
#include "d2xx.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
