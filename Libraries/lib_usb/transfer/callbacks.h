// Registration of the read callbacks on the active board.
#pragma once

#include "core/host_context.h"
#include "corvane.h"

#include <cstdint>

namespace corvane {

// Stores `callback` (null removes it) for `channel` of the active board: 1 when stored, 0 with no
// board selected (last error set) or a channel above 7 (nothing else happens).
int setChannelCallback(HostContext* context, std::uint32_t channel, ReadCallback callback);

} // namespace corvane
