// Everything at once: two boards stream numbered messages (single bytes, blocks and triggers) while
// two application threads send to the active board. Every message must arrive once, whole and in
// order per board, and every send operation must reach the wire unbroken and in its thread's order.
#include "sanitizers.h"
#include "transfer_fixture.h"

#include <chrono>
#include <cstdio>
#include <string>

using namespace transfer_test;

namespace {

using testing_support::kThreadSanitizer;

// The thread sanitizer slows every atomic access by an order of magnitude: fewer messages there.
constexpr std::uint32_t kMessagesPerBoard = kThreadSanitizer ? 10000 : 100000;
constexpr std::uint32_t kWindow = 4096; // messages a board may have sent ahead of their delivery
constexpr int kBoards = 2;
constexpr int kSenders = 2;

// Message i of a board: every tenth a trigger, else every third a single byte, else a block of
// 4 to 10 bytes that starts with the message number; channel i % 8.
enum class Kind { Trigger, SingleByte, Block };
Kind kindOf(std::uint32_t i) {
    if (i % 10 == 9) return Kind::Trigger;
    return i % 3 == 0 ? Kind::SingleByte : Kind::Block;
}
std::uint8_t blockByte(int board, std::uint32_t i, std::uint32_t k) {
    if (k < 4) return static_cast<std::uint8_t>(i >> (8 * k));
    return static_cast<std::uint8_t>(board * 16 + k);
}
void appendMessage(Bytes& stream, int board, std::uint32_t i) {
    const auto channel = static_cast<std::uint8_t>(i % 8);
    switch (kindOf(i)) {
    case Kind::Trigger:
        stream.insert(stream.end(), {static_cast<std::uint8_t>(0xC8 | channel), static_cast<std::uint8_t>(i)});
        break;
    case Kind::SingleByte:
        stream.insert(stream.end(), {static_cast<std::uint8_t>(0xD0 | channel), static_cast<std::uint8_t>(i)});
        break;
    case Kind::Block: {
        const std::uint32_t length = 4 + i % 7;
        stream.insert(stream.end(), {static_cast<std::uint8_t>(0xE0 | channel), static_cast<std::uint8_t>(length)});
        for (std::uint32_t k = 0; k < length; ++k) {
            stream.push_back(blockByte(board, i, k));
        }
        break;
    }
    }
}

// What each board's callbacks have seen. Data is checked on the write thread, triggers on the
// read thread, each against the next number it expects.
struct BoardProgress {
    std::uint32_t nextData = 0;    // write thread only
    std::uint32_t nextTrigger = 9; // read thread only
    std::atomic<std::uint32_t> delivered{0};
};
BoardProgress progress[kBoards];
std::atomic<int> mismatches{0};
std::mutex firstMismatchLock;
std::string firstMismatch;

std::uint32_t nextOfKind(std::uint32_t i, bool trigger) {
    do {
        ++i;
    } while ((kindOf(i) == Kind::Trigger) != trigger);
    return i;
}

void mismatch(int board, std::uint32_t expected, const char* what) {
    if (mismatches.fetch_add(1) == 0) {
        std::lock_guard<std::mutex> hold(firstMismatchLock);
        firstMismatch = "board " + std::to_string(board) + ", message " + std::to_string(expected) + ": " + what;
    }
}

int32_t CORVANE_CALL checkingCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* data,
                                      uint32_t dataLength) {
    if (device < 0 || device >= kBoards) {
        mismatch(device, 0, "unknown board");
        return 0;
    }
    BoardProgress& board = progress[device];
    const bool trigger = (command & 0x08) != 0;
    const std::uint32_t expected = trigger ? board.nextTrigger : board.nextData;
    if (static_cast<std::uint32_t>(channel) != expected % 8 || length != dataLength) {
        mismatch(device, expected, "channel or length");
    } else if (trigger) {
        if (command != (0xC8u | (expected % 8)) || length != (expected & 0xFF)) mismatch(device, expected, "trigger");
    } else if (kindOf(expected) == Kind::SingleByte) {
        if (command != (0xD0u | (expected % 8)) || length != 1 || data[0] != (expected & 0xFF)) {
            mismatch(device, expected, "single byte");
        }
    } else {
        bool same = command == (0xE0u | (expected % 8)) && length == 4 + expected % 7;
        for (std::uint32_t k = 0; same && k < length; ++k) {
            same = data[k] == blockByte(device, expected, k);
        }
        if (!same) mismatch(device, expected, "block");
    }
    (trigger ? board.nextTrigger : board.nextData) = nextOfKind(expected, trigger);
    board.delivered.fetch_add(1);
    return 0;
}

