// Fuzz target: arbitrary bytes from a board through the device-to-host decoder, in both receive
// modes. A scripted driver hands the read thread's per-board step (pollBoard) exactly the reads
// the input chooses: cut short, failed, with or without bytes, and fails status calls (twice in a
// row and the board is taken for lost); the write thread's step (deliverEntry) delivers the queued
// entries whenever the input says, and the library closes and reopens the board in the middle of
// headers and blocks, also from within a trigger's callback. No thread runs: every step is called
// from here.
//
// Checked against a reference parse of the bytes the board sent:
// - every trigger reaches the general callback, in order, with its channel, command and value;
// - every delivered message carries exactly the bytes the board sent for it, in the order the
//   board sent them, to the callback of its channel (else the general one): messages may be
//   dropped for lack of room, or lost to the purge of a reopen, never altered, merged or
//   reordered;
// - with room for everything, nothing is dropped but the block a lost board was in the middle of;
//   every drop and every bad header leaves a last-error text;
// - after every step each channel buffer keeps its invariants and holds exactly the bytes of its
//   undelivered entries, its dropped bytes and the block in progress;
// - each step makes one status call and at most one read; batched, it reads only what there is
//   room for, so nothing is ever dropped (messages purged by a reopen or lost with the board
//   aside);
// - every input runs in both modes, and while neither dropped anything and their reopens took back
//   the same messages, both deliver the same data messages, in the same order, with the same
//   callback arguments.
//
// Input: four set-up bytes (channel buffer capacity and whether the driver reuses handle values,
// free FIFO slots, FIFO start, which channels have a callback of their own), then operations,
// each an opcode byte and its arguments (below).
#include "core/host_context.h"
#include "corvane.h"
#include "devices/devices.h"
#include "fuzz_check.h"
#include "transfer/input_buffer.h"
#include "transfer/protocol.h"
#include "transfer/threads.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

using namespace corvane;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Channel buffer capacities: the library's own, and small ones that make blocks and single bytes
// find no room.
constexpr std::uint32_t kCapacities[] = {static_cast<std::uint32_t>(kInputBufferCapacity), 8, 40, 300};
// Free FIFO slots ahead of the read thread; 0: all of them. The others hold older entries of
// another board, which the write thread passes first, making room one slot at a time.
constexpr std::uint32_t kFifoRooms[] = {0, 1, 2, 5};
// Where the FIFO's indices start: at its beginning, and just before it wraps.
constexpr std::int32_t kFifoStarts[] = {0, kFifoSize - 2, kFifoSize - 1, 1000};

constexpr std::int32_t kBoardIndex = 0;
constexpr std::uint16_t kOlderBoardIndex = 1; // the board of the entries that hold FIFO slots
constexpr std::uint32_t kBoardGeneration = 7;
// By default every open gets a handle of its own; with the top bit of the first input byte set, the
// driver gives the board the same handle value on every open, as a driver may.
constexpr std::uintptr_t kFirstHandle = 0x51000;
constexpr std::uintptr_t kHandleStep = 0x10;
constexpr int kGeneralCallback = 8; // recorder id; channel callbacks record their channel 0 to 7

enum Operation : std::uint8_t {
    kBoardSends,        // n, then n bytes from the input
    kBoardSendsMessage, // kind and channel, value or length: a whole message, data numbered
    kPoll,              // one receive step
    kLimitNextRead,     // n: the next read hands over at most n bytes
    kFailNextRead,      // status, n: the next read fails, having handed over at most n bytes
    kFailNextStatus,    // the next status call fails and reports nothing pending
    kDeliver,           // n: the write thread handles up to n % 8 + 1 entries
    kPollUntilIdle,     // receive steps until the board has nothing more to give
    kReopen,            // n: n % 3 = 0 closes and opens the board, 1 closes it, 2 opens it
    kReopenInTrigger,   // n: the next trigger's callback closes the board, and opens it again if n is even
    kOperationCount
};

// The scripted driver: the board's bytes, and what the next calls do.
struct ScriptedDriver {
    std::deque<std::uint8_t> toHost;
    std::uint32_t nextReadLimit = ~0u;
    d2xx::FT_STATUS nextReadStatus = d2xx::FT_OK;
    bool failNextStatus = false;
    bool open = true; // the input starts with the board open
    bool reusesHandles = false;
    d2xx::FT_HANDLE handle = reinterpret_cast<d2xx::FT_HANDLE>(kFirstHandle);
    // Where in the board's stream the decoder stopped when a trigger's callback closed the board:
    // the bytes it held beyond are lost with the driver's queue at the next open. 0: none.
    std::size_t closedInTriggerAt = 0;
    int statusCalls = 0; // since the last receive step began
    int readCalls = 0;
};
ScriptedDriver driver;

