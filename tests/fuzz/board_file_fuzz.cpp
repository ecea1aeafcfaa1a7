// Fuzz target: arbitrary text through the simulated driver's board-file loader (parseBoardFile).
//
// Checked:
// - a file it refuses leaves no boards and gets a one-line reason that names the problem: "not
//   JSON: ..." or the place in the file ("file", "boards", "boards[1].stream.rate", ...), then
//   ": " and what is wrong there;
// - every board of a file it accepts has its fields within their documented ranges (texts of 1 to
//   15 and 1 to 63 bytes, channels 0 to 7, block length 4 to 255, ...) and a serial number of its
//   own;
// - reading the same text again gives the same boards, and so does reading the boards it gave,
//   written back as a file of their own (each as a single-channel board with every field given).
#include "config_file.h"
#include "fuzz_check.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace boardsim;
using nlohmann::json;

constexpr std::uint32_t kChannelMask = 0xFF; // channels 0 to 7
constexpr std::uint32_t kMinBlockLength = 4;
constexpr std::uint32_t kMaxBlockLength = 255;
constexpr std::uint32_t kMaxRate = 100000000;
constexpr std::uint32_t kMaxCutKeep = 254;

bool sameStream(const StreamSettings& a, const StreamSettings& b) {
    return a.singleByteChannels == b.singleByteChannels && a.blockChannels == b.blockChannels &&
           a.blockLength == b.blockLength && a.messagesPerSecond == b.messagesPerSecond && a.count == b.count;
}

bool sameBoards(const std::vector<BoardEntry>& a, const std::vector<BoardEntry>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const BoardEntry& x = a[i];
        const BoardEntry& y = b[i];
        if (x.id != y.id || x.serial != y.serial || x.description != y.description || x.behaviour != y.behaviour ||
            x.stream != y.stream || !sameStream(x.streamSettings, y.streamSettings) ||
            x.unplugAfterWrites != y.unplugAfterWrites || x.cutBlocks != y.cutBlocks ||
            x.cutBlockKeep != y.cutBlockKeep || x.timetable != y.timetable) {
            return false;
        }
    }
    return true;
}

// "boards[12]" and the like: the list's name, then indices in brackets.
bool isPlace(const std::string& place) {
    if (place == "file" || place == "boards") {
        return true;
    }
    if (place.rfind("boards[", 0) != 0) {
        return false;
    }
    // After the board's index: nothing, or a key path such as .stream.blockChannels[0].
    for (char c : place) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '[' ||
                             c == ']' || c == '.';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

bool namesProblem(const std::string& error) {
    if (error.find('\n') != std::string::npos) {
        return false;
    }
    if (error.rfind("not JSON: ", 0) == 0) {
        return error.size() > std::string("not JSON: ").size();
    }
    const std::size_t colon = error.find(": ");
    return colon != std::string::npos && isPlace(error.substr(0, colon)) && colon + 2 < error.size();
}

void checkRanges(const std::vector<BoardEntry>& boards) {
    std::set<std::string> serials;
    for (const BoardEntry& board : boards) {
        FUZZ_CHECK(!board.serial.empty() && board.serial.size() <= kMaxSerialLength);
        FUZZ_CHECK(!board.description.empty() && board.description.size() <= kMaxDescriptionLength);
        // The driver's fields are C strings: a zero byte would cut them short.
        FUZZ_CHECK(board.serial.find('\0') == std::string::npos);
        FUZZ_CHECK(board.description.find('\0') == std::string::npos);
        FUZZ_CHECK(serials.insert(board.serial).second);
        FUZZ_CHECK(board.behaviour == Behaviour::Silent || board.behaviour == Behaviour::Echo ||
                   board.behaviour == Behaviour::Registers);
        const StreamSettings& stream = board.streamSettings;
        if (board.stream) {
            FUZZ_CHECK(board.behaviour == Behaviour::Registers);
            FUZZ_CHECK((stream.singleByteChannels | stream.blockChannels) != 0);
            FUZZ_CHECK(((stream.singleByteChannels | stream.blockChannels) & ~kChannelMask) == 0);
            FUZZ_CHECK(stream.blockLength >= kMinBlockLength && stream.blockLength <= kMaxBlockLength);
            FUZZ_CHECK(stream.messagesPerSecond <= kMaxRate);
            FUZZ_CHECK(stream.count <= static_cast<std::uint64_t>(INT64_MAX));
        } else {
            FUZZ_CHECK(sameStream(stream, StreamSettings{}));
        }
        FUZZ_CHECK(board.unplugAfterWrites >= 0);
        FUZZ_CHECK(board.cutBlocks >= -1 && board.cutBlockKeep <= kMaxCutKeep);
    }
}

json channelList(std::uint32_t mask) {
    json list = json::array();
    for (int channel = 0; channel < 8; ++channel) {
        if ((mask >> channel) & 1) {
            list.push_back(channel);
        }
    }
    return list;
}

// The boards as a file that lists each of them on its own, every field given.
std::string writeBack(const std::vector<BoardEntry>& boards) {
    json list = json::array();
    for (const BoardEntry& board : boards) {
        json entry = {{"id", board.id}, {"serial", board.serial}, {"description", board.description}};
        if (board.stream) {
            entry["behaviour"] = "stream";
            entry["stream"] = {{"singleByteChannels", channelList(board.streamSettings.singleByteChannels)},
                               {"blockChannels", channelList(board.streamSettings.blockChannels)},
                               {"blockLength", board.streamSettings.blockLength},
                               {"rate", board.streamSettings.messagesPerSecond},
                               {"count", board.streamSettings.count}};
        } else {
            entry["behaviour"] = board.behaviour == Behaviour::Echo        ? "echo"
                                 : board.behaviour == Behaviour::Registers ? "registers"
                                                                           : "silent";
        }
        json faults = {{"cutBlocks", {{"count", board.cutBlocks}, {"keep", board.cutBlockKeep}}}};
        if (board.unplugAfterWrites != 0) {
            faults["unplugAfterWrites"] = board.unplugAfterWrites;
        }
        if (!board.timetable.empty()) {
            json timetable = json::array();
            for (const auto& [unplugAt, replugAt] : board.timetable) {
                timetable.push_back({{"unplugAt", unplugAt}, {"replugAt", replugAt}});
            }
            faults["timetable"] = timetable;
        }
        entry["faults"] = faults;
        list.push_back(entry);
    }
    return json{{"boards", list}}.dump();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<BoardEntry> boards;
    std::string error;
    if (!parseBoardFile(text, boards, error)) {
        FUZZ_CHECK(boards.empty());
        if (!namesProblem(error)) {
            std::fprintf(stderr, "reason: %s\n", error.c_str());
            FUZZ_CHECK(namesProblem(error));
        }
        return 0;
    }
    checkRanges(boards);

    std::vector<BoardEntry> again;
    FUZZ_CHECK(parseBoardFile(text, again, error) && sameBoards(boards, again));
    const std::string written = writeBack(boards);
    if (!parseBoardFile(written, again, error)) {
        std::fprintf(stderr, "written back: %s\nrefused: %s\n", written.c_str(), error.c_str());
        FUZZ_CHECK(false);
    }
    FUZZ_CHECK(sameBoards(boards, again));
    return 0;
}
