// Every driver call of every operation failed in turn: for each operation, the k-th driver call
// from its start fails, for every k up to the number of calls it makes (and one beyond, when none
// fails), with every failure status a driver can give. Each time the result, the last error and
// the bytes on the wire are the documented ones, no driver handle is left open that the library
// no longer knows, and afterwards a clean send and receive still work.
//
// The read thread polls every open board without pause, so its calls would mix with the
// operation's: while an operation runs, the read thread is held inside a trigger callback of
// board 0 and the driver sees the operation's calls alone. A receive starts by queueing the
// board's bytes and letting the read thread go.
#include "board_sim.h"
#include "corvane.h"
#include "test_support.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Bytes;
using testing_support::waitUntil;
using testing_support::writtenBytes;

constexpr std::uint32_t kBoardId = 0x04038088;
const char* const kNames[] = {"Corvane board 0", "Corvane board 1"};
const char* const kSerials[] = {"CVF000", "CVF001"};
// Set before every operation, so that "the last error is unchanged" is a text to compare.
constexpr const char* kBaseline = "Invalid device index";
// The trigger that holds the read thread in the callback while an operation runs.
constexpr std::uint8_t kHoldCommand = 0xCF;
constexpr std::uint8_t kHoldValue = 0xEE;
// Every failure status of the driver, FT_INVALID_HANDLE to FT_DEVICE_LIST_NOT_READY.
constexpr std::uint32_t kFirstStatus = 1;
constexpr std::uint32_t kLastStatus = 19;

struct Received {
    std::int32_t device;
    std::int32_t channel;
    std::uint32_t command;
    std::uint32_t length;
    Bytes bytes; // data messages only
    bool operator==(const Received&) const = default;
};

std::atomic<bool> holdRequested{false};
std::atomic<bool> held{false};
std::mutex receivedLock;
std::vector<Received> received;

int32_t CORVANE_CALL onMessage(int32_t device, int32_t channel, uint32_t command, uint32_t length, uint8_t* bytes,
                               uint32_t) {
    if (command == kHoldCommand && length == kHoldValue) {
        held.store(true);
        while (holdRequested.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        held.store(false);
        return 0;
    }
    std::lock_guard<std::mutex> hold(receivedLock);
    received.push_back(
        Received{device, channel, command, length, (command & 0x08) != 0 ? Bytes{} : Bytes(bytes, bytes + length)});
    return 0;
}

std::vector<Received> receivedSoFar() {
    std::lock_guard<std::mutex> hold(receivedLock);
    return received;
}

void boardSends(int board, const Bytes& bytes) {
    sim_queue_rx(board, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// How the two boards stand when the operation starts. Board 0 is always open, selected and has
// the callback: the read thread is held in it.
enum class Start { BoardOneListed, BoardOneOpen };

// What one operation gave, for the table's expectations.
struct Outcome {
    int k; // the failed call; beyond the operation's calls none failed
    int result;
    std::string error;
    Bytes wire; // written to board 0
    bool boardOneOpen;
};

struct Operation {
    const char* name;
    Start start;
    int calls;                     // driver calls the operation makes when none fails
    bool exactCalls;               // false when the read thread's polls count in (receives)
    std::function<int(int k)> run; // k: the call that fails
    std::function<void(const Outcome&)> check;
    // Handles the library cannot close any more after the failure of call k (0: none).
    std::function<std::uint32_t(int k)> orphans = [](int) { return 0u; };
};

void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.name; }

Bytes message(std::uint8_t header, std::uint8_t value) { return {header, value}; }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes pattern(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

// The two-byte messages of `all` without the k-th (1-based): a failed write puts nothing on the wire.
Bytes withoutMessage(const Bytes& all, int k) {
    Bytes rest = all;
    if (k >= 1 && static_cast<std::size_t>(k) * 2 <= rest.size()) {
        rest.erase(rest.begin() + (k - 1) * 2, rest.begin() + k * 2);
    }
    return rest;
}

// The read thread waits inside board 0's callback until released.
void holdReadThread() {
    holdRequested.store(true);
    boardSends(0, {kHoldCommand, kHoldValue});
    ASSERT_TRUE(waitUntil([] { return held.load(); }));
}

void releaseReadThread() {
    holdRequested.store(false);
    ASSERT_TRUE(waitUntil([] { return !held.load(); }));
}

int quietly(const std::function<int()>& call) {
    testing::internal::CaptureStdout();
    const int result = call();
    testing::internal::GetCapturedStdout();
    return result;
}

// Board 0 open, selected, with the callback; board 1 listed, or open as well.
void startFresh(Start start) {
    sim_reset();
    for (int board = 0; board < 2; ++board) {
        sim_add_device(kBoardId, kSerials[board], kNames[board]);
    }
    ASSERT_EQ(quietly(NRV_CV_QueryDevices), 2);
    ASSERT_EQ(NRV_CV_OpenDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
    ASSERT_EQ(NRV_CV_RegisterReadCallback(&onMessage), 1);
    if (start == Start::BoardOneOpen) {
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(1), 1);
    }
    std::lock_guard<std::mutex> hold(receivedLock);
    received.clear();
}

// ---- the operations ------------------------------------------------------------------------------

void expectSendFailure(const Outcome& out, int failingCall, const char* text, const Bytes& wireBefore,
                       const Bytes& wireAll) {
    if (out.k == failingCall) {
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.error, text);
        EXPECT_EQ(out.wire, wireBefore);
    }
    if (out.k > failingCall) {
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.error, kBaseline);
        EXPECT_EQ(out.wire, wireAll);
    }
}

// A block sent in pieces of 255: each piece a preamble and a data write; the call that fails
// stops the block with its text, and everything before it is on the wire.
void expectBlock(const Outcome& out, const Bytes& data) {
    Bytes wire;
    int call = 0;
    for (std::size_t offset = 0; offset == 0 || offset < data.size(); offset += 255) {
        const std::size_t piece = std::min<std::size_t>(255, data.size() - offset);
        if (++call == out.k) {
            EXPECT_EQ(out.result, 0);
            EXPECT_EQ(out.error, "SendBlock: Cannot write message preamble");
            EXPECT_EQ(out.wire, wire);
            return;
        }
        wire.push_back(0xA1);
        wire.push_back(static_cast<std::uint8_t>(piece));
        if (++call == out.k) {
            EXPECT_EQ(out.result, 0);
            EXPECT_EQ(out.error, "SendBlock: Cannot write message block");
            EXPECT_EQ(out.wire, wire);
            return;
        }
        wire.insert(wire.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                    data.begin() + static_cast<std::ptrdiff_t>(offset + piece));
    }
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.error, kBaseline);
    EXPECT_EQ(out.wire, wire);
}

