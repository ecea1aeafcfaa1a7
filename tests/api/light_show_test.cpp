// The LED light show through NRV_CV_LEDBlinky and the simulated driver: the exact bytes of each
// kind of step, the closing count line and control pair, and the ways a show is stopped.
#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Bytes;
using testing_support::kControlPair; // follows a code-0 step and closes every show

constexpr std::uint32_t kBoardId = 0x04038088;
constexpr char kBoardName[] = "Light Board";
constexpr std::uint32_t kOneHourMs = 3600000;

Bytes written() { return testing_support::writtenBytes(0); }

bool writtenSizeReaches(std::size_t size) {
    return testing_support::waitUntil([size] { return sim_written_size(0) >= size; });
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes trigger(std::uint8_t value) { return {0x81, value}; }

// The count lines of the shows so far, as logged.
std::vector<std::string> countLines() {
    std::vector<std::string> lines;
    const std::string log = testing_support::readFile("Corvane.log");
    const std::string prefix = "Interrupted light show";
    for (std::size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
        lines.push_back(log.substr(at, log.find('\n', at) + 1 - at));
    }
    return lines;
}

std::string countLine(unsigned count) { return "Interrupted light show at count " + std::to_string(count) + "\n"; }

// Runs `call` on a thread of its own and reports whether it returned within a generous limit,
// so that a hang fails the test instead of stalling it.
template <typename Call> bool returnsWithin(Call call, std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread runner([call, done] {
        call();
        done->store(true);
    });
    if (!testing_support::waitUntil([&] { return done->load(); }, limit)) {
        runner.detach();
        return false;
    }
    runner.join();
    return true;
}

class LightShowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        sim_reset();
        sim_add_device(kBoardId, "LS0001", kBoardName);
        NRV_CV_Open(0, 0, 0);
        NRV_CV_SetDebugMode(1);
        ASSERT_EQ(NRV_CV_QueryDevices(), 1);
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
        sim_clear_written(0);
    }
};

// The count line is logged before the closing pair goes out: the first control write of the
// closing pair looks into the log.
std::atomic<int> countLineBeforePair{-1};
void checkLogAtFirstControlWrite(int, const std::uint8_t* bytes, std::uint32_t count, void*) {
    if (count == 2 && bytes[0] == 0x92 && countLineBeforePair.load() == -1) {
        countLineBeforePair.store(countLines() == std::vector<std::string>{countLine(2)} ? 1 : 0);
    }
}

TEST_F(LightShowTest, FourStepsTwiceSendTheirTriggersThenTheCountLineThenTheClosingPair) {
    sim_set_write_hook(checkLogAtFirstControlWrite, nullptr);
    const std::uint8_t sequence[] = {1, 2, 3, 4};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 2, sequence, 4), 1);

    const Bytes pass = concat({trigger(0x01), trigger(0x02), trigger(0x04), trigger(0x08)});
    const Bytes expected = concat({pass, pass, kControlPair});
    ASSERT_TRUE(writtenSizeReaches(expected.size()));
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(sim_write_call_count(0), 18U); // one write per message
    EXPECT_EQ(countLineBeforePair.load(), 1);
    EXPECT_EQ(countLines(), std::vector<std::string>{countLine(2)});
    // Every trigger step reports itself; the control pair logs nothing of its own.
    const std::string log = testing_support::readFile("Corvane.log");
    const std::string lastSteps =
        std::string("SendTigger of value 8 to [") + kBoardName + "] was successful\n" + countLine(2);
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), lastSteps.size())), lastSteps);
}

TEST_F(LightShowTest, CodeZeroSendsTheControlPairAtItsStep) {
    const std::uint8_t sequence[] = {0, 2};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 1, sequence, 2), 1);

    const Bytes expected = concat({kControlPair, trigger(0x02), kControlPair});
    ASSERT_TRUE(writtenSizeReaches(expected.size()));
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(countLines(), std::vector<std::string>{countLine(1)});
}

