// The emulated chip: what an FT2232H (or FT232H) does with the USB requests the vendor's driver
// sends through usbfs, and the chip thread that moves bytes between USB and the boards as time
// passes. Each interface has a board on its FIFO side (the board model, or the gateware); the link
// between a model board and the chip runs at the FIFO's rate. Bulk IN data leaves the chip in
// 512-byte packets, each led by the two modem-status bytes: a packet goes as soon as 510 data
// bytes are there, and when the latency timer runs out a short packet (possibly only the two
// status bytes) ends the IN request.
#include "emu_state.h"

#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace usbemu {

namespace {

constexpr std::size_t kPacketData = kPacketSize - kStatusBytes;
constexpr std::size_t kSetupSize = 8;

// FTDI vendor requests.
enum : std::uint8_t {
    kReset = 0x00,
    kModemControl = 0x01,
    kFlowControl = 0x02,
    kBaudRate = 0x03,
    kDataCharacteristics = 0x04,
    kGetModemStatus = 0x05,
    kEventCharacter = 0x06,
    kErrorCharacter = 0x07,
    kSetLatency = 0x09,
    kGetLatency = 0x0A,
    kSetBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
};
enum : std::uint16_t { kResetSio = 0, kPurgeReceive = 1, kPurgeTransmit = 2 };

// Standard requests the driver's USB layer may make.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr const char* kManufacturer = "FTDI";

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// The interface a vendor request addresses: wIndex 1 is A and 2 is B; a modem-status request
// counts its port from 0, and a request with 0 means A.
Interface* interfaceFor(Chip& chip, std::uint8_t request, std::uint16_t index) {
    std::size_t number = index & 0xFF;
    if (request != kGetModemStatus && number > 0) {
        --number;
    }
    return number < chip.interfaces.size() ? &chip.interfaces[number] : nullptr;
}

void restartStream(Interface& interface) { interface.board->restartStream(interface.claimed); }

} // namespace

void purgeReceive(Interface& interface) {
    interface.chipIn.clear();
    interface.boardOut.clear();
    restartStream(interface); // the board starts its numbering again from what the host now sees
}

namespace {

void logUnknownOnce(Emulator& e, const char* what, unsigned a, unsigned b) {
    ++e.unknownRequests;
    if (!e.unknownLogged) {
        e.unknownLogged = true;
        std::fprintf(stderr, "usb_emu: %s 0x%02X/0x%02X is unknown to the chip: stalled (logged once)\n", what, a, b);
    }
}

} // namespace

int controlRequest(Emulator& e, Chip& chip, const std::uint8_t* setup, std::uint8_t* data, std::size_t room,
                   std::size_t& actual) {
    const std::uint8_t type = setup[0];
    const std::uint8_t request = setup[1];
    const auto value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
    const auto index = static_cast<std::uint16_t>(setup[4] | (setup[5] << 8));
    const auto length = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
    actual = 0;
    std::vector<std::uint8_t> answer;
    bool known = true;
    if (type == 0x80 && request == kGetDescriptor) {
        const std::vector<std::uint8_t> all = deviceDescriptors(chip);
        switch (value >> 8) {
        case 1:
            answer.assign(all.begin(), all.begin() + 18);
            break;
        case 2:
            answer.assign(all.begin() + 18, all.end());
            break;
        case 3:
            switch (value & 0xFF) {
            case 0:
                answer = {4, 3, 0x09, 0x04}; // US English
                break;
            case 1:
                answer = stringDescriptor(kManufacturer);
                break;
            case 2:
                answer = stringDescriptor(chip.product);
                break;
            case 3:
                answer = stringDescriptor(chip.usbSerial);
                break;
            default:
                known = false;
            }
            break;
        default:
            known = false;
        }
    } else if (type == 0x80 && request == kGetStatus) {
        answer = {0, 0};
    } else if (type == 0x80 && request == kGetConfiguration) {
        answer = {1}; // the one configuration, always the active one
    } else if (type == 0x00 && request == kSetConfiguration) {
        // The one configuration is always the active one.
    } else if ((type == 0x40 || type == 0xC0) && interfaceFor(chip, request, index) != nullptr) {
        Interface& interface = *interfaceFor(chip, request, index);
        if (type == 0x40) {
            switch (request) {
            case kReset:
                if (value == kResetSio || value == kPurgeReceive) {
                    purgeReceive(interface);
                }
                if (value == kResetSio || value == kPurgeTransmit) {
                    interface.board->resync(); // a message cut off on its way never reaches the board whole
                }
                break;
            case kSetLatency:
                interface.latencyMs = static_cast<std::uint8_t>(value & 0xFF);
                interface.latencySet = true;
                break;
            case kSetBitMode: {
                const auto mode = static_cast<std::uint8_t>(value >> 8);
                // The synchronous 245 FIFO is channel A's alone (an FT232H's only channel).
                if (mode == kSyncFifoMode && interface.number != 0) {
                    return -EPIPE;
                }
                interface.bitMode = mode;
                interface.syncFifo = mode == kSyncFifoMode;
                break;
            }
            case kBaudRate:
                interface.baudDivisor = value;
                break;
            case kModemControl:
            case kFlowControl:
            case kDataCharacteristics:
            case kEventCharacter:
            case kErrorCharacter:
                break;
            default:
                known = false;
            }
        } else {
            switch (request) {
            case kGetModemStatus:
                answer = {kModemStatus, kLineStatusIdle};
                break;
            case kGetLatency:
                answer = {interface.latencyMs};
                break;
            case kReadPins:
                answer = {0xFF};
                break;
            case kReadEeprom:
                answer = {0xFF, 0xFF}; // a blank EEPROM
                break;
            default:
                known = false;
            }
        }
    } else {
        known = false;
    }
    if (!known) {
        logUnknownOnce(e, "control request", type, request);
        return -EPIPE; // a stall, as the chip answers
    }
    actual = std::min<std::size_t>({answer.size(), length, room});
    if (actual != 0) {
        std::memcpy(data, answer.data(), actual);
    }
    return 0;
}

