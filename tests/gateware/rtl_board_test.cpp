// The library against the example gateware: the Verilated board top behind the bridge chip's
// pin-level model, as boards of the simulated driver (rtl_boards.json), driven through the
// library's exports. Every case also checks that the gateware broke none of the chip's timing rules.
#include "board_sim.h"
#include "corvane.h"
#include "environment.h"
#include "self_test_wire.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kBoards = 4;
constexpr const char* kRtlEcho = "RTLECHO1";
constexpr const char* kModelEcho = "MODELECHO1";
constexpr const char* kRtlRegisters = "RTLREGS1";
constexpr const char* kRtlStream = "RTLSTREAM1";
constexpr int kSelfTestCycles = 300;

// One callback as the library made it; triggers keep their value in `length` and no data.
struct Record {
    int channel;
    std::uint32_t command;
    std::uint32_t length;
    Bytes data;
    bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Record& record) {
    out << "{ch" << record.channel << " " << std::hex << record.command << " len=" << std::dec << record.length << ":";
    for (std::uint8_t byte : record.data) {
        out << " " << std::hex << static_cast<int>(byte) << std::dec;
    }
    return out << "}";
}

Record single(int channel, std::uint8_t value) { return {channel, 0xD0u | channel, 1, {value}}; }
Record block(int channel, const Bytes& data) {
    return {channel, 0xE0u | channel, static_cast<std::uint32_t>(data.size()), data};
}
Record trigger(std::uint8_t value) { return {0, 0xC8, value, {}}; }

// Messages (from the write thread) and triggers (from the read thread) per board, apart: the two
// threads deliver them in no fixed order between each other.
struct Received {
    std::vector<Record> messages;
    std::vector<Record> triggers;
};
std::mutex receivedLock;
std::array<Received, kBoards> received;

int32_t CORVANE_CALL record(int32_t board, int32_t channel, uint32_t command, uint32_t length, uint8_t* data,
                            uint32_t dataLength) {
    const bool isTrigger = (command & 0x08) != 0;
    Record entry{channel, command, length, isTrigger ? Bytes{} : Bytes(data, data + dataLength)};
    std::lock_guard<std::mutex> guard(receivedLock);
    Received& into = received.at(static_cast<std::size_t>(board));
    (isTrigger ? into.triggers : into.messages).push_back(entry);
    return 0;
}

Received takeReceived(int board) {
    std::lock_guard<std::mutex> guard(receivedLock);
    Received taken = received.at(static_cast<std::size_t>(board));
    received.at(static_cast<std::size_t>(board)) = {};
    return taken;
}

std::size_t receivedCount(int board) {
    std::lock_guard<std::mutex> guard(receivedLock);
    const Received& from = received.at(static_cast<std::size_t>(board));
    return from.messages.size() + from.triggers.size();
}

// Waits until the board has delivered `count` callbacks, for as long as more keep coming.
bool receives(int board, std::size_t count) {
    return testing_support::waitWhileMoving([board, count] { return receivedCount(board) >= count; },
                                            [board] { return receivedCount(board); });
}

// Where two lists of records part, with the records around it; empty when they are equal.
std::string firstDifference(const std::vector<Record>& got, const std::vector<Record>& expected) {
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) {
        ++at;
    }
    if (at == got.size() && at == expected.size()) {
        return "";
    }
    std::ostringstream text;
    text << "record " << at << " of " << got.size() << " (expected " << expected.size() << ")\n";
    const std::size_t from = at < 3 ? 0 : at - 3;
    for (const auto* list : {&got, &expected}) {
        text << (list == &got ? "  got:     " : "  expected:");
        for (std::size_t i = from; i < std::min(list->size(), at + 3); ++i) {
            text << " " << (*list)[i];
        }
        text << "\n";
    }
    return text.str();
}

std::uint64_t cyclesRun(int board) {
    SimRtlState state{};
    sim_rtl_state(board, &state, nullptr, 0);
    return state.cycles;
}