d2xx::FT_STATUS D2XX_API scriptedGetStatus(d2xx::FT_HANDLE handle, d2xx::DWORD* rx, d2xx::DWORD* tx,
                                           d2xx::DWORD* events) {
    FUZZ_CHECK(handle == driver.handle && driver.open);
    ++driver.statusCalls;
    if (driver.failNextStatus) {
        driver.failNextStatus = false;
        return d2xx::FT_IO_ERROR;
    }
    *rx = static_cast<d2xx::DWORD>(driver.toHost.size());
    *tx = 0;
    *events = 0;
    return d2xx::FT_OK;
}

d2xx::FT_STATUS D2XX_API scriptedRead(d2xx::FT_HANDLE handle, d2xx::LPVOID buffer, d2xx::DWORD asked,
                                      d2xx::LPDWORD got) {
    FUZZ_CHECK(handle == driver.handle && driver.open && got != nullptr);
    ++driver.readCalls;
    // The decoder never asks for more than the driver said was pending.
    FUZZ_CHECK(asked <= driver.toHost.size());
    const std::uint32_t count = std::min<std::uint32_t>(asked, driver.nextReadLimit);
    std::copy_n(driver.toHost.begin(), count, static_cast<std::uint8_t*>(buffer));
    driver.toHost.erase(driver.toHost.begin(), driver.toHost.begin() + count);
    *got = count;
    const d2xx::FT_STATUS status = driver.nextReadStatus;
    driver.nextReadLimit = ~0u;
    driver.nextReadStatus = d2xx::FT_OK;
    return status;
}

// One message as a callback saw it, or as the reference parse expects it.
struct Message {
    int recorder;
    std::int32_t device;
    std::int32_t channel;
    std::uint32_t command;
    std::uint32_t length;
    Bytes bytes; // data messages only
    bool operator==(const Message&) const = default;
};
std::vector<Message> deliveredData;
std::vector<Message> deliveredTriggers;
std::uint32_t channelCallbackMask = 0;
// What the next trigger's callback does to its board: kReopen's argument, or -1 for nothing.
int reopenInNextTrigger = -1;
void reopenFromTrigger();

template <int Recorder>
int32_t CORVANE_CALL recordCall(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* bytes,
                                uint32_t lengthAgain) {
    FUZZ_CHECK(length == lengthAgain && bytes != nullptr);
    if ((command & 0x08) != 0) {
        deliveredTriggers.push_back(Message{Recorder, device, channel, command, length, {}});
        if (reopenInNextTrigger >= 0) {
            reopenFromTrigger();
        }
    } else {
        deliveredData.push_back(Message{Recorder, device, channel, command, length, Bytes(bytes, bytes + length)});
    }
    return 0;
}

constexpr ReadCallback kChannelCallbacks[kChannelCount] = {&recordCall<0>, &recordCall<1>, &recordCall<2>,
                                                           &recordCall<3>, &recordCall<4>, &recordCall<5>,
                                                           &recordCall<6>, &recordCall<7>};

// The reference parse of the board's bytes: what the decoder must make of them. Each message is
// kept with the offset in the stream at which it ends, so that a purge of the driver's queue
// (a reopen) can take back the messages whose bytes the decoder never got.
class ReferenceParser {
  public:
    enum class Kind { Data, Trigger, BadHeader };
    struct Event {
        std::size_t end;
        Kind kind;
        Message message;
    };
    std::vector<Event> events;
    std::size_t sent = 0;                        // bytes the board sent so far
    std::uint32_t dataBytes[kChannelCount] = {}; // data bytes ever sent per channel, purged ones included

