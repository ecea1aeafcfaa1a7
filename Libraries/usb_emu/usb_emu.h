// Control interface of the emulated chips (libusb_emu.so). The library is preloaded
// (LD_PRELOAD) before the vendor's D2XX driver loads: it plugs one emulated FTDI bridge chip per
// board of a board file (CORVANE_USB_EMU_BOARDS: a path, or "default" or unset for the simulated
// driver's default set) into a USB file tree of its own, made in a private folder under
// CORVANE_USB_EMU_ROOT (or the temporary folder) and removed at exit. A dual-channel board is an
// FT2232H, whose two interfaces the driver lists with A and B added to the serial number; a
// single-channel one an FT232H. The FIFO side of every interface is the board its entry describes
// (docs/board-model.md): the board model, or with "logic": "rtl" the example gateware, Verilated
// behind the chip's pin-level model (where the build has it; elsewhere the board file is refused,
// saying why on standard error). The model sits behind a link of CORVANE_USB_EMU_RATE bytes per second (default
// 8000000, the async FIFO's rate; 0 for unlimited, in every mode). Bit mode 0x40 (request 0x0B,
// the mode in wValue's high byte) puts an FT232H or interface A of an FT2232H into the
// synchronous 245 FIFO, whose link runs at CORVANE_USB_EMU_SYNC_RATE (default 40000000; 0 for
// unlimited); interface B stalls the request; mode 0 goes back to the async FIFO. A board file's
// "fifo": "sync" marks the board as wired for it (usb_emu_board_fifo_sync): the chip takes the
// mode whatever the board file says, as a chip does whatever its EEPROM says. A gateware board
// ("logic": "rtl") is not held to these rates: its pins and the chip model's timing set its rate.
// With "fifo": "sync" it is the gateware's synchronous build, which runs only while its interface
// is in bit mode 0x40 (the chip gives its 60 MHz CLKOUT only then): until then the chip takes none
// of the host's bytes and the board sends nothing.
//
// The chip's FIFO towards the host holds 4 KiB per interface of an FT2232H and 1 KiB on an
// FT232H: when it is full and no IN request asks, the board waits (its stream makes nothing more
// until there is room), so a host that stops asking loses nothing.
//
// The device nodes answer what libusb-1.0 asks of usbfs besides bulk and control URBs: read()
// gives the descriptors, readlink("/proc/self/fd/N") the /dev/bus/usb path, CONNECTINFO,
// GET_SPEED (high speed), GETDRIVER, USBDEVFS_IOCTL with DISCONNECT and CONNECT,
// DISCONNECT_CLAIM, CONTROL, CLEAR_HALT. Every interface has the kernel's serial driver
// ("ftdi_sio") bound at every plug: a claim fails with EBUSY until it is detached.
//
// Tests call these functions through dlsym or by linking the library. Chips are named by the
// serial number their USB descriptor carries ("CV000101"); interfaces by the serial number the
// driver lists ("CV000101B"). Every function is thread-safe.
#pragma once

#include <cstdint>

#define USB_EMU_API extern "C" __attribute__((visibility("default")))

// Chips plugged in at start-up (plugged or not now).
USB_EMU_API int usb_emu_chip_count(void);
// Pulls the chip out: its URBs fail with ENODEV, its open device files poll POLLERR, it leaves the
// file tree and a "remove" uevent goes out. Replugged it comes back with a new device number and
// an "add" uevent. Both return 0, or -1 for an unknown chip.
USB_EMU_API int usb_emu_unplug(const char* usbSerial);
USB_EMU_API int usb_emu_replug(const char* usbSerial);
// The chip's device number (new at every plug), or -1 for an unknown or unplugged chip.
USB_EMU_API int usb_emu_device_number(const char* usbSerial);

// Every byte the interface's board has taken from the host, in order: copies up to `max` and
// returns how many it holds (0 for an unknown interface).
USB_EMU_API std::uint32_t usb_emu_received(const char* serial, std::uint8_t* out, std::uint32_t max);
USB_EMU_API void usb_emu_clear_received(const char* serial);
// Bytes the board sends to the host, behind whatever it has still to send.
USB_EMU_API void usb_emu_board_sends(const char* serial, const std::uint8_t* bytes, std::uint32_t count);
// The interface's latency timer as the driver last set it, or -1 when it has not since the plug
// (or the interface is unknown).
USB_EMU_API int usb_emu_latency_timer(const char* serial);
// The board's stream starts again from message 0, as it does at every claim and receive purge
// (with what the board and the chip still held of it dropped): for a test that wants the stream
// to begin only once the host is ready. 0, or -1 for an unknown interface.
USB_EMU_API int usb_emu_restart_stream(const char* serial);
// Messages the board's stream has sent since the interface was last claimed or purged.
USB_EMU_API std::uint64_t usb_emu_stream_sent(const char* serial);
// IN packets that carried only the two status bytes (the latency timer ran out with no data).
USB_EMU_API std::uint64_t usb_emu_status_only_packets(const char* serial);
// Data bytes the interface has put into IN packets for the driver (the status bytes not counted).
USB_EMU_API std::uint64_t usb_emu_bytes_to_host(const char* serial);
// Control requests and ioctls the chip did not know (each stalled or refused).
USB_EMU_API std::uint64_t usb_emu_unknown_requests(void);
// The link rate from now on, bytes per second; 0 for unlimited.
USB_EMU_API void usb_emu_set_link_rate(std::uint64_t bytesPerSecond);
// Receive notifications the driver gave (the vendor's or ours): its signals on a condition variable that the
// Corvane library waits on (the FT_EVENT_HANDLE of FT_SetEventNotification).
USB_EMU_API std::uint64_t usb_emu_driver_signals(void);
// Data byte i (0-based) of block n of a board's stream with the given block length.
USB_EMU_API std::uint8_t usb_emu_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i);

