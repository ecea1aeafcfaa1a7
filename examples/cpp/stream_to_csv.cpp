// Writes every message of a board to a CSV file: seconds, channel, kind, command, length, bytes.
//   stream_to_csv [BOARD] [FILE] [SECONDS]      (defaults: 1 stream.csv 2)
// On simulated boards board 1 streams numbered messages by itself:
//   LD_LIBRARY_PATH=<the simulated driver's folder> CORVANE_SIM_BOARDS=default ./stream_to_csv 1 stream.csv 2
#include "corvane.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    const int index = argc > 1 ? std::atoi(argv[1]) : 1;
    const std::string path = argc > 2 ? argv[2] : "stream.csv";
    const double seconds = argc > 3 ? std::atof(argv[3]) : 2.0;
    FILE* csv = std::fopen(path.c_str(), "w");
    if (csv == nullptr) {
        std::fprintf(stderr, "stream_to_csv: cannot write %s\n", path.c_str());
        return 1;
    }
    std::fputs("seconds,channel,kind,command,length,bytes\n", csv);
    std::mutex lock; // triggers (read thread) and data (write thread) may come at once
    std::atomic<unsigned long> rows{0};
    const auto start = std::chrono::steady_clock::now();
    try {
        corvane::Library library;
        // The handler goes in with the open: a streaming board sends from the moment it opens.
        corvane::Board board = library.board(index, [&](const corvane::Message& m) {
            const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::string bytes;
            char hex[4];
            for (std::uint8_t byte : m) {
                std::snprintf(hex, sizeof hex, bytes.empty() ? "%02X" : " %02X", byte);
                bytes += hex;
            }
            std::lock_guard<std::mutex> hold(lock);
            std::fprintf(csv, "%.6f,%d,%s,0x%02X,%zu,%s\n", at, m.channel, corvane::kindName(m.kind), m.command,
                         m.kind == corvane::Kind::Trigger ? std::size_t{m.value} : m.size, bytes.c_str());
            rows.fetch_add(1, std::memory_order_relaxed); // a plain count for the closing line
        });
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        board.close(); // once it returns no handler runs: the file can be closed
    } catch (const corvane::Error& error) {
        std::fprintf(stderr, "stream_to_csv: %s\n", error.what());
        std::fclose(csv);
        return 1;
    }
    std::fclose(csv);
    std::printf("%lu messages written to %s\n", rows.load(), path.c_str());
    return 0;
}
