// The LED light show, played on the lightshow thread.
#pragma once

#include "core/host_context.h"

#include <cstdint>

namespace corvane {

// Starts a show on the active board (stopping a running one first): 1 when started.
int LEDBlinky(HostContext* context, std::uint32_t delay, std::int32_t repeats, const std::uint8_t* sequence,
              std::int32_t length);

// Stops a running show and returns once its thread has ended; sets the delay, repeat count and
// length to 0. Returns at once when no show runs. Called by every device close and enumeration.
void stopLightShow(HostContext* context);

} // namespace corvane
