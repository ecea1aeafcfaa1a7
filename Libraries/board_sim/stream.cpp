// The stream mode: numbered messages generated in runs straight into a byte queue (the simulated
// driver's receive queue, or the emulated chip's board side).
#include "stream.h"

#include <algorithm>
#include <limits>

namespace boardsim {

namespace {

constexpr std::size_t kRunSize = 8192; // messages are generated into this much scratch, then queued

} // namespace

Stream::Stream(const SimStream& settings) : settings_(settings), start_(std::chrono::steady_clock::now()) {
    for (std::uint8_t channel = 0; channel < 8; ++channel) {
        if ((settings.singleByteChannels >> channel) & 1u) {
            turn_.push_back(Slot{false, channel});
        }
    }
    for (std::uint8_t channel = 0; channel < 8; ++channel) {
        if ((settings.blockChannels >> channel) & 1u) {
            turn_.push_back(Slot{true, channel});
        }
    }
}

std::uint64_t Stream::dueBy(std::chrono::steady_clock::time_point now) const {
    std::uint64_t due = settings_.count == 0 ? std::numeric_limits<std::uint64_t>::max() : settings_.count;
    if (settings_.messagesPerSecond != 0) {
        // Message k falls due k / rate seconds after the start; message 0 at once.
        const double seconds = std::chrono::duration<double>(now - start_).count();
        due = std::min(due, 1 + static_cast<std::uint64_t>(seconds * settings_.messagesPerSecond));
    }
    return due;
}

std::uint64_t Stream::pump(ByteQueue& queue, std::chrono::steady_clock::time_point now, std::size_t cap) {
    if (turn_.empty() || stopped_) {
        return 0;
    }
    const std::uint64_t due = dueBy(now);
    const std::uint64_t before = sent_;
    std::uint8_t run[kRunSize];
    std::size_t used = 0;
    std::size_t queued = queue.size();
    heldBack_ = false;
    while (sent_ < due) {
        const Slot slot = turn_[sent_ % turn_.size()];
        const std::size_t size = slot.block ? 2 + settings_.blockLength : 2;
        if (queued + used + size > cap) {
            heldBack_ = true; // the chip's flow control: the board waits for the host to read
            break;
        }
        if (used + size > kRunSize) {
            queue.append(run, used);
            queued += used;
            used = 0;
        }
        if (slot.block) {
            run[used++] = static_cast<std::uint8_t>(kStreamBlock | slot.channel);
            run[used++] = static_cast<std::uint8_t>(settings_.blockLength);
            for (std::uint32_t i = 0; i < settings_.blockLength; ++i) {
                run[used++] = streamBlockByte(sent_, settings_.blockLength, i);
            }
        } else {
            run[used++] = static_cast<std::uint8_t>(kStreamSingleByte | slot.channel);
            run[used++] = static_cast<std::uint8_t>(sent_ & 0xFF);
        }
        ++sent_;
    }
    queue.append(run, used);
    return sent_ - before;
}

std::chrono::steady_clock::time_point Stream::nextDue() const {
    const bool finished = settings_.count != 0 && sent_ >= settings_.count;
    if (!paced() || finished || stopped_ || heldBack_ || turn_.empty()) {
        return std::chrono::steady_clock::time_point::max(); // the host's next read sends more
    }
    return start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(sent_) / settings_.messagesPerSecond));
}

std::uint8_t streamBlockByte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i) {
    if (i < 4) {
        return static_cast<std::uint8_t>(n >> (8 * i));
    }
    // Neighbouring blocks differ in every byte (n * 0x3D changes the low byte by an odd step).
    return static_cast<std::uint8_t>((n >> 8) + n * 0x3D + i * 0x1F + blockLength * 3 + 0x5A);
}

} // namespace boardsim
