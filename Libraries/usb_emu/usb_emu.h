// Control interface of the emulated chips (libusb_emu.so). The library is preloaded
// (LD_PRELOAD) before the vendor's D2XX driver loads: it plugs one emulated FTDI bridge chip per
// board of a board file (CORVANE_USB_EMU_BOARDS: a path, or "default" or unset for the simulated
// driver's default set) into a USB file tree of its own, made in a private folder under
// CORVANE_USB_EMU_ROOT (or the temporary folder) and removed at exit. A dual-channel board is an
// FT2232H, whose two interfaces the driver lists with A and B added to the serial number; a
// single-channel one an FT232H. The FIFO side of every interface is a board of the board model
// (docs/board-model.md), behind a link of CORVANE_USB_EMU_RATE bytes per second (default
// 8000000, the async FIFO's rate; 0 for unlimited).
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
// Receive notifications the vendor's driver gave: its signals on a condition variable that the
// Corvane library waits on (the FT_EVENT_HANDLE of FT_SetEventNotification).
USB_EMU_API std::uint64_t usb_emu_driver_signals(void);
// Data byte i (0-based) of block n of a board's stream with the given block length.
USB_EMU_API std::uint8_t usb_emu_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i);
