// Finding the chips: a scan of sysfs at every listing, never libusb's own discovery (which needs
// udev). Nothing is claimed or reset while listing; only the device node of each chip is opened to
// ask which driver holds each interface.
#include "open_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane::open_driver {

namespace {

constexpr const char* kSysDevices = "/sys/bus/usb/devices";
constexpr std::size_t kSerialChars = sizeof(FT_DEVICE_LIST_INFO_NODE::SerialNumber) - 1;
constexpr std::size_t kDescriptionChars = sizeof(FT_DEVICE_LIST_INFO_NODE::Description) - 1;

// A sysfs attribute, whole (binary) or as text without its line end.
bool readAttribute(const std::string& folder, const char* name, std::string& out) {
    const int fd = ::open((folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out.clear();
    char chunk[1024];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
        out.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

std::string textAttribute(const std::string& folder, const char* name) {
    std::string text;
    readAttribute(folder, name, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

long numberAttribute(const std::string& folder, const char* name, int base) {
    const std::string text = textAttribute(folder, name);
    return text.empty() ? -1 : std::strtol(text.c_str(), nullptr, base);
}

// The parts of the device and first configuration descriptors the driver needs.
struct Descriptors {
    std::uint16_t release = 0;
    struct Interface {
        int number = 0;
        std::uint8_t in = 0;
        std::uint8_t out = 0;
        std::uint16_t packetSize = 512;
    };
    std::vector<Interface> interfaces;
};

bool parseDescriptors(const std::string& bytes, Descriptors& out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size < 18 || p[0] != 18 || p[1] != 1) {
        return false;
    }
    out.release = static_cast<std::uint16_t>(p[12] | p[13] << 8);
    std::size_t at = 18;
    if (at + 9 > size || p[at + 1] != 2) {
        return false;
    }
    const std::size_t end = std::min<std::size_t>(size, at + (p[at + 2] | p[at + 3] << 8));
    Descriptors::Interface* current = nullptr;
    while (at + 2 <= end && p[at] >= 2 && at + p[at] <= end) {
        const std::uint8_t* item = p + at;
        if (item[1] == 4 && item[0] >= 9 && item[3] == 0) { // an interface, its first alternate setting
            out.interfaces.push_back({item[2], 0, 0, 512});
            current = &out.interfaces.back();
        } else if (item[1] == 5 && item[0] >= 7 && current != nullptr && (item[3] & 3) == 2) { // bulk endpoint
            ((item[2] & 0x80) != 0 ? current->in : current->out) = item[2];
            current->packetSize = static_cast<std::uint16_t>((item[4] | item[5] << 8) & 0x7FF);
        }
        at += item[0];
    }
    return !out.interfaces.empty();
}

// bus << 24 | up to four port numbers in nibbles << 8 | interface + 1.
DWORD locationOf(const std::string& sysName, int interface) {
    const DWORD bus = static_cast<DWORD>(std::strtoul(sysName.c_str(), nullptr, 10));
    DWORD ports = 0;
    int levels = 0;
    for (std::size_t at = sysName.find('-'); at != std::string::npos && levels < 4; at = sysName.find('.', at + 1)) {
        ports = ports << 4 | (static_cast<DWORD>(std::strtoul(sysName.c_str() + at + 1, nullptr, 10)) & 0xF);
        ++levels;
    }
    return bus << 24 | (ports & 0xFFFF) << 8 | static_cast<DWORD>(interface + 1);
}

bool knownId(const Driver& d, std::uint16_t vendor, std::uint16_t product) {
    return std::find(d.ids.begin(), d.ids.end(), std::make_pair(vendor, product)) != d.ids.end();
}

bool heldByThisProcess(const Driver& d, const std::string& sysName, int interface, FT_HANDLE* handle) {
    for (const auto& h : d.handles) {
        if (h->node.sysName == sysName && h->node.interface == interface) {
            *handle = reinterpret_cast<FT_HANDLE>(h->token);
            return true;
        }
    }
    return false;
}

} // namespace

Driver& driver() {
    static Driver* instance = [] {
        auto* d = new Driver;
        for (std::uint16_t product : {0x6001, 0x6010, 0x6011, 0x6014, 0x6015}) {
            d->ids.emplace_back(kFtdiVendor, product);
        }
        for (std::uint16_t product = 0x8088; product <= 0x808F; ++product) {
            d->ids.emplace_back(kFtdiVendor, product);
        }
        return d;
    }();
    return *instance;
}

void logLine(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "corvane_d2xx: %s\n", text);
}

libusb_context* usbContext(Driver& d) {
    if (d.context == nullptr && !d.contextFailed) {
        // Before libusb_init: no discovery of its own, so no udev and no hotplug thread.
        libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
        const int result = libusb_init(&d.context);
        if (result != LIBUSB_SUCCESS) {
            logLine("libusb could not start (%s): is /dev/bus/usb there?", libusb_error_name(result));
            d.context = nullptr;
            d.contextFailed = true;
        }
    }
    return d.context;
}

std::vector<DeviceNode> scanDevices(Driver& d) {
    std::vector<std::string> names;
    if (DIR* folder = ::opendir(kSysDevices)) {
        while (const dirent* entry = ::readdir(folder)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && std::strchr(entry->d_name, ':') == nullptr) {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(folder);
    }
    std::sort(names.begin(), names.end());
    std::vector<DeviceNode> nodes;
    for (const std::string& name : names) {
        const std::string folder = std::string(kSysDevices) + "/" + name;
        const long vendor = numberAttribute(folder, "idVendor", 16);
        const long product = numberAttribute(folder, "idProduct", 16);
        if (vendor < 0 || product < 0 ||
            !knownId(d, static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product))) {
            continue;
        }
        const long bus = numberAttribute(folder, "busnum", 10);
        const long device = numberAttribute(folder, "devnum", 10);
        std::string raw;
        Descriptors descriptors;
        if (bus < 0 || device < 0 || !readAttribute(folder, "descriptors", raw) ||
            !parseDescriptors(raw, descriptors)) {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/%03ld/%03ld", bus, device);
        const std::string chipSerial = textAttribute(folder, "serial");
        const std::string product_ = textAttribute(folder, "product");
        const bool dual = descriptors.interfaces.size() > 1;
        // Which driver holds each interface, asked through the node (opened only to ask).
        const int probe = ::open(path, O_RDWR | O_CLOEXEC);
        const bool mayNotOpen = probe < 0 && (errno == EACCES || errno == EPERM);
        for (std::size_t i = 0; i < descriptors.interfaces.size(); ++i) {
            const Descriptors::Interface& interface = descriptors.interfaces[i];
            DeviceNode node;
            node.sysName = name;
            node.nodePath = path;
            node.interface = interface.number;
            node.interfaceCount = static_cast<int>(descriptors.interfaces.size());
            node.inEndpoint = interface.in;
            node.outEndpoint = interface.out;
            node.packetSize = interface.packetSize == 0 ? 512 : interface.packetSize;
            node.id = static_cast<ULONG>(vendor) << 16 | static_cast<ULONG>(product);
            node.locId = locationOf(name, interface.number);
            node.type = descriptors.release == kRelease232H || (!dual && descriptors.release != kRelease2232H)
                            ? kDeviceType232H
                            : kDeviceType2232H;
            node.chipSerial = chipSerial;
            const std::string letter = dual ? std::string(1, static_cast<char>('A' + i)) : std::string();
            node.serial = (chipSerial + letter).substr(0, kSerialChars);
            node.description = (dual ? product_ + " " + letter : product_).substr(0, kDescriptionChars);
            if (numberAttribute(folder, "speed", 10) >= 480) {
                node.flags |= FT_FLAGS_HISPEED;
            }
            FT_HANDLE handle = nullptr;
            if (heldByThisProcess(d, name, interface.number, &handle)) {
                node.flags |= FT_FLAGS_OPENED;
                node.handle = handle;
            } else if (mayNotOpen) {
                node.mayNotOpen = true;
            } else if (probe >= 0) {
                usbdevfs_getdriver query{};
                query.interface = static_cast<unsigned>(interface.number);
                node.heldElsewhere = ::ioctl(probe, USBDEVFS_GETDRIVER, &query) == 0 &&
                                     std::strncmp(query.driver, "usbfs", sizeof query.driver) == 0;
            }
            node.blank = node.mayNotOpen || node.heldElsewhere;
            nodes.push_back(node);
        }
        if (probe >= 0) {
            ::close(probe);
        }
    }
    return nodes;
}

bool wantsSynchronousFifo(const DeviceNode& node) {
    const char* setting = std::getenv("CORVANE_FIFO");
    if (setting == nullptr || setting[0] == '\0' || std::strcmp(setting, "async") == 0) {
        return false;
    }
    if (std::strcmp(setting, "sync") == 0) {
        return true;
    }
    const std::string list = std::string(",") + setting + ",";
    return list.find("," + node.serial + ",") != std::string::npos ||
           (!node.chipSerial.empty() && list.find("," + node.chipSerial + ",") != std::string::npos);
}

} // namespace corvane::open_driver
