// The library against the example gateware (boards with "logic": "rtl") beside the same boards of
// the C++ board model, measured in the same run: echo round trips of a single byte and of a
// 255-byte block, a stream's throughput, and how many clocks per second the co-simulation runs
// (through the driver, and the RTL board alone). Every figure of the gateware is also given as a
// ratio to the model's.
//
//   gateware_bench [seconds per case, default 2]
#include "board_sim.h"
#include "corvane.h"
#include "rtl_board.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Boards 0 and 1 echo, 2 and 3 stream flat out (single bytes on channel 0, 32-byte blocks on 1):
// the gateware first, then the model.
constexpr const char* kBoardFile = R"({"boards": [
  {"id": "0x04038088", "serial": "RTLECHO", "description": "RTL Echo", "logic": "rtl", "behaviour": "echo"},
  {"id": "0x04038088", "serial": "MODELECHO", "description": "Model Echo", "behaviour": "echo"},
  {"id": "0x04038088", "serial": "RTLSTREAM", "description": "RTL Stream", "logic": "rtl", "behaviour": "stream",
   "stream": {"singleByteChannels": [0], "blockChannels": [1], "blockLength": 32}},
  {"id": "0x04038088", "serial": "MODELSTREAM", "description": "Model Stream", "behaviour": "stream",
   "stream": {"singleByteChannels": [0], "blockChannels": [1], "blockLength": 32}}
]})";

std::atomic<std::uint64_t> messages{0};
std::atomic<std::uint64_t> bytes{0};

int32_t CORVANE_CALL count(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t length) {
    bytes.fetch_add(length, std::memory_order_relaxed);
    messages.fetch_add(1, std::memory_order_release); // publishes the byte count with the message
    return 0;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void use(int board) {
    if (NRV_CV_OpenDeviceByIndex(board) != 1 || NRV_CV_SelectActiveDeviceByIndex(board) != 1 ||
        NRV_CV_RegisterReadCallback(count) != 1) {
        std::fprintf(stderr, "gateware_bench: board %d: %s\n", board, NRV_CV_GetLastError());
        std::exit(1);
    }
}

// Round trips per second: send, then wait for the echo, for `seconds`.
double roundTrips(int board, std::uint32_t blockLength, double seconds) {
    use(board);
    std::vector<std::uint8_t> block(blockLength);
    for (std::uint32_t i = 0; i < blockLength; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 13);
    }
    std::uint64_t done = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        const std::uint64_t before = messages.load(std::memory_order_acquire);
        if (blockLength == 0) {
            NRV_CV_SendByte(3, static_cast<std::uint8_t>(done));
        } else {
            NRV_CV_SendBlock(3, block.data(), blockLength);
        }
        while (messages.load(std::memory_order_acquire) == before) {
            std::this_thread::yield();
        }
        ++done;
    }
    const double rate = static_cast<double>(done) / secondsSince(start);
    NRV_CV_CloseDeviceByIndex(board);
    return rate;
}

struct StreamFigures {
    double bytesPerSecond;
    double cyclesPerSecond; // interface clocks the gateware ran, 0 for the model
};

// The stream's payload bytes per second as the callbacks see them, after a short warm-up.
StreamFigures stream(int board, double seconds) {
    use(board);
    const auto warm = Clock::now();
    while (secondsSince(warm) < 0.2) {
        std::this_thread::yield();
    }
    SimRtlState before{};
    sim_rtl_state(board, &before, nullptr, 0);
    const std::uint64_t first = bytes.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double took = secondsSince(start);
    SimRtlState after{};
    sim_rtl_state(board, &after, nullptr, 0);
    const StreamFigures figures{static_cast<double>(bytes.load(std::memory_order_relaxed) - first) / took,
                                static_cast<double>(after.cycles - before.cycles) / took};
    NRV_CV_CloseDeviceByIndex(board);
    return figures;
}

// The RTL board alone: a 255-byte block echoed over and over, clocks per second.
double bareCyclesPerSecond(double seconds) {
    rtlboard::Settings settings;
    settings.behaviour = rtlboard::Settings::Echo;
    rtlboard::RtlBoard board(settings);
    std::vector<std::uint8_t> message = {0xA1, 0xFF};
    for (int i = 0; i < 255; ++i) {
        message.push_back(static_cast<std::uint8_t>(i));
    }
    std::vector<std::uint8_t> answers;
    const std::uint64_t first = board.cycles();
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        board.hostWrite(message.data(), message.size());
        while (board.pendingToBoard() != 0 || !board.idle()) {
            board.run(4096, answers, SIZE_MAX);
        }
        answers.clear();
    }
    return static_cast<double>(board.cycles() - first) / secondsSince(start);
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    char path[] = "/tmp/gateware_bench_XXXXXX";
    const int file = mkstemp(path);
    if (file < 0 || write(file, kBoardFile, std::char_traits<char>::length(kBoardFile)) < 0) {
        std::perror("gateware_bench: board file");
        return 1;
    }
    close(file);
    char reason[512] = "";
    const int loaded = sim_load_boards(path, reason, sizeof reason);
    std::remove(path);
    if (loaded != 4) {
        std::fprintf(stderr, "gateware_bench: %s\n", reason);
        return 1;
    }
    NRV_CV_Open(0, 0, 0);
    if (NRV_CV_QueryDevices() != 4) {
        std::fprintf(stderr, "gateware_bench: the boards were not listed\n");
        return 1;
    }
    std::printf("Machine: %u cores, load %s\n", std::thread::hardware_concurrency(), [] {
        static char text[64] = "?";
        std::ifstream("/proc/loadavg").getline(text, sizeof text);
        return text;
    }());
    std::printf("| case | gateware | board model | gateware / model |\n|---|---|---|---|\n");
    const double rtlByte = roundTrips(0, 0, seconds);
    const double modelByte = roundTrips(1, 0, seconds);
    std::printf("| single-byte echo round trips/s | %.0f | %.0f | %.3f |\n", rtlByte, modelByte, rtlByte / modelByte);
    const double rtlBlock = roundTrips(0, 255, seconds);
    const double modelBlock = roundTrips(1, 255, seconds);
    std::printf("| 255-byte block echo round trips/s | %.0f | %.0f | %.3f |\n", rtlBlock, modelBlock,
                rtlBlock / modelBlock);
    const StreamFigures rtlStream = stream(2, seconds);
    const StreamFigures modelStream = stream(3, seconds);
    std::printf("| stream payload MB/s | %.2f | %.2f | %.3f |\n", rtlStream.bytesPerSecond / 1e6,
                modelStream.bytesPerSecond / 1e6, rtlStream.bytesPerSecond / modelStream.bytesPerSecond);
    const double bare = bareCyclesPerSecond(seconds);
    std::printf("\nCo-simulation speed, 48 MHz interface clocks per second of wall time:\n");
    std::printf("- streaming through the driver: %.2f M (%.4f of real time)\n", rtlStream.cyclesPerSecond / 1e6,
                rtlStream.cyclesPerSecond / 48e6);
    std::printf("- the RTL board alone, 255-byte blocks echoed: %.2f M (%.4f of real time)\n", bare / 1e6, bare / 48e6);
    SimRtlState state{};
    for (int board : {0, 2}) {
        sim_rtl_state(board, &state, nullptr, 0);
        if (state.violations != 0) {
            std::printf("board %d broke the chip's timing %u times\n", board, state.violations);
            return 1;
        }
    }
    return 0;
}
