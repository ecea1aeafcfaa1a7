#include "receiver.h"

#include "platform.h"

namespace corvane::tool {

std::int32_t CORVANE_CALL onReceived(std::int32_t board, std::int32_t channel, std::uint32_t command,
                                     std::uint32_t length, std::uint8_t* data, std::uint32_t) {
    Message message;
    message.board = board;
    message.channel = channel;
    message.command = command;
    message.length = length;
    if (kindOf(command) != Kind::Trigger && data != nullptr) {
        message.bytes.assign(data, data + length);
    }
    Receiver::instance().take(message);
    return 0;
}

Receiver& Receiver::instance() {
    // Never destroyed: the library's threads may call back until the process is gone, also while
    // static destructors run at exit.
    static Receiver* receiver = new Receiver;
    return *receiver;
}

bool Receiver::start(const ReceiveOptions& options) {
    options_ = options;
    start_ = nowSeconds();
    {
        std::lock_guard<std::mutex> guard(lock_);
        watch_ = ConnectionWatch(); // what the last error says now is no event
    }
    if (!NRV_CV_RegisterReadCallback(onReceived)) {
        failWithLastError("cannot register the callback");
        return false;
    }
    return true;
}

void Receiver::take(const Message& received) {
    // Relaxed: a late message that passes here is stopped by the test under the lock below.
    if (stopped_.load(std::memory_order_relaxed) || (options_.channel >= 0 && received.channel != options_.channel)) {
        return;
    }
    // Relaxed: the number only decides whether this message is still taken; see the members.
    const std::uint64_t number = messages_.fetch_add(1, std::memory_order_relaxed);
    if (options_.limit != 0 && number >= options_.limit) {
        return;
    }
    Message message = received;
    message.seconds = nowSeconds() - start_;
    const auto channel = static_cast<std::size_t>(message.channel & 7);
    channelMessages_[channel].fetch_add(1, std::memory_order_relaxed);
    channelBytes_[channel].fetch_add(message.bytes.size(), std::memory_order_relaxed);
    dataBytes_.fetch_add(message.bytes.size(), std::memory_order_relaxed);

    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_.load(std::memory_order_relaxed)) {
        return;
    }
    lookForEventsLocked(message.seconds);
    if (options_.checkStream && message.bytes.size() >= 4 && kindOf(message.command) == Kind::Block) {
        const std::uint32_t blockNumber = message.bytes[0] | (message.bytes[1] << 8) | (message.bytes[2] << 16) |
                                          (static_cast<std::uint32_t>(message.bytes[3]) << 24);
        if (haveBlockNumber_ && blockNumber > lastBlockNumber_ + 1) {
            gaps_.fetch_add(blockNumber - lastBlockNumber_ - 1, std::memory_order_relaxed);
        }
        haveBlockNumber_ = true;
        lastBlockNumber_ = blockNumber;
    }
    if (kindOf(message.command) == Kind::Trigger) {
        const auto value = static_cast<std::uint8_t>(message.length);
        lastBytes_[channel] = "trigger " + hexBytes(&value, 1);
    } else {
        lastBytes_[channel] = hexBytes(message.bytes.data(), message.bytes.size(), kLastBytesShown);
    }
    if (options_.raw) {
        std::fputs((rawLine(message) + "\n").c_str(), stdout);
    }
    if (options_.record != nullptr) {
        std::fputs((recordLine(message) + "\n").c_str(), options_.record);
    }
    // Release: pairs with messages()'s acquire load; the lines above are out before the count
    // says so.
    finished_.fetch_add(1, std::memory_order_release);
}

std::uint64_t Receiver::messages() const {
    // Acquire: pairs with take()'s release; counts only messages whose line is out (at most the
    // limit: take() prints none beyond it).
    return finished_.load(std::memory_order_acquire);
}

std::uint64_t Receiver::dataBytes() const { return dataBytes_.load(std::memory_order_relaxed); }
std::uint64_t Receiver::streamGaps() const { return gaps_.load(std::memory_order_relaxed); }

ChannelSnapshot Receiver::channel(int channel) {
    const auto c = static_cast<std::size_t>(channel & 7);
    std::lock_guard<std::mutex> guard(lock_);
    return {channelMessages_[c].load(std::memory_order_relaxed), channelBytes_[c].load(std::memory_order_relaxed),
            lastBytes_[c]};
}

void Receiver::stop() {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_.store(true, std::memory_order_relaxed); // published by the lock
    std::fflush(stdout);
    if (options_.record != nullptr) {
        std::fflush(options_.record);
    }
}

namespace {

// The longest last-error text the library keeps, its terminator included.
constexpr std::size_t kLastErrorChars = 2048;

// NRV_CV_GetLastError hands out one slot of a small ring that the library's threads rewrite as
// errors come. The watch reads it on the write thread while the read thread may be setting the
// next error (a full channel buffer, in a bench without pause), so this copy can meet a rewrite of
// the same slot: the text may then come torn, which the watch takes for no event or a garbled one,
// and the copy never leaves the slot, since it stops at the longest text. The library has no call
// that copies the text under its own hand-over, so this one copy is kept out of the thread
// sanitizer's view; volatile reads keep the compiler from making it a library call it would see.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((no_sanitize("thread")))
#endif
std::string
copyLastError(const char* slot) {
    std::string text;
    if (slot == nullptr) {
        return text;
    }
    const volatile char* bytes = slot;
    for (std::size_t i = 0; i + 1 < kLastErrorChars; ++i) {
        const char c = bytes[i];
        if (c == '\0') {
            break;
        }
        text.push_back(c);
    }
    return text;
}

} // namespace

std::string lastErrorCopy() {
    std::string text = copyLastError(NRV_CV_GetLastError());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

ConnectionWatch::ConnectionWatch() {
    const char* text = NRV_CV_GetLastError();
    lastSlot_ = text;
    lastText_ = copyLastError(text);
}

std::string ConnectionWatch::look() {
    const char* slot = NRV_CV_GetLastError();
    const std::string text = copyLastError(slot);
    if (slot == lastSlot_ && text == lastText_) {
        return {};
    }
    lastSlot_ = slot;
    lastText_ = text;
    if (text.rfind("Lost connection to device: ", 0) == 0) {
        return "lost: " + text;
    }
    if (text.rfind("Reconnected to device: ", 0) == 0) {
        return "reconnected: " + text;
    }
    return {};
}

void Receiver::lookForEventsLocked(double seconds) {
    const std::string event = watch_.look();
    if (event.empty()) {
        return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.2f s ", seconds);
    events_.push_back(stamp + event);
    if (stopped_.load(std::memory_order_relaxed)) {
        return;
    }
    if (options_.raw) {
        std::fputs(("event " + event + "\n").c_str(), stdout);
    }
    if (options_.record != nullptr) {
        std::fputs(("# event " + event + "\n").c_str(), options_.record);
    }
}

void Receiver::lookForEvents() {
    std::lock_guard<std::mutex> guard(lock_);
    lookForEventsLocked(nowSeconds() - start_);
}

std::vector<std::string> Receiver::events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

void Receiver::flush() {
    std::lock_guard<std::mutex> guard(lock_);
    std::fflush(stdout);
    if (options_.record != nullptr) {
        std::fflush(options_.record);
    }
}

} // namespace corvane::tool
