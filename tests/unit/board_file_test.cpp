// Board files: what a valid file adds to the simulated driver, the default set, and the refusal of
// bad files with a reason that names the fault, leaving the boards already there untouched.
#include "board_sim.h"
#include "d2xx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace d2xx;

std::string writeFile(const std::string& name, const std::string& text) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("corvane_board_file_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                       name + ".json");
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

struct Listed {
    std::uint32_t id;
    std::string serial;
    std::string description;
};

std::vector<Listed> listed() {
    auto create = reinterpret_cast<PFN_FT_CreateDeviceInfoList>(sim_entry_point("FT_CreateDeviceInfoList"));
    auto get = reinterpret_cast<PFN_FT_GetDeviceInfoList>(sim_entry_point("FT_GetDeviceInfoList"));
    DWORD count = 0;
    EXPECT_EQ(FT_OK, create(&count));
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    EXPECT_EQ(FT_OK, get(nodes.data(), &count));
    std::vector<Listed> result;
    for (const auto& node : nodes) {
        result.push_back({node.ID, node.SerialNumber, node.Description});
    }
    return result;
}

class BoardFile : public ::testing::Test {
  protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override { sim_reset(); }
};

TEST_F(BoardFile, DefaultSetShowsDualChannelChipsAndACable) {
    char error[256] = "untouched";
    ASSERT_EQ(5, sim_load_boards(nullptr, error, sizeof error));
    const std::vector<Listed> devices = listed();
    ASSERT_EQ(5u, devices.size());
    const Listed expected[] = {
        {0x04038088u, "CV000101A", "Corvane Eval Board A"},   {0x04038088u, "CV000101B", "Corvane Eval Board B"},
        {0x04038089u, "CV000102A", "Corvane Stream Board A"}, {0x04038089u, "CV000102B", "Corvane Stream Board B"},
        {0x04036001u, "FT000001", "USB serial cable"},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(expected[i].id, devices[i].id) << i;
        EXPECT_EQ(expected[i].serial, devices[i].serial) << i;
        EXPECT_EQ(expected[i].description, devices[i].description) << i;
    }
    EXPECT_EQ(SIM_SILENT, sim_behaviour(0)) << "a first interface says nothing";
    EXPECT_EQ(SIM_ECHO, sim_behaviour(1));
    EXPECT_EQ(SIM_SILENT, sim_behaviour(4));
    EXPECT_STREQ("untouched", error);
}

TEST_F(BoardFile, FileDescribesIdentityBehaviourAndFaults) {
    const std::string path = writeFile("good", R"({
      "comment": "two boards",
      "boards": [
        {"id": "0x0403808F", "serial": "LAB7", "description": "Lab board", "behaviour": "registers",
         "faults": {"unplugAfterWrites": 3}},
        {"id": 67338376, "serial": "E1", "description": "Echo", "dualChannel": true, "behaviour": "echo",
         "faults": {"cutBlocks": {"count": 2, "keep": 1}}}
      ]})");
    sim_add_device(0x04038088u, "OLD", "Replaced");
    char error[256] = "";
    ASSERT_EQ(3, sim_load_boards(path.c_str(), error, sizeof error)) << error;
    const std::vector<Listed> devices = listed();
    ASSERT_EQ(3u, devices.size()) << "the file replaces the devices there were";
    EXPECT_EQ(0x0403808Fu, devices[0].id);
    EXPECT_EQ("LAB7", devices[0].serial);
    EXPECT_EQ(0x04038088u, devices[1].id);
    EXPECT_EQ("E1A", devices[1].serial);
    EXPECT_EQ("Echo A", devices[1].description);
    EXPECT_EQ("E1B", devices[2].serial);
    EXPECT_EQ(SIM_REGISTERS, sim_behaviour(0));
    EXPECT_EQ(SIM_ECHO, sim_behaviour(2));
    EXPECT_EQ(2, sim_find_device("E1B"));

    // The faults act: the first board goes after three writes, the echo board's blocks come short.
    auto open = reinterpret_cast<PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
    auto write = reinterpret_cast<PFN_FT_Write>(sim_entry_point("FT_Write"));
    FT_HANDLE lab = nullptr, echo = nullptr;
    ASSERT_EQ(FT_OK, open(const_cast<char*>("LAB7"), FT_OPEN_BY_SERIAL_NUMBER, &lab));
    ASSERT_EQ(FT_OK, open(const_cast<char*>("E1B"), FT_OPEN_BY_SERIAL_NUMBER, &echo));
    std::uint8_t message[] = {0xA0, 0x02, 7, 8};
    DWORD done = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FT_OK, write(lab, message, 2, &done));
    }
    EXPECT_EQ(FT_IO_ERROR, write(lab, message, 2, &done));
    ASSERT_EQ(FT_OK, write(echo, message, 4, &done));
    EXPECT_EQ(3u, sim_rx_pending(2)) << "header and one of two bytes";
}

