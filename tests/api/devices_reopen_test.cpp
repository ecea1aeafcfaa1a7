// A board reopened again and again keeps its eight channel buffers: the process's memory stays
// flat however often an application closes and reopens.
#include "devices_fixture.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

using devices_test::DevicesTest;
using devices_test::kBoardId;

namespace {

// A "Vm...:  <n> kB" figure of this process, where the system offers one (/proc on Linux).
std::optional<long> processMemoryKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            std::istringstream value(line.substr(field.size() + 1));
            long kb = 0;
            if (value >> kb) {
                return kb;
            }
        }
    }
    return std::nullopt;
}

} // namespace

TEST_F(DevicesTest, TenThousandReopensKeepMemoryFlat) {
    sim_add_device(kBoardId, "S1", "Board");
    ASSERT_EQ(queryQuietly(), 1);
    NRV_CV_SetDebugMode(0); // 20,000 log lines would only measure the disk

    auto cycle = [] { return NRV_CV_OpenDeviceByIndex(0) == 1 && NRV_CV_CloseDeviceByIndex(0) == 1; };
    // Warm-up: the first open creates the buffers; the heap settles.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(cycle()) << NRV_CV_GetLastError();
    }
    const std::optional<long> residentBefore = processMemoryKb("VmRSS");
    const std::optional<long> dataBefore = processMemoryKb("VmData");

    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
        if (!cycle()) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, 0) << NRV_CV_GetLastError();
    EXPECT_EQ(sim_open_count(0), 10100u);

    const std::optional<long> residentAfter = processMemoryKb("VmRSS");
    const std::optional<long> dataAfter = processMemoryKb("VmData");
    if (!residentBefore || !residentAfter || !dataBefore || !dataAfter) {
        std::cout << "process memory figures not available on this system; not compared\n";
        return;
    }
    std::cout << "10,000 reopens: resident " << *residentBefore << " kB -> " << *residentAfter << " kB, data "
              << *dataBefore << " kB -> " << *dataAfter << " kB\n";
    RecordProperty("resident_growth_kb", static_cast<int>(*residentAfter - *residentBefore));
    RecordProperty("data_growth_kb", static_cast<int>(*dataAfter - *dataBefore));
    // Eight new 50000-byte buffers per open would add about 4 GB of data and, with the allocator's
    // headers alone, about 300 MB of resident pages. The limit leaves room for the sanitizers'
    // bookkeeping.
    EXPECT_LT(*residentAfter - *residentBefore, 8192);
    EXPECT_LT(*dataAfter - *dataBefore, 8192);
}
