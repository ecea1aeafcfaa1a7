// list and send: the boards the library finds, and single messages to the active board.
#include "commands.h"
#include "d2xx.h"
#include "platform.h"
#include "receiver.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

namespace corvane::tool {

namespace {

constexpr std::uint32_t kMaxBlockLength = 255;
constexpr std::uint32_t kMaxControlAddress = 15;

// An entry of the driver's list that the library did not record, and why.
struct Skipped {
    int listPosition;
    std::string serial;
    std::string description;
    std::uint32_t id;
    std::string reason;
};

// The driver's own list, read straight from the loaded driver: the library keeps only the boards.
std::vector<Skipped> skippedEntries(const Session& session) {
    auto create = reinterpret_cast<d2xx::PFN_FT_CreateDeviceInfoList>(
        findSymbol(session.driverModule(), "FT_CreateDeviceInfoList"));
    auto get =
        reinterpret_cast<d2xx::PFN_FT_GetDeviceInfoList>(findSymbol(session.driverModule(), "FT_GetDeviceInfoList"));
    d2xx::DWORD count = 0;
    if (create == nullptr || get == nullptr || create(&count) != d2xx::FT_OK || count == 0) {
        return {};
    }
    std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (get(nodes.data(), &count) != d2xx::FT_OK) {
        return {};
    }
    std::set<int> recorded;
    for (const ListedBoard& board : session.boards()) {
        recorded.insert(board.listPosition);
    }
    std::vector<Skipped> skipped;
    for (std::size_t i = 0; i < nodes.size() && i < count; ++i) {
        const int position = static_cast<int>(i) + 1;
        if (recorded.count(position) != 0) {
            continue;
        }
        const std::string serial(nodes[i].SerialNumber, strnlen(nodes[i].SerialNumber, sizeof nodes[i].SerialNumber));
        const std::string description(nodes[i].Description, strnlen(nodes[i].Description, sizeof nodes[i].Description));
        const bool firstInterface = !serial.empty() && serial.back() == 'A';
        skipped.push_back({position, serial, description, nodes[i].ID,
                           firstInterface ? "serial number ends in A (first interface of a dual-channel chip)"
                                          : "not a supported board"});
    }
    return skipped;
}

std::string hexId(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

int usage(const std::string& what) {
    std::fprintf(stderr, "corvane send: %s\n", what.c_str());
    return kExitUsage;
}

} // namespace

int listCommand(Session& session) {
    const std::vector<Skipped> skipped = skippedEntries(session);
    if (session.options().json) {
        nlohmann::json out = {{"boards", nlohmann::json::array()}, {"skipped", nlohmann::json::array()}};
        for (const ListedBoard& board : session.boards()) {
            out["boards"].push_back({{"index", board.index},
                                     {"name", board.name},
                                     {"serial", board.serial},
                                     {"vendorId", hexId(board.vendorId)},
                                     {"productId", hexId(board.productId)},
                                     {"listPosition", board.listPosition}});
        }
        for (const Skipped& entry : skipped) {
            out["skipped"].push_back({{"listPosition", entry.listPosition},
                                      {"serial", entry.serial},
                                      {"description", entry.description},
                                      {"vendorId", hexId(entry.id >> 16)},
                                      {"productId", hexId(entry.id)},
                                      {"reason", entry.reason}});
        }
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    if (session.boards().empty()) {
        std::printf("no supported board found (last error: %s)\n", lastError().c_str());
    } else {
        std::printf("index  serial        VID:PID    name\n");
    }
    for (const ListedBoard& board : session.boards()) {
        std::printf("%5d  %-12s  %s:%s  %s\n", board.index, board.serial.c_str(), hexId(board.vendorId).c_str(),
                    hexId(board.productId).c_str(), board.name.c_str());
    }
    for (const Skipped& entry : skipped) {
        std::printf("skipped: entry %d of the driver's list, %s \"%s\" (%s:%s): %s\n", entry.listPosition,
                    entry.serial.c_str(), entry.description.c_str(), hexId(entry.id >> 16).c_str(),
                    hexId(entry.id).c_str(), entry.reason.c_str());
    }
    return 0;
}

// Block bytes from hexadecimal words ("48656C6C6F" or "48 65 6C") or from @FILE.
static bool blockBytes(const std::vector<std::string>& words, std::vector<std::uint8_t>& bytes, std::string& error) {
    if (words.size() == 1 && !words[0].empty() && words[0][0] == '@') {
        std::ifstream file(words[0].substr(1), std::ios::binary);
        if (!file) {
            error = "cannot read " + words[0].substr(1);
            return false;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return true;
    }
    for (std::string word : words) {
        if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) {
            word = word.substr(2);
        }
        if (word.empty() || word.size() % 2 != 0) {
            error = "\"" + word + "\" is not whole bytes in hexadecimal";
            return false;
        }
        for (std::size_t i = 0; i < word.size(); i += 2) {
            const auto value = parseNumber("0x" + word.substr(i, 2), 0xFF);
            if (!value) {
                error = "\"" + word + "\" is not whole bytes in hexadecimal";
                return false;
            }
            bytes.push_back(static_cast<std::uint8_t>(*value));
        }
    }
    return true;
}

int sendCommand(Session& session, const SendOptions& options) {
    const std::vector<std::string>& v = options.values;
    const std::string& kind = options.kind;
    const std::size_t wanted = kind == "trigger" ? 1 : kind == "block" ? 0 : 2;
    if ((wanted != 0 && v.size() != wanted) || (kind == "block" && v.size() < 2)) {
        return usage(kind + " needs " +
                     (kind == "trigger" ? std::string("VALUE")
                      : kind == "block" ? std::string("ADDRESS and HEX bytes or @FILE")
                                        : std::string("ADDRESS and VALUE")));
    }
    std::uint32_t address = 0;
    if (kind != "trigger") {
        const auto parsed = parseNumber(v[0], kind == "control" ? kMaxControlAddress : 0xFFFFFFFFu);
        if (!parsed) {
            return usage("\"" + v[0] + "\" is not an address" + (kind == "control" ? " from 0 to 15" : ""));
        }
        address = *parsed;
    }
    std::vector<std::uint8_t> bytes;
    if (kind == "block") {
        std::string error;
        if (!blockBytes({v.begin() + 1, v.end()}, bytes, error)) {
            return usage(error);
        }
    } else {
        const auto value = parseNumber(v.back(), 0xFF);
        if (!value) {
            return usage("\"" + v.back() + "\" is not a byte value (0 to 255, or 0x00 to 0xFF)");
        }
        bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    if (!session.openBoard([] { return Receiver::instance().start({-1, true, nullptr, 0, false}); })) {
        return kExitFailure;
    }
    std::printf("send %s %s%s to board %d\n", kind.c_str(), hexBytes(bytes.data(), bytes.size()).c_str(),
                kind == "trigger" ? "" : (" to address " + std::to_string(address)).c_str(), session.board().index);
    std::fflush(stdout);
    int sent = 0;
    if (kind == "trigger") {
        sent = NRV_CV_SendTrigger(bytes[0]);
    } else if (kind == "byte") {
        sent = NRV_CV_SendByte(address, bytes[0]);
    } else if (kind == "block") {
        sent = NRV_CV_SendBlock(address, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    } else {
        sent = NRV_CV_SendTransferControlByte(static_cast<std::uint8_t>(address), bytes[0]);
    }
    if (!sent) {
        return failWithLastError("cannot send the " + kind);
    }
    const double until = nowSeconds() + options.waitMs / 1000.0;
    while (nowSeconds() < until) {
        Receiver::instance().flush();
        sleepMs(5);
    }
    Receiver::instance().stop();
    if (const SimControl* sim = session.sim(); sim != nullptr && session.simDevice() >= 0) {
        const int device = session.simDevice();
        if (kind == "trigger") {
            const std::uint32_t leds = sim->sim_leds(device);
            std::printf("board LEDs: %c%c%c%c\n", leds & 1 ? '*' : '.', leds & 2 ? '*' : '.', leds & 4 ? '*' : '.',
                        leds & 8 ? '*' : '.');
        } else if (kind == "control") {
            std::printf("board control value %u: %d\n", address, sim->sim_control_value(device, address));
        } else {
            std::uint8_t stored[kMaxBlockLength];
            const std::uint32_t length = sim->sim_register(device, address & 0x0F, stored, sizeof stored);
            std::printf("board register %u: %s\n", address & 0x0F, hexBytes(stored, length).c_str());
        }
    }
    return 0;
}

} // namespace corvane::tool
