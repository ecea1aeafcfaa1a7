// The C++ binding's behaviours, one row each, on the simulated boards: the default set (board 0
// echoes, board 1 streams) unless a row lays out boards of its own. Every row runs in a process
// of its own, as the library is one per process.
#include "board_sim.h"
#include "corvane.hpp"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::waitUntil;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNoError = "No error found!";

// What a handler saw, copied out of the call.
struct Seen {
    int board;
    int channel;
    corvane::Kind kind;
    int command;
    int value;
    Bytes data;
    bool operator==(const Seen& other) const {
        return board == other.board && channel == other.channel && kind == other.kind && command == other.command &&
               value == other.value && data == other.data;
    }
};

void PrintTo(const Seen& seen, std::ostream* out) {
    *out << "{board " << seen.board << ", ch" << seen.channel << ", " << corvane::kindName(seen.kind) << " 0x"
         << std::hex << seen.command << ", value 0x" << seen.value << std::dec << ", " << seen.data.size() << " bytes}";
}

// Collects messages from the library's threads.
class Collector {
  public:
    corvane::Handler handler() {
        return [this](const corvane::Message& m) {
            std::lock_guard<std::mutex> hold(lock_);
            seen_.push_back({m.board, m.channel, m.kind, m.command, m.value, m.copy()});
        };
    }
    std::vector<Seen> take(std::size_t count) {
        EXPECT_TRUE(waitUntil([&] { return size() >= count; })) << "only " << size() << " of " << count;
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<Seen> taken(seen_.begin(),
                                seen_.begin() + static_cast<std::ptrdiff_t>(std::min(count, seen_.size())));
        seen_.erase(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(taken.size()));
        return taken;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> hold(lock_);
        return seen_.size();
    }

  private:
    std::mutex lock_;
    std::vector<Seen> seen_;
};

Bytes written(int device) {
    Bytes bytes(sim_written_size(device));
    bytes.resize(sim_copy_written(device, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    return bytes;
}

int simDevice(const corvane::Board& board) { return sim_find_device(board.serial().c_str()); }

// Expects `call` to throw E with exactly `text`.
template <typename E, typename Call> void expectThrow(Call call, const std::string& text) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected: " << text;
    } catch (const E& error) {
        EXPECT_EQ(error.what(), text);
    } catch (const std::exception& other) {
        ADD_FAILURE() << "another exception: " << other.what() << "; expected: " << text;
    }
}

// ---- the rows ------------------------------------------------------------------------------------

void openAndList() {
    corvane::Library library;
    EXPECT_EQ(library.name(), "NRV Corvane Library");
    EXPECT_EQ(library.interfaceVersion(), "1.0");
    const std::vector<corvane::BoardInfo> boards = library.boards();
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_EQ(boards[0].serial, "CV000101B");
    EXPECT_EQ(boards[0].name, "Corvane Eval Board B");
    EXPECT_EQ(boards[1].index, 1);
    EXPECT_EQ(boards[1].serial, "CV000102B");
    corvane::Board byIndex = library.board(0);
    corvane::Board bySerial = library.board("CV000102B");
    EXPECT_TRUE(byIndex.isOpen() && bySerial.isOpen());
    EXPECT_EQ(bySerial.index(), 1);
    EXPECT_EQ(sim_is_open(sim_find_device("CV000101B")), 1);
    expectThrow<corvane::Error>([&] { library.board(0); },
                                "board 0 (CV000101B) is open already; one Board object owns it");
    expectThrow<corvane::Error>([] { corvane::Library second; },
                                "the library is already open in this process; close it first");
    byIndex.close();
    EXPECT_EQ(sim_is_open(sim_find_device("CV000101B")), 0);
    // Moved, the board stays open under its new owner; the library's close closes it.
    corvane::Board moved = std::move(bySerial);
    EXPECT_TRUE(moved.isOpen());
    library.close();
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(sim_is_open(sim_find_device("CV000102B")), 0);
    corvane::Library again; // one library at a time, not one per process
    EXPECT_EQ(again.boards().size(), 2u);
}

