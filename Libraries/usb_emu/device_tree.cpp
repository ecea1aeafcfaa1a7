// The USB file tree of the emulated chips, under the private root folder: what sysfs shows of each
// chip (/sys/bus/usb/devices/1-N with busnum, devnum, speed and the binary descriptors), its
// usbfs node (/dev/bus/usb/001/DDD), and the kernel's uevents when a chip comes or goes.
#include "emu_state.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace usbemu {

namespace {

constexpr const char* kSysDevices = "/sys/bus/usb/devices";
constexpr const char* kBusFolder = "/dev/bus/usb/001";
constexpr const char* kDevicePathPrefix = "/devices/pci0000:00/0000:00:14.0/usb1/";
constexpr std::uint8_t kBus = 1;

void writeFile(const std::string& path, const void* bytes, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "usb_emu: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return;
    }
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

std::string chipFolder(const Emulator& e, const Chip& chip) { return e.root + kSysDevices + "/" + chip.sysName(); }

std::string nodePath(const Emulator& e, const Chip& chip) {
    char name[16];
    std::snprintf(name, sizeof name, "/%03d", chip.deviceNumber);
    return e.root + kBusFolder + name;
}

void append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes) {
        out.push_back(byte);
    }
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

} // namespace

std::string redirect(const char* path) {
    const Emulator& e = emulator();
    if (path == nullptr || e.root.empty()) {
        return {};
    }
    for (const char* prefix : {"/sys/bus/usb", "/dev/bus/usb"}) {
        const std::size_t length = std::strlen(prefix);
        if (std::strncmp(path, prefix, length) == 0 && (path[length] == '\0' || path[length] == '/')) {
            return e.root + path;
        }
    }
    return {};
}

std::vector<std::uint8_t> deviceDescriptors(const Chip& chip) {
    std::vector<std::uint8_t> out = {18, 1}; // device descriptor
    put16(out, 0x0200);                      // USB 2.0
    append(out, {0, 0, 0, 64});              // class in the interfaces; 64-byte control packets
    put16(out, chip.vendorId);
    put16(out, chip.productId);
    put16(out, chip.dual ? kDualChipRelease : kSingleChipRelease);
    append(out, {1, 2, 3, 1}); // manufacturer, product, serial strings; one configuration
    const auto interfaces = static_cast<std::uint8_t>(chip.interfaces.size());
    const auto total = static_cast<std::uint16_t>(9 + interfaces * (9 + 2 * 7));
    append(out, {9, 2});
    put16(out, total);
    append(out, {interfaces, 1, 0, 0x80, 0xFA}); // bus powered, 500 mA
    for (const Interface& interface : chip.interfaces) {
        append(out, {9, 4, static_cast<std::uint8_t>(interface.number), 0, 2, 0xFF, 0xFF, 0xFF, 2});
        for (std::uint8_t endpoint : {interface.inEndpoint, interface.outEndpoint}) {
            append(out, {7, 5, endpoint, 2}); // bulk
            put16(out, static_cast<std::uint16_t>(kPacketSize));
            out.push_back(0);
        }
    }
    return out;
}

void writeChipFiles(const Emulator& e, const Chip& chip) {
    const std::string folder = chipFolder(e, chip);
    ::mkdir((e.root + "/sys").c_str(), 0700);
    ::mkdir((e.root + "/sys/bus").c_str(), 0700);
    ::mkdir((e.root + "/sys/bus/usb").c_str(), 0700);
    ::mkdir((e.root + kSysDevices).c_str(), 0700);
    ::mkdir((e.root + "/dev").c_str(), 0700);
    ::mkdir((e.root + "/dev/bus").c_str(), 0700);
    ::mkdir((e.root + "/dev/bus/usb").c_str(), 0700);
    ::mkdir((e.root + kBusFolder).c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    char hex[8];
    writeText(folder + "/busnum", std::to_string(kBus) + "\n");
    writeText(folder + "/devnum", std::to_string(chip.deviceNumber) + "\n");
    writeText(folder + "/speed", "480\n");
    writeText(folder + "/bConfigurationValue", "1\n");
    std::snprintf(hex, sizeof hex, "%04x\n", chip.vendorId);
    writeText(folder + "/idVendor", hex);
    std::snprintf(hex, sizeof hex, "%04x\n", chip.productId);
    writeText(folder + "/idProduct", hex);
    writeText(folder + "/serial", chip.usbSerial + "\n");
    writeText(folder + "/product", chip.product + "\n");
    const std::vector<std::uint8_t> descriptors = deviceDescriptors(chip);
    writeFile(folder + "/descriptors", descriptors.data(), descriptors.size());
    // The node reads as usbfs gives it: the device descriptor, then every configuration's.
    writeFile(nodePath(e, chip), descriptors.data(), descriptors.size());
}

void removeChipFiles(const Emulator& e, const Chip& chip) {
    const std::string folder = chipFolder(e, chip);
    for (const char* name : {"busnum", "devnum", "speed", "bConfigurationValue", "idVendor", "idProduct", "serial",
                             "product", "descriptors"}) {
        ::unlink((folder + "/" + name).c_str());
    }
    ::rmdir(folder.c_str());
    ::unlink(nodePath(e, chip).c_str());
}

void sendUevent(Emulator& e, const Chip& chip, bool added) {
    const char* action = added ? "add" : "remove";
    const std::string devicePath = std::string(kDevicePathPrefix) + chip.sysName();
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "DEVNAME=bus/usb/%03d/%03d", kBus, chip.deviceNumber);
    std::string message = std::string(action) + "@" + devicePath;
    message.push_back('\0');
    for (const std::string& field :
         {std::string("ACTION=") + action, "DEVPATH=" + devicePath, std::string("SUBSYSTEM=usb"),
          std::string("DEVTYPE=usb_device"), std::string(numbers)}) {
        message += field;
        message.push_back('\0');
    }
    std::snprintf(numbers, sizeof numbers, "BUSNUM=%03d", kBus);
    message += numbers;
    message.push_back('\0');
    std::snprintf(numbers, sizeof numbers, "DEVNUM=%03d", chip.deviceNumber);
    message += numbers;
    message.push_back('\0');
    for (const auto& [driverEnd, ourEnd] : e.uevents) {
        (void)driverEnd;
        ::send(ourEnd, message.data(), message.size(), MSG_DONTWAIT);
    }
}

} // namespace usbemu
