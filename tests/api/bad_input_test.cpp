// The bad-input table of docs/api.md, row by row: every export with null pointers, out-of-range
// indices and channels, edge lengths and sequences, first with the library open, then with it
// closed. Each row gives its documented result and last error, writes only the documented bytes,
// and leaves the device list and the open boards as they were.
#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using testing_support::Bytes;
using testing_support::writtenBytes;

constexpr std::uint32_t kBoardId = 0x04038088;
const char* const kNames[] = {"Corvane board 0", "Corvane board 1"};
// A last error that no row raises, set before each, so that "unchanged" is a text to compare.
constexpr const char* kBaseline = "Failed to write tigger";
constexpr const char* kUnchanged = nullptr;
constexpr const char* kNotInitialized = "Library not initialized";
constexpr std::int32_t kMaxIndex = std::numeric_limits<std::int32_t>::max();
constexpr std::uint32_t kMaxLength = std::numeric_limits<std::uint32_t>::max();

int32_t CORVANE_CALL ignoreMessage(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return 0; }

std::string text(const char* value) {
    if (value == nullptr) {
        return "null";
    }
    std::string quoted = "\"";
    quoted.append(value).push_back('"');
    return quoted;
}
std::string number(std::int32_t value) { return std::to_string(value); }

// "name: argument", for the failure message of a row.
std::string labelled(const char* name, const std::string& argument) {
    std::string label = name;
    label.append(": ").append(argument);
    return label;
}
std::string labelled(const char* name, long long argument) { return labelled(name, std::to_string(argument)); }

Bytes repeated(const Bytes& unit, std::size_t times) {
    Bytes all;
    for (std::size_t i = 0; i < times; ++i) {
        all.insert(all.end(), unit.begin(), unit.end());
    }
    return all;
}

Bytes concat(const Bytes& first, const Bytes& second) {
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    return all;
}

Bytes blockWire(std::uint32_t length, const std::uint8_t* data) {
    Bytes wire;
    std::uint32_t offset = 0;
    do {
        const std::uint32_t piece = std::min<std::uint32_t>(255, length - offset);
        wire.push_back(0xA1);
        wire.push_back(static_cast<std::uint8_t>(piece));
        wire.insert(wire.end(), data + offset, data + offset + piece);
        offset += piece;
    } while (offset < length);
    return wire;
}

const Bytes kBlock = [] {
    Bytes bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    }
    return bytes;
}();
const Bytes kSteps(256, 1); // every step the trigger 0x01
const Bytes kTriggerStep = {0x81, 0x01};
const Bytes& kPair = testing_support::kControlPair;

struct Row {
    std::string call; // the export and its arguments, for the failure message
    std::function<std::string()> run;
    std::string result;
    const char* error = kUnchanged;
    Bytes wire = {};     // written to board 0
    bool guarded = true; // refused when the library is closed
    std::string closedResult = "0";
};

