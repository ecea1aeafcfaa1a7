// The chip interfaces against the pin-level chip model, and the clock-crossing FIFO between two
// unrelated clocks: random bytes both ways, the flags forced high at random points of bursts, every
// byte scored (none lost, doubled or reordered), the chip's timing rules clean, and the throughput of
// each mode counted in clocks.
#include "ft_chip_model.h"

#include "Vasync.h"
#include "Vasync1.h"
#include "Vcdc.h"
#include "Vsync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kClock48Ns = 1000.0 / 48.0;

// The host's and the user logic's sides of a run: what each may do on a clock, all random.
struct Traffic {
    std::uint64_t toFpga = 0;           // bytes the host sends
    std::uint64_t fromFpga = 0;         // bytes the user logic sends
    double forceRxf = 0.0;              // chance per clock that RXF# is forced high for a while
    double forceTxe = 0.0;              // likewise TXE#
    double rxStall = 0.0;               // chance per clock that the user logic is not ready
    double txGap = 0.0;                 // chance per clock that the user logic has no byte
    double hostReadChance = 1.0;        // chance per clock that the host reads the chip's buffer
    double chipRate = 0.0;              // the chip's own pace in bytes per second, 0 = unlimited
};

struct Figures {
    std::uint64_t clocks = 0, toFpga = 0, fromFpga = 0;
    double seconds = 0.0;
};

// A stream the user logic sees: checks the valid/ready rules of the module's output side and scores
// every byte against the expected sequence.
struct Scoreboard {
    std::vector<std::uint8_t> expected;
    std::size_t next = 0;
    std::string fault;

    void take(std::uint8_t b) {
        if (!fault.empty())
            return;
        if (next >= expected.size())
            fault = "byte " + std::to_string(next) + " arrived beyond the " + std::to_string(expected.size()) +
                    " sent (doubled)";
        else if (expected[next] != b) {
            char text[160];
            std::snprintf(text, sizeof text, "byte %zu is 0x%02X, expected 0x%02X (lost, doubled or reordered)", next,
                          b, expected[next]);
            fault = text;
        }
        ++next;
    }
    bool done() const { return next == expected.size(); }
};

