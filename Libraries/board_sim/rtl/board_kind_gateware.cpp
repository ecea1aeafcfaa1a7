// The gateware board kind: a board file's entry turned into cv_board_top's settings, and the
// driver's writes and polls turned into cycles of the simulation.
#include "rtl_board.h"
#include "rtl_kind.h"
#include "stream.h"

#include <algorithm>
#include <cstdio>
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

rtlboard::Settings settingsOf(const BoardEntry& entry) {
    rtlboard::Settings settings;
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
                                          1, rtlboard::kUserClockHz / stream.messagesPerSecond));
        settings.streamCount = static_cast<std::uint32_t>(stream.count);
    } else if (entry.behaviour == Behaviour::Echo) {
        settings.behaviour = rtlboard::Settings::Echo;
    } else if (entry.behaviour == Behaviour::Registers) {
        settings.behaviour = rtlboard::Settings::Registers;
    }
    return settings;
}

class GatewareBoard final : public RtlKind {
  public:
    explicit GatewareBoard(const BoardEntry& entry)
        : board_(settingsOf(entry)), serial_(entry.serial), streams_(entry.stream) {}

    void write(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers,
               std::size_t room) override {
        board_.hostWrite(bytes, count);
        const std::uint64_t budget = kWriteBudgetCycles + kWriteBudgetPerByte * count;
        std::uint64_t ran = 0;
        while (ran < budget && !board_.idle()) {
            // A stream never falls idle: it stops one slice after the host's bytes were all taken,
            // which gives the answers to them time to come out.
            const bool taken = board_.pendingToBoard() == 0;
            const std::size_t before = answers.size();
            ran += board_.run(streams_ ? kStreamTailCycles : budget - ran, answers, room);
            room -= answers.size() - before;
            if (streams_ && taken) {
                break;
            }
        }
        reportViolation();
    }

    void poll(std::vector<std::uint8_t>& toHost, std::size_t queued) override {
        // While the host has plenty to read, the board waits: its time runs as the host takes its
        // answers, and a status call costs nothing then.
        if (queued >= kPollLowWater || (board_.idle() && !streaming())) {
            return;
        }
        board_.run(kPollCycles, toHost, kReceiveQueueCap - queued, !streaming());
        reportViolation();
    }

    bool streaming() override {
        const std::uint32_t count = board_.settings().streamCount;
        return streams_ && (count == 0 || board_.counts().streamSent < count);
    }

    std::uint32_t leds() override { return board_.leds(); }
    int registerValue(unsigned address) override { return board_.registerValue(address); }
    int controlValue(unsigned address) override { return board_.controlValue(address); }
    BoardCounts counts() override {
        const rtlboard::Counts counts = board_.counts();
        return BoardCounts{counts.triggers, counts.singleBytes, counts.blocks, counts.controlSequences,
                           counts.controlDiscarded};
    }
    std::uint64_t streamSent() override { return board_.counts().streamSent; }
    std::uint32_t discardedBytes() override { return board_.counts().discardedBytes; }
    std::uint64_t cycles() const override { return board_.cycles(); }
    std::size_t violationCount() const override { return static_cast<std::size_t>(board_.violationCount()); }
    std::string firstViolation() const override {
        return board_.violations().empty() ? std::string() : board_.violations().front();
    }

  private:
    // A broken timing rule of the chip is a fault of the gateware: said on standard error at once
    // (the first one), besides being counted for sim_rtl_state.
    void reportViolation() {
        if (!reported_ && board_.violationCount() != 0) {
            reported_ = true;
            std::fprintf(stderr, "simulated driver: the gateware of board %s broke the chip's timing: %s\n",
                         serial_.c_str(), board_.violations().front().c_str());
        }
    }

    rtlboard::RtlBoard board_;
    std::string serial_;
    bool streams_;
    bool reported_ = false;
};

} // namespace

const char* rtlKindMissingReason() { return ""; }

std::unique_ptr<RtlKind> makeRtlKind(const BoardEntry& entry) { return std::make_unique<GatewareBoard>(entry); }

} // namespace boardsim
