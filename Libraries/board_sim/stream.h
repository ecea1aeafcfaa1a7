// The stream mode of a simulated board: numbered messages that the board sends by itself, as
// fast as the driver's receive queue takes them or at a set rate, held back (never lost) while
// the queue is full.
#pragma once

#include "board_sim.h"
#include "byte_queue.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace boardsim {

// The vendor's driver stops asking the chip for data when this many bytes wait in its receive
// queue; the chip then holds the board back. The simulated boards do the same.
constexpr std::size_t kReceiveQueueCap = 65536;

constexpr std::uint8_t kStreamSingleByte = 0xD0; // device-to-host command bytes, | channel
constexpr std::uint8_t kStreamBlock = 0xE0;
constexpr std::uint32_t kStreamMinBlockLength = 4; // the message number travels in the first four bytes
constexpr std::uint32_t kStreamMaxBlockLength = 255;

class Stream {
  public:
    // The messages of one turn over the configured channels: single bytes first, then blocks,
    // each by ascending channel. An empty turn (no channel chosen) sends nothing.
    explicit Stream(const SimStream& settings);

    // Puts every message that is due and fits below the cap (the bytes `queue` may hold) into
    // `queue`; returns the number put.
    std::uint64_t pump(ByteQueue& queue, std::chrono::steady_clock::time_point now, std::size_t cap = kReceiveQueueCap);
    // When the next message falls due (rate streams that are not finished), else time_point::max.
    std::chrono::steady_clock::time_point nextDue() const;
    std::uint64_t sent() const { return sent_; }
    bool paced() const { return settings_.messagesPerSecond != 0; }
    // The last pump stopped at the cap with messages due: the board waits for room.
    bool heldBack() const { return heldBack_; }
    // The board falls silent; what it has sent stays counted.
    void stop() { stopped_ = true; }

  private:
    std::uint64_t dueBy(std::chrono::steady_clock::time_point now) const;

    struct Slot {
        bool block;
        std::uint8_t channel;
    };
    SimStream settings_;
    std::vector<Slot> turn_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t sent_ = 0;
    bool heldBack_ = false; // the last pump stopped at the cap
    bool stopped_ = false;
};

// Data byte i of block n of a stream: n in the first four bytes (little-endian), then bytes that
// depend on both n and i.
std::uint8_t streamBlockByte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i);

// Makes sure the driver's pacing thread runs; it tops up every paced stream when its next
// message falls due. Call with the driver's lock held after a paced stream was set.
void wakePacer();

} // namespace boardsim
