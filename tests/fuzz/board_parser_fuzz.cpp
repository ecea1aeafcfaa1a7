// Fuzz target: arbitrary host bytes through the simulated board's parser, the way the library
// reaches it: FT_Write calls of the sizes the input chooses, FT_Purge of the transmit side (which
// puts the board back at a message boundary), behaviour changes and the reading of its answers.
//
// Checked against a plain reference parse of the same byte stream, which knows nothing of how the
// stream was cut into writes: every answer the board queues (echoes, acknowledgements of control
// sequences, blocks cut short by the fault), its sixteen registers, its LEDs, its sixteen control
// values and its counts. The board thus keeps its place across writes of any size.
//
// Input: two set-up bytes (behaviour; blocks cut short: count and bytes kept), then operations,
// each an opcode byte and its arguments (below).
#include "board_sim.h"
#include "d2xx.h"
#include "fuzz_check.h"

#include <array>
#include <cstring>
#include <deque>
#include <vector>

namespace {

using namespace d2xx;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBoardId = 0x04038088u;
constexpr char kSerial[] = "FUZZ0001";
constexpr std::size_t kAddresses = 16;
constexpr int kBehaviours = 3; // silent, echo, registers
constexpr std::uint8_t kSequence[5] = {0x5A, 0xC3, 0x7E, 0x00, 0x00};
constexpr std::size_t kValueStep = 3; // the slot of kSequence that carries the value

enum Operation : std::uint8_t {
    kWrite,        // n, then up to n bytes from the input: one FT_Write
    kPurgeTx,      // FT_Purge of the transmit side
    kRead,         // every answer queued so far, read and compared
    kSetBehaviour, // b: sim_set_behaviour(b % 3)
    kOperationCount
};

// What the documentation says a board does with the host's stream, written out plainly.
struct ReferenceBoard {
    int behaviour = SIM_SILENT;
    int cutLeft = 0;
    std::uint32_t cutKeep = 0;
    std::array<Bytes, kAddresses> registers{};
    std::array<int, kAddresses> controlValues{};
    std::uint32_t leds = 0;
    SimBoardCounts counts{};
    std::deque<std::uint8_t> answers;

    // Parser state: the first byte of a header, the block being received, the control sequence.
    bool haveHeader = false;
    std::uint8_t header = 0;
    bool inBlock = false;
    std::uint8_t blockHeader = 0;
    std::size_t blockLength = 0;
    Bytes block;
    std::size_t controlStep = 0; // messages of the sequence taken so far; 0: none in progress
    std::uint8_t controlHeader = 0;
    std::uint8_t controlValue = 0;

    ReferenceBoard() { controlValues.fill(-1); }

    void answer(std::uint8_t command, std::uint8_t value) {
        answers.push_back(command);
        answers.push_back(value);
    }

    void toBoundary() {
        haveHeader = false;
        inBlock = false;
        block.clear();
        if (controlStep != 0) {
            ++counts.controlDiscarded;
        }
        controlStep = 0;
    }

    void feed(std::uint8_t byte) {
        if (inBlock) {
            block.push_back(byte);
            if (block.size() == blockLength) {
                endBlock();
            }
        } else if (!haveHeader) {
            header = byte;
            haveHeader = true;
        } else {
            haveHeader = false;
            takeMessage(header, byte);
        }
    }

    void endBlock() {
        inBlock = false;
        registers[blockHeader & 0x0F] = block;
        ++counts.blocks;
        if (behaviour == SIM_ECHO) {
            std::size_t sent = block.size();
            if (cutLeft != 0) {
                sent = std::min<std::size_t>(sent, cutKeep);
                cutLeft -= cutLeft > 0 ? 1 : 0;
            }
            answer(static_cast<std::uint8_t>(0xE0 | (blockHeader & 7)), static_cast<std::uint8_t>(block.size()));
            answers.insert(answers.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(sent));
        }
    }

    // A control header is 0x82 | (address << 3), except those of addresses 4 and 5 (0xA2, 0xAA):
    // a board reads those as block preambles.
    static bool isControlHeader(std::uint8_t h) { return (h & 0x87) == 0x82 && (h >> 4) != 0x0A; }

    // Whether the message is part of a control sequence.
    bool trackControl(std::uint8_t h, std::uint8_t value) {
        if (controlStep != 0) {
            if (h == controlHeader && (controlStep == kValueStep || value == kSequence[controlStep])) {
                if (controlStep == kValueStep) {
                    controlValue = value;
                }
                if (++controlStep == std::size(kSequence)) {
                    controlStep = 0;
                    const int address = (h >> 3) & 0x0F;
                    controlValues[address] = controlValue;
                    ++counts.controlSequences;
                    if (behaviour == SIM_REGISTERS) {
                        answer(static_cast<std::uint8_t>(0xD0 | (address & 7)), controlValue);
                    }
                }
                return true;
            }
            // Broken off: discarded, and this message is taken as what it is.
            controlStep = 0;
            ++counts.controlDiscarded;
        }
        if (isControlHeader(h) && value == kSequence[0]) {
            controlHeader = h;
            controlStep = 1;
            return true;
        }
        return false;
    }

