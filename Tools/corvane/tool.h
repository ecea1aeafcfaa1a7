// The corvane tool: shared pieces of its commands. The tool reaches boards only through the
// library's public header; the simulated driver's control functions (--sim) and the driver checks
// of `doctor` are looked up by name in the loaded driver module.
#pragma once

#include "board_sim.h"
#include "corvane.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::tool {

// Exit statuses: a failure reported by the library or the driver, and a usage error.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The driver the tool loads for --sim and examines first in doctor: the library's first choice.
#if defined(_WIN64)
constexpr const char* kDriverName = "ftd2xx64.dll";
#elif defined(_WIN32)
constexpr const char* kDriverName = "ftd2xx32.dll";
#else
constexpr const char* kDriverName = "libftd2xx.so";
#endif
// The open driver, Corvane's own D2XX driver installed beside the library (Linux only).
#if defined(_WIN32)
constexpr const char* kOpenDriverName = "";
#else
constexpr const char* kOpenDriverName = "libcorvane_d2xx.so";
#endif
constexpr const char* kDriverVariable = "CORVANE_DRIVER";
constexpr const char* kNoErrorText = "No error found!\n";
constexpr const char* kProfileVariable = "CORVANE_PROFILE";

// The options every command shares.
struct GlobalOptions {
    std::string board = "0"; // device index or serial number
    bool sim = false;
    std::string simFile; // empty: the default set of simulated boards
    bool fast = false;
    bool debug = false;
    bool json = false;
    std::string driver; // --driver: vendor, open or a path; empty: as CORVANE_DRIVER says
};

// The driver the library binds: the vendor's by name, the open driver by name, or a file.
struct DriverRoad {
    enum Kind { vendor, open, path } kind = vendor;
    std::string file;             // what is loaded: a name the loader searches for, or the path
    std::string describe() const; // "vendor (libftd2xx.so)", "open (libcorvane_d2xx.so)", the path
};

// The road that `option` (--driver), or else CORVANE_DRIVER, chooses, as the library reads the
// setting: vendor, open (where there is an open driver), or a path (a '/' or '\\', or a name ending
// in .so or .dll). False for an option of any other form; a setting of another form is the
// library's to report, and the vendor's road.
bool chooseDriverRoad(const std::string& option, DriverRoad& road);

// The simulated driver's control functions, found by name in the loaded driver module.
struct SimControl {
#define CORVANE_SIM_FUNCTIONS(X)                                                                                       \
    X(sim_reset)                                                                                                       \
    X(sim_load_boards)                                                                                                 \
    X(sim_find_device)                                                                                                 \
    X(sim_set_behaviour)                                                                                               \
    X(sim_register)                                                                                                    \
    X(sim_leds) X(sim_control_value) X(sim_board_counts) X(sim_queue_rx) X(sim_set_stream) X(sim_is_open)
#define CORVANE_SIM_FIELD(name) decltype(&::name) name = nullptr;
    CORVANE_SIM_FUNCTIONS(CORVANE_SIM_FIELD)
#undef CORVANE_SIM_FIELD
};

// One board the library listed, with what its console line said about it.
struct ListedBoard {
    int index = 0;
    int listPosition = 0; // 1-based position in the driver's list
    std::string name;
    std::string serial;
    unsigned vendorId = 0;
    unsigned productId = 0;
};

// The library opened (against the real driver or the simulated one) and the boards listed.
class Session {
  public:
    explicit Session(const GlobalOptions& options) : options_(options) {}
    // Loads the driver and opens the library; false after printing why.
    bool start();
    // The simulated device of the board named by --board, before it is opened (a board's stream
    // set now starts with the opening, which empties the receive queue); -1 after printing why.
    int simDeviceBeforeOpen();
    // Opens the board named by --board and makes it the active board; false after printing why.
    // `beforeOpen` runs with the board selected but not yet open, so a callback it registers is
    // in place for the board's very first message (a board may start sending as it opens).
    bool openBoard(const std::function<bool()>& beforeOpen = {});
    // Closes the active board (a running light show ends first).
    void closeBoard();

    const std::vector<ListedBoard>& boards() const { return boards_; }
    const ListedBoard& board() const { return boards_[static_cast<std::size_t>(boardIndex_)]; }
    // The simulated driver, when --sim is given; and the simulated device behind the active board.
    const SimControl* sim() const { return options_.sim ? &sim_ : nullptr; }
    int simDevice() const { return simDevice_; }
    void* driverModule() const { return driver_; }
    const GlobalOptions& options() const { return options_; }

  private:
    bool loadDriver();
    void listBoards();
    // The board index --board names, or -1 after printing why.
    int resolveBoard();
    bool boardOpen_ = false;

    GlobalOptions options_;
    void* driver_ = nullptr;
    SimControl sim_;
    std::vector<ListedBoard> boards_;
    int boardIndex_ = -1;
    int simDevice_ = -1;
};

// Prints "corvane: <what>: <the library's last error>" on standard error; returns kExitFailure.
int failWithLastError(const std::string& what);
// Prints "corvane: <what>" on standard error; returns kExitFailure.
int fail(const std::string& what);
// The library's last error without its trailing line end.
std::string lastError();

// The cycles the library's self test runs: 100000, unless CORVANE_SELFTEST_CYCLES shortens it.
std::uint64_t selfTestCycles();
// The library's last error, copied so that a thread of the library rewriting it meanwhile cannot
// make the copy run past its text (see receiver.cpp); a torn copy is possible, an overrun is not.
std::string lastErrorCopy();

// "0x41", "65" or "0b1000001"; nullopt when the text is no number within max.
std::optional<std::uint32_t> parseNumber(const std::string& text, std::uint32_t max);
std::string hexBytes(const std::uint8_t* bytes, std::size_t count, std::size_t limit = SIZE_MAX);

// One received message, as the callbacks get it.
struct Message {
    int board = 0;
    int channel = 0;
    std::uint32_t command = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> bytes; // empty for a trigger
    double seconds = 0;              // since the start of receiving
};
// What a device-to-host command byte announces, decided as the library decides it.
enum class Kind { Trigger, SingleByte, Block, None };
Kind kindOf(std::uint32_t command);
const char* kindName(Kind kind);
// The one-line form of `monitor --raw` and `replay`.
std::string rawLine(const Message& message);
// The recording format of `monitor --record`, read back by `replay`.
std::string recordLine(const Message& message);
bool parseRecordLine(const std::string& line, Message& message, std::string& error);
// The bytes a board sends for the message, header first.
std::vector<std::uint8_t> wireBytes(const Message& message);

} // namespace corvane::tool
