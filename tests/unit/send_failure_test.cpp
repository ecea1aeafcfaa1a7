// The reason a send reports to internal callers (the self test stops on a short write), against a
// scripted FT_Write with no thread running.
#include "core/host_context.h"
#include "transfer/send.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace corvane;

namespace {

struct ScriptedWrites {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> calls;
    d2xx::FT_STATUS status = d2xx::FT_OK;
    std::uint32_t limit = ~0u; // at most this many bytes written per call
};
ScriptedWrites wire;

d2xx::FT_STATUS D2XX_API scriptedWrite(d2xx::FT_HANDLE, d2xx::LPVOID buffer, d2xx::DWORD asked, d2xx::LPDWORD written) {
    wire.calls.push_back(asked);
    if (wire.status != d2xx::FT_OK) {
        return wire.status;
    }
    const std::uint32_t count = std::min(asked, wire.limit);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    wire.bytes.insert(wire.bytes.end(), bytes, bytes + count);
    *written = count;
    return d2xx::FT_OK;
}

class SendFailureKindTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wire = ScriptedWrites{};
        table_.FT_Write = &scriptedWrite;
        context_ = std::make_unique<HostContext>();
        context_->driverTable = &table_;
        std::strcpy(context_->lastError.slots[0], "No error found!\n");
        context_->lastError.nextSlot.store(1);
        record_ = std::make_unique<DeviceRecord>();
        record_->ftHandle.store(reinterpret_cast<d2xx::FT_HANDLE>(0x51000));
    }
    void select() { context_->activeDevice.store(record_.get()); }
    std::string lastError() const { return lastErrorText(context_.get()); }

    DriverTable table_{};
    std::unique_ptr<HostContext> context_;
    std::unique_ptr<DeviceRecord> record_;
};

TEST_F(SendFailureKindTest, EachSendNamesWhyItFailed) {
    SendFailure failure = SendFailure::Status;
    EXPECT_EQ(SendQuietControlByte(context_.get(), 1, &failure), 0);
    EXPECT_EQ(failure, SendFailure::NoDevice);
    EXPECT_EQ(lastError(), "SendTrigger: No device was selected");

    select();
    EXPECT_EQ(SendTrigger(context_.get(), 1, &failure), 1);
    EXPECT_EQ(failure, SendFailure::None);

    wire.limit = 0;
    EXPECT_EQ(SendByte(context_.get(), 3, 0x41, &failure), 0);
    EXPECT_EQ(failure, SendFailure::ShortWrite);
    const std::uint8_t block[8] = {};
    wire.limit = 4;
    EXPECT_EQ(SendBlock(context_.get(), 1, block, 8, &failure), 0);
    EXPECT_EQ(failure, SendFailure::ShortWrite);
    EXPECT_EQ(lastError(), "SendBlock: Cannot write message block");

    wire.limit = ~0u;
    wire.status = d2xx::FT_IO_ERROR;
    EXPECT_EQ(SendBlock(context_.get(), 1, block, 8, &failure), 0);
    EXPECT_EQ(failure, SendFailure::Status);
    EXPECT_EQ(lastError(), "SendBlock: Cannot write message preamble");
    // The control sequence never fails on a write.
    EXPECT_EQ(SendControlByte(context_.get(), 2, 1, &failure), 1);
    EXPECT_EQ(failure, SendFailure::None);
}

} // namespace
