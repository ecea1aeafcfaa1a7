#include "board_model.h"

#include <algorithm>

namespace boardsim {

namespace {

bool isControlHeader(std::uint8_t header) {
    // 0xA2 and 0xAA are block preambles to a board: their high nibble decides first.
    return (header & kControlMask) == kControlPattern && (header & 0xF0) != kBlockRange;
}

int controlAddress(std::uint8_t header) { return (header >> 3) & 0x0F; }

void push(std::deque<std::uint8_t>& toHost, std::uint8_t command, std::uint8_t payload) {
    toHost.push_back(command);
    toHost.push_back(payload);
}

} // namespace

void BoardModel::resync() {
    header_ = 0;
    haveHeader_ = false;
    inBlock_ = false;
    blockRemaining_ = 0;
    block_.clear();
    if (controlStep_ != 0) {
        ++counts.controlDiscarded;
    }
    controlStep_ = 0;
}

void BoardModel::feed(std::uint8_t byte, std::deque<std::uint8_t>& toHost) {
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
    message(header_, byte, toHost);
}

// Returns whether the message belongs to a control sequence (begun, continued or completed).
bool BoardModel::trackControl(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost) {
    if (controlStep_ != 0) {
        const bool continues =
            header == controlHeader_ && (controlStep_ == kControlValueStep || value == kControlSequence[controlStep_]);
        if (continues) {
            if (controlStep_ == kControlValueStep) {
                controlValue_ = value;
            }
            if (++controlStep_ == kControlSequence.size()) {
                controlStep_ = 0;
                const int address = controlAddress(header);
                controlValues[static_cast<std::size_t>(address)] = controlValue_;
                ++counts.controlSequences;
                if (behaviour == Behaviour::Registers) {
                    push(toHost, static_cast<std::uint8_t>(kSingleByteAnswer | (address & 0x07)), controlValue_);
                }
            }
            return true;
        }
        controlStep_ = 0;
        ++counts.controlDiscarded;
    }
    if (isControlHeader(header) && value == kControlSequence[0]) {
        controlHeader_ = header;
        controlStep_ = 1;
        return true;
    }
    return false;
}

void BoardModel::message(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost) {
    const bool control = trackControl(header, value, toHost);
    const bool echo = behaviour == Behaviour::Echo;
    if (header == kTriggerHeader) {
        leds = value & kLedMask;
        ++counts.triggers;
        if (echo) {
            push(toHost, kTriggerAnswer, value);
        }
    } else if ((header & 0xF0) == kSingleByteRange) {
        // Also the control headers 0x92 and 0x9A: outside a sequence they are single bytes.
        if (!control) {
            registers[header & 0x0F].assign(1, value);
            ++counts.singleBytes;
        }
        if (echo) {
            push(toHost, static_cast<std::uint8_t>(kSingleByteAnswer | (header & 0x07)), value);
        }
    } else if ((header & 0xF0) == kBlockRange) {
        blockHeader_ = header;
        blockRemaining_ = value;
        block_.clear();
        if (value == 0) {
            finishBlock(toHost);
        } else {
            inBlock_ = true;
        }
    } else if ((header & kControlMask) == kControlPattern && echo) {
        push(toHost, static_cast<std::uint8_t>(kSingleByteAnswer | (controlAddress(header) & 0x07)), value);
    }
    // Any other header is consumed with its byte and not answered.
}

void BoardModel::finishBlock(std::deque<std::uint8_t>& toHost) {
    inBlock_ = false;
    registers[blockHeader_ & 0x0F] = block_;
    ++counts.blocks;
    if (behaviour == Behaviour::Echo) {
        sendBlock(toHost);
    }
    block_.clear();
}

void BoardModel::sendBlock(std::deque<std::uint8_t>& toHost) {
    std::size_t keep = block_.size();
    if (cutBlocksLeft != 0) {
        keep = std::min<std::size_t>(keep, cutBlockKeep);
        if (cutBlocksLeft > 0) {
            --cutBlocksLeft;
        }
    }
    push(toHost, static_cast<std::uint8_t>(kBlockAnswer | (blockHeader_ & 0x07)),
         static_cast<std::uint8_t>(block_.size()));
    toHost.insert(toHost.end(), block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(keep));
}

} // namespace boardsim
