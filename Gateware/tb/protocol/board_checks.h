// Checks shared by the example board's benches: answers compared byte for byte, and the board's
// state against the board model's.
#pragma once

#include "host_traffic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace cvtb {

inline std::string hex(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    std::ostringstream out;
    for (std::size_t i = from; i < bytes.size() && i < from + count; ++i) {
        out << std::hex << (bytes[i] < 16 ? "0" : "") << int{bytes[i]} << ' ';
    }
    return out.str();
}

// Where two byte sequences first differ, with the bytes around it.
inline ::testing::AssertionResult sameBytes(const std::vector<std::uint8_t>& expected,
                                            const std::vector<std::uint8_t>& got) {
    std::size_t i = 0;
    while (i < expected.size() && i < got.size() && expected[i] == got[i]) {
        ++i;
    }
    if (i == expected.size() && i == got.size()) {
        return ::testing::AssertionSuccess();
    }
    const std::size_t from = i < 8 ? 0 : i - 8;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << got.size()
                                         << "; first difference at byte " << i << "\n  expected from " << from << ": "
                                         << hex(expected, from, 24) << "\n  got from      " << from << ": "
                                         << hex(got, from, 24);
}

// The board's counts, LEDs, registers and control values against the board model's (any Verilated
// board: the logic alone or the whole top).
template <class Top> void expectSameState(Top& top, const HostTraffic& traffic) {
    const boardsim::BoardCounts& counts = traffic.model.counts;
    EXPECT_EQ(top.count_triggers, counts.triggers);
    EXPECT_EQ(top.count_single_bytes, counts.singleBytes);
    EXPECT_EQ(top.count_blocks, counts.blocks);
    EXPECT_EQ(top.count_control_sequences, counts.controlSequences);
    EXPECT_EQ(top.count_control_discarded, counts.controlDiscarded);
    EXPECT_EQ(top.count_discarded_bytes, traffic.discardedBytes);
    EXPECT_EQ(top.leds, traffic.model.leds);
    for (unsigned a = 0; a < 16; ++a) {
        top.peek_addr = a;
        top.eval();
        EXPECT_EQ(top.peek_register_set ? top.peek_register : -1, traffic.lastSingle[a]) << "register " << a;
        EXPECT_EQ(top.peek_control_set ? top.peek_control : -1, traffic.model.controlValues[a])
            << "control value " << a;
    }
}

} // namespace cvtb
