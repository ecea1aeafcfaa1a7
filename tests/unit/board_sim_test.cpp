// The simulated driver's own logic that every other suite leans on: the device list snapshot, the
// rules for opening and refusing handles, receive-queue reads, write capture with short and failed
// writes, and the echoing board's parser.
#include "board_sim.h"
#include "d2xx.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace d2xx;

// The driver's entry points, fetched from the driver itself (see sim_entry_point).
struct Driver {
#define SIM_TEST_FIELD(name, required, params) PFN_##name name = reinterpret_cast<PFN_##name>(sim_entry_point(#name));
    D2XX_ENTRY_POINTS(SIM_TEST_FIELD)
#undef SIM_TEST_FIELD
};

constexpr std::uint32_t kBoardId = 0x04038088u;

class BoardSim : public ::testing::Test {
  protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override { sim_reset(); }

    FT_HANDLE open(const char* serial) {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_OK, ft.FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &handle)) << serial;
        EXPECT_NE(nullptr, handle);
        return handle;
    }

    std::vector<std::uint8_t> written(int device) {
        std::vector<std::uint8_t> bytes(sim_written_size(device));
        EXPECT_EQ(bytes.size(), sim_copy_written(device, bytes.data(), static_cast<std::uint32_t>(bytes.size())));
        return bytes;
    }

    std::vector<std::uint8_t> readAll(FT_HANDLE handle) {
        DWORD rx = 0, tx = 0, events = 0;
        EXPECT_EQ(FT_OK, ft.FT_GetStatus(handle, &rx, &tx, &events));
        std::vector<std::uint8_t> bytes(rx);
        DWORD got = 0;
        EXPECT_EQ(FT_OK, ft.FT_Read(handle, bytes.data(), rx, &got));
        EXPECT_EQ(rx, got);
        return bytes;
    }

    DWORD write(FT_HANDLE handle, std::vector<std::uint8_t> bytes) {
        DWORD done = 0xFFFFFFFFu;
        EXPECT_EQ(FT_OK, ft.FT_Write(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &done));
        return done;
    }

    Driver ft;
};

TEST_F(BoardSim, EveryRequiredEntryPointIsThere) {
#define SIM_TEST_PRESENT(name, required, params)                                                                       \
    if (required) {                                                                                                    \
        EXPECT_NE(nullptr, sim_entry_point(#name)) << #name;                                                           \
    }
    D2XX_ENTRY_POINTS(SIM_TEST_PRESENT)
#undef SIM_TEST_PRESENT
    // The two optional ones exist together (Linux) or not at all (the vendor's Windows driver).
    EXPECT_EQ(sim_entry_point("FT_SetVIDPID") == nullptr, sim_entry_point("FT_GetVIDPID") == nullptr);
    EXPECT_EQ(nullptr, sim_entry_point("FT_NoSuchCall"));
}

// ---- device list -------------------------------------------------------------------------------

TEST_F(BoardSim, DeviceInfoListCopiesTheWholeSnapshotWhateverCountItIsGiven) {
    sim_add_device(kBoardId, "SD0001", "Board one");
    sim_add_device(0x04038089u, "SD0002", "Board two");
    sim_add_device(0x04036001u, "SD0003", "Other chip");
    FT_HANDLE second = open("SD0002");

    DWORD count = 0;
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    ASSERT_EQ(3u, count);

    // Room for four, a count of one given: all three nodes are written, the fourth is untouched.
    FT_DEVICE_LIST_INFO_NODE nodes[4];
    std::memset(nodes, 0xEE, sizeof nodes);
    DWORD given = 1;
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &given));
    EXPECT_EQ(3u, given);
    EXPECT_STREQ("SD0001", nodes[0].SerialNumber);
    EXPECT_STREQ("Board one", nodes[0].Description);
    EXPECT_EQ(kBoardId, nodes[0].ID);
    EXPECT_EQ(FT_FLAGS_HISPEED, nodes[0].Flags);
    EXPECT_EQ(nullptr, nodes[0].ftHandle);
    EXPECT_EQ(FT_FLAGS_HISPEED | FT_FLAGS_OPENED, nodes[1].Flags);
    EXPECT_EQ(second, nodes[1].ftHandle);
    EXPECT_STREQ("Other chip", nodes[2].Description);
    EXPECT_EQ(0x04036001u, nodes[2].ID);
    const unsigned char* untouched = reinterpret_cast<const unsigned char*>(&nodes[3]);
    for (std::size_t i = 0; i < sizeof nodes[3]; ++i) {
        ASSERT_EQ(0xEE, untouched[i]) << "byte " << i << " of the fourth node";
    }
}

