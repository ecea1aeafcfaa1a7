// The boards' receive notifications on Windows: one auto-reset event per board, which the D2XX
// driver sets when bytes arrive and which keeps the signal until a wait takes it, so none is lost.
// The read thread waits on its own event and the first group of boards' events at once
// (WaitForMultipleObjects takes at most 64 handles); every further group of boards has a helper
// thread that waits on that group and passes what it finds on to the read thread.
#include "platform.h"

#include <atomic>
#include <new>
#include <windows.h>

namespace corvane::platform {

namespace {

// The read thread's event plus 63 boards fill one wait; a helper waits on its regroup event plus
// 63 boards.
constexpr int kGroupSize = MAXIMUM_WAIT_OBJECTS - 1;

} // namespace

struct BoardSignals {
    int slots;
    WakeEvent* readerWake;
    MarkBoard mark;
    void* argument;
    SRWLOCK creation;             // serialises the first opens of a slot
    std::atomic<HANDLE>* events;  // per slot, made at the slot's first open
    std::atomic<HANDLE>* regroup; // per group beyond the first: a new event joined the group
};

namespace {

struct Helper {
    BoardSignals* signals;
    int group;
};

// Gathers the events of one group that exist; `slotOf` gets their slots.
DWORD gatherGroup(BoardSignals* signals, int group, HANDLE* handles, int* slotOf) {
    DWORD count = 0;
    const int first = group * kGroupSize;
    for (int slot = first; slot < signals->slots && slot < first + kGroupSize; ++slot) {
        // Acquire: pairs with the creator's release of the new event.
        if (HANDLE event = signals->events[slot].load(std::memory_order_acquire); event != nullptr) {
            handles[count] = event;
            slotOf[count] = slot;
            ++count;
        }
    }
    return count;
}

// After a wait returned for one handle: takes (and marks) every other board of the set that is
// signalled too, so a busy board listed early cannot hide the others.
void sweep(BoardSignals* signals, const HANDLE* handles, const int* slotOf, DWORD count, DWORD from) {
    for (DWORD i = from; i < count; ++i) {
        if (WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0) {
            signals->mark(signals->argument, slotOf[i]);
        }
    }
}

DWORD WINAPI helperMain(LPVOID argument) {
    auto* helper = static_cast<Helper*>(argument);
    BoardSignals* signals = helper->signals;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int slotOf[MAXIMUM_WAIT_OBJECTS];
    for (;;) {
        // Relaxed: stored before this helper's thread was created, which orders it.
        handles[0] = signals->regroup[helper->group - 1].load(std::memory_order_relaxed);
        slotOf[0] = -1;
        const DWORD count = 1 + gatherGroup(signals, helper->group, handles + 1, slotOf + 1);
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
            const DWORD first = result - WAIT_OBJECT_0;
            signals->mark(signals->argument, slotOf[first]);
            sweep(signals, handles, slotOf, count, first + 1);
            signalWakeEvent(signals->readerWake);
        }
        // The regroup event (or a failed wait): gather the group afresh.
    }
    return 0;
}

bool startHelper(BoardSignals* signals, int group) {
    HANDLE regroup = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto* helper = new (std::nothrow) Helper{signals, group};
    if (regroup == nullptr || helper == nullptr) {
        if (regroup != nullptr) {
            CloseHandle(regroup);
        }
        delete helper;
        return false;
    }
    // Relaxed: under the creation lock; the helper's thread, created next, is ordered after it.
    signals->regroup[group - 1].store(regroup, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 64 * 1024, helperMain, helper, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        // Relaxed: under the creation lock; no helper was started to read it.
        signals->regroup[group - 1].store(nullptr, std::memory_order_relaxed);
        CloseHandle(regroup);
        delete helper;
        return false;
    }
    CloseHandle(thread);
    return true;
}

} // namespace

BoardSignals* createBoardSignals(int slots, WakeEvent* readerWake, MarkBoard mark, void* argument) {
    auto* signals = new (std::nothrow) BoardSignals{};
    if (signals == nullptr) {
        return nullptr;
    }
    const int groups = (slots + kGroupSize - 1) / kGroupSize;
    signals->events = new (std::nothrow) std::atomic<HANDLE>[static_cast<std::size_t>(slots)]();
    signals->regroup = new (std::nothrow) std::atomic<HANDLE>[static_cast<std::size_t>(groups)]();
    if (signals->events == nullptr || signals->regroup == nullptr) {
        delete[] signals->events;
        delete[] signals->regroup;
        delete signals;
        return nullptr;
    }
    InitializeSRWLock(&signals->creation);
    signals->slots = slots;
    signals->readerWake = readerWake;
    signals->mark = mark;
    signals->argument = argument;
    return signals;
}

void* boardNotificationHandle(BoardSignals* signals, int slot) {
    if (slot < 0 || slot >= signals->slots) {
        return nullptr;
    }
    AcquireSRWLockExclusive(&signals->creation);
    // Relaxed: the slot's event is stored under the creation lock held here.
    HANDLE event = signals->events[slot].load(std::memory_order_relaxed);
    const int group = slot / kGroupSize;
    if (event == nullptr) {
        // A helper exists before any event of its group, so the group's first event is waited on.
        // Relaxed loads of regroup here and below: stored under the creation lock held here.
        if (group == 0 || signals->regroup[group - 1].load(std::memory_order_relaxed) != nullptr ||
            startHelper(signals, group)) {
            event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        }
        if (event != nullptr) {
            // Release: the waiters' acquire sees a complete event handle.
            signals->events[slot].store(event, std::memory_order_release);
            if (group != 0) {
                SetEvent(signals->regroup[group - 1].load(std::memory_order_relaxed));
            }
        }
    }
    ReleaseSRWLockExclusive(&signals->creation);
    return event;
}

void waitBoardSignals(BoardSignals* signals, std::uint32_t timeoutMs, bool (*stillIdle)(void*), void* argument) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int slotOf[MAXIMUM_WAIT_OBJECTS];
    handles[0] = static_cast<HANDLE>(driverNotificationHandle(signals->readerWake));
    slotOf[0] = -1;
    const DWORD count = 1 + gatherGroup(signals, 0, handles + 1, slotOf + 1);
    // Events keep their signals, so the look only spares a wait that would end at once.
    const bool sleep = timeoutMs != 0 && (stillIdle == nullptr || stillIdle(argument));
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, sleep ? timeoutMs : 0);
    if (result < WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + count) {
        return; // timed out: nothing signalled
    }
    const DWORD first = result - WAIT_OBJECT_0;
    if (first != 0) {
        signals->mark(signals->argument, slotOf[first]);
    }
    sweep(signals, handles, slotOf, count, first + 1);
}

} // namespace corvane::platform
