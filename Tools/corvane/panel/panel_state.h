// What the panel keeps of the board's messages. The library's threads hand each message in (the
// read thread for triggers, the write thread for data); the panel's update thread reads counts,
// charts and the newest messages for the page, and a save request reads what is kept for the
// record file. Messages of boards other than the watched one are not taken.
#pragma once

#include "../tool.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::tool {

constexpr int kPanelChannels = 8;
constexpr std::size_t kPanelKeptMessages = 32768; // the newest messages, for the log and the record file
constexpr std::size_t kPanelSeriesPoints = 200;   // single bytes per channel in a chart
constexpr std::size_t kPanelLogShown = 100;       // the newest messages in each update of the page
constexpr std::size_t kPanelMaxMessageBytes = 255;

class PanelState {
  public:
    PanelState();
    // Starts taking the messages of `board` afresh: counts, charts and the kept messages cleared.
    void watch(int board);
    int watched() const;
    // Called on the library's threads for every message of every board.
    void take(int board, int channel, std::uint32_t command, std::uint32_t length, const std::uint8_t* data);

    // The per-channel part of an update: counts, rates over the last second, chart data. Called
    // by the one update thread only (it keeps the counts of the last second).
    nlohmann::json channels(double now);
    // The newest `limit` messages, newest first.
    nlohmann::json log(std::size_t limit);
    std::uint64_t received() const;
    // What is kept, as the record file of `monitor --record` (read back by `replay`); a first
    // comment line says how many older messages are no longer kept.
    std::string record();

  private:
    struct Entry {
        std::uint64_t number = 0;
        double seconds = 0;
        std::uint8_t command = 0;
        std::uint8_t channel = 0;
        std::uint32_t length = 0;
        std::uint16_t count = 0; // data bytes kept
        std::array<std::uint8_t, kPanelMaxMessageBytes> bytes{};
    };
    struct Point {
        double seconds;
        std::uint8_t value;
    };
    Message messageOf(const Entry& entry) const;

    double start_;
    // Set by the HTTP thread that switches boards, read on every message by the library's threads:
    // relaxed, as it only filters; the counts it guards are cleared under lock_.
    std::atomic<int> board_{-1};
    // Counters written by the library's threads and read by the update thread: relaxed, they hand
    // over nothing but their own value.
    std::array<std::atomic<std::uint64_t>, kPanelChannels> messages_{};
    std::array<std::atomic<std::uint64_t>, kPanelChannels> bytes_{};
    // Guards the kept messages, the charts and the numbering, between the library's two threads,
    // the update thread and the HTTP threads.
    mutable std::mutex lock_;
    std::vector<Entry> kept_; // a ring of kPanelKeptMessages
    std::uint64_t numbered_ = 0;
    std::array<std::deque<Point>, kPanelChannels> series_;
    struct Block {
        std::uint16_t count = 0;
        std::array<std::uint8_t, kPanelMaxMessageBytes> bytes{};
    };
    std::array<Block, kPanelChannels> lastBlock_{}; // fixed room: no allocation on the library's threads
    std::array<Kind, kPanelChannels> lastKind_{}; // Kind::None: nothing yet
    // The update thread's own: the counts of the last second, for the rates.
    struct Sample {
        double seconds;
        std::array<std::uint64_t, kPanelChannels> messages, bytes;
    };
    std::deque<Sample> history_;
};

} // namespace corvane::tool