const Bytes kControlSequence = {0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x11, 0x92, 0x00};
const Bytes kBlock10 = pattern(10);
const Bytes kBlock300 = pattern(300);
const Bytes kShowStep = concat({message(0x81, 0x01), testing_support::kControlPair});

// The self test's opening: a control byte and four single bytes, all to address 2.
const Bytes kSelfTestOpening = concat(
    {{0x92, 0x5A, 0x92, 0xC3, 0x92, 0x7E, 0x92, 0x01, 0x92, 0x00}, {0x92, 0xDE, 0x92, 0xAD, 0x92, 0xC0, 0x92, 0xDE}});
std::string errorAtFirstBlock; // the last error when the self test wrote its first block preamble

// Stops the self test at its first block: the preamble is let through, the block's data written
// short, which ends the test as a board that stopped taking data does.
void stopSelfTestAtFirstBlock(int, const std::uint8_t* bytes, std::uint32_t count, void*) {
    if (count == 2 && bytes[0] == 0xA4 && errorAtFirstBlock.empty()) {
        errorAtFirstBlock = NRV_CV_GetLastError();
        sim_short_writes(-1, 0);
    }
}

// A received message delivered exactly once, with its bytes; the read thread's failed calls only
// delay it, and a failed block read leaves its text.
void expectReceived(const Outcome& out, const Received& expected, int failedDataRead) {
    ASSERT_TRUE(waitUntil([] { return !receivedSoFar().empty(); })) << "never delivered";
    EXPECT_EQ(receivedSoFar(), std::vector<Received>{expected});
    EXPECT_EQ(out.error, out.k == failedDataRead ? "BTM: Error receiving message block status" : kBaseline);
}

int receive(const Bytes& bytes) {
    boardSends(0, bytes);
    releaseReadThread();
    return waitUntil([] { return !receivedSoFar().empty(); }) ? 1 : 0;
}

