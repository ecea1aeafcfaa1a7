// The chip model on its own: scripted pin sequences, legal and broken, with the rule each one breaks,
// the bytes that move, and what the flags and the bus show on the way.
#include "ft_chip_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ftchip::Chip;
using ftchip::Mode;
using ftchip::Pins;

constexpr double k48 = 1000.0 / 48.0;

// One step of the FPGA's pins: r/w/o = RD#/WR#/OE# low, d = the byte the FPGA drives (-1: not driven).
struct Step {
    bool rd = false, wr = false, oe = false;
    int d = -1;
};
Pins pins(const Step& s) {
    Pins p;
    p.rd_n = !s.rd;
    p.wr_n = !s.wr;
    p.oe_n = !s.oe;
    p.d_oe = s.d >= 0;
    p.d_out = static_cast<std::uint8_t>(s.d < 0 ? 0 : s.d);
    return p;
}

constexpr Step idle{};
constexpr Step rd{true};
constexpr Step oe{false, false, true};
constexpr Step oeRd{true, false, true};
Step drive(int d) { return Step{false, false, false, d}; }
Step strobe(int d) { return Step{false, true, false, d}; }

struct Script {
    const char* name;
    Mode mode;
    std::vector<std::uint8_t> hostBytes; // written by the host before the first step
    std::vector<Step> steps;
    const char* violation;            // the first broken rule, "" for none
    std::vector<std::uint8_t> toHost; // what the host reads afterwards
    std::size_t toFpga;               // bytes the FPGA took
};

std::ostream& operator<<(std::ostream& os, const Script& s) { return os << s.name; }

