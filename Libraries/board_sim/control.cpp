// The control API of board_sim.h: tests, demos and benchmarks steer the simulated boards here.
#include "sim_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using boardsim::driver;
using boardsim::Guard;

void sim_reset(void) {
    auto& d = driver();
    Guard guard(d.lock);
    d.devices.clear();
    d.listedCount = -1;
    d.snapshot.clear();
    d.openHandles.clear(); // handles of the old devices become unknown; new ones never repeat them
    d.deadHandles.clear();
    d.faults.clear();
    d.calls.clear();
    d.totalCalls = 0;
    d.callsUntilFault = 0;
    d.shortWritesLeft = 0;
    d.shortWriteSize = 0;
    d.hook = nullptr;
    d.hookUser = nullptr;
    d.vidPids.clear();
    d.timetabled = 0;
    d.dropBeyondQueue = boardsim::dropModeFromEnvironment();
}

void sim_drop_beyond_queue(int drop) {
    auto& d = driver();
    Guard guard(d.lock);
    d.dropBeyondQueue = drop != 0;
}

std::uint64_t sim_dropped_bytes(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    const boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->droppedBytes;
}

int sim_add_device(std::uint32_t id, const char* serial, const char* description) {
    auto& d = driver();
    Guard guard(d.lock);
    return boardsim::addTerminated(d, id, serial, description);
}

int sim_add_raw_device(std::uint32_t id, const char serial[16], const char description[64]) {
    auto& d = driver();
    Guard guard(d.lock);
    return boardsim::addDevice(d, id, serial, sizeof(boardsim::Device::serial), description,
                               sizeof(boardsim::Device::description));
}

void sim_set_listed_count(int count) {
    auto& d = driver();
    Guard guard(d.lock);
    d.listedCount = count < 0 ? -1 : count;
    // Padding boards are real devices, numbered after those added so far, so they can be opened.
    while (count > 0 && d.devices.size() < static_cast<std::size_t>(count)) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "SIM%05d", static_cast<int>(d.devices.size()) % 100000);
        const int number = boardsim::addTerminated(d, boardsim::kPaddingBoardId, serial, boardsim::kPaddingDescription);
        d.devices[static_cast<std::size_t>(number)]->padding = true;
    }
}

void sim_queue_rx(int device, const std::uint8_t* bytes, std::uint32_t count) {
    auto& d = driver();
    boardsim::PendingSignal signal;
    {
        Guard guard(d.lock);
        if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr && bytes != nullptr) {
            boardsim::deliver(*target, bytes, count);
            if (count != 0) {
                boardsim::noteArrival(*target, signal);
            }
        }
    }
    signal.fire();
}

std::uint32_t sim_rx_pending(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->toHost.size());
}

std::uint32_t sim_written_size(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->written.size());
}

std::uint32_t sim_copy_written(int device, std::uint8_t* out, std::uint32_t max) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || out == nullptr) {
        return 0;
    }
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(max, target->written.size()));
    std::copy_n(target->written.begin(), count, out);
    return count;
}

std::uint32_t sim_write_call_count(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->writeCalls.size());
}

std::uint32_t sim_write_call_length(int device, std::uint32_t call) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || call >= target->writeCalls.size()) {
        return 0;
    }
    return target->writeCalls[call];
}

void sim_clear_written(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        target->written.clear();
        target->writeCalls.clear();
    }
}

void sim_fail_next(const char* entryPoint, int count, std::uint32_t status) {
    if (entryPoint == nullptr) {
        return;
    }
    auto& d = driver();
    Guard guard(d.lock);
    if (count == 0) {
        d.faults.erase(entryPoint);
    } else {
        d.faults[entryPoint] = boardsim::Fault{count, status};
    }
}

void sim_fail_call(int nth, std::uint32_t status) {
    auto& d = driver();
    Guard guard(d.lock);
    d.callsUntilFault = nth < 0 ? 0 : nth;
    d.callFaultStatus = status;
}

std::uint64_t sim_total_calls(void) {
    auto& d = driver();
    Guard guard(d.lock);
    return d.totalCalls;
}

std::uint32_t sim_open_handles(void) {
    auto& d = driver();
    Guard guard(d.lock);
    // The handles of unplugged devices too: they stay given out until closed.
    return static_cast<std::uint32_t>(d.openHandles.size() + d.deadHandles.size());
}

void sim_short_writes(int count, std::uint32_t written) {
    auto& d = driver();
    Guard guard(d.lock);
    d.shortWritesLeft = count;
    d.shortWriteSize = written;
}

void sim_set_write_hook(SimWriteHook hook, void* user) {
    auto& d = driver();
    Guard guard(d.lock);
    d.hook = hook;
    d.hookUser = user;
}

void sim_set_echo(int device, int on) { sim_set_behaviour(device, on != 0 ? SIM_ECHO : SIM_SILENT); }