void sendsRoundTrip() {
    corvane::Library library;
    corvane::Board board = library.board(0);
    Collector got;
    board.onMessage(got.handler());
    const int device = simDevice(board);
    struct Send {
        std::function<void()> send;
        Bytes wire;
        Seen echo;
    };
    const Bytes hello{'H', 'e', 'l', 'l', 'o'};
    const std::vector<Send> sends = {
        {[&] { board.sendTrigger(0x08); }, {0x81, 0x08}, {0, 0, corvane::Kind::Trigger, 0xC8, 0x08, {}}},
        {[&] { board.sendByte(3, 0x41); }, {0x93, 0x41}, {0, 3, corvane::Kind::Byte, 0xD3, 0x41, {0x41}}},
        {[&] { board.sendByte(7, 0xFF); }, {0x97, 0xFF}, {0, 7, corvane::Kind::Byte, 0xD7, 0xFF, {0xFF}}},
        {[&] { board.sendBlock(2, "Hello"); },
         {0xA2, 5, 'H', 'e', 'l', 'l', 'o'},
         {0, 2, corvane::Kind::Block, 0xE2, 0, hello}},
        {[&] {
             board.sendBlock(1, Bytes{0x00, 0xFF});
         },
         {0xA1, 2, 0x00, 0xFF},
         {0, 1, corvane::Kind::Block, 0xE1, 0, {0x00, 0xFF}}},
        // The control sequence to address 3 (header 0x9A) is echoed as five single bytes on channel 2.
        {[&] { board.sendControl(3, 0x7E); },
         {0x9A, 0x5A, 0x9A, 0xC3, 0x9A, 0x7E, 0x9A, 0x7E, 0x9A, 0x00},
         {0, 2, corvane::Kind::Byte, 0xD2, 0x5A, {0x5A}}},
    };
    for (const Send& send : sends) {
        sim_clear_written(device);
        send.send();
        EXPECT_EQ(written(device), send.wire);
        const std::vector<Seen> echo = got.take(send.wire.size() == 10 ? 5 : 1);
        ASSERT_FALSE(echo.empty());
        EXPECT_EQ(echo[0], send.echo);
    }
    EXPECT_EQ(sim_control_value(device, 3), 0x7E);
    // A block over 255 bytes goes as consecutive blocks.
    Bytes long300(300);
    for (std::size_t i = 0; i < long300.size(); ++i) {
        long300[i] = static_cast<std::uint8_t>(i);
    }
    sim_clear_written(device);
    board.sendBlock(4, long300);
    EXPECT_EQ(written(device).size(), 304u);
    const std::vector<Seen> parts = got.take(2);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].data.size() + parts[1].data.size(), 300u);
    EXPECT_EQ(library.lastError(), kNoError);
}

void channelHandlersAndTheGeneralOne() {
    corvane::Library library;
    corvane::Board board = library.board(0);
    Collector general, channel3;
    board.onMessage(general.handler());
    board.onMessage(3, channel3.handler());
    board.onMessage(0, channel3.handler()); // triggers still go to the general handler
    board.sendByte(3, 0x41);
    board.sendTrigger(0x05);
    EXPECT_EQ(channel3.take(1)[0], (Seen{0, 3, corvane::Kind::Byte, 0xD3, 0x41, {0x41}}));
    EXPECT_EQ(general.take(1)[0], (Seen{0, 0, corvane::Kind::Trigger, 0xC8, 0x05, {}}));
    board.onMessage(3, nullptr); // removed: channel 3 falls back to the general handler
    board.sendByte(3, 0x42);
    EXPECT_EQ(general.take(1)[0], (Seen{0, 3, corvane::Kind::Byte, 0xD3, 0x42, {0x42}}));
    EXPECT_EQ(channel3.size(), 0u);
}