// The kernel driver bound to the interface, copied into `out` (at most `size` bytes, terminated):
// "ftdi_sio" (the serial driver, bound at every plug), "usbfs" (claimed by a program), or "" (none).
// 0, or -1 for an unknown interface.
USB_EMU_API int usb_emu_kernel_driver(const char* serial, char* out, std::uint32_t size);
// Another process claims the interface (held != 0) or lets it go: while it holds it, a claim
// fails with EBUSY and GETDRIVER answers "usbfs"; let go, no driver is bound. 0, or -1 for an
// unknown interface or one a device file of this process has claimed.
USB_EMU_API int usb_emu_hold_interface(const char* serial, int held);
// The chip's device node refuses to be opened (refuse != 0: EACCES, as a node the user may not
// open) or opens again. 0, or -1 for an unknown chip.
USB_EMU_API int usb_emu_refuse_open(const char* usbSerial, int refuse);

// Faults of an interface, each for the next `count` requests of its kind (0 disarms). An IN fault
// meets a request no sooner than 5 ms after its submission, so that every URB of a transfer libusb
// splits is in before the first fails (a stall of a transfer's first URB that came before the rest
// were submitted would reach libusb as a transfer ended early, not as a stall).
enum : int {
    USB_EMU_FAULT_STALL_IN = 1,  // an IN request ends with a stall (URB status -EPIPE)
    USB_EMU_FAULT_HANG_OUT = 2,  // an OUT request the chip never takes: it ends only when discarded
    USB_EMU_FAULT_SHORT_IN = 3,  // an IN request ends with a 1-byte packet (half the status bytes)
    USB_EMU_FAULT_NO_STATUS = 4, // an IN request ends with a 512-byte packet of data without status bytes
};
// 0, or -1 for an unknown interface or fault.
USB_EMU_API int usb_emu_fault(const char* serial, int fault, int count);

// The interface's bit mode as the host last set it (wValue's high byte of request 0x0B; 0 since
// the plug), or -1 for an unknown interface.
USB_EMU_API int usb_emu_bit_mode(const char* serial);
// The interface's link rate now, bytes per second (0: unlimited): the sync FIFO's in bit mode
// 0x40, else the async FIFO's; 0 for a gateware board. UINT64_MAX for an unknown interface.
USB_EMU_API std::uint64_t usb_emu_interface_link_rate(const char* serial);
// The sync FIFO's rate from now on (0: unlimited).
USB_EMU_API void usb_emu_set_sync_rate(std::uint64_t bytesPerSecond);
// Bytes in the chip's FIFO towards the host now, and its size; 0 for an unknown interface.
USB_EMU_API std::uint32_t usb_emu_fifo_bytes(const char* serial);
USB_EMU_API std::uint32_t usb_emu_fifo_size(const char* serial);
// 1 when the board file says the board is wired for the synchronous FIFO ("fifo": "sync"), 0 if
// not, -1 for an unknown interface.
USB_EMU_API int usb_emu_board_fifo_sync(const char* serial);

// The state of the board behind an interface, as the simulated driver's sim_leds, sim_register,
// sim_control_value, sim_board_counts and sim_rtl_state give it for its devices.
// The four LEDs (the low four bits of the last trigger), 0 for an unknown interface.
USB_EMU_API std::uint32_t usb_emu_board_leds(const char* serial);
// What the last single byte or block to `address` (0 to 15) left in the register: copies up to
// `max` bytes and returns how many it holds (the gateware keeps one byte); 0 if nothing reached it
// or the interface is unknown.
USB_EMU_API std::uint32_t usb_emu_board_register(const char* serial, std::uint32_t address, std::uint8_t* out,
                                                 std::uint32_t max);
// The value of the last complete control sequence to `address`, or -1 if none came (or unknown).
USB_EMU_API int usb_emu_board_control(const char* serial, std::uint32_t address);
struct UsbEmuBoardCounts {
    std::uint64_t triggers;
    std::uint64_t singleBytes; // single bytes stored (not those taken into a control sequence)
    std::uint64_t blocks;
    std::uint64_t controlSequences; // complete ones
    std::uint64_t controlDiscarded; // broken off in the middle
};
// What the board has taken in since it was plugged in at start-up: 0, or -1 (and all zero) for an
// unknown interface.
USB_EMU_API int usb_emu_board_counts(const char* serial, UsbEmuBoardCounts* out);
// The gateware behind the interface ("logic": "rtl"): whether it is one (rtl), the interface clock
// cycles it has run, the chip's timing rules it broke (the first one's text, terminated, in
// `firstViolation` if given) and the bytes its parser discarded. All zero for the board model.
// 0, or -1 for an unknown interface.
struct UsbEmuRtlState {
    int rtl;
    std::uint64_t cycles;
    std::uint32_t violations;
    std::uint32_t discardedBytes;
};
USB_EMU_API int usb_emu_rtl_state(const char* serial, UsbEmuRtlState* out, char* firstViolation, std::uint32_t size);