void sim_set_behaviour(int device, int behaviour) {
    if (behaviour < SIM_SILENT || behaviour > SIM_REGISTERS) {
        return;
    }
    auto& d = driver();
    Guard guard(d.lock);
    // A board whose behaviour its board file fixed (the gateware) refuses.
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        target->board->setBehaviour(static_cast<boardsim::Behaviour>(behaviour));
    }
}

int sim_behaviour(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? -1 : static_cast<int>(target->board->behaviour());
}

std::uint32_t sim_register(int device, std::uint32_t address, std::uint8_t* out, std::uint32_t max) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || address >= boardsim::kAddressCount) {
        return 0;
    }
    const std::vector<std::uint8_t> value = target->board->registerBytes(address);
    if (out != nullptr) {
        std::copy_n(value.begin(), std::min<std::size_t>(max, value.size()), out);
    }
    return static_cast<std::uint32_t>(value.size());
}

std::uint32_t sim_leds(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : target->board->leds();
}

int sim_control_value(int device, std::uint32_t address) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr || address >= boardsim::kAddressCount) {
        return -1;
    }
    return target->board->controlValue(address);
}

void sim_board_counts(int device, SimBoardCounts* out) {
    if (out == nullptr) {
        return;
    }
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    const boardsim::BoardCounts counts = target == nullptr ? boardsim::BoardCounts{} : target->board->counts();
    *out = SimBoardCounts{counts.triggers, counts.singleBytes, counts.blocks, counts.controlSequences,
                          counts.controlDiscarded};
}

void sim_unplug(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::deviceAt(d, device) != nullptr) {
        boardsim::unplug(d, device);
    }
}

void sim_replug(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::deviceAt(d, device) != nullptr) {
        boardsim::replug(d, device);
    }
}

void sim_set_plug_timetable(int device, const std::uint32_t* times, std::uint32_t pairs) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    if (target == nullptr) {
        return;
    }
    if (target->timetableNext < 2 * target->timetable.size()) {
        --d.timetabled; // the old timetable had events to come
    }
    target->timetable.clear();
    for (std::uint32_t i = 0; times != nullptr && i < pairs; ++i) {
        target->timetable.emplace_back(times[2 * i], times[2 * i + 1]);
    }
    target->timetableNext = 0;
    target->timetableStarted = false;
    if (!target->timetable.empty()) {
        ++d.timetabled;
    }
}

void sim_unplug_after_writes(int device, int writes) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        target->unplugAfterWrites = writes > 0 ? writes : -1;
    }
}

void sim_cut_blocks(int device, int count, std::uint32_t keep) {
    auto& d = driver();
    Guard guard(d.lock);
    if (boardsim::Device* target = boardsim::deviceAt(d, device); target != nullptr) {
        target->board->cutBlocks(count, keep); // a fault of the board model; the gateware refuses it
    }
}

int sim_device_count(void) {
    auto& d = driver();
    Guard guard(d.lock);
    return static_cast<int>(d.devices.size());
}

