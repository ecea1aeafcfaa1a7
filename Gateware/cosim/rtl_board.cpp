#include "rtl_board.h"

#include "Vcv_board_top.h"
#ifdef CORVANE_RTL_BOARD_SYNC
#include "Vcv_board_top_sync.h"
#endif
#include "ft_chip_model.h"
#include "verilated.h"

#include <algorithm>
#include <stdexcept>

namespace rtlboard {

namespace {

constexpr std::uint64_t kInterfaceHalfPs = (kInterfaceClockPs + 1) / 2;
constexpr std::uint64_t kUserHalfPs = kUserClockPs / 2;
constexpr double kInterfaceClockNs = 2.0 * kInterfaceHalfPs / 1000.0;
// Cycles of each clock both domains are held in reset at the start.
constexpr int kResetCycles = 8;
// The board counts as idle once it has sent nothing for this many interface cycles with every host
// byte taken: ten times the longest wait seen from a message's last byte to its answer's first (24
// cycles through the clock crossings, parser and encoder, over the host test table).
constexpr std::uint64_t kQuietCycles = 256;
// What the board sent is handed over every this many cycles.
constexpr std::uint64_t kSliceCycles = 32;

} // namespace

// The chip and the gateware's outputs, the same for both builds.
struct RtlBoard::Model {
    explicit Model(bool sync)
        : chip(sync ? ftchip::Mode::Sync245 : ftchip::Mode::Async245, sync ? ftchip::kSyncClockNs : kInterfaceClockNs) {
    }
    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Sets the settings and the reset inputs; the clocks start low.
    virtual void start(const Settings& settings) = 0;
    virtual void release() = 0;
    // Advances to the next clock edge; true when it was a rising edge of the interface's clock.
    virtual bool edge() = 0;
    virtual void peek(unsigned address) = 0;
    virtual unsigned leds() = 0;
    virtual int registerValue() = 0;
    virtual int controlValue() = 0;
    virtual Counts counts() = 0;
    virtual void final() = 0;

    ftchip::Chip chip;
};

namespace {

// One Verilated build of cv_board_top (both have the same ports).
template <class Top> struct Gateware : RtlBoard::Model {
    explicit Gateware(bool sync) : Model(sync) {}

    void start(const Settings& settings) override {
        top.behaviour = settings.behaviour;
        top.stream_single_mask = settings.streamSingleMask;
        top.stream_block_mask = settings.streamBlockMask;
        top.stream_block_len = settings.streamBlockLength;
        top.stream_period = settings.streamPeriod;
        top.stream_count = settings.streamCount;
        top.msg_timeout = settings.messageTimeout;
        top.peek_addr = 0;
        drive(chip.outputs());
        top.clk = 0;
        top.user_clk = 0;
        top.rst = 1;
        top.user_rst = 1;
        top.eval();
    }

    void release() override {
        top.rst = 0;
        top.user_rst = 0;
        top.eval();
    }

    // What the chip drives towards the gateware.
    void drive(const ftchip::ChipOut& out) {
        top.rxf_n = out.rxf_n;
        top.txe_n = out.txe_n;
        top.d_in = out.d_in;
    }

    ftchip::Pins pins() const { return {top.rd_n != 0, top.wr_n != 0, top.oe_n != 0, top.d_out, top.d_oe != 0}; }

    void peek(unsigned address) override {
        top.peek_addr = address & 0x0F;
        top.eval();
    }
    unsigned leds() override { return top.leds; }
    int registerValue() override { return top.peek_register_set != 0 ? top.peek_register : -1; }
    int controlValue() override { return top.peek_control_set != 0 ? top.peek_control : -1; }
    Counts counts() override {
        Counts counts;
        counts.triggers = top.count_triggers;
        counts.singleBytes = top.count_single_bytes;
        counts.blocks = top.count_blocks;
        counts.controlSequences = top.count_control_sequences;
        counts.controlDiscarded = top.count_control_discarded;
        counts.discardedBytes = top.count_discarded_bytes;
        counts.streamSent = top.stream_sent;
        return counts;
    }
    void final() override { top.final(); }

    VerilatedContext context;
    Top top{&context, "board"};
};

// The asynchronous FIFO: the interface's clock and the board logic's clock, each toggled at its
// own half period.
struct AsyncGateware final : Gateware<Vcv_board_top> {
    AsyncGateware() : Gateware(false) {}

    bool edge() override {
        const std::uint64_t now = std::min(nextInterfaceEdgePs, nextUserEdgePs);
        const bool interfaceEdge = nextInterfaceEdgePs == now;
        const bool rising = interfaceEdge && top.clk == 0;
        if (interfaceEdge) {
            top.clk = !top.clk;
            nextInterfaceEdgePs += kInterfaceHalfPs;
        }
        if (nextUserEdgePs == now) {
            top.user_clk = !top.user_clk;
            nextUserEdgePs += kUserHalfPs;
        }
        top.eval();
        if (rising) {
            // The asynchronous chip sees the pins the gateware set at this edge for the whole
            // clock, and what it drives at the clock's end is what the next edge samples.
            drive(chip.edge(pins()));
            top.eval();
        }
        return rising;
    }