std::vector<std::uint8_t> randomBytes(std::mt19937& rng, std::uint64_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// Runs one chip interface (Vasync, Vasync1 or Vsync) against the chip model until both streams are
// delivered or the clock budget is spent.
template <class Top>
Figures runChipInterface(ftchip::Mode mode, const Traffic& t, std::uint32_t seed, std::string& failure) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    Top top;
    ftchip::Chip chip(mode, kClock48Ns);
    chip.limitRate(t.chipRate);

    Scoreboard down, up;  // host to FPGA, FPGA to host
    down.expected = randomBytes(rng, t.toFpga);
    up.expected = randomBytes(rng, t.fromFpga);
    std::size_t hostSent = 0, userSent = 0;
    std::vector<std::uint8_t> hostGot;
    std::size_t hostChecked = 0;

    auto readPins = [&] {
        ftchip::Pins p;
        p.rd_n = top.rd_n;
        p.wr_n = top.wr_n;
        if constexpr (requires { top.oe_n; })
            p.oe_n = top.oe_n;
        p.d_out = top.d_out;
        p.d_oe = top.d_oe;
        return p;
    };
    auto apply = [&](const ftchip::ChipOut& o) {
        top.rxf_n = o.rxf_n;
        top.txe_n = o.txe_n;
        top.d_in = o.d_in;
    };

    top.rst = 1;
    apply(chip.outputs());
    for (int i = 0; i < 4; ++i) {
        top.clk = 1;
        top.eval();
        top.clk = 0;
        top.eval();
    }
    top.rst = 0;
    top.eval();

    int rxfHold = 0, txeHold = 0;
    bool prevRxValid = false, prevTxValid = false;
    std::uint8_t prevRxData = 0;
    const std::uint64_t budget = 40 * (t.toFpga + t.fromFpga) + 100000;
    const auto start = std::chrono::steady_clock::now();
    Figures f;
    for (; f.clocks < budget; ++f.clocks) {
        // The host: writes in chunks while it has bytes, keeping the chip and its driver supplied.
        if (hostSent < down.expected.size() && chip.pendingToFpga() < 2 * ftchip::kBufferBytes) {
            std::size_t n = std::min<std::size_t>(1 + rng() % 512, down.expected.size() - hostSent);
            chip.hostWrite(down.expected.data() + hostSent, n);
            hostSent += n;
        }
        if (chance(rng) < t.hostReadChance) {
            chip.takeToHost(hostGot);
            for (; hostChecked < hostGot.size(); ++hostChecked)
                up.take(hostGot[hostChecked]);
        }
        // Flags forced high at random points, for random lengths.
        const bool draining = hostSent == down.expected.size() && userSent == up.expected.size();
        if (rxfHold > 0)
            --rxfHold;
        else if (!draining && chance(rng) < t.forceRxf)
            rxfHold = 1 + static_cast<int>(rng() % 24);
        if (txeHold > 0)
            --txeHold;
        else if (!draining && chance(rng) < t.forceTxe)
            txeHold = 1 + static_cast<int>(rng() % 24);
        chip.forceRxfHigh(rxfHold > 0);
        chip.forceTxeHigh(txeHold > 0);

        // The user logic's side of the streams, decided before the edge.
        top.rx_ready = chance(rng) >= t.rxStall;
        if (!top.tx_valid || !prevTxValid) {
            bool offer = userSent < up.expected.size() && chance(rng) >= t.txGap;
            top.tx_valid = offer;
            if (offer)
                top.tx_data = up.expected[userSent];
        }
        top.eval();
        if (prevRxValid && !top.rx_valid)
            failure = "rx_valid dropped before its byte moved";
        if (prevRxValid && top.rx_valid && top.rx_data != prevRxData)
            failure = "rx_data changed before its byte moved";
        const bool rxBeat = top.rx_valid && top.rx_ready;
        const bool txBeat = top.tx_valid && top.tx_ready;
        const std::uint8_t rxByte = top.rx_data;

        chip.clock(readPins, [&] { top.clk = 1; top.eval(); }, apply, [&] { top.clk = 0; top.eval(); });

        if (rxBeat)
            down.take(rxByte);
        if (txBeat)
            ++userSent;
        prevRxValid = top.rx_valid && !rxBeat;
        prevRxData = top.rx_data;
        prevTxValid = top.tx_valid && !txBeat;
        if (txBeat)
            top.tx_valid = 0;

        if (!failure.empty() || !down.fault.empty() || !up.fault.empty())
            break;
        if (down.done() && up.done())
            break;
    }
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.toFpga = down.next;
    f.fromFpga = up.next;
    if (failure.empty() && !down.fault.empty())
        failure = "host to FPGA: " + down.fault;
    if (failure.empty() && !up.fault.empty())
        failure = "FPGA to host: " + up.fault;
    if (failure.empty() && !(down.done() && up.done()))
        failure = "stalled: " + std::to_string(down.next) + " of " + std::to_string(down.expected.size()) +
                  " bytes reached the FPGA, " + std::to_string(up.next) + " of " +
                  std::to_string(up.expected.size()) + " the host";
    if (failure.empty() && chip.violationCount() != 0)
        failure = std::to_string(chip.violationCount()) + " timing rule(s) broken, first: " + chip.violations().front();
    return f;
}