// The application's senders. Operation j of sender t: a single byte, a block of 1 to 300 bytes
// (over 255 it goes in two pieces), a control byte or a trigger, each with j in its bytes and
// with addresses of the sender's own, so that the wire tells the senders apart.
struct Sender {
    std::uint8_t singleHeader;
    std::uint8_t blockHeader;
    std::uint8_t controlHeader;
    std::uint32_t singleAddress;
    std::uint32_t blockAddress;
    std::uint8_t controlAddress;
};
constexpr Sender kSenderSetup[kSenders] = {{0x95, 0xA1, 0xB2, 5, 1, 6}, {0x96, 0xA3, 0xBA, 6, 3, 7}};
std::uint8_t triggerValue(int sender, std::uint32_t j) { return static_cast<std::uint8_t>(sender * 0x80 | (j & 0x7F)); }
std::uint32_t blockLength(std::uint32_t j) { return j % 300 + 1; }

std::uint32_t runSender(int sender, const std::atomic<bool>& stop) {
    const Sender& setup = kSenderSetup[sender];
    Bytes block(300);
    std::uint32_t j = 0;
    for (; !stop.load() || j < 400; ++j) {
        const auto value = static_cast<std::uint8_t>(j);
        int result = 0;
        switch (j % 4) {
        case 0:
            result = NRV_CV_SendByte(setup.singleAddress, value);
            break;
        case 1:
            for (std::uint32_t k = 0; k < blockLength(j); ++k)
                block[k] = static_cast<std::uint8_t>(j + k);
            result = NRV_CV_SendBlock(setup.blockAddress, block.data(), blockLength(j));
            break;
        case 2:
            result = NRV_CV_SendTransferControlByte(setup.controlAddress, value);
            break;
        default:
            result = NRV_CV_SendTrigger(triggerValue(sender, j));
            break;
        }
        if (result != 1) {
            ADD_FAILURE() << "sender " << sender << ", operation " << j << ": " << NRV_CV_GetLastError();
            return j;
        }
        std::this_thread::yield(); // leave the receiving threads their share of two cores
    }
    return j;
}

// Walks the board's writes call by call and checks that they form the senders' operations, each
// whole and each sender's in order. Returns how many operations of each sender it found.
void parseSends(int board, std::uint32_t found[kSenders]) {
    const Bytes bytes = written(board);
    const std::vector<std::uint32_t> calls = writeCalls(board);
    std::size_t position = 0;
    std::size_t call = 0;
    auto take = [&](std::uint32_t length) -> const std::uint8_t* {
        if (call >= calls.size() || calls[call] != length || position + length > bytes.size()) return nullptr;
        const std::uint8_t* at = bytes.data() + position;
        position += length;
        ++call;
        return at;
    };
    while (call < calls.size()) {
        const std::uint8_t* message = take(2);
        ASSERT_NE(message, nullptr) << "write " << call << " is not a two-byte message";
        int sender = -1;
        for (int t = 0; t < kSenders; ++t) {
            const Sender& setup = kSenderSetup[t];
            if (message[0] == setup.singleHeader || message[0] == setup.blockHeader ||
                message[0] == setup.controlHeader || (message[0] == 0x81 && (message[1] >> 7) == t)) {
                sender = t;
            }
        }
        ASSERT_NE(sender, -1) << "write " << call - 1 << " belongs to no sender";
        const Sender& setup = kSenderSetup[sender];
        const std::uint32_t j = found[sender];
        const auto value = static_cast<std::uint8_t>(j);
        const std::string where = "sender " + std::to_string(sender) + ", operation " + std::to_string(j);
        switch (j % 4) {
        case 0:
            ASSERT_TRUE(message[0] == setup.singleHeader && message[1] == value) << where;
            break;
        case 1: {
            std::uint32_t remaining = blockLength(j);
            std::uint32_t k = 0;
            ASSERT_EQ(message[0], setup.blockHeader) << where;
            for (const std::uint8_t* preamble = message;;) {
                const std::uint32_t piece = std::min<std::uint32_t>(remaining, 255);
                ASSERT_TRUE(preamble[0] == setup.blockHeader && preamble[1] == piece) << where;
                const std::uint8_t* data = take(piece);
                ASSERT_NE(data, nullptr) << where << ": preamble not followed by its data";
                for (std::uint32_t d = 0; d < piece; ++d, ++k) {
                    ASSERT_EQ(data[d], static_cast<std::uint8_t>(j + k)) << where;
                }
                remaining -= piece;
                if (remaining == 0) break;
                preamble = take(2);
                ASSERT_NE(preamble, nullptr) << where << ": second piece missing";
            }
            break;
        }
        case 2: {
            const std::uint8_t sequence[5] = {0x5A, 0xC3, 0x7E, value, 0x00};
            ASSERT_TRUE(message[0] == setup.controlHeader && message[1] == sequence[0]) << where;
            for (int m = 1; m < 5; ++m) {
                const std::uint8_t* next = take(2);
                ASSERT_TRUE(next != nullptr && next[0] == setup.controlHeader && next[1] == sequence[m])
                    << where << ": control sequence broken at message " << m;
            }
            break;
        }
        default:
            ASSERT_TRUE(message[0] == 0x81 && message[1] == triggerValue(sender, j)) << where;
            break;
        }
        ++found[sender];
    }
}