    void feed(std::uint8_t byte) {
        ++sent;
        if (blockRemaining_ != 0) {
            block_.push_back(byte);
            ++dataBytes[command_ & 7];
            if (--blockRemaining_ == 0) {
                addData(command_, block_);
            }
            return;
        }
        if (!haveCommand_) {
            command_ = byte;
            haveCommand_ = true;
            return;
        }
        haveCommand_ = false;
        if ((command_ & 0xC0) != 0xC0) {
            events.push_back(Event{sent, Kind::BadHeader, {}});
        } else if ((command_ & 0x08) != 0) {
            events.push_back(
                Event{sent, Kind::Trigger, Message{kGeneralCallback, kBoardIndex, command_ & 7, command_, byte, {}}});
        } else if ((command_ & 0x10) != 0) {
            ++dataBytes[command_ & 7];
            addData(command_, Bytes{byte});
        } else if ((command_ & 0x20) != 0 && byte != 0) {
            blockRemaining_ = byte;
            block_.clear();
        }
    }

    // The driver's queue was emptied when the decoder had taken `consumed` bytes of the stream:
    // messages ending after that are lost, and the board starts its next message afresh.
    void purge(std::size_t consumed) {
        FUZZ_CHECK(consumed <= sent);
        std::erase_if(events, [consumed](const Event& event) { return event.end > consumed; });
        std::erase_if(abandoned_, [consumed](std::size_t end) { return end > consumed; });
        haveCommand_ = false;
        blockRemaining_ = 0;
    }

    // Where the stream's n-th trigger still expected ends.
    std::size_t triggerEnd(std::size_t n) const {
        for (const Event& event : events) {
            if (event.kind == Kind::Trigger && n-- == 0) {
                return event.end;
            }
        }
        fuzzing::fail(__FILE__, __LINE__, "a trigger the board never sent");
    }

    // The block in progress ending at `end` was dropped with its lost board.
    void abandon(std::size_t end) { abandoned_.push_back(end); }

    std::vector<Message> messages(Kind kind) const {
        std::vector<Message> found;
        for (const Event& event : events) {
            if (event.kind == kind && std::find(abandoned_.begin(), abandoned_.end(), event.end) == abandoned_.end()) {
                found.push_back(event.message);
            }
        }
        return found;
    }

  private:
    void addData(std::uint8_t command, const Bytes& bytes) {
        const int channel = command & 7;
        const int recorder = (channelCallbackMask >> channel) & 1 ? channel : kGeneralCallback;
        events.push_back(
            Event{sent, Kind::Data,
                  Message{recorder, kBoardIndex, channel, command, static_cast<std::uint32_t>(bytes.size()), bytes}});
    }

    std::vector<std::size_t> abandoned_;
    bool haveCommand_ = false;
    std::uint8_t command_ = 0;
    std::uint32_t blockRemaining_ = 0;
    Bytes block_;
};
ReferenceParser* reference = nullptr;

d2xx::FT_STATUS D2XX_API scriptedOpen(d2xx::PVOID, d2xx::DWORD, d2xx::FT_HANDLE* handle) {
    if (driver.open) {
        return d2xx::FT_DEVICE_NOT_OPENED; // already open: refused, as the vendor's driver does
    }
    driver.open = true;
    if (!driver.reusesHandles) {
        driver.handle =
            reinterpret_cast<d2xx::FT_HANDLE>(reinterpret_cast<std::uintptr_t>(driver.handle) + kHandleStep);
    }
    *handle = driver.handle;
    return d2xx::FT_OK;
}

d2xx::FT_STATUS D2XX_API scriptedClose(d2xx::FT_HANDLE handle) {
    if (handle != driver.handle || !driver.open) {
        return d2xx::FT_INVALID_HANDLE;
    }
    driver.open = false;
    return d2xx::FT_OK;
}

d2xx::FT_STATUS D2XX_API scriptedPurge(d2xx::FT_HANDLE handle, d2xx::ULONG mask) {
    FUZZ_CHECK(handle == driver.handle && driver.open);
    if ((mask & d2xx::FT_PURGE_RX) != 0) {
        const std::size_t consumed =
            driver.closedInTriggerAt != 0 ? driver.closedInTriggerAt : reference->sent - driver.toHost.size();
        reference->purge(consumed);
        driver.toHost.clear();
        driver.closedInTriggerAt = 0;
    }
    return d2xx::FT_OK;
}

d2xx::FT_STATUS D2XX_API scriptedBaudRate(d2xx::FT_HANDLE, d2xx::ULONG) { return d2xx::FT_OK; }
d2xx::FT_STATUS D2XX_API scriptedTimeouts(d2xx::FT_HANDLE, d2xx::ULONG, d2xx::ULONG) { return d2xx::FT_OK; }