std::uint64_t linkRateOf(const Emulator& e, const Interface& interface) {
    // The gateware's bytes cross the FIFO at the rate its pins and the chip model's timing allow,
    // in the board's simulated time; a link rate in wall-clock time on top would make its rate
    // depend on how fast this machine simulates it (which is slower than the link anyway).
    if (e.linkRate == 0 || interface.board->pacedByPins()) {
        return 0; // CORVANE_USB_EMU_RATE=0 makes every link unlimited
    }
    return interface.syncFifo ? e.syncRate : e.linkRate;
}

namespace {

void addCredit(const Emulator& e, Interface& interface, Clock::time_point now) {
    const std::uint64_t rate = linkRateOf(e, interface);
    if (rate == 0) {
        interface.linkCredit = kLinkBurstBytes;
        interface.creditAt = now;
        return;
    }
    const double seconds = std::chrono::duration<double>(now - interface.creditAt).count();
    interface.linkCredit = std::min(linkBurst(rate), interface.linkCredit + seconds * static_cast<double>(rate));
    interface.creditAt = now;
}

// How much of `wanted` the link lets through now, without taking it.
std::size_t creditFor(const Emulator& e, const Interface& interface, std::size_t wanted) {
    if (linkRateOf(e, interface) == 0) {
        return wanted;
    }
    return std::min<std::size_t>(wanted, static_cast<std::size_t>(std::max(0.0, interface.linkCredit)));
}

std::size_t takeCredit(const Emulator& e, Interface& interface, std::size_t wanted) {
    const std::size_t allowed = creditFor(e, interface, wanted);
    if (linkRateOf(e, interface) != 0) {
        interface.linkCredit -= static_cast<double>(allowed);
    }
    return allowed;
}

// A bulk URB of this interface ends. After an error (a short IN request that must not be short,
// a stall) usbfs cancels the URBs that continue the same transfer, and refuses further ones until
// a new transfer starts, so that no data creeps into a transfer that has ended.
void finishBulk(std::deque<PendingUrb>& queue, const PendingUrb& pending, int status) {
    finishUrb(pending, status);
    if (status >= 0 || status == -ECONNRESET || status == -ENOENT) {
        return;
    }
    const std::uint32_t bit = 1u << ((pending.urb->endpoint & 0x0F) | ((pending.urb->endpoint & 0x80) >> 3));
    for (auto it = queue.begin(); it != queue.end();) {
        if (it->node != pending.node) {
            ++it;
            continue;
        }
        if ((it->urb->flags & USBDEVFS_URB_BULK_CONTINUATION) == 0) {
            return; // the next transfer has begun: the endpoint stays open
        }
        const PendingUrb cancelled = *it;
        it = queue.erase(it);
        finishUrb(cancelled, -ECONNRESET);
    }
    pending.node->disabledBulk |= bit;
}

// Whether the board runs now: a board clocked by the chip (the synchronous FIFO's) only while the
// chip gives its clock, in bit mode 0x40.
bool boardRuns(const Interface& interface) { return !interface.board->needsChipClock() || interface.syncFifo; }

// The FIFO's room towards the host that the board's bytes have not yet claimed.
std::size_t boardRoom(const Interface& interface) {
    const std::size_t held = interface.chipIn.size() + interface.boardOut.size();
    return interface.fifoSize - std::min(interface.fifoSize, held);
}

// The board takes what the host wrote, as fast as the link lets it; an OUT request is finished
// once the board has taken all of it.
void moveOut(Emulator& e, Chip& chip, Interface& interface) {
    std::vector<std::uint8_t> answers;
    while (!interface.outUrbs.empty() && chip.plugged && boardRuns(interface)) {
        if (interface.hangOut > 0 && interface.outTaken == 0) {
            return; // the chip never takes this request: it ends only when the host gives it up
        }
        const PendingUrb pending = interface.outUrbs.front();
        auto* bytes = static_cast<const std::uint8_t*>(pending.urb->buffer);
        const auto length = static_cast<std::size_t>(pending.urb->buffer_length);
        const std::size_t n = takeCredit(e, interface, length - interface.outTaken);
        answers.clear();
        interface.board->fromHost(bytes + interface.outTaken, n, answers, boardRoom(interface));
        interface.boardOut.append(answers.data(), answers.size());
        interface.received.insert(interface.received.end(), bytes + interface.outTaken, bytes + interface.outTaken + n);
        interface.outTaken += n;
        if (interface.outTaken < length) {
            return;
        }
        interface.outTaken = 0;
        interface.outUrbs.pop_front();
        pending.urb->actual_length = static_cast<int>(length);
        finishBulk(interface.outUrbs, pending, 0);
        ++interface.outUrbsDone;
        if (interface.unplugAfterWrites > 0 && --interface.unplugAfterWrites == 0) {
            unplugChip(e, chip); // this write still reached the board whole
        }
    }
}

// The board's answers and stream cross the FIFO into the chip's buffer, as far as the buffer has
// room and the link lets them: the stream makes its messages only then (it waits on the chip's
// flag), so a host that stops asking holds the board back and nothing is lost.
void moveIn(Emulator& e, Interface& interface, Clock::time_point now) {
    const std::size_t room = interface.fifoSize - std::min(interface.fifoSize, interface.chipIn.size());
    const std::size_t budget = creditFor(e, interface, room);
    bool streamWaits = false;
    if (interface.claimed && boardRuns(interface)) {
        boardsim::Board& board = *interface.board;
        if (interface.boardOut.size() < budget) {
            board.toHost(interface.boardOut, now, interface.chipIn.size() + interface.boardOut.size(),
                         budget - interface.boardOut.size());
        }
        streamWaits = board.streaming() && (interface.boardOut.size() >= budget || board.heldBack());
    }
    std::uint8_t run[kDualChipFifo];
    const std::size_t n = takeCredit(e, interface, std::min({room, interface.boardOut.size(), sizeof run}));
    interface.boardOut.take(run, n);
    interface.chipIn.append(run, n);
    interface.boardWaiting = !interface.boardOut.empty() || streamWaits;
}

void putPacket(Interface& interface, usbdevfs_urb* urb, std::size_t data) {
    auto* out = static_cast<std::uint8_t*>(urb->buffer) + urb->actual_length;
    out[0] = kModemStatus;
    out[1] = interface.outUrbs.empty() ? kLineStatusIdle : 0;
    interface.chipIn.take(out + kStatusBytes, data);
    interface.dataToHost += data;
    urb->actual_length += static_cast<int>(kStatusBytes + data);
}

std::chrono::milliseconds latency(const Interface& interface) {
    return std::chrono::milliseconds(std::max<int>(1, interface.latencyMs));
}

// A fault meets a request no sooner than this after its submission, as a bus's answer comes
// later than the submit: a driver submits every URB of a transfer before any of them fails.
constexpr auto kFaultDelay = std::chrono::milliseconds(5);

bool inFaultArmed(const Interface& interface) {
    return interface.stallIn > 0 || interface.shortIn > 0 || interface.noStatusIn > 0;
}

// An armed fault on the IN request at the head of the queue: returns the status it ends with, or
// 1 when no fault applies (or it waits for data), or 2 when the fault waits for its time.
int inFault(Interface& interface, const PendingUrb& pending, Clock::time_point now) {
    usbdevfs_urb* urb = pending.urb;
    if (urb->actual_length != 0 || !inFaultArmed(interface)) {
        return 1;
    }
    if (now < pending.submitted + kFaultDelay) {
        return 2;
    }
    if (interface.stallIn > 0) {
        --interface.stallIn;
        return -EPIPE;
    }
    if (interface.shortIn > 0 && urb->buffer_length >= 1) {
        --interface.shortIn;
        static_cast<std::uint8_t*>(urb->buffer)[0] = kModemStatus; // half of the status, nothing else
        urb->actual_length = 1;
        return 0;
    }
    if (interface.noStatusIn > 0 && urb->buffer_length >= static_cast<int>(kPacketSize) &&
        interface.chipIn.size() >= kPacketSize) {
        --interface.noStatusIn;
        interface.chipIn.take(static_cast<std::uint8_t*>(urb->buffer), kPacketSize); // data where the status goes
        interface.dataToHost += kPacketSize;
        urb->actual_length = static_cast<int>(kPacketSize);
        return 0;
    }
    return 1;
}

// IN requests are served in the order they came: whole packets while 510 bytes are there, and a
// short packet that ends the request when the latency timer runs out. Returns whether a packet
// went out.
bool serveIn(Interface& interface, Clock::time_point now) {
    bool moved = false;
    while (!interface.inUrbs.empty()) {
        const PendingUrb pending = interface.inUrbs.front();
        usbdevfs_urb* urb = pending.urb;
        const int fault = inFault(interface, pending, now);
        if (fault == 2) {
            return moved;
        }
        if (fault <= 0) {
            interface.inUrbs.pop_front();
            const bool shortOk =
                fault < 0 || (urb->flags & USBDEVFS_URB_SHORT_NOT_OK) == 0 || urb->actual_length == urb->buffer_length;
            finishBulk(interface.inUrbs, pending, shortOk ? fault : -EREMOTEIO);
            interface.lastPacket = now;
            moved = true;
            continue;
        }
        const auto room = static_cast<std::size_t>(urb->buffer_length - urb->actual_length);
        bool done = room < kStatusBytes;
        if (!done && interface.chipIn.size() >= kPacketData && room >= kPacketSize) {
            putPacket(interface, urb, kPacketData);
            interface.lastPacket = now;
            moved = true;
            done = static_cast<std::size_t>(urb->buffer_length - urb->actual_length) < kPacketSize;
        } else if (!done && now >= interface.lastPacket + latency(interface)) {
            const std::size_t data = std::min({interface.chipIn.size(), room - kStatusBytes, kPacketData});
            if (data == 0) {
                ++interface.statusOnlyPackets;
            }
            putPacket(interface, urb, data);
            interface.lastPacket = now;
            moved = true;
            done = true;
        } else if (!done) {
            return moved;
        }
        if (done) {
            interface.inUrbs.pop_front();
            const bool shortOk =
                (urb->flags & USBDEVFS_URB_SHORT_NOT_OK) == 0 || urb->actual_length == urb->buffer_length;
            finishBulk(interface.inUrbs, pending, shortOk ? 0 : -EREMOTEIO);
        }
    }
    return moved;
}

// Bytes of link credit worth a wake-up of the chip thread: 4 KiB at the async FIFO's rate, so
// that it wakes about 2000 times a second, and no more than about 4000 times at faster rates.
double wakeCredit(std::uint64_t rate) {
    return std::clamp(static_cast<double>(rate) / 4000.0, 4096.0, linkBurst(rate) / 2);
}

// Moves what is due on one interface; returns when it next needs the chip thread.
Clock::time_point advance(Emulator& e, Chip& chip, Interface& interface, Clock::time_point now) {
    addCredit(e, interface, now);
    moveOut(e, chip, interface);
    if (!chip.plugged) {
        return Clock::time_point::max();
    }
    // The FIFO and the IN requests take turns until neither moves: a pass serves every request
    // the board's data and the link's credit can fill, not one FIFO's worth.
    do {
        moveIn(e, interface, now);
    } while (serveIn(interface, now));
    moveIn(e, interface, now); // the room the IN requests made
    auto next = Clock::time_point::max();
    if (!interface.inUrbs.empty()) {
        next = std::min(next, interface.lastPacket + latency(interface));
        if (inFaultArmed(interface) && interface.inUrbs.front().urb->actual_length == 0) {
            next = std::min(next, interface.inUrbs.front().submitted + kFaultDelay);
        }
    }
    const std::uint64_t rate = linkRateOf(e, interface);
    if (rate != 0) {
        // Waiting for the link's credit, not for the host: the FIFO has room the board would fill,
        // or an OUT request the board would take.
        double wanted = 0;
        const std::size_t room = interface.fifoSize - std::min(interface.fifoSize, interface.chipIn.size());
        // What the FIFO and the waiting IN requests could take (a wake for less is wasted).
        std::size_t takers = room;
        for (const PendingUrb& pending : interface.inUrbs) {
            takers += static_cast<std::size_t>(pending.urb->buffer_length - pending.urb->actual_length);
        }
        if (interface.boardWaiting && room != 0) {
            wanted = std::min<double>(static_cast<double>(takers), wakeCredit(rate));
        }
        if (!interface.outUrbs.empty() && interface.hangOut == 0) {
            const auto left = static_cast<double>(interface.outUrbs.front().urb->buffer_length) -
                              static_cast<double>(interface.outTaken);
            wanted = std::max(wanted, std::min(std::max(left, 1.0), wakeCredit(rate)));
        }
        if (wanted > interface.linkCredit) {
            next = std::min(next, now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                            (wanted - interface.linkCredit) / static_cast<double>(rate))));
        }
    }
    if (interface.claimed && boardRuns(interface)) {
        next = std::min(next, interface.board->nextDue(now));
    }
    return next;
}

