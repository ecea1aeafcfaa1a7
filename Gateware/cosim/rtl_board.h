// The example board's gateware (cv_board_top, Verilated) behind the bridge chip's pin-level model
// in asynchronous FIFO mode: host bytes go into the chip, the gateware reads them over the FIFO
// pins, and what it writes back comes out of the chip towards the host. Both clocks are toggled
// here: the chip interface's 48 MHz clock and the board logic's own 40 MHz clock.
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
    // Builds the board and holds both clock domains in reset for a few cycles.
    explicit RtlBoard(const Settings& settings);
    ~RtlBoard();
    RtlBoard(const RtlBoard&) = delete;
    RtlBoard& operator=(const RtlBoard&) = delete;

    const Settings& settings() const { return settings_; }

    // The host's bytes, queued in the chip towards the board.
    void hostWrite(const std::uint8_t* bytes, std::size_t count);
    // Host bytes the board has not read yet.
    std::size_t pendingToBoard() const;

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
    // Interface clock cycles simulated since the board was built.
    std::uint64_t cycles() const { return cycles_; }

  private:
    struct Model;
    void edge();
    void peek(unsigned address);

    Settings settings_;
    std::unique_ptr<Model> model_;
    std::vector<std::uint8_t> staged_; // taken from the chip, not yet handed to the host
    std::uint64_t cycles_ = 0;
    std::uint64_t nextInterfaceEdgePs_ = 0;
    std::uint64_t nextUserEdgePs_ = 0;
    std::uint64_t quietCycles_ = 0;
    bool idle_ = true;
};

} // namespace rtlboard
