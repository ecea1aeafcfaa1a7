// Control interface of the simulated D2XX driver. Tests, demos and benchmarks link the simulated
// driver (built as libftd2xx.so, ftd2xx32.dll or ftd2xx64.dll in a build folder of its own) and
// steer it through these functions; the library under test loads the same module by its D2XX name
// and so talks to the same simulated boards. Every function is thread-safe: the driver keeps one lock of its own.
//
// Devices are numbered 0, 1, 2, ... in the order they were added; that number is also their
// position in the driver's device list. Captured writes, queued board bytes and port settings are
// kept per device and survive a close and reopen until sim_reset or sim_clear_written.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(BOARD_SIM_BUILDING)
#define SIM_API extern "C" __declspec(dllexport)
#else
#define SIM_API extern "C" __declspec(dllimport)
#endif
#else
#define SIM_API extern "C" __attribute__((visibility("default")))
#endif

// Removes every device, fault, hook, capture and counter: the state of a freshly loaded driver.
SIM_API void sim_reset(void);

// Attaches a device with the given ID word (vendor id << 16 | product id), serial number and
// description (each copied into the driver's fixed-size node fields, truncated to fit, always
// terminated unless sim_add_raw_device is used). Returns the device number.
SIM_API int sim_add_device(std::uint32_t id, const char* serial, const char* description);

// Attaches a device whose 16-byte serial and 64-byte description fields are copied verbatim,
// unterminated if the caller fills them to the last byte. Returns the device number.
SIM_API int sim_add_raw_device(std::uint32_t id, const char serial[16], const char description[64]);

// Number of devices FT_CreateDeviceInfoList will report: with a count above the number of devices
// added, the driver's list is padded with nodes of a default supported board (for tests of more than
// 256 boards) numbered serials "SIM%05d". -1 restores "the devices added". The padding boards are
// added at once as devices numbered after those added so far (the serial carries the number), so
// they can be opened; with -1 they stay attached but drop out of the list.
// FT_GetDeviceInfoList always copies the list of the latest FT_CreateDeviceInfoList, whatever the
// count it is given, and writes that list's length back.
SIM_API void sim_set_listed_count(int count);

// Bytes the board sends to the host: appended to the device's receive queue, served by FT_GetStatus
// (its receive count) and FT_Read, which never hands out more than is queued. The queue reports at
// most 64 KiB - 512 to status calls (a driver that holds the board back stops a packet short of its
// cap; only the drop mode below reports the vendor's full 64 KiB): bytes beyond are held back by the
// chip's flow control until the host has read some, never lost. Queued bytes signal the receive notification. FT_Read
// returns as soon as the count asked for is queued, else after the read time-out (at most 500 ms, also for time-out 0)
// with what there is. FT_Purge with FT_PURGE_RX empties the queue, as the vendor's driver does, so queue board bytes
// after the library has opened the device.
SIM_API void sim_queue_rx(int device, const std::uint8_t* bytes, std::uint32_t count);
// Bytes still queued towards the host.
SIM_API std::uint32_t sim_rx_pending(int device);
// The vendor's Linux driver does not hold the board back: it goes on asking the chip for data
// while its receive queue is full and drops what does not fit (seen through the emulated chips of
// Libraries/usb_emu). With drop on, this driver's receive queue does the same: it holds at most
// 64 KiB, and whatever arrives beyond (queued bytes, echoes, a stream's messages) is lost, cut
// wherever the cap falls, and status calls report up to the full 64 KiB. A stream fills the queue
// with whole messages while the host keeps up; each time the driver finds it too full for the
// next message, the board sends 4 KiB more regardless, of which what does not fit is lost.
// After loading and after sim_reset as the environment chose: CORVANE_SIM_QUEUE=drop switches it
// on (for programs that cannot reach this API: the tool, the bindings' tests); unset or `hold`
// leaves it off, and the queue holds the board back, as described above.
SIM_API void sim_drop_beyond_queue(int drop);
// Bytes the device's receive queue dropped so far.
SIM_API std::uint64_t sim_dropped_bytes(int device);

// Every FT_Write on the device, in order: the concatenated bytes, and the boundaries of each call.
SIM_API std::uint32_t sim_written_size(int device);
SIM_API std::uint32_t sim_copy_written(int device, std::uint8_t* out, std::uint32_t max);
SIM_API std::uint32_t sim_write_call_count(int device);
SIM_API std::uint32_t sim_write_call_length(int device, std::uint32_t call); // bytes asked by that call
SIM_API void sim_clear_written(int device);

// The next `count` calls of the named entry point (e.g. "FT_Write", any device) fail with `status`
// and do nothing else. count 0 clears the fault; a negative count fails every call until cleared.
SIM_API void sim_fail_next(const char* entryPoint, int count, std::uint32_t status);
// The `nth` driver call from now (1: the very next), whatever its entry point, device and thread,
// fails with `status` and does nothing else; every entry point counts, FT_GetStatus included.
// nth 0 clears it. Independent of the named faults of sim_fail_next.
SIM_API void sim_fail_call(int nth, std::uint32_t status);
// Driver calls made so far, all entry points together (failed calls included); sim_reset zeroes it.
SIM_API std::uint64_t sim_total_calls(void);
// Handles given out by FT_Open and FT_OpenEx and not closed since (any device), those of
// unplugged devices included.
SIM_API std::uint32_t sim_open_handles(void);

