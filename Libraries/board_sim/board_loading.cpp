// Loading board files into the simulated driver: sim_load_boards and CORVANE_SIM_BOARDS.
#include "board.h"
#include "config_file.h"
#include "sim_state.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {
// Set once boards were loaded by request, so that the environment's choice never replaces them.
std::atomic<bool> boardsChosen{false};
std::once_flag environmentLoad;
} // namespace

void boardsim::loadBoardsFromEnvironment() {
    const char* choice = std::getenv("CORVANE_SIM_BOARDS");
    if (choice == nullptr || *choice == '\0') {
        return;
    }
    std::call_once(environmentLoad, [choice] {
        // Relaxed: the flag only keeps an earlier explicit choice; the boards themselves are
        // handed over under the driver's lock.
        if (boardsChosen.load(std::memory_order_relaxed)) {
            return;
        }
        char reason[512] = "";
        if (sim_load_boards(std::strcmp(choice, "default") == 0 ? nullptr : choice, reason, sizeof reason) < 0) {
            std::fprintf(stderr, "simulated driver: CORVANE_SIM_BOARDS: %s\n", reason);
        }
    });
}

int sim_load_boards(const char* path, char* error, std::uint32_t errorSize) {
    boardsChosen.store(true, std::memory_order_relaxed);
    std::vector<boardsim::BoardEntry> boards;
    std::string reason;
    bool ok = true;
    if (path == nullptr) {
        boards = boardsim::defaultBoards();
    } else {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        if (!file) {
            reason = std::string(path) + ": cannot be read";
            ok = false;
        } else {
            ok = boardsim::parseBoardFile(text.str(), boards, reason);
            reason = std::string(path) + ": " + reason;
        }
    }
    // Every board is built before any replaces the driver's: a board file refused changes nothing.
    std::vector<std::unique_ptr<boardsim::Board>> built;
    for (std::size_t i = 0; ok && i < boards.size(); ++i) {
        std::string refusal;
        built.push_back(boardsim::makeBoard(boards[i], "simulated driver", refusal));
        if (!built.back()) {
            reason = std::string(path == nullptr ? "the default boards" : path) + ": " + refusal;
            ok = false;
        }
    }
    if (!ok) {
        if (error != nullptr && errorSize != 0) {
            std::snprintf(error, errorSize, "%s", reason.c_str());
        }
        return -1;
    }
    sim_reset();
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const boardsim::BoardEntry& settings = boards[i];
        const int device = sim_add_device(settings.id, settings.serial.c_str(), settings.description.c_str());
        {
            // Its behaviour and faults come with it; a model's stream starts below, the gateware's
            // streams by itself.
            auto& d = boardsim::driver();
            boardsim::Guard guard(d.lock);
            boardsim::deviceAt(d, device)->board = std::move(built[i]);
        }
        if (settings.unplugAfterWrites > 0) {
            sim_unplug_after_writes(device, settings.unplugAfterWrites);
        }
        if (!settings.timetable.empty()) {
            std::vector<std::uint32_t> times;
            for (const auto& [unplugAt, replugAt] : settings.timetable) {
                times.push_back(unplugAt);
                times.push_back(replugAt);
            }
            sim_set_plug_timetable(device, times.data(), static_cast<std::uint32_t>(settings.timetable.size()));
        }
        if (settings.stream) {
            const SimStream stream{settings.streamSettings.singleByteChannels, settings.streamSettings.blockChannels,
                                   settings.streamSettings.blockLength, settings.streamSettings.messagesPerSecond,
                                   settings.streamSettings.count};
            sim_set_stream(device, &stream);
        }
    }
    return static_cast<int>(boards.size());
}
