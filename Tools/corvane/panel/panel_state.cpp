#include "panel_state.h"

#include "../platform.h"

#include <algorithm>
#include <cstring>

namespace corvane::tool {

using nlohmann::json;

namespace {
constexpr double kRateWindowSeconds = 1.0;
constexpr std::size_t kLogBytesShown = 32; // bytes of a block shown in one log line
} // namespace

PanelState::PanelState() : start_(nowSeconds()), kept_(kPanelKeptMessages) { lastKind_.fill(Kind::None); }

void PanelState::watch(int board) {
    std::lock_guard<std::mutex> guard(lock_);
    board_.store(board, std::memory_order_relaxed);
    for (int c = 0; c < kPanelChannels; ++c) {
        messages_[static_cast<std::size_t>(c)].store(0, std::memory_order_relaxed);
        bytes_[static_cast<std::size_t>(c)].store(0, std::memory_order_relaxed);
        series_[static_cast<std::size_t>(c)].clear();
        lastBlock_[static_cast<std::size_t>(c)].count = 0;
        lastKind_[static_cast<std::size_t>(c)] = Kind::None;
    }
    numbered_ = 0;
    history_.clear(); // only the update thread reads it, which takes lock_ around it too
}

int PanelState::watched() const { return board_.load(std::memory_order_relaxed); }

void PanelState::take(int board, int channel, std::uint32_t command, std::uint32_t length, const std::uint8_t* data) {
    if (board != board_.load(std::memory_order_relaxed)) {
        return;
    }
    const auto c = static_cast<std::size_t>(channel & (kPanelChannels - 1));
    const Kind kind = kindOf(command);
    const std::size_t count =
        kind == Kind::Trigger || data == nullptr ? 0 : std::min<std::size_t>(length, kPanelMaxMessageBytes);
    const double seconds = nowSeconds() - start_;
    std::lock_guard<std::mutex> guard(lock_);
    if (board != board_.load(std::memory_order_relaxed)) {
        return; // switched meanwhile: the new board's counts start clean
    }
    messages_[c].fetch_add(1, std::memory_order_relaxed);
    bytes_[c].fetch_add(count, std::memory_order_relaxed);
    Entry& entry = kept_[numbered_ % kPanelKeptMessages];
    entry.number = numbered_++;
    entry.seconds = seconds;
    entry.command = static_cast<std::uint8_t>(command);
    entry.channel = static_cast<std::uint8_t>(c);
    entry.length = length;
    entry.count = static_cast<std::uint16_t>(count);
    if (count != 0) {
        std::memcpy(entry.bytes.data(), data, count);
    }
    lastKind_[c] = kind;
    if (kind == Kind::SingleByte && count == 1) {
        series_[c].push_back({seconds, data[0]});
        if (series_[c].size() > kPanelSeriesPoints) {
            series_[c].pop_front();
        }
    } else if (kind == Kind::Block) {
        lastBlock_[c].count = static_cast<std::uint16_t>(count);
        std::memcpy(lastBlock_[c].bytes.data(), data, count);
    }
}

std::uint64_t PanelState::received() const {
    std::lock_guard<std::mutex> guard(lock_);
    return numbered_;
}

json PanelState::channels(double now) {
    Sample sample{now - start_, {}, {}};
    for (std::size_t c = 0; c < kPanelChannels; ++c) {
        sample.messages[c] = messages_[c].load(std::memory_order_relaxed);
        sample.bytes[c] = bytes_[c].load(std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> guard(lock_);
    history_.push_back(sample);
    // Keep the oldest sample that is at least a second old: the rate spans a whole second once
    // there is one.
    while (history_.size() > 2 && history_[1].seconds <= sample.seconds - kRateWindowSeconds) {
        history_.pop_front();
    }
    const Sample& oldest = history_.front();
    const double span = sample.seconds - oldest.seconds;
    json result = json::array();
    for (std::size_t c = 0; c < kPanelChannels; ++c) {
        json series = json::array();
        for (const Point& point : series_[c]) {
            series.push_back(point.value);
        }
        result.push_back(
            {{"messages", sample.messages[c]},
             {"bytes", sample.bytes[c]},
             {"rate", span > 0 ? static_cast<double>(sample.messages[c] - oldest.messages[c]) / span : 0.0},
             {"byteRate", span > 0 ? static_cast<double>(sample.bytes[c] - oldest.bytes[c]) / span : 0.0},
             {"kind", lastKind_[c] == Kind::None ? "" : kindName(lastKind_[c])},
             {"series", series},
             {"block", std::vector<std::uint8_t>(lastBlock_[c].bytes.begin(),
                                                 lastBlock_[c].bytes.begin() + lastBlock_[c].count)}});
    }
    return result;
}

Message PanelState::messageOf(const Entry& entry) const {
    Message message;
    message.channel = entry.channel;
    message.command = entry.command;
    message.length = entry.length;
    message.bytes.assign(entry.bytes.begin(), entry.bytes.begin() + entry.count);
    message.seconds = entry.seconds;
    return message;
}

json PanelState::log(std::size_t limit) {
    std::lock_guard<std::mutex> guard(lock_);
    json result = json::array();
    const std::uint64_t kept = std::min<std::uint64_t>(numbered_, kPanelKeptMessages);
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(limit, kept); ++i) {
        const Entry& entry = kept_[(numbered_ - 1 - i) % kPanelKeptMessages];
        const Kind kind = kindOf(entry.command);
        result.push_back({{"n", entry.number},
                          {"t", entry.seconds},
                          {"channel", entry.channel},
                          {"kind", kindName(kind)},
                          {"command", entry.command},
                          {"length", entry.length},
                          {"hex", hexBytes(entry.bytes.data(), entry.count, kLogBytesShown)}});
    }
    return result;
}

std::string PanelState::record() {
    std::lock_guard<std::mutex> guard(lock_);
    const std::uint64_t kept = std::min<std::uint64_t>(numbered_, kPanelKeptMessages);
    std::string text = "# corvane panel: board " + std::to_string(board_.load(std::memory_order_relaxed)) + ", " +
                       std::to_string(numbered_) + " messages received, the newest " + std::to_string(kept) + " kept\n";
    for (std::uint64_t n = numbered_ - kept; n < numbered_; ++n) {
        text += recordLine(messageOf(kept_[n % kPanelKeptMessages]));
        text += '\n';
    }
    return text;
}

} // namespace corvane::tool
