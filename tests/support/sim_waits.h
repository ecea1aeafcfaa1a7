// Waits on the simulated driver that the receive tests share.
#pragma once

#include "board_sim.h"
#include "test_support.h"

#include <cstdint>

namespace testing_support {

// Waits until the read thread has taken every byte queued for the board and decoded them. An
// empty driver queue only says the bytes were read; the read thread decodes what a read returned
// before it asks any board's status again, so one more status call after the queue emptied
// means the decoding is done. The board must stay open while this waits.
// However long the read thread takes, as long as the queue keeps shrinking.
inline bool boardDrained(int board) {
    if (!waitWhileMoving([board] { return sim_rx_pending(board) == 0; }, [board] { return sim_rx_pending(board); })) {
        return false;
    }
    const std::uint64_t statusCalls = sim_call_count("FT_GetStatus");
    return waitUntil([statusCalls] { return sim_call_count("FT_GetStatus") > statusCalls; });
}

} // namespace testing_support