// The library's state for one board, built once and reset for every input: the context is large.
struct Harness {
    DriverTable table{};
    HostContext* context = nullptr;
    std::uint8_t readBuffer[kReadBufferSize];
    std::vector<std::uint8_t> batchBuffer = std::vector<std::uint8_t>(kBatchReadSize);
    std::uint32_t readIndex = 0;            // the write thread's
    std::uint32_t olderEntries = 0;         // entries of another board still ahead of this board's
    std::uint32_t firstEntry = 0;           // where this board's entries begin
    std::uint32_t counted = 0;              // the next entry not yet added to owed
    std::uint64_t owed[kChannelCount] = {}; // per channel: skip and length of undelivered entries
    std::uint32_t capacity = 0;

    Harness() {
        table.FT_GetStatus = &scriptedGetStatus;
        table.FT_Read = &scriptedRead;
        table.FT_OpenEx = &scriptedOpen;
        table.FT_Close = &scriptedClose;
        table.FT_Purge = &scriptedPurge;
        table.FT_SetBaudRate = &scriptedBaudRate;
        table.FT_SetTimeouts = &scriptedTimeouts;
        context = new HostContext();
        context->driverTable = &table;
        context->readBuffer = readBuffer;
        context->batchBuffer = batchBuffer.data();
        context->deviceDatabase = new DeviceRecord[kDeviceRecordCount]();
        context->deviceCount.store(1);
        context->inputBufferCapacity = kInputBufferCapacity;
    }

    DeviceRecord& board() { return context->deviceDatabase[kBoardIndex]; }

    void reset(std::uint32_t bufferCapacity, std::uint32_t fifoRoom, std::int32_t fifoStart, bool batched) {
        capacity = bufferCapacity;
        context->settings.batched = batched;
        DeviceRecord& record = board();
        record.~DeviceRecord();
        new (&record) DeviceRecord();
        record.deviceIndex = kBoardIndex;
        record.generation.store(kBoardGeneration);
        for (int channel = 0; channel < kChannelCount; ++channel) {
            record.inputBuffers[channel] = createInputBuffer(capacity);
            FUZZ_CHECK(record.inputBuffers[channel] != nullptr && record.inputBuffers[channel]->data != nullptr);
            if ((channelCallbackMask >> channel) & 1) {
                record.channelCallbacks[channel].store(kChannelCallbacks[channel]);
            }
        }
        record.readCallback.store(&recordCall<kGeneralCallback>);
        record.ftHandle.store(driver.handle);

        // The older entries fill the FIFO from the write thread's index up to the read thread's,
        // leaving `fifoRoom` slots free; with no room given, the FIFO starts empty. Only the
        // oldest is stored: the read thread can look no further than the write thread's index.
        // Every slot is free here: the previous input ended with everything delivered.
        olderEntries = fifoRoom == 0 ? 0 : kFifoSize - fifoRoom;
        context->fifoWriteIndex = fifoStart;
        firstEntry = static_cast<std::uint32_t>(fifoStart);
        counted = firstEntry;
        std::fill(std::begin(owed), std::end(owed), 0);
        readIndex = (firstEntry + kFifoSize - olderEntries) % kFifoSize;
        // The batched read counts the free slots from these two, as the write thread keeps them.
        context->fifoQueued = olderEntries;
        context->fifoDelivered.store(0);
        if (olderEntries != 0) {
            markOlderEntry();
        }
        std::strcpy(context->lastError.slots[0], "No error found!\n");
        context->lastError.nextSlot.store(1);
        context->lastError.current.store(0);
    }

    void release() {
        for (InputBuffer*& buffer : board().inputBuffers) {
            destroyInputBuffer(buffer);
            buffer = nullptr;
        }
    }

    std::uint32_t errorsRaised() const { return context->lastError.nextSlot.load() - 1; }

    bool boardOpen() { return board().ftHandle.load() != nullptr; }

    // The read thread's step for the board, in this run's mode: one status call, at most one
    // read. The read thread polls open boards only.
    void poll() {
        if (!boardOpen()) {
            return;
        }
        driver.statusCalls = 0;
        driver.readCalls = 0;
        DeviceRecord& record = board();
        const bool abandonedBefore = record.blockAbandoned;
        pollBoard(context, record);
        FUZZ_CHECK(driver.statusCalls == 1 && driver.readCalls <= 1);
        // A board whose status calls kept failing is taken for lost, and the block it was in the
        // middle of is dropped. Its failed status call read nothing, so the block ends where the
        // decoder's count of its missing bytes says.
        if (!abandonedBefore && record.blockAbandoned) {
            reference->abandon(reference->sent - driver.toHost.size() + record.blockBytesRemaining);
        }
    }

