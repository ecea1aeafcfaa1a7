// The C library calls through which the vendor's driver reaches USB, answered for the emulated
// chips. Preloaded, these definitions come before the C library's: paths under /sys/bus/usb and
// /dev/bus/usb lead into the private root folder, an opened usbfs node gets the usbfs ioctls and
// poll answers of a device file, and the kernel's uevent socket is a socket pair on which the
// emulator sends kernel-format messages. Every other call goes straight to the C library.
#include "emu_state.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/netlink.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace usbemu {

Emulator& emulator() {
    // Never destroyed: the driver's threads call in until the process is gone.
    static Emulator* instance = new Emulator;
    return *instance;
}

namespace {

// The C library's own definitions of the functions this file replaces, looked up in the
// constructor: looking one up later takes the dynamic linker's lock, which a thread loading the
// driver holds while it waits for the emulator's.
#define USB_EMU_REPLACED(X)                                                                                            \
    X(open)                                                                                                            \
    X(open64)                                                                                                          \
    X(openat)                                                                                                          \
    X(fopen)                                                                                                           \
    X(fopen64)                                                                                                         \
    X(opendir)                                                                                                         \
    X(access)                                                                                                          \
    X(stat) X(stat64) X(lstat) X(lstat64) X(close) X(ioctl) X(poll) X(socket) X(bind) X(setsockopt) X(recvmsg)         \
        X(readlink)
#define USB_EMU_DECLARE_REAL(name) decltype(&::name) real_##name = nullptr;
USB_EMU_REPLACED(USB_EMU_DECLARE_REAL)
#undef USB_EMU_DECLARE_REAL

void resolveReal() {
#define USB_EMU_RESOLVE(name)                                                                                          \
    if (real_##name == nullptr) {                                                                                      \
        real_##name = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name));                                    \
    }
    USB_EMU_REPLACED(USB_EMU_RESOLVE)
#undef USB_EMU_RESOLVE
}

// A call that comes before the constructor (another library's constructor) looks them up then.
#define REAL(name)                                                                                                     \
    if (usbemu::real_##name == nullptr) {                                                                              \
        usbemu::resolveReal();                                                                                         \
    }                                                                                                                  \
    const auto real_##name = usbemu::real_##name

constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr const char* kNodePrefix = "/dev/bus/usb/001/";

Chip* chipOfNodePath(Emulator& e, const char* path) {
    const std::size_t prefix = std::strlen(kNodePrefix);
    if (std::strncmp(path, kNodePrefix, prefix) != 0) {
        return nullptr;
    }
    const int number = std::atoi(path + prefix);
    for (const auto& chip : e.chips) {
        if (chip->plugged && chip->deviceNumber == number) {
            return chip.get();
        }
    }
    return nullptr;
}

// A node the user may not open (control API): the open fails as the kernel's permission check does.
bool refused(const char* path) {
    Emulator& e = emulator();
    Guard guard(e.lock);
    const Chip* chip = chipOfNodePath(e, path);
    return chip != nullptr && chip->refuseOpen;
}

// An open of a usbfs node of a plugged chip becomes a node of that chip.
void adoptNode(int fd, const char* path) {
    if (fd < 0) {
        return;
    }
    Emulator& e = emulator();
    Guard guard(e.lock);
    if (Chip* chip = chipOfNodePath(e, path)) {
        auto node = std::make_unique<Node>();
        node->chip = chip;
        node->deviceNumber = chip->deviceNumber;
        node->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        e.nodes[fd] = std::move(node);
    }
}

int fail(int error) {
    errno = error;
    return -1;
}

// USBDEVFS_IOCTL: a request to the driver of one interface.
int interfaceIoctl(Emulator& e, Node& node, const usbdevfs_ioctl& command) {
    if (command.ifno < 0) {
        return -EINVAL;
    }
    const auto number = static_cast<unsigned>(command.ifno);
    switch (command.ioctl_code) {
    case USBDEVFS_DISCONNECT:
        return disconnectDriver(e, node, number);
    case USBDEVFS_CONNECT:
        return connectDriver(node, number);
    default:
        return -ENOTTY; // no driver of ours answers its own ioctls
    }
}

// USBDEVFS_CONTROL: a control transfer that waits for its end (the chip answers at once).
int controlIoctl(Emulator& e, Node& node, const usbdevfs_ctrltransfer& transfer) {
    if (node.dead) {
        return -ENODEV;
    }
    if (transfer.wLength != 0 && transfer.data == nullptr) {
        return -EFAULT;
    }
    const std::uint8_t setup[8] = {transfer.bRequestType,
                                   transfer.bRequest,
                                   static_cast<std::uint8_t>(transfer.wValue & 0xFF),
                                   static_cast<std::uint8_t>(transfer.wValue >> 8),
                                   static_cast<std::uint8_t>(transfer.wIndex & 0xFF),
                                   static_cast<std::uint8_t>(transfer.wIndex >> 8),
                                   static_cast<std::uint8_t>(transfer.wLength & 0xFF),
                                   static_cast<std::uint8_t>(transfer.wLength >> 8)};
    std::size_t actual = 0;
    const bool in = (transfer.bRequestType & 0x80) != 0;
    std::vector<std::uint8_t> answer(in ? transfer.wLength : 0);
    const int status = controlRequest(e, *node.chip, setup, answer.data(), answer.size(), actual);
    if (status < 0) {
        return status;
    }
    if (in && actual != 0) {
        std::memcpy(transfer.data, answer.data(), actual);
    }
    e.chipWake.notify_one(); // a purge or a new latency changes the chip thread's plans
    return in ? static_cast<int>(actual) : transfer.wLength;
}

int nodeIoctl(Emulator& e, Node& node, unsigned long request, void* argument) {
    if (argument == nullptr && request != USBDEVFS_DISCARDURB && request != USBDEVFS_GET_SPEED) {
        return fail(EFAULT);
    }
    int result = 0;
    switch (request) {
    case USBDEVFS_GET_SPEED:
        return node.dead ? fail(ENODEV) : 3; // USB_SPEED_HIGH
    case USBDEVFS_CONNECTINFO: {
        usbdevfs_connectinfo info{};
        info.devnum = static_cast<unsigned>(node.deviceNumber);
        info.slow = 0;
        std::memcpy(argument, &info, sizeof info);
        return 0;
    }
    case USBDEVFS_GETDRIVER: {
        auto* query = static_cast<usbdevfs_getdriver*>(argument);
        result = interfaceDriver(node, query->interface, query->driver, sizeof query->driver);
        break;
    }
    case USBDEVFS_IOCTL:
        result = interfaceIoctl(e, node, *static_cast<usbdevfs_ioctl*>(argument));
        break;
    case USBDEVFS_DISCONNECT_CLAIM: {
        auto* claim = static_cast<usbdevfs_disconnect_claim*>(argument);
        claim->driver[sizeof claim->driver - 1] = '\0';
        result = disconnectClaim(e, node, claim->interface, claim->flags, claim->driver);
        break;
    }
    case USBDEVFS_CONTROL:
        result = controlIoctl(e, node, *static_cast<usbdevfs_ctrltransfer*>(argument));
        break;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        const unsigned endpoint = *static_cast<unsigned*>(argument);
        bool known = false;
        for (const Interface& interface : node.chip->interfaces) {
            known = known || endpoint == interface.inEndpoint || endpoint == interface.outEndpoint;
        }
        result = node.dead ? -ENODEV : known ? 0 : -ENOENT;
        break;
    }
    case USBDEVFS_SETINTERFACE: {
        const auto* setting = static_cast<usbdevfs_setinterface*>(argument);
        result = node.dead                                            ? -ENODEV
                 : setting->interface >= node.chip->interfaces.size() ? -EINVAL
                 : setting->altsetting != 0                           ? -EINVAL
                                                                      : 0;
        break;
    }
    case USBDEVFS_GET_CAPABILITIES:
        *static_cast<std::uint32_t*>(argument) = kCapabilities;
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        result = claimInterface(e, node, *static_cast<unsigned*>(argument), request == USBDEVFS_CLAIMINTERFACE);
        break;
    case USBDEVFS_SUBMITURB:
        result = submitUrb(e, node, static_cast<usbdevfs_urb*>(argument));
        break;
    case USBDEVFS_REAPURBNDELAY:
        result = reapUrb(node, static_cast<void**>(argument));
        break;
    case USBDEVFS_DISCARDURB:
        result = discardUrb(node, static_cast<usbdevfs_urb*>(argument));
        break;
    case USBDEVFS_SETCONFIGURATION:
        result = node.dead ? -ENODEV : 0;
        break;
    default:
        ++e.unknownRequests;
        if (!e.unknownLogged) {
            e.unknownLogged = true;
            std::fprintf(stderr, "usb_emu: ioctl 0x%lX is not emulated (logged once)\n", request);
        }
        result = -ENOTTY;
    }
    return result < 0 ? fail(-result) : result;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeRoot() {
    Emulator& e = emulator();
    if (e.ownsRoot && !e.root.empty()) {
        ::nftw(e.root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

// The folders of processes that ended without their exit handlers (killed, or left through
// _exit or exec): usb_emu.<pid>.XXXXXX whose process is gone.
void removeStaleRoots(const std::string& parent) {
    REAL(opendir);
    DIR* folder = real_opendir(parent.c_str());
    if (folder == nullptr) {
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(folder)) {
        int pid = 0;
        if (std::sscanf(entry->d_name, "usb_emu.%d.", &pid) == 1 && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
            stale.push_back(parent + "/" + entry->d_name);
        }
    }
    ::closedir(folder);
    for (const std::string& path : stale) {
        ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

// Before the driver loads (it starts its USB layer in a constructor of its own), the chips of
// CORVANE_USB_EMU_BOARDS are plugged in a private folder made under CORVANE_USB_EMU_ROOT (or the
// temporary folder), one per process, removed at exit.
__attribute__((constructor)) void start() {
    resolveReal();
    resolveThreadFunctions();
    Emulator& e = emulator();
    const char* parent = std::getenv("CORVANE_USB_EMU_ROOT");
    if (parent == nullptr || *parent == '\0') {
        parent = std::getenv("TMPDIR");
    }
    const std::string parentFolder = parent != nullptr && *parent != '\0' ? parent : "/tmp";
    removeStaleRoots(parentFolder);
    std::string pattern = parentFolder + "/usb_emu." + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "usb_emu: cannot make a folder %s: %s; no chips emulated\n", pattern.c_str(),
                     std::strerror(errno));
        return;
    }
    {
        Guard guard(e.lock);
        e.root = pattern;
        e.ownsRoot = true;
        loadChips(e);
        e.ready = true;
    }
    std::atexit(removeRoot);
    startChipThread();
}

} // namespace

int closeDescriptor(int fd) {
    REAL(close);
    return real_close(fd);
}

} // namespace usbemu

using usbemu::emulator;
using usbemu::redirect;

namespace {

const char* pathFor(const char* path, std::string& redirected) {
    redirected = redirect(path);
    return redirected.empty() ? path : redirected.c_str();
}

mode_t modeOf(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    REAL(open);
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    std::string redirected;
    const char* target = pathFor(path, redirected);
    if (!redirected.empty() && usbemu::refused(path)) {
        errno = EACCES;
        return -1;
    }
    const int fd = real_open(target, flags, mode);
    if (!redirected.empty()) {
        usbemu::adoptNode(fd, path);
    }
    return fd;
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    REAL(open64);
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    std::string redirected;
    const char* target = pathFor(path, redirected);
    if (!redirected.empty() && usbemu::refused(path)) {
        errno = EACCES;
        return -1;
    }
    const int fd = real_open64(target, flags, mode);
    if (!redirected.empty()) {
        usbemu::adoptNode(fd, path);
    }
    return fd;
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) { return open(path, flags); }
__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) { return open64(path, flags); }

__attribute__((visibility("default"))) int openat(int folder, const char* path, int flags, ...) {
    REAL(openat);
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    std::string redirected;
    const char* target = pathFor(path, redirected);
    if (!redirected.empty() && usbemu::refused(path)) {
        errno = EACCES;
        return -1;
    }
    const int fd = real_openat(folder, target, flags, mode);
    if (!redirected.empty()) {
        usbemu::adoptNode(fd, path);
    }
    return fd;
}

__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode) {
    REAL(fopen);
    std::string redirected;
    return real_fopen(pathFor(path, redirected), mode);
}

__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* mode) {
    REAL(fopen64);
    std::string redirected;
    return real_fopen64(pathFor(path, redirected), mode);
}