// The clock-crossing FIFO between two unrelated clocks, random valid and ready on both sides.
Figures runCdc(double wrPeriodNs, double rdPeriodNs, const Traffic& t, std::uint32_t seed, std::string& failure) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    Vcdc top;
    Scoreboard sb;
    sb.expected = randomBytes(rng, t.toFpga);
    std::size_t sent = 0;

    top.wr_rst = 1;
    top.rd_rst = 1;
    for (int i = 0; i < 4; ++i) {
        top.wr_clk = 1;
        top.rd_clk = 1;
        top.eval();
        top.wr_clk = 0;
        top.rd_clk = 0;
        top.eval();
    }
    top.wr_rst = 0;
    top.rd_rst = 0;
    top.eval();

    // Each clock's next rising edge in ps; the read clock starts at a random phase.
    const auto wrPs = static_cast<std::uint64_t>(wrPeriodNs * 1000), rdPs = static_cast<std::uint64_t>(rdPeriodNs * 1000);
    std::uint64_t wrNext = wrPs, rdNext = rng() % rdPs + 1;
    bool prevValid = false;
    std::uint8_t prevData = 0;
    Figures f;
    const std::uint64_t budget = 60 * t.toFpga + 10000;
    const auto start = std::chrono::steady_clock::now();
    while (f.clocks < budget && !sb.done() && sb.fault.empty() && failure.empty()) {
        const std::uint64_t now = std::min(wrNext, rdNext);
        const bool wrEdge = wrNext == now, rdEdge = rdNext == now;
        top.eval();
        const bool wrBeat = wrEdge && top.wr_valid && top.wr_ready;
        const bool rdBeat = rdEdge && top.rd_valid && top.rd_ready;
        const std::uint8_t rdByte = top.rd_data;
        if (wrEdge)
            top.wr_clk = 1;
        if (rdEdge)
            top.rd_clk = 1;
        top.eval();
        top.wr_clk = 0;
        top.rd_clk = 0;
        top.eval();
        if (wrEdge) {
            ++f.clocks;
            wrNext += wrPs;
            if (wrBeat) {
                ++sent;
                top.wr_valid = 0;
            }
            if (!top.wr_valid && sent < sb.expected.size() && chance(rng) >= t.txGap) {
                top.wr_valid = 1;
                top.wr_data = sb.expected[sent];
            }
        }
        if (rdEdge) {
            rdNext += rdPs;
            if (rdBeat)
                sb.take(rdByte);
            if (prevValid && !rdBeat && (!top.rd_valid || top.rd_data != prevData))
                failure = "rd_valid dropped or rd_data changed before the word moved";
            prevValid = top.rd_valid && !rdBeat;
            prevData = top.rd_data;
            top.rd_ready = chance(rng) >= t.rxStall;
            prevValid = prevValid && top.rd_valid;
        }
    }
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.toFpga = sb.next;
    if (failure.empty() && !sb.fault.empty())
        failure = sb.fault;
    if (failure.empty() && !sb.done())
        failure = "stalled after " + std::to_string(sb.next) + " of " + std::to_string(sb.expected.size()) + " words";
    return f;
}

enum class Dut { Async, Async1, Sync, Cdc };

