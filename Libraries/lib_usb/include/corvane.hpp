/*
 * Corvane for C++ (C++17, header only): the 28 functions of corvane.h as a Library and its Boards.
 *
 *   corvane::Library library;                      // opens the library and lists the boards
 *   corvane::Board board = library.board(0);       // opened; closed again when it goes
 *   board.onMessage([](const corvane::Message& m) { std::printf("ch%d %zu bytes\n", m.channel, m.size); });
 *   board.sendBlock(2, {0x48, 0x69});
 *
 * What it does for you
 *   - The C library addresses one "active board" at a time. Every operation of a Board selects
 *     its board and acts on it under one lock for the whole process, so boards may be used side
 *     by side from several threads.
 *   - A failure throws corvane::Error carrying the library's last-error text. Bad arguments (an
 *     address above 7, a value above 255, an empty block, a board that is not listed) throw
 *     corvane::ArgumentError and a closed board or library corvane::ClosedError, both before
 *     anything reaches the library. Both derive from corvane::Error.
 *   - Messages reach the std::function you give onMessage, on the library's threads (data on its
 *     write thread, triggers on its read thread, so two calls may overlap). A handler given to
 *     library.board(index, handler) is in place before the board opens, so it sees the first
 *     message of a board that sends as it opens. The bytes of a Message point into the library's
 *     buffer and are valid only during the call: keep Message::copy().
 *     An exception thrown by a handler is caught and counted (Board::callbackErrors()).
 *   - Once Board::close() (or the destructor) returns, no handler of that board runs any more; a
 *     handler may itself send, register, or close its own board.
 *
 * The library is one per process (its state is global, its threads run until the process ends):
 * one Library may be open at a time. Listing the boards prints one line per board on standard
 * output; that is the library's own output.
 */
#ifndef CORVANE_HPP
#define CORVANE_HPP

#include "corvane.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
#if defined(__has_include)
#if __has_include(<span>) && __cplusplus > 201703L
#include <span>
#endif
#endif

namespace corvane {

// A failure: the library's last-error text, or what the binding refused.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// An argument the library must not be given; thrown before anything reaches it.
class ArgumentError : public Error {
  public:
    using Error::Error;
};
// The board, or the library it belongs to, is closed.
class ClosedError : public Error {
  public:
    using Error::Error;
};

enum class Kind { Trigger, Byte, Block, None };

// The kind of a board's command byte, tested in the library's order.
inline Kind kindOf(std::uint32_t command) noexcept {
    return (command & 0x08) != 0   ? Kind::Trigger
           : (command & 0x10) != 0 ? Kind::Byte
           : (command & 0x20) != 0 ? Kind::Block
                                   : Kind::None;
}

inline const char* kindName(Kind kind) noexcept {
    switch (kind) {
    case Kind::Trigger:
        return "trigger";
    case Kind::Byte:
        return "byte";
    case Kind::Block:
        return "block";
    case Kind::None:
        break;
    }
    return "none";
}

// One message of a board, as a handler gets it. `data` points into the library's buffer and is
// valid only during the handler's call; copy() keeps the bytes.
struct Message {
    int board = 0;            // device index
    int channel = 0;          // 0 to 7
    Kind kind = Kind::None;   //
    std::uint8_t command = 0; // the command byte, e.g. 0xD3
    std::uint8_t value = 0;   // the trigger value, or the single byte; 0 for a block
    const std::uint8_t* data = nullptr;
    std::size_t size = 0; // 0 for a trigger