TEST_F(BoardSim, OnlyCreateRefreshesTheSnapshot) {
    DWORD count = 99;
    FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &count)); // no list made yet
    EXPECT_EQ(0u, count);

    sim_add_device(kBoardId, "SD0001", "Board one");
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    sim_add_device(kBoardId, "SD0002", "Board two");
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &count));
    EXPECT_EQ(1u, count) << "a device added after the snapshot stays invisible";
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nullptr, &count)); // the count alone
    EXPECT_EQ(1u, count);

    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(FT_INVALID_PARAMETER, ft.FT_CreateDeviceInfoList(nullptr));
    EXPECT_EQ(FT_INVALID_PARAMETER, ft.FT_GetDeviceInfoList(nodes, nullptr));
}

TEST_F(BoardSim, DeviceTextsAreTruncatedOrCopiedVerbatim) {
    sim_add_device(kBoardId, "0123456789ABCDEFGH", std::string(80, 'd').c_str());
    char serial[16];
    char description[64];
    std::memset(serial, 'S', sizeof serial);
    std::memset(description, 'D', sizeof description);
    sim_add_raw_device(kBoardId, serial, description);

    DWORD count = 0;
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    FT_DEVICE_LIST_INFO_NODE nodes[2];
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &count));
    EXPECT_STREQ("0123456789ABCDE", nodes[0].SerialNumber);
    EXPECT_EQ(std::string(63, 'd'), nodes[0].Description);
    EXPECT_EQ(0, std::memcmp(serial, nodes[1].SerialNumber, 16)); // no terminator anywhere
    EXPECT_EQ(0, std::memcmp(description, nodes[1].Description, 64));
}

TEST_F(BoardSim, ListedCountPadsWithOpenableBoardsOrCutsTheList) {
    sim_add_device(0x04036001u, "OWN", "Own device");
    sim_set_listed_count(3);
    DWORD count = 0;
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    ASSERT_EQ(3u, count);
    FT_DEVICE_LIST_INFO_NODE nodes[3];
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &count));
    EXPECT_STREQ("OWN", nodes[0].SerialNumber);
    EXPECT_STREQ("SIM00001", nodes[1].SerialNumber);
    EXPECT_STREQ("SIM00002", nodes[2].SerialNumber);
    EXPECT_EQ(kBoardId, nodes[2].ID);
    open("SIM00002");
    EXPECT_EQ(1, sim_is_open(2));

    sim_set_listed_count(1);
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(1u, count);
    sim_set_listed_count(-1);
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(1u, count) << "only the device added through the control API";
    sim_set_listed_count(3); // no further padding: the boards are there already
    ASSERT_EQ(FT_OK, ft.FT_CreateDeviceInfoList(&count));
    ASSERT_EQ(FT_OK, ft.FT_GetDeviceInfoList(nodes, &count));
    EXPECT_EQ(3u, count);
    EXPECT_STREQ("SIM00002", nodes[2].SerialNumber);
    EXPECT_EQ(FT_FLAGS_HISPEED | FT_FLAGS_OPENED, nodes[2].Flags);
}

// ---- open and close ----------------------------------------------------------------------------

