// Receive-side figures of the library against the simulated driver, each beside baselines
// measured in the same run: the default and the fast receive path, the design's own limit (a loop
// making the design's driver calls), a client that reads everything pending and decodes in place,
// the link rates of the bridge chip, idle processor use, latency, heap use and allocations.
//
// Every case runs in a process of its own (the library's threads never stop), started by this
// program with the settings in its environment:
//   receive_bench                   runs every case and prints the table (Markdown)
//   receive_bench --boards          runs only the many-boards cases (their own table)
//   receive_bench --case NAME ARGS  runs one case and prints "key value" lines
#include "board_sim.h"
#include "corvane.h"
#include "d2xx.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "allocation_counter.h" // every malloc of the process, the library's included

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kBoardId = 0x04038088;
constexpr std::uint32_t kBlockLength = 255;
constexpr double kMeasureSeconds = 2.0;
constexpr auto kWarmUp = 300ms;
constexpr double kAsyncFifoBytesPerSecond = 8e6; // the bridge chip's asynchronous FIFO mode
constexpr double kSyncFifoBytesPerSecond = 40e6; // and its synchronous FIFO mode
constexpr int kSteadyRate = 20000;               // messages per second for the steady latency
constexpr int kSilentSamples = 12;               // first messages after a second of silence

// ---- what the callback checks ---------------------------------------------------------------------
std::atomic<std::uint64_t> delivered{0};
std::atomic<std::uint64_t> wrong{0};
bool blocks = false;
std::vector<Clock::time_point> arrivals; // latency cases: arrival time of message n

