// The books of one streaming board. A simulated board in stream mode numbers its messages 0, 1,
// 2, ... in turns over its channels; with single bytes and blocks on all eight channels, message n
// is a single byte on channel n % 16 when that is below 8, else a block on channel n % 16 - 8. A
// single byte carries n & 0xFF; a block carries the low 32 bits of n in its first four bytes and
// bytes derived from n after them. The ledger checks every message the callbacks get against that
// numbering (number, channel, command byte, lengths and every byte), in order, and counts the
// numbers that never arrived.
#pragma once

#include "board_sim.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

constexpr std::uint32_t kAllChannels = 0xFF;
constexpr std::uint64_t kTurnLength = 16; // single bytes on channels 0 to 7, then blocks on 0 to 7
constexpr std::uint64_t kSingleByteSlots = 8;
constexpr std::uint8_t kSingleByteCommand = 0xD0; // | channel
constexpr std::uint8_t kBlockCommand = 0xE0;      // | channel
constexpr std::uint32_t kNumberBytes = 4;         // a block's first bytes: its number, little-endian
constexpr std::uint64_t kSingleByteWrap = 256;    // a single byte tells its number only modulo this
constexpr std::uint64_t kNumberWrap = std::uint64_t{1} << 32;
constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

inline bool isBlock(std::uint64_t n) { return n % kTurnLength >= kSingleByteSlots; }
inline std::uint32_t channelOf(std::uint64_t n) { return static_cast<std::uint32_t>(n % kTurnLength % 8); }

// Message n as the board puts it on the wire: command byte, payload, and a block's data.
inline std::vector<std::uint8_t> wireBytes(std::uint64_t n, std::uint32_t blockLength) {
    if (!isBlock(n)) {
        return {static_cast<std::uint8_t>(kSingleByteCommand | channelOf(n)), static_cast<std::uint8_t>(n)};
    }
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(kBlockCommand | channelOf(n)),
                                    static_cast<std::uint8_t>(blockLength)};
    for (std::uint32_t i = 0; i < blockLength; ++i) {
        bytes.push_back(sim_stream_block_byte(n, blockLength, i));
    }
    return bytes;
}

// The first fault any ledger found, for the test's failure message, and how many there were.
class Faults {
  public:
    void report(const std::string& what) {
        if (count_.fetch_add(1, std::memory_order_relaxed) == 0) {
            std::lock_guard<std::mutex> hold(lock_);
            first_ = what;
        }
    }
    std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    std::string first() {
        std::lock_guard<std::mutex> hold(lock_);
        return first_;
    }

  private:
    std::atomic<std::uint64_t> count_{0};
    std::mutex lock_;
    std::string first_;
};

class Ledger {
  public:
    // Before the board streams: its block length, and whether numbers may go missing (messages
    // dropped by the default mode, or purged by a reopen).
    void prepare(int board, std::uint32_t blockLength, bool missingAllowed, Faults* faults) {
        board_ = board;
        blockLength_ = blockLength;
        missingAllowed_ = missingAllowed;
        faults_ = faults;
    }

    // The messages numbered from `end` on are the main thread's fences, not the stream's.
    void endStreamAt(std::uint64_t end) {
        // Release: pairs with take's acquire; the fences are queued only after this store.
        streamEnd_.store(end, std::memory_order_release);
    }

    // One message of the board, as a callback got it. Called on the write thread only.
    void take(std::uint32_t channel, std::uint32_t command, std::uint32_t length, const std::uint8_t* data,
              std::uint32_t dataLength) {
        if (length == 0 || length != dataLength) {
            fault("lengths " + std::to_string(length) + " and " + std::to_string(dataLength));
            return;
        }
        // A single byte gives its number modulo 256, a block modulo 2^32: the number is the first
        // one from next_ on with those low bits (a repeated or older message comes out far ahead).
        std::uint64_t n;
        if (length == 1 && (command & 0xF0u) == kSingleByteCommand) {
            n = next_ + (data[0] - next_) % kSingleByteWrap;
        } else {
            std::uint32_t low = 0;
            for (std::uint32_t i = 0; i < kNumberBytes && i < length; ++i) {
                low |= static_cast<std::uint32_t>(data[i]) << (8 * i);
            }
            n = next_ + (low - next_) % kNumberWrap;
        }
        if (!matches(n, channel, command, length, data)) {
            fault("message " + std::to_string(n) + " (channel " + std::to_string(channel) + ", command " +
                  std::to_string(command) + ", length " + std::to_string(length) + ") is not the stream's");
            return;
        }
        if (n - next_ >= kNumberWrap / 2) {
            fault("message " + std::to_string(n) + " repeated or out of order");
            return;
        }
        if (n != next_) {
            if (!missingAllowed_) {
                fault("messages " + std::to_string(next_) + " to " + std::to_string(n - 1) + " missing");
            }
            // Acquire: pairs with endStreamAt; a fence is numbered from the end on.
            const std::uint64_t end = streamEnd_.load(std::memory_order_acquire);
            // Relaxed: counts that the main thread reads once next() has shown it the fence.
            missing_.fetch_add(std::min(n, end) - std::min(next_, end), std::memory_order_relaxed);
        }
        if (n < streamEnd_.load(std::memory_order_acquire)) {
            delivered_.fetch_add(1, std::memory_order_relaxed);
        }
        // Relaxed: a count that the main thread only compares with a threshold.
        channelBytes_[channel].fetch_add(length, std::memory_order_relaxed);
        next_ = n + 1;
        // Release: the counts above are complete before the main thread sees the new number.
        published_.store(next_, std::memory_order_release);
    }

    // The number after the last message delivered.
    std::uint64_t next() const {
        // Acquire: pairs with take's release, so the counts are those of that message.
        return published_.load(std::memory_order_acquire);
    }
    std::uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
    std::uint64_t missing() const { return missing_.load(std::memory_order_relaxed); }
    // Data bytes delivered on the channel so far.
    std::uint64_t channelBytes(std::uint32_t channel) const {
        return channelBytes_[channel].load(std::memory_order_relaxed);
    }

  private:
    bool matches(std::uint64_t n, std::uint32_t channel, std::uint32_t command, std::uint32_t length,
                 const std::uint8_t* data) const {
        if (channel != channelOf(n)) {
            return false;
        }
        if (!isBlock(n)) {
            return command == (kSingleByteCommand | channel) && length == 1;
        }
        if (command != (kBlockCommand | channel) || length != blockLength_) {
            return false;
        }
        for (std::uint32_t i = 0; i < length; ++i) {
            if (data[i] != sim_stream_block_byte(n, blockLength_, i)) {
                return false;
            }
        }
        return true;
    }

    void fault(const std::string& what) { faults_->report("board " + std::to_string(board_) + ": " + what); }

    int board_ = -1;
    std::uint32_t blockLength_ = 0;
    bool missingAllowed_ = false;
    Faults* faults_ = nullptr;
    std::uint64_t next_ = 0; // write thread only
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> streamEnd_{kNoEnd};
    std::atomic<std::uint64_t> delivered_{0}; // messages of the stream (below its end)
    std::atomic<std::uint64_t> missing_{0};   // numbers of the stream that never arrived
    std::array<std::atomic<std::uint64_t>, 8> channelBytes_{};
};

} // namespace soak
