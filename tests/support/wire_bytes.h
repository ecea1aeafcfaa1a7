// What the library wrote to a simulated board, as a byte vector, and byte sequences that several
// suites expect on the wire.
#pragma once

#include "board_sim.h"

#include <cstdint>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// Every byte written to the simulated device so far, in order.
inline Bytes writtenBytes(int device) {
    Bytes bytes(sim_written_size(device));
    bytes.resize(sim_copy_written(device, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    return bytes;
}

// The light show's control pair: the control-byte sequence to address 2 with 4, then with 0.
inline const Bytes kControlPair = {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x04, 0x92, 0x00,
                                   0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x00, 0x92, 0x00};

} // namespace testing_support
