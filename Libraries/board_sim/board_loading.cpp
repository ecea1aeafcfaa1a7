// Loading board files into the simulated driver: sim_load_boards and CORVANE_SIM_BOARDS.
#include "config_file.h"
#include "rtl_kind.h"
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
    for (const boardsim::BoardEntry& settings : boards) {
        if (ok && settings.rtl && *boardsim::rtlKindMissingReason() != '\0') {
            reason = std::string(path) + ": board " + settings.serial + " asks for \"logic\": \"rtl\", but " +
                     boardsim::rtlKindMissingReason();
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
    for (const boardsim::BoardEntry& settings : boards) {
        const int device = sim_add_device(settings.id, settings.serial.c_str(), settings.description.c_str());
        sim_set_behaviour(device, static_cast<int>(settings.behaviour));
        if (settings.rtl) {
            // The gateware answers in place of the board model, and streams by itself.
            auto& d = boardsim::driver();
            boardsim::Guard guard(d.lock);
            boardsim::deviceAt(d, device)->rtl = boardsim::makeRtlKind(settings);
        }
        if (settings.unplugAfterWrites > 0) {
            sim_unplug_after_writes(device, settings.unplugAfterWrites);
        }
        sim_cut_blocks(device, settings.cutBlocks, settings.cutBlockKeep);
        if (!settings.timetable.empty()) {
            std::vector<std::uint32_t> times;
            for (const auto& [unplugAt, replugAt] : settings.timetable) {
                times.push_back(unplugAt);
                times.push_back(replugAt);
            }
            sim_set_plug_timetable(device, times.data(), static_cast<std::uint32_t>(settings.timetable.size()));
        }
        if (settings.stream && !settings.rtl) {
            const SimStream stream{settings.streamSettings.singleByteChannels, settings.streamSettings.blockChannels,
                                   settings.streamSettings.blockLength, settings.streamSettings.messagesPerSecond,
                                   settings.streamSettings.count};
            sim_set_stream(device, &stream);
        }
    }
    return static_cast<int>(boards.size());
}