// Whether the gateware comes to rest while the read thread keeps asking for its status: an idle
// board must cost nothing. It may finish what it was doing first (a few polls).
bool comesToRest(int board) {
    for (int tries = 0; tries < 10; ++tries) {
        const std::uint64_t cycles = cyclesRun(board);
        const std::uint32_t calls = sim_status_calls(board);
        if (!testing_support::waitUntil([&] { return sim_status_calls(board) >= calls + 50; })) {
            return false;
        }
        if (cyclesRun(board) == cycles) {
            return true;
        }
    }
    return false;
}

Bytes controlEcho(std::uint8_t value) { return {0x5A, 0xC3, 0x7E, value, 0x00}; }

class RtlBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int board = 0; board < kBoards; ++board) {
            takeReceived(board);
        }
        testing_support::setEnvironment("CORVANE_SELFTEST_CYCLES", std::to_string(kSelfTestCycles).c_str());
        char reason[512] = "";
        ASSERT_EQ(sim_load_boards(CORVANE_RTL_BOARDS, reason, sizeof reason), kBoards) << reason;
        NRV_CV_Open(0, 0, 0);
        testing::internal::CaptureStdout(); // the enumeration's console lines
        const int listed = NRV_CV_QueryDevices();
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(listed, kBoards);
    }

    void TearDown() override {
        sim_set_write_hook(nullptr, nullptr);
        for (int device = 0; device < kBoards; ++device) {
            SimRtlState state{};
            char violation[512] = "";
            sim_rtl_state(device, &state, violation, sizeof violation);
            EXPECT_EQ(state.violations, 0U) << "board " << device << " broke the chip's timing: " << violation;
        }
    }

    // Opens the board with this serial number, selects it and records its callbacks.
    int open(const char* serial) {
        int board = -1;
        for (int index = 0; index < kBoards; ++index) {
            const char* listed = NRV_CV_GetDeviceSerial(index);
            board = listed != nullptr && std::string(listed) == serial ? index : board;
        }
        EXPECT_GE(board, 0) << serial;
        // The callback goes on the listed board before it opens: a stream board starts sending
        // as it opens, and its first messages would find no callback.
        select(board);
        EXPECT_EQ(NRV_CV_RegisterReadCallback(record), 1);
        EXPECT_EQ(NRV_CV_OpenDeviceByIndex(board), 1) << NRV_CV_GetLastError();
        select(board);
        return board;
    }
    static void select(int board) { ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(board), 1); }
};

// ---- Echo round trips: each kind of message, on each channel -----------------------------------

struct RoundTrip {
    std::string what;
    std::function<void()> send;
    std::vector<Record> messages;
    std::vector<Record> triggers;
};

std::vector<RoundTrip> roundTrips() {
    std::vector<RoundTrip> rows;
    for (std::uint8_t address = 0; address < 16; ++address) {
        const int channel = address & 7;
        const auto value = static_cast<std::uint8_t>(0x3C + address * 13);
        rows.push_back({"byte to " + std::to_string(address),
                        [=] { NRV_CV_SendByte(address, value); },
                        {single(channel, value)},
                        {}});
        // Lengths 1 to 255 across the addresses, the longest a preamble can announce among them.
        Bytes data(address == 15 ? 255 : 1 + address * 17);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7 + address);
        }
        rows.push_back({"block of " + std::to_string(data.size()) + " to " + std::to_string(address),
                        [=] { NRV_CV_SendBlock(address, data.data(), static_cast<std::uint32_t>(data.size())); },
                        {block(channel, data)},
                        {}});
        // Control headers 0xA2 and 0xAA (addresses 4 and 5) are block preambles to a board: the
        // differential case covers them.
        if (address != 4 && address != 5) {
            // 0x92 and 0x9A (addresses 2 and 3) are single-byte headers too: both echo on channel 2.
            const int echoChannel = address == 3 ? 2 : channel;
            std::vector<Record> echoes;
            for (std::uint8_t byte : controlEcho(value)) {
                echoes.push_back(single(echoChannel, byte));
            }
            if (address == 15) {
                // The gateware's status block: nothing discarded so far.
                echoes.push_back(block(7, Bytes(8, 0)));
            }
            rows.push_back({"control to " + std::to_string(address),
                            [=] { NRV_CV_SendTransferControlByte(address, value); },
                            echoes,
                            {}});
        }
    }
    for (std::uint8_t value : {0x00, 0x01, 0x5A, 0x80, 0xFF}) {
        rows.push_back({"trigger " + std::to_string(value), [=] { NRV_CV_SendTrigger(value); }, {}, {trigger(value)}});
    }
    return rows;
}