// The next `count` FT_Write calls (any device) return FT_OK but write only min(asked, `written`)
// bytes, as the vendor's driver does when the board stops taking data at the write time-out. Only
// the bytes written are captured. A negative count applies to every write until cleared with 0.
SIM_API void sim_short_writes(int count, std::uint32_t written);

// Called inside every FT_Write after its bytes are captured, outside the driver's lock, with the
// device number and the bytes; a test may sleep in it to hold the write. Null removes the hook.
typedef void (*SimWriteHook)(int device, const std::uint8_t* bytes, std::uint32_t count, void* user);
SIM_API void sim_set_write_hook(SimWriteHook hook, void* user);

// Board model: an echoing board answers every single-byte message (0x90|a, v) with (0xD0|(a&7), v),
// every block (0xA0|a, n, data) with a block (0xE0|(a&7), n, data) and every trigger (0x81, v) with a
// trigger (0xC8, v). Control messages (and the 0x92 single bytes that share their header) are
// echoed as single bytes too. The board reads the host's stream message by message, however it is
// cut into writes, and judges a header by its high nibble first: 0x9_ is a single byte to address
// (header & 0xF), 0xA_ a block preamble, so the control headers 0x92/0x9A echo on channel 2 and
// 0xA2/0xAA (control to addresses 4 and 5) are taken for block preambles, as a board must. Other
// control headers (0x82 | (a << 3)) answer (0xD0 | (a & 7), v); anything else is consumed unanswered.
// Off by default; switching it on starts the board at a message boundary. Off makes the board silent.
SIM_API void sim_set_echo(int device, int on);

// What a board sends back (its state is kept alike in every behaviour):
//   SIM_SILENT     nothing (the default);
//   SIM_ECHO       every message echoed, as sim_set_echo describes;
//   SIM_REGISTERS  only the acknowledgement of each complete control sequence to address a: a single
//                  byte (0xD0 | (a & 7), value).
// Every board stores a single byte to address a (0 to 15) as register a holding that byte, and a
// block to address a as register a holding the block's bytes; the low four bits of each trigger
// light its four LEDs; a control sequence (five messages with one control header carrying 0x5A,
// 0xC3, 0x7E, value, 0x00) sets the control value of its address, and one broken off in the middle
// is discarded at the next message that does not continue it. The control headers 0x92 and 0x9A
// are single bytes to addresses 2 and 3 whenever they do not belong to a sequence; 0xA2 and 0xAA
// are always block preambles.
enum { SIM_SILENT = 0, SIM_ECHO = 1, SIM_REGISTERS = 2 };
SIM_API void sim_set_behaviour(int device, int behaviour);
SIM_API int sim_behaviour(int device); // -1 for no such device
// Register `address` (0 to 15): copies up to `max` of its bytes and returns how many it holds.
SIM_API std::uint32_t sim_register(int device, std::uint32_t address, std::uint8_t* out, std::uint32_t max);
// The four LEDs, bit i = LED i lit.
SIM_API std::uint32_t sim_leds(int device);
// The value of the last complete control sequence to `address` (0 to 15), or -1 if none came.
SIM_API int sim_control_value(int device, std::uint32_t address);
struct SimBoardCounts {
    std::uint64_t triggers;
    std::uint64_t singleBytes; // single bytes stored (not those taken into a control sequence)
    std::uint64_t blocks;
    std::uint64_t controlSequences; // complete ones
    std::uint64_t controlDiscarded; // broken off in the middle
};
// What the board has taken in since it was added; all zero for no such device.
SIM_API void sim_board_counts(int device, SimBoardCounts* out);

// A board whose logic is the example gateware ("logic": "rtl" in its board file), simulated cycle
// by cycle behind the bridge chip's pin-level model. sim_leds, sim_register (one byte: the gateware
// keeps no block memory), sim_control_value, sim_board_counts and sim_stream_sent read its state;
// sim_set_behaviour leaves it alone (its board file fixed the behaviour). Here: whether the device is
// such a board, the interface clock cycles it has run, the chip's timing rules it broke (with the
// first one's text, terminated, in `firstViolation` if given) and the bytes its parser discarded.
struct SimRtlState {
    int rtl;
    std::uint64_t cycles;
    std::uint32_t violations;
    std::uint32_t discardedBytes;
};
SIM_API void sim_rtl_state(int device, SimRtlState* out, char* firstViolation, std::uint32_t size);

