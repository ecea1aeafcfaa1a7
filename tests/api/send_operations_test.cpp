// The bytes every send export puts on the wire, the boundaries of its writes and its log line.
#include "transfer_fixture.h"

using namespace transfer_test;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

class SendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        openBoards(2);
        NRV_CV_SetDebugMode(1);
    }
    static std::string log() { return testing_support::readFile("Corvane.log"); }
};

TEST_F(SendTest, TriggerWritesOneMessageAndLogsTheValueInUpperCaseHex) {
    EXPECT_EQ(NRV_CV_SendTrigger(8), 1);
    EXPECT_EQ(NRV_CV_SendTrigger(0x1F), 1);
    EXPECT_THAT(written(0), ElementsAre(0x81, 0x08, 0x81, 0x1F));
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 2u));
    EXPECT_THAT(log(), HasSubstr("SendTigger of value 8 to [Corvane board 0] was successful\n"
                                 "SendTigger of value 1F to [Corvane board 0] was successful\n"));
    EXPECT_EQ(sim_write_call_count(1), 0u);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

TEST_F(SendTest, SingleByteCarriesTheAddressInItsHeaderAndLogsTheWholeAddress) {
    EXPECT_EQ(NRV_CV_SendByte(3, 0x41), 1);
    EXPECT_EQ(NRV_CV_SendByte(9, 0x10), 1);     // not a channel, still sent as it is
    EXPECT_EQ(NRV_CV_SendByte(0x1F3, 0xAB), 1); // only the low eight bits reach the header
    EXPECT_THAT(written(0), ElementsAre(0x93, 0x41, 0x99, 0x10, 0xF3, 0xAB));
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 2u, 2u));
    EXPECT_THAT(log(), HasSubstr("SendByte of value 41 to [Corvane board 0:3] was successful\n"
                                 "SendByte of value 10 to [Corvane board 0:9] was successful\n"
                                 "SendByte of value AB to [Corvane board 0:499] was successful\n"));
}

// A block goes out as preamble and data, in pieces of at most 255 bytes each behind a preamble of
// its own (the preamble's length byte cannot say more).
struct BlockCase {
    std::uint32_t length;
    std::vector<std::uint32_t> calls;
    std::vector<std::uint8_t> preambleLengths;
};

void PrintTo(const BlockCase& block, std::ostream* out) { *out << block.length << " bytes"; }

class SendBlockTest : public SendTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(SendBlockTest, WritesPreambleAndDataOfEveryPiece) {
    const BlockCase& block = GetParam();
    const Bytes data = pattern(block.length, 0x30);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), block.length), 1);
    EXPECT_THAT(writeCalls(0), ElementsAreArray(block.calls));

    Bytes expected;
    std::size_t offset = 0;
    for (std::uint8_t pieceLength : block.preambleLengths) {
        expected.push_back(0xA1);
        expected.push_back(pieceLength);
        expected.insert(expected.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                        data.begin() + static_cast<std::ptrdiff_t>(offset + pieceLength));
        offset += pieceLength;
    }
    EXPECT_EQ(offset, block.length);
    EXPECT_EQ(written(0), expected);
    EXPECT_THAT(log(), HasSubstr("SendBlock of " + std::to_string(block.length) +
                                 " bytes to [Corvane board 0:1] was successful\n"));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SendBlockTest,
                         ::testing::Values(BlockCase{0, {2, 0}, {0}}, BlockCase{8, {2, 8}, {8}},
                                           BlockCase{255, {2, 255}, {255}}, BlockCase{256, {2, 255, 2, 1}, {255, 1}},
                                           BlockCase{300, {2, 255, 2, 45}, {255, 45}},
                                           BlockCase{600, {2, 255, 2, 255, 2, 90}, {255, 255, 90}}),
                         [](const ::testing::TestParamInfo<BlockCase>& info) {
                             return std::to_string(info.param.length) + "Bytes";
                         });

TEST_F(SendTest, BlockAddressKeepsOnlyItsLowEightBitsInThePreamble) {
    const Bytes data{1, 2};
    EXPECT_EQ(NRV_CV_SendBlock(0x107, data.data(), 2), 1);
    EXPECT_THAT(written(0), ElementsAre(0xA7, 0x02, 1, 2));
    EXPECT_THAT(log(), HasSubstr("SendBlock of 2 bytes to [Corvane board 0:263] was successful\n"));
}

