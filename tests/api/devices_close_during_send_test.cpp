// A close or an enumeration on one thread while another thread is in the middle of a send: the
// board is closed only after the send's last write, so no write ever goes to a closed handle
// (which a driver may already have given to the next board it opened).
#include "transfer_fixture.h"

#include <functional>

namespace {

using namespace transfer_test;

std::atomic<bool> preambleWriting{false};
std::atomic<bool> closeStarted{false};

// Holds the block's preamble write until the other thread has begun its close, and then until
// either that close reaches the driver (the fault) or half a second has passed.
void holdPreamble(int, const std::uint8_t* bytes, std::uint32_t count, void*) {
    if (count != 2 || bytes[0] != 0xA1) {
        return;
    }
    preambleWriting.store(true);
    testing_support::waitUntil([] { return closeStarted.load(); });
    testing_support::waitUntil([] { return sim_call_count("FT_Close") > 0; }, std::chrono::milliseconds(500));
}

void sendBlockWhile(const std::function<int()>& closing, int expectedCloseResult) {
    openBoards(1);
    sim_set_write_hook(holdPreamble, nullptr);
    const Bytes block = {1, 2, 3, 4, 5, 6, 7, 8};
    int sent = -1;
    std::thread sender([&] { sent = NRV_CV_SendBlock(1, block.data(), static_cast<std::uint32_t>(block.size())); });
    ASSERT_TRUE(testing_support::waitUntil([] { return preambleWriting.load(); }));
    closeStarted.store(true);
    int closed = closing();
    sender.join();
    sim_set_write_hook(nullptr, nullptr);

    EXPECT_EQ(sent, 1) << NRV_CV_GetLastError();
    EXPECT_EQ(closed, expectedCloseResult);
    EXPECT_EQ(written(0), (Bytes{0xA1, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(writeCalls(0), (std::vector<std::uint32_t>{2, 8}));
    EXPECT_EQ(sim_is_open(0), 0);
}

TEST(DevicesCloseDuringSendTest, CloseWaitsForTheSendsLastWrite) {
    sendBlockWhile([] { return NRV_CV_CloseDeviceByIndex(0); }, 1);
}

TEST(DevicesCloseDuringSendTest, EnumerationWaitsForTheSendsLastWrite) {
    sendBlockWhile(
        [] {
            testing::internal::CaptureStdout();
            int count = NRV_CV_QueryDevices();
            testing::internal::GetCapturedStdout();
            return count;
        },
        1);
}

} // namespace
