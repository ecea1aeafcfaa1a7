// The simulated driver's streaming board, its 64 KiB receive queue, its receive notification and
// the latency timer: what the fast receive path's tests and benchmarks rely on.
#include "board_sim.h"
#include "d2xx.h"
#include "environment.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

// Declarations, not a using-directive: windows.h declares DWORD and PVOID too.
using d2xx::DWORD;
using d2xx::FT_EVENT_RXCHAR;
using d2xx::FT_HANDLE;
using d2xx::FT_INVALID_HANDLE;
using d2xx::FT_INVALID_PARAMETER;
using d2xx::FT_OK;
using d2xx::FT_OPEN_BY_SERIAL_NUMBER;
using d2xx::PFN_FT_Close;
using d2xx::PFN_FT_GetQueueStatus;
using d2xx::PFN_FT_GetStatus;
using d2xx::PFN_FT_OpenEx;
using d2xx::PFN_FT_Read;
using d2xx::PFN_FT_SetEventNotification;
using d2xx::PFN_FT_SetLatencyTimer;
using d2xx::PVOID;
using testing_support::waitUntil;

constexpr std::uint32_t kBoardId = 0x04038088u;
// The vendor's receive queue holds 64 KiB and a status call reports all of it when full; the
// simulated driver holding the board back stops a 512-byte packet short of that, so that the
// library never takes it for the vendor's queue overflowing.
constexpr DWORD kVendorQueueCap = 65536;
constexpr DWORD kQueueCap = kVendorQueueCap - 512;

template <typename Pointer> Pointer entry(const char* name) { return reinterpret_cast<Pointer>(sim_entry_point(name)); }

// The driver's receive notification as the host sets it up on this platform, with a count of the
// signals seen by a waiting thread.
class Notification {
  public:
    Notification() {
#if defined(_WIN32)
        event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
#else
        pthread_mutex_init(&handle_.eMutex, nullptr);
        pthread_cond_init(&handle_.eCondVar, nullptr);
#endif
        waiter_ = std::thread([this] {
#if defined(_WIN32)
            ready_.store(true);
            while (!stop_.load()) {
                if (WaitForSingleObject(event_, 10) == WAIT_OBJECT_0) {
                    signals_.fetch_add(1);
                }
            }
#else
            // The mutex is free only while the thread waits, so no signal can fall in between.
            pthread_mutex_lock(&handle_.eMutex);
            ready_.store(true);
            while (!stop_.load()) {
                timespec until{};
                clock_gettime(CLOCK_REALTIME, &until);
                until.tv_nsec += 10000000;
                if (until.tv_nsec >= 1000000000) {
                    until.tv_sec += 1;
                    until.tv_nsec -= 1000000000;
                }
                if (pthread_cond_timedwait(&handle_.eCondVar, &handle_.eMutex, &until) == 0) {
                    signals_.fetch_add(1);
                }
            }
            pthread_mutex_unlock(&handle_.eMutex);
#endif
        });
        while (!ready_.load()) {
            std::this_thread::yield();
        }
    }
    ~Notification() {
        stop_.store(true);
        waiter_.join();
    }
    PVOID param() {
#if defined(_WIN32)
        return event_;
#else
        return &handle_;
#endif
    }
    int signals() const { return signals_.load(); }

  private:
#if defined(_WIN32)
    HANDLE event_;
#else
    d2xx::FT_EVENT_HANDLE handle_{};
#endif
    std::atomic<bool> stop_{false};
    std::atomic<bool> ready_{false};
    std::atomic<int> signals_{0};
    std::thread waiter_;
};

