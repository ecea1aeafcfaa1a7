// The example board's logic against the C++ board model: the same random host traffic into both,
// the answers compared byte for byte, then the counts, registers, LEDs and control values; bad
// input between the messages; hand-written exchanges; and the numbered stream.
#include "board_checks.h"
#include "core_bench.h"
#include "host_traffic.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <string>

namespace cvtb {
namespace {

using boardsim::Behaviour;

struct DifferentialCase {
    const char* name;
    Behaviour behaviour;
    TrafficMix mix;
    std::uint32_t msgTimeout;
    double inGap, outPause;
    unsigned messages;
};
void PrintTo(const DifferentialCase& c, std::ostream* out) { *out << c.name; }

constexpr TrafficMix kClean{};
constexpr TrafficMix kDirty{4, 4, 3, 3, 2, 1, 2, 3, 1, 255, 300};
constexpr TrafficMix kControlHeavy{1, 2, 1, 8, 8, 2, 1, 1, 0, 8, 0};
constexpr TrafficMix kShortMessages{4, 4, 0, 0, 0, 1, 0, 0, 0, 0, 0};

const DifferentialCase kDifferentialCases[] = {
    {"echo_clean", Behaviour::Echo, kClean, 0, 0.0, 0.0, 60000},
    {"echo_short_messages_full_speed", Behaviour::Echo, kShortMessages, 0, 0.0, 0.0, 100000},
    {"echo_gaps_and_pauses", Behaviour::Echo, kClean, 0, 0.5, 0.5, 20000},
    {"echo_host_reads_slowly", Behaviour::Echo, kClean, 0, 0.0, 0.95, 5000},
    {"echo_bad_input", Behaviour::Echo, kDirty, 100, 0.3, 0.3, 40000},
    {"echo_control_heavy", Behaviour::Echo, kControlHeavy, 100, 0.2, 0.2, 40000},
    {"registers_bad_input", Behaviour::Registers, kDirty, 100, 0.3, 0.3, 40000},
    {"registers_control_heavy", Behaviour::Registers, kControlHeavy, 0, 0.0, 0.0, 60000},
    {"silent_bad_input", Behaviour::Silent, kDirty, 100, 0.3, 0.3, 30000},
};

double perClock(const CoreBench& bench) {
    return bench.received.empty()
               ? 0.0
               : static_cast<double>(bench.received.size()) / static_cast<double>(bench.receivedAt.back());
}

class Differential : public ::testing::TestWithParam<DifferentialCase> {};

TEST_P(Differential, AnswersAndStateMatchTheBoardModel) {
    const DifferentialCase& c = GetParam();
    const std::uint32_t seed =
        0xC0FFEE + static_cast<std::uint32_t>(c.messages) + static_cast<std::uint32_t>(c.behaviour);
    HostTraffic traffic(seed, c.behaviour, c.mix);
    for (unsigned i = 0; i < c.messages; ++i) {
        traffic.next();
    }
    CoreBench bench(seed, BenchSettings{static_cast<unsigned>(c.behaviour), c.msgTimeout, c.inGap, c.outPause});
    ASSERT_TRUE(bench.play(traffic.steps)) << "the board stopped taking the host's bytes";
    const std::vector<std::uint8_t> expected(traffic.expected.begin(), traffic.expected.end());
    bench.drain(expected.size());
    EXPECT_TRUE(sameBytes(expected, bench.received));
    expectSameState(bench.top(), traffic);
    std::cout << c.name << ": " << traffic.sentBytes << " bytes in, " << bench.received.size() << " out, "
              << traffic.discardedBytes << " discarded, " << traffic.model.counts.controlSequences
              << " control sequences, " << traffic.model.counts.controlDiscarded << " broken, " << bench.cycles
              << " clocks (" << perClock(bench) << " bytes out per clock until the last)\n";
}

INSTANTIATE_TEST_SUITE_P(Board, Differential, ::testing::ValuesIn(kDifferentialCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Hand-written exchanges: the exact bytes a board answers, independent of the board model.
struct Exchange {
    const char* name;
    unsigned behaviour;
    std::vector<std::uint8_t> host;
    std::vector<std::uint8_t> answer;
    std::uint32_t discarded, controlDiscarded;
};
void PrintTo(const Exchange& c, std::ostream* out) { *out << c.name; }

const Exchange kExchanges[] = {
    {"trigger_echoed_on_channel_0", 1, {0x81, 0x05}, {0xC8, 0x05}, 0, 0},
    {"single_byte_on_its_channel", 1, {0x9B, 0x41}, {0xD3, 0x41}, 0, 0},
    {"block_echoed_whole", 1, {0xA9, 0x03, 0x01, 0x02, 0x03}, {0xE1, 0x03, 0x01, 0x02, 0x03}, 0, 0},
    {"empty_block_echoed", 1, {0xA2, 0x00}, {0xE2, 0x00}, 0, 0},
    {"control_9A_echoed_as_its_single_byte_channel", 1, {0x9A, 0x5A}, {0xD2, 0x5A}, 0, 0},
    {"control_message_echoed_on_its_address", 1, {0xBA, 0x01}, {0xD7, 0x01}, 0, 0},
    {"sequence_acknowledged", 2, {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x11, 0x92, 0x00}, {0xD2, 0x11}, 0, 0},
    {"broken_sequence_then_whole_one",
     2,
     {0x8A, 0x5A, 0x8A, 0xC3, 0x81, 0x01, 0x8A, 0x5A, 0x8A, 0xC3, 0x8A, 0x7E, 0x8A, 0x22, 0x8A, 0x00},
     {0xD1, 0x22},
     0,
     1},
    {"lone_bytes_and_unknown_header_dropped", 1, {0x05, 0x7F, 0x83, 0x99, 0x81, 0x02}, {0xC8, 0x02}, 4, 0},
    {"status_block_after_acknowledgement",
     2,
     {0x05, 0x83, 0x00, 0xD2, 0x5A, 0xD2, 0x00, 0xFA, 0x5A, 0xFA, 0xC3, 0xFA, 0x7E, 0xFA, 0x09, 0xFA, 0x00},
     {0xD7, 0x09, 0xE7, 0x08, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00},
     3,
     1},
    {"silent_board_sends_no_status", 0, {0xFA, 0x5A, 0xFA, 0xC3, 0xFA, 0x7E, 0xFA, 0x09, 0xFA, 0x00}, {}, 0, 0},
};

class Exchanges : public ::testing::TestWithParam<Exchange> {};

TEST_P(Exchanges, BoardAnswersExactly) {
    const Exchange& e = GetParam();
    CoreBench bench(1, BenchSettings{e.behaviour, 0, 0.0, 0.0});
    ASSERT_TRUE(bench.play({HostStep{e.host, 0}}));
    bench.drain(e.answer.size(), 2000);
    EXPECT_TRUE(sameBytes(e.answer, bench.received));
    EXPECT_EQ(bench.top().count_discarded_bytes, e.discarded);
    EXPECT_EQ(bench.top().count_control_discarded, e.controlDiscarded);
}

INSTANTIATE_TEST_SUITE_P(Board, Exchanges, ::testing::ValuesIn(kExchanges),
                         [](const auto& info) { return std::string(info.param.name); });

// A preamble cut short: the board waits msg_timeout clocks, drops it, counts its bytes and takes the
// next message as a message; without a time-out it waits for the rest.
TEST(BoardTimeout, CutShortPreambleIsDroppedAndTheNextMessageTaken) {
    for (const std::uint32_t timeout : {0u, 100u}) {
        CoreBench bench(2, BenchSettings{1, timeout, 0.0, 0.0});
        ASSERT_TRUE(bench.play({HostStep{{0xA3, 0x10, 0x01, 0x02, 0x03}, 300}, HostStep{{0x81, 0x07}, 0}}));
        bench.drain(2, 2000);
        if (timeout == 0) {
            EXPECT_TRUE(bench.received.empty());
            EXPECT_EQ(bench.top().count_discarded_bytes, 0u);
        } else {
            EXPECT_TRUE(sameBytes({0xC8, 0x07}, bench.received));
            EXPECT_EQ(bench.top().count_discarded_bytes, 5u);
            EXPECT_EQ(bench.top().count_triggers, 1u);
            EXPECT_EQ(bench.top().count_blocks, 0u);
        }
    }
}

// The numbered stream, with the host's control sequences acknowledged between its messages.
struct StreamCase {
    const char* name;
    std::uint8_t singles, blocks, blockLength;
    std::uint32_t period, count;
    double outPause;
    unsigned sequences; // control sequences the host sends meanwhile (to addresses 6, 7 and 15)
};
void PrintTo(const StreamCase& c, std::ostream* out) { *out << c.name; }

const StreamCase kStreamCases[] = {
    {"singles_and_blocks", 0x03, 0x0C, 16, 0, 4000, 0.3, 40},
    {"longest_blocks_slow_host", 0x00, 0x81, 255, 0, 600, 0.8, 10},
    {"shortest_blocks_all_channels", 0x3F, 0x3F, 4, 0, 6000, 0.0, 20},
    {"paced", 0x01, 0x02, 8, 60, 300, 0.0, 0},
};

class Stream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Stream, NumberedMessagesInTurnOrderBesideAcknowledgements) {
    const StreamCase& c = GetParam();
    BenchSettings settings{3, 0, 0.2, c.outPause, c.singles, c.blocks, c.blockLength, c.period, c.count};
    CoreBench bench(7, settings);
    HostTraffic traffic(9, Behaviour::Registers, kClean);
    const unsigned addresses[3] = {6, 7, 15};
    for (unsigned i = 0; i < c.sequences; ++i) {
        traffic.controlSequence(addresses[i % 3], static_cast<std::uint8_t>(i * 7));
    }
    ASSERT_TRUE(bench.play(traffic.steps));
    bench.drain(~std::size_t{0}, 5000);

    std::vector<std::pair<bool, std::uint8_t>> turn; // (block, channel)
    for (std::uint8_t ch = 0; ch < 8; ++ch) {
        if ((c.singles >> ch) & 1) turn.emplace_back(false, ch);
    }
    for (std::uint8_t ch = 0; ch < 8; ++ch) {
        if ((c.blocks >> ch) & 1) turn.emplace_back(true, ch);
    }
    const std::vector<std::uint8_t>& got = bench.received;
    std::vector<std::uint8_t> others; // what is not the stream: the acknowledgements and status
    std::vector<std::uint64_t> starts;
    std::uint64_t n = 0;
    std::size_t i = 0;
    while (i + 1 < got.size()) {
        const auto [block, channel] = turn[n % turn.size()];
        const std::uint8_t command = static_cast<std::uint8_t>((block ? 0xE0 : 0xD0) | channel);
        std::vector<std::uint8_t> message = {command, block ? c.blockLength : static_cast<std::uint8_t>(n)};
        for (std::uint32_t k = 0; block && k < c.blockLength; ++k) {
            message.push_back(boardsim::streamBlockByte(n, c.blockLength, k));
        }
        if (n < c.count && got.size() - i >= message.size() &&
            std::equal(message.begin(), message.end(), got.begin() + i)) {
            starts.push_back(bench.receivedAt[i]);
            i += message.size();
            ++n;
            continue;
        }
        // Not the stream's next message: an answer, whole (a block when its command says so).
        const std::size_t length = (got[i] & 0xF8) == 0xE0 ? 2 + got[i + 1] : 2;
        ASSERT_LE(i + length, got.size()) << "a message cut short at byte " << i;
        others.insert(others.end(), got.begin() + i, got.begin() + i + length);
        i += length;
    }
    EXPECT_EQ(i, got.size());
    EXPECT_EQ(n, c.count) << "stream messages received";
    EXPECT_EQ(bench.top().stream_sent, c.count);
    EXPECT_TRUE(sameBytes(std::vector<std::uint8_t>(traffic.expected.begin(), traffic.expected.end()), others));
    if (c.period != 0) {
        for (std::size_t k = 1; k < starts.size(); ++k) {
            ASSERT_EQ(starts[k] - starts[k - 1], c.period) << "message " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Board, Stream, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace cvtb
