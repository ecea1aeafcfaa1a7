// The board model behind the simulated driver, seen as the library sees it: bytes written through
// FT_Write, answers read through FT_Read, and the board's state through the control API. The
// parser cases cut the host's stream into writes in several ways, since a board must keep its
// place across writes, and include control sequences broken off in the middle.
#include "board_sim.h"
#include "d2xx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace d2xx;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBoardId = 0x04038088u;

struct Entry {
    PFN_FT_OpenEx open = reinterpret_cast<PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
    PFN_FT_Close close = reinterpret_cast<PFN_FT_Close>(sim_entry_point("FT_Close"));
    PFN_FT_Write write = reinterpret_cast<PFN_FT_Write>(sim_entry_point("FT_Write"));
    PFN_FT_Read read = reinterpret_cast<PFN_FT_Read>(sim_entry_point("FT_Read"));
    PFN_FT_GetStatus status = reinterpret_cast<PFN_FT_GetStatus>(sim_entry_point("FT_GetStatus"));
    PFN_FT_Purge purge = reinterpret_cast<PFN_FT_Purge>(sim_entry_point("FT_Purge"));
    PFN_FT_SetBaudRate baud = reinterpret_cast<PFN_FT_SetBaudRate>(sim_entry_point("FT_SetBaudRate"));
    PFN_FT_CreateDeviceInfoList create =
        reinterpret_cast<PFN_FT_CreateDeviceInfoList>(sim_entry_point("FT_CreateDeviceInfoList"));
};

class BoardModel : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        sim_add_device(kBoardId, "SD0001", "Board");
        ASSERT_EQ(FT_OK, ft.open(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    }
    void TearDown() override { sim_reset(); }

    void write(const Bytes& bytes) {
        DWORD done = 0;
        ASSERT_EQ(FT_OK,
                  ft.write(handle, const_cast<std::uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size()), &done));
        ASSERT_EQ(bytes.size(), done);
    }

    Bytes answers() {
        Bytes bytes(sim_rx_pending(0));
        DWORD got = 0;
        if (!bytes.empty()) {
            EXPECT_EQ(FT_OK, ft.read(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &got));
        }
        return bytes;
    }

    Bytes reg(std::uint32_t address) {
        Bytes bytes(sim_register(0, address, nullptr, 0));
        sim_register(0, address, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }

    SimBoardCounts counts() {
        SimBoardCounts c{};
        sim_board_counts(0, &c);
        return c;
    }

    Entry ft;
    FT_HANDLE handle = nullptr;
};

// How a case's stream reaches the board.
enum class Cut { OneWrite, ByteByByte, MessageByMessage };

struct ParserCase {
    const char* name;
    int behaviour;
    Bytes stream;
    Bytes answers;
    std::vector<std::pair<std::uint32_t, Bytes>> registers; // address, expected content
    std::vector<std::pair<std::uint32_t, int>> controls;    // address, expected control value
    std::uint32_t leds;
    std::uint64_t sequences;
    std::uint64_t discarded;
};