void badInputIsRefusedBeforeTheLibrary() {
    corvane::Library library;
    corvane::Board board = library.board(0);
    const int device = simDevice(board);
    const std::uint8_t byte = 1;
    const std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { board.sendByte(8, 1); }, "address 8 is outside 0 to 7"},
        {[&] { board.sendByte(-1, 1); }, "address -1 is outside 0 to 7"},
        {[&] { board.sendByte(0, 256); }, "byte 256 is outside 0 to 255"},
        {[&] { board.sendTrigger(256); }, "trigger value 256 is outside 0 to 255"},
        {[&] { board.sendControl(8, 0); }, "address 8 is outside 0 to 7"},
        {[&] { board.sendControl(0, 300); }, "control value 300 is outside 0 to 255"},
        {[&] { board.sendBlock(8, "x"); }, "address 8 is outside 0 to 7"},
        {[&] { board.sendBlock(0, nullptr, 1); }, "the block is null"},
        {[&] { board.sendBlock(0, &byte, 0); }, "the block is empty"},
        {[&] { board.sendBlock(0, Bytes{}); }, "the block is empty"},
        {[&] {
             board.blink({1, 256});
         },
         "step 256 is outside 0 to 255"},
        {[&] { board.blink({1}, -1); }, "delayMs -1 is below 0"},
        {[&] { board.onMessage(8, [](const corvane::Message&) {}); }, "channel 8 is outside 0 to 7"},
        {[&] { library.board(2); }, "no board 2 among the 2 listed (CV000101B, CV000102B)"},
        {[&] { library.board("CV999"); }, "no board 'CV999' among the 2 listed (CV000101B, CV000102B)"},
        {[&] { library.board("CV000101"); }, "no board 'CV000101' among the 2 listed (CV000101B, CV000102B)"},
        {[&] {
             corvane::Options quick;
             quick.profile = "quick";
             corvane::Library other(quick);
         },
         "profile must be one of fast, default, not 'quick'"},
        {[&] {
             corvane::Options libusb;
             libusb.driver = "libusb";
             corvane::Library other(libusb);
         },
         "driver must be vendor, open or the path of a D2XX driver, not 'libusb'"},
    };
    for (const auto& [call, text] : refused) {
        expectThrow<corvane::ArgumentError>(call, text);
    }
    board.close();
    const std::string closed = "board 0 (CV000101B) is closed";
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { board.sendTrigger(1); }, [&] { board.sendByte(0, 1); }, [&] { board.sendBlock(0, "x"); },
             [&] { board.sendControl(0, 1); }, [&] { board.blink({1}); }, [&] { board.selfTest(); },
             [&] { board.select(); }, [&] { board.onMessage([](const corvane::Message&) {}); }}) {
        expectThrow<corvane::ClosedError>(call, closed);
    }
    EXPECT_EQ(written(device), Bytes{});
    EXPECT_EQ(library.lastError(), kNoError);
    corvane::Board other = library.board(1);
    library.close();
    expectThrow<corvane::ClosedError>([&] { other.sendByte(0, 1); }, "the library is closed");
    expectThrow<corvane::ClosedError>([&] { library.board(0); }, "the library is closed");
    expectThrow<corvane::ClosedError>([&] { library.refresh(); }, "the library is closed");
    corvane::Board empty;
    expectThrow<corvane::ClosedError>([&] { empty.sendByte(0, 1); }, "an empty Board names no board");
}

void aFailingSendCarriesTheLibrarysText() {
    corvane::Library library;
    corvane::Board board = library.board(0);
    const std::vector<std::pair<std::function<void()>, std::string>> sends = {
        {[&] { board.sendTrigger(1); }, "Failed to write tigger"},
        {[&] { board.sendByte(2, 1); }, "Failed to write single byte"},
        {[&] { board.sendBlock(2, "abc"); }, "SendBlock: Cannot write message preamble"},
    };
    for (const auto& [send, text] : sends) {
        sim_fail_next("FT_Write", 1, 4);
        expectThrow<corvane::Error>(send, text);
        send(); // the fault was for one call
    }
}

