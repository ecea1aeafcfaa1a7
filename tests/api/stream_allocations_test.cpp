// The receive path allocates nothing: while a board streams, the process makes no heap
// allocation at all, in the default and in the fast mode. Counted by standing in for malloc,
// which glibc allows; elsewhere, and under the sanitizers (which stand in for malloc themselves),
// the test is skipped.
#include "environment.h"
#include "transfer_fixture.h"

#include "allocation_counter.h"

using namespace transfer_test;

namespace {

#if defined(CORVANE_COUNT_ALLOCATIONS)
std::atomic<std::uint64_t> delivered{0};
std::atomic<std::uint64_t*> probe{nullptr};

int32_t CORVANE_CALL countMessage(int32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) {
    delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

class StreamAllocationsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamAllocationsTest, StreamingMakesNoHeapAllocation) {
#if !defined(CORVANE_COUNT_ALLOCATIONS)
    GTEST_SKIP() << "allocations are counted through glibc's malloc, without a sanitizer";
#else
    const std::uint64_t probeBefore = corvane_allocations.load();
    // The count sees every allocation of the process (the pointer escapes, so it is really made).
    probe.store(new std::uint64_t[4]);
    EXPECT_GT(corvane_allocations.load(), probeBefore);
    delete[] probe.exchange(nullptr);
    testing_support::useProfile(GetParam());
    openBoards(1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(countMessage), 1);
    const SimStream stream{0b1, 0b10, 255, 0, 0}; // single bytes and blocks in turn, endless
    sim_set_stream(0, &stream);
    // Past the first messages, which may meet storage made on first use (the driver's queue).
    ASSERT_TRUE(
        testing_support::waitWhileMoving([] { return delivered.load() >= 1000; }, [] { return delivered.load(); }));
    const std::uint64_t before = corvane_allocations.load();
    const std::uint64_t from = delivered.load();
    ASSERT_TRUE(testing_support::waitWhileMoving([from] { return delivered.load() >= from + 5000; },
                                                 [] { return delivered.load(); }));
    const std::uint64_t made = corvane_allocations.load() - before;
    sim_set_stream(0, nullptr);
    EXPECT_EQ(made, 0u) << "while " << delivered.load() - from << " messages were delivered";
#endif
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamAllocationsTest, ::testing::Values("default", "fast"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