const Script kScripts[] = {
    // The asynchronous FIFO at 48 MHz: a step is 20.8 ns.
    {"AsyncLegalReadAndWrite",
     Mode::Async245,
     {0x41},
     {idle, rd, rd, idle, drive(0x5A), strobe(0x5A), strobe(0x5A), drive(0x5A), idle},
     "",
     {0x5A},
     1},
    {"AsyncReadFromEmptyChip",
     Mode::Async245,
     {},
     {idle, rd, rd, idle},
     "async: RD# fell while RXF# was high (RD# active after RXF#)",
     {},
     0},
    {"AsyncShortReadPulse",
     Mode::Async245,
     {1},
     {idle, rd, idle},
     "async: RD# active pulse shorter than its minimum width",
     {},
     1},
    {"AsyncReadOnStaleFlag",
     Mode::Async245,
     {1, 2},
     {idle, rd, rd, idle, rd, rd, idle},
     "async: RD# fell while RXF# was high (RD# active after RXF#)",
     {},
     1},
    {"AsyncBackToBackReadsWaitForTheFlag",
     Mode::Async245,
     {1, 2},
     {idle, rd, rd, idle, idle, idle, rd, rd, idle},
     "",
     {},
     2},
    {"AsyncDriveWhileChipDrives",
     Mode::Async245,
     {1},
     {idle, rd, Step{true, false, false, 7}, idle},
     "async: the FPGA drove D while RD# was low (bus contention)",
     {},
     1},
    {"AsyncDriveOnTheEdgeRdRises",
     Mode::Async245,
     {1},
     {idle, rd, rd, drive(3), idle},
     "async: the FPGA drove D before the chip released it after RD# rose",
     {},
     1},
    {"AsyncReadOnTheEdgeDIsReleased",
     Mode::Async245,
     {1},
     {drive(3), rd, rd, idle},
     "async: RD# fell on the edge the FPGA released D (no turnaround)",
     {},
     1},
    {"AsyncWriteWithoutSetUp",
     Mode::Async245,
     {},
     {idle, strobe(9), strobe(9), drive(9), idle},
     "async: D set up for less than its minimum before WR# fell",
     {9},
     0},
    {"AsyncDataChangesDuringWrite",
     Mode::Async245,
     {},
     {drive(9), strobe(9), strobe(8), drive(8), idle},
     "async: D changed while WR# was low",
     {9},
     0},
    {"AsyncNoHoldAfterWrite",
     Mode::Async245,
     {},
     {drive(9), strobe(9), strobe(9), idle},
     "async: D changed before its hold time after WR# rose",
     {9},
     0},
    {"AsyncShortWritePulse",
     Mode::Async245,
     {},
     {drive(9), strobe(9), drive(9), idle},
     "async: WR# active pulse shorter than its minimum width",
     {9},
     0},
    {"AsyncWriteOnStaleFlag",
     Mode::Async245,
     {},
     {drive(1), strobe(1), strobe(1), drive(1), drive(2), strobe(2), strobe(2), drive(2), idle},
     "async: WR# fell while TXE# was high (WR# active after TXE#)",
     {1},
     0},
    {"AsyncWriteWithoutDrivingD",
     Mode::Async245,
     {},
     {idle, Step{false, true}, Step{false, true}, idle},
     "async: WR# fell while the FPGA did not drive D",
     {},
     0},
    // The synchronous FIFO: a step is one CLKOUT edge.
    {"SyncLegalBurstBothWays",
     Mode::Sync245,
     {1, 2, 3},
     {oe, oeRd, oeRd, oeRd, idle, strobe(7), strobe(8), idle},
     "",
     {7, 8},
     3},
    {"SyncReadWithoutOePrecedingIt",
     Mode::Sync245,
     {1},
     {oeRd, idle},
     "sync: RD# low without OE# low since the clock before",
     {},
     1},
    {"SyncDriveWhileOeLow",
     Mode::Sync245,
     {},
     {oe, Step{false, false, true, 4}, idle},
     "sync: the FPGA drove D while OE# was low (bus contention)",
     {},
     0},
    {"SyncOeFallsAsDIsReleased",
     Mode::Sync245,
     {},
     {drive(4), oe, idle},
     "sync: OE# fell on the edge the FPGA released D (no turnaround clock)",
     {},
     0},
    {"SyncDriveAsOeRises",
     Mode::Sync245,
     {},
     {oe, drive(4), idle},
     "sync: the FPGA drove D on the edge OE# rose (no turnaround clock)",
     {},
     0},
    {"SyncWriteWithoutDrivingD",
     Mode::Sync245,
     {},
     {idle, Step{false, true}, idle},
     "sync: WR# low while the FPGA did not drive D",
     {},
     0},
};

class ChipModelScript : public ::testing::TestWithParam<Script> {};

TEST_P(ChipModelScript, RecordsTheFirstBrokenRuleAndMovesTheRightBytes) {
    const Script& s = GetParam();
    Chip chip(s.mode, k48);
    chip.hostWrite(s.hostBytes.data(), s.hostBytes.size());
    chip.edge(pins(idle)); // the flags settle
    for (const Step& step : s.steps)
        chip.edge(pins(step));
    if (*s.violation == 0) {
        EXPECT_EQ(chip.violationCount(), 0u) << chip.violations().front();
    } else {
        ASSERT_FALSE(chip.violations().empty());
        const std::string& first = chip.violations().front();
        EXPECT_EQ(first.substr(0, first.find(" (at ")), s.violation);
    }
    std::vector<std::uint8_t> got;
    chip.takeToHost(got);
    EXPECT_EQ(got, s.toHost);
    EXPECT_EQ(chip.bytesToFpga(), s.toFpga);
    EXPECT_EQ(chip.pendingToFpga(), s.hostBytes.size() - s.toFpga);
}

INSTANTIATE_TEST_SUITE_P(Gateware, ChipModelScript, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.name); });

