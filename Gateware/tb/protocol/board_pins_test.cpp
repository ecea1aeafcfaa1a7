// The example board at its pins: the chip model (its timing rules checked on every clock) between the
// host and cv_board_top. Asynchronous FIFO: the chip interface on a 48 MHz clock and the board's logic
// on a clock of its own. Synchronous FIFO (cv_board_top built with SYNC=1): the chip's 60 MHz CLKOUT
// for both. The host's random traffic, bad input included, must come back exactly as the C++ board
// model answers it, while the host reads at random moments (so the chip's buffer fills and TXE#
// rises) and RXF#/TXE# are held high at random points of bursts.
#include "Vcv_board_top.h"
#include "Vcv_board_top_sync.h"
#include "board_checks.h"
#include "ft_chip_model.h"
#include "host_traffic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace cvtb {
namespace {

using boardsim::Behaviour;

constexpr std::uint64_t kChipClockPs = 20833; // 48 MHz

struct PinCase {
    const char* name;
    Behaviour behaviour;
    TrafficMix mix;
    std::uint64_t userClockPs;
    double hostReads; // chance per chip clock that the host empties the chip's buffer
    double flagForce; // chance per chip clock that the forced-high state of RXF#/TXE# flips
    unsigned messages;
    bool sync = false; // the synchronous FIFO: userClockPs is unused, everything runs on CLKOUT
};
void PrintTo(const PinCase& c, std::ostream* out) { *out << c.name; }

constexpr TrafficMix kDirty{4, 4, 3, 3, 2, 1, 2, 3, 1, 255, 400};

const PinCase kPinCases[] = {
    {"echo_user_clock_slower", Behaviour::Echo, kDirty, 33333, 0.05, 0.0, 6000},
    {"echo_user_clock_faster_flags_forced", Behaviour::Echo, kDirty, 10000, 0.02, 0.01, 6000},
    {"echo_host_reads_rarely", Behaviour::Echo, TrafficMix{}, 15151, 0.0005, 0.002, 3000},
    {"registers_flags_forced", Behaviour::Registers, kDirty, 25000, 0.05, 0.02, 6000},
    {"sync_echo_flags_forced", Behaviour::Echo, kDirty, 0, 0.02, 0.01, 6000, true},
    {"sync_registers_host_reads_rarely", Behaviour::Registers, kDirty, 0, 0.0005, 0.002, 3000, true},
};

template <class Top> class PinBench {
  public:
    PinBench(std::uint32_t seed, const PinCase& c, std::uint32_t msgTimeout)
        : rng_(seed), case_(c), chip_(c.sync ? ftchip::Mode::Sync245 : ftchip::Mode::Async245, kChipClockPs / 1000.0) {
        top_->behaviour = static_cast<unsigned>(c.behaviour);
        top_->msg_timeout = msgTimeout;
        top_->stream_block_len = 16;
        top_->rst = 1;
        top_->user_rst = 1;
        applyChip(chip_.outputs());
        for (int i = 0; i < 8; ++i) {
            step();
        }
        top_->rst = 0;
        top_->user_rst = 0;
    }

    // Advances to the next clock edge of either domain (a whole CLKOUT clock when synchronous).
    void step() {
        if (case_.sync) {
            syncClock();
            return;
        }
        const std::uint64_t next = std::min(nextChip_, nextUser_);
        if (nextChip_ == next) {
            chipLevel_ = !chipLevel_;
            top_->clk = chipLevel_;
            top_->eval();
            if (chipLevel_) {
                chipRise();
            }
            nextChip_ += kChipClockPs / 2;
        }
        if (nextUser_ == next) {
            userLevel_ = !userLevel_;
            top_->user_clk = userLevel_;
            top_->eval();
            if (userLevel_) {
                ++userCycles;
            }
            nextUser_ += case_.userClockPs / 2;
        }
    }

    // Plays the host's steps through the chip; false when the board stopped taking bytes.
    bool play(const std::vector<HostStep>& steps) {
        for (const HostStep& s : steps) {
            std::size_t pos = 0;
            std::uint64_t lastProgress = chipCycles;
            std::uint64_t taken = chip_.bytesToFpga();
            while (pos < s.bytes.size() || chip_.pendingToFpga() != 0) {
                // The host's driver hands the chip bytes as it has room, in pieces.
                if (pos < s.bytes.size() && chip_.pendingToFpga() < 1024) {
                    const std::size_t n = std::min<std::size_t>(s.bytes.size() - pos, 1 + rng_() % 512);
                    chip_.hostWrite(s.bytes.data() + pos, n);
                    pos += n;
                }
                step();
                if (chip_.bytesToFpga() != taken) {
                    taken = chip_.bytesToFpga();
                    lastProgress = chipCycles;
                } else if (chipCycles - lastProgress > 200000) {
                    return false;
                }
            }
            if (s.stallCycles != 0) {
                // The host stops until the board has dropped the message left half-way.
                const std::uint64_t until = userCycles + s.stallCycles;
                const std::uint64_t limit = userCycles + 2000000;
                while (userCycles < until || top_->count_discarded_bytes < s.discardedBy) {
                    if (userCycles > limit) {
                        return false;
                    }
                    step();
                }
            }
        }
        return true;
    }

    void drain(std::size_t count, std::uint64_t quietChipCycles = 40000) {
        std::uint64_t lastProgress = chipCycles;
        forcing_ = false;
        rxfHeld_ = txeHeld_ = 0;
        chip_.forceRxfHigh(false);
        chip_.forceTxeHigh(false);
        while (chipCycles - lastProgress < quietChipCycles) {
            const std::size_t before = received.size();
            step();
            if (received.size() != before && received.size() <= count) {
                lastProgress = chipCycles;
            }
        }
        chip_.takeToHost(received);
    }

    Top& top() { return *top_; }
    ftchip::Chip& chip() { return chip_; }
    std::vector<std::uint8_t> received;
    std::uint64_t chipCycles = 0, userCycles = 0;

  private:
    void applyChip(const ftchip::ChipOut& o) {
        top_->rxf_n = o.rxf_n;
        top_->txe_n = o.txe_n;
        top_->d_in = o.d_in;
    }

    // The FPGA's rising chip clock: the pins it now drives go to the chip for one clock period, and the
    // chip's answer is what the FPGA samples at its next edge.
    void chipRise() {
        if (top_->rst) {
            return; // the chip sees the FPGA's pins once its reset has set them
        }
        ++chipCycles;
        ftchip::Pins pins;
        pins.rd_n = top_->rd_n;
        pins.wr_n = top_->wr_n;
        pins.d_out = top_->d_out;
        pins.d_oe = top_->d_oe;
        applyChip(chip_.edge(pins));
        hostAndFlags();
    }

    // One CLKOUT clock: the chip samples the pins as they were before the edge both sides share.
    void syncClock() {
        const ftchip::Pins before{top_->rd_n != 0, top_->wr_n != 0, top_->oe_n != 0, top_->d_out, top_->d_oe != 0};
        top_->clk = 1;
        top_->eval();
        if (!top_->rst) {
            ++chipCycles;
            ++userCycles;
            applyChip(chip_.edge(before));
            top_->eval();
            hostAndFlags();
        }
        top_->clk = 0;
        top_->eval();
    }

    void hostAndFlags() {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(rng_) < case_.hostReads) {
            chip_.takeToHost(received);
        }
        // RXF# held high for at most 32 chip clocks (a longer hold would look like a host that stopped
        // half-way, which the time-out rightly drops); TXE# for up to 400.
        forceFlag(rxfHeld_, 32, [&](bool on) { chip_.forceRxfHigh(on); });
        forceFlag(txeHeld_, 400, [&](bool on) { chip_.forceTxeHigh(on); });
    }