// A board on a timetable: unplugged and plugged in again at the given times after its first open,
// by whatever driver call comes first once they are due; back, it opens with a new handle.
TEST_F(BoardFile, TimetableUnplugsAndReplugsTheBoard) {
    const std::string path = writeFile("timetable", R"({"boards": [
        {"id": "0x04038088", "serial": "T1", "description": "Timed",
         "faults": {"timetable": [{"unplugAt": 200, "replugAt": 600}, {"unplugAt": 1000, "replugAt": 1400}]}}]})");
    char error[256] = "";
    ASSERT_EQ(1, sim_load_boards(path.c_str(), error, sizeof error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // the clock starts at the first open
    auto open = reinterpret_cast<PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
    auto close = reinterpret_cast<PFN_FT_Close>(sim_entry_point("FT_Close"));
    auto status = reinterpret_cast<PFN_FT_GetStatus>(sim_entry_point("FT_GetStatus"));
    FT_HANDLE handles[3] = {};
    ASSERT_EQ(FT_OK, open(const_cast<char*>("T1"), FT_OPEN_BY_SERIAL_NUMBER, &handles[0]));
    const auto opened = std::chrono::steady_clock::now();
    DWORD rx = 0, tx = 0, events = 0;
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        std::this_thread::sleep_until(opened + std::chrono::milliseconds(400 + 800 * cycle));
        EXPECT_EQ(FT_IO_ERROR, status(handles[cycle], &rx, &tx, &events)) << "unplugged at its time";
        FT_HANDLE none = nullptr;
        EXPECT_EQ(FT_DEVICE_NOT_FOUND, open(const_cast<char*>("T1"), FT_OPEN_BY_SERIAL_NUMBER, &none));
        EXPECT_EQ(1u, sim_open_handles()) << "the dead handle stays given out until closed";
        EXPECT_EQ(FT_OK, close(handles[cycle]));
        std::this_thread::sleep_until(opened + std::chrono::milliseconds(800 + 800 * cycle));
        ASSERT_EQ(FT_OK, open(const_cast<char*>("T1"), FT_OPEN_BY_SERIAL_NUMBER, &handles[cycle + 1]));
        EXPECT_NE(handles[cycle], handles[cycle + 1]) << "a replugged board gets a new handle";
        EXPECT_EQ(FT_OK, status(handles[cycle + 1], &rx, &tx, &events));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(FT_OK, status(handles[2], &rx, &tx, &events)) << "nothing after the last pair";
    EXPECT_EQ(1u, sim_open_handles());
}

struct BadFile {
    const char* name;
    const char* text;
    const char* reason; // after "<path>: "
};

const BadFile kBadFiles[] = {
    {"not_json", "{\"boards\": [", "not JSON: "},
    // Used to escape the loader as an exception and end the program.
    {"number_too_large", R"({"boards": [{"id": 1e400, "serial": "S", "description": "d"}]})",
     "not JSON: [json.exception.out_of_range.406] number overflow parsing '1e400'"},
    {"no_list", "{\"devices\": []}", "file: needs an object with a list \"boards\""},
    {"list_not_array", "{\"boards\": {}}", "boards: must be a list"},
    {"missing_serial", R"({"boards": [{"id": 1, "description": "d"}]})", "boards[0]: needs \"serial\""},
    {"serial_too_long", R"({"boards": [{"id": 1, "serial": "0123456789ABCDEF", "description": "d"}]})",
     "boards[0].serial: must have 1 to 15 characters"},
    {"dual_serial_too_long",
     R"({"boards": [{"id": 1, "serial": "0123456789ABCDE", "description": "d", "dualChannel": true}]})",
     "boards[0].serial: must have 1 to 14 characters"},
    {"bad_id", R"({"boards": [{"id": "0xZZ", "serial": "S", "description": "d"}]})",
     "boards[0].id: \"0xZZ\" is not a number"},
    {"id_too_big", R"({"boards": [{"id": 4294967296, "serial": "S", "description": "d"}]})",
     "boards[0].id: 4294967296 is outside 0 to 4294967295"},
    {"bad_behaviour", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "behaviour": "loud"}]})",
     "boards[0].behaviour: \"loud\" is none of echo, registers, stream, silent"},
    {"stream_without_spec", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "behaviour": "stream"}]})",
     "boards[0]: a stream board needs \"stream\""},
    {"stream_bad_channel",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d", "behaviour": "stream",
                     "stream": {"blockChannels": [8]}}]})",
     "boards[0].stream.blockChannels[0]: 8 is outside 0 to 7"},
    {"stream_short_blocks",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d", "behaviour": "stream",
                     "stream": {"blockChannels": [1], "blockLength": 3}}]})",
     "boards[0].stream.blockLength: 3 is outside 4 to 255"},
    {"typo_in_faults", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "faults": {"unplug": 1}}]})",
     "boards[0].faults: unknown key \"unplug\""},
    {"timetable_backwards",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d",
                     "faults": {"timetable": [{"unplugAt": 500, "replugAt": 400}]}}]})",
     "boards[0].faults.timetable[0].replugAt: 400 is outside 501 to 86400000"},
    {"timetable_overlapping",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d",
                     "faults": {"timetable": [{"unplugAt": 0, "replugAt": 400}, {"unplugAt": 300, "replugAt": 900}]}}]})",
     "boards[0].faults.timetable[1].unplugAt: 300 is outside 401 to 86400000"},
    {"timetable_without_replug",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d", "faults": {"timetable": [{"unplugAt": 5}]}}]})",
     "boards[0].faults.timetable[0]: needs \"replugAt\""},
    {"twice_the_serial",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d"}, {"id": 2, "serial": "S", "description": "e"}]})",
     "boards: serial number \"S\" appears twice"},
    // A zero character would cut the driver's C-string fields short; texts from the file are
    // quoted with escapes, so a reason stays on one line.
    {"zero_in_serial", R"({"boards": [{"id": 1, "serial": "S\u0000", "description": "d"}]})",
     "boards[0].serial: must not contain a zero character"},
    {"zero_in_description", R"({"boards": [{"id": 1, "serial": "S", "description": "\u0000d"}]})",
     "boards[0].description: must not contain a zero character"},
    {"line_break_in_key", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "a\nb": 1}]})",
     "boards[0]: unknown key \"a\\nb\""},
    {"line_break_in_behaviour", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "behaviour": "echo\n"}]})",
     "boards[0].behaviour: \"echo\\n\" is none of echo, registers, stream, silent"},
    {"unknown_logic", R"({"boards": [{"id": 1, "serial": "S", "description": "d", "logic": "fpga"}]})",
     "boards[0].logic: must be \"model\" (the board model) or \"rtl\" (the example gateware)"},
    {"gateware_without_the_models_faults",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d", "logic": "rtl", "faults": {"cutBlocks": {}}}]})",
     "boards[0].faults.cutBlocks: is a fault of the board model, not of \"logic\": \"rtl\""},
    {"gateware_stream_counts_in_32_bits",
     R"({"boards": [{"id": 1, "serial": "S", "description": "d", "logic": "rtl", "behaviour": "stream",
                     "stream": {"singleByteChannels": [0], "count": 4294967296}}]})",
     "boards[0].stream.count: 4294967296 is outside 0 to 4294967295 for \"logic\": \"rtl\""},
};