    const std::uint8_t* begin() const noexcept { return data; }
    const std::uint8_t* end() const noexcept { return data + size; }
    std::vector<std::uint8_t> copy() const { return std::vector<std::uint8_t>(begin(), end()); }
#if defined(__cpp_lib_span)
    std::span<const std::uint8_t> bytes() const noexcept { return {data, size}; }
#endif
};

using Handler = std::function<void(const Message&)>;

// A board as the library lists it.
struct BoardInfo {
    int index = 0;
    std::string serial;
    std::string name;
};

// The receive settings the library reads once when it opens (environment variables set for the
// open only). Empty or 0: the library's default, or what the environment already says.
struct Options {
    std::string profile;   // "fast" or "default"
    std::string rx;        // "batched" or "default"
    std::string idle;      // "wait" or "spin"
    int latencyMs = 0;     // 1 to 255
    std::string reconnect; // "auto" or "off"
    std::string driver;    // the D2XX driver bound: "vendor", "open" (Corvane's own, Linux) or a file's path
    bool debug = false;    // the library writes Corvane.log in the current folder
};

class Board;
class Library;

namespace detail {

constexpr int kSlots = 256;    // the library's device records
constexpr int kChannels = 8;   // per board; handler slot kChannels is the general one
constexpr int kMaxAddress = 7; // the board's eight channels
constexpr int kMaxByte = 255;

// Appended piece by piece: GCC 12 at -O3 takes "'" + std::string(text) for an overlapping copy.
inline std::string quoted(std::string_view text) {
    std::string result(1, '\'');
    result.append(text.data(), text.size());
    result += '\'';
    return result;
}

inline void checkRange(const char* what, long long value, long long highest) {
    if (value < 0 || value > highest) {
        throw ArgumentError(std::string(what) + " " + std::to_string(value) + " is outside 0 to " +
                            std::to_string(highest));
    }
}

// The receiving side of one device record, kept for the life of the process: the library's
// threads may call the trampoline for a record at any moment, also after its Board is gone.
struct Receiver {
    // Counted up by a library thread before it looks at `active`, down after the handler
    // returned; close waits for it to fall to the calls of its own thread.
    std::atomic<int> inFlight{0};
    // Whether a Board owns the record; cleared by close before it waits for inFlight.
    std::atomic<bool> active{false};
    // The handlers: channels 0 to 7 and the general one. Replaced ones are kept in `kept` until no
    // delivery can still be using them.
    std::atomic<const Handler*> handlers[kChannels + 1] = {};
    std::atomic<std::uint64_t> errors{0};
    std::mutex keptLock; // guards kept and lastErrorText
    std::vector<std::unique_ptr<const Handler>> kept;
    std::string lastErrorText;
};

// What one process shares: the lock every library call is made under, and the receivers.
struct Process {
    std::mutex lock;
    bool libraryOpen = false; // under lock
    Receiver receivers[kSlots];
};

inline Process& process() {
    // Never destroyed: the library's threads may call back while static destructors run.
    static Process* shared = new Process;
    return *shared;
}

// The receiver whose handler this thread is running, if any (a handler that closes its own
// board must not wait for itself).
inline thread_local Receiver* delivering = nullptr;

inline std::int32_t CORVANE_CALL trampoline(std::int32_t index, std::int32_t channel, std::uint32_t command,
                                            std::uint32_t length, std::uint8_t* data, std::uint32_t dataLength) {
    if (index < 0 || index >= kSlots) {
        return 0;
    }
    Receiver& receiver = process().receivers[index];
    // Seq_cst, with the seq_cst load of `active` after it: pairs with close's seq_cst store of
    // active = false and its load of inFlight, so either close waits for this call or this call
    // sees the board closed.
    receiver.inFlight.fetch_add(1, std::memory_order_seq_cst);
    if (receiver.active.load(std::memory_order_seq_cst)) {
        const Kind kind = kindOf(command);
        const Handler* handler = nullptr;
        if (kind != Kind::Trigger) {
            // Acquire: pairs with onMessage's release store; the std::function is complete.
            handler = receiver.handlers[channel & (kChannels - 1)].load(std::memory_order_acquire);
        }
        if (handler == nullptr) {
            handler = receiver.handlers[kChannels].load(std::memory_order_acquire);
        }
        if (handler != nullptr) {
            Message message;
            message.board = index;
            message.channel = channel;
            message.kind = kind;
            message.command = static_cast<std::uint8_t>(command);
            if (kind == Kind::Trigger) {
                message.value = static_cast<std::uint8_t>(length);
            } else if (data != nullptr) {
                message.data = data;
                message.size = dataLength;
                message.value = kind == Kind::Byte && dataLength != 0 ? data[0] : 0;
            }
            Receiver* outer = delivering;
            delivering = &receiver;
            try {
                (*handler)(message);
            } catch (const std::exception& error) {
                receiver.errors.fetch_add(1, std::memory_order_relaxed); // a plain count
                std::lock_guard<std::mutex> hold(receiver.keptLock);
                receiver.lastErrorText = error.what();
            } catch (...) {
                receiver.errors.fetch_add(1, std::memory_order_relaxed);
                std::lock_guard<std::mutex> hold(receiver.keptLock);
                receiver.lastErrorText = "an exception that is no std::exception";
            }
            delivering = outer;
        }
    }
    // Release: the handler's work is done before close sees the count fall.
    receiver.inFlight.fetch_sub(1, std::memory_order_release);
    return 0;
}

// Waits until no library thread runs a handler of the receiver, but for this thread's own call.
inline void waitForDeliveries(Receiver& receiver) {
    const int own = delivering == &receiver ? 1 : 0;
    // Seq_cst: see the trampoline.
    while (receiver.inFlight.load(std::memory_order_seq_cst) > own) {
        std::this_thread::yield();
    }
}

// Puts `fresh` (or none) in a handler slot; the one it replaces is kept until no delivery can be
// using it (releaseKept).
inline void swapHandler(Receiver& receiver, int slot, const Handler* fresh) {
    std::lock_guard<std::mutex> keep(receiver.keptLock);
    // Release: pairs with the trampoline's acquire load; the std::function is complete.
    if (const Handler* old = receiver.handlers[slot].exchange(fresh, std::memory_order_acq_rel)) {
        receiver.kept.emplace_back(old);
    }
}

// Caller holds the process lock. The record's board is given up (closed, or its open failed): no
// new delivery reaches a handler, the handlers are kept until none can be running, and with the
// library open the record loses its callback (the library keeps a closed board's callback and
// still delivers the messages it had queued: without one they are consumed without a call).
inline void retire(Receiver& receiver, int index, bool libraryOpen) {
    // Seq_cst: see the trampoline.
    receiver.active.store(false, std::memory_order_seq_cst);
    for (int slot = 0; slot <= kChannels; ++slot) {
        swapHandler(receiver, slot, nullptr);
    }
    if (libraryOpen && NRV_CV_SelectActiveDeviceByIndex(index) != 0) {
        NRV_CV_RegisterReadCallback(nullptr);
    }
}

// Frees the replaced handlers once no delivery can be using them. A new handler set inside a
// handler (of any board) keeps them until the next chance instead: waiting there could wait for
// the other library thread, which may be waiting for this one. A close always waits; closed from
// its own handler, the board keeps them too, the running one among them, until a later release.
inline void releaseKept(Receiver& receiver, bool closing) {
    if (delivering != nullptr && (!closing || delivering == &receiver)) {
        if (closing) {
            waitForDeliveries(receiver);
        }
        return;
    }
    waitForDeliveries(receiver);
    std::vector<std::unique_ptr<const Handler>> old; // freed after the lock: a handler may own a Board
    std::lock_guard<std::mutex> hold(receiver.keptLock);
    old.swap(receiver.kept);
}

inline std::string trimmed(const char* text) {
    std::string result = text == nullptr ? "" : text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result;
}

inline void setVariable(const char* name, const std::string* value) {
#if defined(_WIN32)
    _putenv_s(name, value == nullptr ? "" : value->c_str());
#else
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value->c_str(), 1);
    }
#endif
}

