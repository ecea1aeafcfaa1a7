// The pacing thread of the simulated driver's streams, which sends a paced stream's messages when
// they fall due although the host is not calling the driver (a host that waits for the receive
// notification), and the stream's control API.
#include "sim_state.h"
#include "stream.h"

#include <algorithm>
#include <thread>

namespace boardsim {

namespace {

// How often the pacing thread looks at a streaming gateware board (it runs only while the host has
// read most of what waits).
constexpr auto kRtlPacing = std::chrono::milliseconds(2);

bool validStream(const SimStream& stream) {
    return stream.blockChannels == 0 ||
           (stream.blockLength >= kStreamMinBlockLength && stream.blockLength <= kStreamMaxBlockLength);
}

// Sends every paced stream's due messages; sleeps until the earliest next one, or until a new
// paced stream is set. Started at the first paced stream, it runs until the process ends.
void pacerMain() {
    Driver& d = driver();
    std::vector<PendingSignal> signals;
    std::unique_lock<std::mutex> lock(d.lock);
    for (;;) {
        auto next = std::chrono::steady_clock::time_point::max();
        const auto now = std::chrono::steady_clock::now();
        signals.clear();
        for (const auto& device : d.devices) {
            if (device->rtl && device->open && device->rtl->streaming()) {
                // The gateware streams only while it runs: a host that waits for the receive
                // notification instead of polling still gets data.
                PendingSignal signal;
                topUp(*device, now, signal);
                if (signal.pending()) {
                    signals.push_back(signal);
                }
                next = std::min(next, now + kRtlPacing);
                continue;
            }
            if (!device->stream || !device->stream->paced()) {
                continue;
            }
            PendingSignal signal;
            topUp(*device, now, signal);
            if (signal.pending()) {
                signals.push_back(signal);
            }
            next = std::min(next, device->stream->nextDue());
        }
        if (!signals.empty()) {
            lock.unlock();
            for (PendingSignal& signal : signals) {
                signal.fire();
            }
            lock.lock();
            continue; // a host read may have changed the queues meanwhile
        }
        if (next == std::chrono::steady_clock::time_point::max()) {
            d.pacerWake.wait(lock);
        } else {
            d.pacerWake.wait_until(lock, next);
        }
    }
}

} // namespace

void wakePacer() {
    Driver& d = driver();
    if (!d.pacerStarted) {
        d.pacerStarted = true;
        std::thread(pacerMain).detach();
    }
    d.pacerWake.notify_one();
}

} // namespace boardsim

using boardsim::driver;
using boardsim::Guard;

void sim_set_stream(int device, const SimStream* stream) {
    auto& d = driver();
    boardsim::PendingSignal signal;
    {
        Guard guard(d.lock);
        boardsim::Device* target = boardsim::deviceAt(d, device);
        if (target == nullptr) {
            return;
        }
        if (stream == nullptr || !boardsim::validStream(*stream)) {
            if (target->stream) {
                target->stream->stop();
            }
            return;
        }
        target->stream = std::make_unique<boardsim::Stream>(*stream);
        boardsim::topUp(*target, std::chrono::steady_clock::now(), signal);
        if (target->stream->paced()) {
            boardsim::wakePacer();
        }
    }
    signal.fire();
}

std::uint64_t sim_stream_sent(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target != nullptr && target->rtl) {
        return target->rtl->streamSent();
    }
    return target == nullptr || !target->stream ? 0 : target->stream->sent();
}

std::uint8_t sim_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i) {
    return boardsim::streamBlockByte(n, blockLength, i);
}
