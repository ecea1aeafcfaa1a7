// Lists the boards, sends a block to board 0 and prints what the board answers.
//   c++ -std=c++17 echo_block.cpp $(pkg-config --cflags --libs corvane) -o echo_block
// On simulated boards: LD_LIBRARY_PATH=<the simulated driver's folder> CORVANE_SIM_BOARDS=default ./echo_block
#include "corvane.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

int main() {
    try {
        corvane::Library library;
        for (const corvane::BoardInfo& info : library.boards()) {
            std::printf("board %d: %s \"%s\"\n", info.index, info.serial.c_str(), info.name.c_str());
        }
        if (library.boards().empty()) {
            std::printf("no board found (%s)\n", library.lastError().c_str());
            return 1;
        }
        corvane::Board board = library.board(0);
        // The handler runs on the library's thread; the bytes are copied out for the main thread.
        std::mutex lock;
        std::condition_variable arrived;
        std::optional<std::vector<std::uint8_t>> echo;
        board.onMessage([&](const corvane::Message& message) {
            std::lock_guard<std::mutex> hold(lock);
            echo = message.copy();
            arrived.notify_one();
        });
        board.sendBlock(2, "Hello, board!");
        std::unique_lock<std::mutex> wait(lock);
        if (!arrived.wait_for(wait, std::chrono::seconds(2), [&] { return echo.has_value(); })) {
            std::printf("no answer within 2 s\n");
            return 1;
        }
        std::printf("answer: %zu bytes: %.*s\n", echo->size(), static_cast<int>(echo->size()),
                    reinterpret_cast<const char*>(echo->data()));
        return 0;
    } catch (const corvane::Error& error) {
        std::fprintf(stderr, "echo_block: %s\n", error.what());
        return 1;
    }
}
