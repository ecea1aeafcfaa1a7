// The send operations: every byte the library writes to a board. Each reads the active device
// afresh before every write and runs wholly on the caller's thread.
#pragma once

#include "core/host_context.h"

#include <cstdint>

namespace corvane {

// Why a send failed, for callers that react differently (the self test stops on a short write).
enum class SendFailure {
    None,       // the send succeeded
    NoDevice,   // no active device
    Status,     // the driver returned a status other than FT_OK
    ShortWrite, // FT_OK, but fewer bytes written than asked (the board stopped taking data)
    Lost,       // reconnecting on: the board is reported lost, so nothing was written
};

// Each returns 1 on success, 0 on failure (with the last error set); `failure`, when given,
// receives the reason.
int SendTrigger(HostContext* context, std::uint8_t trigger, SendFailure* failure = nullptr);
int SendByte(HostContext* context, std::uint32_t address, std::uint8_t value, SendFailure* failure = nullptr);
int SendBlock(HostContext* context, std::uint32_t address, const std::uint8_t* block, std::uint32_t length,
              SendFailure* failure = nullptr);
int SendControlByte(HostContext* context, std::uint8_t address, std::uint8_t value, SendFailure* failure = nullptr);
// The control-byte sequence to address 2 without a success line (the light show's control pair).
int SendQuietControlByte(HostContext* context, std::uint8_t value, SendFailure* failure = nullptr);

// Whether the active board has been reported lost and not answered since. If so, its lost-board
// text becomes the last error (without a second log line): the self test and the light show end
// on it.
bool activeBoardLost(HostContext* context);

} // namespace corvane