Clock::time_point applyTimetable(Emulator& e, Chip& chip, Clock::time_point now) {
    while (chip.timetableStarted && chip.timetableNext < 2 * chip.timetable.size()) {
        const auto& entry = chip.timetable[chip.timetableNext / 2];
        const std::uint32_t atMs = chip.timetableNext % 2 == 0 ? entry.first : entry.second;
        const auto due = chip.timetableStart + std::chrono::milliseconds(atMs);
        if (now < due) {
            return due;
        }
        if (chip.timetableNext % 2 == 0) {
            unplugChip(e, chip);
        } else {
            replugChip(e, chip);
        }
        ++chip.timetableNext;
    }
    return Clock::time_point::max();
}

void chipThreadMain() {
    Emulator& e = emulator();
    std::unique_lock<std::mutex> lock(e.lock);
    for (;;) {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (const auto& chip : e.chips) {
            next = std::min(next, applyTimetable(e, *chip, now));
            if (!chip->plugged) {
                continue;
            }
            for (Interface& interface : chip->interfaces) {
                next = std::min(next, advance(e, *chip, interface, now));
            }
        }
        // Always with a deadline: an untimed wait would go through the replaced pthread_cond_wait.
        e.chipWakeAt = std::min(next, now + std::chrono::hours(1));
        e.chipWake.wait_until(lock, e.chipWakeAt);
        e.chipWakeAt = Clock::time_point::min(); // awake: nobody needs to wake it
    }
}

