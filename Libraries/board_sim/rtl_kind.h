// The second kind of simulated board: the example gateware (Gateware/rtl), Verilated and run
// cycle by cycle behind the bridge chip's pin-level model, in place of the C++ board model. A board
// file chooses it per board ("logic": "rtl"). Built only where Verilator was found; elsewhere the
// driver refuses a board file that asks for it.
#pragma once

#include "board_model.h"
#include "config_file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

class RtlKind {
  public:
    virtual ~RtlKind() = default;

    // The host wrote `count` bytes: the board takes them in and runs until it has answered them.
    // Its answers go to `answers`, at most `room` bytes; the rest stay in the chip and hold the
    // board back until a later poll has room.
    virtual void write(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers,
                       std::size_t room) = 0;
    // The host polls, or the driver's pacing thread does for a streaming board, with `queued`
    // bytes waiting in the receive queue: a board with work in hand (a stream, answers held back)
    // runs a slice of cycles once the host has read most of what waits, and hands over what fits
    // below the queue's cap. An idle board costs nothing.
    virtual void poll(std::vector<std::uint8_t>& toHost, std::size_t queued) = 0;
    // Whether the board sends by itself (a stream not yet finished).
    virtual bool streaming() = 0;

    virtual std::uint32_t leds() = 0;
    virtual int registerValue(unsigned address) = 0; // -1: no single byte reached it
    virtual int controlValue(unsigned address) = 0;  // -1: no complete control sequence
    virtual BoardCounts counts() = 0;
    virtual std::uint64_t streamSent() = 0;
    virtual std::uint32_t discardedBytes() = 0;
    virtual std::uint64_t cycles() const = 0;
    // The chip's timing rules the gateware broke: their number and the first one's text.
    virtual std::size_t violationCount() const = 0;
    virtual std::string firstViolation() const = 0;
};

// Why a board file's "logic": "rtl" cannot be had, or empty where it can.
const char* rtlKindMissingReason();
// The gateware board of a board file's entry; null where this build has none.
std::unique_ptr<RtlKind> makeRtlKind(const BoardEntry& entry);

} // namespace boardsim
