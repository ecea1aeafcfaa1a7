// doctor on Linux: the kernel's serial driver, the USB device nodes and their udev rules, read from
// sysfs, /proc/modules and /dev under roots that the tests lay out for themselves.
#include "doctor.h"
#include "udev_rule.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

namespace corvane::tool {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFtdiVendor = "0403";
constexpr const char* kUdevRule = CORVANE_UDEV_RULE; // the line the packages install

std::string firstLine(const fs::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

struct UsbDevice {
    std::string name; // sysfs name, e.g. 1-1.2
    std::string product;
    std::string serial;
    int bus = 0;
    int address = 0;
};

std::vector<UsbDevice> ftdiDevices(const fs::path& devices) {
    std::vector<UsbDevice> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(devices, error)) {
        if (firstLine(entry.path() / "idVendor") != kFtdiVendor) {
            continue;
        }
        UsbDevice device;
        device.name = entry.path().filename().string();
        device.product = firstLine(entry.path() / "idProduct");
        device.serial = firstLine(entry.path() / "serial");
        device.bus = std::atoi(firstLine(entry.path() / "busnum").c_str());
        device.address = std::atoi(firstLine(entry.path() / "devnum").c_str());
        found.push_back(device);
    }
    return found;
}

std::set<std::string> loadedModules(const std::string& procModules) {
    std::set<std::string> modules;
    std::ifstream file(procModules);
    for (std::string line; std::getline(file, line);) {
        modules.insert(line.substr(0, line.find(' ')));
    }
    return modules;
}

bool udevRuleFound(const std::vector<std::string>& folders, std::string& where) {
    for (const std::string& folder : folders) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.path().extension() != ".rules") {
                continue;
            }
            std::ifstream file(entry.path());
            for (std::string line; std::getline(file, line);) {
                if (line.find(kFtdiVendor) != std::string::npos &&
                    (line.find("MODE") != std::string::npos || line.find("uaccess") != std::string::npos ||
                     line.find("GROUP") != std::string::npos)) {
                    where = entry.path().string();
                    return true;
                }
            }
        }
    }
    return false;
}

} // namespace

std::string driverMissing(const DriverRoad& road, const std::string& error) {
    const std::string& name = road.file;
    switch (road.kind) {
    case DriverRoad::open:
        return "the loader does not find " + name + " (" + error +
               "): it is installed beside libcorvane.so by Corvane's packages; reinstall them, or add the folder "
               "that holds it to LD_LIBRARY_PATH";
    case DriverRoad::path:
        return "the driver " + name + " does not load (" + error + ")";
    case DriverRoad::vendor:
        break;
    }
    return "the loader does not find " + name + " (" + error +
           "): install the vendor's Linux D2XX driver as /usr/local/lib/" + name +
           " and run `sudo ldconfig`, or add its folder to LD_LIBRARY_PATH; or use Corvane's own driver: --driver "
           "open (CORVANE_DRIVER=open)";
}

namespace {

// On the open road: per interface of each supported board, the kernel driver that holds it (the
// interface's driver link), which the open driver detaches at open and gives back at close.
void interfaceDrivers(Report& report, const fs::path& devices, const UsbDevice& device, const std::string& what) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(devices, error)) {
        const std::string interface = entry.path().filename().string();
        if (interface.rfind(device.name + ":", 0) != 0) {
            continue;
        }
        const fs::path link = entry.path() / "driver";
        const std::string holder = fs::is_symlink(link) ? fs::read_symlink(link).filename().string() : "";
        if (holder.empty()) {
            report.ok("no kernel driver holds the interface " + interface + " (" + what + ")");
        } else if (holder == "usbfs") {
            report.note("a program holds the interface " + interface + " (" + what +
                        ") through usbfs: the open driver cannot open it while that program has it");
        } else {
            report.note("the kernel's " + holder + " driver holds the interface " + interface + " (" + what +
                        "): the open driver detaches it at open and gives it back at close");
        }
    }
}

} // namespace