std::vector<Row> rows() {
    std::vector<Row> table;
    for (std::int32_t index : {-1, 255, 256, kMaxIndex, 2}) {
        table.push_back({labelled("NRV_CV_SelectActiveDeviceByIndex", index),
                         [=] { return number(NRV_CV_SelectActiveDeviceByIndex(index)); }, "0", "Invalid device index"});
        table.push_back({labelled("NRV_CV_OpenDeviceByIndex", index),
                         [=] { return number(NRV_CV_OpenDeviceByIndex(index)); }, "0",
                         "Device index is outside of bounds"});
        table.push_back({labelled("NRV_CV_CloseDeviceByIndex", index),
                         [=] { return number(NRV_CV_CloseDeviceByIndex(index)); }, "0",
                         "Device index is outside of bounds"});
        // Slots 0 to 255 exist, listed or not; anything else has no text.
        const std::string slotText = index >= 0 && index <= 255 ? "\"\"" : "null";
        table.push_back({labelled("NRV_CV_GetDeviceName", index),
                         [=] { return text(NRV_CV_GetDeviceName(index)); },
                         slotText,
                         kUnchanged,
                         {},
                         true,
                         "null"});
        table.push_back({labelled("NRV_CV_GetDeviceSerial", index),
                         [=] { return text(NRV_CV_GetDeviceSerial(index)); },
                         slotText,
                         kUnchanged,
                         {},
                         true,
                         "null"});
    }
    for (const char* name : {static_cast<const char*>(nullptr), "no such board"}) {
        table.push_back({labelled("NRV_CV_SelectActiveDeviceByName", text(name)),
                         [=] { return number(NRV_CV_SelectActiveDeviceByName(name)); }, "0", "Invalid device name"});
        table.push_back({labelled("NRV_CV_OpenDeviceByName", text(name)),
                         [=] { return number(NRV_CV_OpenDeviceByName(name)); }, "1"});
        table.push_back({labelled("NRV_CV_CloseDeviceByName", text(name)),
                         [=] { return number(NRV_CV_CloseDeviceByName(name)); }, "1"});
    }
    for (std::uint32_t length : {1u, kMaxLength}) {
        table.push_back({labelled("NRV_CV_SendBlock(1, null, length)", length),
                         [=] { return number(NRV_CV_SendBlock(1, nullptr, length)); }, "0",
                         "SendBlock: Block is not defined"});
    }
    table.push_back({"NRV_CV_SendBlock(null block, 0)",
                     [] { return number(NRV_CV_SendBlock(1, nullptr, 0)); },
                     "1",
                     kUnchanged,
                     {0xA1, 0x00}});
    for (std::uint32_t length : {0u, 255u, 256u}) {
        table.push_back({labelled("NRV_CV_SendBlock(1, block, length)", length),
                         [=] { return number(NRV_CV_SendBlock(1, kBlock.data(), length)); }, "1", kUnchanged,
                         blockWire(length, kBlock.data())});
    }
    for (std::int32_t channel : {-1, 8, kMaxIndex}) {
        table.push_back({labelled("NRV_CV_RegisterReadCallbackForChannel", channel),
                         [=] { return number(NRV_CV_RegisterReadCallbackForChannel(ignoreMessage, channel)); }, "0"});
    }
    table.push_back({"NRV_CV_RegisterReadCallbackForChannel(null)",
                     [] { return number(NRV_CV_RegisterReadCallbackForChannel(nullptr, 3)); }, "1"});
    table.push_back(
        {"NRV_CV_RegisterReadCallback(null)", [] { return number(NRV_CV_RegisterReadCallback(nullptr)); }, "1"});
    table.push_back({"NRV_CV_LEDBlinky(null sequence)", [] { return number(NRV_CV_LEDBlinky(0, 1, nullptr, 4)); }, "0",
                     "Sequence is not defined for LEDBlinky! :'("});
    // Repeats and lengths of none or less play no step; every show ends with the control pair.
    for (std::int32_t repeats : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
        table.push_back({labelled("NRV_CV_LEDBlinky(repeats)", repeats),
                         [=] { return number(NRV_CV_LEDBlinky(0, repeats, kSteps.data(), 4)); }, "1", kUnchanged,
                         kPair});
    }
    for (std::uint32_t length : {0u, kMaxLength, 255u, 256u}) {
        const auto signedLength = static_cast<std::int32_t>(length);
        const std::size_t steps = signedLength > 0 ? length : 0;
        table.push_back({labelled("NRV_CV_LEDBlinky(length)", signedLength),
                         [=] { return number(NRV_CV_LEDBlinky(0, 1, kSteps.data(), signedLength)); }, "1", kUnchanged,
                         concat(repeated(kTriggerStep, steps), kPair)});
    }
    table.push_back({"NRV_CV_GetVersionControl(null pointers)",
                     [] {
                         NRV_CV_GetVersionControl(nullptr, nullptr, nullptr, nullptr);
                         std::uint16_t build = 0;
                         NRV_CV_GetVersionControl(nullptr, nullptr, nullptr, &build);
                         return number(build);
                     },
                     "5",
                     kUnchanged,
                     {},
                     false});
    for (std::int32_t mode : {-1, kMaxIndex, 0}) {
        table.push_back(
            {labelled("NRV_CV_SetDebugMode", mode), [=] { return number(NRV_CV_SetDebugMode(mode)); }, "1"});
    }
    return table;
}