    void markOlderEntry() {
        FifoEntry& entry = context->fifo[readIndex];
        FUZZ_CHECK(entry.busy.load() == 0);
        entry.deviceIndex = kOlderBoardIndex;
        entry.busy.store(1);
    }

    // Adds the entries queued since the last look to the bytes each channel owes them.
    void countNewEntries() {
        for (; counted != static_cast<std::uint32_t>(context->fifoWriteIndex); counted = (counted + 1) % kFifoSize) {
            const FifoEntry& entry = context->fifo[counted];
            FUZZ_CHECK(entry.busy.load() == 1 && entry.deviceIndex == kBoardIndex && entry.channel < kChannelCount);
            owed[entry.channel] += entry.skipBytes + entry.length;
        }
    }

    // The write thread's step: one busy entry handled, else false. The older entries belong to
    // another board and are only passed over; this board's go through the write thread's own step.
    bool deliverOne() {
        countNewEntries();
        FifoEntry& entry = context->fifo[readIndex];
        if (entry.busy.load() == 0) {
            return false;
        }
        context->fifoDelivered.fetch_add(1);
        if (olderEntries != 0) {
            FUZZ_CHECK(entry.deviceIndex == kOlderBoardIndex);
            entry.busy.store(0);
            readIndex = (readIndex + 1) % kFifoSize;
            if (--olderEntries != 0) {
                markOlderEntry();
            }
            return true;
        }
        owed[entry.channel] -= entry.skipBytes + entry.length;
        deliverEntry(context, entry);
        entry.busy.store(0);
        readIndex = (readIndex + 1) % kFifoSize;
        return true;
    }

    // Everything queued, the older entries first (passed over all at once).
    void deliverQueued() {
        if (olderEntries != 0) {
            context->fifo[readIndex].busy.store(0);
            context->fifoDelivered.fetch_add(olderEntries);
            readIndex = firstEntry;
            olderEntries = 0;
        }
        while (deliverOne()) {
        }
    }

    // Batched, with everything delivered: a channel buffer that the block in progress or the
    // bytes of dropped messages fill leaves no room to read, and the board waits for good. With
    // the library's own capacity a block (255 bytes at most) cannot fill a buffer; the small
    // capacities here can.
    bool stalled() const {
        const DeviceRecord& record = context->deviceDatabase[kBoardIndex];
        if (!context->settings.batched || driver.toHost.empty() || context->fifo[readIndex].busy.load() != 0) {
            return false;
        }
        return std::any_of(std::begin(record.inputBuffers), std::end(record.inputBuffers),
                           [](const InputBuffer* buffer) { return buffer->freeBytes.load() <= 1; });
    }

    // Nothing more the read thread could take from the board now.
    bool boardIdle() const {
        const DeviceRecord& record = context->deviceDatabase[kBoardIndex];
        if (record.ftHandle.load() == nullptr || stalled()) {
            return true;
        }
        if (record.blockBytesRemaining != 0) {
            return driver.toHost.empty();
        }
        return driver.toHost.size() + record.headerBytesHeld < protocol::kHeaderSize;
    }

    // Every poll takes at least one byte from a driver that does not fail (batched, once room is
    // made), so twice the queued bytes bound the polls.
    void pollUntilIdle(bool makeRoom) {
        const std::size_t limit = 2 * driver.toHost.size() + 4;
        for (std::size_t polls = 0; polls < limit && !boardIdle(); ++polls) {
            poll();
            if (makeRoom) {
                deliverQueued();
            }
        }
    }

