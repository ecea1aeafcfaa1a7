// The model kind of board: the board model's parser and state, and its stream, behind the board
// interface; and the factory that chooses a board file entry's kind.
#include "board.h"
#include "stream.h"

#include <deque>
#include <memory>
#include <optional>

namespace boardsim {

// The gateware kind (rtl/): null where the build has none, or with the reason in `refusal` where the
// entry asks for what the build lacks.
std::unique_ptr<Board> makeGatewareBoard(const BoardEntry& entry, const char* host, std::string& refusal);

namespace {

class ModelBoard final : public Board {
  public:
    explicit ModelBoard(const BoardEntry& entry) {
        model_.behaviour = entry.behaviour;
        model_.cutBlocksLeft = entry.cutBlocks;
        model_.cutBlockKeep = entry.cutBlockKeep;
        if (entry.stream) {
            const StreamSettings& s = entry.streamSettings;
            described_ = SimStream{s.singleByteChannels, s.blockChannels, s.blockLength, s.messagesPerSecond, s.count};
        }
    }

    void fromHost(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& answers,
                  std::size_t) override {
        for (std::size_t i = 0; i < count; ++i) {
            model_.feed(bytes[i], answers_);
        }
        answers.insert(answers.end(), answers_.begin(), answers_.end());
        answers_.clear();
    }

    std::size_t toHost(ByteQueue& out, BoardClock::time_point now, std::size_t, std::size_t room) override {
        if (!stream_) {
            return 0;
        }
        const std::size_t before = out.size();
        stream_->pump(out, now, before + room);
        return out.size() - before;
    }

    void resync() override { model_.resync(); }

    bool streaming() override { return stream_ != nullptr; }
    bool paced() override { return stream_ && stream_->paced(); }
    bool heldBack() const override { return stream_ && stream_->heldBack(); }
    BoardClock::time_point nextDue(BoardClock::time_point) override {
        return stream_ ? stream_->nextDue() : BoardClock::time_point::max();
    }
    void restartStream(bool run) override {
        stream_.reset();
        if (run && described_) {
            stream_ = std::make_unique<Stream>(*described_);
        }
    }
    bool needsChipClock() const override { return false; }
    bool pacedByPins() const override { return false; }

    bool setBehaviour(Behaviour behaviour) override {
        if (model_.behaviour != behaviour) {
            model_.resync(); // the board starts listening at the next message boundary
        }
        model_.behaviour = behaviour;
        return true;
    }
    bool setStream(const SimStream* stream) override {
        if (stream == nullptr) {
            if (stream_) {
                stream_->stop();
            }
        } else {
            stream_ = std::make_unique<Stream>(*stream);
        }
        return true;
    }
    bool cutBlocks(int count, std::uint32_t keep) override {
        model_.cutBlocksLeft = count;
        model_.cutBlockKeep = keep;
        return true;
    }

    Behaviour behaviour() const override { return model_.behaviour; }
    std::uint32_t leds() override { return model_.leds; }
    std::vector<std::uint8_t> registerBytes(unsigned address) override {
        return address < kAddressCount ? model_.registers[address] : std::vector<std::uint8_t>{};
    }
    int controlValue(unsigned address) override { return address < kAddressCount ? model_.controlValues[address] : -1; }
    BoardCounts counts() override { return model_.counts; }
    std::uint64_t streamSent() override { return stream_ ? stream_->sent() : 0; }
    GatewareState gatewareState() override { return {}; }

  private:
    BoardModel model_;
    std::deque<std::uint8_t> answers_;
    std::optional<SimStream> described_; // the board file's stream, run from every restart
    std::unique_ptr<Stream> stream_;
};

} // namespace

std::unique_ptr<Board> makeModelBoard(const BoardEntry& entry) { return std::make_unique<ModelBoard>(entry); }

std::unique_ptr<Board> makeBoard(const BoardEntry& entry, const char* host, std::string& refusal) {
    if (!entry.rtl) {
        return makeModelBoard(entry);
    }
    if (*gatewareMissingReason() != '\0') {
        refusal =
            "board " + entry.serial + " asks for \"logic\": \"rtl\", but this " + host + " " + gatewareMissingReason();
        return nullptr;
    }
    return makeGatewareBoard(entry, host, refusal);
}

} // namespace boardsim
