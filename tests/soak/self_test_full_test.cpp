// The whole self test, all 100000 cycles, against a quiet board: every byte of every cycle, the
// text's wrap after cycle 65536, and the last cycle's text. A long run on a loaded machine (each
// cycle yields the processor three times), so it lives with the soak; the self test's cases in
// the API suite run it short.
#include "board_sim.h"
#include "corvane.h"
#include "environment.h"
#include "self_test_wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace {

using namespace self_test_wire;

constexpr int kFullCycles = 100000;

TEST(SelfTestFullRun, AllCyclesReachAQuietBoardInOrderAndTheTextWrapsAfterFFFF) {
    testing_support::useProfile("default");
    testing_support::setEnvironment("CORVANE_SELFTEST_CYCLES", "");
    sim_reset();
    sim_add_device(0x04038089, "ST0001", "Test Board");
    NRV_CV_Open(0, 0, 0);
    ASSERT_EQ(NRV_CV_QueryDevices(), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    sim_clear_written(0);
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NRV_CV_PerformSelfTest(), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending block\n");
    std::fprintf(stderr, "[ measured ] the full self test: %lld ms\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

    const Bytes wire = written();
    ASSERT_EQ(wire.size(), kOpeningSize + kCycleSize * kFullCycles);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + kOpeningSize), opening());
    EXPECT_EQ(textOfCycle(wire, 65536), text("CV: FFFF"));
    EXPECT_EQ(textOfCycle(wire, 65537), text("CV: 0000"));
    EXPECT_EQ(textOfCycle(wire, kFullCycles - 1), text("CV: 869E"));
    const std::vector<int> wrong = wrongCycles(wire, kFullCycles);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " cycles differ, the first " << wrong.front();
    EXPECT_EQ(sim_write_call_count(0), kOpeningWrites + kCycleWrites * kFullCycles);
    EXPECT_STREQ(NRV_CV_GetLastError(), "No error found!\n");
}

} // namespace
