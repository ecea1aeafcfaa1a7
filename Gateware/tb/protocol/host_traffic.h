// Random host traffic for the example board, with what the board must answer and count.
//
// The valid messages go to boardsim::BoardModel as they are made, so its answers (and its counts,
// registers, LEDs and control values) are what the RTL must produce for the same bytes. Bad input
// the board model does not know to drop (a byte without bit 7 where a header is due, a message the
// host stopped half-way through) is kept from the model and tallied here instead; a header with
// bit 7 that is no known message goes to both, since both consume it with its next byte.
#pragma once

#include "board_model.h"

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace cvtb {

// One stretch of the host's side: bytes to send, or a stall of the host: nothing sent until the board
// has taken every earlier byte and counted `discardedBy` discarded bytes in all (its time-out dropped
// the message left half-way), and for at least stallCycles.
struct HostStep {
    std::vector<std::uint8_t> bytes;
    unsigned stallCycles = 0;
    std::uint64_t discardedBy = 0;
};

// How often each kind of message comes (relative weights).
struct TrafficMix {
    unsigned trigger = 4, single = 4, block = 3, controlSequence = 3, brokenSequence = 2, loneControl = 1;
    unsigned unknownHeader = 0; // bit-7 headers that are no known message
    unsigned strayBytes = 0;    // bytes without bit 7 between messages
    unsigned cutShort = 0;      // messages the host stops half-way (needs a time-out on the board)
    unsigned maxBlock = 255;
    unsigned stallCycles = 0; // the host's stall after a cut-short message
};

class HostTraffic {
  public:
    HostTraffic(std::uint32_t seed, boardsim::Behaviour behaviour, TrafficMix mix) : rng_(seed), mix_(mix) {
        model.behaviour = behaviour;
        lastSingle.fill(-1);
    }

    // Makes one random message (with what the mix puts before it) and its expected answers.
    void next() {
        const std::array<unsigned, 9> weights = {mix_.trigger,         mix_.single,         mix_.block,
                                                 mix_.controlSequence, mix_.brokenSequence, mix_.loneControl,
                                                 mix_.unknownHeader,   mix_.strayBytes,     mix_.cutShort};
        std::discrete_distribution<int> pick(weights.begin(), weights.end());
        switch (pick(rng_)) {
        case 0:
            valid({0x81, byte()});
            break;
        case 1:
            valid({static_cast<std::uint8_t>(0x90 | below(16)), byte()});
            break;
        case 2:
            block();
            break;
        case 3:
            controlSequence(controlAddress(), byte());
            break;
        case 4:
            brokenSequence();
            break;
        case 5:
            valid({controlHeader(controlAddress()), byte()});
            break;
        case 6:
            unknownHeader();
            break;
        case 7:
            stray();
            break;
        default:
            cutShort();
            break;
        }
    }

    // A whole control sequence to `address` (0 to 15, not 4 or 5).
    void controlSequence(unsigned address, std::uint8_t value) {
        const std::uint8_t header = controlHeader(address);
        for (const std::uint8_t data :
             {std::uint8_t{0x5A}, std::uint8_t{0xC3}, std::uint8_t{0x7E}, value, std::uint8_t{0x00}}) {
            const std::uint64_t before = model.counts.controlSequences;
            valid({header, data});
            if (model.counts.controlSequences != before && address == 15 &&
                model.behaviour != boardsim::Behaviour::Silent) {
                statusBlock();
            }
        }
    }

    // Sends bytes the board model also takes.
    void valid(std::initializer_list<std::uint8_t> bytes) { valid(std::vector<std::uint8_t>(bytes)); }
    void valid(const std::vector<std::uint8_t>& bytes) {
        for (const std::uint8_t b : bytes) {
            const std::uint64_t singles = model.counts.singleBytes;
            model.feed(b, expected);
            if (model.counts.singleBytes != singles) {
                lastSingle[previous_ & 0x0F] = b; // a single byte is complete: its header came just before
            }
            previous_ = b;
        }
        append(bytes);
    }

    static std::uint8_t controlHeader(unsigned address) {
        return static_cast<std::uint8_t>(0x82 | ((address & 0x0F) << 3));
    }

    boardsim::BoardModel model;
    std::vector<HostStep> steps;
    std::deque<std::uint8_t> expected; // the board's answers, in order
    std::uint64_t discardedBytes = 0;  // what the board must count as discarded
    std::uint64_t sentBytes = 0;
    std::array<int, 16> lastSingle{}; // the register values (-1: no single byte yet)

  private:
    std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }
    unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    unsigned controlAddress() {
        static constexpr std::array<unsigned, 14> addresses = {0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        return addresses[below(addresses.size())];
    }
    unsigned blockLength() {
        // Short blocks mostly, the whole range sometimes, and the edges.
        switch (below(8)) {
        case 0:
            return 0;
        case 1:
            return std::min(255u, mix_.maxBlock);
        case 2:
            return 1 + below(mix_.maxBlock);
        default:
            return below(std::min(16u, mix_.maxBlock) + 1);
        }
    }

    void append(const std::vector<std::uint8_t>& bytes) {
        if (steps.empty() || steps.back().stallCycles != 0) {
            steps.emplace_back();
        }
        steps.back().bytes.insert(steps.back().bytes.end(), bytes.begin(), bytes.end());
        sentBytes += bytes.size();
    }

    void block() {
        const unsigned length = blockLength();
        std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(0xA0 | below(16)),
                                           static_cast<std::uint8_t>(length)};
        for (unsigned i = 0; i < length; ++i) {
            bytes.push_back(byte());
        }
        valid(bytes);
    }

    // 1 to 4 messages of a sequence, then a message that does not continue it.
    void brokenSequence() {
        const std::uint8_t header = controlHeader(controlAddress());
        const std::array<std::uint8_t, 5> data = {0x5A, 0xC3, 0x7E, byte(), 0x00};
        const unsigned taken = 1 + below(4);
        for (unsigned i = 0; i < taken; ++i) {
            valid({header, data[i]});
        }
        switch (below(3)) {
        case 0: { // a wrong byte with the same header (not the value slot, which takes anything)
            if (taken != 3) {
                valid({header, static_cast<std::uint8_t>(data[taken] ^ (1 + below(255)))});
            }
            break;
        }
        case 1:
            valid({0x81, byte()});
            break; // another message
        default:
            valid({header, 0x5A});
            break; // a new start
        }
    }

    void unknownHeader() {
        std::uint8_t header;
        do {
            header = static_cast<std::uint8_t>(0x80 | below(128));
        } while (header == 0x81 || (header >> 4) == 0x9 || (header >> 4) == 0xA || (header & 0x87) == 0x82);
        valid({header, byte()});
        discardedBytes += 2;
    }

    void stray() {
        const unsigned count = 1 + below(4);
        std::vector<std::uint8_t> bytes;
        for (unsigned i = 0; i < count; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(below(128)));
        }
        append(bytes);
        discardedBytes += count;
    }

    // The host stops half-way: a header alone, or a block cut short; the board drops it after its
    // time-out and the model is put back to a message boundary.
    void cutShort() {
        std::vector<std::uint8_t> bytes;
        if (below(2) == 0) {
            bytes.push_back(below(2) == 0 ? static_cast<std::uint8_t>(0x90 | below(16))
                                          : controlHeader(controlAddress()));
        } else {
            const unsigned length = 1 + below(std::max(1u, mix_.maxBlock));
            bytes = {static_cast<std::uint8_t>(0xA0 | below(16)), static_cast<std::uint8_t>(length)};
            const unsigned kept = below(length);
            for (unsigned i = 0; i < kept; ++i) {
                bytes.push_back(byte());
            }
        }
        valid(bytes);
        model.resync();
        discardedBytes += bytes.size();
        steps.push_back(HostStep{{}, mix_.stallCycles, discardedBytes});
    }

    void statusBlock() {
        const std::uint64_t counts[2] = {discardedBytes, model.counts.controlDiscarded};
        expected.push_back(0xE7);
        expected.push_back(8);
        for (const std::uint64_t count : counts) {
            for (int i = 0; i < 4; ++i) {
                expected.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
            }
        }
    }

    std::mt19937 rng_;
    TrafficMix mix_;
    std::uint8_t previous_ = 0;
};

} // namespace cvtb