    std::uint64_t nextInterfaceEdgePs = kInterfaceHalfPs;
    std::uint64_t nextUserEdgePs = kUserHalfPs;
};

#ifdef CORVANE_RTL_BOARD_SYNC
// The synchronous FIFO: CLKOUT is the one clock. Each call is a whole clock: the chip samples the
// pins as they were before the rising edge, at the same edge as the gateware, and what it drives
// then is what the gateware samples at the next one.
struct SyncGateware final : Gateware<Vcv_board_top_sync> {
    SyncGateware() : Gateware(true) {}

    bool edge() override {
        const ftchip::Pins before = pins();
        top.clk = 1;
        top.eval();
        // In reset the pins are not yet the gateware's: the chip starts once it has left reset.
        if (top.rst == 0) {
            drive(chip.edge(before));
            top.eval();
        }
        top.clk = 0;
        top.eval();
        return true;
    }
};
#endif

std::unique_ptr<RtlBoard::Model> buildModel(bool sync) {
    if (!sync) {
        return std::make_unique<AsyncGateware>();
    }
#ifdef CORVANE_RTL_BOARD_SYNC
    return std::make_unique<SyncGateware>();
#else
    throw std::invalid_argument("this build has no gateware for the synchronous FIFO (CORVANE_RTL_BOARD_SYNC=OFF)");
#endif
}

} // namespace

bool RtlBoard::syncBuilt() {
#ifdef CORVANE_RTL_BOARD_SYNC
    return true;
#else
    return false;
#endif
}

RtlBoard::RtlBoard(const Settings& settings) : settings_(settings), model_(buildModel(settings.sync)) {
    if (settings.chipBufferToHost == 0) {
        throw std::invalid_argument("the chip's buffer towards the host holds at least one byte");
    }
    model_->chip.setToHostCapacity(settings.chipBufferToHost);
    model_->start(settings);
    // Enough edges that every clock sees kResetCycles rising edges in reset.
    while (cycles_ < kResetCycles * (kUserClockPs / kInterfaceClockPs + 2)) {
        cycles_ += model_->edge() ? 1 : 0;
    }
    model_->release();
}

RtlBoard::~RtlBoard() { model_->final(); }

void RtlBoard::hostWrite(const std::uint8_t* bytes, std::size_t count) {
    if (count != 0) {
        model_->chip.hostWrite(bytes, count);
        idle_ = false;
        quietCycles_ = 0;
    }
}

std::size_t RtlBoard::pendingToBoard() const { return model_->chip.pendingToFpga(); }

std::size_t RtlBoard::heldToHost() const { return model_->chip.toHostCount() + staged_.size(); }

std::uint64_t RtlBoard::run(std::uint64_t maxCycles, std::vector<std::uint8_t>& toHost, std::size_t room,
                            bool untilIdle) {
    ftchip::Chip& chip = model_->chip;
    const std::uint64_t start = cycles_;
    idle_ = false;
    while (cycles_ - start < maxCycles) {
        const std::uint64_t sliceEnd = std::min(cycles_ + kSliceCycles, start + maxCycles);
        const std::uint64_t sentBefore = chip.bytesFromFpga();
        while (cycles_ < sliceEnd) {
            cycles_ += model_->edge() ? 1 : 0;
        }
        // Only an empty stage takes from the chip, so what the host has no room for stays in the
        // chip and its full buffer stops the board, as the real chip's flow control does.
        if (staged_.empty()) {
            chip.takeToHost(staged_);
        }
        const std::size_t handed = std::min(room, staged_.size());
        toHost.insert(toHost.end(), staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(handed));
        staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(handed));
        room -= handed;
        const bool sent = chip.bytesFromFpga() != sentBefore;
        quietCycles_ = sent || chip.pendingToFpga() != 0 ? 0 : quietCycles_ + kSliceCycles;
        idle_ = quietCycles_ >= kQuietCycles && staged_.empty();
        if (idle_ && untilIdle) {
            break;
        }
        // The host has no room for what the board sent: it stands still behind the full chip.
        if (room == 0 && !staged_.empty() && chip.pendingToFpga() == 0) {
            break;
        }
    }
    return cycles_ - start;
}

unsigned RtlBoard::leds() { return model_->leds(); }

int RtlBoard::registerValue(unsigned address) {
    model_->peek(address);
    return model_->registerValue();
}

int RtlBoard::controlValue(unsigned address) {
    model_->peek(address);
    return model_->controlValue();
}

Counts RtlBoard::counts() { return model_->counts(); }

std::uint64_t RtlBoard::violationCount() const { return model_->chip.violationCount(); }

const std::vector<std::string>& RtlBoard::violations() const { return model_->chip.violations(); }

} // namespace rtlboard
