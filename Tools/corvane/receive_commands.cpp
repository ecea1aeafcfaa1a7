// monitor, replay and bench: what the active board sends, shown, recorded, replayed or measured.
#include "commands.h"
#include "platform.h"
#include "receiver.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace corvane::tool {

namespace {

constexpr unsigned kPollMs = 20;
constexpr double kRedrawSeconds = 0.25;
constexpr double kPlainReportSeconds = 1.0;
constexpr double kReplayStallSeconds = 10.0;
constexpr std::uint64_t kReplayWindow = 256; // messages queued ahead of those delivered
constexpr std::uint32_t kBenchBlockLength = 255;
// What the library reports when it had to drop a received message.
constexpr const char* kDropTexts[] = {"Error: Ran out of FIFO memory", "SBTM: Input buffer is full",
                                      "BTM: Input buffer is full"};

std::string dropsReported() {
    const std::string text = lastError();
    for (const char* drop : kDropTexts) {
        if (text == drop) {
            return text;
        }
    }
    return {};
}

// The live view: one row per channel, redrawn in place.
class LiveView {
  public:
    LiveView(const Session& session, int channel) : session_(session), channel_(channel) {}

    std::vector<std::string> rows(double elapsed) {
        char line[200];
        std::vector<std::string> out;
        std::snprintf(line, sizeof line, "board %d \"%s\" (%s)   %.1f s", session_.board().index,
                      session_.board().name.c_str(), session_.board().serial.c_str(), elapsed);
        out.push_back(line);
        out.push_back("ch   messages     msg/s       B/s  last bytes");
        const double interval = elapsed - lastTime_;
        for (int c = 0; c < kChannels; ++c) {
            if (channel_ >= 0 && c != channel_) {
                continue;
            }
            const ChannelSnapshot now = Receiver::instance().channel(c);
            const double rate = interval > 0 ? static_cast<double>(now.messages - last_[c].messages) / interval : 0;
            const double byteRate = interval > 0 ? static_cast<double>(now.bytes - last_[c].bytes) / interval : 0;
            std::snprintf(line, sizeof line, "%2d %10llu %9.1f %9.0f  %s", c,
                          static_cast<unsigned long long>(now.messages), rate, byteRate, now.lastBytes.c_str());
            out.push_back(line);
            last_[c] = now;
        }
        const std::string drops = dropsReported();
        out.push_back("drops: " + (drops.empty() ? std::string("none reported") : drops));
        // Losses and reconnections, the last few: "lost at 1.02 s, reconnected at 1.30 s".
        std::string events;
        for (const std::string& event : Receiver::instance().events()) {
            const std::size_t kindEnd = event.find(':');
            const std::size_t timeEnd = event.find(" s ");
            events += (events.empty() ? "" : ", ") + event.substr(timeEnd + 3, kindEnd - timeEnd - 3) + " at " +
                      event.substr(0, timeEnd) + " s";
        }
        if (events.size() > kEventsShown) {
            events = "..." + events.substr(events.size() - kEventsShown);
        }
        out.push_back("events: " + (events.empty() ? std::string("none") : events));
        lastTime_ = elapsed;
        return out;
    }

  private:
    const Session& session_;
    int channel_;
    double lastTime_ = 0;
    std::array<ChannelSnapshot, kChannels> last_{};
    static constexpr std::size_t kEventsShown = 100;
};

} // namespace

int monitorCommand(Session& session, const MonitorOptions& options) {
    FILE* record = nullptr;
    if (!options.record.empty() && (record = std::fopen(options.record.c_str(), "w")) == nullptr) {
        return fail("cannot write " + options.record);
    }
    if (record != nullptr) {
        std::fputs("# corvane recording: seconds command length bytes\n", record);
    }
    ReceiveOptions receive;
    receive.channel = options.channel;
    receive.raw = options.raw;
    receive.record = record;
    receive.limit = options.count;
    if (!session.openBoard([&receive] { return Receiver::instance().start(receive); })) {
        return kExitFailure;
    }
    catchInterrupt();
    Receiver& receiver = Receiver::instance();
    const bool live = !options.raw && isTerminal(1);
    LiveView view(session, options.channel);
    const double start = nowSeconds();
    double lastReport = 0;
    std::size_t drawn = 0;
    for (;;) {
        const double elapsed = nowSeconds() - start;
        receiver.lookForEvents();
        const bool done = interrupted() || (options.seconds > 0 && elapsed >= options.seconds) ||
                          (options.count != 0 && receiver.messages() >= options.count);
        receiver.flush();
        if (!options.raw && (done || elapsed - lastReport >= (live ? kRedrawSeconds : kPlainReportSeconds))) {
            const std::vector<std::string> rows = view.rows(elapsed);
            if (live && drawn != 0) {
                std::printf("\x1b[%zuA", drawn); // back to the top of the view
            }
            for (const std::string& row : rows) {
                std::printf(live ? "\x1b[2K%s\n" : "%s\n", row.c_str());
            }
            drawn = rows.size();
            std::fflush(stdout);
            lastReport = elapsed;
        }
        if (done) {
            break;
        }
        sleepMs(kPollMs);
    }
    receiver.stop();
    if (record != nullptr) {
        std::fclose(record);
    }
    std::fprintf(stderr, "corvane: %llu messages in %.1f s\n", static_cast<unsigned long long>(receiver.messages()),
                 nowSeconds() - start);
    return 0;
}

