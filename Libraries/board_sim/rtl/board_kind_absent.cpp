// The simulated driver of a build without Verilator (the Windows builds, the sanitizer builds, a
// machine without it): a board file that asks for the gateware is refused with this reason.
#include "rtl_kind.h"

namespace boardsim {

const char* rtlKindMissingReason() {
    return "this simulated driver was built without the gateware's simulation (Verilator was not found, or "
           "a Windows or sanitizer build)";
}

std::unique_ptr<RtlKind> makeRtlKind(const BoardEntry&) { return nullptr; }

} // namespace boardsim