__attribute__((visibility("default"))) DIR* opendir(const char* path) {
    REAL(opendir);
    std::string redirected;
    return real_opendir(pathFor(path, redirected));
}

__attribute__((visibility("default"))) int access(const char* path, int mode) {
    REAL(access);
    std::string redirected;
    const char* target = pathFor(path, redirected);
    if (!redirected.empty() && (mode & (R_OK | W_OK)) != 0 && usbemu::refused(path)) {
        errno = EACCES;
        return -1;
    }
    return real_access(target, mode);
}

__attribute__((visibility("default"))) int stat(const char* path, struct stat* out) {
    REAL(stat);
    std::string redirected;
    return real_stat(pathFor(path, redirected), out);
}

__attribute__((visibility("default"))) int stat64(const char* path, struct stat64* out) {
    REAL(stat64);
    std::string redirected;
    return real_stat64(pathFor(path, redirected), out);
}

__attribute__((visibility("default"))) int lstat(const char* path, struct stat* out) {
    REAL(lstat);
    std::string redirected;
    return real_lstat(pathFor(path, redirected), out);
}

__attribute__((visibility("default"))) int lstat64(const char* path, struct stat64* out) {
    REAL(lstat64);
    std::string redirected;
    return real_lstat64(pathFor(path, redirected), out);
}

