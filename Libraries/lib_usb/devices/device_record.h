// One slot of the device database: a listed board, its connection, receive state and callbacks.
#pragma once

#include "core/constants.h"
#include "core/spin_lock.h"
#include "corvane.h"
#include "d2xx.h"
#include "transfer/input_buffer.h"

#include <atomic>
#include <cstdint>

namespace corvane {

// Where a board reported lost stands with its reconnection (CORVANE_RECONNECT=auto). Changed only
// under the record's guard: by the read thread, and by open, close and enumeration.
enum class Reconnect : std::uint8_t {
    None,   // not lost, or reconnecting is off
    Retire, // lost: its dead handle is still in ftHandle and is to be closed
    Await,  // lost: the dead handle is closed (ftHandle null); the board is looked for again
};

struct DeviceRecord {
    std::int32_t deviceIndex;                 // always the slot's own position, 0 to 255
    char deviceName[64];                      // the driver's description text
    char serialNumber[64];                    // the driver's serial number text; the open key
    std::atomic<d2xx::FT_HANDLE> ftHandle;    // non-null while open
    std::uint32_t deviceId;                   // vendor id << 16 | product id
    InputBuffer* inputBuffers[kChannelCount]; // created at the first open, kept across reopens
    std::uint8_t callbackBuffer[kCallbackBufferSize];
    std::uint32_t blockBytesRemaining;      // read thread: bytes of the block in progress still to read
    std::atomic<std::uint32_t> blockLength; // announced length of the block in progress, else 0
    // Read thread: counted up for every piece of block data read, so that a waiter on
    // blockLength (the self test) can tell a block still arriving from one that stalled.
    std::atomic<std::uint32_t> blockProgress;
    std::int32_t currentChannel; // read thread: channel of the last header
    std::uint8_t commandByte;    // read thread: the last header as read
    std::uint8_t payloadByte;
    std::atomic<ReadCallback> readCallback; // the general callback
    std::atomic<ReadCallback> channelCallbacks[kChannelCount];

    // Held by the read thread for one poll, by the write thread while it takes an entry's bytes,
    // and by open, close and enumeration while they change the record. Never held across a
    // callback.
    RecordGuard guard;
    // Counted up by every clear of the record (enumeration); queued entries carry it.
    std::atomic<std::uint32_t> generation;
    // Read thread (and open, under the guard): per channel, bytes of dropped messages stored in
    // the channel buffer and not yet claimed by a queued entry's skipBytes.
    std::uint32_t droppedBytes[kChannelCount];
    std::uint32_t blockStoredBytes; // read thread: bytes of the block in progress stored so far
    bool blockRefused;              // read thread: the channel buffer refused part of the block
    std::uint8_t headerBytes[2];    // read thread: a header read in part, completed later
    std::uint32_t headerBytesHeld;
    std::uint32_t lastPending; // read thread: the bytes pending at the board's last status call
    // Counted up by every open, under the guard: the read thread tells a board closed and reopened
    // from a trigger's callback by it, since the driver may give the same handle value again.
    std::uint32_t openCount;
    // Read thread (and open and enumeration, under the guard): how the board's driver calls went,
    // so that a board that stopped answering is reported once rather than on every pass.
    bool statusFailed;                // the board's last status call failed
    std::uint32_t failedStatusPasses; // passes in a row whose status call failed
    bool lost;                        // taken for lost and reported; until a status call succeeds
    bool readFailureReported;         // a failed block read was reported; until a read succeeds
    bool queueFullReported;           // the driver's full receive queue was reported; until it drains
    bool blockAbandoned;              // the block in progress was dropped with its lost board
    // Set by the read thread when it reports the board lost, cleared once it answers again (or is
    // reopened, reconnected, closed or cleared): the self test and the light show stop on it, and
    // with reconnecting on the sends fail at once on it.
    std::atomic<bool> lostReported;
    Reconnect reconnect;          // under the guard
    std::int64_t nextReconnectMs; // read thread: when to look for the board again (steady clock)
};

} // namespace corvane