TEST_F(LightShowTest, CodesFromFiveUpSendRandomTriggersAndNeverTheControlPair) {
    std::vector<std::uint8_t> sequence;
    for (int code = 5; code <= 255; ++code) {
        sequence.push_back(static_cast<std::uint8_t>(code));
    }
    const int repeats = 4;
    ASSERT_EQ(NRV_CV_LEDBlinky(0, repeats, sequence.data(), static_cast<std::int32_t>(sequence.size())), 1);

    const std::size_t steps = sequence.size() * repeats;
    ASSERT_TRUE(writtenSizeReaches(steps * 2 + kControlPair.size()));
    const Bytes wire = written();
    ASSERT_EQ(wire.size(), steps * 2 + kControlPair.size());
    std::set<std::uint8_t> values;
    for (std::size_t step = 0; step < steps; ++step) {
        ASSERT_EQ(wire[2 * step], 0x81) << "step " << step;
        values.insert(wire[2 * step + 1]);
    }
    EXPECT_EQ(values, (std::set<std::uint8_t>{0x01, 0x02, 0x04, 0x08}));
    EXPECT_EQ(Bytes(wire.end() - static_cast<std::ptrdiff_t>(kControlPair.size()), wire.end()), kControlPair);
}

TEST_F(LightShowTest, NoPassesRunForZeroOrNegativeRepeatsYetTheShowCloses) {
    const std::uint8_t sequence[] = {1, 2};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 0, sequence, 2), 1);
    ASSERT_TRUE(writtenSizeReaches(kControlPair.size()));
    ASSERT_EQ(NRV_CV_LEDBlinky(1, -3, sequence, 2), 1);
    ASSERT_TRUE(writtenSizeReaches(2 * kControlPair.size()));

    EXPECT_EQ(written(), concat({kControlPair, kControlPair}));
    EXPECT_EQ(countLines(), (std::vector<std::string>{countLine(0), countLine(0)}));
}

TEST_F(LightShowTest, EmptyPassesAllCountWithoutAnyStep) {
    const std::uint8_t sequence[] = {1};
    ASSERT_EQ(NRV_CV_LEDBlinky(kOneHourMs, 1000, sequence, 0), 1);

    ASSERT_TRUE(writtenSizeReaches(kControlPair.size()));
    EXPECT_EQ(written(), kControlPair);
    EXPECT_EQ(countLines(), std::vector<std::string>{countLine(1000)});
}

TEST_F(LightShowTest, ASecondShowEndsTheFirstBeforeItStarts) {
    const std::uint8_t first[] = {1};
    const std::uint8_t second[] = {2};
    ASSERT_EQ(NRV_CV_LEDBlinky(kOneHourMs, 1000, first, 1), 1);
    ASSERT_TRUE(writtenSizeReaches(2));

    bool started = false;
    ASSERT_TRUE(returnsWithin([&] { started = NRV_CV_LEDBlinky(1, 1, second, 1) == 1; }));
    EXPECT_TRUE(started);
    // The first show's end is complete by the time the second call returns.
    const Bytes firstShow = concat({trigger(0x01), kControlPair});
    const Bytes atReturn = written();
    ASSERT_GE(atReturn.size(), firstShow.size());
    EXPECT_EQ(Bytes(atReturn.begin(), atReturn.begin() + static_cast<std::ptrdiff_t>(firstShow.size())), firstShow);

    const Bytes expected = concat({firstShow, trigger(0x02), kControlPair});
    ASSERT_TRUE(writtenSizeReaches(expected.size()));
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(countLines(), (std::vector<std::string>{countLine(1), countLine(1)}));
}