const ParserCase kParserCases[] = {
    {"single byte stores its register", SIM_REGISTERS, {0x93, 0x41}, {}, {{3, {0x41}}}, {}, 0, 0, 0},
    {"block stores its bytes", SIM_REGISTERS, {0xA5, 0x03, 'a', 'b', 'c'}, {}, {{5, {'a', 'b', 'c'}}}, {}, 0, 0, 0},
    {"empty block empties its register", SIM_REGISTERS, {0x91, 0x07, 0xA1, 0x00}, {}, {{1, {}}}, {}, 0, 0, 0},
    {"block data that looks like headers",
     SIM_REGISTERS,
     {0xA4, 0x04, 0x81, 0x92, 0x5A, 0x00, 0x81, 0x03},
     {},
     {{4, {0x81, 0x92, 0x5A, 0x00}}},
     {},
     3,
     0,
     0},
    {"triggers drive the four LEDs", SIM_REGISTERS, {0x81, 0x01, 0x81, 0x0C, 0x81, 0xF6}, {}, {}, {}, 0x6, 0, 0},
    {"self test trigger turns the LEDs off", SIM_REGISTERS, {0x81, 0x08, 0x81, 0x80}, {}, {}, {}, 0, 0, 0},
    {"control sequence acknowledged",
     SIM_REGISTERS,
     {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x11, 0x92, 0x00},
     {0xD2, 0x11},
     {{2, {}}},
     {{2, 0x11}},
     0,
     1,
     0},
    {"control to address 15 answers on channel 7",
     SIM_REGISTERS,
     {0xFA, 0x5A, 0xFA, 0xC3, 0xFA, 0x7E, 0xFA, 0x42, 0xFA, 0x00},
     {0xD7, 0x42},
     {},
     {{15, 0x42}},
     0,
     1,
     0},
    {"sequence broken off by another message is discarded, the message kept",
     SIM_REGISTERS,
     {0x92, 0x5A, 0x92, 0xC3, 0x93, 0x41, 0x92, 0x7E, 0x92, 0x00},
     {},
     {{3, {0x41}}, {2, {0x00}}},
     {{2, -1}},
     0,
     0,
     1},
    {"sequence broken off by a wrong byte on its own header",
     SIM_REGISTERS,
     {0x92, 0x5A, 0x92, 0xC3, 0x92, 0xDE},
     {},
     {{2, {0xDE}}},
     {{2, -1}},
     0,
     0,
     1},
    {"sequence broken off by a trigger, then a whole one",
     SIM_REGISTERS,
     {0x8A, 0x5A, 0x8A, 0xC3, 0x8A, 0x7E, 0x81, 0x02, 0x8A, 0x5A, 0x8A, 0xC3, 0x8A, 0x7E, 0x8A, 0x09, 0x8A, 0x00},
     {0xD1, 0x09},
     {},
     {{1, 0x09}},
     2,
     1,
     1},
    {"a new start restarts the sequence",
     SIM_REGISTERS,
     {0x82, 0x5A, 0x82, 0x5A, 0x82, 0xC3, 0x82, 0x7E, 0x82, 0x33, 0x82, 0x00},
     {0xD0, 0x33},
     {},
     {{0, 0x33}},
     0,
     1,
     1},
    {"sequence missing its closing zero",
     SIM_REGISTERS,
     {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x05, 0x92, 0x01},
     {},
     {{2, {0x01}}},
     {{2, -1}},
     0,
     0,
     1},
    {"0xA2 is a block preamble, never a control header", SIM_REGISTERS, {0xA2, 0x5A}, {}, {}, {{4, -1}}, 0, 0, 0},
    {"silent board keeps state, sends nothing",
     SIM_SILENT,
     {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x01, 0x92, 0x00, 0x95, 0x77, 0x81, 0x04},
     {},
     {{5, {0x77}}},
     {{2, 0x01}},
     4,
     1,
     0},
    {"echo board echoes the sequence and records it",
     SIM_ECHO,
     {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x01, 0x92, 0x00},
     {0xD2, 0x5A, 0xD2, 0xC3, 0xD2, 0x7E, 0xD2, 0x01, 0xD2, 0x00},
     {},
     {{2, 0x01}},
     0,
     1,
     0},
};