TEST_F(BoardSim, OpenBySerialIsExactAndCaseSensitive) {
    sim_add_device(kBoardId, "SD0001A", "Board");
    FT_HANDLE handle = nullptr;
    for (const char* wrong : {"sd0001a", "SD0001", "SD0001AB", "", "Board"}) {
        EXPECT_EQ(FT_DEVICE_NOT_FOUND, ft.FT_OpenEx(const_cast<char*>(wrong), FT_OPEN_BY_SERIAL_NUMBER, &handle))
            << wrong;
        EXPECT_EQ(nullptr, handle);
    }
    EXPECT_EQ(FT_DEVICE_NOT_FOUND, ft.FT_OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(FT_INVALID_PARAMETER, ft.FT_OpenEx(const_cast<char*>("SD0001A"), FT_OPEN_BY_SERIAL_NUMBER, nullptr));
    EXPECT_EQ(0u, sim_open_count(0));

    open("SD0001A");
    EXPECT_EQ(FT_DEVICE_NOT_OPENED, ft.FT_OpenEx(const_cast<char*>("SD0001A"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(FT_DEVICE_NOT_OPENED, ft.FT_Open(0, &handle));
    EXPECT_EQ(1u, sim_open_count(0));
    EXPECT_EQ(1, sim_is_open(0));
}

TEST_F(BoardSim, EveryOpeningGetsAHandleNeverGivenBefore) {
    sim_add_device(kBoardId, "SD0001", "Board one");
    sim_add_device(kBoardId, "SD0002", "Board two");
    std::set<FT_HANDLE> seen;
    std::vector<FT_HANDLE> stale;
    for (int round = 0; round < 5; ++round) {
        FT_HANDLE one = open("SD0001");
        FT_HANDLE two = open("SD0002");
        EXPECT_TRUE(seen.insert(one).second);
        EXPECT_TRUE(seen.insert(two).second);
        // A stale handle of an earlier opening must not reach the device opened again.
        for (FT_HANDLE old : stale) {
            DWORD rx = 0, tx = 0, events = 0;
            EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_GetStatus(old, &rx, &tx, &events));
        }
        EXPECT_EQ(FT_OK, ft.FT_Close(one));
        EXPECT_EQ(FT_OK, ft.FT_Close(two));
        stale.push_back(one);
        stale.push_back(two);
    }
    EXPECT_EQ(5u, sim_open_count(0));
    EXPECT_EQ(0, sim_is_open(0));
}

// Where pointers are 64-bit, handles use the upper half, so that a library that keeps a handle in
// 32 bits anywhere hands the driver a handle it refuses, and every suite above the driver fails.
TEST_F(BoardSim, HandlesNeedTheWholePointer) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (sizeof(void*) == 8) {
        EXPECT_NE(0u, static_cast<std::uint64_t>(value) >> 32) << std::hex << value;
        FT_HANDLE cut = reinterpret_cast<FT_HANDLE>(value & 0xFFFFFFFFu);
        DWORD rx = 0, tx = 0, events = 0;
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_GetStatus(cut, &rx, &tx, &events));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Close(cut));
    }
    EXPECT_EQ(FT_OK, ft.FT_Close(handle));
}

TEST_F(BoardSim, BadHandlesAreRefusedByEveryHandleCall) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE closed = open("SD0001");
    ASSERT_EQ(FT_OK, ft.FT_Close(closed));
    int dummy = 0;
    for (FT_HANDLE bad : {static_cast<FT_HANDLE>(nullptr), static_cast<FT_HANDLE>(&dummy), closed}) {
        std::uint8_t bytes[4] = {};
        DWORD a = 0, b = 0, c = 0;
        ULONG modem = 0;
        WORD word = 0;
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Close(bad));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Read(bad, bytes, 2, &a));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Write(bad, bytes, 2, &a));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_GetStatus(bad, &a, &b, &c));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_GetQueueStatus(bad, &a));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Purge(bad, FT_PURGE_RX | FT_PURGE_TX));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_SetBaudRate(bad, 9600));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_SetTimeouts(bad, 1, 1));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_GetModemStatus(bad, &modem));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_ReadEE(bad, 0, &word));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_EraseEE(bad));
        EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_ResetDevice(bad));
    }
    EXPECT_EQ(0u, sim_write_call_count(0));
    EXPECT_EQ(0u, sim_baud_rate(0));
}

TEST_F(BoardSim, ResetForgetsDevicesAndTheirHandles) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE before = open("SD0001");
    sim_reset();
    EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Close(before));
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE after = open("SD0001");
    EXPECT_NE(before, after);
    EXPECT_EQ(1u, sim_call_count("FT_Close")); // counts restart at the reset
    EXPECT_EQ(1u, sim_call_count("FT_OpenEx"));
}

// ---- port settings and faults ------------------------------------------------------------------

TEST_F(BoardSim, PortSettingsAreRecordedAndPurgeMaskRestartsAtOpen) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    EXPECT_EQ(FT_OK, ft.FT_SetBaudRate(handle, 9600));
    EXPECT_EQ(FT_IO_ERROR, ft.FT_SetBaudRate(handle, 183));
    EXPECT_EQ(FT_IO_ERROR, ft.FT_SetBaudRate(handle, 30000000));
    EXPECT_EQ(9600u, sim_baud_rate(0));
    EXPECT_EQ(FT_OK, ft.FT_SetTimeouts(handle, 6000, 5000));
    EXPECT_EQ(6000u, sim_read_timeout(0));
    EXPECT_EQ(5000u, sim_write_timeout(0));
    EXPECT_EQ(FT_OK, ft.FT_Purge(handle, FT_PURGE_TX));
    EXPECT_EQ(FT_OK, ft.FT_Purge(handle, FT_PURGE_RX));
    EXPECT_EQ(3u, sim_purge_mask(0));

    ASSERT_EQ(FT_OK, ft.FT_Close(handle));
    handle = open("SD0001");
    EXPECT_EQ(0u, sim_purge_mask(0));
    EXPECT_EQ(9600u, sim_baud_rate(0)) << "settings survive a reopen";
}