std::uint32_t numberOf(const std::uint8_t* data) {
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

// Stream messages arrive numbered 0, 1, 2, ...: anything out of turn or corrupted is counted.
int32_t CORVANE_CALL checkStream(int32_t, int32_t, uint32_t, uint32_t length, uint8_t* data, uint32_t) {
    const std::uint64_t n = delivered.load(std::memory_order_relaxed);
    bool good;
    if (blocks) {
        good = length == kBlockLength && numberOf(data) == static_cast<std::uint32_t>(n) &&
               data[kBlockLength - 1] == sim_stream_block_byte(n, kBlockLength, kBlockLength - 1);
    } else {
        good = length == 1 && data[0] == static_cast<std::uint8_t>(n);
    }
    if (!good) {
        wrong.fetch_add(1, std::memory_order_relaxed);
    }
    delivered.store(n + 1, std::memory_order_release);
    return 0;
}

int32_t CORVANE_CALL stampArrival(int32_t, int32_t, uint32_t, uint32_t length, uint8_t* data, uint32_t) {
    const auto now = Clock::now();
    if (length == 4 && numberOf(data) < arrivals.size()) {
        arrivals[numberOf(data)] = now;
    }
    delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

// Many boards streaming at once: each board's stream is numbered on its own.
constexpr int kMostBoards = 64;
std::atomic<std::uint64_t> deliveredOf[kMostBoards];

int32_t CORVANE_CALL checkStreams(int32_t device, int32_t, uint32_t, uint32_t length, uint8_t* data, uint32_t) {
    if (device < 0 || device >= kMostBoards) {
        wrong.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    const std::uint64_t n = deliveredOf[device].load(std::memory_order_relaxed);
    const bool good = blocks ? length == kBlockLength && numberOf(data) == static_cast<std::uint32_t>(n) &&
                                   data[kBlockLength - 1] == sim_stream_block_byte(n, kBlockLength, kBlockLength - 1)
                             : length == 1 && data[0] == static_cast<std::uint8_t>(n);
    if (!good) {
        wrong.fetch_add(1, std::memory_order_relaxed);
    }
    deliveredOf[device].store(n + 1, std::memory_order_relaxed);
    delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

void result(const char* key, double value) { std::printf("%s %.6g\n", key, value); }

// Keeps the enumeration's console lines out of the results while it lives.
class QuietStdout {
  public:
    QuietStdout() : saved_(dup(1)) {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

  private:
    int saved_;
};

// Opens the library with `boards` simulated boards, all opened; board 0 is active.
bool openLibrary(int boards, ReadCallback callback) {
    sim_reset();
    for (int i = 0; i < boards; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "BENCH%02d", i);
        sim_add_device(kBoardId, serial, "Bench board");
    }
    NRV_CV_Open(0, 0, 0);
    int listed = 0;
    {
        QuietStdout quiet;
        listed = NRV_CV_QueryDevices();
    }
    if (listed != boards) {
        return false;
    }
    for (int i = 0; i < boards; ++i) {
        if (NRV_CV_OpenDeviceByIndex(i) != 1) {
            return false;
        }
    }
    for (int i = boards - 1; i >= 0; --i) {
        if (NRV_CV_SelectActiveDeviceByIndex(i) != 1 || NRV_CV_RegisterReadCallback(callback) != 1) {
            return false;
        }
    }
    return true;
}

SimStream streamOf(bool ofBlocks) {
    return ofBlocks ? SimStream{0, 0b1, kBlockLength, 0, 0} : SimStream{0b1, 0, 0, 0, 0};
}

double payloadOf(bool ofBlocks) { return ofBlocks ? kBlockLength : 1; }

// ---- cases -------------------------------------------------------------------------------------------

// Board to callback through the library, in the mode its environment sets.
int caseStream(bool ofBlocks, bool costs) {
    blocks = ofBlocks;
    if (!openLibrary(1, checkStream)) {
        return 1;
    }
    sim_set_vendor_costs(costs ? 1 : 0);
    const SimStream stream = streamOf(ofBlocks);
    sim_set_stream(0, &stream);
    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t first = delivered.load();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
    const std::uint64_t last = delivered.load();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sim_set_stream(0, nullptr);
    result("messages_per_second", static_cast<double>(last - first) / seconds);
    result("bytes_per_second", static_cast<double>(last - first) * payloadOf(ofBlocks) / seconds);
    result("wrong", static_cast<double>(wrong.load()));
    result("error_text_unchanged", std::strcmp(NRV_CV_GetLastError(), "No error found!\n") == 0 ? 1 : 0);
    return 0;
}

// `boards` boards open, every one streaming as fast as the host reads: the aggregate rate.
int caseStreamMany(int boards, bool ofBlocks, bool costs) {
    blocks = ofBlocks;
    if (boards < 1 || boards > kMostBoards || !openLibrary(boards, checkStreams)) {
        return 1;
    }
    sim_set_vendor_costs(costs ? 1 : 0);
    const SimStream stream = streamOf(ofBlocks);
    for (int i = 0; i < boards; ++i) {
        sim_set_stream(i, &stream);
    }
    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t first = delivered.load();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
    const std::uint64_t last = delivered.load();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int i = 0; i < boards; ++i) {
        sim_set_stream(i, nullptr);
    }
    result("messages_per_second", static_cast<double>(last - first) / seconds);
    result("bytes_per_second", static_cast<double>(last - first) * payloadOf(ofBlocks) / seconds);
    result("wrong", static_cast<double>(wrong.load()));
    return 0;
}

struct RawBoard {
    d2xx::FT_HANDLE handle = nullptr;
    d2xx::PFN_FT_GetStatus getStatus = reinterpret_cast<d2xx::PFN_FT_GetStatus>(sim_entry_point("FT_GetStatus"));
    d2xx::PFN_FT_Read read = reinterpret_cast<d2xx::PFN_FT_Read>(sim_entry_point("FT_Read"));

    bool open(bool ofBlocks, bool costs) {
        sim_reset();
        sim_add_device(kBoardId, "RAW00", "Raw board");
        auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
        char serial[] = "RAW00";
        if (openEx(serial, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) != d2xx::FT_OK) {
            return false;
        }
        sim_set_vendor_costs(costs ? 1 : 0);
        const SimStream stream = streamOf(ofBlocks);
        sim_set_stream(0, &stream);
        return true;
    }
    std::uint32_t pending() {
        d2xx::DWORD rx = 0, tx = 0, events = 0;
        getStatus(handle, &rx, &tx, &events);
        return rx;
    }
};

// The design's calls per message, without the library: a status call every pass, then one header
// or one piece of block data, and a yield.
int caseDesignLimit(bool ofBlocks, bool costs) {
    RawBoard board;
    if (!board.open(ofBlocks, costs)) {
        return 1;
    }
    std::uint8_t buffer[kBlockLength];
    std::uint32_t remaining = 0;
    std::uint64_t messages = 0;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kMeasureSeconds));
    while (Clock::now() < end) {
        const std::uint32_t pending = board.pending();
        d2xx::DWORD got = 0;
        if (remaining != 0) {
            board.read(board.handle, buffer, std::min(pending, remaining), &got);
            remaining -= got;
            messages += remaining == 0 && got != 0 ? 1 : 0;
        } else if (pending >= 2) {
            board.read(board.handle, buffer, 2, &got);
            if ((buffer[0] & 0x20) != 0 && (buffer[0] & 0x18) == 0) {
                remaining = buffer[1];
            } else {
                ++messages;
            }
        }
        std::this_thread::yield();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result("messages_per_second", static_cast<double>(messages) / seconds);
    result("bytes_per_second", static_cast<double>(messages) * payloadOf(ofBlocks) / seconds);
    return 0;
}

// What any application could reach: a status call, one read of everything pending, every message
// decoded in place.
int caseReadAll(bool ofBlocks, bool costs) {
    RawBoard board;
    if (!board.open(ofBlocks, costs)) {
        return 1;
    }
    std::vector<std::uint8_t> buffer(65536);
    std::uint32_t remaining = 0;
    std::uint32_t headerHeld = 0;
    std::uint64_t messages = 0;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kMeasureSeconds));
    while (Clock::now() < end) {
        const std::uint32_t pending = std::min<std::uint32_t>(board.pending(), 65536);
        d2xx::DWORD got = 0;
        board.read(board.handle, buffer.data(), pending, &got);
        for (std::uint32_t i = 0; i < got;) {
            if (remaining != 0) {
                const std::uint32_t piece = std::min(remaining, got - i);
                remaining -= piece;
                i += piece;
                messages += remaining == 0 ? 1 : 0;
            } else if (++headerHeld == 1) {
                ++i;
            } else {
                headerHeld = 0;
                if (ofBlocks) {
                    remaining = buffer[i];
                } else {
                    ++messages;
                }
                ++i;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result("messages_per_second", static_cast<double>(messages) / seconds);
    result("bytes_per_second", static_cast<double>(messages) * payloadOf(ofBlocks) / seconds);
    return 0;
}

void queueNumbered(int board, std::uint32_t n) {
    const std::uint8_t message[6] = {0xE0,
                                     4,
                                     static_cast<std::uint8_t>(n),
                                     static_cast<std::uint8_t>(n >> 8),
                                     static_cast<std::uint8_t>(n >> 16),
                                     static_cast<std::uint8_t>(n >> 24)};
    sim_queue_rx(board, message, sizeof message);
}

struct Percentiles {
    double median;
    double p99;
};

Percentiles percentiles(std::vector<double> values) {
    if (values.empty()) {
        return {0, 0};
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
    };
    return {at(0.5), at(0.99)};
}

// Latency from the board queuing a message to its callback, with `boards` boards open and with or
// without the vendor's costs: at a steady rate, and for the first message after a second of silence.
int caseLatency(int boards, bool costs) {
    const int steady = kSteadyRate; // one second's worth
    arrivals.assign(static_cast<std::size_t>(steady + kSilentSamples), Clock::time_point{});
    if (!openLibrary(boards, stampArrival)) {
        return 1;
    }
    sim_set_vendor_costs(costs ? 1 : 0);
    std::this_thread::sleep_for(kWarmUp);
    std::vector<Clock::time_point> sent(arrivals.size());
    const auto start = Clock::now();
    for (int n = 0; n < steady; ++n) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(n) / kSteadyRate));
        // Asleep until the message is due, so the board's thread takes no processor from the
        // library's; the latency runs from the moment it is actually queued.
        std::this_thread::sleep_until(due);
        sent[static_cast<std::size_t>(n)] = Clock::now();
        queueNumbered(0, static_cast<std::uint32_t>(n));
    }
    const auto deadline = Clock::now() + 30s;
    while (delivered.load() < static_cast<std::uint64_t>(steady) && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    std::vector<double> steadyMicros;
    for (int n = 0; n < steady; ++n) {
        const auto arrival = arrivals[static_cast<std::size_t>(n)];
        if (arrival != Clock::time_point{}) {
            steadyMicros.push_back(
                std::chrono::duration<double, std::micro>(arrival - sent[static_cast<std::size_t>(n)]).count());
        }
    }
    std::vector<double> silentMicros;
    for (int sample = 0; sample < kSilentSamples; ++sample) {
        const auto n = static_cast<std::uint32_t>(steady + sample);
        std::this_thread::sleep_for(1s);
        sent[n] = Clock::now();
        queueNumbered(0, n);
        const auto until = Clock::now() + 10s;
        while (arrivals[n] == Clock::time_point{} && Clock::now() < until) {
            std::this_thread::yield();
        }
        if (arrivals[n] != Clock::time_point{}) {
            silentMicros.push_back(std::chrono::duration<double, std::micro>(arrivals[n] - sent[n]).count());
        }
    }
    const Percentiles atRate = percentiles(steadyMicros);
    const Percentiles afterSilence = percentiles(silentMicros);
    result("steady_delivered", static_cast<double>(steadyMicros.size()));
    result("steady_median_us", atRate.median);
    result("steady_p99_us", atRate.p99);
    result("silence_median_us", afterSilence.median);
    result("silence_p99_us", afterSilence.p99);
    return 0;
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processor use of the whole process with `boards` boards open and nothing arriving.
int caseIdle(bool costs, int boards = 1) {
    if (!openLibrary(boards, checkStream)) {
        return 1;
    }
    sim_set_vendor_costs(costs ? 1 : 0);
    std::this_thread::sleep_for(kWarmUp);
    const double before = processorSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
    const double used = processorSeconds() - before;
    result("cores", used / std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}

std::size_t heapInUse() { return mallinfo2().uordblks; }

// Heap taken by opening a board, and by closing and reopening it.
int caseHeap() {
    if (!openLibrary(4, checkStream)) {
        return 1;
    }
    for (int i = 0; i < 4; ++i) {
        NRV_CV_CloseDeviceByIndex(i);
    }
    // Each board's first open creates its buffers; the reopens must not take more.
    sim_add_device(kBoardId, "BENCH99", "Bench board");
    {
        QuietStdout quiet;
        NRV_CV_QueryDevices();
    }
    const std::size_t before = heapInUse();
    NRV_CV_OpenDeviceByIndex(4);
    const std::size_t afterOpen = heapInUse();
    constexpr int kReopens = 200;
    for (int i = 0; i < kReopens; ++i) {
        NRV_CV_CloseDeviceByIndex(4);
        NRV_CV_OpenDeviceByIndex(4);
    }
    const std::size_t afterReopens = heapInUse();
    result("bytes_per_open_board", static_cast<double>(afterOpen - before));
    result("bytes_per_reopen", static_cast<double>(afterReopens - afterOpen) / kReopens);
    return 0;
}

// Heap allocations of the whole process while `boards` boards stream blocks.
int caseAllocations(int boards = 1) {
    blocks = true;
    if (!openLibrary(boards, boards == 1 ? checkStream : checkStreams)) {
        return 1;
    }
    const SimStream stream = streamOf(true);
    for (int i = 0; i < boards; ++i) {
        sim_set_stream(i, &stream);
    }
    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t before = corvane_allocations.load();
    const std::uint64_t first = delivered.load();
    std::this_thread::sleep_for(1s);
    result("allocations", static_cast<double>(corvane_allocations.load() - before));
    result("messages", static_cast<double>(delivered.load() - first));
    return 0;
}

int runCase(int argc, char** argv) {
    const std::string name = argv[2];
    const auto flag = [&](int i) { return argc > i && std::strcmp(argv[i], "1") == 0; };
    if (name == "stream") return caseStream(flag(3), flag(4));
    if (name == "design") return caseDesignLimit(flag(3), flag(4));
    if (name == "readall") return caseReadAll(flag(3), flag(4));
    if (name == "latency") return caseLatency(argc > 3 ? std::atoi(argv[3]) : 1, flag(4));
    if (name == "idle") return caseIdle(flag(3), argc > 4 ? std::atoi(argv[4]) : 1);
    if (name == "heap") return caseHeap();
    if (name == "allocations") return caseAllocations(argc > 3 ? std::atoi(argv[3]) : 1);
    if (name == "many") return caseStreamMany(argc > 3 ? std::atoi(argv[3]) : 1, flag(4), flag(5));
    std::fprintf(stderr, "unknown case %s\n", name.c_str());
    return 2;
}

// ---- the orchestrating run -----------------------------------------------------------------------

std::string self;

std::map<std::string, double> run(const std::string& environment, const std::string& arguments) {
    const std::string command = "env " + environment + " " + self + " --case " + arguments + " 2>/dev/null";
    std::map<std::string, double> values;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return values;
    }
    char key[64];
    double value = 0;
    while (std::fscanf(pipe, "%63s %lf", key, &value) == 2) {
        values[key] = value;
    }
    pclose(pipe);
    std::fprintf(stderr, "  done: %s %s\n", environment.c_str(), arguments.c_str());
    return values;
}

constexpr const char* kDefault = "CORVANE_PROFILE=default";
constexpr const char* kFast = "CORVANE_PROFILE=fast";
constexpr const char* kFastSpinning = "CORVANE_PROFILE=fast CORVANE_IDLE=spin";
constexpr const char* kSpin = "CORVANE_IDLE=spin";
constexpr const char* kWait = "CORVANE_IDLE=wait";

void row(const char* what, double figure, const char* unit, const char* baselineName, double baseline) {
    std::printf("| %s | %.4g %s | %s: %.4g %s | %.2f |\n", what, figure, unit, baselineName, baseline, unit,
                baseline == 0 ? 0.0 : figure / baseline);
}

constexpr const char* kFastEveryBoard = "CORVANE_PROFILE=fast CORVANE_WAIT_POLL=every";

// Many boards open, with the vendor's costs: the fast path asking only signalled boards, beside
// the fast path asking every board on every pass and beside one board alone.
void orchestrateBoards() {
    std::printf("| Figure (vendor's costs, fast mode) | Signalled boards only | Baseline (same run) "
                "| Ratio |\n|---|---|---|---|\n");
    double aloneMedian = 0;
    double aloneP99 = 0;
    for (int boards : {1, 4, 16, 64}) {
        const std::string n = std::to_string(boards) + " 1";
        auto signalled = run(kFast, "latency " + n);
        auto every = run(kFastEveryBoard, "latency " + n);
        if (boards == 1) {
            aloneMedian = signalled["steady_median_us"];
            aloneP99 = signalled["steady_p99_us"];
        }
        char what[160];
        std::snprintf(what, sizeof what, "latency at 20000 msg/s, %d board(s) open, one streaming, median", boards);
        row(what, signalled["steady_median_us"], "us", "every board", every["steady_median_us"]);
        std::snprintf(what, sizeof what, "latency at 20000 msg/s, %d board(s) open, one streaming, p99", boards);
        row(what, signalled["steady_p99_us"], "us", "every board", every["steady_p99_us"]);
        if (boards != 1) {
            std::snprintf(what, sizeof what, "latency at 20000 msg/s, %d board(s) open, median", boards);
            row(what, signalled["steady_median_us"], "us", "one board alone", aloneMedian);
            std::snprintf(what, sizeof what, "latency at 20000 msg/s, %d board(s) open, p99", boards);
            row(what, signalled["steady_p99_us"], "us", "one board alone", aloneP99);
        }
        if (boards == 16) {
            row("first message after 1 s of silence, 16 boards open, median", signalled["silence_median_us"], "us",
                "every board", every["silence_median_us"]);
            row("first message after 1 s of silence, 16 boards open, p99", signalled["silence_p99_us"], "us",
                "every board", every["silence_p99_us"]);
        }
        std::printf(
            "| messages of the steady second delivered, %d board(s), signalled / every board | %.0f / %.0f | | |\n",
            boards, signalled["steady_delivered"], every["steady_delivered"]);
    }
    for (int ofBlocks = 1; ofBlocks >= 0; --ofBlocks) {
        const char* unit = ofBlocks ? "blocks/s" : "msg/s";
        const std::string b = ofBlocks ? " 1 1" : " 0 1";
        auto alone = run(kFast, "many 1" + b);
        for (int boards : {4, 16}) {
            const std::string n = std::to_string(boards);
            auto signalled = run(kFast, "many " + n + b);
            auto every = run(kFastEveryBoard, "many " + n + b);
            char what[160];
            std::snprintf(what, sizeof what, "%d boards all streaming %s, aggregate", boards,
                          ofBlocks ? "255-byte blocks" : "single bytes");
            row(what, signalled["messages_per_second"], unit, "every board", every["messages_per_second"]);
            row(what, signalled["messages_per_second"], unit, (n + " x one board alone").c_str(),
                boards * alone["messages_per_second"]);
            std::snprintf(what, sizeof what, "%d boards all streaming %s: out of turn or corrupted, signalled / every",
                          boards, ofBlocks ? "blocks" : "single bytes");
            std::printf("| %s | %.0f / %.0f | | |\n", what, signalled["wrong"], every["wrong"]);
        }
        std::printf("| one board alone streaming %s | %.4g %s | | |\n", ofBlocks ? "255-byte blocks" : "single bytes",
                    alone["messages_per_second"], unit);
    }
    auto idleSignalled = run(kFast, "idle 1 16");
    auto idleEvery = run(kFastEveryBoard, "idle 1 16");
    auto idleAlone = run(kFast, "idle 1 1");
    row("idle, 16 boards open", idleSignalled["cores"] * 100, "% of a core", "every board", idleEvery["cores"] * 100);
    row("idle, 16 boards open", idleSignalled["cores"] * 100, "% of a core", "one board alone",
        idleAlone["cores"] * 100);
    auto allocations = run(kFast, "allocations 16");
    std::printf("| heap allocations in 1 s of 16 boards streaming blocks | %.0f | messages: %.0f | |\n",
                allocations["allocations"], allocations["messages"]);
}

int orchestrate() {
    std::printf("| Figure | Measured | Baseline (same run) | Ratio |\n|---|---|---|---|\n");
    for (int costs = 1; costs >= 0; --costs) {
        const char* costText = costs ? "vendor's costs" : "full simulated speed";
        const std::string c = costs ? "1" : "0";
        for (int ofBlocks = 1; ofBlocks >= 0; --ofBlocks) {
            const std::string b = ofBlocks ? "1" : "0";
            const char* kind = ofBlocks ? "255-byte blocks" : "single bytes";
            auto slow = run(kDefault, "stream " + b + " " + c);
            auto fast = run(kFast, "stream " + b + " " + c);
            auto design = run(kDefault, "design " + b + " " + c);
            auto all = run(kDefault, "readall " + b + " " + c);
            const char* unit = ofBlocks ? "MB/s" : "msg/s";
            const double scale = ofBlocks ? 1e-6 : 1;
            const std::string key = ofBlocks ? "bytes_per_second" : "messages_per_second";
            char what[160];
            std::snprintf(what, sizeof what, "%s, %s, default mode", kind, costText);
            row(what, slow[key] * scale, unit, "design's limit", design[key] * scale);
            std::snprintf(what, sizeof what, "%s, %s, fast mode", kind, costText);
            row(what, fast[key] * scale, unit, "default mode", slow[key] * scale);
            row(what, fast[key] * scale, unit, "read-everything client", all[key] * scale);
            if (costs) {
                const double link = ofBlocks ? kSyncFifoBytesPerSecond * 1e-6 : kAsyncFifoBytesPerSecond / 2;
                row(what, fast[key] * scale, unit, ofBlocks ? "sync FIFO link" : "async FIFO link, 2-byte messages",
                    link);
            }
            std::printf("| %s: out of turn or corrupted, default / fast | %.0f / %.0f | | |\n", kind, slow["wrong"],
                        fast["wrong"]);
        }
    }
    for (int costs = 0; costs <= 1; ++costs) {
        const std::string c = costs ? "1" : "0";
        auto spin = run(kSpin, "idle " + c);
        auto wait = run(kWait, "idle " + c);
        row(costs ? "idle, 1 board, wait (vendor's costs)" : "idle, 1 board, wait (full speed)", wait["cores"] * 100,
            "% of a core", "spin", spin["cores"] * 100);
    }
    const struct {
        int boards;
        bool costs;
    } latencyRuns[] = {{1, true}, {16, true}, {1, false}};
    for (const auto& latencyRun : latencyRuns) {
        const int boards = latencyRun.boards;
        const std::string n = std::to_string(boards) + (latencyRun.costs ? " 1" : " 0");
        const char* costText = latencyRun.costs ? "vendor's costs" : "full speed";
        auto slow = run(kDefault, "latency " + n);
        auto spin = run(kFastSpinning, "latency " + n);
        auto wait = run(kFast, "latency " + n);
        const struct {
            const char* what;
            const char* key;
        } figures[] = {{"latency at 20000 msg/s", "steady_median_us"},
                       {"latency at 20000 msg/s, p99", "steady_p99_us"},
                       {"first message after 1 s of silence", "silence_median_us"},
                       {"first message after 1 s of silence, p99", "silence_p99_us"}};
        for (const auto& figure : figures) {
            char what[160];
            std::snprintf(what, sizeof what, "%s, %d board(s), %s, fast (waiting)", figure.what, boards, costText);
            row(what, wait[figure.key], "us", "fast, spinning", spin[figure.key]);
            row(what, wait[figure.key], "us", "default mode", slow[figure.key]);
        }
        std::printf("| messages of the steady second delivered, %d board(s), %s, default / spinning / waiting | "
                    "%.0f / %.0f / %.0f | | |\n",
                    boards, costText, slow["steady_delivered"], spin["steady_delivered"], wait["steady_delivered"]);
    }
    auto heapDefault = run(kDefault, "heap");
    auto heapFast = run(kFast, "heap");
    row("heap per open board, fast", heapFast["bytes_per_open_board"], "B", "default",
        heapDefault["bytes_per_open_board"]);
    row("heap per close and reopen, fast", heapFast["bytes_per_reopen"], "B", "default",
        heapDefault["bytes_per_reopen"]);
    auto allocDefault = run(kDefault, "allocations");
    auto allocFast = run(kFast, "allocations");
    std::printf(
        "| heap allocations in 1 s of streaming blocks, default / fast | %.0f / %.0f | messages: %.0f / %.0f | |\n",
        allocDefault["allocations"], allocFast["allocations"], allocDefault["messages"], allocFast["messages"]);
    std::printf("\n");
    orchestrateBoards();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    self = argv[0];
    if (argc >= 3 && std::strcmp(argv[1], "--case") == 0) {
        return runCase(argc, argv);
    }
    if (argc >= 2 && std::strcmp(argv[1], "--boards") == 0) {
        orchestrateBoards();
        return 0;
    }
    return orchestrate();
}
