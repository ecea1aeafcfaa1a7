// One receive step at a time: pollDevice against a scripted driver, with no thread running. Shows
// what the threads cannot show from outside: the exact reads asked of the driver, the receive
// state between passes, and the entries as queued.
#include "core/host_context.h"
#include "transfer/input_buffer.h"
#include "transfer/read_thread.h"
#include "transfer/threads.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

using namespace corvane;

namespace {

// The board behind the scripted driver.
struct ScriptedBoard {
    std::deque<std::uint8_t> toHost;
    std::vector<std::uint32_t> readsAsked;
    int failingReads = 0;              // the next reads fail with FT_IO_ERROR and hand out nothing
    std::uint32_t nextReadLimit = ~0u; // the next read hands out at most this many bytes
};
ScriptedBoard board;

d2xx::FT_STATUS D2XX_API scriptedGetStatus(d2xx::FT_HANDLE, d2xx::DWORD* rx, d2xx::DWORD* tx, d2xx::DWORD* events) {
    *rx = static_cast<d2xx::DWORD>(board.toHost.size());
    *tx = 0;
    *events = 0;
    return d2xx::FT_OK;
}

d2xx::FT_STATUS D2XX_API scriptedRead(d2xx::FT_HANDLE, d2xx::LPVOID buffer, d2xx::DWORD asked, d2xx::LPDWORD got) {
    board.readsAsked.push_back(asked);
    if (board.failingReads > 0) {
        --board.failingReads;
        return d2xx::FT_IO_ERROR;
    }
    std::uint32_t count =
        std::min<std::uint32_t>({asked, static_cast<std::uint32_t>(board.toHost.size()), board.nextReadLimit});
    board.nextReadLimit = ~0u;
    for (std::uint32_t i = 0; i < count; ++i) {
        static_cast<std::uint8_t*>(buffer)[i] = board.toHost.front();
        board.toHost.pop_front();
    }
    *got = count;
    return d2xx::FT_OK;
}

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        board = ScriptedBoard{};
        table_.FT_GetStatus = &scriptedGetStatus;
        table_.FT_Read = &scriptedRead;
        context_ = std::make_unique<HostContext>();
        context_->driverTable = &table_;
        context_->readBuffer = readBuffer_;
        std::strcpy(context_->lastError.slots[0], "No error found!\n");
        context_->lastError.nextSlot.store(1);
        record_ = std::make_unique<DeviceRecord>();
        record_->deviceIndex = 5;
        record_->ftHandle.store(reinterpret_cast<d2xx::FT_HANDLE>(0x51000));
        record_->generation.store(3);
        for (InputBuffer*& buffer : record_->inputBuffers) {
            buffer = createInputBuffer(kInputBufferCapacity);
        }
    }
    void TearDown() override {
        for (InputBuffer* buffer : record_->inputBuffers) {
            destroyInputBuffer(buffer);
        }
    }

    void boardSends(std::initializer_list<std::uint8_t> bytes) { board.toHost.insert(board.toHost.end(), bytes); }
    TriggerCall poll() {
        TriggerCall trigger{};
        pollDevice(context_.get(), *record_, trigger);
        return trigger;
    }
    const FifoEntry& entry(int slot) const { return context_->fifo[slot]; }
    int queued() const {
        int count = 0;
        for (const FifoEntry& slot : context_->fifo)
            count += slot.busy.load();
        return count;
    }
    std::vector<std::uint8_t> held(int channel) {
        InputBuffer& buffer = *record_->inputBuffers[channel];
        std::vector<std::uint8_t> bytes(heldBytes(buffer));
        takeBytes(buffer, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }
    std::string lastError() const { return lastErrorText(context_.get()); }

    DriverTable table_{};
    std::uint8_t readBuffer_[kReadBufferSize];
    std::unique_ptr<HostContext> context_;
    std::unique_ptr<DeviceRecord> record_;
};

