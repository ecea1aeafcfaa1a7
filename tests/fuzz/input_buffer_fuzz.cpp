// Fuzz target: sequences of put, take and discard on one channel buffer, against a plain
// reference model (a deque of the bytes held). Every result, every byte taken and the buffer's
// invariants are compared after each operation.
//
// Input: byte 0 picks the capacity (kCapacities); then operations of two bytes, an opcode and a
// count, until the input ends. Put sources are numbered bytes, so a byte out of place shows.
#include "fuzz_check.h"
#include "transfer/input_buffer.h"

#include <algorithm>
#include <deque>
#include <vector>

using namespace corvane;

namespace {

// Edge capacities (nothing fits, one byte never fits) and a few that wrap often.
constexpr std::uint32_t kCapacities[] = {0, 1, 2, 3, 7, 16, 255, 256, 257, 50000};

enum Operation : std::uint8_t {
    kPut,
    kTake,
    kDiscard,
    kPutNullSource,
    kTakeNullDestination,
    kPutWide, // a count above 255: count * 211, to cross the larger capacities
    kOperationCount
};

void checkInvariants(const InputBuffer& buffer, const std::deque<std::uint8_t>& model) {
    const std::uint32_t capacity = buffer.capacity;
    const std::uint32_t free = buffer.freeBytes.load();
    FUZZ_CHECK(heldBytes(buffer) == model.size());
    FUZZ_CHECK(buffer.readPosition <= capacity && buffer.writePosition <= capacity);
    if (capacity == 0) {
        FUZZ_CHECK(free == 0);
        return;
    }
    // Never the last free byte: a full buffer must not look empty from its positions.
    FUZZ_CHECK(free >= 1 && free <= capacity);
    const std::uint32_t read = buffer.readPosition % capacity;
    const std::uint32_t write = buffer.writePosition % capacity;
    FUZZ_CHECK((write + capacity - read) % capacity == model.size());
}

void put(InputBuffer& buffer, std::deque<std::uint8_t>& model, std::uint32_t count, std::uint8_t& next) {
    std::vector<std::uint8_t> source(count);
    for (std::uint8_t& byte : source) {
        byte = next++;
    }
    const std::uint32_t free = buffer.capacity - static_cast<std::uint32_t>(model.size());
    // All or nothing, and never the last free byte.
    const std::uint32_t expected = count != 0 && count < free ? count : 0;
    FUZZ_CHECK(putBytes(buffer, source.data(), count) == expected);
    if (expected != 0) {
        model.insert(model.end(), source.begin(), source.end());
    } else {
        next = static_cast<std::uint8_t>(next - count); // the refused bytes are offered again later
    }
}

void take(InputBuffer& buffer, std::deque<std::uint8_t>& model, std::uint32_t count) {
    // Bytes past those taken must stay as they were.
    std::vector<std::uint8_t> destination(count + 1, 0xA5);
    const auto expected = static_cast<std::uint32_t>(std::min<std::size_t>(count, model.size()));
    FUZZ_CHECK(takeBytes(buffer, destination.data(), count) == expected);
    for (std::uint32_t i = 0; i < expected; ++i) {
        FUZZ_CHECK(destination[i] == model.front());
        model.pop_front();
    }
    for (std::uint32_t i = expected; i <= count; ++i) {
        FUZZ_CHECK(destination[i] == 0xA5);
    }
}

void discard(InputBuffer& buffer, std::deque<std::uint8_t>& model, std::uint32_t count) {
    const auto expected = static_cast<std::uint32_t>(std::min<std::size_t>(count, model.size()));
    FUZZ_CHECK(discardBytes(buffer, count) == expected);
    model.erase(model.begin(), model.begin() + expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::InputReader input(data, size);
    const std::uint32_t capacity = kCapacities[input.byte() % std::size(kCapacities)];
    InputBuffer* buffer = createInputBuffer(capacity);
    FUZZ_CHECK(buffer != nullptr && buffer->data != nullptr);
    std::deque<std::uint8_t> model;
    std::uint8_t next = 0;
    while (!input.done()) {
        const auto operation = static_cast<Operation>(input.byte() % kOperationCount);
        const std::uint32_t count = input.byte();
        switch (operation) {
        case kPut:
            put(*buffer, model, count, next);
            break;
        case kPutWide:
            put(*buffer, model, count * 211, next);
            break;
        case kTake:
            take(*buffer, model, count);
            break;
        case kDiscard:
            discard(*buffer, model, count);
            break;
        case kPutNullSource:
            FUZZ_CHECK(putBytes(*buffer, nullptr, count) == 0);
            break;
        case kTakeNullDestination:
            FUZZ_CHECK(takeBytes(*buffer, nullptr, count) == 0);
            break;
        case kOperationCount:
            break;
        }
        checkInvariants(*buffer, model);
    }
    destroyInputBuffer(buffer);
    return 0;
}
