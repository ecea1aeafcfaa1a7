#include "transfer/board_wake.h"

#include "core/host_context.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace corvane {

namespace {

void markBoard(void* argument, int slot) {
    auto* wake = static_cast<BoardWake*>(argument);
    // Release: pairs with the read thread's acquire exchange; the driver queued the bytes before
    // it signalled, and the status call after the exchange finds them.
    wake->signalled[slot].store(1, std::memory_order_release);
}

// Called before the read thread sleeps: on POSIX with its event's lock held, which every mark's
// wake-up must take, so a mark cannot fall between this look and the sleep.
bool noBoardSignalled(void* argument) {
    auto* wake = static_cast<BoardWake*>(argument);
    for (const auto& flag : wake->signalled) {
        // Relaxed: only a hint to skip the sleep; the pass after it takes the flag with acquire.
        if (flag.load(std::memory_order_relaxed) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

BoardWake* createBoardWake(HostContext* context) {
    const char* poll = std::getenv("CORVANE_WAIT_POLL");
    if (context->readerWake == nullptr || (poll != nullptr && std::strcmp(poll, "every") == 0)) {
        return nullptr;
    }
    auto* wake = new (std::nothrow) BoardWake{};
    if (wake == nullptr) {
        return nullptr;
    }
    wake->signals = platform::createBoardSignals(kDeviceRecordCount, context->readerWake, markBoard, wake);
    if (wake->signals == nullptr) {
        delete wake;
        return nullptr;
    }
    return wake;
}

void* boardNotification(HostContext* context, int slot) {
    BoardWake* wake = context->boardWake;
    if (wake == nullptr) {
        return platform::driverNotificationHandle(context->readerWake);
    }
    if (slot < 0 || slot >= kDeviceRecordCount) {
        return nullptr;
    }
    markBoard(wake, slot);
    return platform::boardNotificationHandle(wake->signals, slot);
}

bool boardDue(BoardWake* wake, int slot, BoardWake::Clock::time_point now) {
    // Acquire: pairs with the mark's release; cleared before the board is asked.
    const bool signalled = wake->signalled[slot].exchange(0, std::memory_order_acquire) != 0;
    if (signalled || wake->lookAgain[slot]) {
        return true;
    }
    const auto interval = wake->busy ? kBusySafetyInterval : kBoardSafetyInterval;
    if (now - wake->lastLook[slot] < interval) {
        wake->nextSafetyLook = std::min(wake->nextSafetyLook, wake->lastLook[slot] + interval);
        return false;
    }
    if (wake->safetyLooksLeft == 0) {
        wake->nextSafetyLook = now; // due, and taken on one of the next passes
        return false;
    }
    --wake->safetyLooksLeft;
    return true;
}

void noteBoardLook(BoardWake* wake, int slot, const BoardPoll& poll, BoardWake::Clock::time_point now) {
    wake->lastLook[slot] = now;
    wake->lookAgain[slot] = poll.readBytes || poll.roomWanted;
    if (poll.readBytes) {
        wake->lastTraffic = now;
    }
    wake->nextSafetyLook = std::min(wake->nextSafetyLook, now + kBoardSafetyInterval);
}

BoardWake::Clock::time_point startBoardPass(BoardWake* wake) {
    platform::waitBoardSignals(wake->signals, 0, nullptr, nullptr);
    const auto now = BoardWake::Clock::now();
    wake->nextSafetyLook = now + kBoardSafetyInterval;
    wake->busy = now - wake->lastTraffic < kBusyTime;
    // Idle, every board that is due is asked at once: one wake-up serves them all.
    wake->safetyLooksLeft = wake->busy ? kBusyPassSafetyLooks : kDeviceRecordCount;
    return now;
}

void waitForBoards(HostContext* context) {
    BoardWake* wake = context->boardWake;
    const auto left = wake->nextSafetyLook - BoardWake::Clock::now();
    // Rounded up, so the thread never wakes just before the look is due; at least 1 ms.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const auto timeoutMs = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(milliseconds, 1, static_cast<std::int64_t>(kReaderIdleWaitMs)));
    platform::waitBoardSignals(wake->signals, timeoutMs, noBoardSignalled, wake);
}

} // namespace corvane
