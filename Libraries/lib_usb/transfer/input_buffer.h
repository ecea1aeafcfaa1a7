// A fixed-size byte ring of one channel of one open board. The read thread alone stores bytes
// (putBytes, moving writePosition); the write thread alone removes them (takeBytes and
// discardBytes, moving readPosition). freeBytes is the one field both change.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

struct InputBuffer {
    std::uint8_t* data;                   // capacity bytes; null when the allocation failed
    std::uint32_t readPosition;           // oldest byte not yet taken; write thread only
    std::uint32_t writePosition;          // where the next byte goes; read thread only
    std::atomic<std::uint32_t> freeBytes; // bytes that may still be stored (at least 1 stays free)
    std::uint32_t capacity;
};

// A new, empty buffer of the given capacity; null when not even the record could be allocated.
InputBuffer* createInputBuffer(std::uint32_t capacity);
void destroyInputBuffer(InputBuffer* buffer);

// Stores all `count` bytes or none (never the last free byte); returns the count stored.
std::uint32_t putBytes(InputBuffer& buffer, const std::uint8_t* source, std::uint32_t count);
// Moves up to `count` of the oldest bytes into `destination`; returns the number moved.
std::uint32_t takeBytes(InputBuffer& buffer, std::uint8_t* destination, std::uint32_t count);
// Drops up to `count` of the oldest bytes (those of messages that were never queued).
std::uint32_t discardBytes(InputBuffer& buffer, std::uint32_t count);
// Bytes held now, as the calling side sees them.
std::uint32_t heldBytes(const InputBuffer& buffer);

} // namespace corvane