TEST(TransferConcurrency, TwoBoardsStreamWhileTwoThreadsSend) {
    openBoards(kBoards);
    for (int board = 0; board < kBoards; ++board) {
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(board), 1);
        ASSERT_EQ(NRV_CV_RegisterReadCallback(&checkingCallback), 1);
    }
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);

    std::atomic<bool> stopSending{false};
    std::uint32_t sent[kSenders] = {};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([t, &stopSending, &sent] { sent[t] = runSender(t, stopSending); });
    }

    const auto start = std::chrono::steady_clock::now();
    // However long the boards take, as long as their messages keep being delivered: stalled only
    // after 30 s without a delivery.
    auto deliveredSoFar = [] { return progress[0].delivered.load() + progress[1].delivered.load(); };
    auto lastDelivered = deliveredSoFar();
    auto lastProgress = start;
    std::uint32_t queued[kBoards] = {};
    bool stalled = false;
    while ((queued[0] < kMessagesPerBoard || queued[1] < kMessagesPerBoard) && !stalled) {
        bool fed = false;
        for (int board = 0; board < kBoards; ++board) {
            const std::uint32_t ahead = queued[board] - progress[board].delivered.load();
            const std::uint32_t count = std::min({kMessagesPerBoard - queued[board], kWindow - ahead, 512u});
            if (count == 0 || ahead > kWindow / 2) continue;
            Bytes stream;
            for (std::uint32_t i = queued[board]; i < queued[board] + count; ++i)
                appendMessage(stream, board, i);
            boardSends(board, stream);
            queued[board] += count;
            fed = true;
        }
        if (!fed) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto now = std::chrono::steady_clock::now();
        if (const auto delivered = deliveredSoFar(); delivered != lastDelivered) {
            lastDelivered = delivered;
            lastProgress = now;
        }
        stalled = now - lastProgress > std::chrono::seconds(30);
    }
    const bool allDelivered = testing_support::waitWhileMoving(
        [] {
            return progress[0].delivered.load() == kMessagesPerBoard &&
                   progress[1].delivered.load() == kMessagesPerBoard;
        },
        deliveredSoFar);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stopSending = true;
    for (std::thread& sender : senders)
        sender.join();

    EXPECT_FALSE(stalled) << "delivered " << progress[0].delivered << " and " << progress[1].delivered;
    ASSERT_TRUE(allDelivered) << "delivered " << progress[0].delivered << " and " << progress[1].delivered;
    {
        std::lock_guard<std::mutex> hold(firstMismatchLock);
        EXPECT_EQ(mismatches.load(), 0) << firstMismatch;
    }
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);

    std::uint32_t found[kSenders] = {};
    parseSends(0, found);
    EXPECT_EQ(found[0], sent[0]);
    EXPECT_EQ(found[1], sent[1]);
    EXPECT_EQ(sim_write_call_count(1), 0u);

    const double throughput = kBoards * kMessagesPerBoard / seconds;
    std::printf("received %u messages in %.3f s: %.0f messages/s, while %u + %u send operations went out\n",
                kBoards * kMessagesPerBoard, seconds, throughput, sent[0], sent[1]);
    ::testing::Test::RecordProperty("messages_per_second", std::to_string(static_cast<long>(throughput)));
}

} // namespace
