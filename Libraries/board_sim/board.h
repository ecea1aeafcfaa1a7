// A board on the FIFO side of a bridge chip, as its host holds it: the simulated driver (one
// board per device) and the emulated chip (one per interface). Two kinds stand behind it: the C++
// board model with its stream (board_kind_model.cpp), and the example gateware, Verilated and run
// cycle by cycle behind the chip's pin-level model (rtl/board_kind_gateware.cpp; a board file's
// "logic": "rtl"). A host never asks which kind it holds: what one kind does not allow (a
// behaviour or a stream chosen from outside, cut blocks) the board refuses itself.
//
// Not thread-safe: its host calls it under the host's lock.
#pragma once

#include "board_model.h"
#include "board_sim.h"
#include "byte_queue.h"
#include "config_file.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

using BoardClock = std::chrono::steady_clock;

// What a gateware board reports of its simulation; all zero (and `gateware` false) for the model.
struct GatewareState {
    bool gateware = false;
    std::uint64_t cycles = 0;     // interface clock cycles run since the board was built
    std::uint64_t violations = 0; // the chip's timing rules the gateware broke
    std::string firstViolation;   // the first one's text
    std::uint32_t discardedBytes = 0;
};

class Board {
  public:
    virtual ~Board() = default;

    // ---- bytes --------------------------------------------------------------------------------
    // The host's bytes reach the board, which takes all of them and appends its answers to
    // `answers`. The model answers at once, all of it. The gateware runs until it has answered
    // and appends at most `room` bytes; the rest wait in its chip and hold it back until a later
    // toHost has room.
    virtual void fromHost(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers,
                          std::size_t room) = 0;
    // What the board sends by itself: answers it held back and stream messages due by `now`,
    // appended to `out` while `room` allows (the room the chip's buffer or the driver's queue
    // gives). A board waits on that room: nothing is made and then dropped. `waiting`: the bytes
    // that already wait between the board and the host (the gateware runs only while few do).
    // Returns the bytes appended.
    virtual std::size_t toHost(ByteQueue& out, BoardClock::time_point now, std::size_t waiting, std::size_t room) = 0;
    // The host side lost a message on its way (a purge of the transmit path, a replug, an open):
    // the board listens again at a message boundary, its state kept.
    virtual void resync() = 0;

    // ---- work in hand -------------------------------------------------------------------------
    // A stream is running (it may have finished sending).
    virtual bool streaming() = 0;
    // It sends by itself as time passes, so a host that waits to be told of data needs someone
    // (the driver's pacing thread) to let it run.
    virtual bool paced() = 0;
    // The last toHost stopped for want of room with more to send.
    virtual bool heldBack() const = 0;
    // When the board next has something to send by itself, or time_point::max.
    virtual BoardClock::time_point nextDue(BoardClock::time_point now) = 0;
    // The emulated chip's claim and receive purge: a stream starts again from message 0 (`run`), or
    // stops until the next restart (not `run`: the interface was let go or unplugged).
    virtual void restartStream(bool run) = 0;
    // The board runs only while the chip gives its interface clock (the synchronous FIFO's
    // CLKOUT, bit mode 0x40).
    virtual bool needsChipClock() const = 0;
    // The board's own pins set the rate at which its bytes cross the FIFO (its simulated time);
    // a host adds no link rate of its own.
    virtual bool pacedByPins() const = 0;

    // ---- knobs from outside: false where this board does not allow them -------------------------
    virtual bool setBehaviour(Behaviour behaviour) = 0;
    // Starts (or replaces) the board's stream, numbering from 0; null stops it (what it sent stays
    // counted).
    virtual bool setStream(const SimStream* stream) = 0;
    virtual bool cutBlocks(int count, std::uint32_t keep) = 0;

    // ---- state --------------------------------------------------------------------------------
    virtual Behaviour behaviour() const = 0;
    virtual std::uint32_t leds() = 0;
    // What the last single byte or block to the address left in the register (the gateware keeps
    // one byte); empty if nothing reached it.
    virtual std::vector<std::uint8_t> registerBytes(unsigned address) = 0;
    virtual int controlValue(unsigned address) = 0; // -1: no complete control sequence
    virtual BoardCounts counts() = 0;
    virtual std::uint64_t streamSent() = 0; // since the stream was set or last restarted
    virtual GatewareState gatewareState() = 0;
};

// The model kind: the board model, with the entry's behaviour, faults and (not yet running) stream.
std::unique_ptr<Board> makeModelBoard(const BoardEntry& entry);
// The board a board file's entry describes, or null with the reason in `refusal` (the gateware in
// a build without it). `host` names the host in the gateware's messages on standard error
// ("simulated driver", "usb_emu").
std::unique_ptr<Board> makeBoard(const BoardEntry& entry, const char* host, std::string& refusal);
// Why the gateware kind cannot be had here ("was built without ..."), or empty where it can.
const char* gatewareMissingReason();

} // namespace boardsim
