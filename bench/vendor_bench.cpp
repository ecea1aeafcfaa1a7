// Figures through the vendor's real Linux driver to emulated chips (scripts/bench.sh --vendor runs
// it with libusb_emu.so preloaded and the boards of tests/vendor/emulated_boards.json): sends per
// second beside the raw FT_Write of the same driver in the same run, the processor the process
// uses with one board open and nothing arriving, and the time from a send to the echo's callback
// after a silence. One receive profile per process (the library's state is global):
//
//   vendor_bench default|fast
#include "corvane.h"
#include "d2xx.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> answers{0};

std::int32_t CORVANE_CALL countAnswer(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint8_t*,
                                      std::uint32_t) {
    // Relaxed: the bench only waits for the count to move.
    answers.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <typename Send> double perSecond(int count, Send send) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        send(i);
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

int indexOf(const char* serial, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(NRV_CV_GetDeviceSerial(i), serial) == 0) {
            return i;
        }
    }
    std::fprintf(stderr, "vendor_bench: no board %s\n", serial);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    const std::string profile = argc > 1 ? argv[1] : "default";
    setenv("CORVANE_PROFILE", profile.c_str(), 1);
    NRV_CV_Open(0, 0, 0);
    // The enumeration's console lines go nowhere.
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, STDOUT_FILENO);
    const int count = NRV_CV_QueryDevices();
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    const int echo = indexOf("EMU0001B", count);
    const int silent = indexOf("EMU0003", count);

    // Idle: one silent board open, nothing arriving, 3 s.
    NRV_CV_OpenDeviceByIndex(silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double before = processorSeconds();
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double idle = (processorSeconds() - before) / std::chrono::duration<double>(Clock::now() - idleStart).count();
    NRV_CV_CloseDeviceByIndex(silent);

    // Sends to the echoing board, and the raw FT_Write of the same driver to another board.
    NRV_CV_OpenDeviceByIndex(echo);
    NRV_CV_SelectActiveDeviceByIndex(echo);
    NRV_CV_RegisterReadCallback(&countAnswer);
    std::vector<std::uint8_t> block(255, 0x5A);
    const double bytes = perSecond(2000, [](int i) { NRV_CV_SendByte(1, static_cast<std::uint8_t>(i)); });
    const double blocks = perSecond(1000, [&](int) { NRV_CV_SendBlock(2, block.data(), 255); });
    void* driver = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
    auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(dlsym(driver, "FT_OpenEx"));
    auto write = reinterpret_cast<d2xx::PFN_FT_Write>(dlsym(driver, "FT_Write"));
    d2xx::FT_HANDLE raw = nullptr;
    openEx(const_cast<char*>("EMU0008B"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &raw);
    std::uint8_t message[2] = {0x91, 0};
    d2xx::DWORD written = 0;
    const double rawWrites = perSecond(2000, [&](int) { write(raw, message, 2, &written); });

    // First answer after a silence: 20 times 300 ms of quiet, then one byte and its echo.
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Relaxed: as in countAnswer.
        const int seen = answers.load(std::memory_order_relaxed);
        const auto sent = Clock::now();
        NRV_CV_SendByte(3, static_cast<std::uint8_t>(i));
        while (answers.load(std::memory_order_relaxed) == seen) {
            std::this_thread::yield();
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("%-8s idle %.2f of a core; single bytes %.0f/s, 255-byte blocks %.0f/s, raw FT_Write %.0f/s "
                "(single bytes %.2f of it); first answer after a silence: median %.1f ms, max %.1f ms\n",
                profile.c_str(), idle, bytes, blocks, rawWrites, bytes / rawWrites, latencies[latencies.size() / 2],
                latencies.back());
    std::fflush(stdout);
    std::_Exit(0); // the library's threads run until the process ends
}
