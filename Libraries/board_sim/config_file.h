// Board files: the simulated boards described in JSON (docs/board-model.md gives the format), and
// the default set of boards used when no file is given.
#pragma once

#include "board_model.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace boardsim {

struct StreamSettings {
    std::uint32_t singleByteChannels = 0; // bit c: single bytes on channel c
    std::uint32_t blockChannels = 0;      // bit c: blocks on channel c
    std::uint32_t blockLength = 16;
    std::uint32_t messagesPerSecond = 0; // 0: as fast as the host reads
    std::uint64_t count = 0;             // 0: endless
};

// One device of the driver's list, as the board file describes it.
struct BoardEntry {
    std::uint32_t id = 0;
    std::string serial;
    std::string description;
    Behaviour behaviour = Behaviour::Silent;
    bool stream = false;
    bool rtl = false; // "logic": "rtl": the example gateware, simulated, instead of the board model
    // "fifo": "sync": the board is wired for the chip's synchronous 245 FIFO (its EEPROM says so);
    // "async" (the default) for the asynchronous FIFO. Both interfaces of a dual-channel chip carry it.
    bool syncFifo = false;
    StreamSettings streamSettings;
    int unplugAfterWrites = 0; // 0: never
    int cutBlocks = 0;         // blocks cut short (negative: all)
    std::uint32_t cutBlockKeep = 0;
    // Unplugged and replugged: (unplug, replug) in milliseconds after the board's first open.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> timetable;
    // 'A' or 'B' for the two interfaces of a dual-channel chip (each listed on its own), else 0.
    char channelLetter = 0;
};

constexpr std::size_t kMaxSerialLength = 15;      // the driver's 16-byte field, terminated
constexpr std::size_t kMaxDescriptionLength = 63; // the driver's 64-byte field, terminated

// Reads a board file's text into the devices it lists, in list order (a dual-channel board gives
// two: its first interface, serial ending in 'A', and then its second, 'B'). Returns false with a
// one-line reason, leaving `boards` empty, for anything that is not a valid board file.
bool parseBoardFile(const std::string& text, std::vector<BoardEntry>& boards, std::string& error);

// For a program that knows nothing of the simulated driver (a user's own, trying the library
// without a board): CORVANE_SIM_BOARDS names a board file, or "default" for the default set,
// loaded once when the driver is first asked for its devices, unless sim_load_boards chose the
// boards before. Called with the driver's lock free.
void loadBoardsFromEnvironment();

// The boards the simulated driver shows when no file is given.
std::vector<BoardEntry> defaultBoards();

} // namespace boardsim
