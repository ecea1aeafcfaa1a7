// What `monitor`, `replay` and `bench` share: the general callback of the active board, counting
// and keeping what arrives, and printing or recording each message as asked.
#pragma once

#include "tool.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::tool {

constexpr int kChannels = 8;
constexpr std::size_t kLastBytesShown = 8;

struct ReceiveOptions {
    int channel = -1;         // only this channel, or all
    bool raw = false;         // one line per message on standard output
    FILE* record = nullptr;   // one recording line per message
    std::uint64_t limit = 0;  // messages taken in all; 0: no limit
    bool checkStream = false; // count the gaps in the numbers of a simulated stream's blocks
};

struct ChannelSnapshot {
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    std::string lastBytes;
};

// The one receiver of the process: callbacks are plain functions, so it is a global.
// Watches the library's last error for the board's loss and reconnection: the texts the read
// thread reports. A new report is told from an old one by the text's slot as well as its words,
// so a second loss after a reconnection is seen too.
class ConnectionWatch {
  public:
    ConnectionWatch();
    // "lost: <text>" or "reconnected: <text>" when such a report came since the last look; else "".
    std::string look();

  private:
    const char* lastSlot_ = nullptr;
    std::string lastText_;
};

class Receiver {
  public:
    static Receiver& instance();
    // Registers the callback on the active board; false with the library's text when refused.
    bool start(const ReceiveOptions& options);
    std::uint64_t messages() const;
    std::uint64_t dataBytes() const;
    std::uint64_t streamGaps() const;
    ChannelSnapshot channel(int channel);
    // Writes out what the callbacks printed or recorded so far.
    void flush();
    // Ends the taking: once it returns, no callback prints, records or counts any more.
    void stop();
    // Looks for the board's loss or reconnection (the library's last error) now; the callbacks
    // look too, before each message, so that an event is shown before the messages after it.
    void lookForEvents();
    // The events seen so far, each "<seconds> s <lost|reconnected>: <text>".
    std::vector<std::string> events();

    void take(const Message& message);

  private:
    // Caller holds lock_: an event is one line among the messages with --raw, and a comment line
    // in a recording.
    void lookForEventsLocked(double seconds);

    ReceiveOptions options_;
    double start_ = 0;
    // Written by the library's write thread (data) and read thread (triggers), read by the tool's
    // main thread for its view: relaxed, as they are counters that hand over nothing else.
    std::atomic<std::uint64_t> messages_{0};
    std::atomic<std::uint64_t> dataBytes_{0};
    std::atomic<std::uint64_t> gaps_{0};
    // Messages whose line is printed and recorded: what messages() reports. Counted last in
    // take(), so a waiter that sees the count (replay) queues the next message only after the
    // line of this one is out; otherwise a trigger, printed on the read thread, could overtake it.
    std::atomic<std::uint64_t> finished_{0};
    // Set by stop() under lock_; the callbacks test it again under lock_ before they print.
    std::atomic<bool> stopped_{false};
    std::array<std::atomic<std::uint64_t>, kChannels> channelMessages_{};
    std::array<std::atomic<std::uint64_t>, kChannels> channelBytes_{};
    // Guards what is printed, recorded and kept as text, between the callbacks and the main thread.
    std::mutex lock_;
    std::array<std::string, kChannels> lastBytes_{};
    ConnectionWatch watch_;           // under lock_
    std::vector<std::string> events_; // under lock_
    bool haveBlockNumber_ = false;
    std::uint32_t lastBlockNumber_ = 0;

    friend std::int32_t CORVANE_CALL onReceived(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint8_t*,
                                                std::uint32_t);
};

} // namespace corvane::tool
