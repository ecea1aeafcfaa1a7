// Board files: the whole file is read and checked before anything uses it, so a bad file changes
// nothing. Shared by the simulated driver and the emulated chip.
#include "config_file.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <set>
#include <sstream>

namespace boardsim {

namespace {

using nlohmann::json;

// A reason for refusing the file, naming where in it the fault lies.
struct FileError {
    std::string text;
};

[[noreturn]] void refuse(const std::string& where, const std::string& what) { throw FileError{where + ": " + what}; }

// A text from the file, quoted for a reason with JSON's escapes, so that a line break or a zero
// character in it cannot break the reason's one line.
std::string quoted(const std::string& text) { return json(text).dump(); }

void onlyKeys(const json& object, const std::string& where, std::initializer_list<const char*> keys) {
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : keys) {
            known = known || item.key() == key;
        }
        if (!known) {
            refuse(where, "unknown key " + quoted(item.key()));
        }
    }
}

std::int64_t integer(const json& value, const std::string& where, std::int64_t low, std::int64_t high) {
    std::int64_t number = 0;
    if (value.is_number_integer()) {
        number = value.get<std::int64_t>();
    } else if (value.is_string()) {
        // Hexadecimal texts such as "0x04038088" read best for ID words.
        const std::string text = value.get<std::string>();
        std::size_t used = 0;
        try {
            number = static_cast<std::int64_t>(std::stoull(text, &used, 0));
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size()) {
            refuse(where, quoted(text) + " is not a number");
        }
    } else {
        refuse(where, "must be a whole number");
    }
    if (number < low || number > high) {
        refuse(where, std::to_string(number) + " is outside " + std::to_string(low) + " to " + std::to_string(high));
    }
    return number;
}

std::string text(const json& value, const std::string& where, std::size_t maxLength) {
    if (!value.is_string()) {
        refuse(where, "must be a text");
    }
    std::string result = value.get<std::string>();
    if (result.empty() || result.size() > maxLength) {
        refuse(where, "must have 1 to " + std::to_string(maxLength) + " characters");
    }
    // The driver keeps serials and descriptions as C strings, which a zero character would cut
    // short: "S\u0000x" would list as "S", and as the same serial as "S\u0000y".
    if (result.find('\0') != std::string::npos) {
        refuse(where, "must not contain a zero character");
    }
    return result;
}

std::uint32_t channels(const json& value, const std::string& where) {
    if (!value.is_array()) {
        refuse(where, "must be a list of channels 0 to 7");
    }
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        mask |= 1u << integer(value[i], where + "[" + std::to_string(i) + "]", 0, 7);
    }
    return mask;
}

StreamSettings stream(const json& value, const std::string& where) {
    if (!value.is_object()) {
        refuse(where, "must be an object");
    }
    onlyKeys(value, where, {"singleByteChannels", "blockChannels", "blockLength", "rate", "count"});
    StreamSettings settings;
    if (value.contains("singleByteChannels")) {
        settings.singleByteChannels = channels(value["singleByteChannels"], where + ".singleByteChannels");
    }
    if (value.contains("blockChannels")) {
        settings.blockChannels = channels(value["blockChannels"], where + ".blockChannels");
    }
    if (settings.singleByteChannels == 0 && settings.blockChannels == 0) {
        refuse(where, "names no channel");
    }
    if (value.contains("blockLength")) {
        settings.blockLength =
            static_cast<std::uint32_t>(integer(value["blockLength"], where + ".blockLength", 4, 255));
    }
    if (value.contains("rate")) {
        settings.messagesPerSecond = static_cast<std::uint32_t>(integer(value["rate"], where + ".rate", 0, 100000000));
    }
    if (value.contains("count")) {
        settings.count = static_cast<std::uint64_t>(integer(value["count"], where + ".count", 0, INT64_MAX));
    }
    return settings;
}

