// The library's open/closed state, shared by every export.
#pragma once

#include "core/host_context.h"

namespace corvane {

// The first step of every export that needs the open library: the open context, or null when
// the library is not open (the export then returns its failure value and changes nothing).
HostContext* libraryGuard();

} // namespace corvane