struct Case {
    const char* name;
    Dut dut;
    Traffic traffic;
    std::uint32_t seed;
    // Throughput cases: the least the run must reach, in bytes per clock each way (0 = not checked).
    double minToFpgaPerClock = 0.0, minFromFpgaPerClock = 0.0;
    double wrPeriodNs = 0.0, rdPeriodNs = 0.0;  // CDC only
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

const Case kCases[] = {
    // Scoreboard runs: both directions at once, flags forced high mid-burst, user logic stalling.
    {"SyncBothWaysForcedFlags", Dut::Sync, {600000, 600000, 0.02, 0.02, 0.2, 0.1, 0.9, 0.0}, 11},
    {"SyncHostSlowToRead", Dut::Sync, {200000, 400000, 0.01, 0.01, 0.5, 0.0, 0.002, 0.0}, 12},
    {"AsyncBothWaysForcedFlags", Dut::Async, {120000, 120000, 0.05, 0.05, 0.2, 0.1, 0.9, 0.0}, 13},
    {"AsyncHostSlowToRead", Dut::Async, {40000, 80000, 0.02, 0.02, 0.5, 0.0, 0.002, 0.0}, 14},
    {"AsyncOneSyncStage", Dut::Async1, {100000, 100000, 0.05, 0.05, 0.2, 0.1, 0.9, 0.0}, 15},
    // Throughput, one direction at a time, the flag low throughout, the user logic always ready.
    {"SyncRateToFpga", Dut::Sync, {400000, 0}, 21, 0.95, 0.0},
    {"SyncRateFromFpga", Dut::Sync, {0, 400000}, 22, 0.0, 0.95},
    {"AsyncRateToFpga", Dut::Async, {60000, 0}, 23, 1.0 / 7.5, 0.0},
    {"AsyncRateFromFpga", Dut::Async, {0, 60000}, 24, 0.0, 1.0 / 7.5},
    {"Async1RateToFpga", Dut::Async1, {60000, 0}, 25, 1.0 / 6.5, 0.0},
    {"Async1RateFromFpga", Dut::Async1, {0, 60000}, 26, 0.0, 1.0 / 6.5},
    // The clock crossing: fast writer, fast reader, near-equal clocks, both sides stalling.
    {"CdcFastWriter", Dut::Cdc, {500000, 0, 0, 0, 0.3, 0.0}, 31, 0, 0, 10.0, 37.0},
    {"CdcFastReader", Dut::Cdc, {500000, 0, 0, 0, 0.0, 0.3}, 32, 0, 0, 41.0, 9.3},
    {"CdcNearEqualClocks", Dut::Cdc, {500000, 0, 0, 0, 0.4, 0.4}, 33, 0, 0, 20.833, 20.8},
};

class ChipInterface : public ::testing::TestWithParam<Case> {};

TEST_P(ChipInterface, EveryByteArrivesOnceInOrderWithinTheChipsRules) {
    const Case& c = GetParam();
    std::string failure;
    Figures f;
    const char* mode = "";
    switch (c.dut) {
    case Dut::Async:
        f = runChipInterface<Vasync>(ftchip::Mode::Async245, c.traffic, c.seed, failure);
        mode = "async 48 MHz, 2 sync stages";
        break;
    case Dut::Async1:
        f = runChipInterface<Vasync1>(ftchip::Mode::Async245, c.traffic, c.seed, failure);
        mode = "async 48 MHz, 1 sync stage";
        break;
    case Dut::Sync:
        f = runChipInterface<Vsync>(ftchip::Mode::Sync245, c.traffic, c.seed, failure);
        mode = "sync 60 MHz";
        break;
    case Dut::Cdc:
        f = runCdc(c.wrPeriodNs, c.rdPeriodNs, c.traffic, c.seed, failure);
        mode = "clock crossing";
        break;
    }
    EXPECT_EQ(failure, "");
    const double clockNs = c.dut == Dut::Sync ? ftchip::kSyncClockNs : kClock48Ns;
    const double perClockIn = double(f.toFpga) / double(f.clocks), perClockOut = double(f.fromFpga) / double(f.clocks);
    std::printf("[figures] %s (%s): %llu clocks, %llu bytes to the FPGA, %llu to the host; "
                "%.3f / %.3f bytes per clock (%.2f / %.2f MB/s); %.2f M simulated clocks per second\n",
                c.name, mode, static_cast<unsigned long long>(f.clocks), static_cast<unsigned long long>(f.toFpga),
                static_cast<unsigned long long>(f.fromFpga), perClockIn, perClockOut, perClockIn * 1000.0 / clockNs,
                perClockOut * 1000.0 / clockNs, f.seconds > 0 ? double(f.clocks) / f.seconds / 1e6 : 0.0);
    EXPECT_GE(perClockIn, c.minToFpgaPerClock);
    EXPECT_GE(perClockOut, c.minFromFpgaPerClock);
}

INSTANTIATE_TEST_SUITE_P(Gateware, ChipInterface, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
