// Reconnecting lost boards (CORVANE_RECONNECT=auto), against the simulated driver, each figure beside
// its baseline from the same run:
//   ReconnectLatency  time from the board answering again (plugged in) to its first message
//                     delivered, median and 90th percentile, against the look-again interval;
//   IdlePasses        driver calls per status call while no board is lost, with reconnecting on
//                     (run the program again with CORVANE_RECONNECT=off for the other side): a pass
//                     makes one status call per open board and nothing else;
//   ReplugCycles      unplug/replug cycles in one process (CORVANE_BENCH_CYCLES, 1000 by
//                     default): driver handles, threads and resident memory before and after.
// The receive settings are read once at NRV_CV_Open, so one process measures one mode: the fast
// profile unless CORVANE_PROFILE or CORVANE_RECONNECT say otherwise.
#include "board_sim.h"
#include "corvane.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kBoardId = 0x04038088;
constexpr int kLostBoard = 0;
constexpr int kBoards = 2;
constexpr double kIntervalMs = 250; // the library's look-again interval
constexpr int kLatencySamples = 40;
const char* const kLostText = "Lost connection to device: Bench board 0 / BENCH000";
const char* const kReconnectedText = "Reconnected to device: Bench board 0 / BENCH000";

std::atomic<std::uint64_t> delivered{0};
std::atomic<std::int64_t> firstAfterNs{0}; // arrival of the first message after `armed`
std::atomic<bool> armed{false};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int32_t CORVANE_CALL onMessage(int32_t board, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) {
    delivered.fetch_add(1, std::memory_order_relaxed);
    // Acquire: pairs with the benchmark's release when it arms the stamp after the replug.
    if (board == kLostBoard && armed.load(std::memory_order_acquire)) {
        std::int64_t none = 0;
        firstAfterNs.compare_exchange_strong(none, nowNs(), std::memory_order_release, std::memory_order_relaxed);
    }
    return 0;
}

template <typename Condition> bool waitFor(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto until = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

bool lastErrorIs(const char* text) { return std::strcmp(NRV_CV_GetLastError(), text) == 0; }

// Two boards listed and opened, callbacks on both; board 0 streams single bytes at a steady rate.
void setUp() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    sim_reset();
    for (int board = 0; board < kBoards; ++board) {
        sim_add_device(kBoardId, ("BENCH00" + std::to_string(board)).c_str(),
                       ("Bench board " + std::to_string(board)).c_str());
    }
    NRV_CV_Open(0, 0, 0);
    std::fflush(stdout);
    NRV_CV_QueryDevices();
    for (int board = 0; board < kBoards; ++board) {
        NRV_CV_OpenDeviceByIndex(board);
        NRV_CV_SelectActiveDeviceByIndex(board);
        NRV_CV_RegisterReadCallback(onMessage);
    }
    const SimStream stream{1, 0, 4, 2000, 0}; // 2000 single bytes a second on channel 0
    sim_set_stream(kLostBoard, &stream);
}

// One cycle: unplugged until reported lost and its dead handle closed, out for `outMs` more, then
// plugged in; returns the time from the replug to the first message of the board delivered, in
// ms, or a negative value when it did not come.
double replugCycle(int outMs = 0) {
    sim_unplug(kLostBoard);
    if (!waitFor([] { return lastErrorIs(kLostText); })) {
        return -1;
    }
    waitFor([] { return sim_open_handles() == kBoards - 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(outMs));
    firstAfterNs.store(0, std::memory_order_relaxed);
    const std::int64_t replugged = nowNs();
    sim_replug(kLostBoard);
    // Release: the stamp is reset before the callback may set it.
    armed.store(true, std::memory_order_release);
    const bool came = waitFor([] { return firstAfterNs.load(std::memory_order_acquire) != 0; });
    armed.store(false, std::memory_order_relaxed);
    return came ? static_cast<double>(firstAfterNs.load() - replugged) / 1e6 : -1;
}

long statusField(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
        }
    }
    return -1;
}

