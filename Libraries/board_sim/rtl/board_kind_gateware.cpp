// The gateware kind of board: a board file's entry turned into cv_board_top's settings, and its
// host's bytes and polls turned into cycles of the simulation.
#include "board.h"
#include "rtl_board.h"
#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace boardsim {

namespace {

// A write runs the board until it has answered: until it is idle, or for a stream board until the
// host's bytes are taken and the answers to them had time to come out. A board that never gets
// there (a fault in the gateware) is left after this many cycles, plus some per byte written; the
// next polls go on with it.
constexpr std::uint64_t kWriteBudgetCycles = 200'000;
constexpr std::uint64_t kWriteBudgetPerByte = 64;
constexpr std::uint64_t kStreamTailCycles = 2048;
// A poll runs a board with work in hand this long: about 170 us of the board's time.
constexpr std::uint64_t kPollCycles = 8192;
// A poll runs the board only while fewer bytes than this wait for the host.
constexpr std::size_t kPollLowWater = 4096;
// How often a host looks at a streaming gateware board (the driver's pacing thread, the emulated
// chip's thread): it runs only while the host has read most of what waits.
constexpr auto kStreamPacing = std::chrono::milliseconds(2);

rtlboard::Settings settingsOf(const BoardEntry& entry) {
    rtlboard::Settings settings;
    // A board wired for the synchronous FIFO runs the gateware's synchronous build, on the chip's
    // CLKOUT; its stream's period counts that clock.
    settings.sync = entry.syncFifo;
    if (entry.stream) {
        settings.behaviour = rtlboard::Settings::Stream;
        const StreamSettings& stream = entry.streamSettings;
        settings.streamSingleMask = static_cast<std::uint8_t>(stream.singleByteChannels);
        settings.streamBlockMask = static_cast<std::uint8_t>(stream.blockChannels);
        settings.streamBlockLength = static_cast<std::uint8_t>(stream.blockLength);
        // Paced by the board's own clock: the rate is messages per second of simulated time.
        settings.streamPeriod = stream.messagesPerSecond == 0
                                    ? 0
                                    : static_cast<std::uint32_t>(std::max<std::uint64_t>(
                                          1, settings.boardClockHz() / stream.messagesPerSecond));
        settings.streamCount = static_cast<std::uint32_t>(stream.count);
    } else if (entry.behaviour == Behaviour::Echo) {
        settings.behaviour = rtlboard::Settings::Echo;
    } else if (entry.behaviour == Behaviour::Registers) {
        settings.behaviour = rtlboard::Settings::Registers;
    }
    return settings;
}

class GatewareBoard final : public Board {
  public:
    GatewareBoard(const BoardEntry& entry, const char* host)
        : settings_(settingsOf(entry)), board_(std::make_unique<rtlboard::RtlBoard>(settings_)), host_(host),
          serial_(entry.serial), behaviour_(entry.behaviour), streams_(entry.stream) {}

    // Runs the board until it has answered: until it is idle, or for a stream board until the
    // host's bytes are taken and the answers to them had time to come out.
    void fromHost(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers,
                  std::size_t room) override {
        board_->hostWrite(bytes, count);
        const std::uint64_t budget = kWriteBudgetCycles + kWriteBudgetPerByte * count;
        std::uint64_t ran = 0;
        while (ran < budget && !board_->idle()) {
            // A stream never falls idle: it stops one slice after the host's bytes were all taken,
            // which gives the answers to them time to come out.
            const bool taken = board_->pendingToBoard() == 0;
            const std::size_t before = answers.size();
            ran += board_->run(streams_ ? kStreamTailCycles : budget - ran, answers, room);
            room -= answers.size() - before;
            if (streams_ && taken) {
                break;
            }
        }
        reportViolation();
    }

    // A poll: a board with work in hand (a stream, answers held back) runs a slice of cycles once
    // the host has read most of what waits, and hands over what fits the room. While the host has
    // plenty to read, the board waits: its time runs as the host takes its answers, and a status
    // call costs nothing then. An idle board costs nothing.
    std::size_t toHost(ByteQueue& out, BoardClock::time_point, std::size_t waiting, std::size_t room) override {
        if (waiting >= kPollLowWater || (board_->idle() && !streaming())) {
            return 0;
        }
        scratch_.clear();
        board_->run(kPollCycles, scratch_, room, !streaming());
        reportViolation();
        out.append(scratch_.data(), scratch_.size());
        return scratch_.size();
    }

