// A guided tour of the library against two simulated boards that echo what they are sent: list
// the boards, open one, send every kind of message, watch the answers arrive in the callbacks,
// play a short light show and close again. Run it with --selftest to add the full self test.
#include "board_sim.h"
#include "corvane.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<int> messagesSeen{0};

int32_t CORVANE_CALL onMessage(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* data,
                               uint32_t) {
    std::string kind = (command & 0x08) ? "trigger" : (command & 0x10) ? "single byte" : "block";
    std::printf("  <- board %d channel %d: %s (command 0x%02X, length %u)", static_cast<int>(device),
                static_cast<int>(channel), kind.c_str(), static_cast<unsigned>(command), static_cast<unsigned>(length));
    if ((command & 0x08) == 0) {
        std::printf(" bytes:");
        for (uint32_t i = 0; i < length && i < 16; ++i) {
            std::printf(" %02X", data[i]);
        }
        if ((command & 0x20) != 0) {
            std::printf("  \"%.*s\"", static_cast<int>(length), reinterpret_cast<const char*>(data));
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    // Release: the lines above are printed before the main thread sees the count.
    messagesSeen.fetch_add(1, std::memory_order_release);
    return 0;
}

bool waitForMessages(int count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Acquire: pairs with the callback's release.
    while (messagesSeen.load(std::memory_order_acquire) < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::printf("  (no answer within 10 s)\n");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void step(const char* text) { std::printf("\n== %s\n", text); std::fflush(stdout); }

} // namespace

int main(int argc, char** argv) {
    bool selfTest = argc > 1 && std::strcmp(argv[1], "--selftest") == 0;

    int first = sim_add_device(0x04038088, "CV000101", "Corvane Eval Board");
    sim_add_device(0x0403808F, "CV000102", "Corvane Eval Board 2");
    sim_add_device(0x04036001, "FT000001", "Some other USB serial cable");
    sim_set_echo(first, 1);

    step("Open the library");
    NRV_CV_Open(0, 0, 0);
    uint16_t major = 0, minor = 0, revision = 0, build = 0;
    NRV_CV_GetVersionControl(&major, &minor, &revision, &build);
    std::printf("%s, version %s (%u.%u.%u.%u), interface %s\nLast error: %s", NRV_CV_GetName(),
                NRV_CV_GetVersionString(), major, minor, revision, build, NRV_CV_GetInterfaceVersion(),
                NRV_CV_GetLastError());

    step("List the boards (the third device is not a supported board)");
    int count = NRV_CV_QueryDevices();
    for (int i = 0; i < count; ++i) {
        std::printf("  index %d: name \"%s\", serial \"%s\"\n", i, NRV_CV_GetDeviceName(i), NRV_CV_GetDeviceSerial(i));
    }

    step("Open board 0, select it and register a callback");
    int opened = NRV_CV_OpenDeviceByIndex(0);
    int selected = NRV_CV_SelectActiveDeviceByIndex(0);
    int registered = NRV_CV_RegisterReadCallback(onMessage);
    std::printf("  open: %d, select: %d, register: %d\n", opened, selected, registered);

    step("Send a single byte 0x41 to address 3; the board echoes it on channel 3");
    std::printf("  send: %d\n", NRV_CV_SendByte(3, 0x41));
    waitForMessages(1);

    step("Send a block of text to address 2; the board echoes it as a block");
    const char text[] = "Hello, board!";
    std::printf("  send: %d\n", NRV_CV_SendBlock(2, reinterpret_cast<const uint8_t*>(text), sizeof text - 1));
    waitForMessages(2);

    step("Send a trigger 0x08; the board answers with a trigger");
    std::printf("  send: %d\n", NRV_CV_SendTrigger(0x08));
    waitForMessages(3);

    step("Play a light show: steps 1 2 3 4, twice, 20 ms apart");
    sim_set_echo(first, 0);
    sim_clear_written(first);
    const uint8_t sequence[] = {1, 2, 3, 4};
    // Eight triggers, then the closing control pair: ten control messages.
    constexpr uint32_t kShowBytes = 8 * 2 + 10 * 2;
    std::printf("  started: %d\n", NRV_CV_LEDBlinky(20, 2, sequence, 4));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim_written_size(first) < kShowBytes && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    uint8_t wire[128] = {};
    uint32_t size = sim_copy_written(first, wire, sizeof wire);
    std::printf("  %u bytes on the wire:", size);
    for (uint32_t i = 0; i < size; ++i) {
        std::printf("%s%02X", i % 16 == 0 ? "\n   " : " ", wire[i]);
    }
    std::printf("\n");

    if (selfTest) {
        step("Run the self test (100000 cycles)");
        // The board echoes every message; the answers are consumed without a callback.
        NRV_CV_RegisterReadCallback(nullptr);
        sim_set_echo(first, 1);
        auto start = std::chrono::steady_clock::now();
        int result = NRV_CV_PerformSelfTest();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("  result %d after %.1f s, last error: %s\n", result, seconds, NRV_CV_GetLastError());
    }

    step("Close the board and the library");
    std::printf("  close: %d\n", NRV_CV_CloseDeviceByIndex(0));
    int closedAgain = NRV_CV_CloseDeviceByIndex(0);
    std::printf("  close again: %d, last error: %s\n", closedAgain, NRV_CV_GetLastError());
    NRV_CV_Close();
    std::printf("  library open: %s\n", NRV_CV_Initialize() ? "yes" : "no");
    std::printf("\nTour finished.\n");
    return 0;
}