    template <class Set> void forceFlag(unsigned& held, unsigned longest, Set&& set) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (held != 0) {
            if (--held == 0) set(false);
        } else if (forcing_ && chance(rng_) < case_.flagForce) {
            held = 1 + static_cast<unsigned>(rng_() % longest);
            set(true);
        }
    }

    std::unique_ptr<Top> top_ = std::make_unique<Top>();
    std::mt19937 rng_;
    PinCase case_;
    ftchip::Chip chip_;
    std::uint64_t nextChip_ = 0, nextUser_ = 0;
    bool chipLevel_ = false, userLevel_ = false;
    bool forcing_ = true;                // flags are forced high at random until the drain
    unsigned rxfHeld_ = 0, txeHeld_ = 0; // chip clocks each flag stays forced high
};

template <class Top> void playAndCompare(const PinCase& c) {
    HostTraffic traffic(0x5EED + c.messages, c.behaviour, c.mix);
    for (unsigned i = 0; i < c.messages; ++i) {
        traffic.next();
    }
    PinBench<Top> bench(11, c, c.mix.cutShort != 0 ? 150 : 0);
    ASSERT_TRUE(bench.play(traffic.steps)) << "the board stopped taking the host's bytes";
    const std::vector<std::uint8_t> expected(traffic.expected.begin(), traffic.expected.end());
    bench.drain(expected.size());

    EXPECT_EQ(bench.chip().violationCount(), 0u);
    for (const std::string& v : bench.chip().violations()) {
        ADD_FAILURE() << v;
    }
    EXPECT_TRUE(sameBytes(expected, bench.received));
    expectSameState(bench.top(), traffic);
    std::cout << c.name << ": " << traffic.sentBytes << " bytes to the board, " << expected.size() << " back, "
              << bench.chipCycles << " chip clocks, " << bench.userCycles << " board clocks\n";
}

class Pins : public ::testing::TestWithParam<PinCase> {};

TEST_P(Pins, EveryByteBothWaysAsTheBoardModelAnswersWithinTheChipsTiming) {
    if (GetParam().sync) {
        playAndCompare<Vcv_board_top_sync>(GetParam());
    } else {
        playAndCompare<Vcv_board_top>(GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Board, Pins, ::testing::ValuesIn(kPinCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace cvtb