// /proc/self/fd/N of an open node leads to the node's /dev/bus/usb path, as the kernel shows it,
// not into the private folder.
__attribute__((visibility("default"))) ssize_t readlink(const char* path, char* out, size_t size) {
    REAL(readlink);
    constexpr const char* kOwnFds = "/proc/self/fd/";
    if (std::strncmp(path, kOwnFds, std::strlen(kOwnFds)) == 0) {
        const int fd = std::atoi(path + std::strlen(kOwnFds));
        usbemu::Emulator& e = emulator();
        usbemu::Guard guard(e.lock);
        auto node = e.nodes.find(fd);
        if (node != e.nodes.end()) {
            char target[32];
            const int length =
                std::snprintf(target, sizeof target, "%s%03d", usbemu::kNodePrefix, node->second->deviceNumber);
            const std::size_t copied = std::min<std::size_t>(size, static_cast<std::size_t>(length));
            std::memcpy(out, target, copied);
            return static_cast<ssize_t>(copied);
        }
    }
    return real_readlink(path, out, size);
}

__attribute__((visibility("default"))) ssize_t __readlink_chk(const char* path, char* out, size_t size, size_t) {
    return readlink(path, out, size);
}

__attribute__((visibility("default"))) int close(int fd) {
    REAL(close);
    usbemu::Emulator& e = emulator();
    {
        usbemu::Guard guard(e.lock);
        usbemu::closeNode(e, fd);
        auto uevents = e.uevents.find(fd);
        if (uevents != e.uevents.end()) {
            real_close(uevents->second);
            e.uevents.erase(uevents);
        }
    }
    return real_close(fd);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    usbemu::Emulator& e = emulator();
    {
        usbemu::Guard guard(e.lock);
        auto node = e.nodes.find(fd);
        if (node != e.nodes.end()) {
            if ((request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_DISCONNECT_CLAIM) &&
                e.serialModule == usbemu::Emulator::SerialModule::Auto &&
                usbemu::calledFrom(__builtin_return_address(0), "libftd2xx")) {
                usbemu::unloadSerialModule(e); // the vendor's driver runs where its notes had the module unloaded
            }
            return usbemu::nodeIoctl(e, *node->second, request, argument);
        }
    }
    return real_ioctl(fd, request, argument);
}