class BoardSimStream : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        sim_add_device(kBoardId, "ST0001", "Stream board");
        ASSERT_EQ(FT_OK, openEx(const_cast<char*>("ST0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    }
    void TearDown() override { sim_reset(); }

    DWORD pending() {
        DWORD rx = 0, tx = 0, events = 0;
        EXPECT_EQ(FT_OK, getStatus(handle, &rx, &tx, &events));
        return rx;
    }
    std::vector<std::uint8_t> read(DWORD count) {
        std::vector<std::uint8_t> bytes(count);
        DWORD got = 0;
        EXPECT_EQ(FT_OK, ftRead(handle, bytes.data(), count, &got));
        bytes.resize(got);
        return bytes;
    }

    PFN_FT_OpenEx openEx = entry<PFN_FT_OpenEx>("FT_OpenEx");
    PFN_FT_GetStatus getStatus = entry<PFN_FT_GetStatus>("FT_GetStatus");
    PFN_FT_GetQueueStatus getQueueStatus = entry<PFN_FT_GetQueueStatus>("FT_GetQueueStatus");
    PFN_FT_Read ftRead = entry<PFN_FT_Read>("FT_Read");
    PFN_FT_Close ftClose = entry<PFN_FT_Close>("FT_Close");
    PFN_FT_SetEventNotification setEventNotification = entry<PFN_FT_SetEventNotification>("FT_SetEventNotification");
    FT_HANDLE handle = nullptr;
};

// Checks a received byte stream against the stream's numbering, message by message, however it
// was cut into reads.
class StreamChecker {
  public:
    StreamChecker(std::vector<std::pair<bool, int>> turn, std::uint32_t blockLength)
        : turn_(std::move(turn)), blockLength_(blockLength) {}

    void feed(const std::vector<std::uint8_t>& bytes) {
        for (std::uint8_t byte : bytes) {
            message_.push_back(byte);
            const auto [block, channel] = turn_[n_ % turn_.size()];
            const std::size_t size = block ? 2 + blockLength_ : 2;
            if (message_.size() < size) {
                continue;
            }
            std::vector<std::uint8_t> expected;
            if (block) {
                expected = {static_cast<std::uint8_t>(0xE0 | channel), static_cast<std::uint8_t>(blockLength_)};
                for (std::uint32_t i = 0; i < blockLength_; ++i) {
                    expected.push_back(sim_stream_block_byte(n_, blockLength_, i));
                }
            } else {
                expected = {static_cast<std::uint8_t>(0xD0 | channel), static_cast<std::uint8_t>(n_ & 0xFF)};
            }
            ASSERT_EQ(expected, message_) << "message " << n_;
            message_.clear();
            ++n_;
        }
    }
    std::uint64_t messages() const { return n_; }

  private:
    std::vector<std::pair<bool, int>> turn_;
    std::uint32_t blockLength_;
    std::vector<std::uint8_t> message_;
    std::uint64_t n_ = 0;
};

TEST_F(BoardSimStream, MessagesComeInTurnNumberedAndCheckableWhateverTheReadSizes) {
    const SimStream stream{0b1010, 0b100000, 20, 0, 3000};
    sim_set_stream(0, &stream);
    StreamChecker checker({{false, 1}, {false, 3}, {true, 5}}, 20);
    std::mt19937 random(7);
    while (checker.messages() < 3000) {
        const DWORD available = pending();
        ASSERT_NE(0u, available) << "the stream stalled after " << checker.messages();
        checker.feed(read(std::min<DWORD>(available, 1 + random() % 300)));
    }
    EXPECT_EQ(0u, pending()) << "the board falls silent after its count";
    EXPECT_EQ(3000u, sim_stream_sent(0));
}

TEST_F(BoardSimStream, BlocksOfTheStreamDifferFromTheirNeighboursInEveryByte) {
    for (std::uint32_t length : {4u, 5u, 255u}) {
        for (std::uint64_t n : {0ull, 1ull, 255ull, 256ull, 0x12345678ull}) {
            for (std::uint32_t i = 0; i < length; ++i) {
                if (i >= 4 || n >> (8 * i) != (n + 1) >> (8 * i)) {
                    EXPECT_NE(sim_stream_block_byte(n, length, i), sim_stream_block_byte(n + 1, length, i))
                        << "block " << n << " byte " << i << " of " << length;
                }
            }
        }
    }
    EXPECT_EQ(0x78, sim_stream_block_byte(0x12345678ull, 255, 0));
    EXPECT_EQ(0x12, sim_stream_block_byte(0x12345678ull, 255, 3));
}

TEST_F(BoardSimStream, AFullQueueHoldsTheBoardBackAndLosesNothing) {
    const SimStream stream{0, 0b1, 255, 0, 0};
    sim_set_stream(0, &stream);
    // The queue fills to its cap and the board waits there: whole messages only.
    EXPECT_EQ(kQueueCap / 257 * 257, pending());
    EXPECT_EQ(kQueueCap / 257, sim_stream_sent(0));
    DWORD queued = 0;
    ASSERT_EQ(FT_OK, getQueueStatus(handle, &queued));
    EXPECT_EQ(pending(), queued);
    // Reading makes room for more; what comes is the continuation, over several queue-fulls.
    StreamChecker checker({{true, 0}}, 255);
    for (int i = 0; i < 20; ++i) {
        checker.feed(read(10000));
        EXPECT_LE(pending(), kQueueCap);
    }
    EXPECT_EQ(200000u / 257, checker.messages());
}

TEST_F(BoardSimStream, TestBytesBeyondTheCapWaitInTheChipAndAllArrive) {
    std::vector<std::uint8_t> bytes(100000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    sim_queue_rx(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(kQueueCap, pending());
    EXPECT_EQ(100000u, sim_rx_pending(0));
    std::vector<std::uint8_t> got = read(kQueueCap);
    EXPECT_EQ(100000u - kQueueCap, pending());
    const std::vector<std::uint8_t> rest = read(pending());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(bytes, got);
}

// The vendor's queue (sim_drop_beyond_queue): what does not fit is gone, cut anywhere, and a stream
// goes on sending rather than waiting.
TEST_F(BoardSimStream, WithTheVendorsQueueWhatDoesNotFitIsLost) {
    sim_drop_beyond_queue(1);
    std::vector<std::uint8_t> bytes(100000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    sim_queue_rx(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(kVendorQueueCap, sim_rx_pending(0));
    EXPECT_EQ(100000u - kVendorQueueCap, sim_dropped_bytes(0));
    EXPECT_EQ(read(kVendorQueueCap), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + kVendorQueueCap));
    EXPECT_EQ(0u, pending()) << "the rest never comes";

    const SimStream stream{0, 0b1, 255, 0, 0};
    sim_set_stream(0, &stream);
    const std::uint64_t first = sim_stream_sent(0);
    EXPECT_EQ(kVendorQueueCap, pending()) << "filled to the cap, the last message cut";
    EXPECT_GT(sim_stream_sent(0), first) << "the status call let the board send on into the full queue";
    EXPECT_GT(sim_dropped_bytes(0), 100000u - kVendorQueueCap);
}

// Programs that cannot reach the control API choose the vendor's queue with CORVANE_SIM_QUEUE:
// every reset (and a board file's loading, which resets) takes the mode from it.
TEST_F(BoardSimStream, TheEnvironmentChoosesTheQueueModeAtEveryReset) {
    const std::vector<std::uint8_t> bytes(kVendorQueueCap + 1000, 0x5A);
    struct Row {
        const char* mode;
        std::uint64_t dropped;
        DWORD reported;
    };
    for (const Row& row : {Row{"drop", 1000, kVendorQueueCap}, Row{"hold", 0, kQueueCap}, Row{"", 0, kQueueCap}}) {
        testing_support::setEnvironment("CORVANE_SIM_QUEUE", row.mode);
        sim_reset();
        sim_add_device(kBoardId, "ST0001", "Stream board");
        ASSERT_EQ(FT_OK, openEx(const_cast<char*>("ST0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
        sim_queue_rx(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        EXPECT_EQ(row.dropped, sim_dropped_bytes(0)) << row.mode;
        EXPECT_EQ(row.reported, pending()) << row.mode;
    }
    testing_support::setEnvironment("CORVANE_SIM_QUEUE", "");
}

TEST_F(BoardSimStream, APacedStreamArrivesWithoutTheHostAskingAndSignalsTheNotification) {
    Notification notification;
    ASSERT_EQ(FT_OK, setEventNotification(handle, FT_EVENT_RXCHAR, notification.param()));
    EXPECT_EQ(FT_EVENT_RXCHAR, sim_event_mask(0));
    const SimStream stream{0b1, 0, 0, 2000, 40};
    sim_set_stream(0, &stream);
    // Nothing calls the driver while the pacing thread sends the stream's 40 messages.
    ASSERT_TRUE(waitUntil([] { return sim_stream_sent(0) == 40; }));
    ASSERT_TRUE(waitUntil([&] { return notification.signals() > 0; }));
    StreamChecker checker({{false, 0}}, 0);
    checker.feed(read(pending()));
    EXPECT_EQ(40u, checker.messages());
}

#if !defined(_WIN32)
// A closed device's paced stream sends nothing: the pacing thread sleeps until the device opens
// again, rather than waking at once, again and again, for a message due long ago.
TEST_F(BoardSimStream, APacedStreamOfAClosedDeviceLeavesThePacingThreadAsleepUntilTheOpen) {
    const SimStream stream{0b1, 0, 0, 1000, 0};
    sim_set_stream(0, &stream);
    ASSERT_TRUE(waitUntil([] { return sim_stream_sent(0) > 0; }));
    ASSERT_EQ(FT_OK, ftClose(handle));
    handle = nullptr;
    const auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    // A thread that never sleeps takes a core's time: two seconds give it every chance to show
    // 0.2 s of it, on a loaded machine too; a sleeping one takes next to nothing.
    const double before = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    while (cpuSeconds() - before < 0.2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(cpuSeconds() - before, 0.2) << "the pacing thread does not sleep while the device is closed";
    // Opened again, the stream goes on without the host asking.
    ASSERT_EQ(FT_OK, openEx(const_cast<char*>("ST0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    const std::uint64_t sent = sim_stream_sent(0);
    EXPECT_TRUE(waitUntil([&] { return sim_stream_sent(0) > sent + 10; }));
}
#endif

TEST_F(BoardSimStream, QueuedBytesSignalTheNotificationUntilTheHandleCloses) {
    Notification notification;
    ASSERT_EQ(FT_OK, setEventNotification(handle, FT_EVENT_RXCHAR, notification.param()));
    const std::uint8_t message[2] = {0xD3, 0x41};
    sim_queue_rx(0, message, 2);
    ASSERT_TRUE(waitUntil([&] { return notification.signals() == 1; }));
    EXPECT_EQ(FT_INVALID_PARAMETER, setEventNotification(handle, FT_EVENT_RXCHAR, nullptr));
    ASSERT_EQ(FT_OK, ftClose(handle));
    ASSERT_EQ(FT_OK, openEx(const_cast<char*>("ST0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(0u, sim_event_mask(0)) << "a notification belongs to the handle it was set on";
    sim_queue_rx(0, message, 2);
    ASSERT_EQ(4u, pending());
    EXPECT_EQ(1, notification.signals());
}

TEST_F(BoardSimStream, LatencyTimerIsSixteenAfterEveryOpenAndTakesWhatIsSet) {
    auto setLatency = entry<PFN_FT_SetLatencyTimer>("FT_SetLatencyTimer");
    ASSERT_NE(nullptr, setLatency);
    EXPECT_EQ(16u, sim_latency_timer(0));
    EXPECT_EQ(FT_OK, setLatency(handle, 2));
    EXPECT_EQ(2u, sim_latency_timer(0));
    EXPECT_EQ(FT_INVALID_HANDLE, setLatency(nullptr, 2));
    ASSERT_EQ(FT_OK, ftClose(handle));
    ASSERT_EQ(FT_OK, openEx(const_cast<char*>("ST0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(16u, sim_latency_timer(0));
}

TEST_F(BoardSimStream, StoppingKeepsTheCountAndABadBlockLengthIsRefused) {
    const SimStream stream{0b1, 0, 0, 0, 10};
    sim_set_stream(0, &stream);
    EXPECT_EQ(10u, sim_stream_sent(0));
    sim_set_stream(0, nullptr);
    EXPECT_EQ(10u, sim_stream_sent(0));
    read(pending());
    const SimStream tooLong{0, 0b1, 256, 0, 0};
    sim_set_stream(0, &tooLong);
    EXPECT_EQ(0u, pending());
}

} // namespace
