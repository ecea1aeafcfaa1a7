// A light show writes from its own thread while the application sends: no show message may fall
// between a block's preamble and its data, or inside a control sequence.
#include "transfer_fixture.h"

#include <string>

using namespace transfer_test;

namespace {

constexpr std::uint8_t kApplicationPreamble = 0xA1; // blocks to address 1
constexpr std::uint8_t kApplicationControl = 0x9A;  // control bytes to address 3
constexpr std::uint8_t kShowControl = 0x92;         // the show's control pair goes to address 2
constexpr int kOperations = 20;

TEST(SendWithLightShow, OperationsStayWholeWhileAShowWrites) {
    openBoards(1);
    // Every application preamble is held for 50 ms inside the driver, a wide gap for the show.
    sim_set_write_hook(
        [](int, const std::uint8_t* bytes, std::uint32_t count, void*) {
            if (count == 2 && bytes[0] == kApplicationPreamble) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        },
        nullptr);
    static const std::uint8_t sequence[] = {1, 0, 2, 0, 3, 4};
    ASSERT_EQ(NRV_CV_LEDBlinky(1, 1000000, sequence, sizeof sequence), 1);
    for (int operation = 0; operation < kOperations; ++operation) {
        const Bytes block = pattern(20, static_cast<std::uint8_t>(operation));
        if (operation % 2 == 0) {
            ASSERT_EQ(NRV_CV_SendBlock(1, block.data(), 20), 1);
        } else {
            ASSERT_EQ(NRV_CV_SendTransferControlByte(3, static_cast<std::uint8_t>(operation)), 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // pace: let the show write between
    }
    ASSERT_EQ(NRV_CV_CloseDeviceByIndex(0), 1); // stops the show
    sim_set_write_hook(nullptr, nullptr);

    const Bytes bytes = written(0);
    const std::vector<std::uint32_t> calls = writeCalls(0);
    std::size_t position = 0;
    std::size_t call = 0;
    auto take = [&](std::uint32_t length) -> const std::uint8_t* {
        if (call >= calls.size() || calls[call] != length) return nullptr;
        const std::uint8_t* at = bytes.data() + position;
        position += length;
        ++call;
        return at;
    };
    int operation = 0;
    int showMessagesBetween = 0;
    while (call < calls.size()) {
        const std::uint8_t* message = take(2);
        ASSERT_NE(message, nullptr) << "write " << call;
        const std::string where = "write " + std::to_string(call - 1);
        if (message[0] == kApplicationPreamble) {
            ASSERT_EQ(operation % 2, 0) << where;
            ASSERT_EQ(message[1], 20) << where;
            const std::uint8_t* data = take(20);
            ASSERT_NE(data, nullptr) << where << ": the preamble is not followed by its data";
            ASSERT_EQ(Bytes(data, data + 20), pattern(20, static_cast<std::uint8_t>(operation))) << where;
            ++operation;
        } else if (message[0] == kApplicationControl || message[0] == kShowControl) {
            const std::uint8_t header = message[0];
            ASSERT_EQ(message[1], 0x5A) << where;
            const std::uint8_t* parts[4];
            for (const std::uint8_t*& part : parts) {
                part = take(2);
                ASSERT_TRUE(part != nullptr && part[0] == header) << where << ": control sequence broken";
            }
            ASSERT_EQ(parts[0][1], 0xC3) << where;
            ASSERT_EQ(parts[1][1], 0x7E) << where;
            ASSERT_EQ(parts[3][1], 0x00) << where;
            if (header == kApplicationControl) {
                ASSERT_EQ(operation % 2, 1) << where;
                ASSERT_EQ(parts[2][1], operation) << where;
                ++operation;
            } else if (operation > 0 && operation < kOperations) {
                ++showMessagesBetween;
            }
        } else {
            ASSERT_EQ(message[0], 0x81) << where << ": neither the application's nor the show's";
            if (operation > 0 && operation < kOperations) {
                ++showMessagesBetween;
            }
        }
    }
    EXPECT_EQ(operation, kOperations);
    EXPECT_GT(showMessagesBetween, 0) << "the show never wrote while the application sent";
}

} // namespace
