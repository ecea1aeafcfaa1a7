// blink, selftest and demo: the library's light show and self test, and the guided tour.
#include "commands.h"
#include "platform.h"
#include "receiver.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace corvane::tool {

namespace {

constexpr unsigned kLedPollMs = 2;
constexpr double kShowGraceSeconds = 5.0; // beyond the show's own length, for a loaded machine
constexpr unsigned kProgressMs = 100;
constexpr int kProgressWidth = 30;
constexpr std::uint8_t kSelfTestTrigger = 0x80;
constexpr double kAnswerSeconds = 2.0;

std::string drawLeds(std::uint32_t leds) {
    std::string text = "LEDs";
    for (int i = 0; i < 4; ++i) {
        text += (leds >> i) & 1 ? " [*]" : " [ ]";
    }
    return text;
}

// Draws the simulated board's LEDs whenever they change until `done` says the show is over.
template <typename Done> void watchLeds(const SimControl& sim, int device, std::uint32_t shown, Done done) {
    const bool live = isTerminal(1);
    for (bool last = false; !last;) {
        last = done();
        const std::uint32_t leds = sim.sim_leds(device);
        if (leds != shown) {
            std::printf(live ? "\r%s" : "%s\n", drawLeds(leds).c_str());
            std::fflush(stdout);
            shown = leds;
        }
        sleepMs(kLedPollMs);
    }
    if (live) {
        std::printf("\n");
    }
}

SimBoardCounts boardCounts(const Session& session) {
    SimBoardCounts counts{};
    session.sim()->sim_board_counts(session.simDevice(), &counts);
    return counts;
}

} // namespace

constexpr std::uint64_t kSelfTestCycles = 100000; // the library's, unless CORVANE_SELFTEST_CYCLES shortens it

// The cycles the library will run: its own rule for CORVANE_SELFTEST_CYCLES (a whole number from 1
// to 100000; anything else leaves the full test).
std::uint64_t selfTestCycles() {
    const char* value = std::getenv("CORVANE_SELFTEST_CYCLES");
    if (value == nullptr || value[0] == '\0') {
        return kSelfTestCycles;
    }
    char* end = nullptr;
    const long cycles = std::strtol(value, &end, 10);
    return *end == '\0' && cycles >= 1 && cycles <= static_cast<long>(kSelfTestCycles)
               ? static_cast<std::uint64_t>(cycles)
               : kSelfTestCycles;
}

int blinkCommand(Session& session, const BlinkOptions& options) {
    std::vector<std::uint8_t> steps;
    for (const std::string& step : options.steps) {
        const auto value = parseNumber(step, 0xFF);
        if (!value) {
            std::fprintf(stderr, "corvane blink: \"%s\" is not a step code (0 to 255)\n", step.c_str());
            return kExitUsage;
        }
        steps.push_back(static_cast<std::uint8_t>(*value));
    }
    if (!session.openBoard()) {
        return kExitFailure;
    }
    // What the show sends: a trigger for every non-zero code, a control pair for every 0, and a
    // closing control pair.
    std::uint64_t triggers = 0, pairs = 1;
    for (std::uint8_t step : steps) {
        (step == 0 ? pairs : triggers) += 1;
    }
    const std::uint64_t repeats = options.repeats > 0 ? static_cast<std::uint64_t>(options.repeats) : 0;
    triggers *= repeats;
    pairs = (pairs - 1) * repeats + 1;
    const double length = static_cast<double>(repeats * steps.size() * options.delayMs) / 1000.0;
    const SimControl* sim = session.sim();
    const SimBoardCounts before = sim != nullptr ? boardCounts(session) : SimBoardCounts{};
    const std::uint32_t initial = sim != nullptr ? sim->sim_leds(session.simDevice()) : 0;
    if (sim != nullptr) {
        std::printf(isTerminal(1) ? "%s" : "%s\n", drawLeds(initial).c_str());
    }
    if (!NRV_CV_LEDBlinky(options.delayMs, options.repeats, steps.data(), static_cast<std::int32_t>(steps.size()))) {
        return failWithLastError("cannot start the light show");
    }
    const double end = nowSeconds() + length + kShowGraceSeconds;
    if (sim != nullptr && session.simDevice() >= 0) {
        watchLeds(*sim, session.simDevice(), initial, [&] {
            const SimBoardCounts now = boardCounts(session);
            // An unplugged board (a fault of its board file) takes nothing more.
            return interrupted() || nowSeconds() > end || sim->sim_is_open(session.simDevice()) == 0 ||
                   (now.triggers - before.triggers >= triggers &&
                    now.controlSequences - before.controlSequences >= 2 * pairs);
        });
    } else {
        sleepMs(static_cast<unsigned>(length * 1000));
    }
    // Closing the board waits for a show still under way to end.
    session.closeBoard();
    std::printf("light show: %llu steps in %d passes, %u ms apart; last error: %s\n",
                static_cast<unsigned long long>(steps.size()), options.repeats, options.delayMs, lastError().c_str());
    return 0;
}