TEST_F(RtlBoardTest, EchoAnswersEveryKindOfMessageOnEveryChannelAsTheBoardModelDoes) {
    const int board = open(kRtlEcho);
    std::uint64_t blocks = 0;
    for (const RoundTrip& row : roundTrips()) {
        row.send();
        ASSERT_TRUE(receives(board, row.messages.size() + row.triggers.size())) << row.what;
        const Received got = takeReceived(board);
        EXPECT_EQ(got.messages, row.messages) << row.what;
        EXPECT_EQ(got.triggers, row.triggers) << row.what;
        blocks += row.what.starts_with("block") ? 1 : 0;
    }
    SimBoardCounts counts{};
    sim_board_counts(board, &counts);
    EXPECT_EQ(counts.triggers, 5U);
    EXPECT_EQ(counts.blocks, blocks);
    EXPECT_EQ(counts.controlDiscarded, 0U);
    EXPECT_EQ(NRV_CV_GetLastError(), std::string("No error found!\n"));
    EXPECT_TRUE(comesToRest(board));
}

// ---- The self test and the light show ------------------------------------------------------------

TEST_F(RtlBoardTest, SelfTestPassesAndEveryEchoOfItComesBackInOrder) {
    const int board = open(kRtlEcho);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NRV_CV_PerformSelfTest(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending block\n");

    // The opening's control sequence and four bytes, then per cycle the block, two control
    // sequences and the trigger: all echoed, the control messages as single bytes on channel 2.
    constexpr std::size_t kMessages = 9 + 11 * kSelfTestCycles;
    ASSERT_TRUE(receives(board, kMessages + kSelfTestCycles));
    const Received got = takeReceived(board);
    std::vector<Record> expected;
    const Bytes opening = self_test_wire::opening();
    for (std::size_t i = 1; i < opening.size(); i += 2) {
        expected.push_back(single(2, opening[i]));
    }
    for (int cycle = 0; cycle < kSelfTestCycles; ++cycle) {
        expected.push_back(block(4, self_test_wire::blockText(cycle)));
        for (std::uint8_t value : {0x02, 0x00}) {
            for (std::uint8_t byte : controlEcho(value)) {
                expected.push_back(single(2, byte));
            }
        }
    }
    EXPECT_EQ(got.messages, expected);
    EXPECT_EQ(got.triggers, std::vector<Record>(kSelfTestCycles, trigger(0x80)));

    SimBoardCounts counts{};
    sim_board_counts(board, &counts);
    EXPECT_EQ(counts.triggers, std::uint64_t{kSelfTestCycles});
    EXPECT_EQ(counts.singleBytes, 4U); // the opening's; every other 0x92 belongs to a sequence
    EXPECT_EQ(counts.blocks, std::uint64_t{kSelfTestCycles});
    EXPECT_EQ(counts.controlSequences, 1U + 2U * kSelfTestCycles);
    EXPECT_EQ(counts.controlDiscarded, 0U);
    EXPECT_EQ(sim_control_value(board, 2), 0);
    EXPECT_EQ(sim_leds(board), 0U); // trigger 0x80 turns them off
}

std::mutex ledLock;
std::vector<std::uint32_t> ledsAfterTriggers;

void noteLeds(int device, const std::uint8_t* bytes, std::uint32_t count, void*) {
    // Each write has run the gateware until it answered, so its LEDs show this trigger.
    if (count == 2 && bytes[0] == 0x81) {
        std::lock_guard<std::mutex> guard(ledLock);
        ledsAfterTriggers.push_back(sim_leds(device));
    }
}

TEST_F(RtlBoardTest, LightShowLightsTheLedsInOrder) {
    open(kRtlEcho);
    sim_set_write_hook(noteLeds, nullptr);
    static const std::uint8_t kSequence[] = {1, 2, 3, 4, 3, 2, 1};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 2, kSequence, 7), 1);
    auto seen = [] {
        std::lock_guard<std::mutex> guard(ledLock);
        return ledsAfterTriggers.size();
    };
    ASSERT_TRUE(testing_support::waitWhileMoving([&] { return seen() >= 14; }, seen));
    std::lock_guard<std::mutex> guard(ledLock);
    const std::vector<std::uint32_t> pass = {0x1, 0x2, 0x4, 0x8, 0x4, 0x2, 0x1};
    std::vector<std::uint32_t> expected = pass;
    expected.insert(expected.end(), pass.begin(), pass.end());
    EXPECT_EQ(ledsAfterTriggers, expected);
}

