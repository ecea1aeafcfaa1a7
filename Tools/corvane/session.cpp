// Opening the library for a command: the driver (real or simulated) loaded first, so that a
// missing driver is reported here rather than ending the process inside the library, then the
// boards listed with what the library prints about each.
#include "platform.h"
#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace corvane::tool {

namespace {

#if defined(CORVANE_SIM_DRIVER_PATH)
constexpr const char* kBuiltSimDriver = CORVANE_SIM_DRIVER_PATH;
#else
constexpr const char* kBuiltSimDriver = "";
#endif
#if defined(CORVANE_SIM_DRIVER_RELATIVE)
constexpr const char* kInstalledSimDriver = CORVANE_SIM_DRIVER_RELATIVE;
#else
constexpr const char* kInstalledSimDriver = "";
#endif
// Overrides where --sim finds the simulated driver.
constexpr const char* kSimDriverVariable = "CORVANE_SIM_DRIVER";
constexpr std::size_t kErrorRoom = 512;

std::string simDriverPath() {
    if (const char* path = std::getenv(kSimDriverVariable); path != nullptr && *path != '\0') {
        return path;
    }
    // Installed: in the private folder beside the program's (never one the loader searches).
    if (const std::string installed = programFolder() + kInstalledSimDriver;
        *kInstalledSimDriver != '\0' && std::filesystem::is_regular_file(installed)) {
        return installed;
    }
    if (*kBuiltSimDriver != '\0') {
        return kBuiltSimDriver;
    }
    return programFolder() + kDriverName; // the Windows build keeps it beside the program
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

std::string DriverRoad::describe() const {
    switch (kind) {
    case vendor:
        return "vendor (" + file + ")";
    case open:
        return "open (" + file + ")";
    case path:
        break;
    }
    return file;
}

bool chooseDriverRoad(const std::string& option, DriverRoad& road) {
    std::string value = option;
    if (value.empty()) {
        const char* setting = std::getenv(kDriverVariable);
        value = setting == nullptr ? "" : setting;
    }
    road = DriverRoad{};
    road.file = kDriverName;
    if (value.empty() || value == "vendor") {
        return true;
    }
    if (value == "open" && *kOpenDriverName != '\0') {
        road = DriverRoad{DriverRoad::open, kOpenDriverName};
        return true;
    }
    if (value.find_first_of("/\\") != std::string::npos || endsWith(value, ".so") || endsWith(value, ".dll")) {
        road = DriverRoad{DriverRoad::path, value};
        return true;
    }
    return option.empty(); // the library reports the setting and binds the vendor's driver
}

bool Session::loadDriver() {
    std::string error;
    if (!options_.sim) {
        DriverRoad road;
        chooseDriverRoad(options_.driver, road); // the option was checked when it was parsed
        driver_ = loadModule(road.file, &error);
        if (driver_ == nullptr) {
            fail(std::string(road.kind == DriverRoad::open ? "the open driver " : "the D2XX driver ") + road.file +
                 " cannot be loaded (" + error + "); `corvane doctor` says why, `corvane --sim` uses simulated boards");
            return false;
        }
        if (!options_.driver.empty()) {
            setEnvironment(kDriverVariable, options_.driver.c_str()); // the library binds the same driver
        }
        return true;
    }
    const std::string path = simDriverPath();
    driver_ = loadModule(path, &error);
    if (driver_ == nullptr) {
        fail("the simulated driver " + path + " cannot be loaded (" + error + ")");
        return false;
    }
    // The simulated driver wins over --driver and CORVANE_DRIVER: the library binds this very file.
    setEnvironment(kDriverVariable, path.c_str());
#define CORVANE_SIM_LOOKUP(name) sim_.name = reinterpret_cast<decltype(sim_.name)>(findSymbol(driver_, #name));
    CORVANE_SIM_FUNCTIONS(CORVANE_SIM_LOOKUP)
#undef CORVANE_SIM_LOOKUP
    if (sim_.sim_reset == nullptr || sim_.sim_load_boards == nullptr) {
        fail(path + " is not the simulated driver");
        return false;
    }
    char reason[kErrorRoom] = "";
    if (sim_.sim_load_boards(options_.simFile.empty() ? nullptr : options_.simFile.c_str(), reason, sizeof reason) <
        0) {
        fail(reason);
        return false;
    }
    return true;
}

bool Session::start() {
    if (options_.fast) {
        setEnvironment(kProfileVariable, "fast");
    }
    if (!loadDriver()) {
        return false;
    }
    NRV_CV_Open(0, 0, 0);
    if (options_.debug) {
        NRV_CV_SetDebugMode(1);
    }
    listBoards();
    return true;
}

// The library prints one line per board it records, "\t Device %i: %s - %s (VID: %X, PID: %X)":
// the driver-list position and the IDs are known only from there.
void Session::listBoards() {
    std::string console;
    int count = 0;
    {
        StdoutCapture capture;
        count = NRV_CV_QueryDevices();
        console = capture.text();
    }
    if (options_.debug) {
        std::fputs(console.c_str(), stderr);
    }
    std::istringstream lines(console);
    std::vector<std::string> deviceLines;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("\t Device ", 0) == 0) {
            deviceLines.push_back(line);
        }
    }
    boards_.clear();
    for (int i = 0; i < count; ++i) {
        ListedBoard board;
        board.index = i;
        board.name = NRV_CV_GetDeviceName(i);
        board.serial = NRV_CV_GetDeviceSerial(i);
        if (static_cast<std::size_t>(i) < deviceLines.size()) {
            const std::string& line = deviceLines[static_cast<std::size_t>(i)];
            std::sscanf(line.c_str(), "\t Device %d:", &board.listPosition);
            const std::size_t ids = line.rfind("(VID: ");
            if (ids != std::string::npos) {
                std::sscanf(line.c_str() + ids, "(VID: %X, PID: %X)", &board.vendorId, &board.productId);
            }
        }
        boards_.push_back(board);
    }
}