Interface* interfaceOfEndpoint(Chip& chip, std::uint8_t endpoint) {
    for (Interface& interface : chip.interfaces) {
        if (interface.inEndpoint == endpoint || interface.outEndpoint == endpoint) {
            return &interface;
        }
    }
    return nullptr;
}

// Every URB the node has with the chip, taken out of the chip's queues.
std::vector<PendingUrb> takePending(Chip& chip, const Node* node) {
    std::vector<PendingUrb> taken;
    for (Interface& interface : chip.interfaces) {
        for (auto* queue : {&interface.inUrbs, &interface.outUrbs}) {
            for (auto it = queue->begin(); it != queue->end();) {
                if (node == nullptr || it->node == node) {
                    if (queue == &interface.outUrbs && it == interface.outUrbs.begin()) {
                        interface.outTaken = 0;
                    }
                    taken.push_back(*it);
                    it = queue->erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    return taken;
}

std::vector<boardsim::BoardEntry> boardsFromEnvironment() {
    const char* path = std::getenv("CORVANE_USB_EMU_BOARDS");
    if (path == nullptr || *path == '\0' || std::strcmp(path, "default") == 0) {
        return boardsim::defaultBoards();
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<boardsim::BoardEntry> boards;
    std::string reason = "cannot be read";
    if (!file || !boardsim::parseBoardFile(text.str(), boards, reason)) {
        std::fprintf(stderr, "usb_emu: CORVANE_USB_EMU_BOARDS: %s: %s; no chips emulated\n", path, reason.c_str());
        boards.clear();
    }
    return boards;
}

void addInterface(Chip& chip, const boardsim::BoardEntry& described, std::unique_ptr<boardsim::Board> board,
                  bool serialModuleUnloaded) {
    Interface interface;
    interface.number = static_cast<int>(chip.interfaces.size());
    interface.inEndpoint = static_cast<std::uint8_t>(0x81 + 2 * interface.number);
    interface.outEndpoint = static_cast<std::uint8_t>(0x02 + 2 * interface.number);
    interface.described = described;
    interface.board = std::move(board); // its behaviour, faults and stream as the board file says
    interface.unplugAfterWrites = described.unplugAfterWrites;
    if (serialModuleUnloaded) {
        interface.kernelDriver.clear();
    }
    chip.interfaces.push_back(std::move(interface));
    // Two interfaces share an FT2232H; an FT232H has one, with a quarter of the buffer.
    for (Interface& each : chip.interfaces) {
        each.fifoSize = chip.dual ? kDualChipFifo : kSingleChipFifo;
    }
    if (!described.timetable.empty()) {
        chip.timetable = described.timetable;
    }
}

} // namespace

void finishUrb(const PendingUrb& pending, int status) {
    pending.urb->status = status;
    pending.node->finished.push_back(pending.urb);
    signalNode(*pending.node);
}

void signalNode(Node& node) {
    if (!node.signalled) {
        const std::uint64_t one = 1;
        if (::write(node.eventFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
            node.signalled = true;
        }
    }
}

void loadChips(Emulator& e) {
    const char* rate = std::getenv("CORVANE_USB_EMU_RATE");
    if (rate != nullptr && *rate != '\0') {
        e.linkRate = std::strtoull(rate, nullptr, 10);
    }
    const char* syncRate = std::getenv("CORVANE_USB_EMU_SYNC_RATE");
    if (syncRate != nullptr && *syncRate != '\0') {
        e.syncRate = std::strtoull(syncRate, nullptr, 10);
    }
    const char* serialModule = std::getenv("CORVANE_USB_EMU_SERIAL_DRIVER");
    if (serialModule != nullptr && std::strcmp(serialModule, "loaded") == 0) {
        e.serialModule = Emulator::SerialModule::Loaded;
    } else if (serialModule != nullptr && std::strcmp(serialModule, "unloaded") == 0) {
        e.serialModule = Emulator::SerialModule::Unloaded;
    }
    const std::vector<boardsim::BoardEntry> boards = boardsFromEnvironment();
    // Every board is built first: a board this library cannot have refuses the file, as a bad one.
    std::vector<std::unique_ptr<boardsim::Board>> built;
    for (const boardsim::BoardEntry& described : boards) {
        std::string refusal;
        built.push_back(boardsim::makeBoard(described, "usb_emu", refusal));
        if (!built.back()) {
            const char* path = std::getenv("CORVANE_USB_EMU_BOARDS");
            std::fprintf(stderr, "usb_emu: CORVANE_USB_EMU_BOARDS: %s: %s; no chips emulated\n",
                         path != nullptr && *path != '\0' ? path : "default", refusal.c_str());
            return;
        }
    }
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const boardsim::BoardEntry& described = boards[i];
        auto chip = std::make_unique<Chip>();
        chip->vendorId = static_cast<std::uint16_t>(described.id >> 16);
        chip->productId = static_cast<std::uint16_t>(described.id & 0xFFFF);
        chip->dual = described.channelLetter == 'A' && i + 1 < boards.size() && boards[i + 1].channelLetter == 'B';
        // The driver adds the interface's letter to the strings the chip reports.
        chip->usbSerial = chip->dual ? described.serial.substr(0, described.serial.size() - 1) : described.serial;
        chip->product =
            chip->dual ? described.description.substr(0, described.description.size() - 2) : described.description;
        const bool unloaded = e.serialModule == Emulator::SerialModule::Unloaded;
        addInterface(*chip, described, std::move(built[i]), unloaded);
        if (chip->dual) {
            ++i;
            addInterface(*chip, boards[i], std::move(built[i]), unloaded);
        }
        chip->port = static_cast<int>(e.chips.size()) + 1;
        chip->deviceNumber = e.nextDeviceNumber++;
        writeChipFiles(e, *chip);
        e.chips.push_back(std::move(chip));
    }
}

int submitUrb(Emulator& e, Node& node, usbdevfs_urb* urb) {
    if (node.dead || !node.chip->plugged) {
        return -ENODEV;
    }
    if (urb == nullptr || urb->buffer_length < 0 || (urb->buffer == nullptr && urb->buffer_length != 0)) {
        return -EINVAL;
    }
    Chip& chip = *node.chip;
    urb->actual_length = 0;
    urb->status = -EINPROGRESS;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && (urb->endpoint & 0x7F) == 0) {
        if (static_cast<std::size_t>(urb->buffer_length) < kSetupSize) {
            return -EINVAL;
        }
        auto* bytes = static_cast<std::uint8_t*>(urb->buffer);
        std::size_t actual = 0;
        const int status = controlRequest(e, chip, bytes, bytes + kSetupSize, urb->buffer_length - kSetupSize, actual);
        urb->actual_length = static_cast<int>(actual);
        finishUrb(PendingUrb{urb, &node}, status);
        e.chipWake.notify_one(); // a purge or a new latency changes the chip thread's plans
        return 0;
    }
    Interface* interface = interfaceOfEndpoint(chip, urb->endpoint);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || interface == nullptr) {
        return -EINVAL;
    }
    if (((node.claimed >> interface->number) & 1u) == 0) {
        // usbfs claims an interface used unclaimed, if it can (not while another driver has it).
        if (const int claimed = claimInterface(e, node, static_cast<unsigned>(interface->number), true); claimed < 0) {
            return claimed;
        }
    }
    const bool in = (urb->endpoint & 0x80) != 0;
    const std::uint32_t bit = 1u << ((urb->endpoint & 0x0F) | (in ? 16u : 0u));
    if ((urb->flags & USBDEVFS_URB_BULK_CONTINUATION) == 0) {
        node.disabledBulk &= ~bit; // a new transfer opens the endpoint again
    } else if ((node.disabledBulk & bit) != 0) {
        return -EREMOTEIO; // the transfer it continues has ended
    }
    const auto now = Clock::now();
    (in ? interface->inUrbs : interface->outUrbs).push_back(PendingUrb{urb, &node, now});
    // Served at once as far as it can be; the chip thread is woken only when this brings its
    // next deadline forward (a wake for every request costs a thread switch each).
    if (advance(e, chip, *interface, now) < e.chipWakeAt) {
        e.chipWake.notify_one();
    }
    return 0;
}

// A reap with nothing finished answers EAGAIN at once: the node polls ready only while it has
// finished URBs, so the driver's loop of reaps and polls sleeps in poll rather than spinning.
// (A wait here would only add itself to every synchronous write, whose thread reaps until EAGAIN.)
int reapUrb(Node& node, void** out) {
    if (out == nullptr) {
        return -EFAULT;
    }
    if (node.finished.empty()) {
        if (!node.dead && node.signalled) {
            std::uint64_t count = 0;
            if (::read(node.eventFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
                node.signalled = false;
            }
        }
        return node.dead ? -ENODEV : -EAGAIN;
    }
    *out = node.finished.front();
    node.finished.pop_front();
    return 0;
}

int discardUrb(Node& node, usbdevfs_urb* urb) {
    for (Interface& interface : node.chip->interfaces) {
        for (auto* queue : {&interface.inUrbs, &interface.outUrbs}) {
            for (auto it = queue->begin(); it != queue->end(); ++it) {
                if (it->urb == urb && it->node == &node) {
                    if (queue == &interface.outUrbs && it == interface.outUrbs.begin()) {
                        if (interface.hangOut > 0 && interface.outTaken == 0) {
                            --interface.hangOut; // the request the chip would not take is given up
                        }
                        interface.outTaken = 0;
                    }
                    const PendingUrb pending = *it;
                    queue->erase(it);
                    finishUrb(pending, -ECONNRESET);
                    return 0;
                }
            }
        }
    }
    return -EINVAL; // not pending: finished already, or never submitted here
}

void closeNode(Emulator& e, int fd) {
    auto found = e.nodes.find(fd);
    if (found == e.nodes.end()) {
        return;
    }
    Node& node = *found->second;
    if (!node.dead) {
        takePending(*node.chip, &node); // the kernel kills a closing file's URBs
        for (Interface& interface : node.chip->interfaces) {
            if ((node.claimed >> interface.number) & 1u) {
                interface.claimed = false;
                interface.owner = nullptr;
                interface.kernelDriver.clear(); // usbfs lets go; the serial driver does not come back by itself
            }
        }
    }
    closeDescriptor(node.eventFd); // the C library's: this thread holds the emulator's lock
    e.nodes.erase(found);
}

void unplugChip(Emulator& e, Chip& chip) {
    if (!chip.plugged) {
        return;
    }
    chip.plugged = false;
    // Every URB still with the chip fails; the driver reaps them after the disconnect.
    for (const PendingUrb& pending : takePending(chip, nullptr)) {
        finishUrb(pending, -ENODEV);
    }
    for (Interface& interface : chip.interfaces) {
        interface.claimed = false;
        interface.owner = nullptr;
        interface.heldElsewhere = false;
        interface.chipIn.clear();
        interface.boardOut.clear();
        interface.board->restartStream(false);
    }
    for (auto& [fd, node] : e.nodes) {
        (void)fd;
        if (node->chip == &chip) {
            node->dead = true;
            signalNode(*node);
        }
    }
    removeChipFiles(e, chip);
    sendUevent(e, chip, false);
}

void replugChip(Emulator& e, Chip& chip) {
    if (chip.plugged) {
        return;
    }
    chip.plugged = true;
    chip.deviceNumber = e.nextDeviceNumber++;
    for (Interface& interface : chip.interfaces) {
        interface.board->resync();
        interface.latencyMs = kDefaultLatencyMs;
        interface.latencySet = false;
        interface.outTaken = 0;
        // Bound again at every plug, while its module is loaded.
        interface.kernelDriver = e.serialModule == Emulator::SerialModule::Unloaded ? "" : kSerialDriver;
        interface.bitMode = 0;
        interface.syncFifo = false;
        interface.hangOut = 0;
    }
    writeChipFiles(e, chip);
    sendUevent(e, chip, true);
    e.chipWake.notify_one();
}

int claimInterface(Emulator& e, Node& node, unsigned number, bool claim) {
    Chip& chip = *node.chip;
    if (node.dead) {
        return -ENODEV;
    }
    if (number >= chip.interfaces.size()) {
        return -ENOENT;
    }
    Interface& interface = chip.interfaces[number];
    const bool ours = ((node.claimed >> number) & 1u) != 0;
    if (claim) {
        if (ours) {
            return 0; // claimed already through this file
        }
        // Another file or process holds it, or a kernel driver is bound (the serial driver).
        if (interface.claimed || interface.heldElsewhere || !interface.kernelDriver.empty()) {
            return -EBUSY;
        }
        node.claimed |= 1u << number;
        interface.claimed = true;
        interface.owner = &node;
        interface.kernelDriver = kUsbfsDriver;
        restartStream(interface);
        if (!chip.timetable.empty() && !chip.timetableStarted) {
            chip.timetableStarted = true; // the timetable counts from the first open
            chip.timetableStart = Clock::now();
        }
    } else {
        if (!ours) {
            return -EINVAL;
        }
        node.claimed &= ~(1u << number);
        interface.claimed = false;
        interface.owner = nullptr;
        interface.kernelDriver.clear();
        // usbfs kills the file's URBs on an interface it lets go.
        for (auto* queue : {&interface.inUrbs, &interface.outUrbs}) {
            for (auto it = queue->begin(); it != queue->end();) {
                if (it->node != &node) {
                    ++it;
                    continue;
                }
                if (queue == &interface.outUrbs && it == interface.outUrbs.begin()) {
                    interface.outTaken = 0;
                }
                const PendingUrb killed = *it;
                it = queue->erase(it);
                finishUrb(killed, -ENOENT);
            }
        }
    }
    e.chipWake.notify_one();
    return 0;
}

int interfaceDriver(Node& node, unsigned number, char* out, std::size_t size) {
    if (node.dead) {
        return -ENODEV;
    }
    if (number >= node.chip->interfaces.size()) {
        return -EINVAL;
    }
    const std::string& driver = node.chip->interfaces[number].kernelDriver;
    if (driver.empty()) {
        return -ENODATA;
    }
    std::snprintf(out, size, "%s", driver.c_str());
    return 0;
}

// DISCONNECT unbinds whatever driver has the interface: the serial driver, or usbfs for a file
// that claimed it (that file loses its claim, as with the kernel). An interface held by another
// process the emulator does not run stays held: EBUSY.
int disconnectDriver(Emulator& e, Node& node, unsigned number) {
    if (node.dead) {
        return -ENODEV;
    }
    if (number >= node.chip->interfaces.size()) {
        return -EINVAL;
    }
    Interface& interface = node.chip->interfaces[number];
    if (interface.heldElsewhere) {
        return -EBUSY;
    }
    if (interface.kernelDriver.empty()) {
        return -ENODATA;
    }
    if (interface.owner != nullptr) {
        claimInterface(e, *interface.owner, number, false);
    }
    interface.kernelDriver.clear();
    return 0;
}

// CONNECT lets the kernel bind a driver: the serial driver takes a free interface (1: bound).
int connectDriver(Node& node, unsigned number) {
    if (node.dead) {
        return -ENODEV;
    }
    if (number >= node.chip->interfaces.size()) {
        return -EINVAL;
    }
    Interface& interface = node.chip->interfaces[number];
    if (!interface.kernelDriver.empty() || interface.heldElsewhere) {
        return -EBUSY;
    }
    interface.kernelDriver = kSerialDriver;
    return 1;
}

int disconnectClaim(Emulator& e, Node& node, unsigned number, unsigned flags, const char* driver) {
    if (node.dead) {
        return -ENODEV;
    }
    if (number >= node.chip->interfaces.size()) {
        return -EINVAL;
    }
    Interface& interface = node.chip->interfaces[number];
    if (!interface.kernelDriver.empty()) {
        const bool same = std::strncmp(driver, interface.kernelDriver.c_str(), USBDEVFS_MAXDRIVERNAME) == 0;
        if (((flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 && !same) ||
            ((flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 && same)) {
            return -EBUSY;
        }
        if (((node.claimed >> number) & 1u) == 0) {
            if (const int result = disconnectDriver(e, node, number); result < 0) {
                return result;
            }
        }
    }
    return claimInterface(e, node, number, true);
}

void unloadSerialModule(Emulator& e) {
    e.serialModule = Emulator::SerialModule::Unloaded;
    for (const auto& chip : e.chips) {
        for (Interface& interface : chip->interfaces) {
            if (interface.kernelDriver == kSerialDriver) {
                interface.kernelDriver.clear();
            }
        }
    }
}

void startChipThread() { std::thread(chipThreadMain).detach(); }

} // namespace usbemu