TEST_F(DecoderTest, HeaderIsReadOnlyWhenBothBytesArePending) {
    boardSends({0xD3});
    poll();
    EXPECT_TRUE(board.readsAsked.empty());
    boardSends({0x41});
    poll();
    EXPECT_EQ(board.readsAsked, (std::vector<std::uint32_t>{2}));
    ASSERT_EQ(queued(), 1);
    EXPECT_EQ(entry(0).channel, 3);
    EXPECT_EQ(entry(0).commandByte, 0xD3);
    EXPECT_EQ(entry(0).length, 1);
    EXPECT_EQ(entry(0).deviceIndex, 5);
    EXPECT_EQ(entry(0).generation, 3u);
    EXPECT_EQ(entry(0).skipBytes, 0u);
    EXPECT_EQ(held(3), (std::vector<std::uint8_t>{0x41}));
}

TEST_F(DecoderTest, HeaderByteHandedOverAloneWaitsForItsPartner) {
    boardSends({0xD3, 0x41});
    board.nextReadLimit = 1;
    poll();
    EXPECT_EQ(queued(), 0);
    EXPECT_EQ(record_->headerBytesHeld, 1u);
    poll();
    EXPECT_EQ(board.readsAsked, (std::vector<std::uint32_t>{2, 1}));
    ASSERT_EQ(queued(), 1);
    EXPECT_EQ(entry(0).commandByte, 0xD3);
    EXPECT_EQ(held(3), (std::vector<std::uint8_t>{0x41}));
    EXPECT_EQ(lastError(), "No error found!\n");
}