std::vector<Operation> operations() {
    return {
        {"Enumeration", Start::BoardOneListed, 3, true, [](int) { return quietly(NRV_CV_QueryDevices); },
         [](const Outcome& out) {
             // Calls: FT_Close of the open board 0, FT_CreateDeviceInfoList, FT_GetDeviceInfoList.
             const char* texts[] = {kBaseline, kBaseline, "Could not create a device info list",
                                    "Could not get the device info list", kBaseline};
             EXPECT_EQ(out.result, out.k == 2 || out.k == 3 ? 0 : 2);
             EXPECT_EQ(out.error, texts[out.k]);
         },
         // A board whose FT_Close fails while an enumeration clears its record stays open in the
         // driver, and the library has forgotten it.
         [](int k) { return k == 1 ? 1u : 0u; }},
        {"OpenByIndex", Start::BoardOneListed, 4, true, [](int) { return NRV_CV_OpenDeviceByIndex(1); },
         [](const Outcome& out) {
             // Calls: FT_OpenEx, then the port settings, whose failures do not count.
             EXPECT_EQ(out.result, out.k == 1 ? 0 : 1);
             EXPECT_EQ(out.error, out.k == 1 ? "Failed to open port" : kBaseline);
             EXPECT_EQ(out.boardOneOpen, out.k != 1);
         }},
        {"OpenByName", Start::BoardOneListed, 4, true, [](int) { return NRV_CV_OpenDeviceByName(kNames[1]); },
         [](const Outcome& out) {
             EXPECT_EQ(out.result, 1);
             EXPECT_EQ(out.error, out.k == 1 ? "Failed to open port" : kBaseline);
             EXPECT_EQ(out.boardOneOpen, out.k != 1);
         }},
        {"CloseByIndex", Start::BoardOneOpen, 1, true, [](int) { return NRV_CV_CloseDeviceByIndex(1); },
         [](const Outcome& out) {
             EXPECT_EQ(out.result, out.k == 1 ? 0 : 1);
             EXPECT_EQ(out.error, out.k == 1 ? "Failed to close USB device" : kBaseline);
             EXPECT_EQ(out.boardOneOpen, out.k == 1);
         }},
        {"CloseByName", Start::BoardOneOpen, 1, true, [](int) { return NRV_CV_CloseDeviceByName(kNames[1]); },
         [](const Outcome& out) {
             EXPECT_EQ(out.result, 1);
             EXPECT_EQ(out.error, out.k == 1 ? "Failed to close USB device" : kBaseline);
             EXPECT_EQ(out.boardOneOpen, out.k == 1);
         }},
        {"SendTrigger", Start::BoardOneListed, 1, true, [](int) { return NRV_CV_SendTrigger(0x42); },
         [](const Outcome& out) { expectSendFailure(out, 1, "Failed to write tigger", {}, message(0x81, 0x42)); }},
        {"SendByte", Start::BoardOneListed, 1, true, [](int) { return NRV_CV_SendByte(3, 0x41); },
         [](const Outcome& out) { expectSendFailure(out, 1, "Failed to write single byte", {}, message(0x93, 0x41)); }},
        {"SendBlock", Start::BoardOneListed, 2, true, [](int) { return NRV_CV_SendBlock(1, kBlock10.data(), 10); },
         [](const Outcome& out) { expectBlock(out, kBlock10); }},
        {"SendLongBlock", Start::BoardOneListed, 4, true,
         [](int) { return NRV_CV_SendBlock(1, kBlock300.data(), 300); },
         [](const Outcome& out) { expectBlock(out, kBlock300); }},
        {"SendControlByte", Start::BoardOneListed, 5, true, [](int) { return NRV_CV_SendTransferControlByte(2, 0x11); },
         [](const Outcome& out) {
             // The five writes are all attempted and none is reported.
             EXPECT_EQ(out.result, 1);
             EXPECT_EQ(out.error, kBaseline);
             EXPECT_EQ(out.wire, withoutMessage(kControlSequence, out.k));
         }},
        {"LightShowStep", Start::BoardOneListed, 11, true,
         [](int k) {
             static const std::uint8_t sequence[] = {1};
             const int result = NRV_CV_LEDBlinky(0, 1, sequence, 1);
             // The show is over once its closing control pair is out; a failed write is missing.
             const std::size_t size = withoutMessage(kShowStep, k).size();
             EXPECT_TRUE(waitUntil([size] { return sim_written_size(0) == size; }));
             return result;
         },
         [](const Outcome& out) {
             // Calls: the step's trigger, then the closing control pair's ten writes, unreported.
             EXPECT_EQ(out.result, 1);
             EXPECT_EQ(out.error, out.k == 1 ? "Failed to write tigger" : kBaseline);
             EXPECT_EQ(out.wire, withoutMessage(kShowStep, out.k));
         }},
        {"SelfTestStart", Start::BoardOneListed, 11, true,
         [](int) {
             errorAtFirstBlock.clear();
             sim_set_write_hook(&stopSelfTestAtFirstBlock, nullptr);
             const int result = quietly(NRV_CV_PerformSelfTest);
             sim_set_write_hook(nullptr, nullptr);
             sim_short_writes(0, 0);
             return result;
         },
         [](const Outcome& out) {
             // Calls: the opening's nine writes, then the first block's preamble and its (short)
             // data. A failed control write is not reported, a failed single byte is.
             EXPECT_EQ(out.result, 1);
             if (out.k <= 9) {
                 EXPECT_EQ(errorAtFirstBlock, out.k <= 5 ? kBaseline : "Failed to write single byte");
                 EXPECT_EQ(out.wire, concat({withoutMessage(kSelfTestOpening, out.k), {0xA4, 0x08}}));
                 EXPECT_EQ(out.error, "SendBlock: Cannot write message block");
             } else if (out.k == 10) {
                 // The first block fails; the test goes on to the next cycle's block.
                 EXPECT_EQ(errorAtFirstBlock, "SendBlock: Cannot write message preamble");
                 EXPECT_EQ(out.error, "SendBlock: Cannot write message block");
             } else if (out.k == 11) {
                 // The first block's data fails; the cycle goes on until the trigger finds the
                 // board no longer taking data.
                 EXPECT_EQ(out.error, "Failed to write tigger");
                 EXPECT_EQ(out.wire, concat({kSelfTestOpening, {0xA4, 0x08}}));
             } else {
                 EXPECT_EQ(out.error, "SendBlock: Cannot write message block");
                 EXPECT_EQ(out.wire, concat({kSelfTestOpening, {0xA4, 0x08}}));
             }
         }},
        {"ReceiveByte", Start::BoardOneListed, 2, false,
         [](int) {
             return receive({0xD3, 0x41});
         },
         [](const Outcome& out) {
             expectReceived(out, Received{0, 3, 0xD3, 1, {0x41}}, 0);
         }},
        {"ReceiveBlock", Start::BoardOneListed, 4, false,
         [](int) {
             return receive(concat({{0xE5, 10}, kBlock10}));
         },
         [](const Outcome& out) {
             // Calls: status and header read, then status and data read.
             expectReceived(out, Received{0, 5, 0xE5, 10, kBlock10}, 4);
         }},
        {"ReceiveTrigger", Start::BoardOneListed, 2, false,
         [](int) {
             return receive({0xCA, 0x07});
         },
         [](const Outcome& out) {
             expectReceived(out, Received{0, 2, 0xCA, 7, {}}, 0);
         }},
    };
}