// Two threads drive two boards at once: each board gets exactly its own bytes, and each board's
// handler exactly its own echoes, in order.
void twoBoardsFromTwoThreads() {
    sim_reset();
    for (const char* serial : {"CVT00001", "CVT00002"}) {
        sim_set_behaviour(sim_add_device(0x04038088, serial, "Thread board"), SIM_ECHO);
    }
    corvane::Library library;
    constexpr int kSends = 300;
    std::vector<corvane::Board> boards;
    std::vector<std::unique_ptr<Collector>> got;
    for (int i = 0; i < 2; ++i) {
        boards.push_back(library.board(i));
        got.push_back(std::make_unique<Collector>());
        boards.back().onMessage(got.back()->handler());
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            for (int value = 0; value < kSends; ++value) {
                boards[static_cast<std::size_t>(i)].sendByte(1 + i, value & 0xFF);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < 2; ++i) {
        Bytes expected;
        for (int value = 0; value < kSends; ++value) {
            expected.push_back(static_cast<std::uint8_t>(0x91 + i));
            expected.push_back(static_cast<std::uint8_t>(value));
        }
        EXPECT_EQ(written(i), expected) << "board " << i;
        const std::vector<Seen> echoes = got[static_cast<std::size_t>(i)]->take(kSends);
        ASSERT_EQ(echoes.size(), static_cast<std::size_t>(kSends));
        for (int value = 0; value < kSends; ++value) {
            ASSERT_EQ(
                echoes[static_cast<std::size_t>(value)],
                (Seen{i, 1 + i, corvane::Kind::Byte, 0xD1 + i, value & 0xFF, {static_cast<std::uint8_t>(value)}}));
        }
    }
}

void aHandlerThatThrows() {
    corvane::Library library;
    corvane::Board board = library.board(0);
    std::atomic<int> calls{0};
    board.onMessage([&](const corvane::Message& m) {
        calls.fetch_add(1);
        throw std::runtime_error("handler fault " + std::to_string(m.value));
    });
    for (int value = 1; value <= 3; ++value) {
        board.sendByte(1, value);
    }
    EXPECT_TRUE(waitUntil([&] { return board.callbackErrors() == 3; }));
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(board.lastCallbackError(), "handler fault 3");
    // Delivery goes on: a well-behaved handler gets the next message.
    Collector got;
    board.onMessage(got.handler());
    board.sendByte(1, 4);
    EXPECT_EQ(got.take(1)[0].value, 4);
}

void unpluggedAndBack() {
    corvane::Options reconnecting;
    reconnecting.reconnect = "auto";
    corvane::Library library(reconnecting);
    corvane::Board board = library.board(0);
    Collector got;
    board.onMessage(got.handler());
    board.sendByte(3, 0x10);
    EXPECT_EQ(got.take(1)[0].value, 0x10);
    const int device = simDevice(board);
    sim_unplug(device);
    const std::string lost = "Lost connection to device: Corvane Eval Board B / CV000101B";
    std::string failure;
    EXPECT_TRUE(waitUntil([&] {
        try {
            board.sendByte(3, 0x11);
        } catch (const corvane::Error& error) {
            failure = error.what();
        }
        return failure == lost;
    })) << failure;
    sim_replug(device);
    // Reconnected into the same record: the same Board and handler, without a new open.
    EXPECT_TRUE(waitUntil([&] {
        try {
            board.sendByte(3, 0x12);
            return true;
        } catch (const corvane::Error&) {
            return false;
        }
    }));
    EXPECT_EQ(got.take(1)[0].value, 0x12);
    EXPECT_TRUE(board.isOpen());
}

// The stream board sends numbered single bytes as fast as they are taken; its handler is slow.
// Once close returns, the handler never runs again, and the state it uses may go.
void closedWhileItsMessagesAreDelivered() {
    corvane::Library library;
    corvane::Board echo = library.board(0);
    corvane::Board board = library.board(1);
    const SimStream stream{0b1, 0, 0, 0, 0};
    sim_set_stream(simDevice(board), &stream);
    struct State {
        std::atomic<int> inside{0};
        std::atomic<std::uint64_t> calls{0};
    };
    auto state = std::make_unique<State>();
    State* shared = state.get();
    board.onMessage([shared](const corvane::Message&) {
        shared->inside.store(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // a slow handler widens the window
        shared->calls.fetch_add(1);
        shared->inside.store(0);
    });
    ASSERT_TRUE(waitUntil([&] { return shared->calls.load() >= 50; }));
    board.close();
    EXPECT_EQ(shared->inside.load(), 0);
    const std::uint64_t calls = shared->calls.load();
    state.reset(); // the address sanitizer sees any later use
    // Messages of the closed board still queued are consumed before the echo behind them.
    Collector got;
    echo.onMessage(got.handler());
    echo.sendByte(2, 0x33);
    EXPECT_EQ(got.take(1)[0].value, 0x33);
    EXPECT_GT(calls, 0u);

    // Closed from inside its own handler: that call ends, and no other comes.
    corvane::Board again = library.board(1);
    sim_set_stream(simDevice(again), &stream);
    std::atomic<int> after{0};
    std::atomic<bool> closedInside{false};
    again.onMessage([&](const corvane::Message&) {
        if (closedInside.load()) {
            after.fetch_add(1);
            return;
        }
        again.close();
        closedInside.store(true);
    });
    ASSERT_TRUE(waitUntil([&] { return closedInside.load(); }));
    EXPECT_FALSE(again.isOpen());
    echo.sendByte(2, 0x34);
    EXPECT_EQ(got.take(1)[0].value, 0x34);
    EXPECT_EQ(after.load(), 0);
    EXPECT_EQ(sim_is_open(simDevice(again)), 0);
}

// Board 1 of the default set streams from the moment it opens (single bytes on channels 0 and 1,
// 32-byte blocks on 2 and 3, in turn). A handler given with the open sees message 0 on; one
// whose open fails is never called, and the board takes another open with a handler.
// A driver named by its path is the one the library binds (here the simulated driver itself, as
// the vendor's driver installed elsewhere would be); on that road a full driver queue is reported.
void theDriverOptionNamesTheFileTheLibraryBinds() {
    corvane::Options byPath;
    byPath.driver = CORVANE_SIM_DRIVER;
    corvane::Library library(byPath);
    EXPECT_EQ(std::getenv("CORVANE_DRIVER"), nullptr) << "set for the open only";
    ASSERT_EQ(library.boards().size(), 2u);
    corvane::Board board = library.board(0);
    sim_drop_beyond_queue(1);
    const Bytes flood(70000, 0xD1);
    sim_queue_rx(simDevice(board), flood.data(), static_cast<std::uint32_t>(flood.size()));
    EXPECT_TRUE(waitUntil([&] {
        return library.lastError() == "Driver receive queue of device Corvane Eval Board B / CV000101B is full; the "
                                      "driver may have dropped data";
    })) << library.lastError();
}

void aHandlerGivenWithTheOpenSeesTheFirstMessage() {
    corvane::Library library;
    // A stream that sends only when the host asks, so that nothing reaches the driver before the
    // open's purge: the first message the handler can see is message 0.
    const SimStream asked{0x3, 0xC, 32, 0, 0};
    sim_set_stream(sim_find_device("CV000102B"), &asked);
    Collector got;
    corvane::Board board = library.board("CV000102B", got.handler());
    const std::vector<Seen> first = got.take(8);
    ASSERT_EQ(first.size(), 8u);
    for (std::uint32_t n = 0; n < first.size(); ++n) {
        const int channel = static_cast<int>(n % 4);
        if (channel < 2) {
            EXPECT_EQ(first[n], (Seen{1, channel, corvane::Kind::Byte, 0xD0 | channel, static_cast<int>(n),
                                      Bytes{static_cast<std::uint8_t>(n)}}))
                << "message " << n;
        } else {
            Bytes data(32);
            for (std::uint32_t i = 0; i < data.size(); ++i) {
                data[i] = sim_stream_block_byte(n, 32, i);
            }
            EXPECT_EQ(first[n], (Seen{1, channel, corvane::Kind::Block, 0xE0 | channel, 0, data})) << "message " << n;
        }
    }
    board.close();

    sim_fail_next("FT_OpenEx", 1, 3); // FT_DEVICE_NOT_OPENED
    std::atomic<int> calls{0};
    expectThrow<corvane::Error>([&] { library.board(1, [&](const corvane::Message&) { calls.fetch_add(1); }); },
                                "Failed to open port");
    // Until the failed open returns, its handler may be given what the last opening left queued;
    // from then on it is not called again.
    const int atFailure = calls.load();
    // The reopened stream numbers from 0 again; what the last opening left queued may come first.
    std::atomic<bool> restarted{false};
    corvane::Board reopened = library.board(1, [&](const corvane::Message& m) {
        restarted.store(restarted.load() || (m.channel == 0 && m.kind == corvane::Kind::Byte && m.value == 0));
    });
    EXPECT_TRUE(waitUntil([&] { return restarted.load(); }));
    EXPECT_EQ(calls.load(), atFailure);
}

struct Behaviour {
    const char* name;
    void (*run)();
};

const Behaviour kBehaviours[] = {
    {"OpenAndList", openAndList},
    {"EachSendKindRoundTripsOnTheEchoBoard", sendsRoundTrip},
    {"ChannelHandlersAndTheGeneralOne", channelHandlersAndTheGeneralOne},
    {"BadInputIsRefusedBeforeTheLibrary", badInputIsRefusedBeforeTheLibrary},
    {"AFailingSendCarriesTheLibrarysText", aFailingSendCarriesTheLibrarysText},
    {"TwoBoardsFromTwoThreads", twoBoardsFromTwoThreads},
    {"AHandlerThatThrows", aHandlerThatThrows},
    {"UnpluggedAndBack", unpluggedAndBack},
    {"ClosedWhileItsMessagesAreDelivered", closedWhileItsMessagesAreDelivered},
    {"AHandlerGivenWithTheOpenSeesTheFirstMessage", aHandlerGivenWithTheOpenSeesTheFirstMessage},
    {"TheDriverOptionNamesTheFileTheLibraryBinds", theDriverOptionNamesTheFileTheLibraryBinds},
};

void PrintTo(const Behaviour& behaviour, std::ostream* out) { *out << behaviour.name; }

class CppBinding : public testing::TestWithParam<Behaviour> {
  protected:
    void SetUp() override {
        char reason[256] = "";
        ASSERT_GE(sim_load_boards(nullptr, reason, sizeof reason), 0) << reason;
    }
};

TEST_P(CppBinding, Behaves) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(Table, CppBinding, testing::ValuesIn(kBehaviours),
                         [](const testing::TestParamInfo<Behaviour>& info) { return std::string(info.param.name); });

} // namespace
