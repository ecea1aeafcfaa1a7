// Figures through a real D2XX driver to emulated chips: the vendor's Linux driver or Corvane's own
// (scripts/bench.sh --vendor and --roads run it with libusb_emu.so preloaded, the boards of
// bench/road_boards.json, and both drivers on the library path). One case per process (the
// library's state is global); each prints "key value" lines:
//
//   vendor_bench ROAD sends PROFILE        sends per second beside the raw FT_Write of the same
//                                          driver, processor use with one board open and nothing
//                                          arriving, first answer after a silence
//   vendor_bench ROAD receive PROFILE KIND FIFO
//                                          a stream board's messages through the library: rate,
//                                          link bytes per second, messages out of turn
//   vendor_bench ROAD raw FIFO [BYTES]     the driver alone: a plain loop of FT_GetQueueStatus and
//                                          FT_Read (BYTES: FT_SetUSBParameters' IN size), what any
//                                          client of this driver and emulated chip could reach
//   vendor_bench ROAD stall                the fast profile's callback stalls 3 s at the first
//                                          block while the board streams at the link's rate:
//                                          what arrives, what is missing, what carries others' bytes
//
// ROAD: vendor (libftd2xx.so) or open (libcorvane_d2xx.so), given to the library as
// CORVANE_DRIVER. PROFILE: default or fast. KIND: bytes (single bytes) or blocks (255-byte
// blocks). FIFO: async or sync (CORVANE_FIFO=sync: the chip's synchronous FIFO mode).
#include "corvane.h"
#include "d2xx.h"
#include "usb_emu.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The boards of bench/road_boards.json.
constexpr const char* kEcho = "ROAD0001B";
constexpr const char* kRawWriteBoard = "ROAD0006B"; // a second echo, for the raw FT_Write
constexpr const char* kSilent = "ROAD0002";
constexpr const char* kBlockStream = "ROAD0003";  // FT232H: 255-byte blocks on channel 2
constexpr const char* kByteStream = "ROAD0004";   // FT232H: single bytes on channel 0
constexpr const char* kStallStream = "ROAD0005B"; // FT2232H: 16-byte blocks on channel 2
constexpr std::uint32_t kBlockLength = 255;
constexpr std::uint32_t kStallBlockLength = 16;
constexpr std::uint64_t kStallMessages = 2'000'000; // the stall stream's count: about 4.5 s at 8 MB/s
constexpr auto kStall = 3s;
constexpr auto kWarmUp = 500ms;
constexpr double kMeasureSeconds = 3.0;
constexpr std::uint8_t kSyncFifoMode = 0x40; // FT_SetBitMode's mode byte for the synchronous 245 FIFO

// FT_SetBitMode and FT_SetUSBParameters are outside the entry points the library binds.
using SetBitMode = d2xx::FT_STATUS (*)(d2xx::FT_HANDLE, d2xx::UCHAR mask, d2xx::UCHAR mode);
using SetUsbParameters = d2xx::FT_STATUS (*)(d2xx::FT_HANDLE, d2xx::DWORD inSize, d2xx::DWORD outSize);

std::string road = "vendor";

const char* driverName() { return road == "open" ? "libcorvane_d2xx.so" : "libftd2xx.so"; }

void result(const char* key, double value) { std::printf("%s %.10g\n", key, value); }

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "vendor_bench: %s\n", why.c_str());
    std::exit(1);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <typename Send> double perSecond(int count, Send send) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        send(i);
    }
    return count / seconds(Clock::now() - start);
}

std::uint32_t numberOf(const std::uint8_t* data) {
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

// Opens the library on the road and profile chosen, and lists the boards with the enumeration's
// console lines sent nowhere. Returns the number of boards.
int openLibrary(const std::string& profile, const std::string& fifo) {
    setenv("CORVANE_DRIVER", road.c_str(), 1);
    setenv("CORVANE_PROFILE", profile.c_str(), 1);
    if (fifo == "sync") {
        setenv("CORVANE_FIFO", "sync", 1);
    }
    NRV_CV_Open(0, 0, 0);
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, STDOUT_FILENO);
    const int count = NRV_CV_QueryDevices();
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(nowhere);
    close(console);
    return count;
}

int indexOf(const char* serial, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(NRV_CV_GetDeviceSerial(i), serial) == 0) {
            return i;
        }
    }
    fail(std::string("no board ") + serial + " on the " + road + " road (last error: " + NRV_CV_GetLastError() + ")");
}

void* driverLibrary() {
    void* driver = dlopen(driverName(), RTLD_NOW);
    if (driver == nullptr) {
        fail(std::string("cannot load ") + driverName() + ": " + dlerror());
    }
    return driver;
}

template <typename Pointer> Pointer entry(void* driver, const char* name) {
    return reinterpret_cast<Pointer>(dlsym(driver, name));
}