    // Each channel buffer: its own invariants, and the bytes it holds are exactly those of its
    // undelivered entries, its dropped bytes and the block being received into it.
    void checkBuffers() {
        DeviceRecord& record = board();
        countNewEntries();
        std::uint64_t expectedHeld[kChannelCount];
        std::copy(std::begin(owed), std::end(owed), expectedHeld);
        if (record.blockBytesRemaining != 0) {
            FUZZ_CHECK(record.currentChannel >= 0 && record.currentChannel < kChannelCount);
            expectedHeld[record.currentChannel] += record.blockStoredBytes;
        }
        FUZZ_CHECK(record.headerBytesHeld < protocol::kHeaderSize);
        for (int channel = 0; channel < kChannelCount; ++channel) {
            const InputBuffer& buffer = *record.inputBuffers[channel];
            const std::uint32_t free = buffer.freeBytes.load();
            FUZZ_CHECK(free >= 1 && free <= capacity);
            FUZZ_CHECK(buffer.readPosition <= capacity && buffer.writePosition <= capacity);
            const std::uint32_t held = capacity - free;
            FUZZ_CHECK((buffer.writePosition % capacity + capacity - buffer.readPosition % capacity) % capacity ==
                       held);
            FUZZ_CHECK(held == expectedHeld[channel] + record.droppedBytes[channel]);
        }
    }
};

Harness* harness = nullptr; // kept for the process: the context is a megabyte

// A trigger's callback closes its board, and opens it again when told: the decoder stopped right
// after this trigger, so whatever the board sent after it goes with the driver's queue.
void reopenFromTrigger() {
    const int how = reopenInNextTrigger;
    reopenInNextTrigger = -1;
    driver.closedInTriggerAt = reference->triggerEnd(deliveredTriggers.size() - 1);
    // Called with the board's guard held, the close would wait for ever.
    FUZZ_CHECK(closeDeviceAt(harness->context, kBoardIndex) == 1);
    if (how == 0) {
        FUZZ_CHECK(openDeviceAt(harness->context, kBoardIndex) == 1);
    }
}

// A whole message whose data bytes are numbered from `counter`, so one block's bytes differ from
// the next one's.
void appendMessage(Bytes& out, std::uint8_t kind, std::uint8_t value, std::uint8_t& counter) {
    const auto channel = static_cast<std::uint8_t>((kind >> 2) & 7);
    switch (kind % 4) {
    case 0: // trigger
        out.insert(out.end(), {static_cast<std::uint8_t>(0xC8 | channel), value});
        break;
    case 1: // single byte
        out.insert(out.end(), {static_cast<std::uint8_t>(0xD0 | channel), value});
        break;
    case 2: // block
        out.insert(out.end(), {static_cast<std::uint8_t>(0xE0 | channel), value});
        for (std::uint32_t i = 0; i < value; ++i) {
            out.push_back(counter++);
        }
        break;
    default: // a header without both transfer-mode bits
        out.insert(out.end(), {static_cast<std::uint8_t>(0x90 | channel), value});
        break;
    }
}

// Every delivered message must be one the board sent, in the board's order: a subsequence of the
// expected messages. Returns how many expected messages were not delivered.
std::size_t checkDeliveredInOrder(const std::vector<Message>& expected) {
    std::size_t position = 0;
    for (const Message& delivered : deliveredData) {
        while (position < expected.size() && !(expected[position] == delivered)) {
            ++position;
        }
        FUZZ_CHECK(position < expected.size()); // delivered bytes the board never sent as one message
        ++position;
    }
    return expected.size() - deliveredData.size();
}

// The data messages one run of an input delivered and was expected to deliver, for comparing the
// two modes.
struct RunResult {
    std::vector<Message> data;
    std::vector<Message> expectedData; // what the board sent, less what reopens took back
    std::size_t dropped;
};

