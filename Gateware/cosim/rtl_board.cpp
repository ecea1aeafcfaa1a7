#include "rtl_board.h"

#include "Vcv_board_top.h"
#include "ft_chip_model.h"
#include "verilated.h"

#include <algorithm>

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

// What the chip drives towards the gateware.
void drive(Vcv_board_top& top, const ftchip::ChipOut& out) {
    top.rxf_n = out.rxf_n;
    top.txe_n = out.txe_n;
    top.d_in = out.d_in;
}

} // namespace

struct RtlBoard::Model {
    VerilatedContext context;
    Vcv_board_top top{&context, "board"};
    ftchip::Chip chip{ftchip::Mode::Async245, kInterfaceClockNs};
};

RtlBoard::RtlBoard(const Settings& settings) : settings_(settings), model_(std::make_unique<Model>()) {
    Vcv_board_top& top = model_->top;
    top.behaviour = settings.behaviour;
    top.stream_single_mask = settings.streamSingleMask;
    top.stream_block_mask = settings.streamBlockMask;
    top.stream_block_len = settings.streamBlockLength;
    top.stream_period = settings.streamPeriod;
    top.stream_count = settings.streamCount;
    top.msg_timeout = settings.messageTimeout;
    top.peek_addr = 0;
    drive(top, model_->chip.outputs());
    top.clk = 0;
    top.user_clk = 0;
    top.rst = 1;
    top.user_rst = 1;
    top.eval();
    nextInterfaceEdgePs_ = kInterfaceHalfPs;
    nextUserEdgePs_ = kUserHalfPs;
    // Enough edges that both clocks see kResetCycles rising edges in reset.
    while (cycles_ < kResetCycles * (kUserClockPs / kInterfaceClockPs + 2)) {
        edge();
    }
    top.rst = 0;
    top.user_rst = 0;
    top.eval();
}

RtlBoard::~RtlBoard() { model_->top.final(); }

void RtlBoard::edge() {
    Vcv_board_top& top = model_->top;
    const std::uint64_t now = std::min(nextInterfaceEdgePs_, nextUserEdgePs_);
    const bool interfaceEdge = nextInterfaceEdgePs_ == now;
    const bool rising = interfaceEdge && top.clk == 0;
    if (interfaceEdge) {
        top.clk = !top.clk;
        nextInterfaceEdgePs_ += kInterfaceHalfPs;
    }
    if (nextUserEdgePs_ == now) {
        top.user_clk = !top.user_clk;
        nextUserEdgePs_ += kUserHalfPs;
    }
    top.eval();
    if (rising) {
        // The asynchronous chip sees the pins the gateware set at this edge for the whole clock,
        // and what it drives at the clock's end is what the next edge samples.
        const ftchip::Pins pins{top.rd_n != 0, top.wr_n != 0, true, top.d_out, top.d_oe != 0};
        drive(top, model_->chip.edge(pins));
        top.eval();
        ++cycles_;
    }
}

void RtlBoard::hostWrite(const std::uint8_t* bytes, std::size_t count) {
    if (count != 0) {
        model_->chip.hostWrite(bytes, count);
        idle_ = false;
        quietCycles_ = 0;
    }
}

std::size_t RtlBoard::pendingToBoard() const { return model_->chip.pendingToFpga(); }

std::uint64_t RtlBoard::run(std::uint64_t maxCycles, std::vector<std::uint8_t>& toHost, std::size_t room,
                            bool untilIdle) {
    const std::uint64_t start = cycles_;
    idle_ = false;
    while (cycles_ - start < maxCycles) {
        const std::uint64_t sliceEnd = std::min(cycles_ + kSliceCycles, start + maxCycles);
        const std::uint64_t sentBefore = model_->chip.bytesFromFpga();
        while (cycles_ < sliceEnd) {
            edge();
        }
        // Only an empty stage takes from the chip, so what the host has no room for stays in the
        // chip and its full buffer stops the board, as the real chip's flow control does.
        if (staged_.empty()) {
            model_->chip.takeToHost(staged_);
        }
        const std::size_t handed = std::min(room, staged_.size());
        toHost.insert(toHost.end(), staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(handed));
        staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(handed));
        room -= handed;
        const bool sent = model_->chip.bytesFromFpga() != sentBefore;
        quietCycles_ = sent || model_->chip.pendingToFpga() != 0 ? 0 : quietCycles_ + kSliceCycles;
        idle_ = quietCycles_ >= kQuietCycles && staged_.empty();
        if (idle_ && untilIdle) {
            break;
        }
        // The host has no room for what the board sent: it stands still behind the full chip.
        if (room == 0 && !staged_.empty() && model_->chip.pendingToFpga() == 0) {
            break;
        }
    }
    return cycles_ - start;
}

void RtlBoard::peek(unsigned address) {
    model_->top.peek_addr = address & 0x0F;
    model_->top.eval();
}

unsigned RtlBoard::leds() { return model_->top.leds; }

int RtlBoard::registerValue(unsigned address) {
    peek(address);
    return model_->top.peek_register_set != 0 ? model_->top.peek_register : -1;
}

int RtlBoard::controlValue(unsigned address) {
    peek(address);
    return model_->top.peek_control_set != 0 ? model_->top.peek_control : -1;
}

Counts RtlBoard::counts() {
    const Vcv_board_top& top = model_->top;
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

std::uint64_t RtlBoard::violationCount() const { return model_->chip.violationCount(); }

const std::vector<std::string>& RtlBoard::violations() const { return model_->chip.violations(); }

} // namespace rtlboard