TEST_F(BoardSim, InjectedFaultsCountDownAndComeFirst) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = nullptr;
    sim_fail_next("FT_OpenEx", 2, FT_IO_ERROR);
    EXPECT_EQ(FT_IO_ERROR, ft.FT_OpenEx(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(FT_IO_ERROR, ft.FT_OpenEx(const_cast<char*>("SD0001"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(0, sim_is_open(0)) << "a failed call does nothing else";
    handle = open("SD0001");
    EXPECT_EQ(3u, sim_call_count("FT_OpenEx"));

    // A fault comes before the handle check, and a negative count lasts until cleared.
    sim_fail_next("FT_Close", -1, FT_OTHER_ERROR);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FT_OTHER_ERROR, ft.FT_Close(nullptr));
        EXPECT_EQ(FT_OTHER_ERROR, ft.FT_Close(handle));
    }
    EXPECT_EQ(1, sim_is_open(0));
    sim_fail_next("FT_Close", 0, FT_OK);
    EXPECT_EQ(FT_OK, ft.FT_Close(handle));
    EXPECT_EQ(7u, sim_call_count("FT_Close"));
}

TEST_F(BoardSim, TheNthCallFailsWhateverItsEntryPointAndOpenHandlesAreCounted) {
    sim_add_device(kBoardId, "SD0001", "Board");
    sim_add_device(kBoardId, "SD0002", "Board");
    FT_HANDLE first = open("SD0001");
    EXPECT_EQ(1u, sim_open_handles());
    const std::uint64_t before = sim_total_calls();

    sim_fail_call(3, FT_INSUFFICIENT_RESOURCES);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(FT_OK, ft.FT_GetStatus(first, &rx, &tx, &events));
    EXPECT_EQ(FT_OK, ft.FT_Purge(first, FT_PURGE_RX));
    FT_HANDLE second = nullptr;
    EXPECT_EQ(FT_INSUFFICIENT_RESOURCES, ft.FT_OpenEx(const_cast<char*>("SD0002"), FT_OPEN_BY_SERIAL_NUMBER, &second));
    EXPECT_EQ(nullptr, second) << "the failed call does nothing else";
    EXPECT_EQ(1u, sim_open_handles());
    second = open("SD0002"); // the fault was used up
    EXPECT_EQ(2u, sim_open_handles());
    EXPECT_EQ(before + 4, sim_total_calls());

    sim_fail_call(1, FT_IO_ERROR);
    sim_fail_call(0, FT_IO_ERROR); // cleared before it struck
    EXPECT_EQ(FT_OK, ft.FT_Close(first));
    EXPECT_EQ(1u, sim_open_handles());
    EXPECT_EQ(FT_INVALID_HANDLE, ft.FT_Close(first));
    EXPECT_EQ(1u, sim_open_handles());
    sim_reset();
    EXPECT_EQ(0u, sim_open_handles());
    EXPECT_EQ(0u, sim_total_calls());
    (void)second;
}

// ---- reads -------------------------------------------------------------------------------------

TEST_F(BoardSim, ReadsNeverHandOutMoreThanIsQueued) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    const std::uint8_t bytes[] = {0xD3, 0x41, 0xE2, 0x03, 1, 2, 3};
    sim_queue_rx(0, bytes, sizeof bytes);
    EXPECT_EQ(7u, sim_rx_pending(0));

    DWORD rx = 0, tx = 9, events = 9;
    ASSERT_EQ(FT_OK, ft.FT_GetStatus(handle, &rx, &tx, &events));
    EXPECT_EQ(7u, rx);
    EXPECT_EQ(0u, tx);
    EXPECT_EQ(0u, events);

    std::uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    DWORD got = 99;
    ASSERT_EQ(FT_OK, ft.FT_Read(handle, out, 0, &got));
    EXPECT_EQ(0u, got);
    ASSERT_EQ(FT_OK, ft.FT_Read(handle, out, 2, &got));
    ASSERT_EQ(2u, got);
    EXPECT_EQ(0xD3, out[0]);
    EXPECT_EQ(0x41, out[1]);

    // Asking for more than is there: the wait is bounded (also for "forever"), then the rest comes.
    ASSERT_EQ(FT_OK, ft.FT_SetTimeouts(handle, 0, 0));
    ASSERT_EQ(FT_OK, ft.FT_Read(handle, out, sizeof out, &got));
    ASSERT_EQ(5u, got);
    EXPECT_EQ(0xE2, out[0]);
    EXPECT_EQ(3, out[4]);
    EXPECT_EQ(0xEE, out[5]) << "nothing beyond the queued bytes is written";
    EXPECT_EQ(0u, sim_rx_pending(0));
    EXPECT_EQ(FT_INVALID_PARAMETER, ft.FT_Read(handle, nullptr, 1, &got));
    EXPECT_EQ(FT_INVALID_PARAMETER, ft.FT_Read(handle, out, 1, nullptr));
}

TEST_F(BoardSim, PurgingTheReceiveSideEmptiesTheQueue) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    const std::uint8_t bytes[] = {1, 2, 3};
    sim_queue_rx(0, bytes, sizeof bytes);
    ASSERT_EQ(FT_OK, ft.FT_Purge(handle, FT_PURGE_TX));
    EXPECT_EQ(3u, sim_rx_pending(0));
    ASSERT_EQ(FT_OK, ft.FT_Purge(handle, FT_PURGE_RX));
    EXPECT_EQ(0u, sim_rx_pending(0));
}

