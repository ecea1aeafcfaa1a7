// The board side of the simulated boards: what a board's firmware does with the bytes the host
// writes to it. Every board keeps the same state whatever it answers: a register per address, four
// LEDs, the last control value per address and counts of what it took in. What it sends back
// depends on its behaviour: nothing (silent), an echo of every message, or only the
// acknowledgement of each complete control sequence (registers).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

namespace boardsim {

// Host-to-device headers (addresses 0 to 15 in the low nibble).
constexpr std::uint8_t kTriggerHeader = 0x81;
constexpr std::uint8_t kSingleByteRange = 0x90;
constexpr std::uint8_t kBlockRange = 0xA0;
constexpr std::uint8_t kControlMask = 0x87;
constexpr std::uint8_t kControlPattern = 0x82;
// Device-to-host command bytes of the board's answers.
constexpr std::uint8_t kTriggerAnswer = 0xC8;
constexpr std::uint8_t kSingleByteAnswer = 0xD0;
constexpr std::uint8_t kBlockAnswer = 0xE0;

constexpr std::size_t kAddressCount = 16;
constexpr std::uint8_t kLedMask = 0x0F; // four LEDs, driven by the low four trigger bits
// The data bytes of a control sequence; the value travels in the slot marked by kControlValueStep.
constexpr std::array<std::uint8_t, 5> kControlSequence = {0x5A, 0xC3, 0x7E, 0x00, 0x00};
constexpr std::size_t kControlValueStep = 3;

enum class Behaviour : int { Silent = 0, Echo = 1, Registers = 2 };

struct BoardCounts {
    std::uint64_t triggers = 0;
    std::uint64_t singleBytes = 0;
    std::uint64_t blocks = 0;
    std::uint64_t controlSequences = 0; // complete and acknowledged
    std::uint64_t controlDiscarded = 0; // broken off in the middle
};

// The firmware's parser. It reads the host's stream message by message, however it is cut into
// writes, and judges a header by its high nibble first: 0x9_ is a single byte to address
// (header & 0xF), 0xA_ a block preamble. A control sequence (five messages with one control header
// 0x82 | (a << 3) carrying 0x5A, 0xC3, 0x7E, value, 0x00) is recognised on every control header
// except 0xA2 and 0xAA, which a board cannot tell from block preambles. A sequence broken off is
// discarded at the next message that does not continue it, and that message is then taken as it is.
class BoardModel {
  public:
    // Back to a message boundary; the board's state (registers, LEDs, counts) stays.
    void resync();
    // Takes in one byte from the host and appends the board's answers to toHost.
    void feed(std::uint8_t byte, std::deque<std::uint8_t>& toHost);

    Behaviour behaviour = Behaviour::Silent;
    std::array<std::vector<std::uint8_t>, kAddressCount> registers{};
    std::array<int, kAddressCount> controlValues = filledControlValues();
    std::uint8_t leds = 0;
    BoardCounts counts;
    // Fault: the next cutBlocksLeft blocks the board sends (negative: all) carry only cutBlockKeep
    // of the data bytes their header announces.
    int cutBlocksLeft = 0;
    std::uint32_t cutBlockKeep = 0;

  private:
    static constexpr std::array<int, kAddressCount> filledControlValues() {
        std::array<int, kAddressCount> values{};
        values.fill(-1);
        return values;
    }
    void message(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost);
    bool trackControl(std::uint8_t header, std::uint8_t value, std::deque<std::uint8_t>& toHost);
    void finishBlock(std::deque<std::uint8_t>& toHost);
    void sendBlock(std::deque<std::uint8_t>& toHost);

    std::uint8_t header_ = 0;
    bool haveHeader_ = false;
    bool inBlock_ = false;
    std::uint8_t blockHeader_ = 0;
    std::uint32_t blockRemaining_ = 0;
    std::vector<std::uint8_t> block_;
    // The control sequence in progress: its header and the number of its messages taken so far.
    std::uint8_t controlHeader_ = 0;
    std::size_t controlStep_ = 0;
    std::uint8_t controlValue_ = 0;
};

} // namespace boardsim