// The asynchronous chip's answers over time: data valid 14 ns after RD# falls (here at the first
// sample, 20.8 ns later), RXF# high from the read until 49 ns after RD# rose, low again after.
TEST(ChipModel, AsyncReadShowsDataThenRaisesRxfForItsInactiveTime) {
    Chip chip(Mode::Async245, k48);
    const std::uint8_t bytes[] = {0xC3, 0x3C};
    chip.hostWrite(bytes, 2);
    EXPECT_FALSE(chip.edge(pins(idle)).rxf_n);
    ftchip::ChipOut o = chip.edge(pins(rd));
    EXPECT_EQ(o.d_in, 0xC3);
    EXPECT_FALSE(o.rxf_n);
    chip.edge(pins(rd));
    std::vector<bool> flag;
    for (int i = 0; i < 4; ++i)
        flag.push_back(chip.edge(pins(idle)).rxf_n);
    // Samples at 20.8, 41.7, 62.5 and 83.3 ns after RD# rose.
    EXPECT_EQ(flag, (std::vector<bool>{true, true, false, false}));
    EXPECT_EQ(chip.bytesToFpga(), 1u);
}

// The transmit buffer (4 KiB, or an FT232H's 1 KiB): TXE# rises when it is full and falls once the
// host reads.
TEST(ChipModel, SyncTxeRisesWhenTheBufferIsFullAndFallsWhenTheHostReads) {
    for (std::size_t capacity : {ftchip::kBufferBytes, std::size_t{1024}}) {
        SCOPED_TRACE(capacity);
        Chip chip(Mode::Sync245, 0);
        if (capacity != ftchip::kBufferBytes) chip.setToHostCapacity(capacity);
        EXPECT_FALSE(chip.edge(pins(idle)).txe_n);
        for (int i = 0; i < 5000; ++i)
            chip.edge(pins(strobe(i & 0xFF)));
        EXPECT_EQ(chip.bytesFromFpga(), capacity);
        EXPECT_EQ(chip.toHostCount(), capacity);
        EXPECT_EQ(chip.txRoom(), 0u);
        EXPECT_TRUE(chip.outputs().txe_n);
        std::vector<std::uint8_t> got;
        EXPECT_EQ(chip.takeToHost(got), capacity);
        for (std::size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], i & 0xFF);
        EXPECT_EQ(chip.toHostCount(), 0u);
        EXPECT_FALSE(chip.edge(pins(strobe(0))).txe_n);
        EXPECT_EQ(chip.violationCount(), 0u);
    }
}

// A forced flag: the synchronous chip raises it at the next edge and takes no byte while it is high;
// the asynchronous chip keeps it high after the next strobe, never in the middle of one.
TEST(ChipModel, ForcedFlagsStopTransfersAtTheRightMoment) {
    Chip sync(Mode::Sync245, 0);
    const std::uint8_t bytes[] = {1, 2, 3};
    sync.hostWrite(bytes, 3);
    sync.edge(pins(oe));
    sync.edge(pins(oeRd));
    sync.forceRxfHigh(true);
    EXPECT_TRUE(sync.edge(pins(oeRd)).rxf_n); // the byte of this edge still moved
    sync.edge(pins(oeRd));
    sync.edge(pins(oeRd));
    EXPECT_EQ(sync.bytesToFpga(), 2u);
    sync.forceRxfHigh(false);
    EXPECT_FALSE(sync.edge(pins(oeRd)).rxf_n);
    EXPECT_EQ(sync.violationCount(), 0u);

    Chip async(Mode::Async245, k48);
    async.hostWrite(bytes, 3);
    async.edge(pins(idle));
    async.forceRxfHigh(true);
    EXPECT_FALSE(async.edge(pins(idle)).rxf_n); // no strobe yet: the flag stays low
    async.edge(pins(rd));
    async.edge(pins(rd));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(async.edge(pins(idle)).rxf_n);
    async.forceRxfHigh(false);
    EXPECT_FALSE(async.edge(pins(idle)).rxf_n);
    EXPECT_EQ(async.bytesToFpga(), 1u);
    EXPECT_EQ(async.violationCount(), 0u);
}

} // namespace
