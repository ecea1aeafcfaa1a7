// What the page asks of the panel's server, read and checked before anything reaches the library:
// a request that fails a check is answered 400 with the reason and sends nothing.
#pragma once

#include "panel_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::tool {

// One message for the active board, checked: address 0 to 7, value 0 to 255, block 1 to 4096 bytes.
struct SendAction {
    SendKind kind = SendKind::Trigger;
    int address = 0;
    int value = 0;
    std::vector<std::uint8_t> block;
};

struct ShowAction {
    std::vector<std::uint8_t> steps;
    int delayMs = 100;
    int repeats = 1;
};

constexpr std::size_t kPanelMaxShowSteps = 64;
constexpr int kPanelMaxShowDelayMs = 10000;
constexpr int kPanelMaxShowRepeats = 100;

// {"kind": "trigger"|"byte"|"block"|"control", "address": A, "value": V} and, for a block, "hex"
// ("48 65 6C", spaces optional) or "text". Numbers may be JSON numbers or texts ("0x41", "0b101").
bool parseSendRequest(const std::string& body, SendAction& action, std::string& reason);
// {"widget": I} for a button, {"widget": I, "value": V} for a slider or number, {"widget": I,
// "text": T} for a text widget: what the widget of `panel` sends.
bool parseWidgetRequest(const std::string& body, const PanelFile& panel, SendAction& action, std::string& reason);
// {"board": I}: one of the `boards` listed boards.
bool parseBoardRequest(const std::string& body, int boards, int& board, std::string& reason);
// {"steps": [codes], "delay": ms, "repeats": n}.
bool parseShowRequest(const std::string& body, ShowAction& action, std::string& reason);

// The bytes of "48 65 6c", "48656C" or "0x48 0x65"; false with the reason for anything else.
bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes, std::string& reason);

// The Host header of a request names one of `allowed` ("127.0.0.1:8080", "localhost:8080"), so a
// page reached under another name (DNS rebinding) is refused.
bool hostAllowed(const std::string& host, const std::vector<std::string>& allowed);
// An Origin header, when there is one, is "http://" and one of `allowed`.
bool originAllowed(const std::string& origin, const std::vector<std::string>& allowed);
// Compares the whole token whatever the first difference, so its time tells nothing.
bool tokenMatches(const std::string& given, const std::string& token);

} // namespace corvane::tool