// Faults. Unplugging pulls the device off the bus: it leaves the driver's list and cannot be
// opened (FT_DEVICE_NOT_FOUND); every call on a handle it had answers FT_IO_ERROR, as the vendor's
// driver does for a removed device, except FT_Close, which releases the handle. Replugging brings
// it back to the list, closed, with its board state kept.
SIM_API void sim_unplug(int device);
SIM_API void sim_replug(int device);
// The device is unplugged right after the given number of further writes (0 cancels).
SIM_API void sim_unplug_after_writes(int device, int writes);
// The device is unplugged and replugged on a timetable: `pairs` pairs of times in `times`, each an
// unplug and then a replug, in milliseconds after the device's next open (the first open since
// this call starts the clock), in increasing order. A pair is applied by the first driver call
// (any entry point) made once it is due. Null or 0 pairs clear the timetable. A replugged device
// comes back closed; opened again, it gets a handle value never given out before.
SIM_API void sim_set_plug_timetable(int device, const std::uint32_t* times, std::uint32_t pairs);
// The next `count` blocks the board sends (negative: all, 0: none) carry only `keep` of the data
// bytes their header announces: a board that breaks off in the middle of a block.
SIM_API void sim_cut_blocks(int device, int count, std::uint32_t keep);

// Number of devices added, and the device number of a serial number (-1 when none has it).
SIM_API int sim_device_count(void);
SIM_API int sim_find_device(const char* serial);

// Boards from a board file (JSON, see docs/board-model.md), replacing every device: returns the
// number of devices added, or -1 with a one-line reason in `error` (at most errorSize bytes,
// terminated) and the driver untouched. A null path loads the default set: two supported boards,
// each the second interface of a dual-channel bridge chip listed after its first, and one
// unsupported cable.
SIM_API int sim_load_boards(const char* path, char* error, std::uint32_t errorSize);

// Port state as the library left it.
SIM_API int sim_is_open(int device);
SIM_API std::uint32_t sim_open_count(int device);   // successful FT_OpenEx calls so far
SIM_API std::uint32_t sim_baud_rate(int device);    // last FT_SetBaudRate, 0 if none
SIM_API std::uint32_t sim_purge_mask(int device);   // OR of every FT_Purge mask since the last open
SIM_API std::uint32_t sim_read_timeout(int device); // last FT_SetTimeouts, 0 if none
SIM_API std::uint32_t sim_write_timeout(int device);
SIM_API std::uint32_t sim_latency_timer(int device); // 16 after every open, else the last FT_SetLatencyTimer
// The mask of the device's last FT_SetEventNotification since its open, 0 if none. The driver
// signals it (FT_EVENT_RXCHAR) whenever bytes reach the receive queue: on Windows the parameter is
// an event handle it sets; elsewhere a d2xx::FT_EVENT_HANDLE whose mutex it locks while it signals
// the condition variable, never while it holds a lock of its own.
SIM_API std::uint32_t sim_event_mask(int device);
// FT_GetStatus calls that reached the device's handle since it was added (failed ones included).
SIM_API std::uint32_t sim_status_calls(int device);

// The vendor's call costs: with on, FT_GetStatus and FT_GetQueueStatus take about 60 us (mostly
// asleep, as the vendor's Linux driver does) and FT_Read and FT_Write a few microseconds more
// (busy). Off after loading; sim_reset leaves the setting alone.
SIM_API void sim_set_vendor_costs(int on);

// How often an entry point was called since the last reset (any device, failed calls included).
SIM_API std::uint64_t sim_call_count(const char* entryPoint);

// The named D2XX entry point of this driver, or null when this build lacks it; cast it to its
// d2xx::PFN_ type. Tests of the driver itself call its entry points this way, which works alike on
// every platform (the 32-bit Windows DLL exports them undecorated, so they cannot be linked by name).
typedef void (*SimEntryPoint)(void);
SIM_API SimEntryPoint sim_entry_point(const char* name);

// Stream mode: the board sends numbered messages by itself, in turn over the chosen channels
// (single bytes first, then blocks, channel by channel), as fast as the host takes them (the
// driver's receive queue is kept full) or at a set rate. Message n of the stream (counted from 0
// over all its channels) is checkable on its own: a single byte carries n & 0xFF; a block carries n
// as its first four bytes (little-endian) followed by bytes derived from n, so a block holding
// another's bytes is caught (sim_stream_block_byte gives every byte). A full receive queue makes
// the stream wait, as the chip's flow control does: nothing is lost between board and driver.
struct SimStream {
    std::uint32_t singleByteChannels; // bit c set: single bytes (0xD0 | c, n & 0xFF) on channel c
    std::uint32_t blockChannels;      // bit c set: blocks (0xE0 | c, length, data) on channel c
    std::uint32_t blockLength;        // 4 to 255 data bytes per block
    std::uint32_t messagesPerSecond;  // 0: as fast as the host reads
    std::uint64_t count;              // messages in all, then the board falls silent; 0: endless
};
// The stream runs while the device is open, so set it after the library has opened the device
// (opening purges the receive queue). A stream with block channels and a block length outside
// 4..255 is refused and stops the stream in place, as null does.
// Starts (or replaces) the device's stream, numbering from 0; null stops it.
SIM_API void sim_set_stream(int device, const SimStream* stream);
// Messages of the stream put into the receive queue so far (kept after the stream stopped).
SIM_API std::uint64_t sim_stream_sent(int device);
// Data byte i (0-based) of block n of a stream with the given block length.
SIM_API std::uint8_t sim_stream_block_byte(std::uint64_t n, std::uint32_t blockLength, std::uint32_t i);