class FaultSweep : public ::testing::TestWithParam<Operation> {
  protected:
    static void SetUpTestSuite() {
        testing_support::enterFreshDirectory();
        NRV_CV_Open(0, 0, 0);
    }

    // The library still sends and receives: board 1 opened afresh echoes a single byte back.
    static void expectCleanSendAndReceive() {
        ASSERT_EQ(quietly(NRV_CV_QueryDevices), 2);
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(1), 1) << NRV_CV_GetLastError();
        ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(1), 1);
        ASSERT_EQ(NRV_CV_RegisterReadCallback(&onMessage), 1);
        {
            std::lock_guard<std::mutex> hold(receivedLock);
            received.clear();
        }
        sim_set_echo(1, 1);
        ASSERT_EQ(NRV_CV_SendByte(5, 0x3C), 1) << NRV_CV_GetLastError();
        ASSERT_TRUE(waitUntil([] { return !receivedSoFar().empty(); }));
        EXPECT_EQ(receivedSoFar(), (std::vector<Received>{Received{1, 5, 0xD5, 1, {0x3C}}}));
        sim_set_echo(1, 0);
    }
};

TEST_P(FaultSweep, EveryCallFailsInTurnWithEveryStatus) {
    const Operation& operation = GetParam();
    for (int k = 1; k <= operation.calls + 1; ++k) {
        for (std::uint32_t status = kFirstStatus; status <= kLastStatus; ++status) {
            SCOPED_TRACE(std::string(operation.name) + ": call " + std::to_string(k) + " fails with status " +
                         std::to_string(status));
            ASSERT_NO_FATAL_FAILURE(startFresh(operation.start));
            sim_clear_written(0);
            NRV_CV_SelectActiveDeviceByIndex(-1); // the baseline last error
            ASSERT_NO_FATAL_FAILURE(holdReadThread());

            const std::uint64_t callsBefore = sim_total_calls();
            sim_fail_call(k, status);
            Outcome out{k, operation.run(k), "", {}, false};
            const std::uint64_t callsMade = sim_total_calls() - callsBefore;
            sim_fail_call(0, 0);
            out.error = NRV_CV_GetLastError();
            out.wire = writtenBytes(0);
            out.boardOneOpen = sim_is_open(1) != 0;
            if (operation.exactCalls && k > operation.calls) {
                EXPECT_EQ(callsMade, static_cast<std::uint64_t>(operation.calls)) << "calls of the operation";
            }
            operation.check(out);
            ASSERT_NO_FATAL_FAILURE(releaseReadThread());

            // Every handle the driver gave out is one the library can still close.
            NRV_CV_CloseDeviceByIndex(0);
            NRV_CV_CloseDeviceByIndex(1);
            EXPECT_EQ(sim_open_handles(), operation.orphans(k)) << "driver handles left open";
            ASSERT_NO_FATAL_FAILURE(expectCleanSendAndReceive());
            if (HasFailure()) {
                return; // one failing case tells enough; the rest would repeat it
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::ValuesIn(operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) { return info.param.name; });

} // namespace