TEST_F(BoardFile, BadFilesAreRefusedWithTheirReasonAndChangeNothing) {
    for (const BadFile& bad : kBadFiles) {
        SCOPED_TRACE(bad.name);
        sim_reset();
        sim_add_device(0x04038088u, "KEEP", "Kept board");
        sim_set_behaviour(0, SIM_ECHO);
        const std::string path = writeFile(bad.name, bad.text);
        char error[512] = "";
        EXPECT_EQ(-1, sim_load_boards(path.c_str(), error, sizeof error));
        const std::string expected = path + ": " + bad.reason;
        EXPECT_EQ(expected, std::string(error).substr(0, expected.size()));
        ASSERT_EQ(1u, listed().size());
        EXPECT_EQ("KEEP", listed()[0].serial);
        EXPECT_EQ(SIM_ECHO, sim_behaviour(0));
        std::filesystem::remove(path);
    }
    char error[16] = "";
    EXPECT_EQ(-1, sim_load_boards("/nonexistent/boards.json", error, sizeof error));
    EXPECT_STREQ("/nonexistent/bo", error) << "cut to the room given, terminated";
}

// A board whose logic is the gateware: answered by the simulated RTL where this build has it, else
// the whole file is refused with the reason and the boards already there stay.
TEST_F(BoardFile, GatewareBoardsAnswerWhereBuiltAndAreRefusedElsewhere) {
    sim_add_device(0x04038088u, "KEEP", "Kept board");
    const std::string path = writeFile("gateware", R"({"boards": [
        {"id": "0x04038088", "serial": "M1", "description": "Model"},
        {"id": "0x04038088", "serial": "R1", "description": "Gateware", "logic": "rtl", "behaviour": "echo"}]})");
    char error[512] = "";
    const int loaded = sim_load_boards(path.c_str(), error, sizeof error);
    std::filesystem::remove(path);
