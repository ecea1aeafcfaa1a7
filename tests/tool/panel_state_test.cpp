// What the panel keeps of a board's messages: the counts, the charts, the log and the record file,
// as the library's threads hand messages in.
#include "panel_state.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace corvane::tool;

namespace {

constexpr std::uint32_t kByteOn3 = 0xD3, kBlockOn2 = 0xE2, kTrigger = 0xC8;

std::vector<std::string> recordLines(PanelState& state) {
    std::istringstream text(state.record());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        // Without the arrival time: the rest is what the board sent.
        lines.push_back(line[0] == '#' ? line : line.substr(line.find(' ') + 1));
    }
    return lines;
}

} // namespace

TEST(PanelState, OnlyTheWatchedBoardsMessagesAreKept) {
    PanelState state;
    state.watch(1);
    const std::uint8_t byte = 0x41, block[3] = {1, 2, 3};
    state.take(0, 3, kByteOn3, 1, &byte); // another board
    state.take(1, 3, kByteOn3, 1, &byte);
    state.take(1, 2, kBlockOn2, 3, block);
    state.take(1, 0, kTrigger, 5, nullptr);
    EXPECT_EQ(state.received(), 3u);
    EXPECT_EQ(recordLines(state),
              (std::vector<std::string>{"# corvane panel: board 1, 3 messages received, the newest 3 kept", "D3 1 41",
                                        "E2 3 01 02 03", "C8 5"}));
    const auto channels = state.channels(0);
    EXPECT_EQ(channels[3]["messages"], 1);
    EXPECT_EQ(channels[3]["series"], nlohmann::json::array({0x41}));
    EXPECT_EQ(channels[2]["bytes"], 3);
    EXPECT_EQ(channels[2]["block"], nlohmann::json::array({1, 2, 3}));
    EXPECT_EQ(channels[0]["kind"], "trigger");
    const auto log = state.log(10);
    ASSERT_EQ(log.size(), 3u); // newest first
    EXPECT_EQ(log[0]["kind"], "trigger");
    EXPECT_EQ(log[2]["hex"], "41");
    EXPECT_EQ(log[1]["n"], 1);

    state.watch(0); // switching boards starts afresh
    EXPECT_EQ(state.received(), 0u);
    EXPECT_EQ(state.channels(0)[3]["messages"], 0);
    EXPECT_EQ(recordLines(state).size(), 1u);
}

// Past the ring's size the record holds exactly the newest messages, oldest first, and says how
// many came in all.
TEST(PanelState, TheRecordKeepsTheNewestMessagesInOrder) {
    PanelState state;
    state.watch(0);
    const std::size_t total = kPanelKeptMessages + 5;
    for (std::size_t i = 0; i < total; ++i) {
        const auto value = static_cast<std::uint8_t>(i);
        state.take(0, 3, kByteOn3, 1, &value);
    }
    const auto lines = recordLines(state);
    ASSERT_EQ(lines.size(), kPanelKeptMessages + 1);
    EXPECT_EQ(lines[0], "# corvane panel: board 0, " + std::to_string(total) + " messages received, the newest " +
                            std::to_string(kPanelKeptMessages) + " kept");
    EXPECT_EQ(lines[1], "D3 1 05");     // message 5 is the oldest kept
    EXPECT_EQ(lines.back(), "D3 1 04"); // message 32772 = 0x...04
    EXPECT_EQ(state.log(1)[0]["n"], total - 1);
    EXPECT_EQ(state.channels(0)[3]["series"].size(), kPanelSeriesPoints);
}

// A block longer than a message can be is kept to its first 255 bytes, never beyond.
TEST(PanelState, ABlockIsKeptToTheLongestMessage) {
    PanelState state;
    state.watch(0);
    std::vector<std::uint8_t> block(300, 0xAB);
    state.take(0, 2, kBlockOn2, static_cast<std::uint32_t>(block.size()), block.data());
    EXPECT_EQ(state.channels(0)[2]["block"].size(), kPanelMaxMessageBytes);
}

// The rate is the messages of the last second: counts taken a second apart by the update thread.
TEST(PanelState, TheRateIsTheLastSecondsMessages) {
    PanelState state;
    state.watch(0);
    const std::uint8_t byte = 1;
    const double start = state.channels(1000.0)[0]["rate"]; // the update thread's first look
    EXPECT_EQ(start, 0.0);
    for (int i = 0; i < 50; ++i) {
        state.take(0, 0, 0xD0, 1, &byte);
    }
    state.channels(1000.5);
    for (int i = 0; i < 30; ++i) {
        state.take(0, 0, 0xD0, 1, &byte);
    }
    EXPECT_DOUBLE_EQ(state.channels(1001.0)[0]["rate"].get<double>(), 80.0);
    // A second later with nothing new: the window drops the 50, keeps the 30's half second.
    EXPECT_DOUBLE_EQ(state.channels(1001.5)[0]["rate"].get<double>(), 30.0);
    EXPECT_DOUBLE_EQ(state.channels(1002.5)[0]["rate"].get<double>(), 0.0);
}

// The library's read thread (triggers) and write thread (data) hand in at once; the numbering
// and the counts must add up, and the thread sanitizer build must see no race.
TEST(PanelState, TwoThreadsHandingInAtOnceLoseNothing) {
    PanelState state;
    state.watch(0);
    constexpr int kEach = 20000;
    std::thread triggers([&] {
        for (int i = 0; i < kEach; ++i) {
            state.take(0, 0, kTrigger, 1, nullptr);
        }
    });
    std::thread data([&] {
        const std::uint8_t block[4] = {1, 2, 3, 4};
        for (int i = 0; i < kEach; ++i) {
            state.take(0, 2, kBlockOn2, 4, block);
        }
    });
    for (int i = 0; i < 50; ++i) {
        state.channels(i * 0.01);
        state.log(kPanelLogShown);
    }
    triggers.join();
    data.join();
    EXPECT_EQ(state.received(), 2u * kEach);
    const auto channels = state.channels(100);
    EXPECT_EQ(channels[0]["messages"], kEach);
    EXPECT_EQ(channels[2]["bytes"], 4 * kEach);
    const auto log = state.log(kPanelKeptMessages);
    for (std::size_t i = 1; i < log.size(); ++i) {
        ASSERT_EQ(log[i - 1]["n"].get<std::uint64_t>(), log[i]["n"].get<std::uint64_t>() + 1);
    }
}
