// The self test: a fixed exchange with the active board, run on the caller's thread.
#pragma once

#include "core/host_context.h"

namespace corvane {

// Sends the opening sequence and the fixed cycles to the active board, waiting in each cycle while
// the board is sending a block back (at most until no byte of that block has arrived for the read
// time-out). Returns 1 once run: failed sends report themselves and the test goes on, except a
// short write (the board no longer takes data), which ends the test with its send's error text.
int PerformSelfTest(HostContext* context);

} // namespace corvane
