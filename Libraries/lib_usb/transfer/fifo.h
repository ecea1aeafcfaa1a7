// One queued message between the read thread (which fills an entry and sets busy last) and the
// write thread (which delivers it and clears busy after the callback has returned).
#pragma once

#include "core/constants.h"

#include <atomic>
#include <cstdint>

namespace corvane {

struct FifoEntry {
    std::atomic<std::uint8_t> busy; // 1 from filled until delivered; the hand-over of every field below
    std::uint8_t channel;           // 0 to 7
    std::uint16_t deviceIndex;      // slot of the board in the device database
    std::uint8_t commandByte;       // as received
    std::uint8_t length;            // data bytes of the message, which its channel buffer holds whole
    // Bytes of dropped messages (full FIFO, refused block, block cut short by a reopen) that lie
    // in the channel buffer ahead of this message's own; the write thread discards them first.
    std::uint32_t skipBytes;
    // The record's generation when the message was queued: an entry whose record has since been
    // cleared by an enumeration is consumed without a callback.
    std::uint32_t generation;
};

} // namespace corvane
