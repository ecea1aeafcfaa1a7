// Shared set-up of the send and receive tests: simulated boards listed, opened and the first one
// selected; the bytes the library wrote; and a recorder for the callbacks the library makes.
#pragma once

#include "board_sim.h"
#include "corvane.h"
#include "sim_waits.h"
#include "test_support.h"
#include "wire_bytes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace transfer_test {

constexpr std::uint32_t kBoardId = 0x04038088; // supported vendor, first supported product
constexpr const char* kNoErrorText = "No error found!\n";
constexpr const char* kNoDeviceText = "SendTrigger: No device was selected";

inline std::string boardName(int board) { return "Corvane board " + std::to_string(board); }

// Adds `count` boards to a fresh simulated driver and opens the library; the boards are listed
// but neither opened nor selected.
inline void listBoards(int count) {
    sim_reset();
    for (int board = 0; board < count; ++board) {
        sim_add_device(kBoardId, ("CVB00" + std::to_string(board)).c_str(), boardName(board).c_str());
    }
    NRV_CV_Open(0, 0, 0);
    testing::internal::CaptureStdout(); // the enumeration's console lines
    int listed = NRV_CV_QueryDevices();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(listed, count);
}

// Lists and opens `count` boards and selects board 0; nothing written so far.
inline void openBoards(int count) {
    listBoards(count);
    for (int board = 0; board < count; ++board) {
        ASSERT_EQ(NRV_CV_OpenDeviceByIndex(board), 1) << NRV_CV_GetLastError();
        sim_clear_written(board);
    }
    ASSERT_EQ(NRV_CV_SelectActiveDeviceByIndex(0), 1);
}

using testing_support::Bytes;

inline Bytes written(int board) { return testing_support::writtenBytes(board); }

// The length asked by every FT_Write on the board, in order.
inline std::vector<std::uint32_t> writeCalls(int board) {
    std::vector<std::uint32_t> lengths;
    for (std::uint32_t call = 0; call < sim_write_call_count(board); ++call) {
        lengths.push_back(sim_write_call_length(board, call));
    }
    return lengths;
}

inline void boardSends(int board, const Bytes& bytes) {
    sim_queue_rx(board, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

inline void boardSends(int board, std::initializer_list<std::uint8_t> bytes) { boardSends(board, Bytes(bytes)); }

using testing_support::boardDrained;

inline bool lastErrorIs(const std::string& text) {
    return testing_support::waitUntil([&text] { return text == NRV_CV_GetLastError(); });
}

// A block message from a board: command byte, length, then the bytes.
inline Bytes blockMessage(std::uint8_t command, const Bytes& data) {
    Bytes message(data.size() + 2);
    message[0] = command;
    message[1] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), message.begin() + 2);
    return message;
}

inline Bytes pattern(std::size_t count, std::uint8_t first) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

// One callback call as the application saw it.
struct Call {
    int recorder; // which recording callback was called
    std::int32_t device;
    std::int32_t channel;
    std::uint32_t command;
    std::uint32_t length;
    Bytes bytes; // the bytes behind the pointer; empty for triggers, whose bytes mean nothing
    std::uint32_t dataLength;
    std::thread::id thread;

    bool operator==(const Call& other) const {
        return recorder == other.recorder && device == other.device && channel == other.channel &&
               command == other.command && length == other.length && bytes == other.bytes &&
               dataLength == other.dataLength;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Call& call) {
    out << "{recorder " << call.recorder << ", board " << call.device << ", channel " << call.channel << ", command 0x"
        << std::hex << call.command << std::dec << ", length " << call.length << ", bytes [";
    for (std::uint8_t byte : call.bytes) {
        out << std::hex << int{byte} << std::dec << ' ';
    }
    return out << "], " << call.dataLength << "}";
}

inline Call dataCall(int recorder, std::int32_t device, std::int32_t channel, std::uint32_t command, Bytes bytes) {
    const auto length = static_cast<std::uint32_t>(bytes.size());
    return Call{recorder, device, channel, command, length, std::move(bytes), length, {}};
}

inline Call triggerCall(int recorder, std::int32_t device, std::int32_t channel, std::uint32_t command,
                        std::uint32_t value) {
    return Call{recorder, device, channel, command, value, {}, value, {}};
}

// Every call of the recording callbacks, in order. A callback can be held: it then waits inside
// the library's thread until released, which keeps the write thread (or, for a trigger, the read
// thread) from going on.
class Recorder {
  public:
    void record(int recorder, std::int32_t device, std::int32_t channel, std::uint32_t command, std::uint32_t length,
                const std::uint8_t* data, std::uint32_t dataLength) {
        Call call{recorder, device, channel, command, length, {}, dataLength, std::this_thread::get_id()};
        if ((command & 0x08) == 0 && data != nullptr) {
            call.bytes.assign(data, data + length);
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            calls_.push_back(std::move(call));
        }
        count_.fetch_add(1);
        while (holding_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::size_t count() const { return count_.load(); }
    // However long the delivery takes, as long as calls keep coming.
    bool waitForCalls(std::size_t count) {
        return testing_support::waitWhileMoving([this, count] { return count_.load() >= count; },
                                                [this] { return count_.load(); });
    }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return calls_;
    }
    Call call(std::size_t index) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return calls_.at(index);
    }

    void hold() { holding_.store(true); }
    void release() { holding_.store(false); }

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> holding_{false};
};

// Never destroyed: the library's threads may still be inside a callback while the process exits.
inline Recorder& recorder() {
    static Recorder* instance = new Recorder;
    return *instance;
}

template <int Id>
int32_t CORVANE_CALL recordingCallback(int32_t device, int32_t channel, uint32_t command, uint32_t length,
                                       uint8_t* data, uint32_t dataLength) {
    recorder().record(Id, device, channel, command, length, data, dataLength);
    return 0;
}

// The two callbacks most tests register: one as the general callback, one per channel.
constexpr int kGeneral = 1;
constexpr int kChannel = 2;
inline ReadCallback generalCallback() { return &recordingCallback<kGeneral>; }
inline ReadCallback channelCallback() { return &recordingCallback<kChannel>; }

} // namespace transfer_test
