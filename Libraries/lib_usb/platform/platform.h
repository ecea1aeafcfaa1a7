// The only part of the library that knows the operating system. One implementation file per
// platform (platform_posix.cpp, platform_windows.cpp); CMake compiles the one that fits.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace corvane::platform {

// File names of the D2XX driver library on this platform, in the order they are tried: the first
// that loads is the one bound. Every text that names the driver uses one of these.
extern const std::span<const char* const> kDriverLibraryNames;
// File names of the open driver, the D2XX driver of our own that is installed beside the library
// (CORVANE_DRIVER=open), in the order tried; empty where this platform has none.
extern const std::span<const char* const> kOpenDriverLibraryNames;

// Why loadLibrary failed. wrongWordSize: the file found is a library for another word size (a
// 32-bit DLL found by a 64-bit program); told apart only where the library reports it.
enum class LoadFailure { none, notLoaded, wrongWordSize };

// Loads a shared library by its bare file name with the system's search order, or by a path as
// given; null on failure,
// with the reason in *failure.
void* loadLibrary(const char* fileName, LoadFailure* failure);
// Address of an exported symbol of a loaded library; null when it is not exported.
void* findSymbol(void* library, const char* name);

using ThreadRoutine = std::uint32_t (*)(void* argument);
// Starts a detached thread running routine(argument). The thread's non-zero id is stored in
// *idOut (when given) before the routine can run, so a routine that clears *idOut as its last act
// is never overwritten by its creator. Returns the id, or 0 when no thread could be started (then
// *idOut is 0 again).
std::uint32_t startThread(ThreadRoutine routine, void* argument, std::atomic<std::uint32_t>* idOut);

// Sleeps at least the given number of milliseconds; 0 yields the rest of the time slice.
void sleepMs(std::uint32_t milliseconds);
// Gives up the rest of the time slice (a zero sleep).
void yield();

// Writes text to standard output as it stands (no newline added) and flushes, so that console
// lines appear in order with the caller's own output even when it is redirected.
void consoleWrite(const char* text);

// ---- Waiting instead of spinning (CORVANE_IDLE=wait); wake_posix.cpp, wake_windows.cpp -------

// An auto-reset event that cannot lose a signal: a signal given while nobody waits is kept for
// the next wait. Made once per HostContext and never freed, like the context.
struct WakeEvent;

// A new event, not signalled; null when the system refuses one.
WakeEvent* createWakeEvent();
// Signals the event: the waiter (or the next one) wakes. Any thread; never blocks for long.
void signalWakeEvent(WakeEvent* event);
// Sleeps until the event is signalled or `timeoutMs` has passed, and resets the event. The D2XX
// driver may also wake the waiter through the handle below, without leaving a signal behind: so
// `stillIdle`, when given, is called first where no such wake-up can be missed (with the event's
// lock held on POSIX; Windows events keep the driver's signal anyway), and the wait is skipped
// when it returns false. It must not signal this
// event. Spurious returns are possible; callers look again.
void waitWakeEvent(WakeEvent* event, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument);
// The event in the form that FT_SetEventNotification takes on this platform: the Win32 event
// handle, or the driver's event-handle record (condition variable, mutex, int) on Linux.
void* driverNotificationHandle(WakeEvent* event);

// ---- One receive notification per board (CORVANE_IDLE=wait); board_signals_*.cpp -------------

// The boards' own receive notifications, one per slot of the device database, gathered so that
// the read thread sleeps until some board has bytes and then asks only that board. Made once per
// HostContext and never freed, like the context; a slot's notification is made at the board's
// first open and kept for its reopens.
struct BoardSignals;

// Called once for every signal of a slot's notification (and possibly spuriously): the board may
// have new bytes. On POSIX it runs on the slot's own waiter thread with the notification's mutex
// held, so the driver, which must take that mutex to signal, cannot signal while nobody waits; on
// Windows it runs inside waitBoardSignals, on the caller's thread. It must not block for long and
// must not call into the driver.
using MarkBoard = void (*)(void* argument, int slot);

// A new set for `slots` slots that wakes `readerWake` after marking a board; null when the system
// refuses one.
BoardSignals* createBoardSignals(int slots, WakeEvent* readerWake, MarkBoard mark, void* argument);
// The slot's notification in the form FT_SetEventNotification takes, made at the first call (a
// board's open, never on the receive path); null when the system refuses one.
void* boardNotificationHandle(BoardSignals* signals, int slot);
// Sleeps until a board's notification or the reader event is signalled or `timeoutMs` has passed,
// marking every board found signalled; a timeout of 0 only looks. `stillIdle` as in waitWakeEvent.
// Spurious returns are possible; callers look again.
void waitBoardSignals(BoardSignals* signals, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument);

} // namespace corvane::platform