TEST_F(SendTest, NullBlockIsRefusedUnlessItIsEmpty) {
    EXPECT_EQ(NRV_CV_SendBlock(1, nullptr, 4), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "SendBlock: Block is not defined");
    EXPECT_EQ(sim_call_count("FT_Write"), 0u);

    EXPECT_EQ(NRV_CV_SendBlock(2, nullptr, 0), 1);
    EXPECT_THAT(written(0), ElementsAre(0xA2, 0x00));
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 0u));
}

TEST_F(SendTest, ControlByteIsFiveMessagesInFiveWrites) {
    EXPECT_EQ(NRV_CV_SendTransferControlByte(2, 0x11), 1);
    EXPECT_THAT(written(0), ElementsAre(0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x11, 0x92, 0x00));
    EXPECT_THAT(writeCalls(0), ElementsAre(2u, 2u, 2u, 2u, 2u));
    EXPECT_THAT(log(), HasSubstr("SendControlByte of value 11 to [Corvane board 0:2] was successful\n"));
}

TEST_F(SendTest, ControlByteKeepsFourAddressBitsInTheHeaderAndLogsTheWholeAddress) {
    EXPECT_EQ(NRV_CV_SendTransferControlByte(18, 0xA5), 1);
    EXPECT_EQ(NRV_CV_SendTransferControlByte(15, 0x01), 1);
    EXPECT_THAT(written(0), ElementsAre(0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0xA5, 0x92, 0x00, //
                                        0xFA, 0x5A, 0xFA, 0xC3, 0xFA, 0x7E, 0xFA, 0x01, 0xFA, 0x00));
    EXPECT_THAT(log(), HasSubstr("SendControlByte of value A5 to [Corvane board 0:18] was successful\n"
                                 "SendControlByte of value 1 to [Corvane board 0:15] was successful\n"));
}

TEST_F(SendTest, ControlByteSucceedsAndKeepsTheLastErrorWhenEveryWriteFails) {
    sim_fail_next("FT_Write", -1, 4 /* FT_IO_ERROR */);
    EXPECT_EQ(NRV_CV_SendTransferControlByte(2, 0x11), 1);
    EXPECT_EQ(sim_call_count("FT_Write"), 5u); // all five attempted
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoErrorText);
}

TEST_F(SendTest, EveryWriteGoesToTheBoardActiveAtThatMoment) {
    // The hook runs inside the preamble's write and selects board 1: the data follows it there.
    sim_set_write_hook(
        [](int, const std::uint8_t*, std::uint32_t, void*) {
            if (sim_call_count("FT_Write") == 1) {
                NRV_CV_SelectActiveDeviceByIndex(1);
            }
        },
        nullptr);
    const Bytes data{7, 8, 9};
    EXPECT_EQ(NRV_CV_SendBlock(0, data.data(), 3), 1);
    sim_set_write_hook(nullptr, nullptr);
    EXPECT_THAT(written(0), ElementsAre(0xA0, 0x03));
    EXPECT_THAT(written(1), ElementsAre(7, 8, 9));
    EXPECT_THAT(log(), HasSubstr("SendBlock of 3 bytes to [Corvane board 1:0] was successful\n"));
}

TEST(SendWithoutBoard, EverySendFailsWithTheNoDeviceTextAndWritesNothing) {
    listBoards(1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1); // open but never selected
    const Bytes data{1};
    EXPECT_EQ(NRV_CV_SendTrigger(1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoDeviceText);
    EXPECT_EQ(NRV_CV_SendByte(1, 1), 0);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 1), 0);
    EXPECT_EQ(NRV_CV_SendBlock(1, nullptr, 1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoDeviceText);
    EXPECT_EQ(NRV_CV_SendTransferControlByte(1, 1), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), kNoDeviceText);
    EXPECT_EQ(sim_call_count("FT_Write"), 0u);
}

TEST(SendWithoutLibrary, EverySendReturnsZeroAndWritesNothingBeforeOpenAndAfterClose) {
    const Bytes data{1};
    EXPECT_EQ(NRV_CV_SendTrigger(1), 0);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 1), 0);
    openBoards(1);
    NRV_CV_Close();
    EXPECT_EQ(NRV_CV_SendTrigger(1), 0);
    EXPECT_EQ(NRV_CV_SendByte(1, 1), 0);
    EXPECT_EQ(NRV_CV_SendBlock(1, data.data(), 1), 0);
    EXPECT_EQ(NRV_CV_SendTransferControlByte(1, 1), 0);
    EXPECT_EQ(sim_call_count("FT_Write"), 0u);
}

} // namespace
