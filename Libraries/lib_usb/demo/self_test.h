// The self test: a fixed exchange with the active board, run on the caller's thread.
#pragma once

#include "core/host_context.h"

namespace corvane {

int PerformSelfTest(HostContext* context);

} // namespace corvane