int selftestCommand(Session& session) {
    if (!session.openBoard()) {
        return kExitFailure;
    }
    const std::string before = NRV_CV_GetLastError();
    const SimControl* sim = session.sim();
    const std::uint64_t startTriggers = sim != nullptr ? boardCounts(session).triggers : 0;
    const std::uint64_t totalCycles = selfTestCycles();
    std::atomic<bool> finished{false};
    std::int32_t result = 0;
    const double start = nowSeconds();
    std::thread test([&] {
        StdoutCapture quiet; // the library's own "Sending block" line
        result = NRV_CV_PerformSelfTest();
        // Release: `result` is written before the main thread sees the test finished.
        finished.store(true, std::memory_order_release);
    });
    const bool live = isTerminal(2);
    int reported = -1;
    // Acquire: pairs with the test thread's release, so `result` is read complete.
    for (bool last = false; !last;) {
        last = finished.load(std::memory_order_acquire);
        const double elapsed = nowSeconds() - start;
        // The cycles are counted on the simulated board: one trigger 0x80 per cycle.
        const std::uint64_t cycles = sim != nullptr ? boardCounts(session).triggers - startTriggers : 0;
        const int percent = static_cast<int>(cycles * 100 / totalCycles);
        if (sim == nullptr) {
            // A real board's cycles cannot be counted from here: only the time is shown.
            if (live) {
                std::fprintf(stderr, "\rself test running: %.1f s", elapsed);
            }
        } else if (live) {
            const int filled = percent * kProgressWidth / 100;
            std::fprintf(stderr, "\r[%s%s] %3d%%  %6llu cycles  %7.0f cycles/s  %5.1f s",
                         std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(kProgressWidth - filled), '.').c_str(), percent,
                         static_cast<unsigned long long>(cycles), elapsed > 0 ? cycles / elapsed : 0.0, elapsed);
        } else if (percent / 25 != reported / 25 || last) {
            std::fprintf(stderr, "self test: %llu cycles, %.1f s\n", static_cast<unsigned long long>(cycles), elapsed);
            reported = percent;
        }
        if (!last) {
            sleepMs(kProgressMs);
        }
    }
    test.join();
    if (live) {
        std::fprintf(stderr, "\n");
    }
    const double elapsed = nowSeconds() - start;
    const std::string after = NRV_CV_GetLastError();
    std::printf("self test: %s after %llu cycles in %.1f s (%.0f cycles/s)\n", result ? "ran" : "did not run",
                static_cast<unsigned long long>(totalCycles), elapsed, static_cast<double>(totalCycles) / elapsed);
    std::printf("last error: %s\n", lastError().c_str());
    return result != 0 && after == before ? 0 : kExitFailure;
}

int demoCommand(Session& session) {
    std::printf("== The library\n%s, version %s, interface %s\n", NRV_CV_GetName(), NRV_CV_GetVersionString(),
                NRV_CV_GetInterfaceVersion());
    std::printf("\n== The boards it lists (a serial ending in A is the first interface of a dual-channel chip and "
                "is skipped, as is a device that is not a supported board)\n");
    for (const ListedBoard& board : session.boards()) {
        std::printf("  index %d: \"%s\", serial %s, %04X:%04X, entry %d of the driver's list\n", board.index,
                    board.name.c_str(), board.serial.c_str(), board.vendorId, board.productId, board.listPosition);
    }
    if (!session.openBoard([] { return Receiver::instance().start({-1, true, nullptr, 0, false}); })) {
        return kExitFailure;
    }
    std::printf("\n== Board %d opened and selected; its messages are printed as they arrive\n", session.board().index);
    Receiver& receiver = Receiver::instance();
    std::uint64_t expected = 0;
    auto step = [&](const char* title, int sent) {
        std::printf("\n== %s\n  sent: %s\n", title, sent ? "yes" : lastError().c_str());
        std::fflush(stdout);
        ++expected;
        const double until = nowSeconds() + kAnswerSeconds;
        while (receiver.messages() < expected && nowSeconds() < until) {
            sleepMs(1);
        }
        receiver.flush();
        if (receiver.messages() < expected) {
            std::printf("  (no answer)\n");
            expected = receiver.messages();
        }
    };
    step("A single byte 0x41 to address 3: the echo board answers on channel 3", NRV_CV_SendByte(3, 0x41));
    const char text[] = "Hello, board!";
    step("A block of text to address 2: it comes back as a block",
         NRV_CV_SendBlock(2, reinterpret_cast<const std::uint8_t*>(text), sizeof text - 1));
    step("A trigger 0x08: the board answers with a trigger", NRV_CV_SendTrigger(0x08));

    std::printf("\n== A light show: steps 1 2 3 4, twice, 100 ms apart\n");
    std::fflush(stdout);
    BlinkOptions show;
    show.delayMs = 100;
    show.repeats = 2;
    show.steps = {"1", "2", "3", "4"};
    NRV_CV_RegisterReadCallback(nullptr); // the board's echoes of the show are not printed
    blinkCommand(session, show);
    receiver.stop();
    std::printf("\n== Done: %llu messages received; last error: %s\n",
                static_cast<unsigned long long>(receiver.messages()), lastError().c_str());
    return 0;
}

} // namespace corvane::tool