// Argument 0: plugged in right after the loss, the worst moment (the next look is a whole interval
// away); 1: after a random 0 to 1000 ms out, as a cable put back by hand.
void ReconnectLatency(benchmark::State& state) {
    setUp();
    std::minstd_rand random(18);
    std::vector<double> samples;
    for (auto _ : state) {
        const double ms = replugCycle(state.range(0) == 0 ? 0 : static_cast<int>(random() % 1000));
        if (ms < 0) {
            state.SkipWithError("the board did not come back");
            return;
        }
        samples.push_back(ms);
        state.SetIterationTime(ms / 1000);
    }
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    state.counters["median_ms"] = median;
    state.counters["p90_ms"] = samples[samples.size() * 9 / 10];
    state.counters["interval_ms"] = kIntervalMs;
    state.counters["median_per_interval"] = median / kIntervalMs;
}
BENCHMARK(ReconnectLatency)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(kLatencySamples)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void IdlePasses(benchmark::State& state) {
    setUp();
    waitFor([] { return sim_is_open(kLostBoard) != 0; });
    std::this_thread::sleep_for(300ms); // any reconnection's own calls are over
    // The calls a pass makes (status, read) and those a reconnection would add, each entry point
    // counted on its own: the driver's total moves between two reads of it.
    static const char* const kOthers[] = {
        "FT_OpenEx", "FT_Close",       "FT_Purge",           "FT_SetBaudRate",
        "FT_Write",  "FT_SetTimeouts", "FT_SetLatencyTimer", "FT_SetEventNotification"};
    auto others = [] {
        std::uint64_t sum = 0;
        for (const char* name : kOthers) {
            sum += sim_call_count(name);
        }
        return sum;
    };
    for (auto _ : state) {
        const std::uint64_t status = sim_call_count("FT_GetStatus");
        const std::uint64_t reads = sim_call_count("FT_Read");
        const std::uint64_t other = others();
        const std::uint64_t opens = sim_call_count("FT_OpenEx");
        std::this_thread::sleep_for(1s);
        state.counters["status_calls"] = static_cast<double>(sim_call_count("FT_GetStatus") - status);
        state.counters["read_calls"] = static_cast<double>(sim_call_count("FT_Read") - reads);
        state.counters["other_calls"] = static_cast<double>(others() - other); // 0 while no board is lost
        state.counters["open_calls"] = static_cast<double>(sim_call_count("FT_OpenEx") - opens);
    }
}
BENCHMARK(IdlePasses)->Iterations(1)->Unit(benchmark::kMillisecond);

void ReplugCycles(benchmark::State& state) {
    setUp();
    const char* text = std::getenv("CORVANE_BENCH_CYCLES");
    const long cycles = text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : 1000;
    constexpr long kWarmUp = 10;
    for (auto _ : state) {
        for (long i = 0; i < kWarmUp; ++i) {
            replugCycle();
        }
        const long handles = static_cast<long>(sim_open_handles());
        const long threads = statusField("Threads:");
        const long rss = statusField("VmRSS:");
        long failed = 0;
        for (long i = 0; i < cycles; ++i) {
            failed += replugCycle() < 0 ? 1 : 0;
        }
        waitFor([] { return lastErrorIs(kReconnectedText) && sim_is_open(kLostBoard) != 0; });
        state.counters["cycles"] = static_cast<double>(cycles);
        state.counters["failed"] = static_cast<double>(failed);
        state.counters["handles_before"] = static_cast<double>(handles);
        state.counters["handles_after"] = static_cast<double>(sim_open_handles());
        state.counters["threads_before"] = static_cast<double>(threads);
        state.counters["threads_after"] = static_cast<double>(statusField("Threads:"));
        state.counters["rss_kib_before"] = static_cast<double>(rss);
        state.counters["rss_kib_after"] = static_cast<double>(statusField("VmRSS:"));
    }
}
BENCHMARK(ReplugCycles)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    setenv("CORVANE_PROFILE", std::getenv("CORVANE_PROFILE") != nullptr ? std::getenv("CORVANE_PROFILE") : "fast", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
