// The LED light show, played on the lightshow thread.
#pragma once

#include "core/host_context.h"

#include <cstdint>

namespace corvane {

// Starts a show on the active board, stopping a running one first and waiting for its end: 1 when
// started. The sequence stays the caller's memory and is read at every step until the show is over.
int LEDBlinky(HostContext* context, std::uint32_t delay, std::int32_t repeats, const std::uint8_t* sequence,
              std::int32_t length);

// Stops a running show and returns once its thread has ended (its count line logged and its
// closing control pair sent); sets the delay, repeat count and length to 0. Returns at once when
// no show runs. Called by every device close and enumeration.
void stopLightShow(HostContext* context);

} // namespace corvane
