// The example board's gateware (cv_board_top, Verilated) behind the bridge chip's pin-level model:
// host bytes go into the chip, the gateware reads them over the FIFO pins, and what it writes back
// comes out of the chip towards the host. Two builds of the gateware, chosen by Settings::sync:
// the asynchronous FIFO, with the chip interface's 48 MHz clock and the board logic's own 40 MHz
// clock both toggled here, and the synchronous FIFO (cv_board_top with SYNC = 1), where the chip's
// 60 MHz CLKOUT is the one clock of interface and logic alike.
//
// Not thread-safe: one caller at a time (the simulated driver calls it under its lock). No
// Verilator type appears here, so code that uses the board needs no Verilator headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rtlboard {

// The interface clock of the asynchronous FIFO (the chip model checks its timing against it) and
// the board logic's clock, as periods in picoseconds.
constexpr std::uint64_t kInterfaceClockPs = 20833; // 48 MHz
constexpr std::uint64_t kUserClockPs = 25000;      // 40 MHz
constexpr std::uint64_t kUserClockHz = 40'000'000;
// The synchronous FIFO's one clock, the chip's CLKOUT.
constexpr std::uint64_t kSyncClockPs = 16667; // 60 MHz
constexpr std::uint64_t kSyncClockHz = 60'000'000;

// The settings of cv_board_top, fixed while the board runs.
struct Settings {
    enum Behaviour : std::uint8_t { Silent = 0, Echo = 1, Registers = 2, Stream = 3 };
    Behaviour behaviour = Silent;
    std::uint8_t streamSingleMask = 0; // bit c: numbered single bytes on channel c
    std::uint8_t streamBlockMask = 0;  // bit c: numbered blocks on channel c
    std::uint8_t streamBlockLength = 16;
    std::uint32_t streamPeriod = 0;   // user clock cycles from one message to the next, 0 = flat out
    std::uint32_t streamCount = 0;    // 0 = endless
    std::uint32_t messageTimeout = 0; // user clock cycles a message may stall half-way, 0 = never
    // The chip's synchronous FIFO (an FT232H, or interface A of an FT2232H): the board's logic runs
    // on CLKOUT, so streamPeriod and messageTimeout count its 60 MHz cycles (boardClockHz()).
    bool sync = false;
    // What the chip holds towards the host (FT2232H: 4 KiB per interface; FT232H: 1 KiB); at least 1.
    std::size_t chipBufferToHost = 4096;

    // The clock the board's logic runs on, which streamPeriod and messageTimeout count.
    std::uint64_t boardClockHz() const { return sync ? kSyncClockHz : kUserClockHz; }
};

// What the board took in and threw away, as its counters show.
struct Counts {
    std::uint32_t triggers = 0;
    std::uint32_t singleBytes = 0;
    std::uint32_t blocks = 0;
    std::uint32_t controlSequences = 0;
    std::uint32_t controlDiscarded = 0;
    std::uint32_t discardedBytes = 0;
    std::uint32_t streamSent = 0;
};

class RtlBoard {
  public:
    // Builds the board and holds its clock domains in reset for a few cycles. Throws
    // std::invalid_argument for a synchronous board where the build has none (syncBuilt()).
    explicit RtlBoard(const Settings& settings);
    ~RtlBoard();
    RtlBoard(const RtlBoard&) = delete;
    RtlBoard& operator=(const RtlBoard&) = delete;

    const Settings& settings() const { return settings_; }
    // Whether this build Verilated the gateware for the synchronous FIFO too (a user's own design
    // without cv_board_top's SYNC parameter and oe_n port is built without it).
    static bool syncBuilt();

    // The host's bytes, queued in the chip towards the board.
    void hostWrite(const std::uint8_t* bytes, std::size_t count);
    // Host bytes the board has not read yet.
    std::size_t pendingToBoard() const;
    // Bytes the board sent that the host has not been handed yet: in the chip's buffer, and taken
    // from it by run() beyond the room it was given.
    std::size_t heldToHost() const;

    // Runs at most `maxCycles` interface clock cycles, moving what the board sends into `toHost`
    // while `room` allows; the rest stays in the chip, whose full buffer holds the board back.
    // With `untilIdle`, stops early once the board is idle: every host byte taken, nothing left to
    // hand over, and nothing sent for a while (a paced stream runs its whole time instead). Stops
    // early too once the host has no room and the board stands behind the full chip. Returns the
    // cycles run.
    std::uint64_t run(std::uint64_t maxCycles, std::vector<std::uint8_t>& toHost, std::size_t room,
                      bool untilIdle = true);
    // Whether the last run ended idle (true before any run).
    bool idle() const { return idle_; }

    // The board's state as its outputs show it.
    unsigned leds();
    int registerValue(unsigned address); // the last single byte to the address, -1 if none came
    int controlValue(unsigned address);  // the last complete control value, -1 if none came
    Counts counts();

    // Timing rules of the chip broken so far (all counted, the first ones kept as texts); a sound
    // board breaks none.
    std::uint64_t violationCount() const;
    const std::vector<std::string>& violations() const;
    // Interface clock cycles simulated since the board was built (CLKOUT's for a synchronous board).
    std::uint64_t cycles() const { return cycles_; }

    struct Model; // the Verilated gateware of either build and the chip in front of it

  private:
    Settings settings_;
    std::unique_ptr<Model> model_;
    std::vector<std::uint8_t> staged_; // taken from the chip, not yet handed to the host
    std::uint64_t cycles_ = 0;
    std::uint64_t quietCycles_ = 0;
    bool idle_ = true;
};

} // namespace rtlboard
