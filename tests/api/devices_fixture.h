// Shared set-up of the device tests: a fresh simulated driver, the library open, and the log in
// a directory of the test's own.
#pragma once

#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace devices_test {

constexpr std::uint32_t kBoardId = 0x04038088;     // supported vendor, first supported product
constexpr std::uint32_t kLastBoardId = 0x0403808F; // supported vendor, last supported product

class DevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        sim_reset();
        NRV_CV_Open(0, 0, 0);
        NRV_CV_SetDebugMode(1);
    }

    // Enumerates with standard output captured, so the console lines do not clutter the run.
    static int queryQuietly() {
        testing::internal::CaptureStdout();
        int count = NRV_CV_QueryDevices();
        testing::internal::GetCapturedStdout();
        return count;
    }

    static std::string log() { return testing_support::readFile("Corvane.log"); }
    static std::string lastError() { return NRV_CV_GetLastError(); }
};

} // namespace devices_test
