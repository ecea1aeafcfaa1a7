// The driver's receive queue of one simulated device: a ring of bytes that grows when a test
// queues more than it holds, so that appending and reading move whole runs with memcpy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace boardsim {

class ByteQueue {
  public:
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear() {
        head_ = 0;
        count_ = 0;
    }

    void push_back(std::uint8_t byte) { append(&byte, 1); }

    void append(const std::uint8_t* bytes, std::size_t count) {
        if (count == 0) {
            return;
        }
        reserve(count_ + count);
        const std::size_t tail = (head_ + count_) & mask();
        const std::size_t first = std::min(count, ring_.size() - tail);
        std::memcpy(ring_.data() + tail, bytes, first);
        std::memcpy(ring_.data(), bytes + first, count - first);
        count_ += count;
    }

    // Moves up to `count` of the oldest bytes to `out`; returns the number moved.
    std::size_t take(std::uint8_t* out, std::size_t count) {
        count = std::min(count, count_);
        if (count == 0) {
            return 0;
        }
        const std::size_t first = std::min(count, ring_.size() - head_);
        std::memcpy(out, ring_.data() + head_, first);
        std::memcpy(out + first, ring_.data(), count - first);
        head_ = (head_ + count) & mask();
        count_ -= count;
        return count;
    }

  private:
    std::size_t mask() const { return ring_.size() - 1; }

    void reserve(std::size_t wanted) {
        if (wanted <= ring_.size()) {
            return;
        }
        std::size_t capacity = ring_.empty() ? kInitialCapacity : ring_.size();
        while (capacity < wanted) {
            capacity *= 2;
        }
        std::vector<std::uint8_t> grown(capacity);
        const std::size_t held = count_;
        take(grown.data(), held);
        ring_.swap(grown);
        head_ = 0;
        count_ = held;
    }

    static constexpr std::size_t kInitialCapacity = 4096; // a power of two, as every later size
    std::vector<std::uint8_t> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

} // namespace boardsim
