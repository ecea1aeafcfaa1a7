// The co-simulated gateware on each road to the chip, measured in one run: the simulated driver,
// and the emulated chip (libusb_emu.so preloaded) through Corvane's own driver and the vendor's.
// For each road, in a process of its own: interface clocks the gateware ran per second of wall
// time while its stream runs flat out to a callback, the stream's payload, and 255-byte block echo
// round trips per second; every figure also as a ratio to the simulated driver's. The
// synchronous-FIFO board streams on the open road only (the road that sets that mode).
//
//   gateware_road_bench [seconds per case, default 2]
#include "board_sim.h"
#include "corvane.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// FT2232Hs used on interface B (the asynchronous FIFO), and an FT232H wired for the synchronous one.
constexpr const char* kBoardFile = R"({"boards": [
  {"id": "0x04038088", "serial": "BENCHECHO", "description": "RTL Echo", "dualChannel": true, "logic": "rtl",
   "behaviour": "echo"},
  {"id": "0x04038089", "serial": "BENCHSTRM", "description": "RTL Stream", "dualChannel": true, "logic": "rtl",
   "behaviour": "stream", "stream": {"singleByteChannels": [0], "blockChannels": [1], "blockLength": 32}},
  {"id": "0x0403808A", "serial": "BENCHSYNC", "description": "RTL Sync Stream", "fifo": "sync", "logic": "rtl",
   "behaviour": "stream", "stream": {"singleByteChannels": [0], "blockChannels": [1], "blockLength": 32}}
]})";

// The gateware's state as both hosts of boards give it: usb_emu_rtl_state fills the simulated
// driver's struct.
using RtlState = SimRtlState;

std::atomic<std::uint64_t> messages{0};
std::atomic<std::uint64_t> bytes{0};

int32_t CORVANE_CALL count(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t length) {
    bytes.fetch_add(length, std::memory_order_relaxed);
    messages.fetch_add(1, std::memory_order_release); // publishes the byte count with the message
    return 0;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---- one road, in the child process ----------------------------------------------------------

bool simRoad = false;
void* simDriver = nullptr;

RtlState rtlState(const std::string& serial) {
    RtlState state{};
    if (simRoad) {
        auto find = reinterpret_cast<int (*)(const char*)>(dlsym(simDriver, "sim_find_device"));
        auto get = reinterpret_cast<void (*)(int, RtlState*, char*, std::uint32_t)>(dlsym(simDriver, "sim_rtl_state"));
        get(find(serial.c_str()), &state, nullptr, 0);
    } else if (auto get = reinterpret_cast<int (*)(const char*, RtlState*, char*, std::uint32_t)>(
                   dlsym(RTLD_DEFAULT, "usb_emu_rtl_state"))) {
        get(serial.c_str(), &state, nullptr, 0);
    }
    return state;
}

int indexOf(const char* serial) {
    for (int i = 0; i < 16; ++i) {
        const char* listed = NRV_CV_GetDeviceSerial(i);
        if (listed != nullptr && std::strcmp(listed, serial) == 0) {
            return i;
        }
    }
    std::fprintf(stderr, "gateware_road_bench: %s is not listed\n", serial);
    std::exit(1);
}

int use(const char* serial) {
    const int board = indexOf(serial);
    if (NRV_CV_SelectActiveDeviceByIndex(board) != 1 || NRV_CV_RegisterReadCallback(count) != 1 ||
        NRV_CV_OpenDeviceByIndex(board) != 1 || NRV_CV_SelectActiveDeviceByIndex(board) != 1) {
        std::fprintf(stderr, "gateware_road_bench: %s: %s\n", serial, NRV_CV_GetLastError());
        std::exit(1);
    }
    return board;
}

double roundTrips(const char* serial, double seconds) {
    const int board = use(serial);
    std::vector<std::uint8_t> block(255);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 13);
    }
    std::uint64_t done = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        const std::uint64_t before = messages.load(std::memory_order_acquire);
        NRV_CV_SendBlock(3, block.data(), static_cast<std::uint32_t>(block.size()));
        while (messages.load(std::memory_order_acquire) == before) {
            std::this_thread::yield();
        }
        ++done;
    }
    const double rate = static_cast<double>(done) / secondsSince(start);
    NRV_CV_CloseDeviceByIndex(board);
    return rate;
}

// Interface clocks per second and payload bytes per second of a stream, after a short warm-up.
std::pair<double, double> stream(const char* serial, double seconds) {
    const int board = use(serial);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const RtlState before = rtlState(serial);
    const std::uint64_t first = bytes.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double took = secondsSince(start);
    const RtlState after = rtlState(serial);
    const double payload = static_cast<double>(bytes.load(std::memory_order_relaxed) - first) / took;
    NRV_CV_CloseDeviceByIndex(board);
    if (after.violations != 0) {
        std::fprintf(stderr, "gateware_road_bench: %s broke the chip's timing\n", serial);
        std::exit(1);
    }
    return {static_cast<double>(after.cycles - before.cycles) / took, payload};
}

