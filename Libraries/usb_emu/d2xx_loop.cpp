// The receive rate of a plain read loop through a D2XX driver (FT_GetQueueStatus, then FT_Read of
// what waits), against the emulated chips: a measuring tool, run with the emulator preloaded
// (LD_PRELOAD=libusb_emu.so CORVANE_USB_EMU_BOARDS=boards.json CORVANE_USB_EMU_RATE=0) as
//   usb_emu_d2xx_loop libftd2xx.so <serial> [seconds] [IN request KiB]
// It links no libusb of its own: the vendor's driver carries one, whose symbols another copy in
// the process would stand in for.
#include "d2xx.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: usb_emu_d2xx_loop <driver.so> <serial> [seconds] [IN request KiB]\n");
        return 2;
    }
    void* driver = dlopen(argv[1], RTLD_NOW);
    if (driver == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
    const unsigned kib = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 0;
    auto openEx = reinterpret_cast<d2xx::PFN_FT_OpenEx>(dlsym(driver, "FT_OpenEx"));
    auto queueStatus = reinterpret_cast<d2xx::PFN_FT_GetQueueStatus>(dlsym(driver, "FT_GetQueueStatus"));
    auto read = reinterpret_cast<d2xx::PFN_FT_Read>(dlsym(driver, "FT_Read"));
    auto closeHandle = reinterpret_cast<d2xx::PFN_FT_Close>(dlsym(driver, "FT_Close"));
    using SetUsbParameters = d2xx::FT_STATUS (*)(d2xx::FT_HANDLE, d2xx::ULONG, d2xx::ULONG);
    auto usbParameters = reinterpret_cast<SetUsbParameters>(dlsym(driver, "FT_SetUSBParameters"));
    auto createList = reinterpret_cast<d2xx::PFN_FT_CreateDeviceInfoList>(dlsym(driver, "FT_CreateDeviceInfoList"));
    d2xx::FT_HANDLE handle = nullptr;
    d2xx::DWORD listed = 0;
    if (openEx == nullptr || queueStatus == nullptr || read == nullptr || closeHandle == nullptr ||
        createList == nullptr) {
        std::fprintf(stderr, "%s lacks an entry point\n", argv[1]);
        return 1;
    }
    createList(&listed);
    if (const d2xx::FT_STATUS status = openEx(argv[2], d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle); status != 0) {
        std::fprintf(stderr, "cannot open %s through %s (status %u, %u listed)\n", argv[2], argv[1], status, listed);
        return 1;
    }
    if (kib != 0 && usbParameters != nullptr) {
        usbParameters(handle, kib * 1024, kib * 1024);
    }
    std::vector<std::uint8_t> buffer(1 << 20);
    std::uint64_t total = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        d2xx::DWORD waiting = 0;
        if (queueStatus(handle, &waiting) != 0) {
            break;
        }
        if (waiting == 0) {
            continue;
        }
        d2xx::DWORD got = 0;
        if (read(handle, buffer.data(), std::min<d2xx::DWORD>(waiting, 1 << 20), &got) != 0) {
            break;
        }
        total += got;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("D2XX loop, IN requests %s KiB: %.2f MB/s (%llu bytes in %.2f s)\n",
                kib == 0 ? "default" : std::to_string(kib).c_str(), static_cast<double>(total) / elapsed / 1e6,
                static_cast<unsigned long long>(total), elapsed);
    closeHandle(handle);
    return 0;
}