#if defined(CORVANE_HAVE_RTL_BOARD)
    ASSERT_EQ(2, loaded) << error;
    SimRtlState state{};
    sim_rtl_state(1, &state, nullptr, 0);
    EXPECT_EQ(1, state.rtl);
    sim_rtl_state(0, &state, nullptr, 0);
    EXPECT_EQ(0, state.rtl);
    // Through the driver's entry points: the write returns once the gateware has answered.
    auto open = reinterpret_cast<PFN_FT_OpenEx>(sim_entry_point("FT_OpenEx"));
    auto write = reinterpret_cast<PFN_FT_Write>(sim_entry_point("FT_Write"));
    auto read = reinterpret_cast<PFN_FT_Read>(sim_entry_point("FT_Read"));
    auto status = reinterpret_cast<PFN_FT_GetQueueStatus>(sim_entry_point("FT_GetQueueStatus"));
    FT_HANDLE handle = nullptr;
    char serial[] = "R1";
    ASSERT_EQ(FT_OK, open(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle));
    std::uint8_t message[] = {0x81, 0x06, 0x95, 0x41, 0xA7, 0x02, 0x10, 0x20};
    DWORD done = 0;
    ASSERT_EQ(FT_OK, write(handle, message, sizeof message, &done));
    DWORD pending = 0;
    EXPECT_EQ(FT_OK, status(handle, &pending));
    EXPECT_EQ(8u, pending);
    std::uint8_t answer[8] = {};
    EXPECT_EQ(FT_OK, read(handle, answer, sizeof answer, &done));
    EXPECT_EQ(std::vector<std::uint8_t>({0xC8, 0x06, 0xD5, 0x41, 0xE7, 0x02, 0x10, 0x20}),
              std::vector<std::uint8_t>(answer, answer + done));
    EXPECT_EQ(0x6u, sim_leds(1));
    sim_rtl_state(1, &state, nullptr, 0);
    EXPECT_EQ(0u, state.violations);
#else
    EXPECT_EQ(-1, loaded);
    EXPECT_EQ(path + ": board R1 asks for \"logic\": \"rtl\", but this simulated driver was built without the "
                     "gateware's simulation (Verilator was not found, or a Windows or sanitizer build)",
              std::string(error));
    ASSERT_EQ(1u, listed().size());
    EXPECT_EQ("KEEP", listed()[0].serial);
#endif
}

} // namespace
