// The board side of the simulated boards: what a board does with the bytes the host writes to it.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace boardsim {

// Host-to-device headers the echoing board understands (addresses 0 to 15 in the low nibble).
constexpr std::uint8_t kTriggerHeader = 0x81;
constexpr std::uint8_t kSingleByteRange = 0x90;
constexpr std::uint8_t kBlockRange = 0xA0;
constexpr std::uint8_t kControlMask = 0x87;
constexpr std::uint8_t kControlPattern = 0x82;
// Device-to-host command bytes of its answers.
constexpr std::uint8_t kTriggerAnswer = 0xC8;
constexpr std::uint8_t kSingleByteAnswer = 0xD0;
constexpr std::uint8_t kBlockAnswer = 0xE0;

// The board side of the echo model: it reads the host's byte stream message by message, however
// the stream is cut into writes, and produces the answers.
class EchoBoard {
  public:
    void reset() {
        header_ = 0;
        haveHeader_ = false;
        inBlock_ = false;
        blockRemaining_ = 0;
        block_.clear();
    }

    void feed(std::uint8_t byte, std::deque<std::uint8_t>& toHost) {
        if (inBlock_) {
            block_.push_back(byte);
            if (--blockRemaining_ == 0) {
                finishBlock(toHost);
            }
            return;
        }
        if (!haveHeader_) {
            header_ = byte;
            haveHeader_ = true;
            return;
        }
        haveHeader_ = false;
        answer(header_, byte, toHost);
    }

  private:
    void answer(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost) {
        if (header == kTriggerHeader) {
            toHost.push_back(kTriggerAnswer);
            toHost.push_back(value);
        } else if ((header & 0xF0) == kSingleByteRange) {
            // Also the control headers 0x92 and 0x9A: answered on the single-byte address's channel.
            toHost.push_back(static_cast<std::uint8_t>(kSingleByteAnswer | (header & 0x07)));
            toHost.push_back(value);
        } else if ((header & 0xF0) == kBlockRange) {
            // Also the control headers 0xA2 and 0xAA: a board cannot tell them from a block preamble.
            blockHeader_ = static_cast<std::uint8_t>(kBlockAnswer | (header & 0x07));
            blockRemaining_ = value;
            block_.clear();
            if (value == 0) {
                finishBlock(toHost);
            } else {
                inBlock_ = true;
            }
        } else if ((header & kControlMask) == kControlPattern) {
            const int address = (header >> 3) & 0x0F;
            toHost.push_back(static_cast<std::uint8_t>(kSingleByteAnswer | (address & 0x07)));
            toHost.push_back(value);
        }
        // Any other header is consumed with its byte and not answered.
    }

    void finishBlock(std::deque<std::uint8_t>& toHost) {
        inBlock_ = false;
        toHost.push_back(blockHeader_);
        toHost.push_back(static_cast<std::uint8_t>(block_.size()));
        toHost.insert(toHost.end(), block_.begin(), block_.end());
        block_.clear();
    }

    std::uint8_t header_ = 0;
    bool haveHeader_ = false;
    bool inBlock_ = false;
    std::uint8_t blockHeader_ = 0;
    std::uint32_t blockRemaining_ = 0;
    std::vector<std::uint8_t> block_;
};

} // namespace boardsim
