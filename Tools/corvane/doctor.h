// The parts of `doctor` that differ by platform.
#pragma once

#include "commands.h"
#include "tool.h"

#include <string>

namespace corvane::tool {

// The boards' product ids, under the bridge chip maker's vendor id.
constexpr unsigned kBoardVendor = 0x0403;
constexpr unsigned kFirstBoardProduct = 0x8088;
constexpr unsigned kLastBoardProduct = 0x808F;

// One line per finding: ok, note, or a problem that blocks the use of a board.
struct Report {
    int problems = 0;
    void ok(const std::string& text);
    void note(const std::string& text);
    void problem(const std::string& text);

  private:
    void line(const char* tag, const std::string& text);
};

// The finding for a driver the system's loader does not find, with what to do.
std::string driverMissing(const DriverRoad& road, const std::string& error);
// What the system does with FTDI devices: kernel drivers, device nodes, rules (Linux). On the open
// road a kernel serial driver on a board's interface is no problem: the open driver detaches it.
void systemChecks(Report& report, const DoctorOptions& options, const DriverRoad& road);

} // namespace corvane::tool
