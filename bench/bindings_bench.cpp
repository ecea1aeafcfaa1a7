// Receive rate through the bindings beside the plain C callback, in one run: the simulated board
// streams numbered messages as fast as the host takes them, and a callback counts and checks each.
//   bindings_bench --case c|cpp bytes|blocks    one case in this process: "messages_per_second N"
// The profile comes from the environment (CORVANE_PROFILE). scripts/bench.sh --bindings runs the
// cases in turn, each in a process of its own, beside the C# ones, and prints the table.
#include "board_sim.h"
#include "corvane.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlockLength = 255;
constexpr auto kWarmUp = std::chrono::milliseconds(300);
constexpr std::chrono::duration<double> kMeasure{2.0};

std::atomic<std::uint64_t> delivered{0};
std::atomic<std::uint64_t> wrong{0};

// The same check in both callbacks: the message's number, as the stream numbers it.
void take(std::uint32_t length, const std::uint8_t* data) {
    // Relaxed: one writer (the write thread); the main thread only samples the count.
    const std::uint64_t n = delivered.load(std::memory_order_relaxed);
    if (length == 0 || data == nullptr || data[0] != static_cast<std::uint8_t>(n)) {
        wrong.fetch_add(1, std::memory_order_relaxed);
    }
    delivered.store(n + 1, std::memory_order_relaxed);
}

std::int32_t CORVANE_CALL plainCallback(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t length,
                                        std::uint8_t* data, std::uint32_t) {
    take(length, data);
    return 0;
}

double measure(bool blocks) {
    const SimStream stream = blocks ? SimStream{0, 0b1, kBlockLength, 0, 0} : SimStream{0b1, 0, 0, 0, 0};
    sim_set_stream(0, &stream);
    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t first = delivered.load();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kMeasure);
    const std::uint64_t last = delivered.load();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sim_set_stream(0, nullptr);
    return static_cast<double>(last - first) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "--case") != 0) {
        std::fprintf(stderr, "usage: bindings_bench --case c|cpp bytes|blocks\n");
        return 2;
    }
    const std::string binding = argv[2];
    const bool blocks = std::strcmp(argv[3], "blocks") == 0;
    sim_reset();
    sim_add_device(0x04038088, "BENCH00", "Bench board");
    std::fflush(stdout);
    double rate = 0;
    if (binding == "cpp") {
        corvane::Library library;
        corvane::Board board = library.board(0);
        board.onMessage(
            [](const corvane::Message& message) { take(static_cast<std::uint32_t>(message.size), message.data); });
        rate = measure(blocks);
    } else {
        NRV_CV_Open(0, 0, 0);
        if (NRV_CV_QueryDevices() != 1 || !NRV_CV_OpenDeviceByIndex(0) || !NRV_CV_SelectActiveDeviceByIndex(0) ||
            !NRV_CV_RegisterReadCallback(plainCallback)) {
            std::fprintf(stderr, "bindings_bench: %s\n", NRV_CV_GetLastError());
            return 1;
        }
        rate = measure(blocks);
    }
    std::printf("messages_per_second %.6g\n", rate);
    return 0;
}
