// The commands of the corvane tool. Each returns the process's exit status.
#pragma once

#include "tool.h"

#include <string>
#include <vector>

namespace corvane::tool {

struct SendOptions {
    std::string kind; // trigger, byte, block, control
    std::vector<std::string> values;
    unsigned waitMs = 200; // how long answers from the board are shown
};

struct MonitorOptions {
    int channel = -1;
    bool raw = false;
    std::string record;
    double seconds = 0;
    std::uint64_t count = 0;
};

struct BlinkOptions {
    unsigned delayMs = 200;
    int repeats = 1;
    std::vector<std::string> steps;
};

struct DoctorOptions {
    std::string driver; // the driver to look for; empty: the platform's D2XX name
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    std::string procModules = "/proc/modules";
    std::vector<std::string> udevRules = {"/etc/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"};
};

int listCommand(Session& session);
int sendCommand(Session& session, const SendOptions& options);
int monitorCommand(Session& session, const MonitorOptions& options);
int replayCommand(Session& session, const std::string& path);
int benchCommand(Session& session, double seconds);
int blinkCommand(Session& session, const BlinkOptions& options);
int selftestCommand(Session& session);
int demoCommand(Session& session);
int doctorCommand(const GlobalOptions& global, const DoctorOptions& options);

} // namespace corvane::tool