// A list of {"unplugAt": ms, "replugAt": ms}, each pair after the one before.
std::vector<std::pair<std::uint32_t, std::uint32_t>> timetable(const json& value, const std::string& where) {
    if (!value.is_array() || value.empty()) {
        refuse(where, "must be a list of {\"unplugAt\": ms, \"replugAt\": ms}");
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::int64_t earliest = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        if (!value[i].is_object()) {
            refuse(at, "must be an object");
        }
        onlyKeys(value[i], at, {"unplugAt", "replugAt"});
        for (const char* required : {"unplugAt", "replugAt"}) {
            if (!value[i].contains(required)) {
                refuse(at, std::string("needs \"") + required + "\"");
            }
        }
        constexpr std::int64_t kLatest = 24 * 3600 * 1000; // a day
        const std::int64_t unplugAt = integer(value[i]["unplugAt"], at + ".unplugAt", earliest, kLatest);
        const std::int64_t replugAt = integer(value[i]["replugAt"], at + ".replugAt", unplugAt + 1, kLatest);
        pairs.emplace_back(static_cast<std::uint32_t>(unplugAt), static_cast<std::uint32_t>(replugAt));
        earliest = replugAt + 1;
    }
    return pairs;
}

Behaviour behaviourNamed(const std::string& name, const std::string& where, bool& isStream) {
    isStream = name == "stream";
    if (name == "echo") {
        return Behaviour::Echo;
    }
    if (name == "registers" || isStream) {
        return Behaviour::Registers; // a streaming board still acknowledges control sequences
    }
    if (name != "silent") {
        refuse(where, quoted(name) + " is none of echo, registers, stream, silent");
    }
    return Behaviour::Silent;
}

void board(const json& value, const std::string& where, std::vector<BoardEntry>& boards) {
    if (!value.is_object()) {
        refuse(where, "must be an object");
    }
    onlyKeys(value, where,
             {"id", "serial", "description", "dualChannel", "behaviour", "stream", "faults", "logic", "fifo"});
    for (const char* required : {"id", "serial", "description"}) {
        if (!value.contains(required)) {
            refuse(where, std::string("needs \"") + required + "\"");
        }
    }
    const bool dual = value.contains("dualChannel") && value["dualChannel"].is_boolean() && value["dualChannel"];
    if (value.contains("dualChannel") && !value["dualChannel"].is_boolean()) {
        refuse(where + ".dualChannel", "must be true or false");
    }
    // A dual-channel chip's interfaces add " A"/" B" to the description and A/B to the serial.
    const std::size_t suffix = dual ? 1 : 0;
    BoardEntry settings;
    settings.id = static_cast<std::uint32_t>(integer(value["id"], where + ".id", 0, 0xFFFFFFFF));
    settings.serial = text(value["serial"], where + ".serial", kMaxSerialLength - suffix);
    settings.description = text(value["description"], where + ".description", kMaxDescriptionLength - 2 * suffix);
    if (value.contains("behaviour")) {
        if (!value["behaviour"].is_string()) {
            refuse(where + ".behaviour", "must be a text");
        }
        settings.behaviour =
            behaviourNamed(value["behaviour"].get<std::string>(), where + ".behaviour", settings.stream);
    }
    if (settings.stream != value.contains("stream")) {
        refuse(where,
               settings.stream ? "a stream board needs \"stream\"" : "\"stream\" needs \"behaviour\": \"stream\"");
    }
    if (settings.stream) {
        settings.streamSettings = stream(value["stream"], where + ".stream");
    }
    if (value.contains("logic")) {
        const json& logic = value["logic"];
        if (!logic.is_string() || (logic != "model" && logic != "rtl")) {
            refuse(where + ".logic", "must be \"model\" (the board model) or \"rtl\" (the example gateware)");
        }
        settings.rtl = logic == "rtl";
    }
    if (value.contains("fifo")) {
        const json& fifo = value["fifo"];
        if (!fifo.is_string() || (fifo != "async" && fifo != "sync")) {
            refuse(where + ".fifo", "must be \"async\" or \"sync\" (the synchronous 245 FIFO)");
        }
        settings.syncFifo = fifo == "sync";
    }
    // The gateware counts its stream in 32 bits and has none of the board model's faults.
    if (settings.rtl && settings.stream && settings.streamSettings.count > UINT32_MAX) {
        refuse(where + ".stream.count", std::to_string(settings.streamSettings.count) + " is outside 0 to " +
                                            std::to_string(UINT32_MAX) + " for \"logic\": \"rtl\"");
    }
    if (settings.rtl && value.contains("faults") && value["faults"].is_object() &&
        value["faults"].contains("cutBlocks")) {
        refuse(where + ".faults.cutBlocks", "is a fault of the board model, not of \"logic\": \"rtl\"");
    }
    if (value.contains("faults")) {
        const json& faults = value["faults"];
        const std::string at = where + ".faults";
        if (!faults.is_object()) {
            refuse(at, "must be an object");
        }
        onlyKeys(faults, at, {"unplugAfterWrites", "cutBlocks", "timetable"});
        if (faults.contains("unplugAfterWrites")) {
            settings.unplugAfterWrites =
                static_cast<int>(integer(faults["unplugAfterWrites"], at + ".unplugAfterWrites", 1, INT32_MAX));
        }
        if (faults.contains("cutBlocks")) {
            const json& cut = faults["cutBlocks"];
            if (!cut.is_object()) {
                refuse(at + ".cutBlocks", "must be an object");
            }
            onlyKeys(cut, at + ".cutBlocks", {"count", "keep"});
            settings.cutBlocks = cut.contains("count")
                                     ? static_cast<int>(integer(cut["count"], at + ".cutBlocks.count", -1, INT32_MAX))
                                     : -1;
            settings.cutBlockKeep =
                cut.contains("keep") ? static_cast<std::uint32_t>(integer(cut["keep"], at + ".cutBlocks.keep", 0, 254))
                                     : 0;
        }
        if (faults.contains("timetable")) {
            settings.timetable = timetable(faults["timetable"], at + ".timetable");
        }
    }
    if (dual) {
        BoardEntry first;
        first.id = settings.id;
        first.serial = settings.serial + "A";
        first.description = settings.description + " A";
        first.channelLetter = 'A';
        first.syncFifo = settings.syncFifo;
        boards.push_back(first);
        settings.serial += "B";
        settings.description += " B";
        settings.channelLetter = 'B';
    }
    boards.push_back(settings);
}

} // namespace