TEST_F(LightShowTest, ANullSequenceIsRefusedWhileTheRunningShowGoesOn) {
    const std::uint8_t sequence[] = {1};
    ASSERT_EQ(NRV_CV_LEDBlinky(kOneHourMs, 1, sequence, 1), 1);
    ASSERT_TRUE(writtenSizeReaches(2));

    EXPECT_EQ(NRV_CV_LEDBlinky(1, 1, nullptr, 1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Sequence is not defined for LEDBlinky! :'(");
    // Had the refused call stopped the show, its closing pair would be on the wire already.
    EXPECT_EQ(written(), trigger(0x01));
    EXPECT_TRUE(countLines().empty());

    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1);
    EXPECT_EQ(written(), concat({trigger(0x01), kControlPair}));
}

TEST_F(LightShowTest, ClosingTheBoardCutsAnHourLongPauseShortAndClosesTheShowFirst) {
    const std::uint8_t sequence[] = {1};
    ASSERT_EQ(NRV_CV_LEDBlinky(kOneHourMs, 1, sequence, 1), 1);
    ASSERT_TRUE(writtenSizeReaches(2));

    int closed = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(returnsWithin([&] { closed = NRV_CV_CloseDeviceByIndex(0); }));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("[ measured ] close during an hour-long pause returned after %lld ms\n",
                static_cast<long long>(took.count()));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(sim_is_open(0), 0);
    // The driver keeps only writes made on an open handle, so the pair went out before FT_Close.
    EXPECT_EQ(written(), concat({trigger(0x01), kControlPair}));
    EXPECT_EQ(countLines(), std::vector<std::string>{countLine(1)});
}

TEST_F(LightShowTest, ALongestPossiblePauseEndsWhenANewShowStopsIt) {
    const std::uint8_t sequence[] = {4};
    ASSERT_EQ(NRV_CV_LEDBlinky(0xFFFFFFFFU, 5, sequence, 1), 1);
    ASSERT_TRUE(writtenSizeReaches(2));

    // Repeats 0 serves to stop a running show: it ends it, then plays nothing but its own pair.
    ASSERT_TRUE(returnsWithin([&] { EXPECT_EQ(NRV_CV_LEDBlinky(1, 0, sequence, 1), 1); }));
    const Bytes expected = concat({trigger(0x08), kControlPair, kControlPair});
    ASSERT_TRUE(writtenSizeReaches(expected.size()));
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(countLines(), (std::vector<std::string>{countLine(1), countLine(0)}));
}

TEST_F(LightShowTest, ShowsThatEndAtOnceNeverLeaveAStaleMarker) {
    // A show with no passes ends right after its thread starts. Were its marker stored after the
    // thread had cleared it, the next call would wait for a show that no longer exists.
    const std::uint8_t sequence[] = {1};
    const int shows = 200;
    ASSERT_TRUE(returnsWithin([&] {
        for (int show = 0; show < shows; ++show) {
            ASSERT_EQ(NRV_CV_LEDBlinky(0, 0, sequence, 1), 1);
        }
    }));
    ASSERT_TRUE(writtenSizeReaches(shows * kControlPair.size()));
    const Bytes wire = written();
    ASSERT_EQ(wire.size(), shows * kControlPair.size());
    for (int show = 0; show < shows; ++show) {
        const auto begin = wire.begin() + static_cast<std::ptrdiff_t>(show * kControlPair.size());
        ASSERT_EQ(Bytes(begin, begin + static_cast<std::ptrdiff_t>(kControlPair.size())), kControlPair)
            << "show " << show;
    }
}

TEST(LightShowWithoutBoardTest, EveryStepReportsTheMissingBoardAndTheShowPlaysToItsEnd) {
    testing_support::enterFreshDirectory();
    sim_reset();
    NRV_CV_Open(0, 0, 0);
    NRV_CV_SetDebugMode(1);
    const std::uint8_t sequence[] = {1, 0};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 1, sequence, 2), 1);

    const std::string noDevice = "CV ERROR: SendTrigger: No device was selected\n";
    // The trigger step, the two control-byte sends of the code-0 step, the count line, then the
    // two of the closing pair.
    const std::string expected = noDevice + noDevice + noDevice + countLine(1) + noDevice + noDevice;
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return testing_support::readFile("Corvane.log").size() >= expected.size(); }));
    EXPECT_EQ(testing_support::readFile("Corvane.log"), expected);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendTrigger: No device was selected");
}

TEST(LightShowClosedLibraryTest, NothingHappensBeforeTheLibraryIsOpen) {
    sim_reset();
    sim_add_device(kBoardId, "LS0001", kBoardName);
    const std::uint8_t sequence[] = {1};
    EXPECT_EQ(NRV_CV_LEDBlinky(1, 1, sequence, 1), 0);
    EXPECT_EQ(NRV_CV_LEDBlinky(1, 1, nullptr, 1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Library not initialized");
    EXPECT_EQ(sim_call_count("FT_Write"), 0U);
}

} // namespace