struct LibraryState;

struct BoardState {
    std::shared_ptr<LibraryState> library;
    BoardInfo info;
    bool open = false;              // under the process lock
    std::vector<std::uint8_t> show; // the running light show's steps, read by the library's thread
};

struct LibraryState {
    bool open = true; // under the process lock
    std::vector<BoardInfo> list;
    std::vector<std::weak_ptr<BoardState>> boards; // opened through this library
};

} // namespace detail

// One board. Open while the object lives (or until close()); movable, not copyable.
class Board {
  public:
    Board() = default;
    Board(Board&&) noexcept = default;
    Board& operator=(Board&& other) noexcept {
        if (this != &other) {
            closeQuietly();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    ~Board() { closeQuietly(); }

    int index() const { return info().index; }
    const std::string& serial() const { return info().serial; }
    const std::string& name() const { return info().name; }
    bool isOpen() const {
        std::lock_guard<std::mutex> hold(detail::process().lock);
        return state_ != nullptr && state_->open && state_->library->open;
    }

    // Makes this board the library's active board (every operation here does it anyway).
    void select() {
        std::lock_guard<std::mutex> hold(detail::process().lock);
        selectLocked();
    }

    void sendTrigger(int value) {
        detail::checkRange("trigger value", value, detail::kMaxByte);
        onActive([&] { return NRV_CV_SendTrigger(static_cast<std::uint8_t>(value)); });
    }
    void sendByte(int address, int value) {
        detail::checkRange("address", address, detail::kMaxAddress);
        detail::checkRange("byte", value, detail::kMaxByte);
        onActive(
            [&] { return NRV_CV_SendByte(static_cast<std::uint32_t>(address), static_cast<std::uint8_t>(value)); });
    }
    // A block of any length from 1 byte (the library sends more than 255 as consecutive blocks).
    void sendBlock(int address, const std::uint8_t* data, std::size_t size) {
        detail::checkRange("address", address, detail::kMaxAddress);
        if (size == 0 || data == nullptr) {
            throw ArgumentError(size == 0 ? "the block is empty" : "the block is null");
        }
        if (size > 0xFFFFFFFFu) {
            throw ArgumentError("a block of " + std::to_string(size) + " bytes is longer than the library takes");
        }
        onActive([&] {
            return NRV_CV_SendBlock(static_cast<std::uint32_t>(address), data, static_cast<std::uint32_t>(size));
        });
    }
    void sendBlock(int address, const std::vector<std::uint8_t>& block) {
        sendBlock(address, block.data(), block.size());
    }
    void sendBlock(int address, std::initializer_list<std::uint8_t> block) {
        sendBlock(address, block.begin(), block.size());
    }
    void sendBlock(int address, std::string_view text) {
        sendBlock(address, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    // The five-message control sequence. The library does not report its writes' failures.
    void sendControl(int address, int value) {
        detail::checkRange("address", address, detail::kMaxAddress);
        detail::checkRange("control value", value, detail::kMaxByte);
        onActive([&] {
            return NRV_CV_SendTransferControlByte(static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(value));
        });
    }

    // Starts a light show, played by the library's thread; returns at once. Steps 1 to 4 light one
    // LED each, 0 sends the control pair, 5 to 255 a random LED. The show plays on the library's
    // active board: an operation on another board meanwhile makes that one active.
    void blink(const std::vector<int>& steps, int delayMs = 100, int repeats = 1) {
        std::vector<std::uint8_t> sequence;
        for (int step : steps) {
            detail::checkRange("step", step, detail::kMaxByte);
            sequence.push_back(static_cast<std::uint8_t>(step));
        }
        if (delayMs < 0 || repeats < 0) {
            throw ArgumentError(delayMs < 0 ? "delayMs " + std::to_string(delayMs) + " is below 0"
                                            : "repeats " + std::to_string(repeats) + " is below 0");
        }
        if (sequence.empty()) {
            sequence.push_back(0); // a readable buffer; the length passed stays 0
        }
        std::lock_guard<std::mutex> hold(detail::process().lock);
        selectLocked();
        // The library stops a running show before it starts this one, so the old steps may go
        // only after the call; the new ones stay until the next show or the close.
        check(NRV_CV_LEDBlinky(static_cast<std::uint32_t>(delayMs), repeats, sequence.data(),
                               static_cast<std::int32_t>(steps.size())));
        state_->show.swap(sequence);
    }

    // The library's self test (100000 cycles). It holds the process's lock until it is done.
    void selfTest() {
        onActive([] { return NRV_CV_PerformSelfTest(); });
    }

    // The handler of every message not taken by a channel's handler, and of every trigger. An
    // empty handler removes it.
    void onMessage(Handler handler) { setHandler(detail::kChannels, std::move(handler)); }
    // The handler of one channel's single bytes and blocks (triggers go to the general handler).
    void onMessage(int channel, Handler handler) {
        detail::checkRange("channel", channel, detail::kChannels - 1);
        setHandler(channel, std::move(handler));
    }
    // Exceptions thrown by this board's handlers since it was opened, and the last one's text.
    std::uint64_t callbackErrors() const {
        // Relaxed: a plain count.
        return receiver().errors.load(std::memory_order_relaxed);
    }
    std::string lastCallbackError() const {
        detail::Receiver& r = receiver();
        std::lock_guard<std::mutex> hold(r.keptLock);
        return r.lastErrorText;
    }

    // Closes the board; once it returns no handler of it runs (but one that called it). A running
    // light show ends first. Closing a closed board does nothing.
    void close() {
        if (state_ == nullptr) {
            return;
        }
        int closed = 1;
        {
            std::lock_guard<std::mutex> hold(detail::process().lock);
            if (!state_->open) {
                return;
            }
            state_->open = false;
            // A delivery that still holds a handler is waited for below, before the kept ones go.
            detail::retire(receiver(), state_->info.index, state_->library->open);
            if (state_->library->open) {
                closed = NRV_CV_CloseDeviceByIndex(state_->info.index);
            }
            state_->show.clear();
        }
        // Outside the lock: a handler being waited for may be sending, which takes it.
        detail::releaseKept(receiver(), true);
        if (closed == 0) {
            throw Error(detail::trimmed(NRV_CV_GetLastError()));
        }
    }

  private:
    friend class Library;
    explicit Board(std::shared_ptr<detail::BoardState> state) : state_(std::move(state)) {}

    const BoardInfo& info() const {
        if (state_ == nullptr) {
            throw ClosedError("an empty Board names no board");
        }
        return state_->info;
    }
    detail::Receiver& receiver() const { return detail::process().receivers[info().index]; }

    void closeQuietly() noexcept {
        try {
            close();
        } catch (...) { // a destructor reports nothing; the board is closed in the library's books
        }
    }

    // Caller holds the process lock.
    void selectLocked() {
        if (state_ == nullptr) {
            throw ClosedError("an empty Board names no board");
        }
        if (!state_->library->open) {
            throw ClosedError("the library is closed");
        }
        if (!state_->open) {
            throw ClosedError("board " + std::to_string(state_->info.index) + " (" + state_->info.serial +
                              ") is closed");
        }
        check(NRV_CV_SelectActiveDeviceByIndex(state_->info.index));
    }

    static void check(std::int32_t result) {
        if (result == 0) {
            throw Error(detail::trimmed(NRV_CV_GetLastError()));
        }
    }

    template <typename Call> void onActive(Call call) {
        std::lock_guard<std::mutex> hold(detail::process().lock);
        selectLocked();
        check(call());
    }

    void setHandler(int slot, Handler handler) {
        std::unique_ptr<const Handler> fresh = handler ? std::make_unique<const Handler>(std::move(handler)) : nullptr;
        detail::Receiver& r = receiver();
        {
            std::lock_guard<std::mutex> hold(detail::process().lock);
            selectLocked(); // only an open board of an open library takes handlers
            detail::swapHandler(r, slot, fresh.release());
        }
        detail::releaseKept(r, false);
    }

    std::shared_ptr<detail::BoardState> state_;
};

// The open library, and the boards it lists. Closing it (or its destructor) closes the boards it
// opened.
class Library {
  public:
    explicit Library(const Options& options = {}) {
        validate(options);
        std::lock_guard<std::mutex> hold(detail::process().lock);
        if (detail::process().libraryOpen) {
            throw Error("the library is already open in this process; close it first");
        }
        const Variable variables[] = {
            {"CORVANE_PROFILE", options.profile},
            {"CORVANE_RX", options.rx},
            {"CORVANE_IDLE", options.idle},
            {"CORVANE_LATENCY_MS", options.latencyMs == 0 ? "" : std::to_string(options.latencyMs)},
            {"CORVANE_RECONNECT", options.reconnect},
            {"CORVANE_DRIVER", options.driver}};
        std::vector<std::pair<const char*, std::unique_ptr<std::string>>> previous;
        for (const Variable& variable : variables) {
            if (!variable.value.empty()) {
                const char* old = std::getenv(variable.name);
                previous.emplace_back(variable.name, old == nullptr ? nullptr : std::make_unique<std::string>(old));
                detail::setVariable(variable.name, &variable.value);
            }
        }
        NRV_CV_Open(0, 0, 0);
        for (const auto& [name, value] : previous) {
            detail::setVariable(name, value.get());
        }
        detail::process().libraryOpen = true;
        state_ = std::make_shared<detail::LibraryState>();
        if (options.debug) {
            NRV_CV_SetDebugMode(1);
        }
        refreshLocked();
    }
    Library(Library&&) noexcept = default;
    Library& operator=(Library&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { close(); }

    std::string name() const { return text(NRV_CV_GetName()); }
    std::string version() const { return text(NRV_CV_GetVersionString()); }
    std::string interfaceVersion() const { return text(NRV_CV_GetInterfaceVersion()); }
    std::string lastError() const {
        checkOpen();
        return detail::trimmed(NRV_CV_GetLastError());
    }
    // Debug mode: the library writes every step to Corvane.log in the current folder.
    void setDebug(bool on) {
        std::lock_guard<std::mutex> hold(detail::process().lock);
        checkOpen();
        NRV_CV_SetDebugMode(on ? 1 : 0);
    }
    bool closed() const { return state_ == nullptr || !state_->open; }

    // Lists the boards again. The library closes every open board and forgets its handlers when
    // it lists, so the Boards of this library are closed first.
    std::vector<BoardInfo> refresh() {
        std::vector<std::shared_ptr<detail::BoardState>> open;
        {
            std::lock_guard<std::mutex> hold(detail::process().lock);
            checkOpen();
            open = openBoards();
        }
        for (auto& board : open) {
            Board(board).close();
        }
        std::lock_guard<std::mutex> hold(detail::process().lock);
        checkOpen();
        refreshLocked();
        return state_->list;
    }
    // The boards of the last listing.
    std::vector<BoardInfo> boards() const {
        std::lock_guard<std::mutex> hold(detail::process().lock);
        checkOpen();
        return state_->list;
    }

    // The listed board with that index or serial number, opened. A handler given here is the
    // board's general handler from before the open, so it sees the board's very first message (a
    // board that sends as soon as it opens would send its first ones before onMessage could run).
    Board board(int index, Handler handler = {}) {
        return open([&](const BoardInfo& b) { return b.index == index; }, std::to_string(index), std::move(handler));
    }
    Board board(std::string_view serial, Handler handler = {}) {
        return open([&](const BoardInfo& b) { return b.serial == serial; }, detail::quoted(serial), std::move(handler));
    }
    Board board(const char* serial, Handler handler = {}) {
        if (serial == nullptr) {
            throw ArgumentError("a board is named by its index or its serial number, not null");
        }
        return board(std::string_view(serial), std::move(handler));
    }

    // Closes the boards this library opened, then the library. Closing twice does nothing.
    void close() noexcept {
        if (state_ == nullptr) {
            return;
        }
        std::vector<std::shared_ptr<detail::BoardState>> open;
        {
            std::lock_guard<std::mutex> hold(detail::process().lock);
            if (!state_->open) {
                return;
            }
            open = openBoards();
        }
        for (auto& board : open) {
            Board handle(board);
            try {
                handle.close();
            } catch (...) { // the library closes all the same
            }
        }
        std::lock_guard<std::mutex> hold(detail::process().lock);
        state_->open = false;
        NRV_CV_Close();
        detail::process().libraryOpen = false;
    }

  private:
    struct Variable {
        const char* name;
        std::string value;
    };

    static void allowed(const char* what, const std::string& value, std::initializer_list<const char*> names) {
        if (value.empty()) {
            return;
        }
        std::string list;
        for (const char* name : names) {
            if (value == name) {
                return;
            }
            list += list.empty() ? name : std::string(", ") + name;
        }
        throw ArgumentError(std::string(what) + " must be one of " + list + ", not " + detail::quoted(value));
    }
    static void validate(const Options& options) {
        allowed("profile", options.profile, {"fast", "default"});
        allowed("rx", options.rx, {"batched", "default"});
        allowed("idle", options.idle, {"wait", "spin"});
        allowed("reconnect", options.reconnect, {"auto", "off"});
        // A driver's file, as the library tells one: a path separator, or a name ending in .so or .dll.
        const std::string& driver = options.driver;
        const auto endsWith = [&driver](const std::string& end) {
            return driver.size() >= end.size() && driver.compare(driver.size() - end.size(), end.size(), end) == 0;
        };
        if (!driver.empty() && driver != "vendor" && driver != "open" &&
            driver.find_first_of("/\\") == std::string::npos && !endsWith(".so") && !endsWith(".dll")) {
            throw ArgumentError("driver must be vendor, open or the path of a D2XX driver, not " +
                                detail::quoted(driver));
        }
        if (options.latencyMs < 0 || options.latencyMs > 255) {
            throw ArgumentError("latencyMs must be a whole number of milliseconds from 1 to 255, not " +
                                std::to_string(options.latencyMs));
        }
    }

    static std::string text(const char* value) { return value == nullptr ? "" : value; }

    void checkOpen() const {
        if (closed()) {
            throw ClosedError("the library is closed");
        }
    }

    // Caller holds the process lock.
    std::vector<std::shared_ptr<detail::BoardState>> openBoards() {
        std::vector<std::shared_ptr<detail::BoardState>> open;
        for (auto& weak : state_->boards) {
            if (auto board = weak.lock(); board != nullptr && board->open) {
                open.push_back(board);
            }
        }
        state_->boards.clear();
        for (auto& board : open) {
            state_->boards.push_back(board);
        }
        return open;
    }

    // Caller holds the process lock.
    void refreshLocked() {
        const std::int32_t count = NRV_CV_QueryDevices();
        state_->list.clear();
        for (std::int32_t i = 0; i < count; ++i) {
            state_->list.push_back({i, text(NRV_CV_GetDeviceSerial(i)), text(NRV_CV_GetDeviceName(i))});
        }
    }

    template <typename Match> Board open(Match match, const std::string& named, Handler handler) {
        std::unique_ptr<const Handler> fresh = handler ? std::make_unique<const Handler>(std::move(handler)) : nullptr;
        std::lock_guard<std::mutex> hold(detail::process().lock);
        checkOpen();
        const BoardInfo* info = nullptr;
        for (const BoardInfo& listed : state_->list) {
            if (match(listed)) {
                info = &listed;
                break;
            }
        }
        if (info == nullptr) {
            std::string serials;
            for (const BoardInfo& listed : state_->list) {
                serials += (serials.empty() ? "" : ", ") + listed.serial;
            }
            throw ArgumentError("no board " + named + " among the " + std::to_string(state_->list.size()) +
                                " listed (" + (serials.empty() ? "none" : serials) + ")");
        }
        for (auto& weak : state_->boards) {
            if (auto board = weak.lock(); board != nullptr && board->open && board->info.index == info->index) {
                throw Error("board " + std::to_string(info->index) + " (" + info->serial +
                            ") is open already; one Board object owns it");
            }
        }
        detail::Receiver& receiver = detail::process().receivers[info->index];
        const int index = info->index;
        // Relaxed: a plain count, reset for the new owner.
        receiver.errors.store(0, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> keep(receiver.keptLock);
            receiver.lastErrorText.clear();
        }
        detail::swapHandler(receiver, detail::kChannels, fresh.release());
        // Seq_cst: see the trampoline.
        receiver.active.store(true, std::memory_order_seq_cst);
        // The trampoline is the board's general callback: the library calls it for every message,
        // and it applies the library's own rule (the channel's handler, else the general one). It
        // goes on the listed record before the open, as a board may send the moment it opens.
        if (NRV_CV_SelectActiveDeviceByIndex(index) == 0 || NRV_CV_RegisterReadCallback(detail::trampoline) == 0 ||
            NRV_CV_OpenDeviceByIndex(index) == 0) {
            const std::string reason = detail::trimmed(NRV_CV_GetLastError());
            // The handler is freed with the kept ones at the board's next handler change or close.
            detail::retire(receiver, index, true);
            throw Error(reason);
        }
        auto state = std::make_shared<detail::BoardState>();
        state->library = state_;
        state->info = *info;
        state->open = true;
        state_->boards.push_back(state);
        return Board(std::move(state));
    }

    std::shared_ptr<detail::LibraryState> state_;
};

} // namespace corvane

#endif // CORVANE_HPP