// Runs one input through the decoder in one mode and checks it against the reference parse.
RunResult runInput(const std::uint8_t* data, std::size_t size, bool batched) {
    if (harness == nullptr) {
        harness = new Harness;
    }
    fuzzing::InputReader input(data, size);
    const std::uint8_t first = input.byte();
    const std::uint32_t capacity = kCapacities[(first & 0x7F) % std::size(kCapacities)];
    const std::uint32_t fifoRoom = kFifoRooms[input.byte() % std::size(kFifoRooms)];
    const std::int32_t fifoStart = kFifoStarts[input.byte() % std::size(kFifoStarts)];
    channelCallbackMask = input.byte();

    driver = ScriptedDriver{};
    driver.reusesHandles = (first & 0x80) != 0;
    deliveredData.clear();
    deliveredTriggers.clear();
    reopenInNextTrigger = -1;
    harness->reset(capacity, fifoRoom, fifoStart, batched);
    ReferenceParser parse;
    reference = &parse;
    std::uint8_t counter = 0;

    auto boardSends = [&](const Bytes& bytes) {
        for (std::uint8_t byte : bytes) {
            parse.feed(byte);
            driver.toHost.push_back(byte);
        }
    };

    while (!input.done()) {
        switch (static_cast<Operation>(input.byte() % kOperationCount)) {
        case kBoardSends: {
            const std::uint8_t* start = nullptr;
            const std::size_t count = input.bytes(input.byte(), start);
            boardSends(Bytes(start, start + count));
            break;
        }
        case kBoardSendsMessage: {
            const std::uint8_t kind = input.byte();
            Bytes message;
            appendMessage(message, kind, input.byte(), counter);
            boardSends(message);
            break;
        }
        case kPoll:
            harness->poll();
            break;
        case kLimitNextRead:
            driver.nextReadLimit = input.byte();
            break;
        case kFailNextRead:
            driver.nextReadStatus = 1 + input.byte() % d2xx::FT_OTHER_ERROR;
            driver.nextReadLimit = input.byte();
            break;
        case kFailNextStatus:
            driver.failNextStatus = true;
            break;
        case kDeliver:
            for (int count = input.byte() % 8 + 1; count > 0 && harness->deliverOne(); --count) {
            }
            break;
        case kPollUntilIdle:
            harness->pollUntilIdle(false);
            break;
        case kReopen: {
            // The library's own close and open of the board: a block or header cut short by them
            // is dropped, and the open purges what the driver still held.
            const int how = input.byte() % 3;
            if (how != 2) {
                closeDeviceAt(harness->context, kBoardIndex);
            }
            if (how != 1) {
                openDeviceAt(harness->context, kBoardIndex);
            }
            break;
        }
        case kReopenInTrigger:
            reopenInNextTrigger = input.byte() % 2;
            break;
        case kOperationCount:
            break;
        }
        harness->checkBuffers();
    }

    // The end: the write thread catches up, making room as it goes, until the board has nothing
    // more to give and everything queued is delivered.
    driver.nextReadLimit = ~0u;
    driver.nextReadStatus = d2xx::FT_OK;
    driver.failNextStatus = false;
    reopenInNextTrigger = -1;
    if (!harness->boardOpen()) {
        FUZZ_CHECK(openDeviceAt(harness->context, kBoardIndex) == 1);
    }
    harness->pollUntilIdle(true);
    harness->deliverQueued();
    if (harness->stalled()) {
        // The rest of the board's bytes never reach the decoder.
        parse.purge(parse.sent - driver.toHost.size());
    }
    harness->checkBuffers();
    FUZZ_CHECK(harness->boardIdle());
    // Every slot free again, as the next input expects.
    FUZZ_CHECK(harness->readIndex == static_cast<std::uint32_t>(harness->context->fifoWriteIndex) &&
               harness->context->fifo[harness->readIndex].busy.load() == 0);

    FUZZ_CHECK(deliveredTriggers == parse.messages(ReferenceParser::Kind::Trigger));
    const std::vector<Message> expectedData = parse.messages(ReferenceParser::Kind::Data);
    const std::size_t dropped = checkDeliveredInOrder(expectedData);
    // A message is dropped only for lack of room, and never silently.
    FUZZ_CHECK(harness->errorsRaised() >= parse.messages(ReferenceParser::Kind::BadHeader).size() + dropped);
    const bool roomForAll = capacity == static_cast<std::uint32_t>(kInputBufferCapacity) && fifoRoom == 0 &&
                            expectedData.size() < kFifoSize &&
                            *std::max_element(std::begin(parse.dataBytes), std::end(parse.dataBytes)) < capacity;
    // Batched, a read takes only what there is room for: nothing is ever dropped.
    if (roomForAll || batched) {
        FUZZ_CHECK(dropped == 0);
    }
    harness->release();
    return RunResult{deliveredData, expectedData, dropped};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RunResult byDefault = runInput(data, size, false);
    const RunResult batched = runInput(data, size, true);
    // The reads differ, so a reopen may take back different messages in the two modes; where it
    // took back the same ones and neither mode dropped any, both delivered the same. (Each run's
    // triggers are its reference's, checked above.)
    if (byDefault.dropped == 0 && batched.dropped == 0 && byDefault.expectedData == batched.expectedData) {
        FUZZ_CHECK(byDefault.data == batched.data);
    }
    return 0;
}
