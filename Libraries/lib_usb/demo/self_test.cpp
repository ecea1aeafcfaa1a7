// The self test: an opening control byte and four single bytes, then a fixed number of cycles of
// block, control byte, trigger and control byte, each cycle waiting while the board is sending a
// block back. It runs wholly on the caller's thread and keeps no state beyond the call.
#include "demo/self_test.h"

#include "core/library.h"
#include "corvane.h"
#include "platform/platform.h"
#include "transfer/send.h"

#include <chrono>
#include <cstdio>

namespace corvane {

namespace {

constexpr std::uint8_t kControlAddress = 2;
constexpr std::uint8_t kOpeningControlValue = 1;
constexpr std::uint32_t kOpeningByteAddress = 2;
constexpr std::uint8_t kOpeningBytes[] = {0xDE, 0xAD, 0xC0, 0xDE};
constexpr std::uint32_t kBlockAddress = 4;
constexpr std::uint32_t kBlockLength = 8; // the text without its terminator
constexpr std::uint8_t kCycleControlValue = 2;
constexpr std::uint8_t kClosingControlValue = 0;
constexpr std::uint8_t kCycleTrigger = 0x80;
constexpr std::uint32_t kCycleNumberMask = 0xFFFF;
constexpr std::uint32_t kOpeningPauseMs = 1;
constexpr char kSendingBlock[] = "Sending block\n";

// The sends of the test. A board that no longer takes data makes every write last the whole
// write time-out and end short; going on would hold the caller for months, so a short write ends
// the test, its send's text left as the last error. A board the read thread has reported lost
// ends the test too, before the next send, with the lost-board text as the last error (once, not
// a failing send per step). Other failures are reported by the send and the test goes on.
class Sender {
  public:
    explicit Sender(HostContext* context) : context_(context) {}

    bool controlByte(std::uint8_t value) {
        return begin() && (SendControlByte(context_, kControlAddress, value, &failure_), finish());
    }
    bool singleByte(std::uint8_t value) {
        return begin() && (SendByte(context_, kOpeningByteAddress, value, &failure_), finish());
    }
    bool block(const char* text) {
        return begin() && (SendBlock(context_, kBlockAddress, reinterpret_cast<const std::uint8_t*>(text), kBlockLength,
                                     &failure_),
                           finish());
    }
    bool trigger() { return begin() && (SendTrigger(context_, kCycleTrigger, &failure_), finish()); }

  private:
    bool begin() {
        failure_ = SendFailure::None;
        return !activeBoardLost(context_);
    }
    bool finish() const { return failure_ != SendFailure::ShortWrite && failure_ != SendFailure::Lost; }

    HostContext* context_;
    SendFailure failure_ = SendFailure::None;
};

// What the wait last saw of a block in progress, and when it last saw a byte of it arrive. Kept
// across cycles: a block that stalled stays stalled until one of its bytes arrives, so a later
// cycle does not wait out the time-out again.
struct BlockWatch {
    bool watching = false;
    DeviceRecord* device = nullptr;
    std::uint32_t length = 0;
    std::uint32_t progress = 0;
    std::chrono::steady_clock::time_point lastArrival{};
};

// Waits while the active board is in the middle of sending a block. The wait ends when the read
// thread has received the whole block (blockLength back at 0), when no board is selected
// (nothing can be in progress), or when no byte of the block has arrived for the read time-out:
// a board that stopped mid-block, or a block whose end found the FIFO full, never clears
// blockLength.
void waitWhileBlockArrives(HostContext* context, BlockWatch& watch) {
    const auto timeout = std::chrono::milliseconds(kReadTimeoutMs);
    for (;;) {
        // Acquire: pairs with the selection's release store; the record is read afresh each test.
        DeviceRecord* device = context->activeDevice.load(std::memory_order_acquire);
        // Acquire: pairs with the read thread's release stores of blockLength at a block's start
        // and end, so a completed block is seen as the read thread left it.
        const std::uint32_t length = device == nullptr ? 0 : device->blockLength.load(std::memory_order_acquire);
        if (length == 0) {
            watch.watching = false;
            return;
        }
        // Relaxed: a count compared by value between looks; no data rides on it.
        const std::uint32_t progress = device->blockProgress.load(std::memory_order_relaxed);
        const auto now = std::chrono::steady_clock::now();
        if (!watch.watching || watch.device != device || watch.length != length || watch.progress != progress) {
            watch = BlockWatch{true, device, length, progress, now};
        } else if (now - watch.lastArrival >= timeout) {
            return;
        }
        platform::yield();
    }
}

} // namespace

int PerformSelfTest(HostContext* context) {
    char text[kSelfTestTextSize] = {};
    Sender send(context);

    if (!send.controlByte(kOpeningControlValue)) {
        return 1;
    }
    for (std::uint8_t value : kOpeningBytes) {
        if (!send.singleByte(value)) {
            return 1;
        }
    }
    platform::sleepMs(kOpeningPauseMs);
    platform::consoleWrite(kSendingBlock);

    BlockWatch watch;
    for (std::int32_t cycle = 0; cycle < context->settings.selfTestCycles; ++cycle) {
        // The block goes out before its cycle's text is formatted: cycle 0 sends zeros, and each
        // later cycle the text of the one before.
        if (!send.block(text)) {
            return 1;
        }
        std::snprintf(text, sizeof text, "CV: %04X", static_cast<unsigned>(cycle) & kCycleNumberMask);
        if (!send.controlByte(kCycleControlValue)) {
            return 1;
        }
        platform::yield();
        if (!send.trigger()) {
            return 1;
        }
        platform::yield();
        if (!send.controlByte(kClosingControlValue)) {
            return 1;
        }
        waitWhileBlockArrives(context, watch);
        platform::yield();
    }
    return 1;
}

} // namespace corvane

using namespace corvane;

extern "C" {

CORVANE_API int32_t CORVANE_CALL NRV_CV_PerformSelfTest(void) {
    HostContext* context = libraryGuard();
    return context == nullptr ? 0 : PerformSelfTest(context);
}

} // extern "C"
