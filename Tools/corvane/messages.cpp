// Numbers on the command line, and the printed and recorded forms of received messages.
#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace corvane::tool {

namespace {
// The kind bits of a device-to-host command byte, tested in the library's order.
constexpr std::uint32_t kTriggerBit = 0x08;
constexpr std::uint32_t kSingleByteBit = 0x10;
constexpr std::uint32_t kBlockBit = 0x20;
constexpr std::uint32_t kFromDevice = 0xC0;
constexpr std::uint32_t kMaxBlock = 255;
} // namespace

std::optional<std::uint32_t> parseNumber(const std::string& text, std::uint32_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        digits = text.substr(2);
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(digits.c_str(), &end, base);
    if (digits.empty() || end == nullptr || *end != '\0' || value > max) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count, std::size_t limit) {
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < count && i < limit; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    if (count > limit) {
        text += " ...";
    }
    return text;
}

Kind kindOf(std::uint32_t command) {
    if ((command & kTriggerBit) != 0) {
        return Kind::Trigger;
    }
    if ((command & kSingleByteBit) != 0) {
        return Kind::SingleByte;
    }
    return (command & kBlockBit) != 0 ? Kind::Block : Kind::None;
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Trigger:
        return "trigger";
    case Kind::SingleByte:
        return "byte";
    case Kind::Block:
        return "block";
    case Kind::None:
        break;
    }
    return "none";
}

std::string rawLine(const Message& message) {
    char head[64];
    const Kind kind = kindOf(message.command);
    if (kind == Kind::Trigger) {
        std::snprintf(head, sizeof head, "ch%d trigger %02X value=%02X", message.channel, message.command,
                      message.length);
        return head;
    }
    if (kind == Kind::SingleByte) {
        std::snprintf(head, sizeof head, "ch%d byte %02X ", message.channel, message.command);
        return head + hexBytes(message.bytes.data(), message.bytes.size());
    }
    std::snprintf(head, sizeof head, "ch%d block %02X len=%u:%s", message.channel, message.command, message.length,
                  message.bytes.empty() ? "" : " ");
    return head + hexBytes(message.bytes.data(), message.bytes.size());
}

std::string recordLine(const Message& message) {
    char head[64];
    std::snprintf(head, sizeof head, "%.6f %02X %u", message.seconds, message.command, message.length);
    std::string line = head;
    if (!message.bytes.empty()) {
        line += ' ';
        line += hexBytes(message.bytes.data(), message.bytes.size());
    }
    return line;
}

bool parseRecordLine(const std::string& line, Message& message, std::string& error) {
    std::istringstream fields(line);
    std::string seconds, command, length;
    if (!(fields >> seconds >> command >> length)) {
        error = "expected: seconds command length [bytes...]";
        return false;
    }
    const auto commandValue = parseNumber("0x" + command, 0xFF);
    const auto lengthValue = parseNumber(length, kMaxBlock);
    if (!commandValue || (*commandValue & kFromDevice) != kFromDevice || kindOf(*commandValue) == Kind::None) {
        error = "\"" + command + "\" is not the command byte of a trigger, single byte or block";
        return false;
    }
    if (!lengthValue) {
        error = "\"" + length + "\" is not a length from 0 to 255";
        return false;
    }
    message = Message{};
    message.seconds = std::atof(seconds.c_str());
    message.command = *commandValue;
    message.channel = static_cast<int>(*commandValue & 7);
    message.length = *lengthValue;
    for (std::string byte; fields >> byte;) {
        const auto value = parseNumber("0x" + byte, 0xFF);
        if (!value) {
            error = "\"" + byte + "\" is not a byte in hexadecimal";
            return false;
        }
        message.bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    const Kind kind = kindOf(message.command);
    const std::size_t expected = kind == Kind::Trigger ? 0 : kind == Kind::SingleByte ? 1 : message.length;
    if (message.bytes.size() != expected || (kind == Kind::SingleByte && message.length != 1)) {
        error = std::string("a ") + kindName(kind) + " of length " + length + " needs " + std::to_string(expected) +
                " data bytes";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> wireBytes(const Message& message) {
    const bool single = kindOf(message.command) == Kind::SingleByte;
    std::vector<std::uint8_t> bytes(single ? 2 : 2 + message.bytes.size());
    bytes[0] = static_cast<std::uint8_t>(message.command);
    bytes[1] = single ? message.bytes.at(0) : static_cast<std::uint8_t>(message.length);
    if (!single) {
        std::copy(message.bytes.begin(), message.bytes.end(), bytes.begin() + 2);
    }
    return bytes;
}

} // namespace corvane::tool
