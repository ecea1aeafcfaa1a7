// The lightshow thread and its sequence pointer: a close on another thread may null the pointer
// while a show runs, between the thread's length check and its read of the step.
#include "board_sim.h"
#include "core/library.h"
#include "corvane.h"
#include "demo/light_show.h"
#include "test_support.h"

#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testing_support::Bytes;
using testing_support::kControlPair; // follows a code-0 step and closes every show

Bytes written() { return testing_support::writtenBytes(0); }

TEST(LightShowSequenceTest, ASequenceNulledMidShowEndsTheShowAsAStopDoes) {
    testing_support::enterFreshDirectory();
    sim_reset();
    sim_add_device(0x04038088, "LS0002", "Light Board");
    NRV_CV_Open(0, 0, 0);
    NRV_CV_SetDebugMode(1);
    ASSERT_EQ(NRV_CV_QueryDevices(), 1);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    sim_clear_written(0);
    corvane::HostContext* context = corvane::libraryGuard();
    ASSERT_NE(context, nullptr);

    const std::uint8_t sequence[] = {1, 2, 3};
    const std::int32_t repeats = 1000000;
    ASSERT_EQ(corvane::LEDBlinky(context, 1, repeats, sequence, 3), 1);
    ASSERT_TRUE(testing_support::waitUntil([] { return sim_written_size(0) >= 14; }));
    context->lightShowSequence.store(nullptr);
    ASSERT_TRUE(testing_support::waitUntil([&] { return context->lightShowThreadId.load() == 0; }));

    // Steps up to the null, then the closing pair; nothing the show did not mean to send.
    const Bytes wire = written();
    ASSERT_GE(wire.size(), 14 + kControlPair.size());
    const std::size_t steps = (wire.size() - kControlPair.size()) / 2;
    const std::uint8_t triggers[] = {0x01, 0x02, 0x04};
    for (std::size_t step = 0; step < steps; ++step) {
        ASSERT_EQ(wire[2 * step], 0x81) << "step " << step;
        ASSERT_EQ(wire[2 * step + 1], triggers[step % 3]) << "step " << step;
    }
    EXPECT_EQ(Bytes(wire.begin() + static_cast<std::ptrdiff_t>(2 * steps), wire.end()), kControlPair);
    // The pass that met the null counts as begun, as for a show stopped in the middle of a pass.
    const std::string countLine = "Interrupted light show at count " + std::to_string(steps / 3 + 1) + "\n";
    const std::string log = testing_support::readFile("Corvane.log");
    EXPECT_NE(log.find(countLine), std::string::npos) << log.substr(log.size() > 400 ? log.size() - 400 : 0);
    // The show ended by itself: nobody zeroed its repeat count.
    EXPECT_EQ(context->lightShowRepeats.load(), repeats);
}

} // namespace