int sim_find_device(const char* serial) {
    if (serial == nullptr) {
        return -1;
    }
    auto& d = driver();
    Guard guard(d.lock);
    for (std::size_t i = 0; i < d.devices.size(); ++i) {
        if (std::strncmp(d.devices[i]->serial, serial, sizeof d.devices[i]->serial) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

namespace {
// One port setting of a device as the library left it, 0 for an unknown device.
template <typename Field> std::uint32_t portSetting(int device, Field boardsim::Device::*field) {
    auto& d = driver();
    Guard guard(d.lock);
    const boardsim::Device* target = boardsim::deviceAt(d, device);
    return target == nullptr ? 0 : static_cast<std::uint32_t>(target->*field);
}
} // namespace

int sim_is_open(int device) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    return target != nullptr && target->open ? 1 : 0;
}

std::uint32_t sim_open_count(int device) { return portSetting(device, &boardsim::Device::openCount); }

std::uint32_t sim_baud_rate(int device) { return portSetting(device, &boardsim::Device::baudRate); }

std::uint32_t sim_purge_mask(int device) { return portSetting(device, &boardsim::Device::purgeMask); }

std::uint32_t sim_read_timeout(int device) { return portSetting(device, &boardsim::Device::readTimeout); }

std::uint32_t sim_latency_timer(int device) { return portSetting(device, &boardsim::Device::latencyTimer); }

std::uint32_t sim_event_mask(int device) { return portSetting(device, &boardsim::Device::eventMask); }

std::uint32_t sim_status_calls(int device) { return portSetting(device, &boardsim::Device::statusCalls); }

std::uint32_t sim_write_timeout(int device) { return portSetting(device, &boardsim::Device::writeTimeout); }

std::uint64_t sim_call_count(const char* entryPoint) {
    if (entryPoint == nullptr) {
        return 0;
    }
    auto& d = driver();
    Guard guard(d.lock);
    auto found = d.calls.find(entryPoint);
    return found == d.calls.end() ? 0 : found->second;
}

SimEntryPoint sim_entry_point(const char* name) {
    // The entry points this build defines; a variant without one leaves it out here too.
    static const struct {
        const char* name;
        SimEntryPoint function;
    } kDefined[] = {
#if !defined(BOARD_SIM_WITHOUT_FT_Open)
        {"FT_Open", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Open)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_OpenEx)
        {"FT_OpenEx", reinterpret_cast<SimEntryPoint>(&d2xx::FT_OpenEx)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ListDevices)
        {"FT_ListDevices", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ListDevices)},
#endif
#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_SetVIDPID)
        {"FT_SetVIDPID", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetVIDPID)},
#endif
#if !defined(_WIN32) && !defined(BOARD_SIM_WITHOUT_FT_GetVIDPID)
        {"FT_GetVIDPID", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetVIDPID)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Close)
        {"FT_Close", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Close)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Read)
        {"FT_Read", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Read)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Write)
        {"FT_Write", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Write)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_IoCtl)
        {"FT_IoCtl", reinterpret_cast<SimEntryPoint>(&d2xx::FT_IoCtl)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBaudRate)
        {"FT_SetBaudRate", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBaudRate)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDivisor)
        {"FT_SetDivisor", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDivisor)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDataCharacteristics)
        {"FT_SetDataCharacteristics", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDataCharacteristics)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetFlowControl)
        {"FT_SetFlowControl", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetFlowControl)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ResetDevice)
        {"FT_ResetDevice", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ResetDevice)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetDtr)
        {"FT_SetDtr", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetDtr)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ClrDtr)
        {"FT_ClrDtr", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ClrDtr)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetRts)
        {"FT_SetRts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetRts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ClrRts)
        {"FT_ClrRts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ClrRts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetModemStatus)
        {"FT_GetModemStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetModemStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetChars)
        {"FT_SetChars", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetChars)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_Purge)
        {"FT_Purge", reinterpret_cast<SimEntryPoint>(&d2xx::FT_Purge)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetTimeouts)
        {"FT_SetTimeouts", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetTimeouts)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetQueueStatus)
        {"FT_GetQueueStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetQueueStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetEventNotification)
        {"FT_SetEventNotification", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetEventNotification)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetStatus)
        {"FT_GetStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOn)
        {"FT_SetBreakOn", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBreakOn)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetBreakOff)
        {"FT_SetBreakOff", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetBreakOff)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetWaitMask)
        {"FT_SetWaitMask", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetWaitMask)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_WaitOnMask)
        {"FT_WaitOnMask", reinterpret_cast<SimEntryPoint>(&d2xx::FT_WaitOnMask)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetEventStatus)
        {"FT_GetEventStatus", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetEventStatus)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_ReadEE)
        {"FT_ReadEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_ReadEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_WriteEE)
        {"FT_WriteEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_WriteEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_EraseEE)
        {"FT_EraseEE", reinterpret_cast<SimEntryPoint>(&d2xx::FT_EraseEE)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_CreateDeviceInfoList)
        {"FT_CreateDeviceInfoList", reinterpret_cast<SimEntryPoint>(&d2xx::FT_CreateDeviceInfoList)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_GetDeviceInfoList)
        {"FT_GetDeviceInfoList", reinterpret_cast<SimEntryPoint>(&d2xx::FT_GetDeviceInfoList)},
#endif
#if !defined(BOARD_SIM_WITHOUT_FT_SetLatencyTimer)
        {"FT_SetLatencyTimer", reinterpret_cast<SimEntryPoint>(&d2xx::FT_SetLatencyTimer)},
#endif
    };
    if (name == nullptr) {
        return nullptr;
    }
    for (const auto& entry : kDefined) {
        if (std::strcmp(entry.name, name) == 0) {
            return entry.function;
        }
    }
    return nullptr;
}

void sim_rtl_state(int device, SimRtlState* out, char* firstViolation, std::uint32_t size) {
    auto& d = driver();
    Guard guard(d.lock);
    boardsim::Device* target = boardsim::deviceAt(d, device);
    std::string violation;
    SimRtlState state{};
    if (target != nullptr) {
        const boardsim::GatewareState gateware = target->board->gatewareState();
        state.rtl = gateware.gateware ? 1 : 0;
        state.cycles = gateware.cycles;
        state.violations = static_cast<std::uint32_t>(gateware.violations);
        state.discardedBytes = gateware.discardedBytes;
        violation = gateware.firstViolation;
    }
    if (out != nullptr) {
        *out = state;
    }
    if (firstViolation != nullptr && size != 0) {
        std::snprintf(firstViolation, size, "%s", violation.c_str());
    }
}
