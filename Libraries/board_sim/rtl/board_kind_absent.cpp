// The simulated boards of a build without Verilator (the Windows builds, the sanitizer builds, a
// machine without it): a board file that asks for the gateware is refused with this reason.
#include "board.h"

namespace boardsim {

const char* gatewareMissingReason() {
    return "was built without the gateware's simulation (Verilator was not found, or a Windows or sanitizer build)";
}

std::unique_ptr<Board> makeGatewareBoard(const BoardEntry&, const char*, std::string&) { return nullptr; }

} // namespace boardsim