int Session::resolveBoard() {
    const std::string& wanted = options_.board;
    if (std::optional<std::uint32_t> number = parseNumber(wanted, 0x7FFFFFFF);
        number && wanted.find_first_not_of("0123456789") == std::string::npos) {
        return static_cast<int>(*number);
    }
    for (const ListedBoard& board : boards_) {
        if (board.serial == wanted) {
            return board.index;
        }
    }
    fail("no board with the serial number " + wanted + " (`corvane list` shows the boards)");
    return -1;
}

int Session::simDeviceBeforeOpen() {
    const int index = resolveBoard();
    if (index < 0) {
        return -1;
    }
    if (static_cast<std::size_t>(index) >= boards_.size()) {
        fail("no board " + options_.board + " (`corvane list` shows the boards)");
        return -1;
    }
    return sim_.sim_find_device(boards_[static_cast<std::size_t>(index)].serial.c_str());
}

bool Session::openBoard(const std::function<bool()>& beforeOpen) {
    if (boardOpen_) {
        return !beforeOpen || beforeOpen();
    }
    const std::string& wanted = options_.board;
    const int index = resolveBoard();
    if (index < 0) {
        return false;
    }
    // A listed board can be selected, and take its callbacks, before it is open. An index the
    // library does not have fails the open below, with the library's text for it.
    if (beforeOpen && NRV_CV_SelectActiveDeviceByIndex(index) && !beforeOpen()) {
        return false;
    }
    if (!NRV_CV_OpenDeviceByIndex(index)) {
        failWithLastError("cannot open board " + wanted);
        return false;
    }
    if (!NRV_CV_SelectActiveDeviceByIndex(index)) {
        failWithLastError("cannot select board " + wanted);
        return false;
    }
    boardIndex_ = index;
    boardOpen_ = true;
    if (options_.sim && sim_.sim_find_device != nullptr) {
        simDevice_ = sim_.sim_find_device(board().serial.c_str());
    }
    return true;
}

void Session::closeBoard() {
    if (boardOpen_) {
        NRV_CV_CloseDeviceByIndex(boardIndex_);
        boardOpen_ = false;
    }
}

std::string lastError() {
    const char* text = NRV_CV_GetLastError();
    std::string result = text == nullptr ? "" : text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result;
}

int fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "corvane: %s\n", what.c_str());
    return kExitFailure;
}

int failWithLastError(const std::string& what) { return fail(what + ": " + lastError()); }

} // namespace corvane::tool
