// What the self test writes to its board: the opening, then per cycle a block carrying the text of
// the cycle before, two control sequences and a trigger. Shared by the self test's cases and its
// full 100000-cycle run in the soak.
#pragma once

#include "board_sim.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace self_test_wire {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kOpeningSize = 18; // a control-byte sequence and four single bytes
constexpr std::size_t kCycleSize = 32;   // block preamble and 8 bytes, two control sequences, a trigger
constexpr std::uint32_t kOpeningWrites = 9;
constexpr std::uint32_t kCycleWrites = 13;

inline Bytes written(int device = 0) {
    Bytes bytes(sim_written_size(device));
    bytes.resize(sim_copy_written(device, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    return bytes;
}

inline Bytes controlSequence(std::uint8_t value) {
    return {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, value, 0x92, 0x00};
}

inline Bytes opening() {
    Bytes bytes = controlSequence(0x01);
    for (std::uint8_t value : {0xDE, 0xAD, 0xC0, 0xDE}) {
        bytes.push_back(0x92);
        bytes.push_back(value);
    }
    return bytes;
}

inline Bytes text(const char* characters) { return Bytes(characters, characters + std::strlen(characters)); }

// The text that cycle `cycle` sends: 8 zero bytes first, then the text of the cycle before.
inline Bytes blockText(int cycle) {
    if (cycle == 0) {
        return Bytes(8, 0);
    }
    char characters[16];
    std::snprintf(characters, sizeof characters, "CV: %04X", static_cast<unsigned>(cycle - 1) & 0xFFFFU);
    return text(characters);
}

inline Bytes expectedCycle(int cycle) {
    Bytes bytes = {0xA4, 0x08};
    const Bytes block = blockText(cycle);
    bytes.insert(bytes.end(), block.begin(), block.end());
    const Bytes middle = controlSequence(0x02);
    bytes.insert(bytes.end(), middle.begin(), middle.end());
    bytes.push_back(0x81);
    bytes.push_back(0x80);
    const Bytes closing = controlSequence(0x00);
    bytes.insert(bytes.end(), closing.begin(), closing.end());
    return bytes;
}

inline Bytes cycleOnWire(const Bytes& wire, int cycle) {
    const auto begin = wire.begin() + static_cast<std::ptrdiff_t>(kOpeningSize + kCycleSize * cycle);
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(kCycleSize));
}

inline Bytes textOfCycle(const Bytes& wire, int cycle) {
    const Bytes bytes = cycleOnWire(wire, cycle);
    return Bytes(bytes.begin() + 2, bytes.begin() + 10);
}

// The cycles among the first `cycles` of the wire that differ from what they should be (the
// wire must hold the opening and that many cycles).
inline std::vector<int> wrongCycles(const Bytes& wire, int cycles) {
    std::vector<int> wrong;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycleOnWire(wire, cycle) != expectedCycle(cycle)) {
            wrong.push_back(cycle);
        }
    }
    return wrong;
}

} // namespace self_test_wire
