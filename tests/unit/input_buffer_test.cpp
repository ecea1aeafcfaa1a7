// The channel ring buffer: capacity, all-or-nothing puts, wrap-around of both positions, and the
// two-thread hand-over between the read thread's puts and the write thread's takes.
#include "transfer/input_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace corvane;

namespace {

struct BufferDeleter {
    void operator()(InputBuffer* buffer) const { destroyInputBuffer(buffer); }
};
using BufferPtr = std::unique_ptr<InputBuffer, BufferDeleter>;

BufferPtr makeBuffer(std::uint32_t capacity) {
    BufferPtr buffer(createInputBuffer(capacity));
    EXPECT_NE(buffer, nullptr);
    EXPECT_NE(buffer->data, nullptr);
    return buffer;
}

std::vector<std::uint8_t> sequence(std::uint32_t count, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

// Puts and takes `count` bytes so that both positions stand at `position`.
void advanceTo(InputBuffer& buffer, std::uint32_t position) {
    std::vector<std::uint8_t> filler(position, 0xEE);
    ASSERT_EQ(putBytes(buffer, filler.data(), position), position);
    ASSERT_EQ(takeBytes(buffer, filler.data(), position), position);
}

} // namespace

TEST(InputBuffer, HoldsCapacityMinusOneAndNeverTheLastFreeByte) {
    BufferPtr buffer = makeBuffer(50000);
    std::vector<std::uint8_t> bytes = sequence(49999, 0);
    EXPECT_EQ(putBytes(*buffer, bytes.data(), 49999), 49999u);
    EXPECT_EQ(heldBytes(*buffer), 49999u);

    const std::uint8_t one = 0x5A;
    EXPECT_EQ(putBytes(*buffer, &one, 1), 0u);
    EXPECT_EQ(heldBytes(*buffer), 49999u);
    EXPECT_EQ(buffer->writePosition, 49999u);

    std::uint8_t first = 0;
    EXPECT_EQ(takeBytes(*buffer, &first, 1), 1u);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(putBytes(*buffer, &one, 1), 1u);
    EXPECT_EQ(putBytes(*buffer, &one, 1), 0u);

    // Everything comes back in order, the late byte last.
    std::vector<std::uint8_t> out(49999);
    EXPECT_EQ(takeBytes(*buffer, out.data(), 49999), 49999u);
    for (std::uint32_t i = 0; i < 49998; ++i) {
        ASSERT_EQ(out[i], static_cast<std::uint8_t>(i + 1)) << "at " << i;
    }
    EXPECT_EQ(out[49998], 0x5A);
}

TEST(InputBuffer, PutIsAllOrNothing) {
    BufferPtr buffer = makeBuffer(10);
    std::vector<std::uint8_t> five = sequence(5, 1);
    ASSERT_EQ(putBytes(*buffer, five.data(), 5), 5u);

    // Exactly the free count is refused too: it would use the last free byte.
    std::vector<std::uint8_t> more = sequence(5, 100);
    EXPECT_EQ(putBytes(*buffer, more.data(), 5), 0u);
    EXPECT_EQ(heldBytes(*buffer), 5u);
    EXPECT_EQ(buffer->writePosition, 5u);

    EXPECT_EQ(putBytes(*buffer, more.data(), 4), 4u);
    std::uint8_t out[9] = {};
    EXPECT_EQ(takeBytes(*buffer, out, 9), 9u);
    const std::uint8_t expected[9] = {1, 2, 3, 4, 5, 100, 101, 102, 103};
    EXPECT_EQ(0, std::memcmp(out, expected, 9));
}

TEST(InputBuffer, EmptyOrNullPutsAndTakesChangeNothing) {
    BufferPtr buffer = makeBuffer(16);
    const std::uint8_t byte = 7;
    EXPECT_EQ(putBytes(*buffer, &byte, 0), 0u);
    EXPECT_EQ(putBytes(*buffer, nullptr, 3), 0u);
    EXPECT_EQ(heldBytes(*buffer), 0u);
    EXPECT_EQ(buffer->writePosition, 0u);

    ASSERT_EQ(putBytes(*buffer, &byte, 1), 1u);
    std::uint8_t out = 0;
    EXPECT_EQ(takeBytes(*buffer, &out, 0), 0u);
    EXPECT_EQ(takeBytes(*buffer, nullptr, 1), 0u);
    EXPECT_EQ(heldBytes(*buffer), 1u);
    EXPECT_EQ(buffer->readPosition, 0u);
}

TEST(InputBuffer, BufferWithoutStorageRefusesPutsAndTakesNothing) {
    InputBuffer buffer{};
    buffer.data = nullptr;
    buffer.capacity = 100;
    buffer.freeBytes.store(100);
    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(putBytes(buffer, bytes, 3), 0u);
    std::uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(takeBytes(buffer, out, 3), 0u);
    EXPECT_EQ(discardBytes(buffer, 3), 0u);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(buffer.freeBytes.load(), 100u);
}

TEST(InputBuffer, PutAndTakeWrapAroundTheEnd) {
    BufferPtr buffer = makeBuffer(100);
    advanceTo(*buffer, 90);

    std::vector<std::uint8_t> twenty = sequence(20, 0x30);
    ASSERT_EQ(putBytes(*buffer, twenty.data(), 20), 20u);
    EXPECT_EQ(buffer->writePosition, 10u);
    EXPECT_EQ(0, std::memcmp(buffer->data + 90, twenty.data(), 10));
    EXPECT_EQ(0, std::memcmp(buffer->data, twenty.data() + 10, 10));

    std::vector<std::uint8_t> out(20);
    ASSERT_EQ(takeBytes(*buffer, out.data(), 20), 20u);
    EXPECT_EQ(buffer->readPosition, 10u);
    EXPECT_EQ(out, twenty);
    EXPECT_EQ(heldBytes(*buffer), 0u);
}

TEST(InputBuffer, PositionsEndingExactlyAtTheEndContinueAtTheStart) {
    BufferPtr buffer = makeBuffer(100);
    advanceTo(*buffer, 60);

    std::vector<std::uint8_t> forty = sequence(40, 1);
    ASSERT_EQ(putBytes(*buffer, forty.data(), 40), 40u);
    EXPECT_EQ(buffer->writePosition, 100u);
    std::vector<std::uint8_t> five = sequence(5, 200);
    ASSERT_EQ(putBytes(*buffer, five.data(), 5), 5u);
    EXPECT_EQ(buffer->writePosition, 5u);
    EXPECT_EQ(0, std::memcmp(buffer->data, five.data(), 5));

    std::vector<std::uint8_t> out(40);
    ASSERT_EQ(takeBytes(*buffer, out.data(), 40), 40u);
    EXPECT_EQ(buffer->readPosition, 100u);
    EXPECT_EQ(out, forty);
    std::vector<std::uint8_t> outFive(5);
    ASSERT_EQ(takeBytes(*buffer, outFive.data(), 5), 5u);
    EXPECT_EQ(buffer->readPosition, 5u);
    EXPECT_EQ(outFive, five);
}

TEST(InputBuffer, TakeLargerThanHeldMovesWhatIsHeldAndLeavesTheRestOfTheDestination) {
    BufferPtr buffer = makeBuffer(50000);
    const std::uint8_t three[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_EQ(putBytes(*buffer, three, 3), 3u);
    std::uint8_t out[8] = {0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(takeBytes(*buffer, out, 8), 3u);
    const std::uint8_t expected[8] = {0xA1, 0xA2, 0xA3, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(0, std::memcmp(out, expected, 8));
    EXPECT_EQ(heldBytes(*buffer), 0u);
    EXPECT_EQ(buffer->freeBytes.load(), 50000u);
    EXPECT_EQ(takeBytes(*buffer, out, 8), 0u);
}

TEST(InputBuffer, DiscardDropsTheOldestBytesAcrossTheEnd) {
    BufferPtr buffer = makeBuffer(10);
    advanceTo(*buffer, 7);
    std::vector<std::uint8_t> six = sequence(6, 1); // stored at 7, 8, 9, 0, 1, 2
    ASSERT_EQ(putBytes(*buffer, six.data(), 6), 6u);
    EXPECT_EQ(discardBytes(*buffer, 4), 4u);
    EXPECT_EQ(buffer->readPosition, 1u);
    std::uint8_t out[2] = {};
    ASSERT_EQ(takeBytes(*buffer, out, 2), 2u);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 6);
    EXPECT_EQ(discardBytes(*buffer, 4), 0u);
    EXPECT_EQ(buffer->freeBytes.load(), 10u);
}

// One thread puts, one takes, in chunks of varying sizes, a million bytes through a small buffer
// that wraps thousands of times. Every byte carries its position modulo a prime, so a lost,
// repeated or reordered byte shows at the first wrong position, not only in a sum.
TEST(InputBuffer, TwoThreadsPassAMillionBytesOnceAndInOrder) {
    constexpr std::uint32_t kTotal = 1000000;
    constexpr std::uint32_t kPrime = 251;
    BufferPtr buffer = makeBuffer(1009);
    InputBuffer& ring = *buffer;

    std::thread producer([&ring] {
        std::uint8_t chunk[300];
        std::uint32_t sent = 0;
        std::uint32_t size = 1;
        while (sent < kTotal) {
            std::uint32_t count = std::min(size, kTotal - sent);
            for (std::uint32_t i = 0; i < count; ++i) {
                chunk[i] = static_cast<std::uint8_t>((sent + i) % kPrime);
            }
            if (putBytes(ring, chunk, count) == count) {
                sent += count;
                size = size % 299 + 1;
            } else {
                std::this_thread::yield();
            }
        }
    });

    std::uint32_t received = 0;
    std::uint32_t firstWrong = kTotal;
    std::uint8_t chunk[257];
    std::uint32_t size = 1;
    while (received < kTotal) {
        std::uint32_t got = takeBytes(ring, chunk, size);
        for (std::uint32_t i = 0; i < got; ++i) {
            if (chunk[i] != static_cast<std::uint8_t>((received + i) % kPrime) && firstWrong == kTotal) {
                firstWrong = received + i;
            }
        }
        received += got;
        size = size % 257 + 1;
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();

    EXPECT_EQ(firstWrong, kTotal) << "first wrong byte at position " << firstWrong;
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(heldBytes(ring), 0u);
    EXPECT_EQ(ring.readPosition, ring.writePosition);
}