int runRoad(const std::string& road, const char* boardFile, double seconds) {
    simRoad = road == "sim";
    if (simRoad) {
        // The library binds the simulated driver by its path (CORVANE_DRIVER) and gets this instance.
        simDriver = dlopen(std::getenv("CORVANE_DRIVER"), RTLD_NOW | RTLD_GLOBAL);
        auto load =
            simDriver == nullptr
                ? nullptr
                : reinterpret_cast<int (*)(const char*, char*, std::uint32_t)>(dlsym(simDriver, "sim_load_boards"));
        char reason[256] = "";
        if (load == nullptr || load(boardFile, reason, sizeof reason) < 0) {
            std::fprintf(stderr, "gateware_road_bench: the simulated driver: %s %s\n", dlerror(), reason);
            return 1;
        }
    }
    NRV_CV_Open(0, 0, 0);
    NRV_CV_QueryDevices();
    const double echo = roundTrips("BENCHECHOB", seconds);
    const auto [clocks, payload] = stream("BENCHSTRMB", seconds);
    double syncClocks = 0;
    double syncPayload = 0;
    if (road != "vendor") {
        std::tie(syncClocks, syncPayload) = stream("BENCHSYNC", seconds);
    }
    NRV_CV_Close();
    // One line for the parent (after the library's listing): the figures in a fixed order.
    std::printf("figures: %.6g %.6g %.6g %.6g %.6g\n", clocks, payload, echo, syncClocks, syncPayload);
    return 0;
}

// ---- the parent: each road in a child with its environment -------------------------------------

struct Figures {
    double clocks = 0, payload = 0, echo = 0, syncClocks = 0, syncPayload = 0;
    bool ran = false;
};

Figures runChild(const char* self, const std::string& road, const std::string& boardFile, double seconds) {
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        if (road == "sim") {
            setenv("CORVANE_DRIVER", CORVANE_SIM_DRIVER, 1);
        } else {
            setenv("LD_PRELOAD", CORVANE_USB_EMU, 1);
            setenv("LD_LIBRARY_PATH", CORVANE_VENDOR_DRIVER_DIR ":" CORVANE_OPEN_DRIVER_DIR, 1);
            setenv("CORVANE_USB_EMU_BOARDS", boardFile.c_str(), 1);
            setenv("CORVANE_USB_EMU_ROOT", "/tmp", 1);
            setenv("CORVANE_DRIVER", road.c_str(), 1);
            setenv("CORVANE_FIFO", "BENCHSYNC", 1);
        }
        const std::string secondsText = std::to_string(seconds);
        execl(self, self, "--road", road.c_str(), boardFile.c_str(), secondsText.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Figures f;
    const std::size_t at = text.find("figures: ");
    f.ran = WIFEXITED(status) && WEXITSTATUS(status) == 0 && at != std::string::npos &&
            std::sscanf(text.c_str() + at, "figures: %lf %lf %lf %lf %lf", &f.clocks, &f.payload, &f.echo,
                        &f.syncClocks, &f.syncPayload) == 5;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--road") == 0) {
        return runRoad(argv[2], argv[3], std::atof(argv[4]));
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    char path[] = "/tmp/gateware_road_bench_XXXXXX";
    const int file = mkstemp(path);
    if (file < 0 || write(file, kBoardFile, std::strlen(kBoardFile)) < 0) {
        std::perror("gateware_road_bench: board file");
        return 1;
    }
    close(file);
    char self[4096] = "";
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    self[length > 0 ? length : 0] = '\0';
    std::printf("Machine: %u cores, load %s\n", std::thread::hardware_concurrency(), [] {
        static char text[64] = "?";
        std::ifstream("/proc/loadavg").getline(text, sizeof text);
        return text;
    }());
    const Figures sim = runChild(self, "sim", path, seconds);
    std::printf("| road | async: M interface clocks/s | / sim | stream MB/s | / sim | 255-byte echoes/s | / sim | "
                "sync: M CLKOUT clocks/s | stream MB/s |\n|---|---|---|---|---|---|---|---|---|\n");
    for (const char* road : {"sim", "open", "vendor"}) {
        const Figures f = std::string(road) == "sim" ? sim : runChild(self, road, path, seconds);
        if (!f.ran) {
            std::printf("| %s | did not run |\n", road);
            continue;
        }
        std::printf("| %s | %.2f | %.3f | %.2f | %.3f | %.0f | %.3f | ", road, f.clocks / 1e6, f.clocks / sim.clocks,
                    f.payload / 1e6, f.payload / sim.payload, f.echo, f.echo / sim.echo);
        if (f.syncClocks > 0) {
            std::printf("%.2f | %.2f |\n", f.syncClocks / 1e6, f.syncPayload / 1e6);
        } else {
            std::printf("- | - |\n");
        }
    }
    std::remove(path);
    return sim.ran ? 0 : 1;
}
