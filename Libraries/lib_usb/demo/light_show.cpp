// The LED light show: a sequence of step codes played on the active board by the lightshow
// thread, with a pause after every step. The caller's thread only stores the parameters, starts
// the thread and returns; stopping a show means zeroing its repeat count and length and waiting
// until the thread has cleared lightShowThreadId.
#include "demo/light_show.h"

#include "core/library.h"
#include "core/log.h"
#include "corvane.h"
#include "platform/platform.h"
#include "transfer/send.h"

#include <algorithm>
#include <cstdlib>

namespace corvane {

namespace {

constexpr char kSequenceNotDefined[] = "Sequence is not defined for LEDBlinky! :'(";
constexpr char kThreadNotCreated[] = "Could not create lightshow thread!";

// Step codes 1 to 4 send the trigger 1 << (code - 1); code 0 sends the control pair; higher codes
// are replaced by a random one of the four triggers.
constexpr std::uint8_t kControlPairCode = 0;
constexpr std::uint8_t kHighestTriggerCode = 4;
constexpr int kTriggerCodeCount = 4;
// The control pair: the control-byte sequence with 4, then with 0 (address 2).
constexpr std::uint8_t kControlPairFirst = 4;
constexpr std::uint8_t kControlPairSecond = 0;

// Serialises whoever starts or stops a show. Without it two concurrent LEDBlinky calls could both
// find no show running and start two threads, of which the marker names only one, and a close
// would then return while the other still plays. Never held by the lightshow thread itself.
SpinLock showControl;

// A stop has been asked for: the repeat count or the length was zeroed (a show whose own values
// were zero or less never reaches a pause).
bool stopRequested(HostContext* context) {
    // Relaxed: a stop request carries no data; the stopper learns of the end through the marker.
    return context->lightShowRepeats.load(std::memory_order_relaxed) <= 0 ||
           context->lightShowLength.load(std::memory_order_relaxed) <= 0;
}

// The pause after a step. A pause may be as long as 0xFFFFFFFF ms and every close waits for the
// show, so it is slept in short slices and ends early once a stop has been asked for.
void pauseAfterStep(HostContext* context) {
    // Relaxed: a plain value; read once per pause, as the caller or a close last left it.
    std::uint32_t remaining = context->lightShowDelay.load(std::memory_order_relaxed);
    if (remaining == 0) {
        platform::yield();
        return;
    }
    while (remaining != 0 && !stopRequested(context)) {
        const std::uint32_t slice = std::min(remaining, kLightShowPauseSliceMs);
        platform::sleepMs(slice);
        remaining -= slice;
    }
}

void sendControlPair(HostContext* context) {
    SendQuietControlByte(context, kControlPairFirst);
    SendQuietControlByte(context, kControlPairSecond);
}

// One step of the show. The results of the sends are ignored: each send reports its own failure,
// and the show goes on to its end.
void playStep(HostContext* context, std::uint8_t code) {
    if (code > kHighestTriggerCode) {
        // The runtime's generator, never seeded by the library; the control pair is never drawn.
        code = static_cast<std::uint8_t>(std::rand() % kTriggerCodeCount + 1);
    }
    if (code == kControlPairCode) {
        sendControlPair(context);
    } else {
        SendTrigger(context, static_cast<std::uint8_t>(1U << (code - 1)));
    }
}

std::uint32_t lightShowThread(void* argument) {
    auto* context = static_cast<HostContext*>(argument);
    // Every field is read afresh at each test and step: another thread stops the show by
    // zeroing the repeat count and the length, and a close may null the sequence. Relaxed loads
    // throughout: the parameters reached this thread through its creation, and later changes are
    // stop requests that carry no data.
    std::int32_t passCount = 0;
    bool sequenceGone = false;
    bool boardLost = false;
    while (!sequenceGone && !boardLost && passCount < context->lightShowRepeats.load(std::memory_order_relaxed)) {
        for (std::int32_t step = 0; step < context->lightShowLength.load(std::memory_order_relaxed); ++step) {
            // Read once per step: a close on another thread may null it between two reads.
            const std::uint8_t* sequence = context->lightShowSequence.load(std::memory_order_relaxed);
            if (sequence == nullptr) {
                sequenceGone = true; // ends the show as a stop does, this pass counted as begun
                break;
            }
            // A board reported lost takes no more steps: the show ends as a stop does, with the
            // lost-board text as the last error rather than a failing send per step.
            if (activeBoardLost(context)) {
                boardLost = true;
                break;
            }
            playStep(context, sequence[step]);
            pauseAfterStep(context);
        }
        ++passCount;
    }
    logMessage(context, "Interrupted light show at count %u\n", static_cast<unsigned>(passCount));
    // The closing pair could not reach a lost board either.
    if (!boardLost) {
        sendControlPair(context);
    }
    // Release: pairs with the stopper's acquire, so the closing pair is on the wire before a
    // close goes on to FT_Close or a new show starts.
    context->lightShowThreadId.store(0, std::memory_order_release);
    return 0;
}

// Asks the running show to stop and waits until its thread has cleared the marker. The zeros are
// renewed on every turn, so a show cannot slip past its current step. The delay is left alone.
void waitForShowEnd(HostContext* context) {
    // Acquire: pairs with the lightshow thread's final release, so its last writes are done.
    while (context->lightShowThreadId.load(std::memory_order_acquire) != 0) {
        // Relaxed: the thread only has to see the zeros eventually; no data rides on them.
        context->lightShowRepeats.store(0, std::memory_order_relaxed);
        context->lightShowLength.store(0, std::memory_order_relaxed);
        platform::yield();
    }
}

} // namespace

int LEDBlinky(HostContext* context, std::uint32_t delay, std::int32_t repeats, const std::uint8_t* sequence,
              std::int32_t length) {
    if (sequence == nullptr) {
        setLastError(context, kSequenceNotDefined);
        return 0;
    }
    SpinLockHolder hold(showControl);
    waitForShowEnd(context);
    // Relaxed: the new thread's creation publishes these stores to it.
    context->lightShowDelay.store(delay, std::memory_order_relaxed);
    context->lightShowRepeats.store(repeats, std::memory_order_relaxed);
    context->lightShowSequence.store(sequence, std::memory_order_relaxed);
    context->lightShowLength.store(length, std::memory_order_relaxed);
    // The marker must be non-zero before the thread can reach its end, or the thread's clearing
    // would be overwritten and every later stop would wait forever: startThread stores the id
    // before the thread can run.
    if (platform::startThread(lightShowThread, context, &context->lightShowThreadId) == 0) {
        setLastError(context, kThreadNotCreated);
        return 0;
    }
    return 1;
}

void stopLightShow(HostContext* context) {
    SpinLockHolder hold(showControl);
    // Relaxed stores: the lightshow thread only needs to see the zeros eventually; the hand-over
    // that matters is the thread's release of lightShowThreadId, acquired in waitForShowEnd.
    context->lightShowRepeats.store(0, std::memory_order_relaxed);
    context->lightShowDelay.store(0, std::memory_order_relaxed);
    context->lightShowLength.store(0, std::memory_order_relaxed);
    waitForShowEnd(context);
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_LEDBlinky(uint32_t delayMs, int32_t repeats, const uint8_t* sequence,
                                                  int32_t length) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : LEDBlinky(context, delayMs, repeats, sequence, length);
}

} // extern "C"