// A usbfs node polls POLLOUT while it has finished URBs to reap, and POLLERR | POLLHUP once its
// chip is gone; its eventfd stands in for it in the C library's poll.
__attribute__((visibility("default"))) int poll(struct pollfd* fds, nfds_t count, int timeout) {
    REAL(poll);
    usbemu::Emulator& e = emulator();
    std::vector<pollfd> standIns;
    {
        usbemu::Guard guard(e.lock);
        for (nfds_t i = 0; i < count && !e.nodes.empty(); ++i) {
            auto node = e.nodes.find(fds[i].fd);
            if (node != e.nodes.end()) {
                if (standIns.empty()) {
                    standIns.assign(fds, fds + count);
                }
                standIns[i].fd = node->second->eventFd;
                standIns[i].events = POLLIN;
            }
        }
    }
    if (standIns.empty()) {
        return real_poll(fds, count, timeout);
    }
    const int result = real_poll(standIns.data(), count, timeout);
    if (result < 0) {
        return result;
    }
    int ready = 0;
    usbemu::Guard guard(e.lock);
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = standIns[i].revents;
        auto node = e.nodes.find(fds[i].fd);
        if (node != e.nodes.end() && standIns[i].fd == node->second->eventFd) {
            short events = 0;
            if (!node->second->finished.empty()) {
                events |= static_cast<short>(fds[i].events & (POLLOUT | POLLWRNORM));
            }
            if (node->second->dead) {
                events |= POLLERR | POLLHUP;
            }
            fds[i].revents = events;
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol) {
    REAL(socket);
    if (domain != AF_NETLINK || protocol != NETLINK_KOBJECT_UEVENT || !emulator().ready) {
        return real_socket(domain, type, protocol);
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0, ends) != 0) {
        return -1;
    }
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    usbemu::Emulator& e = emulator();
    usbemu::Guard guard(e.lock);
    e.uevents[ends[0]] = ends[1];
    return ends[0];
}