// What a row must leave alone: the device list, the open boards.
struct Snapshot {
    std::vector<std::string> names;
    std::vector<bool> open;
    std::uint32_t handles;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot() {
    Snapshot state{{}, {}, sim_open_handles()};
    for (int slot = 0; slot < 3; ++slot) {
        const char* name = NRV_CV_GetDeviceName(slot);
        const char* serial = NRV_CV_GetDeviceSerial(slot);
        state.names.push_back(text(name) + "/" + text(serial));
    }
    for (int board = 0; board < 2; ++board) {
        state.open.push_back(sim_is_open(board) != 0);
    }
    return state;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::enterFreshDirectory();
        sim_reset();
        for (int board = 0; board < 2; ++board) {
            sim_add_device(kBoardId, ("CVB00" + std::to_string(board)).c_str(), kNames[board]);
        }
        NRV_CV_Open(0, 0, 0);
        testing::internal::CaptureStdout();
        ASSERT_EQ(NRV_CV_QueryDevices(), 2);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    }

    static void setBaseline() {
        sim_fail_next("FT_Write", 1, 4);
        NRV_CV_SendTrigger(0);
        ASSERT_STREQ(NRV_CV_GetLastError(), kBaseline);
    }
};

TEST_F(BadInput, EveryRowGivesItsDocumentedResultAndChangesNothingElse) {
    const Snapshot before = snapshot();
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.call);
        ASSERT_NO_FATAL_FAILURE(setBaseline());
        sim_clear_written(0);
        sim_clear_written(1);
        EXPECT_EQ(row.run(), row.result);
        // A light show runs on its own thread: its bytes are complete once the closing pair is out.
        testing_support::waitUntil([&row] { return writtenBytes(0).size() >= row.wire.size(); });
        EXPECT_EQ(writtenBytes(0), row.wire);
        EXPECT_EQ(writtenBytes(1), Bytes{});
        EXPECT_EQ(NRV_CV_GetLastError(), std::string(row.error == kUnchanged ? kBaseline : row.error));
        EXPECT_EQ(snapshot(), before);
    }
    // The selection never moved: a send still goes to board 0.
    sim_clear_written(0);
    ASSERT_EQ(NRV_CV_SendByte(3, 0x41), 1);
    EXPECT_EQ(writtenBytes(0), (Bytes{0x93, 0x41}));
}

TEST_F(BadInput, WithTheLibraryClosedEveryRowIsRefusedAndWritesNothing) {
    NRV_CV_Close();
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.call);
        sim_clear_written(0);
        const std::string result = row.run();
        if (row.guarded) {
            EXPECT_EQ(result, row.closedResult);
        }
        EXPECT_EQ(writtenBytes(0), Bytes{});
        EXPECT_STREQ(NRV_CV_GetLastError(), kNotInitialized);
        EXPECT_EQ(sim_is_open(0), 1);
        EXPECT_EQ(sim_is_open(1), 0);
    }
}

TEST_F(BadInput, OpeningTwiceStartsAnEmptyLibraryAndClosingTwiceDoesNothing) {
    ASSERT_NO_FATAL_FAILURE(setBaseline());
    EXPECT_EQ(NRV_CV_Open(0, 0, 0), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "No error found!\n");
    EXPECT_STREQ(NRV_CV_GetDeviceName(0), "");
    EXPECT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 0);
    EXPECT_EQ(sim_is_open(0), 1) << "the board opened before stays open in the driver";

    EXPECT_EQ(NRV_CV_Close(), 0);
    EXPECT_EQ(NRV_CV_Close(), 0);
    EXPECT_FALSE(NRV_CV_Initialize());
    EXPECT_STREQ(NRV_CV_GetLastError(), kNotInitialized);

    // Open again: board 1 opens and sends; board 0 is still held by the first library.
    EXPECT_EQ(NRV_CV_Open(0, 0, 0), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(NRV_CV_QueryDevices(), 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(NRV_CV_OpenDeviceByIndex(0), 0);
    EXPECT_STREQ(NRV_CV_GetLastError(), "Failed to open port");
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(1), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
    sim_clear_written(1);
    ASSERT_EQ(NRV_CV_SendByte(2, 0x7E), 1);
    EXPECT_EQ(writtenBytes(1), (Bytes{0x92, 0x7E}));
}

} // namespace
