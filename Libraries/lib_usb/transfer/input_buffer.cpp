#include "transfer/input_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace corvane {

InputBuffer* createInputBuffer(std::uint32_t capacity) {
    auto* buffer = new (std::nothrow) InputBuffer;
    if (buffer == nullptr) {
        return nullptr;
    }
    // A failed storage allocation leaves data null; such a buffer refuses every put.
    buffer->data = static_cast<std::uint8_t*>(std::malloc(capacity));
    buffer->readPosition = 0;
    buffer->writePosition = 0;
    // Relaxed: the buffer is handed to the threads later, under the record's guard.
    buffer->freeBytes.store(capacity, std::memory_order_relaxed);
    buffer->capacity = capacity;
    return buffer;
}

void destroyInputBuffer(InputBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    std::free(buffer->data);
    delete buffer;
}

std::uint32_t putBytes(InputBuffer& buffer, const std::uint8_t* source, std::uint32_t count) {
    if (source == nullptr || count == 0 || buffer.data == nullptr) {
        return 0;
    }
    // Acquire: pairs with the release fetch_add in takeBytes/discardBytes, so the write thread has
    // finished copying out the bytes it freed before this put overwrites their place.
    std::uint32_t free = buffer.freeBytes.load(std::memory_order_acquire);
    // All or nothing, and never the last free byte: a full buffer would otherwise look empty to
    // anyone comparing the two positions.
    if (free <= count) {
        return 0;
    }
    std::uint32_t roomToEnd = buffer.capacity - buffer.writePosition;
    if (count > roomToEnd) {
        std::memcpy(buffer.data + buffer.writePosition, source, roomToEnd);
        std::memcpy(buffer.data, source + roomToEnd, count - roomToEnd);
        buffer.writePosition = count - roomToEnd;
    } else {
        std::memcpy(buffer.data + buffer.writePosition, source, count);
        buffer.writePosition += count;
    }
    // Release: the bytes are in data before the write thread's acquire load counts them as held.
    buffer.freeBytes.fetch_sub(count, std::memory_order_release);
    return count;
}

namespace {

// Moves readPosition past up to `count` held bytes, copying them to `destination` when given.
std::uint32_t removeBytes(InputBuffer& buffer, std::uint8_t* destination, std::uint32_t count) {
    if (count == 0 || buffer.data == nullptr) {
        return 0;
    }
    // Acquire: pairs with putBytes' release fetch_sub, so every byte counted as held is in data.
    std::uint32_t held = buffer.capacity - buffer.freeBytes.load(std::memory_order_acquire);
    std::uint32_t n = std::min(count, held);
    if (n == 0) {
        return 0;
    }
    std::uint32_t roomToEnd = buffer.capacity - buffer.readPosition;
    if (n > roomToEnd) {
        if (destination != nullptr) {
            std::memcpy(destination, buffer.data + buffer.readPosition, roomToEnd);
            std::memcpy(destination + roomToEnd, buffer.data, n - roomToEnd);
        }
        buffer.readPosition = n - roomToEnd;
    } else {
        if (destination != nullptr) {
            std::memcpy(destination, buffer.data + buffer.readPosition, n);
        }
        buffer.readPosition += n;
    }
    // Release: the bytes have been copied out before the read thread's acquire load lets a put
    // reuse their place.
    buffer.freeBytes.fetch_add(n, std::memory_order_release);
    return n;
}

} // namespace

std::uint32_t takeBytes(InputBuffer& buffer, std::uint8_t* destination, std::uint32_t count) {
    if (destination == nullptr) {
        return 0;
    }
    return removeBytes(buffer, destination, count);
}

std::uint32_t discardBytes(InputBuffer& buffer, std::uint32_t count) { return removeBytes(buffer, nullptr, count); }

std::uint32_t heldBytes(const InputBuffer& buffer) {
    // Acquire: the held bytes that the count includes are visible to the caller.
    return buffer.capacity - buffer.freeBytes.load(std::memory_order_acquire);
}

} // namespace corvane