TEST_F(DecoderTest, BlockLengthMarksTheBlockUntilItIsQueued) {
    boardSends({0xE2, 0xC8});
    poll();
    EXPECT_EQ(record_->blockLength.load(), 200u);
    EXPECT_EQ(record_->blockBytesRemaining, 200u);
    poll(); // nothing pending: a read of 0 bytes, nothing changes
    EXPECT_EQ(record_->blockBytesRemaining, 200u);
    for (int piece = 0; piece < 3; ++piece) {
        for (int i = 0; i < 64; ++i)
            board.toHost.push_back(static_cast<std::uint8_t>(piece * 64 + i));
        poll();
        EXPECT_EQ(record_->blockLength.load(), 200u);
        EXPECT_EQ(queued(), 0);
    }
    for (int i = 192; i < 210; ++i)
        board.toHost.push_back(static_cast<std::uint8_t>(i)); // 8 of them for the block
    poll();
    EXPECT_EQ(board.readsAsked, (std::vector<std::uint32_t>{2, 0, 64, 64, 64, 8}));
    EXPECT_EQ(record_->blockLength.load(), 0u);
    EXPECT_EQ(record_->blockProgress.load(), 4u);
    ASSERT_EQ(queued(), 1);
    EXPECT_EQ(entry(0).length, 200);
    EXPECT_EQ(entry(0).commandByte, 0xE2);
    std::vector<std::uint8_t> expected(200);
    for (int i = 0; i < 200; ++i)
        expected[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(held(2), expected);
    EXPECT_EQ(board.toHost.size(), 10u); // the next message's bytes stay with the driver
}

TEST_F(DecoderTest, FullFifoDropsTheMessageWholeAndTheNextEntrySkipsItsBytes) {
    for (FifoEntry& slot : context_->fifo)
        slot.busy.store(1);
    boardSends({0xD2, 0x99}); // not even stored
    poll();
    EXPECT_EQ(lastError(), "Error: Ran out of FIFO memory");
    EXPECT_EQ(heldBytes(*record_->inputBuffers[2]), 0u);

    boardSends({0xE2, 0x04, 1, 2, 3, 4}); // stored piece by piece, then found no slot
    poll();
    poll();
    EXPECT_EQ(record_->blockLength.load(), 4u); // kept until the board's next entry
    EXPECT_EQ(record_->droppedBytes[2], 4u);

    context_->fifo[0].busy.store(0);
    boardSends({0xD2, 0x41});
    poll();
    ASSERT_EQ(entry(0).busy.load(), 1);
    EXPECT_EQ(entry(0).skipBytes, 4u);
    EXPECT_EQ(entry(0).length, 1);
    EXPECT_EQ(record_->droppedBytes[2], 0u);
    EXPECT_EQ(record_->blockLength.load(), 0u);
    EXPECT_EQ(context_->fifoWriteIndex, 1);
}

// What one header makes of its message. The kind bits are tested trigger first, then single
// byte, then block: a header with the trigger bit is a trigger whatever else it carries.
enum class Kind { Trigger, SingleByte, Block, Nothing, WrongMode };

struct HeaderRow {
    std::uint8_t command;
    Kind kind;
};

std::ostream& operator<<(std::ostream& out, const HeaderRow& row) {
    return out << "header 0x" << std::hex << int{row.command};
}

int32_t CORVANE_CALL ignoreMessage(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return 0; }

class DecoderHeaderTest : public DecoderTest, public ::testing::WithParamInterface<HeaderRow> {};

TEST_P(DecoderHeaderTest, KindBitsDecideInTheirOrder) {
    const HeaderRow row = GetParam();
    record_->readCallback.store(&ignoreMessage);
    boardSends({row.command, 0x42});
    const TriggerCall trigger = poll();
    const int channel = row.command & 0x07;
    EXPECT_EQ(trigger.callback != nullptr, row.kind == Kind::Trigger);
    if (row.kind == Kind::Trigger) {
        EXPECT_EQ(trigger.channel, channel);
        EXPECT_EQ(trigger.commandByte, row.command);
        EXPECT_EQ(trigger.value, 0x42u);
    }
    EXPECT_EQ(queued(), row.kind == Kind::SingleByte ? 1 : 0);
    EXPECT_EQ(held(channel), row.kind == Kind::SingleByte ? std::vector<std::uint8_t>{0x42} : std::vector<std::uint8_t>{});
    EXPECT_EQ(record_->blockBytesRemaining, row.kind == Kind::Block ? 0x42u : 0u);
    EXPECT_EQ(lastError(), row.kind == Kind::WrongMode
                               ? "Message received does not have the right transfer mode; expecting output from device"
                               : "No error found!\n");
}

INSTANTIATE_TEST_SUITE_P(Headers, DecoderHeaderTest,
                         ::testing::Values(HeaderRow{0xCB, Kind::Trigger}, HeaderRow{0xD8, Kind::Trigger},
                                           HeaderRow{0xE9, Kind::Trigger}, HeaderRow{0xF8, Kind::Trigger},
                                           HeaderRow{0xFF, Kind::Trigger}, HeaderRow{0xD3, Kind::SingleByte},
                                           HeaderRow{0xF2, Kind::SingleByte}, HeaderRow{0xE4, Kind::Block},
                                           HeaderRow{0xC5, Kind::Nothing}, HeaderRow{0x93, Kind::WrongMode},
                                           HeaderRow{0x18, Kind::WrongMode}));

// The batched feed reads no more than the FIFO has entries for: with three entries free and room
// in every channel buffer, a read takes two single bytes and leaves the rest with the driver,
// where nothing is lost; the last free entry is never filled.
TEST_F(DecoderTest, BatchedReadTakesNoMoreThanTheFreeFifoEntriesHold) {
    std::vector<std::uint8_t> batch(kBatchReadSize);
    context_->settings.batched = true;
    context_->batchBuffer = batch.data();
    constexpr int kFree = 3;
    for (int slot = 0; slot < kFifoSize - kFree; ++slot)
        context_->fifo[slot].busy.store(1);
    context_->fifoQueued = kFifoSize - kFree;
    context_->fifoWriteIndex = kFifoSize - kFree;
    for (std::uint8_t i = 0; i < 10; ++i)
        boardSends({static_cast<std::uint8_t>(0xD0 | (i % 8)), i});
    pollBoard(context_.get(), *record_);
    EXPECT_EQ(board.readsAsked, (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(board.toHost.size(), 16u);
    EXPECT_EQ(queued(), kFifoSize - kFree + 2);
    EXPECT_EQ(lastError(), "No error found!\n");
}

} // namespace
