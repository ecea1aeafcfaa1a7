// The parts of the platform layer that the standard library already makes portable.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace corvane::tool {

void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string StdoutCapture::text() {
    if (file_ == nullptr) {
        return {};
    }
    std::fflush(stdout);
    auto* file = static_cast<FILE*>(file_);
    std::string result;
    std::rewind(file);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        result.append(chunk, got);
    }
    std::fseek(file, 0, SEEK_END);
    return result;
}

namespace {
// Set by the signal handler, read by the waiting loops.
std::atomic<bool> stopRequested{false};
extern "C" void onInterrupt(int) { stopRequested.store(true, std::memory_order_relaxed); }
} // namespace

void catchInterrupt() { std::signal(SIGINT, onInterrupt); }
// Relaxed: the flag only ends a loop; it hands over no other data.
bool interrupted() { return stopRequested.load(std::memory_order_relaxed); }

} // namespace corvane::tool
