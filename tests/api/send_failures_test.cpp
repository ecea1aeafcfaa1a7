// How each send reports a write that the driver refused or cut short, and what it leaves on the
// wire: after a failed preamble, or a failed piece of a block, nothing more is written.
#include "transfer_fixture.h"

using namespace transfer_test;
using testing::ElementsAre;

namespace {

constexpr std::uint32_t kIoError = 4; // FT_IO_ERROR

class SendFailureTest : public ::testing::Test {
  protected:
    void SetUp() override { openBoards(1); }
    void TearDown() override { sim_set_write_hook(nullptr, nullptr); }

    // Makes the driver fail the write that follows write number `call` (counted from 1).
    static void failWriteAfter(std::uint64_t call) {
        failAfterCall() = call;
        sim_set_write_hook(
            [](int, const std::uint8_t*, std::uint32_t, void*) {
                if (sim_call_count("FT_Write") == failAfterCall()) {
                    sim_fail_next("FT_Write", 1, kIoError);
                }
            },
            nullptr);
    }
    static std::uint64_t& failAfterCall() {
        static std::uint64_t call = 0;
        return call;
    }
};

TEST_F(SendFailureTest, RefusedTriggerAndSingleByteReportTheirTexts) {
    sim_fail_next("FT_Write", 1, kIoError);
    EXPECT_EQ(NRV_CV_SendTrigger(8), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write tigger");
    sim_fail_next("FT_Write", 1, kIoError);
    EXPECT_EQ(NRV_CV_SendByte(3, 0x41), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write single byte");
    EXPECT_EQ(sim_written_size(0), 0u);
}

TEST_F(SendFailureTest, RefusedPreambleWritesNoData) {
    sim_fail_next("FT_Write", 1, kIoError);
    const Bytes data = pattern(8, 1);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 8), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message preamble");
    EXPECT_EQ(sim_call_count("FT_Write"), 1u);
}

TEST_F(SendFailureTest, RefusedDataReportsTheBlockText) {
    failWriteAfter(1);
    const Bytes data = pattern(8, 1);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 8), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message block");
    EXPECT_THAT(written(0), ElementsAre(0xA1, 0x08));
}

TEST_F(SendFailureTest, FailedPieceStopsTheRestOfALongBlock) {
    const Bytes data = pattern(600, 0);
    failWriteAfter(2); // the second piece's preamble
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 600), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message preamble");
    EXPECT_EQ(sim_call_count("FT_Write"), 3u);
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 255u));

    sim_clear_written(0);
    const std::uint64_t before = sim_call_count("FT_Write");
    failWriteAfter(before + 3); // the second piece's data
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 600), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message block");
    EXPECT_EQ(sim_call_count("FT_Write"), before + 4);
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 255u, 2u));
}

// The driver ends a write the board does not take within the time-out with FT_OK and fewer bytes
// written: the message did not arrive, so the send fails with the text of a refused write.
TEST_F(SendFailureTest, ShortWritesFailTriggerAndSingleByte) {
    sim_short_writes(1, 0);
    EXPECT_EQ(NRV_CV_SendByte(3, 0x41), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write single byte");
    sim_short_writes(1, 1);
    EXPECT_EQ(NRV_CV_SendTrigger(0x80), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to write tigger");
    EXPECT_THAT(written(0), ElementsAre(0x81));
}

TEST_F(SendFailureTest, ShortPreambleWritesNoDataAndShortDataFailsTheBlock) {
    const Bytes data = pattern(8, 1);
    sim_short_writes(1, 1);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 8), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message preamble");
    EXPECT_EQ(sim_call_count("FT_Write"), 1u);

    sim_clear_written(0);
    sim_short_writes(2, 4); // the preamble goes whole, the data only half
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 8), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Cannot write message block");
    EXPECT_THAT(written(0), ElementsAre(0xA1, 0x08, 1, 2, 3, 4));
}

TEST_F(SendFailureTest, ShortWritesLeaveTheControlSequenceAsItWas) {
    sim_short_writes(-1, 0);
    EXPECT_EQ(NRV_CV_SendTransferControlByte(2, 0x11), 1);
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 2u, 2u, 2u, 2u));
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
    sim_short_writes(0, 0);
}

} // namespace
