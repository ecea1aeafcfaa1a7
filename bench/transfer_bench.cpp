// The send path with and without contention, and receive throughput, each beside its baseline:
// the same work done with raw calls to the simulated driver, in the same run.
#include "board_sim.h"
#include "core/spin_lock.h"
#include "corvane.h"
#include "d2xx.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kBoardId = 0x04038088;
constexpr int kLibraryBoard = 0;            // opened and polled by the library
constexpr int kRawBoard = 1;                // opened directly, for the baselines
constexpr std::uint32_t kClearEvery = 4096; // captured writes are dropped this often
constexpr int kReceiveBatch = 1024;         // messages per receive iteration

d2xx::FT_HANDLE rawHandle = nullptr;
d2xx::PFN_FT_Write rawWrite = nullptr;
d2xx::PFN_FT_Read rawRead = nullptr;
d2xx::PFN_FT_GetStatus rawGetStatus = nullptr;
std::atomic<std::uint64_t> received{0};

int32_t CORVANE_CALL countingCallback(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) {
    received.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

bool setUp() {
    sim_reset();
    sim_add_device(kBoardId, "BENCH0", "Bench board 0");
    sim_add_device(kBoardId, "BENCH1", "Bench board 1");
    NRV_CV_Open(0, 0, 0);
    if (NRV_CV_QueryDevices() != 2 || NRV_CV_OpenDeviceByIndex(kLibraryBoard) != 1 ||
        NRV_CV_SelectActiveDeviceByIndex(kLibraryBoard) != 1 || NRV_CV_RegisterReadCallback(&countingCallback) != 1) {
        return false;
    }
    auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
    rawWrite = reinterpret_cast<d2xx::PFN_FT_Write>(sim_entry_point("FT_Write"));
    rawRead = reinterpret_cast<d2xx::PFN_FT_Read>(sim_entry_point("FT_Read"));
    rawGetStatus = reinterpret_cast<d2xx::PFN_FT_GetStatus>(sim_entry_point("FT_GetStatus"));
    char serial[] = "BENCH1";
    return openEx(serial, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &rawHandle) == d2xx::FT_OK;
}

std::vector<std::uint8_t> singleBytes(int count) {
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < count; ++i) {
        stream.push_back(static_cast<std::uint8_t>(0xD0 | (i % 8)));
        stream.push_back(static_cast<std::uint8_t>(i));
    }
    return stream;
}

// Baseline of a send: one raw two-byte FT_Write to the simulated driver.
void RawWrite(benchmark::State& state) {
    std::uint8_t message[2] = {0x93, 0x41};
    std::uint32_t count = 0;
    for (auto _ : state) {
        d2xx::DWORD written = 0;
        rawWrite(rawHandle, message, 2, &written);
        if (++count % kClearEvery == 0) sim_clear_written(kRawBoard);
    }
    state.SetItemsProcessed(state.iterations());
}

// A single byte through the export: guard, active board, send lock, FT_Write, result check.
void SendByte(benchmark::State& state) {
    std::uint32_t count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(NRV_CV_SendByte(3, 0x41));
        if (++count % kClearEvery == 0) sim_clear_written(kLibraryBoard);
    }
    state.SetItemsProcessed(state.iterations());
}

// The send lock alone, uncontended: what every send pays for keeping its writes together.
void SendLockPair(benchmark::State& state) {
    static corvane::SpinLock lock;
    for (auto _ : state) {
        lock.lock();
        lock.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}

// Baseline of receiving: the same messages read straight from the driver, two bytes a read.
void RawReceive(benchmark::State& state) {
    const std::vector<std::uint8_t> stream = singleBytes(kReceiveBatch);
    std::uint8_t header[2];
    for (auto _ : state) {
        sim_queue_rx(kRawBoard, stream.data(), static_cast<std::uint32_t>(stream.size()));
        for (;;) {
            d2xx::DWORD pending = 0, transmit = 0, events = 0, got = 0;
            rawGetStatus(rawHandle, &pending, &transmit, &events);
            if (pending < 2) break;
            rawRead(rawHandle, header, 2, &got);
            benchmark::DoNotOptimize(header);
        }
    }
    state.SetItemsProcessed(state.iterations() * kReceiveBatch);
}

// Board to callback: read thread, channel buffer, FIFO, write thread, callback.
void Receive(benchmark::State& state) {
    const std::vector<std::uint8_t> stream = singleBytes(kReceiveBatch);
    for (auto _ : state) {
        const std::uint64_t target = received.load() + kReceiveBatch;
        sim_queue_rx(kLibraryBoard, stream.data(), static_cast<std::uint32_t>(stream.size()));
        while (received.load(std::memory_order_relaxed) < target) {
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(state.iterations() * kReceiveBatch);
}

BENCHMARK(RawWrite)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(SendByte)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(SendLockPair)->UseRealTime();
BENCHMARK(RawReceive)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Receive)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Keeps every run's time per item so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_None) {} // plain text: the output usually goes to a log
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const double items = run.counters.count("items_per_second") != 0
                                         ? static_cast<double>(run.counters.at("items_per_second"))
                                         : 0.0;
                nanosecondsPerItem[run.benchmark_name()] = items > 0 ? 1e9 / items : 0;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanosecondsPerItem;
};

void printRatio(const RatioReporter& reporter, const char* what, const std::string& measured,
                const std::string& baseline) {
    auto m = reporter.nanosecondsPerItem.find(measured);
    auto b = reporter.nanosecondsPerItem.find(baseline);
    if (m == reporter.nanosecondsPerItem.end() || b == reporter.nanosecondsPerItem.end() || b->second == 0) {
        return;
    }
    std::printf("%-52s %10.1f ns vs %10.1f ns   ratio %6.2f\n", what, m->second, b->second, m->second / b->second);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!setUp()) {
        std::fprintf(stderr, "could not set up the simulated boards\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nPer item, against the raw driver call measured in this run:\n");
    printRatio(reporter, "send byte, one thread / raw write", "SendByte/real_time/threads:1",
               "RawWrite/real_time/threads:1");
    printRatio(reporter, "send byte, two threads / raw write, two threads", "SendByte/real_time/threads:2",
               "RawWrite/real_time/threads:2");
    printRatio(reporter, "send lock (lock + unlock) / raw write", "SendLockPair/real_time",
               "RawWrite/real_time/threads:1");
    printRatio(reporter, "receive, board to callback / raw read", "Receive/real_time", "RawReceive/real_time");
    benchmark::Shutdown();
    return 0;
}