    // A message cut off on its way: the gateware cannot be told; what reached its chip goes on to
    // its parser as it came.
    void resync() override {}

    bool streaming() override {
        const std::uint32_t count = settings_.streamCount;
        return streams_ && (count == 0 || board_->counts().streamSent < count);
    }
    bool paced() override { return streaming(); }
    // What the host had no room for stays in the board's chip: the next poll hands it over.
    bool heldBack() const override { return false; }
    BoardClock::time_point nextDue(BoardClock::time_point now) override {
        return streaming() ? now + kStreamPacing : BoardClock::time_point::max();
    }
    // A stream board starts again from message 0: the gateware is built anew (what the host
    // reads of its state, a stream board's numbering, begins again with it); the cycles and
    // timing faults of the board before are kept in the figures. Other boards run on.
    void restartStream(bool run) override {
        if (!run || !streams_) {
            return;
        }
        carriedCycles_ += board_->cycles();
        carriedViolations_ += board_->violationCount();
        if (firstViolation_.empty() && !board_->violations().empty()) {
            firstViolation_ = board_->violations().front();
        }
        board_ = std::make_unique<rtlboard::RtlBoard>(settings_);
    }
    // The synchronous build runs on the chip's CLKOUT, which the chip gives only in its mode.
    bool needsChipClock() const override { return settings_.sync; }
    bool pacedByPins() const override { return true; }

    // Its behaviour, stream and faults are the board file's, fixed while it runs.
    bool setBehaviour(Behaviour) override { return false; }
    bool setStream(const SimStream*) override { return false; }
    bool cutBlocks(int, std::uint32_t) override { return false; }

    Behaviour behaviour() const override { return behaviour_; }
    std::uint32_t leds() override { return board_->leds(); }
    // The gateware keeps one byte per register, and no block memory.
    std::vector<std::uint8_t> registerBytes(unsigned address) override {
        const int value = address < kAddressCount ? board_->registerValue(address) : -1;
        return value < 0 ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>{static_cast<std::uint8_t>(value)};
    }
    int controlValue(unsigned address) override { return address < kAddressCount ? board_->controlValue(address) : -1; }
    BoardCounts counts() override {
        const rtlboard::Counts counts = board_->counts();
        return BoardCounts{counts.triggers, counts.singleBytes, counts.blocks, counts.controlSequences,
                           counts.controlDiscarded};
    }
    std::uint64_t streamSent() override { return board_->counts().streamSent; }
    GatewareState gatewareState() override {
        GatewareState state;
        state.gateware = true;
        state.cycles = carriedCycles_ + board_->cycles();
        state.violations = carriedViolations_ + board_->violationCount();
        state.firstViolation = firstViolation_;
        if (state.firstViolation.empty() && !board_->violations().empty()) {
            state.firstViolation = board_->violations().front();
        }
        state.discardedBytes = board_->counts().discardedBytes;
        return state;
    }

  private:
    // A broken timing rule of the chip is a fault of the gateware: said on standard error at once
    // (the first one), besides being counted for the host's state calls.
    void reportViolation() {
        if (!reported_ && board_->violationCount() != 0) {
            reported_ = true;
            std::fprintf(stderr, "%s: the gateware of board %s broke the chip's timing: %s\n", host_.c_str(),
                         serial_.c_str(), board_->violations().front().c_str());
        }
    }

    rtlboard::Settings settings_;
    std::unique_ptr<rtlboard::RtlBoard> board_;
    std::string host_;
    std::string serial_;
    Behaviour behaviour_;
    bool streams_;
    bool reported_ = false;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t carriedCycles_ = 0;
    std::uint64_t carriedViolations_ = 0;
    std::string firstViolation_;
};

} // namespace

const char* gatewareMissingReason() { return ""; }

std::unique_ptr<Board> makeGatewareBoard(const BoardEntry& entry, const char* host, std::string& refusal) {
    try {
        return std::make_unique<GatewareBoard>(entry, host);
    } catch (const std::invalid_argument& error) {
        // The synchronous build is missing (a user's own design without it).
        refusal = "board " + entry.serial + ": " + error.what();
        return nullptr;
    }
}

} // namespace boardsim