// ---- Control values, the registers board's acknowledgements and the status block ---------------

TEST_F(RtlBoardTest, ControlSequencesSetTheValuesTheRegistersBoardAcknowledgesAndTheStatusBlockCounts) {
    const int board = open(kRtlRegisters);
    for (std::uint8_t address : {0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14}) {
        const auto value = static_cast<std::uint8_t>(0x11 * address + 3);
        NRV_CV_SendTransferControlByte(address, value);
        ASSERT_TRUE(receives(board, 1)) << "control to " << int{address};
        EXPECT_EQ(takeReceived(board).messages, std::vector<Record>{single(address & 7, value)});
        EXPECT_EQ(sim_control_value(board, address), value);
    }
    EXPECT_EQ(sim_control_value(board, 15), -1);

    // Something to count: an unknown header (0xF0) and its byte, and a sequence broken off by a
    // byte that does not continue it (0x92 0x5A starts one to address 2; 0x92 0x11 is a single byte).
    NRV_CV_SendByte(0x70, 0x33);
    NRV_CV_SendByte(2, 0x5A);
    NRV_CV_SendByte(2, 0x11);
    std::uint8_t kept = 0;
    EXPECT_EQ(sim_register(board, 2, &kept, 1), 1U);
    EXPECT_EQ(kept, 0x11);

    // The status block on channel 7: discarded bytes, then discarded sequences, little-endian.
    NRV_CV_SendTransferControlByte(15, 0x42);
    ASSERT_TRUE(receives(board, 2));
    const Received got = takeReceived(board);
    EXPECT_EQ(got.messages, (std::vector<Record>{single(7, 0x42), block(7, {2, 0, 0, 0, 1, 0, 0, 0})}));
    EXPECT_EQ(sim_control_value(board, 15), 0x42);

    SimBoardCounts counts{};
    sim_board_counts(board, &counts);
    EXPECT_EQ(counts.controlSequences, 14U);
    EXPECT_EQ(counts.controlDiscarded, 1U);
    EXPECT_EQ(counts.singleBytes, 1U);
    SimRtlState state{};
    sim_rtl_state(board, &state, nullptr, 0);
    EXPECT_EQ(state.discardedBytes, 2U);
}

// ---- Differential: random messages of every kind, the gateware against the board model ---------