// ---- sends, idle, first answer ---------------------------------------------------------------------

std::atomic<int> answers{0};

std::int32_t CORVANE_CALL countAnswer(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint8_t*,
                                      std::uint32_t) {
    // Relaxed: the bench only waits for the count to move.
    answers.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void sends(const std::string& profile) {
    const int count = openLibrary(profile, "async");
    const int echo = indexOf(kEcho, count);
    const int silent = indexOf(kSilent, count);

    // Idle: one silent board open, nothing arriving, 3 s.
    NRV_CV_OpenDeviceByIndex(silent);
    std::this_thread::sleep_for(500ms);
    const double before = processorSeconds();
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(3s);
    result("idle_cores", (processorSeconds() - before) / seconds(Clock::now() - idleStart));
    NRV_CV_CloseDeviceByIndex(silent);

    // Sends to the echoing board, and the raw FT_Write of the same driver to another board.
    if (NRV_CV_OpenDeviceByIndex(echo) != 1) {
        fail(std::string("cannot open ") + kEcho + ": " + NRV_CV_GetLastError());
    }
    NRV_CV_SelectActiveDeviceByIndex(echo);
    NRV_CV_RegisterReadCallback(&countAnswer);
    std::vector<std::uint8_t> block(kBlockLength, 0x5A);
    result("bytes_sent_per_second", perSecond(2000, [](int i) { NRV_CV_SendByte(1, static_cast<std::uint8_t>(i)); }));
    result("blocks_sent_per_second", perSecond(1000, [&](int) { NRV_CV_SendBlock(2, block.data(), kBlockLength); }));
    void* driver = driverLibrary();
    auto openEx = entry<d2xx::PFN_FT_OpenEx>(driver, "FT_OpenEx");
    auto write = entry<d2xx::PFN_FT_Write>(driver, "FT_Write");
    d2xx::FT_HANDLE raw = nullptr;
    if (openEx(const_cast<char*>(kRawWriteBoard), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &raw) != d2xx::FT_OK) {
        fail(std::string("the driver cannot open ") + kRawWriteBoard);
    }
    std::uint8_t message[2] = {0x91, 0};
    d2xx::DWORD written = 0;
    result("raw_writes_per_second", perSecond(2000, [&](int) { write(raw, message, 2, &written); }));

    // First answer after a silence: 20 times 300 ms of quiet, then one byte and its echo.
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(300ms);
        // Relaxed: as in countAnswer.
        const int seen = answers.load(std::memory_order_relaxed);
        const auto sent = Clock::now();
        NRV_CV_SendByte(3, static_cast<std::uint8_t>(i));
        const auto limit = sent + 5s;
        while (answers.load(std::memory_order_relaxed) == seen && Clock::now() < limit) {
            std::this_thread::yield();
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    result("first_answer_median_ms", latencies[latencies.size() / 2]);
    result("first_answer_max_ms", latencies.back());
}

// ---- a stream through the library ------------------------------------------------------------------

// The callbacks run on the library's write thread, one at a time; the main thread reads the counts
// while they move (relaxed: each count is read on its own, and the final reads follow a settle
// time in which nothing moves).
struct Books {
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> linkBytes{0}; // the messages' bytes on the link, their headers included
    std::atomic<std::uint64_t> missing{0};   // numbers skipped between consecutive messages
    std::atomic<std::uint64_t> corrupt{0};   // blocks whose bytes are not their number's
    std::atomic<std::uint64_t> restarts{0};  // the numbering went back (the board's stream restarted)
    std::atomic<std::uint64_t> elsewhere{0}; // messages on other channels: the stream's bytes misread
    std::uint64_t next = 0;                  // the write thread's own: the number expected next
    bool started = false;
    std::uint32_t blockLength = kBlockLength;
    std::atomic<bool> stallFirst{false}; // set before the board opens
};
Books books;

void count(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// The expected number moves on with every message; a number below it means the stream restarted.
void account(std::uint64_t n, std::uint64_t modulo) {
    if (books.started) {
        const std::uint64_t expected = books.next % modulo;
        if (n != expected) {
            if (modulo == 256 || n > expected) {
                count(books.missing, (n + modulo - expected) % modulo);
            } else {
                count(books.restarts);
            }
        }
    }
    books.started = true;
    books.next = n + 1;
}

std::int32_t CORVANE_CALL checkBlock(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t length,
                                     std::uint8_t* data, std::uint32_t) {
    // Relaxed: set before the board opened, which the write thread's first call follows.
    if (books.stallFirst.exchange(false, std::memory_order_relaxed)) {
        std::this_thread::sleep_for(kStall); // the stalled reader
    }
    const std::uint32_t n = numberOf(data);
    const std::uint32_t last = books.blockLength - 1;
    if (length != books.blockLength || data[last] != usb_emu_stream_block_byte(n, books.blockLength, last)) {
        count(books.corrupt); // another block's bytes: something dropped inside this one
    } else {
        account(n, std::uint64_t{1} << 32);
    }
    count(books.linkBytes, 2 + length);
    count(books.delivered);
    return 0;
}

// The stream uses one channel; a message on any other is the decoder reading the stream out of step.
std::int32_t CORVANE_CALL countElsewhere(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint8_t*,
                                         std::uint32_t) {
    count(books.elsewhere);
    return 0;
}

std::int32_t CORVANE_CALL checkByte(std::int32_t, std::int32_t, std::uint32_t, std::uint32_t length, std::uint8_t* data,
                                    std::uint32_t) {
    if (length != 1) {
        count(books.corrupt);
    } else {
        account(data[0], 256);
    }
    count(books.linkBytes, 2);
    count(books.delivered);
    return 0;
}

void receive(const std::string& profile, const std::string& kind, const std::string& fifo) {
    const bool blocks = kind == "blocks";
    const char* serial = blocks ? kBlockStream : kByteStream;
    const int board = indexOf(serial, openLibrary(profile, fifo));
    // The callback goes on the listed board before it opens, so that it sees the stream's first message.
    if (NRV_CV_SelectActiveDeviceByIndex(board) != 1 ||
        NRV_CV_RegisterReadCallbackForChannel(blocks ? &checkBlock : &checkByte, blocks ? 2 : 0) != 1 ||
        NRV_CV_RegisterReadCallback(&countElsewhere) != 1 || NRV_CV_OpenDeviceByIndex(board) != 1) {
        fail(std::string("cannot open ") + serial + ": " + NRV_CV_GetLastError());
    }
    // The open's purge started the board's stream from message 0.
    std::this_thread::sleep_for(kWarmUp);
    const std::uint64_t delivered = books.delivered.load(std::memory_order_relaxed);
    const std::uint64_t linkBytes = books.linkBytes.load(std::memory_order_relaxed);
    const std::uint64_t missing = books.missing.load(std::memory_order_relaxed);
    const std::uint64_t chipBytes = usb_emu_bytes_to_host(serial);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
    const double elapsed = seconds(Clock::now() - start);
    result("messages_per_second",
           static_cast<double>(books.delivered.load(std::memory_order_relaxed) - delivered) / elapsed);
    result("link_megabytes_per_second",
           static_cast<double>(books.linkBytes.load(std::memory_order_relaxed) - linkBytes) / 1e6 / elapsed);
    result("chip_megabytes_per_second", static_cast<double>(usb_emu_bytes_to_host(serial) - chipBytes) / 1e6 / elapsed);
    result("missing", static_cast<double>(books.missing.load(std::memory_order_relaxed) - missing));
    result("corrupt", static_cast<double>(books.corrupt.load(std::memory_order_relaxed)));
    result("elsewhere", static_cast<double>(books.elsewhere.load(std::memory_order_relaxed)));
    std::printf("last_error %s\n", NRV_CV_GetLastError());
}

// The callback stalls 3 s at the stream's first block; the board streams 2,000,000 numbered 16-byte
// blocks at the link's rate meanwhile (from message 0 at the open's purge).
void stall() {
    const int board = indexOf(kStallStream, openLibrary("fast", "async"));
    books.blockLength = kStallBlockLength;
    books.stallFirst.store(true, std::memory_order_relaxed);
    const auto start = Clock::now();
    if (NRV_CV_SelectActiveDeviceByIndex(board) != 1 || NRV_CV_RegisterReadCallbackForChannel(&checkBlock, 2) != 1 ||
        NRV_CV_RegisterReadCallback(&countElsewhere) != 1 || NRV_CV_OpenDeviceByIndex(board) != 1) {
        fail(std::string("cannot open ") + kStallStream + ": " + NRV_CV_GetLastError());
    }
    // The library's report of a driver that may have dropped data, if it comes: a later error (a
    // framing broken by the cut) may take its place as the last error.
    std::string dropReport;
    auto lookForReport = [&] {
        const std::string text = NRV_CV_GetLastError();
        if (dropReport.empty() && text.find("may have dropped data") != std::string::npos) {
            dropReport = text;
        }
    };
    while (usb_emu_stream_sent(kStallStream) < kStallMessages && Clock::now() - start < 120s) {
        lookForReport();
        std::this_thread::sleep_for(20ms);
    }
    // The books close when nothing has moved for a second.
    std::uint64_t seen = ~std::uint64_t{0};
    while (books.delivered.load(std::memory_order_relaxed) != seen && Clock::now() - start < 180s) {
        seen = books.delivered.load(std::memory_order_relaxed);
        for (int look = 0; look < 50; ++look) {
            lookForReport();
            std::this_thread::sleep_for(20ms);
        }
    }
    const std::uint64_t delivered = books.delivered.load(std::memory_order_relaxed);
    const std::uint64_t sent = usb_emu_stream_sent(kStallStream);
    result("sent", static_cast<double>(sent));
    result("delivered", static_cast<double>(delivered));
    // Never delivered: skipped numbers inside the run, and the run's end that never came.
    result("missing", static_cast<double>(sent > delivered ? sent - delivered : 0));
    result("gaps", static_cast<double>(books.missing.load(std::memory_order_relaxed)));
    result("corrupt", static_cast<double>(books.corrupt.load(std::memory_order_relaxed)));
    result("elsewhere", static_cast<double>(books.elsewhere.load(std::memory_order_relaxed)));
    result("seconds", seconds(Clock::now() - start));
    std::printf("drop_report %s\n", dropReport.empty() ? "none" : dropReport.c_str());
    std::printf("last_error %s\n", NRV_CV_GetLastError());
}

// ---- the driver alone ------------------------------------------------------------------------------

void raw(const std::string& fifo, d2xx::DWORD inSize) {
    void* driver = driverLibrary();
    auto setVidPid = entry<d2xx::PFN_FT_SetVIDPID>(driver, "FT_SetVIDPID");
    auto createList = entry<d2xx::PFN_FT_CreateDeviceInfoList>(driver, "FT_CreateDeviceInfoList");
    auto openEx = entry<d2xx::PFN_FT_OpenEx>(driver, "FT_OpenEx");
    auto queueStatus = entry<d2xx::PFN_FT_GetQueueStatus>(driver, "FT_GetQueueStatus");
    auto read = entry<d2xx::PFN_FT_Read>(driver, "FT_Read");
    auto setBitMode = entry<SetBitMode>(driver, "FT_SetBitMode");
    auto setUsbParameters = entry<SetUsbParameters>(driver, "FT_SetUSBParameters");
    if (setVidPid != nullptr) {
        setVidPid(0x0403, 0x8089); // the vendor's driver lists other ids only once told
    }
    d2xx::DWORD listed = 0;
    createList(&listed);
    d2xx::FT_HANDLE handle = nullptr;
    if (openEx(const_cast<char*>(kBlockStream), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle) != d2xx::FT_OK) {
        fail(std::string("the driver cannot open ") + kBlockStream);
    }
    if (inSize != 0) {
        if (setUsbParameters == nullptr || setUsbParameters(handle, inSize, inSize) != d2xx::FT_OK) {
            fail("FT_SetUSBParameters failed");
        }
    }
    if (fifo == "sync" && (setBitMode == nullptr || setBitMode(handle, 0xFF, kSyncFifoMode) != d2xx::FT_OK)) {
        fail("FT_SetBitMode(0x40) failed");
    }
    std::vector<std::uint8_t> buffer(1 << 20);
    std::uint64_t bytes = 0;
    Clock::time_point start{};
    const auto warmUpEnd = Clock::now() + kWarmUp;
    bool measuring = false;
    const auto measure = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kMeasureSeconds));
    for (;;) {
        const auto now = Clock::now();
        if (!measuring && now >= warmUpEnd) {
            measuring = true;
            start = now;
            bytes = 0;
        } else if (measuring && now - start >= measure) {
            break;
        }
        d2xx::DWORD pending = 0;
        if (queueStatus(handle, &pending) != d2xx::FT_OK) {
            fail("FT_GetQueueStatus failed");
        }
        if (pending == 0) {
            continue;
        }
        d2xx::DWORD got = 0;
        read(handle, buffer.data(), std::min<d2xx::DWORD>(pending, static_cast<d2xx::DWORD>(buffer.size())), &got);
        bytes += got;
    }
    result("megabytes_per_second", static_cast<double>(bytes) / 1e6 / seconds(Clock::now() - start));
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto arg = [&](std::size_t i, const char* otherwise) { return i < args.size() ? args[i] : std::string(otherwise); };
    if (args.size() < 2 || (args[0] != "vendor" && args[0] != "open")) {
        std::fprintf(stderr, "usage: vendor_bench vendor|open sends|receive|raw|stall [arguments]\n");
        return 2;
    }
    road = args[0];
    const std::string& what = args[1];
    if (what == "sends") {
        sends(arg(2, "default"));
    } else if (what == "receive") {
        receive(arg(2, "fast"), arg(3, "blocks"), arg(4, "async"));
    } else if (what == "raw") {
        raw(arg(2, "async"), static_cast<d2xx::DWORD>(std::strtoul(arg(3, "0").c_str(), nullptr, 10)));
    } else if (what == "stall") {
        stall();
    } else {
        fail("unknown case " + what);
    }
    std::fflush(stdout);
    std::_Exit(0); // the library's threads run until the process ends
}