int replayCommand(Session& session, const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return fail("cannot read " + path);
    }
    std::vector<Message> messages;
    int lineNumber = 0;
    for (std::string line; std::getline(file, line);) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Message message;
        std::string error;
        if (!parseRecordLine(line, message, error)) {
            return fail(path + ":" + std::to_string(lineNumber) + ": " + error);
        }
        messages.push_back(message);
    }
    const SimControl* sim = session.sim();
    const int device = session.simDeviceBeforeOpen();
    if (device < 0) {
        return kExitFailure;
    }
    if (sim->sim_set_stream != nullptr) {
        sim->sim_set_stream(device, nullptr); // the recording alone reaches the host
    }
    sim->sim_set_behaviour(device, SIM_SILENT);
    if (!session.openBoard()) {
        return kExitFailure;
    }
    ReceiveOptions receive;
    receive.raw = true;
    Receiver& receiver = Receiver::instance();
    if (!receiver.start(receive)) {
        return kExitFailure;
    }
    double progress = nowSeconds();
    std::uint64_t seen = 0;
    // Waits until fewer than `ahead` of the messages queued so far are still on their way.
    auto waitUntil = [&](std::uint64_t queued, std::uint64_t ahead) {
        while (queued - receiver.messages() > ahead) {
            if (receiver.messages() != seen) {
                seen = receiver.messages();
                progress = nowSeconds();
            } else if (nowSeconds() - progress > kReplayStallSeconds) {
                return false;
            }
            receiver.flush();
            sleepMs(1);
        }
        return true;
    };
    std::uint64_t queued = 0;
    for (const Message& message : messages) {
        // A trigger reaches its callback on the read thread at once; the messages before it must
        // have been delivered first, as they were when it was recorded.
        const bool trigger = kindOf(message.command) == Kind::Trigger;
        if (!waitUntil(queued, trigger ? 0 : kReplayWindow)) {
            break;
        }
        const std::vector<std::uint8_t> bytes = wireBytes(message);
        sim->sim_queue_rx(device, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        ++queued;
    }
    const bool complete = queued == messages.size() && waitUntil(queued, 0);
    receiver.stop();
    if (!complete) {
        return fail("only " + std::to_string(receiver.messages()) + " of " + std::to_string(messages.size()) +
                    " messages reached the callbacks; last error: " + lastError());
    }
    return 0;
}

int benchCommand(Session& session, double seconds) {
    ReceiveOptions receive;
    if (const SimControl* sim = session.sim()) {
        const int device = session.simDeviceBeforeOpen();
        if (device < 0) {
            return kExitFailure;
        }
        if (sim->sim_set_stream == nullptr) {
            return fail("this simulated driver has no stream mode");
        }
        // Blocks on channel 0 as fast as the host takes them; their numbers show every drop.
        const SimStream stream{0, 1, kBenchBlockLength, 0, 0};
        sim->sim_set_behaviour(device, SIM_SILENT);
        sim->sim_set_stream(device, &stream);
        receive.checkStream = true;
    }
    if (!session.openBoard()) {
        return kExitFailure;
    }
    Receiver& receiver = Receiver::instance();
    if (!receiver.start(receive)) {
        return kExitFailure;
    }
    catchInterrupt();
    const double start = nowSeconds();
    while (!interrupted() && nowSeconds() - start < seconds) {
        receiver.lookForEvents();
        sleepMs(kPollMs);
    }
    receiver.lookForEvents();
    receiver.stop();
    const std::vector<std::string> events = receiver.events();
    const double elapsed = nowSeconds() - start;
    const std::uint64_t messages = receiver.messages();
    // Closed before its last error is read: the read thread no longer reports on it meanwhile.
    session.closeBoard();
    const double rate = static_cast<double>(messages) / elapsed;
    const double megabytes = static_cast<double>(receiver.dataBytes()) / 1e6 / elapsed;
    const std::string reported = dropsReported();
    const char* profile = session.options().fast ? "fast" : "default";
    if (session.options().json) {
        nlohmann::json out = {{"board", session.board().index},
                              {"serial", session.board().serial},
                              {"profile", profile},
                              {"seconds", elapsed},
                              {"messages", messages},
                              {"messagesPerSecond", rate},
                              {"megabytesPerSecond", megabytes},
                              {"dropsReported", reported}};
        if (session.sim() != nullptr) {
            out["streamGaps"] = receiver.streamGaps();
        }
        out["events"] = events;
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    std::printf("board %d \"%s\" (%s), %s profile, %.1f s\n", session.board().index, session.board().name.c_str(),
                session.board().serial.c_str(), profile, elapsed);
    std::printf("  messages: %llu (%.0f/s)\n  data: %.3f MB/s\n", static_cast<unsigned long long>(messages), rate,
                megabytes);
    if (session.sim() != nullptr) {
        std::printf("  drops: %llu missing from the stream's numbers\n",
                    static_cast<unsigned long long>(receiver.streamGaps()));
    }
    std::printf("  drops reported by the library: %s\n", reported.empty() ? "none" : reported.c_str());
    std::printf("  events: %s\n", events.empty() ? "none" : "");
    for (const std::string& event : events) {
        std::printf("    %s\n", event.c_str());
    }
    return 0;
}

} // namespace corvane::tool
