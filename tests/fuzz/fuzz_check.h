// What the fuzz targets share: a reader over the fuzzer's bytes, and the check that stops the run
// with a message. A failed check aborts, which libFuzzer records as a crash and keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzing {

// Reads the input front to back; past its end every byte reads as 0 and `done` turns true.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return position_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[position_++]; }
    // Up to `count` bytes straight from the input; returns how many there were.
    std::size_t bytes(std::size_t count, const std::uint8_t*& start) {
        start = data_ + position_;
        const std::size_t available = done() ? 0 : size_ - position_;
        const std::size_t taken = count < available ? count : available;
        position_ += taken;
        return taken;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

} // namespace fuzzing

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            ::fuzzing::fail(__FILE__, __LINE__, #condition);                                                           \
        }                                                                                                              \
    } while (false)