TEST_F(BoardModel, ParserKeepsItsPlaceHoweverTheStreamIsCut) {
    for (const ParserCase& c : kParserCases) {
        for (Cut cut : {Cut::OneWrite, Cut::ByteByByte, Cut::MessageByMessage}) {
            SCOPED_TRACE(std::string(c.name) + ", cut " + std::to_string(static_cast<int>(cut)));
            sim_reset();
            sim_add_device(kBoardId, "SD0001", "Board");
            ASSERT_EQ(FT_OK, ft.open(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
            sim_set_behaviour(0, c.behaviour);
            if (cut == Cut::OneWrite) {
                write(c.stream);
            } else {
                const std::size_t step = cut == Cut::ByteByByte ? 1 : 2;
                for (std::size_t i = 0; i < c.stream.size(); i += step) {
                    write(Bytes(c.stream.begin() + static_cast<std::ptrdiff_t>(i),
                                c.stream.begin() + static_cast<std::ptrdiff_t>(std::min(i + step, c.stream.size()))));
                }
            }
            EXPECT_EQ(c.answers, answers());
            for (const auto& [address, content] : c.registers) {
                EXPECT_EQ(content, reg(address)) << "register " << address;
            }
            for (const auto& [address, value] : c.controls) {
                EXPECT_EQ(value, sim_control_value(0, address)) << "control " << address;
            }
            EXPECT_EQ(c.leds, sim_leds(0));
            EXPECT_EQ(c.sequences, counts().controlSequences);
            EXPECT_EQ(c.discarded, counts().controlDiscarded);
        }
    }
}

TEST_F(BoardModel, BlockSplitAcrossManyWritesArrivesWhole) {
    sim_set_behaviour(0, SIM_ECHO);
    Bytes block;
    for (int i = 0; i < 200; ++i) {
        block.push_back(static_cast<std::uint8_t>(i * 7));
    }
    write({0xA6, 200});
    for (std::size_t i = 0; i < block.size(); i += 13) {
        write(Bytes(block.begin() + static_cast<std::ptrdiff_t>(i),
                    block.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(i + 13, block.size()))));
        if (i + 13 < block.size()) {
            EXPECT_EQ(0u, sim_rx_pending(0)) << "no answer before the block is complete";
        }
    }
    Bytes expected = {0xE6, 200};
    expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_EQ(expected, answers());
    EXPECT_EQ(block, reg(6));
    EXPECT_EQ(1u, counts().blocks);
}

TEST_F(BoardModel, CutBlocksAnnounceMoreThanTheyCarry) {
    sim_set_behaviour(0, SIM_ECHO);
    sim_cut_blocks(0, 1, 2);
    write({0xA1, 0x04, 1, 2, 3, 4});
    write({0xA1, 0x02, 5, 6});
    EXPECT_EQ((Bytes{0xE1, 0x04, 1, 2, 0xE1, 0x02, 5, 6}), answers()) << "only the next block is cut";
    EXPECT_EQ((Bytes{5, 6}), reg(1)) << "the board itself took the host's blocks whole";
}

TEST_F(BoardModel, UnpluggedDeviceAnswersEveryCallAsRemoved) {
    sim_set_behaviour(0, SIM_ECHO);
    write({0x81, 0x01});
    sim_unplug(0);

    std::uint8_t byte = 0;
    DWORD count = 0, rx = 0, tx = 0, events = 0;
    EXPECT_EQ(FT_IO_ERROR, ft.write(handle, &byte, 1, &count));
    EXPECT_EQ(FT_IO_ERROR, ft.read(handle, &byte, 1, &count));
    EXPECT_EQ(FT_IO_ERROR, ft.status(handle, &rx, &tx, &events));
    EXPECT_EQ(FT_IO_ERROR, ft.purge(handle, FT_PURGE_RX));
    EXPECT_EQ(FT_IO_ERROR, ft.baud(handle, 9600));
    EXPECT_EQ(0u, sim_rx_pending(0)) << "what the board had sent is gone with it";

    DWORD listed = 99;
    ASSERT_EQ(FT_OK, ft.create(&listed));
    EXPECT_EQ(0u, listed);
    FT_HANDLE again = nullptr;
    EXPECT_EQ(FT_DEVICE_NOT_FOUND, ft.open(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &again));

    EXPECT_EQ(FT_OK, ft.close(handle)) << "the dead handle is released";
    EXPECT_EQ(FT_INVALID_HANDLE, ft.close(handle));

    sim_replug(0);
    ASSERT_EQ(FT_OK, ft.create(&listed));
    EXPECT_EQ(1u, listed);
    ASSERT_EQ(FT_OK, ft.open(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &again));
    EXPECT_NE(handle, again);
    handle = again;
    write({0x81, 0x02});
    EXPECT_EQ((Bytes{0xC8, 0x02}), answers()) << "the replugged board answers again";
    EXPECT_EQ(2u, counts().triggers);
}

TEST_F(BoardModel, UnplugAfterWritesLetsTheLastWriteThrough) {
    sim_unplug_after_writes(0, 2);
    write({0x91, 0x01});
    write({0x92, 0x02});
    EXPECT_EQ((Bytes{0x02}), reg(2));
    std::uint8_t byte = 0;
    DWORD count = 0;
    EXPECT_EQ(FT_IO_ERROR, ft.write(handle, &byte, 1, &count));
    EXPECT_EQ(0, sim_is_open(0));
}

} // namespace