TEST_F(RtlBoardTest, RandomMessagesOfEveryKindEchoExactlyAsTheBoardModelEchoesThem) {
    const int rtl = open(kRtlEcho);
    const int model = open(kModelEcho);
    std::mt19937 random(24);
    auto below = [&random](unsigned n) { return static_cast<std::uint32_t>(random() % n); };
    std::vector<std::function<void()>> sends;
    for (int i = 0; i < 400; ++i) {
        const auto value = static_cast<std::uint8_t>(below(256));
        switch (below(4)) {
        case 0:
            sends.push_back([value] { NRV_CV_SendTrigger(value); });
            break;
        case 1: {
            // Addresses past 15 give headers 0xB0 to 0xFF: unknown messages, consumed with their byte.
            const std::uint32_t address = below(4) == 0 ? below(256) : below(16);
            sends.push_back([address, value] { NRV_CV_SendByte(address, value); });
            break;
        }
        case 2: {
            Bytes data(below(4) == 0 ? below(256) : below(24));
            for (std::uint8_t& byte : data) {
                byte = static_cast<std::uint8_t>(below(256));
            }
            const std::uint32_t address = below(16);
            sends.push_back(
                [address, data] { NRV_CV_SendBlock(address, data.data(), static_cast<std::uint32_t>(data.size())); });
            break;
        }
        default: {
            // Address 15 asks the gateware for its status block, which the model does not have.
            const auto address = static_cast<std::uint8_t>(below(15));
            sends.push_back([address, value] { NRV_CV_SendTransferControlByte(address, value); });
            // 0xA2 0x5A and 0xAA 0x5A are preambles of 90-byte blocks: the rest of the sequence and
            // 41 two-byte messages after it are their data, so the next message starts on a header
            // again (the two boards part ways on bytes that are no header, by design).
            for (int filler = 0; filler < 41 && (address == 4 || address == 5); ++filler) {
                const auto swallowed = static_cast<std::uint8_t>(below(256));
                sends.push_back([swallowed] { NRV_CV_SendByte(swallowed & 0x0F, swallowed); });
            }
            break;
        }
        }
    }
    // Last, a block neither board can have sent before it: once it is delivered, so is all before
    // it (messages come in order, and triggers are delivered as they are read, before it).
    const Bytes sentinel = {'E', 'N', 'D', ' ', 'O', 'F', ' ', 'R', 'U', 'N'};
    sends.push_back([&sentinel] { NRV_CV_SendBlock(7, sentinel.data(), static_cast<std::uint32_t>(sentinel.size())); });
    for (int board : {rtl, model}) {
        select(board);
        for (const auto& send : sends) {
            send();
        }
    }
    auto delivered = [&] { return std::make_pair(receivedCount(rtl), receivedCount(model)); };
    auto ended = [&sentinel](int board) {
        std::lock_guard<std::mutex> guard(receivedLock);
        const std::vector<Record>& messages = received.at(static_cast<std::size_t>(board)).messages;
        return !messages.empty() && messages.back() == block(7, sentinel);
    };
    EXPECT_TRUE(testing_support::waitWhileMoving([&] { return ended(rtl) && ended(model); }, delivered));
    const Received fromRtl = takeReceived(rtl);
    const Received fromModel = takeReceived(model);
    EXPECT_GT(fromModel.messages.size(), 100U);
    EXPECT_EQ(firstDifference(fromRtl.messages, fromModel.messages), "");
    EXPECT_EQ(firstDifference(fromRtl.triggers, fromModel.triggers), "");

    SimBoardCounts rtlCounts{};
    SimBoardCounts modelCounts{};
    sim_board_counts(rtl, &rtlCounts);
    sim_board_counts(model, &modelCounts);
    EXPECT_EQ(rtlCounts.triggers, modelCounts.triggers);
    EXPECT_EQ(rtlCounts.singleBytes, modelCounts.singleBytes);
    EXPECT_EQ(rtlCounts.blocks, modelCounts.blocks);
    EXPECT_EQ(rtlCounts.controlSequences, modelCounts.controlSequences);
    EXPECT_EQ(rtlCounts.controlDiscarded, modelCounts.controlDiscarded);
    EXPECT_EQ(sim_leds(rtl), sim_leds(model));
    for (std::uint32_t address = 0; address < 16; ++address) {
        EXPECT_EQ(sim_control_value(rtl, address), sim_control_value(model, address)) << address;
    }
}

// ---- The stream: numbered messages in turn over its channels -----------------------------------

TEST_F(RtlBoardTest, StreamSendsItsNumberedMessagesInTurnOverItsChannels) {
    const int board = open(kRtlStream);
    constexpr std::uint32_t kCount = 400;
    constexpr std::uint32_t kBlockLength = 19;
    ASSERT_TRUE(receives(board, kCount));
    const Received got = takeReceived(board);
    std::vector<Record> expected;
    const std::array<int, 4> turn = {0, 5, 2, 7}; // single bytes first, then blocks, by channel
    for (std::uint32_t n = 0; n < kCount; ++n) {
        const int channel = turn[n % turn.size()];
        if (channel == 0 || channel == 5) {
            expected.push_back(single(channel, static_cast<std::uint8_t>(n)));
        } else {
            Bytes data(kBlockLength);
            for (std::uint32_t i = 0; i < kBlockLength; ++i) {
                data[i] = sim_stream_block_byte(n, kBlockLength, i);
            }
            expected.push_back(block(channel, data));
        }
    }
    EXPECT_EQ(got.messages, expected);
    EXPECT_EQ(sim_stream_sent(board), kCount);
    EXPECT_TRUE(comesToRest(board)) << "a stream that has sent all it was asked to runs on";
}

} // namespace