    void takeMessage(std::uint8_t h, std::uint8_t value) {
        const bool control = trackControl(h, value);
        const bool echo = behaviour == SIM_ECHO;
        switch (h >> 4) {
        case 0x9: // a single byte to address h & 15 (0x92 and 0x9A only outside a sequence)
            if (!control) {
                registers[h & 0x0F] = Bytes{value};
                ++counts.singleBytes;
            }
            if (echo) {
                answer(static_cast<std::uint8_t>(0xD0 | (h & 7)), value);
            }
            return;
        case 0xA: // a block preamble: value data bytes follow
            blockHeader = h;
            blockLength = value;
            block.clear();
            inBlock = true;
            if (value == 0) {
                endBlock();
            }
            return;
        default:
            break;
        }
        if (h == 0x81) {
            leds = value & 0x0F;
            ++counts.triggers;
            if (echo) {
                answer(0xC8, value);
            }
        } else if ((h & 0x87) == 0x82 && echo) {
            answer(static_cast<std::uint8_t>(0xD0 | (((h >> 3) & 0x0F) & 7)), value);
        }
    }
};

// The simulated driver's entry points, fetched from the driver itself.
struct Driver {
#define FUZZ_DRIVER_FIELD(name, required, params)                                                                      \
    PFN_##name name = reinterpret_cast<PFN_##name>(sim_entry_point(#name));
    D2XX_ENTRY_POINTS(FUZZ_DRIVER_FIELD)
#undef FUZZ_DRIVER_FIELD
};

// Reads every answer the board queued and compares it with the reference's, which it consumes.
void compareAnswers(const Driver& driver, FT_HANDLE handle, ReferenceBoard& reference) {
    DWORD pending = 0;
    DWORD transmit = 0;
    DWORD events = 0;
    FUZZ_CHECK(driver.FT_GetStatus(handle, &pending, &transmit, &events) == FT_OK);
    FUZZ_CHECK(pending == reference.answers.size());
    if (pending == 0) {
        return;
    }
    Bytes got(pending);
    DWORD count = 0;
    FUZZ_CHECK(driver.FT_Read(handle, got.data(), pending, &count) == FT_OK && count == pending);
    FUZZ_CHECK(std::equal(got.begin(), got.end(), reference.answers.begin()));
    reference.answers.clear();
}

void compareState(int device, const ReferenceBoard& reference) {
    for (std::uint32_t address = 0; address < kAddresses; ++address) {
        std::uint8_t bytes[256];
        const std::uint32_t held = sim_register(device, address, bytes, sizeof bytes);
        FUZZ_CHECK(held == reference.registers[address].size());
        FUZZ_CHECK(std::equal(bytes, bytes + held, reference.registers[address].begin()));
        FUZZ_CHECK(sim_control_value(device, address) == reference.controlValues[address]);
    }
    FUZZ_CHECK(sim_leds(device) == reference.leds);
    SimBoardCounts counts{};
    sim_board_counts(device, &counts);
    FUZZ_CHECK(counts.triggers == reference.counts.triggers);
    FUZZ_CHECK(counts.singleBytes == reference.counts.singleBytes);
    FUZZ_CHECK(counts.blocks == reference.counts.blocks);
    FUZZ_CHECK(counts.controlSequences == reference.counts.controlSequences);
    FUZZ_CHECK(counts.controlDiscarded == reference.counts.controlDiscarded);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Driver driver;
    fuzzing::InputReader input(data, size);
    ReferenceBoard reference;
    reference.behaviour = input.byte() % kBehaviours;
    const std::uint8_t cut = input.byte();
    reference.cutLeft = cut % 5 - 1; // -1 (every block) to 3
    reference.cutKeep = cut / 5;     // 0 to 51 bytes kept

    sim_reset();
    const int device = sim_add_device(kBoardId, kSerial, "Fuzz Board");
    sim_set_behaviour(device, reference.behaviour);
    sim_cut_blocks(device, reference.cutLeft, reference.cutKeep);
    FT_HANDLE handle = nullptr;
    FUZZ_CHECK(driver.FT_OpenEx(const_cast<char*>(kSerial), FT_OPEN_BY_SERIAL_NUMBER, &handle) == FT_OK);

    while (!input.done()) {
        switch (static_cast<Operation>(input.byte() % kOperationCount)) {
        case kWrite: {
            const std::uint8_t* start = nullptr;
            const std::size_t count = input.bytes(input.byte(), start);
            DWORD written = 0;
            FUZZ_CHECK(driver.FT_Write(handle, const_cast<std::uint8_t*>(start), static_cast<DWORD>(count), &written) ==
                       FT_OK);
            FUZZ_CHECK(written == count);
            for (std::size_t i = 0; i < count; ++i) {
                reference.feed(start[i]);
            }
            break;
        }
        case kPurgeTx:
            FUZZ_CHECK(driver.FT_Purge(handle, FT_PURGE_TX) == FT_OK);
            reference.toBoundary();
            break;
        case kRead:
            compareAnswers(driver, handle, reference);
            compareState(device, reference);
            break;
        case kSetBehaviour: {
            const int behaviour = input.byte() % kBehaviours;
            sim_set_behaviour(device, behaviour);
            // A board whose behaviour changes starts listening at the next message boundary.
            if (behaviour != reference.behaviour) {
                reference.toBoundary();
            }
            reference.behaviour = behaviour;
            break;
        }
        case kOperationCount:
            break;
        }
    }
    compareAnswers(driver, handle, reference);
    compareState(device, reference);
    FUZZ_CHECK(driver.FT_Close(handle) == FT_OK);
    return 0;
}