// ---- writes ------------------------------------------------------------------------------------

TEST_F(BoardSim, WritesAreCapturedPerDeviceWithTheirBoundaries) {
    sim_add_device(kBoardId, "SD0001", "Board one");
    sim_add_device(kBoardId, "SD0002", "Board two");
    FT_HANDLE one = open("SD0001");
    FT_HANDLE two = open("SD0002");
    EXPECT_EQ(2u, write(one, {0x81, 0x01}));
    EXPECT_EQ(3u, write(two, {0xA0, 0x01, 0x55}));
    EXPECT_EQ(0u, write(one, {}));
    EXPECT_EQ(2u, write(one, {0x90, 0x7F}));

    EXPECT_EQ((std::vector<std::uint8_t>{0x81, 0x01, 0x90, 0x7F}), written(0));
    ASSERT_EQ(3u, sim_write_call_count(0));
    EXPECT_EQ(2u, sim_write_call_length(0, 0));
    EXPECT_EQ(0u, sim_write_call_length(0, 1));
    EXPECT_EQ(2u, sim_write_call_length(0, 2));
    EXPECT_EQ((std::vector<std::uint8_t>{0xA0, 0x01, 0x55}), written(1));
    EXPECT_EQ(1u, sim_write_call_count(1));

    sim_clear_written(0);
    EXPECT_EQ(0u, sim_written_size(0));
    EXPECT_EQ(0u, sim_write_call_count(0));
    EXPECT_EQ(3u, sim_written_size(1));
}

TEST_F(BoardSim, ShortAndFailedWritesCaptureOnlyWhatWasWritten) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    sim_short_writes(2, 1);
    EXPECT_EQ(1u, write(handle, {0xA1, 0x03}));
    EXPECT_EQ(1u, write(handle, {7, 8, 9}));
    EXPECT_EQ(3u, write(handle, {4, 5, 6})); // the two short writes are used up

    sim_fail_next("FT_Write", 1, FT_IO_ERROR);
    std::uint8_t lost[] = {0xEE, 0xEE};
    DWORD done = 0;
    EXPECT_EQ(FT_IO_ERROR, ft.FT_Write(handle, lost, 2, &done));

    sim_short_writes(-1, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, write(handle, {1, 2}));
    }
    sim_short_writes(0, 0);
    EXPECT_EQ(2u, write(handle, {0x81, 0x02}));

    EXPECT_EQ((std::vector<std::uint8_t>{0xA1, 7, 4, 5, 6, 0x81, 0x02}), written(0));
    const std::vector<std::uint32_t> asked = {2, 3, 3, 2, 2, 2, 2};
    ASSERT_EQ(asked.size(), sim_write_call_count(0)) << "the failed write leaves no boundary";
    for (std::uint32_t i = 0; i < asked.size(); ++i) {
        EXPECT_EQ(asked[i], sim_write_call_length(0, i)) << "call " << i;
    }
    EXPECT_EQ(8u, sim_call_count("FT_Write"));
}

struct HookRecord {
    int device = -1;
    std::vector<std::uint8_t> bytes;
    std::uint32_t capturedAtCall = 0;
    int calls = 0;
};