bool parseBoardFile(const std::string& text, std::vector<BoardEntry>& boards, std::string& error) {
    boards.clear();
    try {
        const json root = json::parse(text);
        if (!root.is_object() || !root.contains("boards")) {
            refuse("file", "needs an object with a list \"boards\"");
        }
        onlyKeys(root, "file", {"boards", "comment"});
        const json& list = root["boards"];
        if (!list.is_array()) {
            refuse("boards", "must be a list");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            board(list[i], "boards[" + std::to_string(i) + "]", boards);
        }
        std::set<std::string> serials;
        for (const BoardEntry& settings : boards) {
            if (!serials.insert(settings.serial).second) {
                refuse("boards", "serial number " + quoted(settings.serial) + " appears twice");
            }
        }
        return true;
    } catch (const json::exception& e) {
        // A syntax error, or a number too large for any C++ type (1e400), which the JSON parser
        // throws as out_of_range.
        error = std::string("not JSON: ") + e.what();
    } catch (const FileError& e) {
        error = e.text;
    }
    boards.clear();
    return false;
}

std::vector<BoardEntry> defaultBoards() {
    static const char* const kDefault = R"({"boards": [
        {"id": "0x04038088", "serial": "CV000101", "description": "Corvane Eval Board", "dualChannel": true,
         "behaviour": "echo"},
        {"id": "0x04038089", "serial": "CV000102", "description": "Corvane Stream Board", "dualChannel": true,
         "behaviour": "stream", "stream": {"singleByteChannels": [0, 1], "blockChannels": [2, 3],
                                           "blockLength": 32, "rate": 2000}},
        {"id": "0x04036001", "serial": "FT000001", "description": "USB serial cable"}
    ]})";
    std::vector<BoardEntry> boards;
    std::string error;
    parseBoardFile(kDefault, boards, error);
    return boards;
}

} // namespace boardsim
