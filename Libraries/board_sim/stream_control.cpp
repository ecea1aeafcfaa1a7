// The pacing thread of the simulated driver's streams, which sends a paced stream's messages when
// they fall due although the host is not calling the driver (a host that waits for the receive
// notification), and the stream's control API.
#include "sim_state.h"
#include "stream.h"

#include <algorithm>
#include <thread>

namespace boardsim {

namespace {

bool validStream(const SimStream& stream) {
    return stream.blockChannels == 0 ||
           (stream.blockLength >= kStreamMinBlockLength && stream.blockLength <= kStreamMaxBlockLength);
}

// Sends every paced stream's due messages, and lets a streaming gateware run; sleeps until the
// earliest next one, or until a new paced stream is set or a device with one opens. Only open
// devices count: a closed one sends nothing, and its stream's next message, due long ago, would
// keep the thread from sleeping. Started at the first paced stream, it runs until the process ends.
void pacerMain() {
    Driver& d = driver();
    std::vector<PendingSignal> signals;
    std::unique_lock<std::mutex> lock(d.lock);
    for (;;) {
        auto next = std::chrono::steady_clock::time_point::max();
        const auto now = std::chrono::steady_clock::now();
        signals.clear();
        for (const auto& device : d.devices) {
            // The gateware streams only while it runs: a host that waits for the receive
            // notification instead of polling still gets data.
            if (!device->open || !device->board->paced()) {
                continue;
            }
            PendingSignal signal;
            topUp(*device, now, signal);
            if (signal.pending()) {
                signals.push_back(signal);
            }
            next = std::min(next, device->board->nextDue(now));
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
            target->board->setStream(nullptr);
            return;
        }
        if (!target->board->setStream(stream)) {
            return; // a board that streams as its board file says (the gateware)
        }
        boardsim::topUp(*target, std::chrono::steady_clock::now(), signal);
        if (target->board->paced()) {
            boardsim::wakePacer();
        }
    }
    signal.fire();
}

std::uint64_t sim_stream_sent(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->board->streamSent();
}

std::uint8_t sim_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i) {
    return boardsim::streamBlockByte(n, blockLength, i);
}