TEST_F(BoardSim, WriteHookRunsAfterCaptureAndOutsideTheLock) {
    sim_add_device(kBoardId, "SD0001", "Board one");
    sim_add_device(kBoardId, "SD0002", "Board two");
    open("SD0001");
    FT_HANDLE handle = open("SD0002");
    HookRecord record;
    sim_set_write_hook(
        [](int device, const std::uint8_t* bytes, std::uint32_t count, void* user) {
            auto* seen = static_cast<HookRecord*>(user);
            seen->device = device;
            seen->bytes.assign(bytes, bytes + count);
            // Calling back into the driver would deadlock if the hook ran under its lock.
            seen->capturedAtCall = sim_written_size(device);
            ++seen->calls;
        },
        &record);
    sim_short_writes(1, 2);
    EXPECT_EQ(2u, write(handle, {0xA2, 0x02, 0x10}));
    EXPECT_EQ(1, record.calls);
    EXPECT_EQ(1, record.device);
    EXPECT_EQ((std::vector<std::uint8_t>{0xA2, 0x02}), record.bytes);
    EXPECT_EQ(2u, record.capturedAtCall);

    sim_set_write_hook(nullptr, nullptr);
    write(handle, {0x81, 0x00});
    EXPECT_EQ(1, record.calls);
}

// ---- the echoing board -------------------------------------------------------------------------

TEST_F(BoardSim, EchoBoardAnswersEveryMessageHoweverTheStreamIsCut) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    sim_set_echo(0, 1);
    const std::vector<std::uint8_t> stream = {
        0x81, 0x80,                   // trigger
        0x93, 0x41,                   // single byte to address 3
        0xA4, 0x03, 0x43, 0x56, 0x3A, // block of three to address 4
        0xA1, 0x00,                   // empty block to address 1
        0x92, 0x5A,                   // control to address 2, same header as a single byte
        0x82, 0xC3,                   // control to address 0
        0xFA, 0x7E,                   // control to address 15: answered on channel 7
        0x00, 0x11,                   // not a host header: consumed, not answered
        0x9F, 0x01,                   // single byte to address 15: channel 7
    };
    // One byte per write: the board must keep its place across writes.
    for (std::uint8_t byte : stream) {
        write(handle, {byte});
    }
    const std::vector<std::uint8_t> expected = {
        0xC8, 0x80, 0xD3, 0x41, 0xE4, 0x03, 0x43, 0x56, 0x3A, 0xE1,
        0x00, 0xD2, 0x5A, 0xD0, 0xC3, 0xD7, 0x7E, 0xD7, 0x01,
    };
    EXPECT_EQ(expected, readAll(handle));

    // The self test's cycle in its real writes, with an eight-byte block whose data looks like headers.
    write(handle, {0xA4, 0x08});
    write(handle, {0x81, 0x92, 0xA0, 0x05, 'C', 'V', ':', ' '});
    write(handle, {0x92, 0x02});
    write(handle, {0x81, 0x80});
    EXPECT_EQ(
        (std::vector<std::uint8_t>{0xE4, 0x08, 0x81, 0x92, 0xA0, 0x05, 'C', 'V', ':', ' ', 0xD2, 0x02, 0xC8, 0x80}),
        readAll(handle));
}

TEST_F(BoardSim, EchoIsOffByDefaultAndRestartsAtAMessageBoundary) {
    sim_add_device(kBoardId, "SD0001", "Board");
    FT_HANDLE handle = open("SD0001");
    write(handle, {0x81, 0x01, 0x90});
    EXPECT_EQ(0u, sim_rx_pending(0));

    sim_set_echo(0, 1);
    write(handle, {0x81, 0x02});
    EXPECT_EQ((std::vector<std::uint8_t>{0xC8, 0x02}), readAll(handle));

    // A half-sent block is dropped by a transmit purge; the next message is read afresh.
    write(handle, {0xA0, 0x04, 1, 2});
    ASSERT_EQ(FT_OK, ft.FT_Purge(handle, FT_PURGE_TX));
    write(handle, {0x90, 0x33});
    EXPECT_EQ((std::vector<std::uint8_t>{0xD0, 0x33}), readAll(handle));

    sim_short_writes(1, 1);
    write(handle, {0x81, 0x44}); // only 0x81 reached the board
    write(handle, {0x55});
    EXPECT_EQ((std::vector<std::uint8_t>{0xC8, 0x55}), readAll(handle));
}

} // namespace