void systemChecks(Report& report, const DoctorOptions& options, const DriverRoad& road) {
    const bool openRoad = road.kind == DriverRoad::open;
    const fs::path sys = options.sysRoot;
    const std::set<std::string> modules = loadedModules(options.procModules);
    const bool sio = modules.count("ftdi_sio") != 0 || fs::exists(sys / "module/ftdi_sio");
    std::set<std::string> boundDevices;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sys / "bus/usb/drivers/ftdi_sio", error)) {
        const std::string interface = entry.path().filename().string();
        if (interface.find(':') == std::string::npos) {
            continue; // bind, unbind, module and the like
        }
        boundDevices.insert(interface.substr(0, interface.find(':')));
        if (!openRoad) { // told per board below, and no problem on this road
            report.problem("the kernel's ftdi_sio driver holds the interface " + interface +
                           ", so the D2XX driver lists it blank and cannot open it: `echo -n " + interface +
                           " | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind`, or `sudo rmmod ftdi_sio usbserial`");
        }
        for (const auto& tty : fs::directory_iterator(entry.path(), error)) {
            const fs::path latency = tty.path() / "latency_timer";
            if (tty.path().filename().string().rfind("ttyUSB", 0) == 0 && fs::exists(latency)) {
                report.note("latency timer of " + tty.path().filename().string() + ": " + firstLine(latency) +
                            " ms (as ftdi_sio set it)");
            }
        }
    }
    if (openRoad && !boundDevices.empty()) {
        report.note("the ftdi_sio module is loaded and holds " + std::to_string(boundDevices.size()) + " FTDI device" +
                    (boundDevices.size() == 1 ? "" : "s") + "; the open driver detaches it where needed");
    } else if (sio && boundDevices.empty()) {
        report.note("the ftdi_sio module is loaded but holds no FTDI interface");
    } else if (!sio) {
        report.ok(std::string("the ftdi_sio module is not loaded") +
                  (modules.count("usbserial") != 0 ? " (usbserial is)" : ""));
    }

    const fs::path devices = sys / "bus/usb/devices";
    if (!fs::exists(devices)) {
        report.problem("no USB bus is visible (" + devices.string() +
                       " is missing): in a container, pass the USB devices in, or attach the board with usbip");
        return;
    }
    const std::vector<UsbDevice> ftdi = ftdiDevices(devices);
    if (ftdi.empty()) {
        report.problem("no FTDI device is attached (none in " + devices.string() + " has vendor id 0403)");
    }
    std::string rule;
    const bool haveRule = udevRuleFound(options.udevRules, rule);
    bool inaccessible = false;
    for (const UsbDevice& device : ftdi) {
        char node[64];
        std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", device.bus, device.address);
        const fs::path path = fs::path(options.devRoot) / node;
        const unsigned product = static_cast<unsigned>(std::strtoul(device.product.c_str(), nullptr, 16));
        const std::string what =
            "0403:" + device.product + (device.serial.empty() ? "" : " serial " + device.serial) +
            (product >= kFirstBoardProduct && product <= kLastBoardProduct ? ", a supported board"
                                                                           : ", not a supported board");
        const bool supported = product >= kFirstBoardProduct && product <= kLastBoardProduct;
        if (openRoad && supported) {
            interfaceDrivers(report, devices, device, what);
        }
        if (!fs::exists(path)) {
            report.problem(device.name + " (" + what + ") has no device node " + path.string());
        } else if (access(path.c_str(), R_OK | W_OK) != 0) {
            inaccessible = true;
            report.problem("you cannot read and write " + path.string() + " (" + what +
                           "): add a udev rule (below) or run as root");
        } else {
            report.ok(device.name + " (" + what + ") at " + path.string() + " is yours to use");
        }
    }
    if (haveRule) {
        report.ok("udev rule for FTDI devices: " + rule);
    } else if (inaccessible || !ftdi.empty()) {
        report.note(std::string("no udev rule gives access to FTDI devices; /etc/udev/rules.d/60-corvane.rules: ") +
                    kUdevRule + ", then `sudo udevadm control --reload && sudo udevadm trigger` and replug");
    }
}

} // namespace corvane::tool
