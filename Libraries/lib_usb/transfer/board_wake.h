// The read thread's wait in CORVANE_IDLE=wait: every board has its own receive notification, and
// a pass asks the driver's status only of the boards that were signalled since their last look,
// that handed over bytes at their last look, or whose safety interval has passed (a driver that
// does not signal, a board that stopped answering). With nothing signalled the read thread sleeps.
// The default spinning has none of this.
#pragma once

#include "core/constants.h"
#include "platform/platform.h"
#include "transfer/threads.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace corvane {

struct HostContext;

// A board is asked at least this often, signalled or not.
constexpr auto kBoardSafetyInterval = std::chrono::milliseconds(kReaderIdleWaitMs);
// While some board streams, the safety looks are spread over the passes, a few a pass, so that the
// streaming board never waits behind a burst of them (a status call costs about 60 us with the
// vendor's driver): they start this early, so that each still comes within the interval.
constexpr auto kBusySafetyInterval = std::chrono::milliseconds(kReaderIdleWaitMs * 8 / 10);
constexpr int kBusyPassSafetyLooks = 2;
constexpr auto kBusyTime = std::chrono::milliseconds(1);

struct BoardWake {
    using Clock = std::chrono::steady_clock;
    // Set when the board's notification fired (any thread), cleared by the read thread just before
    // it asks the board, so a signal for bytes that come after the status call sets it again.
    std::atomic<std::uint8_t> signalled[kDeviceRecordCount];
    // Read thread only.
    Clock::time_point lastLook[kDeviceRecordCount];
    bool lookAgain[kDeviceRecordCount]; // the last look handed over bytes or left some for lack of room
    Clock::time_point nextSafetyLook;   // the earliest safety look of an open board after this pass
    Clock::time_point lastTraffic;      // when a board last handed over bytes
    bool busy;                          // this pass comes within kBusyTime of traffic
    int safetyLooksLeft;                // what this pass may still spend on safety looks
    platform::BoardSignals* signals;
};

// Makes the per-board notifications for a context whose read thread waits, unless the
// CORVANE_WAIT_POLL=every setting asks for the earlier road (every open board asked on every
// pass, one notification shared by all boards), which the benchmarks keep as their baseline.
// Null when they are not wanted or the system refuses them: the read thread then asks every board.
// Called while the context is built, before the threads start.
BoardWake* createBoardWake(HostContext* context);

// The notification to hand to FT_SetEventNotification for the board of `slot`, which is marked
// signalled so that the read thread asks it at once. At open only.
void* boardNotification(HostContext* context, int slot);

// Read thread: whether the board of `slot` is to be asked on this pass; consumes its signal.
bool boardDue(BoardWake* wake, int slot, BoardWake::Clock::time_point now);
// Read thread: after the board of `slot` was asked on this pass.
void noteBoardLook(BoardWake* wake, int slot, const BoardPoll& poll, BoardWake::Clock::time_point now);
// Read thread, at the start of a pass: takes the boards' signals that only a wait takes (Windows),
// without sleeping, and returns the pass's time.
BoardWake::Clock::time_point startBoardPass(BoardWake* wake);
// Read thread: sleeps until a board is signalled or the next safety look is due.
void waitForBoards(HostContext* context);

} // namespace corvane