__attribute__((visibility("default"))) int bind(int fd, const struct sockaddr* address, socklen_t length) {
    REAL(bind);
    usbemu::Emulator& e = emulator();
    {
        usbemu::Guard guard(e.lock);
        if (e.uevents.count(fd) != 0) {
            return 0;
        }
    }
    return real_bind(fd, address, length);
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name, const void* value,
                                                      socklen_t length) {
    REAL(setsockopt);
    usbemu::Emulator& e = emulator();
    {
        usbemu::Guard guard(e.lock);
        if (e.uevents.count(fd) != 0) {
            return 0;
        }
    }
    return real_setsockopt(fd, level, name, value, length);
}

// A uevent read as the kernel sends it: from the kernel's multicast group 1, sender 0, with the
// sender's credentials (uid 0) attached.
__attribute__((visibility("default"))) ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    REAL(recvmsg);
    usbemu::Emulator& e = emulator();
    bool ours = false;
    {
        usbemu::Guard guard(e.lock);
        ours = e.uevents.count(fd) != 0;
    }
    if (!ours || message == nullptr) {
        return real_recvmsg(fd, message, flags);
    }
    msghdr plain{};
    plain.msg_iov = message->msg_iov;
    plain.msg_iovlen = message->msg_iovlen;
    const ssize_t got = real_recvmsg(fd, &plain, flags);
    if (got < 0) {
        return got;
    }
    if (message->msg_name != nullptr && message->msg_namelen >= sizeof(sockaddr_nl)) {
        sockaddr_nl sender{};
        sender.nl_family = AF_NETLINK;
        sender.nl_pid = 0;
        sender.nl_groups = 1;
        std::memcpy(message->msg_name, &sender, sizeof sender);
        message->msg_namelen = sizeof sender;
    }
    if (message->msg_control != nullptr && message->msg_controllen >= CMSG_SPACE(sizeof(ucred))) {
        std::memset(message->msg_control, 0, CMSG_SPACE(sizeof(ucred)));
        message->msg_controllen = CMSG_SPACE(sizeof(ucred));
        cmsghdr* header = CMSG_FIRSTHDR(message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_CREDENTIALS;
        header->cmsg_len = CMSG_LEN(sizeof(ucred));
        const ucred credentials{0, 0, 0};
        std::memcpy(CMSG_DATA(header), &credentials, sizeof credentials);
    } else {
        message->msg_controllen = 0;
    }
    message->msg_flags = plain.msg_flags;
    return got;
}

} // extern "C"
